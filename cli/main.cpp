// fotoretta-cli: the headless twin of the desktop application.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <QtCore/QString>
#include <QtCore/QtGlobal>

#include "CliCommon.h"
#include "core/Platform.h"

namespace {

// Engine diagnostics are appended to "Log.txt" in the data folder, as the
// desktop application keeps them, and never reach the terminal: a script
// reading standard error sees only the tool's own messages. The file is
// opened on the first message; when it cannot be, messages are dropped.
void LogToDataDir(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (type != QtDebugMsg) return;
    static const int fd = [] {
        const std::string path = GetDataDir() + "Log.txt";
        return open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    }();
    if (fd < 0) return;
    const QByteArray line = QStringLiteral("Debug: %1\n").arg(msg).toUtf8();
    ssize_t n;
    do {
        n = write(fd, line.constData(), static_cast<size_t>(line.size()));
    } while (n < 0 && errno == EINTR);
}

const char kSourceHelp[] =
    "SOURCE is an image file or device path (one volume, or a whole disk), disk:N (a whole disk),\n"
    "disk:N:P (partition P of disk N) or IMAGE@P (partition P of an image file); 'disks' prints the\n"
    "SOURCE of every volume. A whole disk with a partition table is scanned partition by partition\n"
    "(--carve-only sweeps it whole, gaps included); a disk without one is read as the volume it\n"
    "holds, or swept whole by the full scan.\n";

const char kTypesHelp[] =
    "TYPES is a comma-separated list of photo, audio, video, document, archive, others or all\n"
    "(default photo,audio,video; music, office and other are accepted as aliases).\n";

const char kExitHelp[] =
    "Exit status: 0 success; 1 the source or destination cannot be used, or the engine failed;\n"
    "2 bad command line; 3 some files could not be recovered; 130 ended by the user (Ctrl-C).\n";

void Usage(FILE* out) {
    fprintf(out,
            "Usage:\n"
            "  fotoretta-cli disks [IMAGE...]\n"
            "      list disks and volumes with the SOURCE to scan each one\n"
            "  fotoretta-cli scan SOURCE [--types TYPES] [--fast | --carve-only | --resume] [--json]\n"
            "      scan and list what was found, by category and extension; the full scan reads\n"
            "      the file system, rebuilds lost folders and carves files from every free sector\n"
            "  fotoretta-cli recover SOURCE --to DIR [--types TYPES] [--fast] [--carve-only] [--keep-paths]\n"
            "      scan, then copy every file found into DIR/photo, audio, video, document, archive, others\n"
            "  fotoretta-cli COMMAND --help | --version\n"
            "\n%s%s%s",
            kSourceHelp, kTypesHelp, kExitHelp);
}

int CommandHelp(const std::string& cmd) {
    if (cmd == "disks") {
        printf("Usage: fotoretta-cli disks [IMAGE...]\n\n"
               "Lists every disk that can be read (devices usually need root) and the image files given.\n"
               "Each volume is printed with the SOURCE that names it in 'scan' and 'recover', its file\n"
               "system, label, size and name. A disk or image without a partition table whose first\n"
               "sector holds a FAT, exFAT, NTFS or Ext file system is listed as one volume covering it whole.\n");
    } else if (cmd == "scan") {
        printf("Usage: fotoretta-cli scan SOURCE [--types TYPES] [--fast | --carve-only | --resume] [--json]\n\n"
               "Scans SOURCE read-only and lists the deleted and lost files found. The full scan reads\n"
               "the file system, rebuilds lost folders and carves files from every free sector. On a\n"
               "whole disk the listing has a heading for each partition.\n"
               "  --types TYPES  the kinds of files to list\n"
               "  --fast         file-system metadata only (no deep sweep, no carving); on a whole\n"
               "                 disk, partitions without a FAT, exFAT, NTFS or Ext file system are skipped\n"
               "  --carve-only   signature carving only, whatever file system is there\n"
               "  --resume       continue an interrupted full scan of the same SOURCE\n"
               "  --json         JSON Lines on stdout: one object per file or folder (path, name, size,\n"
               "                 category, extension, deleted, method, partition, offset, modified,\n"
               "                 accessed, created), then one object with \"summary\": true\n\n%s%s",
               kSourceHelp, kTypesHelp);
    } else {
        printf("Usage: fotoretta-cli recover SOURCE --to DIR [--types TYPES] [--fast] [--carve-only]\n"
               "                             [--keep-paths]\n\n"
               "Scans SOURCE read-only, then copies every file found into DIR/photo, audio, video,\n"
               "document, archive and others (with --keep-paths: into the folders it was found in).\n"
               "From a whole disk with several partitions, the files of partition P go below\n"
               "DIR/partition-P.\n"
               "Recovered files keep the modification and access times the file system recorded.\n"
               "DIR must not lie on the disk being recovered.\n"
               "Ctrl-C ends the scan and recovers what was found so far; a second Ctrl-C ends the\n"
               "copying, keeping only complete files; a third aborts at once.\n\n%s%s",
               kSourceHelp, kTypesHelp);
    }
    printf("\n%s", kExitHelp);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return 2;
    }
    qInstallMessageHandler(LogToDataDir);
    std::string cmd = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (cmd == "--version" || cmd == "-V") {
        printf("fotoretta-cli %s\n", FR_VERSION);
        return 0;
    }
    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        if (cmd == "help" && !args.empty()) cmd = args[0];
        else {
            Usage(stdout);
            return 0;
        }
        args = {"--help"};
    }
    const bool known = cmd == "disks" || cmd == "scan" || cmd == "recover";
    if (!known) {
        fprintf(stderr, "fotoretta-cli: unknown command '%s'\n", cmd.c_str());
        Usage(stderr);
        return 2;
    }
    for (const auto& a : args)
        if (a == "--help" || a == "-h") return CommandHelp(cmd);
    if (cmd == "disks") return CmdDisks(args);
    if (cmd == "scan") return CmdScan(args);
    return CmdRecover(args);
}

// fotoretta-cli: the headless twin of the desktop application.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CliCommon.h"

static void Usage(FILE* out) {
    fprintf(out,
            "Usage:\n"
            "  fotoretta-cli disks [IMAGE...]\n"
            "      list the disks and partitions (image files given are listed as disks too)\n"
            "  fotoretta-cli scan SOURCE [--types LIST] [--fast | --carve-only | --resume] [--json]\n"
            "      scan and list what was found, by category and extension; the full scan reads\n"
            "      the file system, rebuilds lost folders and carves files from every free sector\n"
            "      (--fast: file system only; --carve-only: carving only; --resume: continue\n"
            "      an interrupted full scan of the same SOURCE)\n"
            "  fotoretta-cli recover SOURCE --to DIR [--types LIST] [--fast] [--carve-only] [--keep-paths]\n"
            "      scan, then copy every file found into DIR/photo, audio, video, document, archive, others\n"
            "\n"
            "SOURCE is an image file, a device path, disk:N, disk:N:P (partition P of disk N, as\n"
            "'disks' lists them) or IMAGE@P (partition P of a partitioned image file).\n"
            "LIST is a comma-separated list of photo, music, video, office, archive, other\n"
            "(default photo,music,video).\n");
}

int main(int argc, char** argv) {
    if (argc < 2) {
        Usage(stderr);
        return 2;
    }
    std::string cmd = argv[1];
    std::vector<std::string> args(argv + 2, argv + argc);
    if (cmd == "disks") return CmdDisks(args);
    if (cmd == "scan") return CmdScan(args);
    if (cmd == "recover") return CmdRecover(args);

    if (cmd == "-h" || cmd == "--help" || cmd == "help") {
        Usage(stdout);
        return 0;
    }
    fprintf(stderr, "fotoretta-cli: unknown command '%s'\n", cmd.c_str());
    Usage(stderr);
    return 2;
}

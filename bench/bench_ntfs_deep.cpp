// Timed driver for the deep NTFS engine: a 1 GiB NTFS volume with 20,000
// files in 100 folders (half of them then deleted) whose boot sector and
// backup are zeroed, so that everything comes from FILE records found by
// the sweep. Measures the sweep with the folder pass, the recovery of every
// file found (compared byte for byte), and the peak resident memory.
// Needs root, mkntfs, ntfs-3g and FUSE.
// Usage: bench_ntfs_deep [work-dir] [--reuse]   (--reuse keeps an earlier volume)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "ntfs/ProfessionalNtfsRecovery.h"

namespace {

constexpr int kFolders = 100, kPerFolder = 200, kMaxSize = 24576;

int Run(const std::string& cmd) {
    int st = std::system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : 1;
}

double Since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// File f of every folder holds the first (f * 997) % 24576 + 200 bytes of src.
size_t SizeOf(int f) { return static_cast<size_t>((f * 997) % kMaxSize + 200); }

bool Build(const std::string& work, const std::string& img) {
    const std::string mnt = work + "/mnt";
    Run("fusermount -u '" + mnt + "' 2>/dev/null; rm -rf '" + work + "' && mkdir -p '" + mnt + "'");
    if (Run("truncate -s 1G '" + img + "' && mkntfs -q -F -Q -c 4096 '" + img + "' >/dev/null 2>&1") != 0 ||
        Run("ntfs-3g -o no_def_opts,silent '" + img + "' '" + mnt + "'") != 0)
        return false;
    const std::string py = "import os\nsrc=open('" + work + "/src.bin','rb').read()\n"
                           "for d in range(1," + std::to_string(kFolders + 1) + "):\n"
                           "  os.mkdir('" + mnt + "/d%d'%d)\n"
                           "  for f in range(1," + std::to_string(kPerFolder + 1) + "):\n"
                           "    open('" + mnt + "/d%d/file%d.dat'%(d,f),'wb').write(src[:(f*997)%" +
                           std::to_string(kMaxSize) + "+200])\n";
    FILE* f = std::fopen((work + "/make.py").c_str(), "w");
    if (!f) return false;
    std::fputs(py.c_str(), f);
    std::fclose(f);
    if (Run("head -c " + std::to_string(kMaxSize + 200) + " /dev/urandom > '" + work + "/src.bin' && python3 '" +
            work + "/make.py'") != 0)
        return false;
    // Delete the odd-numbered folders' files and those folders.
    Run("cd '" + mnt + "' && for d in $(seq 1 2 " + std::to_string(kFolders) + "); do rm -rf d$d; done");
    Run("sync; fusermount -u '" + mnt + "'");
    // No boot sector, no backup: only the records tell.
    const long long size = 1ll << 30;
    int fd = open(img.c_str(), O_WRONLY);
    if (fd < 0) return false;
    std::vector<unsigned char> zero(512, 0);
    bool ok = pwrite(fd, zero.data(), 512, 0) == 512 && pwrite(fd, zero.data(), 512, size - 512) == 512;
    fdatasync(fd);
    close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string work =
        argc > 1 && argv[1][0] != '-' ? argv[1] : std::string(tmp ? tmp : P_tmpdir) + "/fr-bench-ntfs-deep";
    const bool bReuse = argc > 1 && std::strcmp(argv[argc - 1], "--reuse") == 0;
    const std::string img = work + "/vol.img";
    if (!bReuse || access(img.c_str(), R_OK) != 0) {
        auto t = std::chrono::steady_clock::now();
        if (!Build(work, img)) {
            std::fprintf(stderr, "cannot make the NTFS volume (root, ntfs-3g, FUSE and python3 needed)\n");
            return 1;
        }
        std::printf("volume built in %.1f s\n", Since(t));
    }
    std::vector<unsigned char> src;
    {
        FILE* f = std::fopen((work + "/src.bin").c_str(), "rb");
        if (!f) return 1;
        src.resize(kMaxSize + 200);
        src.resize(std::fread(src.data(), 1, src.size(), f));
        std::fclose(f);
    }
    Run("rm -rf '" + work + "/data' '" + work + "/out' && mkdir -p '" + work + "/data' '" + work + "/out'");
    setenv("FOTORETTA_DATA_DIR", (work + "/data").c_str(), 1);
    {
        int fd = open(img.c_str(), O_RDONLY);
        if (fd >= 0) {
            posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);  // the sweep reads from disk
            close(fd);
        }
    }

    // The sweep: 1 MiB windows, every sector that starts a FILE record.
    CProfessionalNtfsRecovery engine;
    std::wstring path = Utf8ToWide(img);
    auto t0 = std::chrono::steady_clock::now();
    if (engine.Init(path.data(), L'C') != 0 || engine.InitProfessionalScan(nullptr) != 0) return 1;
    int fd = open(img.c_str(), O_RDONLY);
    std::vector<unsigned char> win(1 << 20);
    long candidates = 0;
    for (u64 at = 0;; at += win.size()) {
        const ssize_t got = pread(fd, win.data(), win.size(), static_cast<off_t>(at));
        if (got <= 0) break;
        for (size_t i = 0; i + 512 <= static_cast<size_t>(got); i += 512) {
            if (!IsNtfsFileRecord(win.data() + i, 1024)) continue;
            ++candidates;
            engine.ParseNtfsFileRecord(win.data() + i, static_cast<size_t>(got) - i, (at + i) / 512);
        }
    }
    close(fd);
    engine.ParseProfessionalRecordVec();
    const double scan = Since(t0);

    // Every file listed, recovered and compared.
    auto t1 = std::chrono::steady_clock::now();
    std::vector<_FILE_NODE_> top, files;
    engine.GetChildrenFileNode(nullptr, 0, top);
    long found = 0, exact = 0, folders = 0;
    for (auto& dir : top) {
        if (!dir.bIsDir) continue;
        ++folders;
        engine.GetChildrenFileNode(&dir, 1, files);
    }
    std::vector<unsigned char> buf;
    for (auto& n : files) {
        int fnum = 0;
        if (std::sscanf(n.szFileName, "file%d.dat", &fnum) != 1) continue;
        ++found;
        const std::string out = work + "/out/" + std::to_string(n.nFileIndex);
        std::wstring target = Utf8ToWide(out);
        if (engine.SaveFileData(&n, target.data(), 0) != 0) continue;
        FILE* f = std::fopen(out.c_str(), "rb");
        if (!f) continue;
        buf.assign(kMaxSize + 512, 0);
        buf.resize(std::fread(buf.data(), 1, buf.size(), f));
        std::fclose(f);
        if (buf.size() == SizeOf(fnum) && std::memcmp(buf.data(), src.data(), buf.size()) == 0) ++exact;
    }
    const double recover = Since(t1);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("sweep + folder pass: %ld candidate records, %u nodes, %ld folders at the top, %.2f s\n", candidates,
                engine.GetLostFileCount(), folders, scan);
    std::printf("files found: %ld of %d, recovered byte for byte: %ld, in %.2f s\n", found, kFolders * kPerFolder,
                exact, recover);
    std::printf("folder record reads: %llu; peak RSS: %ld KiB\n",
                static_cast<unsigned long long>(engine.GetFolderRecordReads()), ru.ru_maxrss);
    Run("rm -rf '" + work + "/out' '" + work + "/data'");
    return exact == kFolders * kPerFolder ? 0 : 2;
}

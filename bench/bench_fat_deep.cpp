// Timed driver: the deep FAT engine on a 1 GiB FAT32 image (4 KiB clusters)
// holding 5,000 files in 50 folders, 600 of them deleted (one folder removed
// whole), whose boot sector, backup boot sector and both FATs are then
// wiped. Prints the files found, the files recovered byte for byte (sha256
// against the originals), the wall time of the sweep and of the recovery,
// and the peak resident set size of this process.
//
//   bench_fat_deep make DIR   build DIR/card.img and DIR/expected (once)
//   bench_fat_deep run DIR    scan, recover into DIR/out and compare
//
// Time "run" as a whole process (for example with /usr/bin/time -v).
#include <sys/resource.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "core/TextHelpers.h"
#include "fat/ProfessionalFatRecovery.h"
#include "support/FatDeepSweep.h"

namespace {

constexpr int kFolders = 50;
constexpr int kFilesPerFolder = 100;

int Run(const std::string& cmd) {
    int rc = std::system(cmd.c_str());
    if (rc != 0) std::fprintf(stderr, "command failed (%d): %s\n", rc, cmd.c_str());
    return rc;
}

std::string Sha256(const std::vector<char>& data) {
    return QCryptographicHash::hash(QByteArrayView(data.data(), static_cast<qsizetype>(data.size())),
                                    QCryptographicHash::Sha256)
        .toHex()
        .toStdString();
}

std::vector<char> Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

int Make(const std::string& dir) {
    const std::string img = dir + "/card.img", src = dir + "/src";
    setenv("MTOOLS_SKIP_CHECK", "1", 1);
    if (Run("rm -rf '" + src + "' '" + img + "' && mkdir -p '" + src + "'") != 0) return 1;
    std::mt19937 rng(7);
    std::ofstream expected(dir + "/expected");
    std::string delList, deltree;
    for (int d = 0; d < kFolders; ++d) {
        char folder[32];
        std::snprintf(folder, sizeof folder, "Folder %02d", d);
        Run("mkdir -p '" + src + "/" + folder + "'");
        for (int f = 0; f < kFilesPerFolder; ++f) {
            char name[64];
            std::snprintf(name, sizeof name, "Holiday video %04d.dat", d * kFilesPerFolder + f);
            std::vector<char> data(8192 + rng() % (300 * 1024));
            for (auto& c : data) c = static_cast<char>(rng());
            std::ofstream(src + "/" + folder + "/" + name, std::ios::binary)
                .write(data.data(), static_cast<std::streamsize>(data.size()));
            expected << name << ' ' << Sha256(data) << '\n';
            if (d < kFolders - 1 && f % 10 == 3) delList += " '::" + std::string(folder) + "/" + name + "'";
        }
        if (d == kFolders - 1) deltree = folder;
    }
    if (Run("mkfs.vfat -C -F 32 -s 8 '" + img + "' 1048576 > /dev/null") != 0) return 1;
    if (Run("mcopy -s -i '" + img + "' '" + src + "'/* :: ") != 0) return 1;
    if (Run("mdel -i '" + img + "'" + delList) != 0) return 1;
    if (Run("mdeltree -i '" + img + "' '::" + deltree + "'") != 0) return 1;
    Run("rm -rf '" + src + "'");
    // Wipe the reserved area (boot sector and its backup) and both FATs.
    std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
    unsigned char boot[512];
    f.read(reinterpret_cast<char*>(boot), 512);
    const u64 dataStart = (boot[14] | boot[15] << 8) + static_cast<u64>(boot[16]) * GetLe32(boot + 36);
    std::vector<char> zeros(dataStart * 512, 0);
    f.seekp(0);
    f.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    std::printf("made %s: data area from sector %llu wiped before it\n", img.c_str(),
                static_cast<unsigned long long>(dataStart));
    return 0;
}

void Walk(CProfessionalFatRecovery& e, _FILE_NODE_* parent, unsigned level, std::vector<_FILE_NODE_>& files,
          int depth = 0) {
    std::vector<_FILE_NODE_> kids;
    e.GetChildrenFileNode(parent, level, kids);
    for (auto& k : kids) {
        if (!k.bIsDir)
            files.push_back(k);
        else if (depth < 16)
            Walk(e, &k, level + 1, files, depth + 1);
    }
}

int RunScan(const std::string& dir) {
    setenv("FOTORETTA_DATA_DIR", (dir + "/data").c_str(), 1);
    std::map<std::string, std::string> expected;
    {
        std::ifstream in(dir + "/expected");
        std::string line;
        while (std::getline(in, line)) {
            const size_t sp = line.rfind(' ');
            if (sp != std::string::npos) expected[line.substr(0, sp)] = line.substr(sp + 1);
        }
    }
    const std::string img = dir + "/card.img", out = dir + "/out";
    Run("rm -rf '" + out + "' && mkdir -p '" + out + "'");
    auto t0 = std::chrono::steady_clock::now();
    CProfessionalFatRecovery engine;
    std::wstring w = Utf8ToWide(img);
    if (engine.Init(w.data(), L'C') != 0) return 1;
    const u64 handed = testkit::SweepFatDirectories(engine, img);
    auto t1 = std::chrono::steady_clock::now();
    std::vector<_FILE_NODE_> files;
    Walk(engine, nullptr, 0, files);
    int found = 0, exact = 0, n = 0;
    for (auto& node : files) {
        std::string name = node.szFileName;
        if (name.size() > 1 && name[0] == '!') continue;  // short names only: not ours
        auto it = expected.find(name);
        if (it == expected.end()) continue;
        ++found;
        const std::string path = out + "/" + std::to_string(++n);
        std::wstring wp = Utf8ToWide(path);
        if (engine.SaveFileData(&node, wp.data(), 0) == 0 && Sha256(Slurp(path)) == it->second) ++exact;
        unlink(path.c_str());
    }
    auto t2 = std::chrono::steady_clock::now();
    struct rusage ru {};
    getrusage(RUSAGE_SELF, &ru);
    const auto& d = engine.GetVirtualDbrVec();
    std::printf("1 GiB FAT32, boot record and FATs wiped, %zu files written (600 deleted): %llu directory sectors "
                "handed over, geometry %u sectors per cluster from sector %u, %zu file nodes listed, %d of them "
                "the written files, %d recovered byte for byte; sweep %.2f s, recovery %.2f s, peak RSS %ld KiB\n",
                expected.size(), static_cast<unsigned long long>(handed), d.empty() ? 0 : d.front().nSectorsPerCluster,
                d.empty() ? 0 : d.front().nDataStartSector, files.size(), found, exact,
                std::chrono::duration<double>(t1 - t0).count(), std::chrono::duration<double>(t2 - t1).count(),
                ru.ru_maxrss);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s make|run DIR\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1], dir = argv[2];
    if (mode == "make") return Make(dir);
    if (mode == "run") return RunScan(dir);
    std::fprintf(stderr, "usage: %s make|run DIR\n", argv[0]);
    return 2;
}

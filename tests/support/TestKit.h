// Test-time toolkit: temporary folders, shell commands, real FAT and NTFS
// images built with the file systems' own tools, partitioned disk images, a
// camera card of deleted photos, sample files made from installed Debian
// packages, engine fixtures, and the command-line tool run as a user would.
//
// How the suite is written: engines are tested on real images through these
// fixtures (EngineTest, OpenAndScan, ListResultTree, SaveNode, ScanOnDisk,
// SumFreeSectors), one test per path a user takes, byte for byte; single
// on-disk rules are table-driven over hand-built bytes, each case named;
// parameterised tests get a name generator. No test restates a constant or
// a rule's own arithmetic. scripts/mutation-check.sh shows what is caught.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include <QtCore/QtGlobal>

#include "core/IFileRecoveryParse.h"

namespace testkit {

// A fresh folder below the build tree (or below under, when that folder
// exists), removed again when it goes.
class TempDir {
public:
    explicit TempDir(const std::string& tag = "t", const std::string& under = "");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

// Quotes a word for /bin/sh.
std::string Quote(const std::string& s);
// Runs a shell command; its exit status (output goes to the test log).
int Sh(const std::string& cmd);
// Runs a shell command and returns what it printed on stdout.
std::string Capture(const std::string& cmd, int* status = nullptr);
// The first line a shell command printed, without its line end.
std::string CaptureLine(const std::string& cmd);
// True when a program is on PATH.
bool HaveTool(const std::string& name);
bool IsRoot();

std::vector<unsigned char> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const void* data, size_t len);
void WriteFile(const std::string& path, const std::vector<unsigned char>& data);
void WriteFile(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);
std::string Sha256(const std::vector<unsigned char>& data);
std::string Sha256File(const std::string& path);
// Deterministic pseudo-random bytes.
std::vector<unsigned char> RandomBytes(size_t len, uint32_t seed);

// --- FAT images (mkfs.vfat + mtools) ----------------------------------
struct FatImage {
    std::string path;
    // fatBits 12, 16 or 32; size in KiB; sectorsPerCluster 0 lets mkfs choose.
    static FatImage Create(const std::string& path, int fatBits, uint64_t sizeKiB, int sectorsPerCluster = 0,
                           const std::string& extraMkfsArgs = "");
    // Paths inside the image are written "dir/sub/name" (no leading "::").
    void Mkdir(const std::string& dir) const;
    void Put(const std::string& localFile, const std::string& imagePath) const;
    void PutBytes(const std::vector<unsigned char>& data, const std::string& imagePath) const;
    void Delete(const std::string& imagePath) const;      // mdel
    void DeleteTree(const std::string& imagePath) const;  // mdeltree
};

// A FAT12 floppy image whose files (name, bytes) were written and then deleted.
using NamedBytes = std::vector<std::pair<std::string, std::vector<unsigned char>>>;
FatImage DeletedFilesFloppy(const std::string& path, const NamedBytes& files);

// --- NTFS images (mkntfs + ntfs-3g through FUSE) -----------------------
struct NtfsImage {
    std::string path;
    std::string mountPoint;
    static NtfsImage Create(const std::string& path, uint64_t sizeMiB, int clusterSize = 4096, const std::string& args = "");
    bool Mount(const std::string& options = "");  // ntfs-3g into a fresh folder, with extra -o options
    void Unmount();  // sync and unmount
    std::string Mounted(const std::string& rel) const { return mountPoint + "/" + rel; }
    static bool Available();  // mkntfs present and FUSE usable
};

// --- Partitioned disk images (sfdisk) ----------------------------------
struct PartitionSpec {
    uint64_t startSector;
    uint64_t sectors;
    std::string type;  // sfdisk type: "c" FAT32 LBA, "7" NTFS, "5" extended, GPT GUID or alias
    std::string name;  // GPT only
};
// Writes a disk image of totalSectors with an "dos" or "gpt" label.
void MakePartitionedDisk(const std::string& path, uint64_t totalSectors, const std::string& label,
                         const std::vector<PartitionSpec>& parts);
// Copies a volume image into a disk image at a sector.
void PlaceVolume(const std::string& diskPath, const std::string& volumePath, uint64_t startSector);

// A card of a camera: a FAT32 volume with DCIM/KEEP.JPG left alone and,
// deleted, "DCIM/Holiday photo.jpg" (big.jpg), "DCIM/Same name.jpg" (jpg),
// "Song.mp3", "Clip.mp4" and the folder Trip with "Same name.jpg"
// (big.jpg), "Beach day.png" and "Scanned print.tif". The volume is also
// placed as the one partition (sector 2048) of a "dos" disk image.
struct PhotoCard {
    std::string volume, disk;
    std::map<std::string, std::string> sha;  // deleted file name -> sha256 (one per name)
};
PhotoCard MakePhotoCard(const std::string& volume, const std::string& disk);

// --- Sample files from Debian packages ---------------------------------
// kind: "jpg", "png", "gif", "bmp", "tif", "ico", "ttf", "pdf", "wav",
// "mp3", "oga", "zip", "gz", "7z", "docx"... A file of that kind is made
// once per build tree (converted from packaged inputs where needed) and its
// path returned; empty when the tools to make it are missing.
std::string Sample(const std::string& kind);

// --- Engines --------------------------------------------------------------
// Points the data directory (and so the scan logs) at a folder for the
// lifetime of the object.
class ScopedDataDir {
public:
    explicit ScopedDataDir(const std::string& dir);
    ~ScopedDataDir();

private:
    std::string m_old;
    bool m_hadOld;
};

// A scan-log folder of its own for each test of an engine suite.
class EngineTest : public ::testing::Test {
protected:
    TempDir m_dataRoot{"data"};
    ScopedDataDir m_dataDir{m_dataRoot.path()};
};

// Every node of an engine's result tree by path ("dir/sub/name"); the key
// of each level is its depth.
using ResultTree = std::map<std::string, _FILE_NODE_>;
ResultTree ListResultTree(IFileRecoveryParse& engine, int maxDepth = 32);
// The paths of a tree on one line ("dir/ dir/name ..."), for messages.
std::string Paths(const ResultTree& tree);
// Opens an image file with an engine and scans it; null when either fails.
template <class Engine>
std::unique_ptr<Engine> OpenAndScan(const std::string& image) {
    auto e = std::make_unique<Engine>();
    std::wstring w(image.begin(), image.end());
    if (e->Init(w.data(), L'C') != 0 || e->ScanDevice(nullptr) != 0) return nullptr;
    return e;
}
// Places a volume image at sector start of a one-partition disk "diskN" in
// dir and opens and scans it through the disk form; null when either fails.
template <class Engine>
std::unique_ptr<Engine> ScanOnDisk(const TempDir& dir, int disk, const std::string& volume, uint64_t start,
                                   const std::string& type) {
    const uint64_t sectors = std::filesystem::file_size(volume) / 512;
    const std::string path = dir / ("disk" + std::to_string(disk));
    MakePartitionedDisk(path, start + sectors + 64, "dos", {{start, sectors, type, ""}});
    PlaceVolume(path, volume, start);
    setenv("FOTORETTA_DISK_DIR", dir.path().c_str(), 1);
    auto e = std::make_unique<Engine>();
    const bool ok = e->Init(disk, static_cast<long long>(start), static_cast<long long>(sectors), L'C') == 0 &&
                    e->ScanDevice(nullptr) == 0;
    unsetenv("FOTORETTA_DISK_DIR");
    return ok ? std::move(e) : nullptr;
}
// Saves a node to path; a folder's children land at the level below it.
// The engine's return code.
int SaveNode(IFileRecoveryParse& engine, _FILE_NODE_ node, const std::string& path);
// Saves every node of an engine's tree into dest as "f0", "f1", ... and
// previews every file, as a user browsing a damaged volume does; nothing
// may land in dest under any other name, a file saved without error is as
// long as listed, and one whose path ends in a name of known holds those bytes.
void SaveAndPreviewAll(IFileRecoveryParse& engine, const std::string& dest, const NamedBytes& known = {});
// Sums the free stretches the engine reports from sector 0 on; every one
// must lie below limit (in 512-byte sectors) and start on a multiple of align.
uint64_t SumFreeSectors(IFileRecoveryParse& engine, uint64_t limit, uint64_t align = 1);
// Overwrites bytes of a file in place.
void PatchFile(const std::string& path, uint64_t offset, const void* data, size_t len);

// Collects the diagnostic lines written while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    static std::vector<std::string> lines;

private:
    QtMessageHandler m_old;
};

// An image seen through FUSE as path, with byte ranges [first, second)
// that fail with EIO as on a failing card, and each read delayed by
// delayMicros per 64 KiB; the reads'th read that covers byte interruptAt
// sends SIGINT to the reader (a Ctrl-C at that point). Unmounted when it
// goes. path is empty when FUSE cannot be used here.
class FailingFile {
public:
    FailingFile(const std::string& image, const std::vector<std::pair<uint64_t, uint64_t>>& ranges,
                unsigned delayMicros = 0, uint64_t interruptAt = 0, unsigned reads = 0);
    ~FailingFile();
    FailingFile(const FailingFile&) = delete;
    FailingFile& operator=(const FailingFile&) = delete;
    std::string path;

private:
    TempDir m_mount{"fuse"};
};

#ifdef FR_CLI_BINARY
// Runs the command-line tool with a private data folder (unless env names
// one), under a time limit and a cap on the size of any file it writes
// (64 MiB, its console output included). status is the exit code, 128 + N
// for signal N (137 when the time limit killed it).
struct CliResult {
    int status;
    std::string out;
};
CliResult RunCli(const std::string& args, const std::string& env = "", int seconds = 60, bool withStderr = true);
#endif

}  // namespace testkit

// Skips the current test unless a condition holds.
#define FR_REQUIRE(cond, why)                          \
    do {                                               \
        if (!(cond)) GTEST_SKIP() << (why);            \
    } while (0)

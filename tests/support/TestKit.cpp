#include "support/TestKit.h"

#include <QtCore/QCryptographicHash>
#include <QtCore/QByteArray>
#include <QtCore/QString>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <set>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"

namespace testkit {

namespace {
std::atomic<int> g_counter{0};
std::string WorkRoot() {
    std::string root = FR_TEST_WORK_DIR;
    mkdir(root.c_str(), 0755);
    return root;
}
}  // namespace

TempDir::TempDir(const std::string& tag, const std::string& under) {
    const bool inUnder = !under.empty() && access(under.c_str(), W_OK) == 0;
    std::string tmpl = (inUnder ? under : WorkRoot()) + "/" + tag + "-" + std::to_string(getpid()) + "-" +
                       std::to_string(g_counter++) + "-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
}

TempDir::~TempDir() {
    // Anything still mounted below is let go first.
    Sh("for m in $(awk '{print $2}' /proc/mounts | grep -F " + Quote(m_path) +
        "); do fusermount -u \"$m\" 2>/dev/null || umount -l \"$m\" 2>/dev/null; done; rm -rf " + Quote(m_path));
}

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

int Sh(const std::string& cmd) {
    int st = std::system(("( " + cmd + " ) >>" + WorkRoot() + "/commands.log 2>&1").c_str());
    if (st == -1) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
}

std::string Capture(const std::string& cmd, int* status) {
    std::string out;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
    return out;
}

std::string CaptureLine(const std::string& cmd) {
    const std::string out = Capture(cmd);
    return out.substr(0, out.find('\n'));
}

bool HaveTool(const std::string& name) { return Sh("command -v " + Quote(name)) == 0; }
bool IsRoot() { return geteuid() == 0; }

std::vector<unsigned char> ReadFile(const std::string& path) {
    // In blocks: byte by byte is slow under the sanitizers, and images are
    // read whole many times.
    std::ifstream f(path, std::ios::binary);
    std::vector<unsigned char> v;
    std::vector<char> block(1 << 16);
    while (f.read(block.data(), static_cast<std::streamsize>(block.size())) || f.gcount() > 0)
        v.insert(v.end(), block.data(), block.data() + f.gcount());
    return v;
}

void WriteFile(const std::string& path, const void* data, size_t len) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(static_cast<const char*>(data), static_cast<std::streamsize>(len));
}

void WriteFile(const std::string& path, const std::vector<unsigned char>& data) {
    WriteFile(path, data.data(), data.size());
}

void WriteFile(const std::string& path, const std::string& text) { WriteFile(path, text.data(), text.size()); }

std::string ReadText(const std::string& path) {
    const std::vector<unsigned char> v = ReadFile(path);
    return std::string(v.begin(), v.end());
}

std::string Sha256(const std::vector<unsigned char>& data) {
    QByteArray d = QCryptographicHash::hash(
        QByteArrayView(reinterpret_cast<const char*>(data.data()), static_cast<qsizetype>(data.size())),
        QCryptographicHash::Sha256);
    return d.toHex().toStdString();
}

std::string Sha256File(const std::string& path) { return Sha256(ReadFile(path)); }

std::vector<unsigned char> RandomBytes(size_t len, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> v(len);
    for (auto& b : v) b = static_cast<unsigned char>(rng());
    return v;
}

// ---------------------------------------------------------------- FAT

static std::string Mpath(const std::string& p) { return Quote("::/" + p); }

FatImage FatImage::Create(const std::string& path, int fatBits, uint64_t sizeKiB, int sectorsPerCluster,
                          const std::string& extraMkfsArgs) {
    FatImage img{path};
    std::string cmd = "rm -f " + Quote(path) + " && mkfs.vfat -C -F " + std::to_string(fatBits);
    if (sectorsPerCluster > 0) cmd += " -s " + std::to_string(sectorsPerCluster);
    cmd += " -n FRTEST -i 12345678 " + extraMkfsArgs + " " + Quote(path) + " " + std::to_string(sizeKiB);
    EXPECT_EQ(Sh(cmd), 0) << cmd;
    return img;
}

void FatImage::Mkdir(const std::string& dir) const {
    EXPECT_EQ(Sh("MTOOLS_SKIP_CHECK=1 mmd -i " + Quote(path) + " " + Mpath(dir)), 0) << dir;
}

void FatImage::Put(const std::string& localFile, const std::string& imagePath) const {
    EXPECT_EQ(Sh("MTOOLS_SKIP_CHECK=1 mcopy -o -i " + Quote(path) + " " + Quote(localFile) + " " + Mpath(imagePath)), 0)
        << imagePath;
}

void FatImage::PutBytes(const std::vector<unsigned char>& data, const std::string& imagePath) const {
    TempDir t("put");
    std::string local = t / "data.bin";
    WriteFile(local, data);
    Put(local, imagePath);
}

void FatImage::Delete(const std::string& imagePath) const {
    EXPECT_EQ(Sh("MTOOLS_SKIP_CHECK=1 mdel -i " + Quote(path) + " " + Mpath(imagePath)), 0) << imagePath;
}

void FatImage::DeleteTree(const std::string& imagePath) const {
    EXPECT_EQ(Sh("MTOOLS_SKIP_CHECK=1 mdeltree -i " + Quote(path) + " " + Mpath(imagePath)), 0) << imagePath;
}

FatImage DeletedFilesFloppy(const std::string& path, const NamedBytes& files) {
    FatImage img = FatImage::Create(path, 12, 1440);
    for (const auto& [name, bytes] : files) img.PutBytes(bytes, name);
    for (const auto& [name, bytes] : files) img.Delete(name);
    return img;
}

// --------------------------------------------------------------- NTFS

bool NtfsImage::Available() {
    return HaveTool("mkntfs") && HaveTool("ntfs-3g") && access("/dev/fuse", R_OK | W_OK) == 0;
}

NtfsImage NtfsImage::Create(const std::string& path, uint64_t sizeMiB, int clusterSize, const std::string& args) {
    NtfsImage img{path, ""};
    std::string cmd = "rm -f " + Quote(path) + " && truncate -s " + std::to_string(sizeMiB) + "M " + Quote(path) +
                      " && mkntfs -q -F -Q -c " + std::to_string(clusterSize) + " -L FRTEST " + args + " " + Quote(path);
    EXPECT_EQ(Sh(cmd), 0) << cmd;
    return img;
}

bool NtfsImage::Mount(const std::string& options) {
    mountPoint = path + ".mnt";
    Sh("mkdir -p " + Quote(mountPoint));
    return Sh("ntfs-3g -o no_def_opts,silent," + options + " " + Quote(path) + " " + Quote(mountPoint)) == 0;
}

void NtfsImage::Unmount() {
    if (mountPoint.empty()) return;
    Sh("sync; fusermount -u " + Quote(mountPoint) + " || umount " + Quote(mountPoint));
    Sh("rmdir " + Quote(mountPoint));
    mountPoint.clear();
}

// ---------------------------------------------------- partitioned disks

void MakePartitionedDisk(const std::string& path, uint64_t totalSectors, const std::string& label,
                         const std::vector<PartitionSpec>& parts) {
    std::string script = "label: " + label + "\n";
    if (label == "gpt") script += "first-lba: 34\n";
    for (const auto& p : parts) {
        script += "start=" + std::to_string(p.startSector) + ", size=" + std::to_string(p.sectors) +
                  ", type=" + p.type;
        if (!p.name.empty()) script += ", name=\"" + p.name + "\"";
        script += "\n";
    }
    std::string cmd = "rm -f " + Quote(path) + " && truncate -s " + std::to_string(totalSectors * 512) + " " +
                      Quote(path) + " && printf %s " + Quote(script) + " | sfdisk --no-reread --no-tell-kernel -q " +
                      Quote(path);
    EXPECT_EQ(Sh(cmd), 0) << cmd;
}

void PlaceVolume(const std::string& diskPath, const std::string& volumePath, uint64_t startSector) {
    std::string cmd = "dd if=" + Quote(volumePath) + " of=" + Quote(diskPath) + " bs=512 seek=" +
                      std::to_string(startSector) + " conv=notrunc status=none";
    EXPECT_EQ(Sh(cmd), 0) << cmd;
}

PhotoCard MakePhotoCard(const std::string& volume, const std::string& disk) {
    const std::string jpg = Sample("jpg"), big = Sample("big.jpg"), png = Sample("png"), mp3 = Sample("mp3"),
                      mp4 = Sample("mp4");
    FatImage f = FatImage::Create(volume, 32, 34000, 1);
    f.Mkdir("DCIM");
    f.Mkdir("Trip");
    f.Put(jpg, "DCIM/KEEP.JPG");
    f.Put(big, "DCIM/Holiday photo.jpg");
    f.Put(jpg, "DCIM/Same name.jpg");
    f.Put(big, "Trip/Same name.jpg");
    f.Put(png, "Trip/Beach day.png");
    f.Put(Sample("tif"), "Trip/Scanned print.tif");
    f.Put(mp3, "Song.mp3");
    f.Put(mp4, "Clip.mp4");
    for (const char* name : {"DCIM/Holiday photo.jpg", "DCIM/Same name.jpg", "Song.mp3", "Clip.mp4"}) f.Delete(name);
    f.DeleteTree("Trip");
    Sh("mkdir -p " + Quote(disk.substr(0, disk.rfind('/'))));
    MakePartitionedDisk(disk, 2048 + 68000 + 64, "dos", {{2048, 68000, "c", ""}});
    PlaceVolume(disk, volume, 2048);
    return {volume, disk,
            {{"Holiday photo.jpg", Sha256File(big)}, {"Beach day.png", Sha256File(png)},
             {"Song.mp3", Sha256File(mp3)}, {"Clip.mp4", Sha256File(mp4)}}};
}

// ------------------------------------------------------------ samples

namespace {

bool Exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && st.st_size > 0;
}

// First existing file among candidates (installed by Debian packages).
std::string FirstOf(std::initializer_list<const char*> candidates) {
    for (const char* c : candidates)
        if (Exists(c)) return c;
    return {};
}

std::string Wallpaper() {
    std::string p = FirstOf({"/usr/share/desktop-base/emerald-theme/grub/grub-16x9.png",
                             "/usr/share/desktop-base/homeworld-theme/grub/grub-16x9.png",
                             "/usr/share/desktop-base/joy-theme/grub/grub-16x9.png"});
    if (!p.empty()) return p;
    return CaptureLine("find /usr/share/desktop-base -name '*.png' -size +20k 2>/dev/null | sort | head -1");
}

}  // namespace

std::string Sample(const std::string& kind) {
    const std::string dir = WorkRoot() + "/samples";
    mkdir(dir.c_str(), 0755);
    const std::string out = dir + "/sample." + kind;
    if (Exists(out)) return out;
    const std::string tmp = out + ".part." + std::to_string(getpid());
    const std::string wall = Wallpaper();
    const std::string sound =
        FirstOf({"/usr/share/sounds/freedesktop/stereo/complete.oga", "/usr/share/sounds/freedesktop/stereo/bell.oga"});
    std::string cmd;
    // Pictures are scaled down so that images and tests stay small.
    const std::string pic = "convert " + Quote(wall) + " -resize 320x180 ";
    // A real photograph-like JPEG that Debian ships.
    const std::string photo = FirstOf({"/usr/share/desktop-base/joy-theme/login/sddm-preview.jpg",
                                       "/usr/share/desktop-base/lines-theme/login/sddm-preview.jpg",
                                       "/usr/share/desktop-base/spacefun-theme/login/sddm-preview.jpg"});
    if (kind == "jpg" || kind == "jpeg") cmd = "convert " + Quote(photo) + " -resize 480x270 -quality 85 jpg:" + Quote(tmp);
    else if (kind == "png") cmd = pic + "png:" + Quote(tmp);
    else if (kind == "gif") cmd = pic + "gif:" + Quote(tmp);
    else if (kind == "bmp") cmd = pic + "bmp3:" + Quote(tmp);
    else if (kind == "tif") cmd = pic + "tif:" + Quote(tmp);
    else if (kind == "ico") cmd = "convert " + Quote(wall) + " -resize 32x32! ico:" + Quote(tmp);
    else if (kind == "big.jpg") cmd = "cp " + Quote(photo) + " " + Quote(tmp);
    else if (kind == "ttf") cmd = "cp " + Quote(FirstOf({"/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"})) + " " + Quote(tmp);
    else if (kind == "oga") cmd = "cp " + Quote(sound) + " " + Quote(tmp);
    else if (kind == "wav") cmd = "sox " + Quote(sound) + " -t wav " + Quote(tmp);
    else if (kind == "mp3") cmd = "sox " + Quote(sound) + " -t wav - | lame --quiet --tt Sample --ta Fotoretta --add-id3v2 - " + Quote(tmp);
    else if (kind == "pdf")
        // A page of the GPL set in Helvetica, through Ghostscript.
        cmd = "{ echo '%!PS'; echo '/Helvetica findfont 9 scalefont setfont'; "
              "head -n 60 /usr/share/common-licenses/GPL-3 | tr -d '()\\\\' | "
              "awk '{ printf \"40 %d moveto (%s) show\\n\", 780 - NR * 12, $0 }'; echo showpage; } | "
              "ps2pdf - " + Quote(tmp);
    else if (kind == "txt") cmd = "head -c 3000 /usr/share/common-licenses/GPL-3 > " + Quote(tmp);
    else if (kind == "zip") cmd = "cd " + Quote(dir) + " && rm -f z.zip && zip -q -X z.zip /usr/share/common-licenses/GPL-3 && mv z.zip " + Quote(tmp);
    else if (kind == "gz") cmd = "gzip -n -c /usr/share/common-licenses/GPL-3 > " + Quote(tmp);
    else if (kind == "7z") cmd = "rm -f " + Quote(tmp + ".7z") + " && 7z a -bd -y " + Quote(tmp + ".7z") + " /usr/share/common-licenses/GPL-3 >/dev/null && mv " + Quote(tmp + ".7z") + " " + Quote(tmp);
    else if (kind == "avi") cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v mjpeg -f avi " + Quote(tmp);
    else if (kind == "mp4") cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v mpeg4 -f mp4 " + Quote(tmp);
    else if (kind == "mov") cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v mpeg4 -f mov " + Quote(tmp);
    else if (kind == "mkv") cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v mpeg4 -f matroska " + Quote(tmp);
    else if (kind == "flv") cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=10 -t 1 -c:v flv -f flv " + Quote(tmp);
    else if (kind == "mpg") cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 1 -c:v mpeg1video -f mpeg " + Quote(tmp);
    else if (kind == "ts") cmd = "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 1 -c:v mpeg2video -f mpegts " + Quote(tmp);
    else if (kind == "sqlite") cmd = "sqlite3 " + Quote(tmp) + " 'create table t(a); insert into t values(1);'";
    else return {};
    if (Sh(cmd) != 0 || !Exists(tmp)) {
        Sh("rm -f " + Quote(tmp));
        return {};
    }
    rename(tmp.c_str(), out.c_str());
    return out;
}

// ------------------------------------------------------------ engines

ScopedDataDir::ScopedDataDir(const std::string& dir) {
    const char* old = getenv("FOTORETTA_DATA_DIR");
    m_hadOld = old != nullptr;
    if (old) m_old = old;
    setenv("FOTORETTA_DATA_DIR", dir.c_str(), 1);
    ResetDataDirCache();
    CLogFileManager::ResetInstance();
}

ScopedDataDir::~ScopedDataDir() {
    if (m_hadOld)
        setenv("FOTORETTA_DATA_DIR", m_old.c_str(), 1);
    else
        unsetenv("FOTORETTA_DATA_DIR");
    ResetDataDirCache();
    CLogFileManager::ResetInstance();
}

namespace {
void Walk(IFileRecoveryParse& engine, _FILE_NODE_* parent, unsigned key, const std::string& prefix, int left,
          ResultTree& out) {
    std::vector<_FILE_NODE_> children;
    if (engine.GetChildrenFileNode(parent, key, children) != 0) return;
    for (auto& c : children) {
        std::string path = prefix + c.szFileName;
        out[path] = c;
        if (c.bIsDir && left > 0) Walk(engine, &c, key + 1, path + "/", left - 1, out);
    }
}
}  // namespace

ResultTree ListResultTree(IFileRecoveryParse& engine, int maxDepth) {
    ResultTree out;
    Walk(engine, nullptr, 0, "", maxDepth, out);
    return out;
}

std::string Paths(const ResultTree& tree) {
    std::string s;
    for (const auto& [path, n] : tree) s += path + (n.bIsDir ? "/ " : " ");
    return s;
}

int SaveNode(IFileRecoveryParse& engine, _FILE_NODE_ node, const std::string& path) {
    std::wstring w = Utf8ToWide(path);
    int base = 0;
    GetPathDirIndex(Utf8ToWide(path.substr(0, path.rfind('/'))).c_str(), base);
    return engine.SaveFileData(&node, w.data(), base);
}

void SaveAndPreviewAll(IFileRecoveryParse& engine, const std::string& dest, const NamedBytes& known) {
    int i = 0;
    std::set<std::string> found;
    for (auto& [path, n] : ListResultTree(engine)) {
        if (n.u64FileSize > (16u << 20)) continue;
        const std::string out = dest + "/f" + std::to_string(i++);
        const int saved = SaveNode(engine, n, out);
        if (n.bIsDir) continue;
        wchar_t tmp[512];
        unsigned char buf[4096];
        int len = sizeof buf;
        engine.PreView(&n, tmp, buf, len, nullptr, nullptr);
        EXPECT_LE(len, 4096) << path;
        if (saved != 0) continue;
        const std::vector<unsigned char> data = ReadFile(out);
        EXPECT_EQ(data.size(), n.u64FileSize) << path;  // saved whole: as long as listed
        for (const auto& [name, bytes] : known)
            if (path.size() >= name.size() && path.compare(path.size() - name.size(), name.size(), name) == 0) {
                EXPECT_EQ(data, bytes) << path;
                found.insert(name);
            }
    }
    for (const auto& kv : known) EXPECT_TRUE(found.count(kv.first)) << kv.first << " not saved whole";
    EXPECT_EQ(Capture("find " + Quote(dest) + " -mindepth 1 -maxdepth 1 ! -name 'f*' | wc -l"), "0\n");
    EXPECT_EQ(Capture("find " + Quote(dest) + " ! -type f ! -type d | wc -l"), "0\n");  // no link out
}

uint64_t SumFreeSectors(IFileRecoveryParse& engine, uint64_t limit, uint64_t align) {
    u64 sector = 0, count = 0, total = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        EXPECT_EQ(engine.GetUnUsedSectorCount(sector, count), 1);
        if (count == 0) break;
        EXPECT_LE(sector + count, limit);
        EXPECT_EQ(sector % align, 0u) << sector;
        total += count;
        sector += count;
    }
    return total;
}

std::vector<std::string> LogCapture::lines;

LogCapture::LogCapture() {
    lines.clear();
    m_old = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext&, const QString& m) { lines.push_back(m.toStdString()); });
}

LogCapture::~LogCapture() { qInstallMessageHandler(m_old); }

#ifdef FR_CLI_BINARY
CliResult RunCli(const std::string& args, const std::string& env, int seconds, bool withStderr) {
    static TempDir data("clidata");
    static std::atomic<int> counter{0};
    const std::string log = data / ("out" + std::to_string(counter++) + ".txt");
    const std::string dataEnv = env.find("FOTORETTA_DATA_DIR=") == std::string::npos
                                    ? "FOTORETTA_DATA_DIR=" + Quote(data / "d") + " "
                                    : std::string();
    const std::string rc = Capture("ulimit -f 131072; " + dataEnv + env + " timeout -s KILL " +
                                   std::to_string(seconds) + " " + Quote(FR_CLI_BINARY) + " " + args + " >" +
                                   Quote(log) + (withStderr ? " 2>&1" : " 2>/dev/null") + "; echo $?");
    std::string out = ReadText(log);
    unlink(log.c_str());
    return {atoi(rc.c_str()), std::move(out)};
}
#endif

void PatchFile(const std::string& path, uint64_t offset, const void* data, size_t len) {
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << path;
    EXPECT_EQ(pwrite(fd, data, len, static_cast<off_t>(offset)), static_cast<ssize_t>(len));
    close(fd);
}

}  // namespace testkit

namespace testkit {

FailingFile::FailingFile(const std::string& image, const std::vector<std::pair<uint64_t, uint64_t>>& ranges,
                         unsigned delayMicros, uint64_t interruptAt, unsigned reads) {
#ifdef FR_FAILING_FILE_BINARY
    if (!IsRoot() || access("/dev/fuse", R_OK | W_OK) != 0) return;
    std::string list = ranges.empty() ? "0-0" : "";
    for (const auto& [a, b] : ranges) list += (list.empty() ? "" : ",") + std::to_string(a) + "-" + std::to_string(b);
    // The program returns once the file system is mounted.
    if (Sh(Quote(FR_FAILING_FILE_BINARY) + " " + Quote(image) + " " + list + " " + Quote(m_mount.path()) + " " +
           std::to_string(delayMicros) + " " + std::to_string(interruptAt) + ":" + std::to_string(reads)) == 0)
        path = m_mount / "disk.img";
#else
    (void)image, (void)ranges, (void)delayMicros, (void)interruptAt, (void)reads;
#endif
}

FailingFile::~FailingFile() {
    if (!path.empty()) Sh("umount " + Quote(m_mount.path()));
}

}  // namespace testkit

// The scan-log manager: numbered log directories and the "config" table.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <tuple>
#include <string>
#include <vector>

#include "results/LogFileManager.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

bool Exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

std::string Base(const TempDir& t) { return t.path() + "/ScanLog/"; }

// A directory with one result file in it.
void MakeLog(const std::string& dir) {
    ASSERT_EQ(Sh("mkdir -p " + Quote(dir + "sub")), 0);
    WriteFile(dir + "Fast_0_1", "x", 1);
    WriteFile(dir + "sub/y", "y", 1);
}

_LOG_FILE_INFO_ Record(int disk, u64 start, const std::string& dir) {
    _LOG_FILE_INFO_ r{};
    r.nDiskNumber = disk;
    r.u64StartSector = start;
    r.u64SectorCount = 1000;
    r.u64RangeCount = 5;
    strcpy(r.szLogDirPath, dir.c_str());
    return r;
}

}  // namespace

TEST(LogManager, ConfigRoundTripAndTornTail) {
    TempDir t("lm");
    std::string base = Base(t);
    {
        CLogFileManager m(base);
        EXPECT_EQ(m.GetDirIndex(), 0u);
        EXPECT_EQ(m.Init(), FR_INVALID);  // no table yet
        m.AddDirIndex();
        EXPECT_EQ(m.GetLogFileDirPath(), base + "1/");
        m.AddDirIndex();
        EXPECT_EQ(m.SaveLogFileInfo("", 3, 2048, 1000, 10, 20, 5, 700, 42, (base + "2/").c_str(), ""), 0);
        EXPECT_EQ(m.SaveLogFileInfo("", 4, 0, 50, 0, 0, 0, 50, 1, (base + "1/").c_str(), "/tmp/card.img"), 0);
    }
    auto bytes = ReadFile(base + "config");
    ASSERT_EQ(bytes.size(), 8u + 2u * 592u);
    u64 idx;
    std::memcpy(&idx, bytes.data(), 8);
    EXPECT_EQ(idx, 2u);
    _LOG_FILE_INFO_ r;
    std::memcpy(&r, bytes.data() + 8, 592);
    EXPECT_EQ(r.nDiskNumber, 3);
    EXPECT_EQ(r.u64StartSector, 2048u);
    EXPECT_EQ(r.u64RangeStart, 10u);
    EXPECT_EQ(r.u64RangeCount, 20u);
    EXPECT_EQ(r.u64RangeOffset, 5u);
    EXPECT_EQ(r.u64ScannedSectors, 700u);
    EXPECT_EQ(r.u64FoundFiles, 42u);
    EXPECT_EQ(std::string(r.szLogDirPath), base + "2/");
    EXPECT_FALSE(Exists(base + "config.tmp"));

    // 8 + 592 x 3 + 100 bytes: three records, the torn tail ignored.
    std::vector<unsigned char> cfg(8 + 592 * 3 + 100, 0);
    idx = 7;
    std::memcpy(cfg.data(), &idx, 8);
    for (int k = 0; k < 3; ++k) {
        _LOG_FILE_INFO_ rec = Record(k, 100 * k, base + std::to_string(k + 1) + "/");
        std::memset(rec.szImagePath, 'Z', sizeof rec.szImagePath);  // no terminator
        std::memcpy(cfg.data() + 8 + 592 * k, &rec, 592);
    }
    WriteFile(base + "config", cfg);
    CLogFileManager m(base);
    EXPECT_EQ(m.GetDirIndex(), 7u);
    auto recs = m.GetRecords();
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[2].nDiskNumber, 2);
    EXPECT_EQ(recs[2].u64StartSector, 200u);
    EXPECT_EQ(strlen(recs[0].szImagePath), 255u);
}

TEST(LogManager, InterruptedRewriteIsRepairedFromTheTemporary) {
    TempDir t("lm");
    std::string base = Base(t);
    {
        CLogFileManager m(base);
        m.AddDirIndex();
        m.SaveLogFileInfo("", 1, 0, 1000, 0, 0, 0, 1000, 3, (base + "1/").c_str(), "");
    }
    // The old table is gone and the new one was complete.
    ASSERT_EQ(rename((base + "config").c_str(), (base + "config.tmp").c_str()), 0);
    CLogFileManager m(base);
    EXPECT_EQ(m.GetDirIndex(), 1u);
    EXPECT_EQ(m.GetRecords().size(), 1u);
    EXPECT_TRUE(Exists(base + "config"));
    EXPECT_FALSE(Exists(base + "config.tmp"));

    // A temporary next to an intact table is a rewrite that never finished.
    WriteFile(base + "config.tmp", "junk", 4);
    CLogFileManager m2(base);
    EXPECT_EQ(m2.GetRecords().size(), 1u);
}

TEST(LogManager, UnchangedVolumeReusesItsLogAndUpdatesInPlace) {
    TempDir t("lm");
    std::string base = Base(t);
    CLogFileManager m(base);
    _LOG_FILE_INFO_ out{};
    EXPECT_EQ(m.LoadRecoveryLogInfo("", 2, 63, 1000, &out), 0);
    m.AddDirIndex();
    std::string dir = m.GetLogFileDirPath();
    MakeLog(dir);
    // The empty path reports no free space both times: nothing changed.
    m.SaveLogFileInfo("", 2, 63, 1000, 100, 50, 10, 500, 7, dir.c_str(), "");

    CLogFileManager again(base);
    EXPECT_EQ(again.LoadRecoveryLogInfo("", 2, 63, 1000, &out), 1);
    EXPECT_TRUE(again.IsReusing());
    EXPECT_EQ(again.GetLogFileDirPath(), dir);
    EXPECT_EQ(out.u64RangeStart, 100u);
    EXPECT_EQ(out.u64FoundFiles, 7u);
    again.SaveLogFileInfo("", 2, 63, 1000, 150, 0, 0, 1000, 9, dir.c_str(), "");
    auto recs = again.GetRecords();
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].u64RangeStart, 150u);
    EXPECT_EQ(recs[0].u64FoundFiles, 9u);
    EXPECT_TRUE(Exists(dir + "Fast_0_1"));
    // Another volume on the same disk is not this one.
    EXPECT_EQ(again.LoadRecoveryLogInfo("", 2, 64, 1000, &out), 0);
    EXPECT_FALSE(again.IsReusing());
}

// A changed volume drops its stale log, at loading or at saving.
TEST(LogManager, ChangedVolumeDropsTheStaleLog) {
    TempDir t("lm");
    std::string base = Base(t);
    CLogFileManager m(base);
    m.AddDirIndex();
    std::string dir1 = m.GetLogFileDirPath();
    MakeLog(dir1);
    m.SaveLogFileInfo("", 2, 63, 1000, 0, 0, 0, 1000, 7, dir1.c_str(), "");
    // "/" has free space, the stored value is 0: the volume changed.
    _LOG_FILE_INFO_ out{};
    EXPECT_EQ(m.LoadRecoveryLogInfo("/", 2, 63, 1000, &out), 0);
    EXPECT_FALSE(Exists(dir1));
    EXPECT_TRUE(m.GetRecords().empty());
    // A directory left behind under the next number is removed first.
    MakeLog(base + "2/");
    m.AddDirIndex();
    const std::string dir2 = m.GetLogFileDirPath();
    EXPECT_EQ(dir2, base + "2/");
    EXPECT_FALSE(Exists(dir2 + "Fast_0_1"));
    MakeLog(dir2);
    m.SaveLogFileInfo("", 2, 63, 1000, 0, 0, 0, 1000, 7, dir2.c_str(), "");
    m.AddDirIndex();
    const std::string dir3 = m.GetLogFileDirPath();
    MakeLog(dir3);
    // A new scan whose free space differs: the old log goes.
    m.SaveLogFileInfo("/", 2, 63, 1000, 0, 0, 0, 1000, 8, dir3.c_str(), "");
    EXPECT_FALSE(Exists(dir2));
    ASSERT_EQ(m.GetRecords().size(), 1u);
    // The same scan saving again after the free space moved keeps its own log.
    m.SaveLogFileInfo("", 2, 63, 1000, 0, 0, 0, 1000, 9, dir3.c_str(), "");
    EXPECT_TRUE(Exists(dir3 + "Fast_0_1"));
    ASSERT_EQ(m.GetRecords().size(), 1u);
    EXPECT_EQ(m.GetRecords()[0].u64FoundFiles, 9u);
}

TEST(LogManager, DeleteStaysBelowTheBaseAndFollowsNoLinks) {
    TempDir t("lm");
    std::string base = Base(t);
    CLogFileManager m(base);
    std::string outside = t.path() + "/precious/";
    MakeLog(outside);
    MakeLog(base + "3/");
    ASSERT_EQ(symlink(outside.c_str(), (base + "3/link").c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), (base + "4").c_str()), 0);

    // An empty path, the base itself, a path outside, one climbing out.
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(outside.c_str()), 0);
    m.DeleteLogFileDir("");
    m.DeleteLogFileDir(nullptr);
    ASSERT_EQ(chdir(cwd), 0);
    m.DeleteLogFileDir(base.c_str());
    m.DeleteLogFileDir("/");
    m.DeleteLogFileDir(outside.c_str());
    m.DeleteLogFileDir((base + "../precious/").c_str());
    m.DeleteLogFileDir("precious");
    // A link below the base: removed at most as a link, its target stays.
    m.DeleteLogFileDir((base + "4/").c_str());
    m.DeleteLogFileDir((base + "4/sub").c_str());
    m.DeleteLogFileDir((base + "3/").c_str());
    EXPECT_TRUE(Exists(outside + "Fast_0_1"));
    EXPECT_TRUE(Exists(outside + "sub/y"));
    EXPECT_TRUE(Exists(base + "config"));
    EXPECT_FALSE(Exists(base + "3"));
}

TEST(LogManager, DeleteRemovesTheMatchingRecordIgnoringCase) {
    TempDir t("lm");
    std::string base = Base(t);
    CLogFileManager m(base);
    m.SaveLogFileInfo("", 1, 0, 10, 0, 0, 0, 0, 0, (base + "1/").c_str(), "");
    m.SaveLogFileInfo("", 2, 0, 10, 0, 0, 0, 0, 0, (base + "2/").c_str(), "");
    m.SaveLogFileInfo("", 3, 0, 10, 0, 0, 0, 0, 0, (base + "3/").c_str(), "");
    std::string upper = base + "2/";
    for (char& c : upper) c = static_cast<char>(toupper(c));
    m.DeleteLogFileDir(upper.c_str());
    auto recs = m.GetRecords();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].nDiskNumber, 1);
    EXPECT_EQ(recs[1].nDiskNumber, 3);
}

TEST(LogManager, UnusableRecordedDirectoryIsNotReused) {
    TempDir t("lm");
    std::string base = Base(t);
    // A hostile table that points a volume's log outside the base.
    {
        CLogFileManager m(base);
        m.SaveLogFileInfo("", 2, 63, 1000, 0, 0, 0, 0, 0, (t.path() + "/").c_str(), "");
    }
    CLogFileManager m(base);
    _LOG_FILE_INFO_ out{};
    EXPECT_EQ(m.LoadRecoveryLogInfo("", 2, 63, 1000, &out), 0);
    EXPECT_FALSE(m.IsReusing());
    EXPECT_TRUE(m.GetRecords().empty());
    EXPECT_TRUE(Exists(base + "config"));
}

TEST(LogManager, ResultFileByPrefix) {
    TempDir t("lm");
    std::string dir = Base(t) + "1/";
    ASSERT_EQ(Sh("mkdir -p " + Quote(dir)), 0);
    for (const char* n : {"Pro_Fat_2048_20260101_DirInfo", "Pro_Fat_2048_20260101_Relation",
                          "Pro_Fat_2048_20260101", "Fast_2048_20260101", "File_Type_2048_1"})
        WriteFile(dir + n, "", 0);
    CLogFileManager m(Base(t));
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {dir, "Pro_Fat_", "Pro_Fat_2048_20260101"}, {dir, "Pro_Ntfs_", ""}, {dir + "nope/", "Fast_", ""}};
    for (const auto& [d, prefix, want] : cases) {
        char out[256] = "x";
        m.GetLogFileNameByFileType(d.c_str(), prefix, out);
        EXPECT_STREQ(out, want) << prefix;
    }
}

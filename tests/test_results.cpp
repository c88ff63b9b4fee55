// The result store: node, relation and directory-info files, listing,
// counting, parent paths and the extension search. The scan-log manager:
// numbered log directories and the "config" table.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "core/Platform.h"
#include "results/LogFileManager.h"
#include "results/ScanResultFileManager.h"
#include "support/TestKit.h"

using namespace testkit;

namespace {

// Creates one node through the store the way an engine does and files it.
u32 AddNode(CScanResultFileManager& s, const char* name, bool dir, u32 cluster, u32 parentId,
            u32 parentDepth, bool healthy = true) {
    _FILE_NODE_* p = s.CreateFileNode(344);
    EXPECT_NE(p, nullptr);
    if (!p) return 0;
    std::memset(p, 0, sizeof *p);
    p->wcDriveLetter = 'C';
    p->nEngineType = ENGINE_FAST_FAT;
    p->bIsDir = dir ? 1 : 0;
    p->bIsHealth = healthy ? 1 : 0;
    p->nFileIndex = s.GetFileIndex();
    p->uClusterNO = cluster;
    p->u64FileSize = dir ? 0 : 1000 + cluster;
    p->u64RecordSector = 0x1122334455667788ULL + cluster;
    strcpy(p->szFileName, name);
    s.AddChildren(parentId, parentDepth, p->nFileIndex, cluster, dir ? name : nullptr);
    return p->nFileIndex;
}

template <class Node>
std::vector<std::string> Names(const std::vector<Node>& v) {
    std::vector<std::string> out;
    for (auto& n : v) out.push_back(n.szFileName);
    return out;
}

using Strings = std::vector<std::string>;

bool Exists(const std::string& p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

// A log directory with one result file in it.
void MakeLog(const std::string& dir) {
    ASSERT_EQ(Sh("mkdir -p " + Quote(dir + "sub")), 0);
    WriteFile(dir + "Fast_0_1", "x", 1);
    WriteFile(dir + "sub/y", "y", 1);
}

}  // namespace

// Each store test has a folder of its own and a store to open in it.
class ResultStore : public ::testing::Test {
protected:
    TempDir t{"rs"};
    CScanResultFileManager s;
};

// Each log-manager test has its own base folder for the numbered logs.
class LogManager : public ::testing::Test {
protected:
    TempDir t{"lm"};
    const std::string base = t.path() + "/ScanLog/";
};

TEST_F(ResultStore, EmptyPendingAndRefused) {
    for (const wchar_t* bad : {L"../evil", L"", L".."}) EXPECT_EQ(s.Init(bad, t.path()), FR_INVALID);
    EXPECT_EQ(s.CreateFileNode(344), nullptr);
    // Leftovers of an interrupted rewrite are ignored and removed.
    const std::string rel = t / "Fast_0_x_Relation", tmp = rel + ".tmp";
    WriteFile(tmp, "garbage", 7);
    ASSERT_EQ(s.Init(L"Fast_0_x", t.path()), 0);
    EXPECT_FALSE(Exists(tmp));
    std::vector<_FILE_NODE_> v;
    EXPECT_EQ(s.GetChildrenFileNode(0, v), 0);
    EXPECT_TRUE(v.empty());
    unsigned n = 99;
    EXPECT_EQ(s.GetChildrenFileCount(0, n), 0);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(s.FlushBufToFile(), 0);
    EXPECT_EQ(ReadFile(rel).size(), 0u);
    EXPECT_EQ(s.GetFileIndex(), 0u);
    EXPECT_EQ(s.CreateFileNode(100), nullptr);
    // A node not yet flushed is listed.
    AddNode(s, "z.txt", false, 1, 0, 0);
    ASSERT_EQ(s.GetChildrenFileNode(0, v), 0);
    EXPECT_EQ(Names(v), (Strings{"z.txt"}));
    // Companion files are replaced whole, never patched in place.
    struct stat st1, st2;
    ASSERT_EQ(stat(rel.c_str(), &st1), 0);
    AddNode(s, "D", true, 4, 0, 0);
    AddNode(s, "E", true, 5, 0, 0);
    ASSERT_EQ(s.FlushBufToFile(), 0);
    ASSERT_EQ(stat(rel.c_str(), &st2), 0);
    EXPECT_NE(st1.st_ino, st2.st_ino);
    EXPECT_EQ(ReadText(rel), " | 0 - [1,2,3]");
    EXPECT_EQ(ReadFile(t / "Fast_0_x_DirInfo").size(), 2u * 264u);
    EXPECT_FALSE(Exists(tmp));
    EXPECT_EQ(st2.st_mode & 0777, 0644u);
}

TEST_F(ResultStore, NodesRelationsAndDirectoriesRoundTripThroughTheFiles) {
    std::vector<_FILE_NODE_> written;
    {
        CScanResultFileManager s;
        ASSERT_EQ(s.Init(L"Pro_Fat_2048_1", t.path()), 0);
        // 450 nodes: more than two full write buffers.
        AddNode(s, "DCIM", true, 5, 2, 0);
        for (u32 i = 0; i < 449; ++i) {
            char name[32];
            snprintf(name, sizeof name, "IMG_%04u.JPG", i);
            AddNode(s, name, false, 100 + i, 5, 1);
        }
        EXPECT_EQ(s.GetFileIndex(), 450u);
        EXPECT_EQ(s.FlushBufToFile(), 0);
        // Every record is at (n - 1) x 344 with its own number.
        auto bytes = ReadFile(t / "Pro_Fat_2048_1");
        ASSERT_EQ(bytes.size(), 450u * 344u);
        for (u32 n = 1; n <= 450; ++n) {
            _FILE_NODE_ node;
            std::memcpy(&node, bytes.data() + (n - 1) * 344, 344);
            ASSERT_EQ(node.nFileIndex, n);
            written.push_back(node);
        }
        EXPECT_EQ(written[0].u64RecordSector, 0x1122334455667788ULL + 5);
        auto dirs = ReadFile(t / "Pro_Fat_2048_1_DirInfo");
        ASSERT_EQ(dirs.size(), 264u);
        _DIR_FILE_INFO_ d;
        std::memcpy(&d, dirs.data(), 264);
        EXPECT_EQ(d.uClusterNO, 5u);
        EXPECT_EQ(d.nFileIndex, 1u);
        EXPECT_STREQ(d.szFileName, "DCIM");
        std::string rel = ReadText(t / "Pro_Fat_2048_1_Relation");
        EXPECT_EQ(rel.substr(0, 23), " | 2 - [1] | 4294967301");
        EXPECT_EQ(rel.back(), ']');
        EXPECT_EQ(rel.find('\n'), std::string::npos);
    }
    // Reopen the earlier log without scanning.
    ASSERT_EQ(s.Init(L"Pro_Fat_2048_1", t.path()), 0);
    EXPECT_EQ(s.GetFileIndex(), 0u);
    EXPECT_EQ(s.GetNodeCount(), 450u);
    ASSERT_EQ(s.GetRelationMap().size(), 2u);
    EXPECT_EQ(s.GetRelationMap().at((1ULL << 32) + 5).size(), 449u);
    ASSERT_EQ(s.GetDirFileInfo().size(), 1u);
    std::vector<_FILE_NODE_> top;
    ASSERT_EQ(s.GetChildrenFileNode(0, top), 0);
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(std::memcmp(&top[0], &written[0], 344), 0);
    std::vector<_FILE_NODE_> kids;
    ASSERT_EQ(s.GetChildrenFileNode((1ULL << 32) + 5, kids), 0);
    ASSERT_EQ(kids.size(), 449u);
    EXPECT_EQ(std::memcmp(&kids[7], &written[8], 344), 0);  // IMG_0007.JPG, node 9
    unsigned count = 0;
    EXPECT_EQ(s.GetChildrenFileCount(0, count), 0);
    EXPECT_EQ(count, 449u);
}

// A resumed log numbers new nodes after the whole records already there; a
// torn record left by a crash is overwritten.
TEST_F(ResultStore, ResumedLogNumbersNewNodesAfterTheWholeRecords) {
    {
        CScanResultFileManager s;
        ASSERT_EQ(s.Init(L"Fast_0_r", t.path()), 0);
        for (u32 i = 0; i < 3; ++i) AddNode(s, ("a" + std::to_string(i) + ".txt").c_str(), false, i + 10, 0, 0);
    }
    std::vector<char> half(100, 'X');
    int fd = open((t / "Fast_0_r").c_str(), O_WRONLY | O_APPEND);
    ASSERT_EQ(write(fd, half.data(), half.size()), 100);
    close(fd);
    ASSERT_EQ(s.Init(L"Fast_0_r", t.path()), 0);
    EXPECT_EQ(AddNode(s, "new.txt", false, 77, 0, 0), 4u);
    ASSERT_EQ(s.FlushBufToFile(), 0);
    _FILE_NODE_ n;
    ASSERT_EQ(s.ReadFileNode(4, &n), 0);
    EXPECT_STREQ(n.szFileName, "new.txt");
    ASSERT_EQ(s.ReadFileNode(1, &n), 0);
    EXPECT_STREQ(n.szFileName, "a0.txt");
    EXPECT_EQ(s.ReadFileNode(5, &n), FR_INVALID);
    std::vector<_FILE_NODE_> v;
    ASSERT_EQ(s.GetChildrenFileNode(0, v), 0);
    EXPECT_EQ(Names(v), (Strings{"a0.txt", "a1.txt", "a2.txt", "new.txt"}));
    EXPECT_EQ(ReadFile(s.GetNodeFilePath()).size(), 4u * 344u);
}

// The relation text " | key - [i,i,...]", written and read back; damaged
// text loads what can be parsed and never crashes the reader.
TEST_F(ResultStore, RelationText) {
    ASSERT_EQ(s.Init(L"File_Type_0_g", t.path()), 0);
    for (auto [key, child] : {std::pair{5u, 7u}, {0u, 1u}, {0u, 2u}, {0u, 3u}}) s.AddChildren(key, key ? 1 : 0, child, 0, nullptr);
    ASSERT_EQ(s.FlushRelationToFile(), 0);
    EXPECT_EQ(ReadText(t / "File_Type_0_g_Relation"), " | 0 - [1,2,3] | 4294967301 - [7]");
    using Map = std::map<u64, std::vector<u32>>;
    const std::pair<const char*, Map> cases[] = {
        {" | 7 - [3] | 7 - [4,5]", {{7, {4, 5}}}},
        {" | -1 - [9]", {{~0ULL, {9}}}},  // keys are written signed
        {" | 0 - [1,2,3] | 9 - [4,5", {{0, {1, 2, 3}}, {9, {4, 5}}}},  // truncated in a list
        {" | 1 - [1,2 | 2 - [3]", {{1, {1, 2}}, {2, {3}}}},             // a missing "]"
        {" | 99999999999999999999999 - [1] | 3 - [99999999999,6]", {{3, {6}}}},  // absurd numbers dropped
        {"garbage | | 4 junk | 5 - [7] | ", {{5, {7}}}},
    };
    for (const auto& [text, want] : cases) {
        CScanResultFileManager::RelationMap m;
        std::string txt = text;
        EXPECT_EQ(s.GetDirRelationMap(txt.data(), static_cast<int>(txt.size()), m), 0);
        EXPECT_EQ(Map(m.begin(), m.end()), want) << text;
    }
    for (uint32_t seed = 1; seed <= 200; ++seed) {
        auto bytes = RandomBytes(512, seed);
        for (size_t i = 0; i < bytes.size(); i += 7) bytes[i] = static_cast<unsigned char>(" |-[],0123456789"[bytes[i] % 16]);
        CScanResultFileManager::RelationMap m;
        s.GetDirRelationMap(reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), m);
    }
}

TEST_F(ResultStore, DamagedCompanionFilesAreBoundedOnLoad) {
    {
        CScanResultFileManager s;
        ASSERT_EQ(s.Init(L"Fast_0_d", t.path()), 0);
        AddNode(s, "DIR", true, 3, 0, 0);
        AddNode(s, "f.txt", false, 4, 3, 1);
    }
    // Children that name records beyond the node file, a huge repeated
    // key list, and a directory-info file with a torn and a bogus record.
    std::string rel = " | 0 - [1,2,3000000000] | 4294967299 - [2,2,2";
    for (int i = 0; i < 20000; ++i) rel += ",2";
    rel += "]";
    WriteFile(t / "Fast_0_d_Relation", rel.data(), rel.size());
    std::vector<unsigned char> dirs(264 * 3 + 100, 0);
    _DIR_FILE_INFO_ d{};
    d.uClusterNO = 3;
    d.nFileIndex = 1;
    std::memset(d.szFileName, 'A', sizeof d.szFileName);  // no terminator
    std::memcpy(dirs.data(), &d, 264);
    d.nFileIndex = 0x7FFFFFFF;
    std::memcpy(dirs.data() + 264, &d, 264);
    WriteFile(t / "Fast_0_d_DirInfo", dirs);

    ASSERT_EQ(s.Init(L"Fast_0_d", t.path()), 0);
    EXPECT_EQ(s.GetRelationMap().at(0), (std::vector<u32>{1, 2}));
    EXPECT_LE(s.GetRelationMap().at(0x100000003ULL).size(), 70u);  // bounded by the node count
    ASSERT_EQ(s.GetDirFileInfo().size(), 1u);
    EXPECT_EQ(strlen(s.GetDirFileInfo()[0].szFileName), 255u);
    std::vector<_FILE_NODE_> v;
    EXPECT_EQ(s.GetChildrenFileNode(0, v), 0);
    EXPECT_EQ(Names(v), (Strings{"f.txt", "DIR"}));
    unsigned n = 0;
    EXPECT_EQ(s.GetChildrenFileCount(0, n), 0);
}

TEST_F(ResultStore, ListingOrderAndPictureFilter) {
    ASSERT_EQ(s.Init(L"Fast_0_o", t.path()), 0);
    AddNode(s, "same", true, 10, 2, 0);
    AddNode(s, "B.jpg", false, 11, 2, 0);
    AddNode(s, "same", false, 12, 2, 0);
    AddNode(s, "a.JPG", false, 13, 2, 0);
    AddNode(s, "broken.JPG", false, 14, 2, 0, false);  // unhealthy picture: hidden
    AddNode(s, "broken.doc", false, 15, 2, 0, false);  // unhealthy, not a picture: listed
    AddNode(s, "noext", false, 16, 2, 0, false);
    AddNode(s, "Pics", true, 20, 2, 0);
    AddNode(s, "x.png", false, 21, 20, 1, false);
    AddNode(s, "y.tif", false, 22, 20, 1, false);
    ASSERT_EQ(s.FlushBufToFile(), 0);
    std::vector<_FILE_NODE_> v;
    ASSERT_EQ(s.GetChildrenFileNode(0, v), 0);
    EXPECT_EQ(Names(v), (Strings{"a.JPG", "B.jpg", "broken.doc", "noext", "same", "Pics", "same"}));
    EXPECT_EQ(v[4].bIsDir, 0u);
    EXPECT_EQ(v[6].bIsDir, 1u);
    // A directory of unhealthy pictures lists nothing, yet counts them.
    v.clear();
    ASSERT_EQ(s.GetChildrenFileNode((1ULL << 32) + 20, v), 0);
    EXPECT_TRUE(v.empty());
    unsigned n = 0;
    ASSERT_EQ(s.GetChildrenFileCount((1ULL << 32) + 20, n), 0);
    EXPECT_EQ(n, 2u);
    ASSERT_EQ(s.GetChildrenFileCount(0, n), 0);
    EXPECT_EQ(n, 8u);
    // A key the map does not hold yields nothing and adds no entry.
    v.clear();
    EXPECT_EQ(s.GetChildrenFileNode(12345, v), 0);
    EXPECT_TRUE(v.empty());
    EXPECT_EQ(s.GetRelationMap().count(12345), 0u);
}

TEST_F(ResultStore, SearchByExtensionAndTheOtherRule) {
    ASSERT_EQ(s.Init(L"Fast_0_s", t.path()), 0);
    AddNode(s, "a.xyz", false, 1, 0, 0);
    AddNode(s, "b.jpg", false, 2, 0, 0);
    AddNode(s, "c", false, 3, 0, 0);
    AddNode(s, "d.JPE", false, 4, 0, 0);
    AddNode(s, "e.gif", false, 5, 0, 0, false);  // unhealthy picture
    AddNode(s, "dir.jpg", true, 6, 0, 0);         // directories never match
    int calls = 0;
    s.InitSearchCallBack(
        [](void* p, int nProgress, wchar_t*) {
            EXPECT_GE(nProgress, 0);
            EXPECT_LE(nProgress, 100);
            ++*static_cast<int*>(p);
            return 0;
        },
        &calls);
    std::vector<__SEARCH_FILE_INFO__> hits;
    EXPECT_EQ(s.SearchFileNodeInfo(L"*.other", hits), 1);
    EXPECT_EQ(Names(hits), (Strings{"a.xyz", "c"}));
    EXPECT_GT(calls, 0);
    hits.clear();
    // ".jpe" occurs inside "*.jpeg": a plain substring match.
    EXPECT_EQ(s.SearchFileNodeInfo(L"*.bmp|*.gif|*.jpg|*.jpeg|", hits), 1);
    EXPECT_EQ(Names(hits), (Strings{"b.jpg", "d.JPE"}));
    EXPECT_EQ(hits[0].nFileIndex, 2u);
    hits.clear();
    EXPECT_EQ(s.SearchFileNodeInfo(L"*.mp3|", hits), 1);
    EXPECT_TRUE(hits.empty());

    // A callback that says stop ends the search early.
    s.InitSearchCallBack([](void*, int, wchar_t*) { return 1; }, nullptr);
    hits.clear();
    EXPECT_EQ(s.SearchFileNodeInfo(L"*.other", hits), 1);
    s.InitSearchCallBack(nullptr, nullptr);

    // Above 0x7FFFFFF bytes of nodes the ".other" rule is switched off.
    ASSERT_EQ(truncate(s.GetNodeFilePath().c_str(), 0x8000000), 0);
    hits.clear();
    EXPECT_EQ(s.SearchFileNodeInfo(L"*.other", hits), 1);
    EXPECT_TRUE(hits.empty());
    hits.clear();
    EXPECT_EQ(s.SearchFileNodeInfo(L"*.jpg|", hits), 1);
    EXPECT_EQ(Names(hits), (Strings{"b.jpg"}));

    CScanResultFileManager closed;
    EXPECT_EQ(closed.SearchFileNodeInfo(L"*.jpg|", hits), 0);
}

// Parents, paths and directories by cluster; a parent chain that loops ends.
TEST_F(ResultStore, ParentChainCyclesEnd) {
    ASSERT_EQ(s.Init(L"Fast_0_pp", t.path()), 0);
    // root (cluster 2, the map's first key) / DCIM (5) / 100CANON (9) / IMG.JPG
    u32 top = AddNode(s, "top.txt", false, 3, 2, 0);
    u32 dcim = AddNode(s, "DCIM", true, 5, 2, 0);
    u32 canon = AddNode(s, "100CANON", true, 9, 5, 1);
    u32 img = AddNode(s, "IMG.JPG", false, 40, 9, 2);
    // Directory A (cluster 10) lies in B (cluster 20) and B lies in A.
    u32 a = AddNode(s, "A", true, 10, 20, 1);
    u32 b = AddNode(s, "B", true, 20, 10, 1);
    u32 f = AddNode(s, "f.txt", false, 50, 10, 2);
    // A directory that is its own parent.
    u32 self = AddNode(s, "S", true, 30, 30, 1);
    ASSERT_EQ(s.FlushBufToFile(), 0);
    _FILE_NODE_ n;
    ASSERT_EQ(s.GetFileNodeByClusterNO(9, &n), 0);
    EXPECT_EQ(n.nFileIndex, canon);
    EXPECT_EQ(s.GetFileNodeByClusterNO(40, &n), FR_INVALID);  // a file, not a directory
    EXPECT_EQ(s.GetFileNodeByClusterNO(12345, &n), FR_INVALID);

    ASSERT_EQ(s.ReadFileNode(img, &n), 0);
    std::vector<_FILE_NODE_> parents;
    EXPECT_EQ(s.GetParentFileNode(&n, parents), 0);
    EXPECT_EQ(Names(parents), (Strings{"100CANON", "DCIM"}));
    EXPECT_EQ(parents[1].nFileIndex, dcim);
    wchar_t path[256];
    EXPECT_EQ(s.GetParentDirPath(&n, path, 256), 0);
    EXPECT_STREQ(path, L"DCIM/100CANON/");
    wchar_t small[6];
    s.GetParentDirPath(&n, small, 6);
    EXPECT_STREQ(small, L"DCIM/");
    ASSERT_EQ(s.ReadFileNode(top, &n), 0);
    EXPECT_EQ(s.GetParentDirPath(&n, path, 256), 0);
    EXPECT_STREQ(path, L"");

    ASSERT_EQ(s.ReadFileNode(f, &n), 0);
    parents.clear();
    EXPECT_EQ(s.GetParentFileNode(&n, parents), 0);
    ASSERT_EQ(parents.size(), 2u);
    EXPECT_EQ(parents[0].nFileIndex, a);
    EXPECT_EQ(parents[1].nFileIndex, b);
    ASSERT_EQ(s.ReadFileNode(self, &n), 0);
    parents.clear();
    EXPECT_EQ(s.GetParentFileNode(&n, parents), 0);
    EXPECT_TRUE(parents.empty());
    EXPECT_EQ(s.GetParentDirPath(&n, path, 256), 0);
    // A subtree walk over the cycle ends too.
    unsigned count = 0;
    EXPECT_EQ(s.GetChildrenFileCount((1ULL << 32) + 20, count), 0);
    EXPECT_EQ(count, 1u);
}

TEST_F(ResultStore, LostNodeBlockIsReportedByTheNextFlush) {
    // The node file is a device that is always full.
    FR_REQUIRE(access("/dev/full", W_OK) == 0, "/dev/full is not available");
    ASSERT_EQ(symlink("/dev/full", (t / "Fast_0_full").c_str()), 0);
    ASSERT_EQ(s.Init(L"Fast_0_full", t.path()), 0);
    for (int i = 0; i < 201; ++i) AddNode(s, "f.txt", false, 1, 0, 0);
    EXPECT_EQ(s.GetWriteError(), ENOSPC);
    EXPECT_EQ(s.FlushFileNodeToFile(), ENOSPC);
    EXPECT_EQ(s.FlushBufToFile(), ENOSPC);
    std::vector<_FILE_NODE_> v;
    EXPECT_EQ(s.GetChildrenFileNode(0, v), ENOSPC);
    // The block's numbers stay taken.
    EXPECT_EQ(s.GetFileIndex(), 201u);
}

TEST_F(ResultStore, DefaultDirectoryComesFromTheLogManager) {
    TempDir data("data");
    ScopedDataDir scope(data.path());
    CLogFileManager& lm = CLogFileManager::GetInstance();
    lm.AddDirIndex();
    {
        CScanResultFileManager s;
        ASSERT_EQ(s.Init(L"Fast_2048_20260101"), 0);
        AddNode(s, "f.txt", false, 1, 0, 0);
    }
    const std::string dir = lm.GetLogFileDirPath();
    EXPECT_EQ(dir, GetScanLogDir() + "1/");
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((dir + "Fast_2048_20260101").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(st.st_size, 344);
}

TEST_F(LogManager, ConfigRoundTripAndTornTail) {
    {
        CLogFileManager m(base);
        EXPECT_EQ(m.GetDirIndex(), 0u);
        EXPECT_EQ(m.Init(), FR_INVALID);  // no table yet
        m.AddDirIndex();
        EXPECT_EQ(m.GetLogFileDirPath(), base + "1/");
        m.AddDirIndex();
        EXPECT_EQ(m.SaveLogFileInfo("", 3, 2048, 1000, 10, 20, 5, 700, 42, (base + "2/").c_str(), ""), 0);
        EXPECT_EQ(m.SaveLogFileInfo("", 4, 0, 50, 0, 0, 0, 50, 1, (base + "1/").c_str(), "card.img"), 0);
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

    // An interrupted rewrite: the old table is gone and the new one was complete.
    ASSERT_EQ(rename((base + "config").c_str(), (base + "config.tmp").c_str()), 0);
    {
        CLogFileManager m(base);
        EXPECT_EQ(m.GetDirIndex(), 2u);
        EXPECT_EQ(m.GetRecords().size(), 2u);
        EXPECT_TRUE(Exists(base + "config"));
        EXPECT_FALSE(Exists(base + "config.tmp"));
    }
    // A temporary next to an intact table is a rewrite that never finished.
    WriteFile(base + "config.tmp", "junk", 4);
    EXPECT_EQ(CLogFileManager(base).GetRecords().size(), 2u);

    // 8 + 592 x 3 + 100 bytes: three records, the torn tail ignored.
    std::vector<unsigned char> cfg(8 + 592 * 3 + 100, 0);
    idx = 7;
    std::memcpy(cfg.data(), &idx, 8);
    for (int k = 0; k < 3; ++k) {
        _LOG_FILE_INFO_ rec{};
        rec.nDiskNumber = k;
        rec.u64StartSector = 100 * k;
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

// An unchanged volume reuses its log and updates its record in place; a
// changed one drops its stale log, at loading or at saving.
TEST_F(LogManager, VolumeLogIsReusedOnlyWhileUnchanged) {
    // A hostile table that points the volume's log outside the base: that
    // log is not reused and its record goes.
    CLogFileManager(base).SaveLogFileInfo("", 2, 63, 1000, 0, 0, 0, 0, 0, (t.path() + "/").c_str(), "");
    _LOG_FILE_INFO_ out{};
    std::string dir;
    {  // (a manager holds its folder while it lives, as a process does)
        CLogFileManager m(base);
        EXPECT_EQ(m.LoadRecoveryLogInfo("", 2, 63, 1000, &out), 0);
        EXPECT_FALSE(m.IsReusing());
        EXPECT_TRUE(m.GetRecords().empty());
        EXPECT_TRUE(Exists(base + "config"));
        m.AddDirIndex();
        dir = m.GetLogFileDirPath();
        MakeLog(dir);
        // The empty path reports no free space both times: nothing changed.
        m.SaveLogFileInfo("", 2, 63, 1000, 100, 50, 10, 500, 7, dir.c_str(), "");
    }

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

    // "/" has free space, the stored value is 0: the volume changed.
    EXPECT_EQ(again.LoadRecoveryLogInfo("/", 2, 63, 1000, &out), 0);
    EXPECT_FALSE(Exists(dir));
    EXPECT_TRUE(again.GetRecords().empty());
    // A directory left behind under the next number is removed first.
    MakeLog(base + "2/");
    again.AddDirIndex();
    const std::string dir2 = again.GetLogFileDirPath();
    EXPECT_EQ(dir2, base + "2/");
    EXPECT_FALSE(Exists(dir2 + "Fast_0_1"));
    MakeLog(dir2);
    again.SaveLogFileInfo("", 2, 63, 1000, 0, 0, 0, 1000, 7, dir2.c_str(), "");
    again.AddDirIndex();
    const std::string dir3 = again.GetLogFileDirPath();
    MakeLog(dir3);
    // A new scan whose free space differs: the old log goes.
    again.SaveLogFileInfo("/", 2, 63, 1000, 0, 0, 0, 1000, 8, dir3.c_str(), "");
    EXPECT_FALSE(Exists(dir2));
    ASSERT_EQ(again.GetRecords().size(), 1u);
    // The same scan saving again after the free space moved keeps its own log.
    again.SaveLogFileInfo("", 2, 63, 1000, 0, 0, 0, 1000, 9, dir3.c_str(), "");
    EXPECT_TRUE(Exists(dir3 + "Fast_0_1"));
    ASSERT_EQ(again.GetRecords().size(), 1u);
    EXPECT_EQ(again.GetRecords()[0].u64FoundFiles, 9u);
}

TEST_F(LogManager, DeleteStaysBelowTheBaseAndFollowsNoLinks) {
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
    // The matching record goes too, its path compared ignoring case.
    for (int disk : {1, 2, 3})
        m.SaveLogFileInfo("", disk, 0, 10, 0, 0, 0, 0, 0, (base + std::to_string(disk) + "/").c_str(), "");
    std::string upper = base + "2/";
    for (char& c : upper) c = static_cast<char>(toupper(c));
    m.DeleteLogFileDir(upper.c_str());
    auto recs = m.GetRecords();
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].nDiskNumber, 1);
    EXPECT_EQ(recs[1].nDiskNumber, 3);
}

TEST_F(LogManager, ResultFileByPrefix) {
    const std::string dir = base + "1/";
    ASSERT_EQ(Sh("mkdir -p " + Quote(dir)), 0);
    for (const char* n : {"Pro_Fat_2048_20260101_DirInfo", "Pro_Fat_2048_20260101_Relation",
                          "Pro_Fat_2048_20260101", "Fast_2048_20260101", "File_Type_2048_1"})
        WriteFile(dir + n, "", 0);
    CLogFileManager m(base);
    const std::tuple<std::string, const char*, const char*> cases[] = {
        {dir, "Pro_Fat_", "Pro_Fat_2048_20260101"}, {dir, "Pro_Ntfs_", ""}, {dir + "nope/", "Fast_", ""}};
    for (const auto& [d, prefix, want] : cases) {
        char out[256] = "x";
        m.GetLogFileNameByFileType(d.c_str(), prefix, out);
        EXPECT_STREQ(out, want) << prefix;
    }
}

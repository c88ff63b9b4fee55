// NTFS record rules on hand-built bytes: run-list decoding, the update
// sequence fix-up, the FILE candidate test, record-to-sector mapping and
// the bounded attribute walk.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rules/NtfsParse.h"
#include "support/CarveKit.h"

namespace {

void Put16(std::vector<unsigned char>& b, size_t off, unsigned v) { carvekit::Put(b, off, v, 2); }
void Put32(std::vector<unsigned char>& b, size_t off, unsigned v) { carvekit::Put(b, off, v, 4); }

// A non-resident attribute header of `len` bytes whose run list (at 64)
// holds the given bytes.
std::vector<unsigned char> NonResidentAttr(const std::vector<unsigned char>& runBytes, u32 len = 0) {
    if (len == 0) len = static_cast<u32>((64 + runBytes.size() + 1 + 7) & ~7u);
    std::vector<unsigned char> a(std::max<size_t>(len, 64 + runBytes.size()), 0);
    Put32(a, 0, 0x80);
    Put32(a, 4, len);
    a[8] = 1;
    Put16(a, 32, 64);
    std::memcpy(a.data() + 64, runBytes.data(), runBytes.size());
    return a;
}

std::vector<__RUNLIST__> Decode(const std::vector<unsigned char>& attr, int bps = 512) {
    CNtfsParse p;
    EXPECT_EQ(p.Init(bps), 0);
    std::vector<__RUNLIST__> runs;
    p.GetRunList(attr.data(), attr.size(), runs);
    return runs;
}

// A 1024-byte FILE record, fixed-up form on disk: sector ends carry usn.
std::vector<unsigned char> MakeRecord(u16 usn, u16 saved1, u16 saved2) {
    std::vector<unsigned char> r(1024, 0);
    Put32(r, 0, NTFS_FILE_SIGNATURE);
    Put16(r, 4, 48);
    Put16(r, 6, 3);
    Put16(r, 20, 56);
    Put16(r, 22, 0);
    Put32(r, 24, 64);
    Put32(r, 28, 1024);
    Put16(r, 48, usn);
    Put16(r, 50, saved1);
    Put16(r, 52, saved2);
    Put16(r, 510, usn);
    Put16(r, 1022, usn);
    Put32(r, 56, NTFS_ATTR_END);
    return r;
}

}  // namespace

struct RunCase {
    const char* name;
    std::vector<unsigned char> bytes;
    u32 attrLen;  // 0: just long enough
    int bytesPerSector;
    std::vector<std::pair<u64, i64>> want;  // length, delta
};

TEST(NtfsRunList, Decoding) {
    const RunCase cases[] = {
        {"length and positive delta", {0x21, 0x18, 0x34, 0x56, 0x00}, 0, 512, {{0x18, 0x5634}}},
        {"negative delta", {0x21, 0x10, 0x00, 0x01, 0x11, 0x30, 0xF0, 0x00}, 0, 512, {{0x10, 0x100}, {0x30, -16}}},
        {"three-byte negative delta", {0x31, 0x05, 0x00, 0xFE, 0xFF}, 0, 512, {{5, -512}}},
        {"two-byte length", {0x22, 0x00, 0x01, 0x34, 0x12}, 0, 512, {{0x100, 0x1234}}},
        {"sparse run", {0x11, 0x04, 0x20, 0x01, 0x08, 0x11, 0x02, 0x10, 0x00}, 0, 512, {{4, 0x20}, {8, 0}, {2, 0x10}}},
        {"oversize length field", {0x81, 0x01, 1, 2, 3, 4, 5, 6, 7, 8}, 0, 512, {}},
        {"oversize offset field", {0x11, 0x01, 0x05, 0x18, 0x01, 1, 2, 3, 4, 5, 6, 7, 8}, 0, 512, {{1, 5}}},
        {"length uses the low 32 bits", {0x15, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00}, 0, 512, {{1, 0}}},
        {"pair crossing the attribute end", {0x11, 0x01, 0x02, 0x11, 0x01, 0x03, 0x44, 1, 2, 3, 4, 5, 6, 7, 8}, 72, 512,
         {{1, 2}, {1, 3}}},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<u64, i64>> got;
        for (auto& r : Decode(NonResidentAttr(c.bytes, c.attrLen), c.bytesPerSector))
            got.emplace_back(r.u64ClusterCount, r.i64ClusterOffset);
        EXPECT_EQ(got, c.want) << c.name;
    }
    // A heavily fragmented file: 109 runs fill a 512-byte attribute and more.
    std::vector<unsigned char> many;
    for (int i = 0; i < 109; ++i) many.insert(many.end(), {0x31, 0x02, 0x10, 0x00, 0x00});
    auto runs = Decode(NonResidentAttr(many));
    ASSERT_EQ(runs.size(), 109u);
    EXPECT_EQ(runs[108].i64ClusterOffset, 0x10);
    // A sparse run does not move the position of the runs after it.
    auto ext = NtfsAbsoluteRuns(Decode(NonResidentAttr(cases[4].bytes)));
    ASSERT_EQ(ext.size(), 3u);
    EXPECT_EQ(ext[1].lcn, -1);
    EXPECT_EQ(ext[2].lcn, 0x30);
    // The runs of an extension record continue from the absolute position.
    std::vector<__RUNLIST__> base = {{4, 100}, {4, 20}};  // at 100, then 120
    NtfsAppendExtentRuns(base, {{8, 300}, {2, -10}});     // extent at 300, then 290
    ext = NtfsAbsoluteRuns(base);
    ASSERT_EQ(ext.size(), 4u);
    EXPECT_EQ(ext[2].lcn, 300);
    EXPECT_EQ(ext[3].lcn, 290);
    // A run-list offset beyond the attribute, or a buffer shorter than it.
    auto attr = NonResidentAttr({0x11, 0x01, 0x02, 0x11, 0x01, 0x03}, 128);
    CNtfsParse p;
    std::vector<__RUNLIST__> r;
    p.GetRunList(attr.data(), 67, r);
    EXPECT_EQ(r.size(), 1u);
    Put16(attr, 32, 200);
    EXPECT_TRUE(Decode(attr).empty());
}

// The fix-up restores the sector ends; a torn record is refused unchanged.
TEST(NtfsFixUp, RestoresSectorEndsOrRefuses) {
    CNtfsParse p;
    auto r = MakeRecord(0x0007, 0xAABB, 0xCCDD);
    auto torn = r;
    Put16(torn, 1022, 0x0008);  // second sector written by a later update
    const auto before = torn;
    EXPECT_EQ(p.FileRecordFixUp(torn.data()), NTFS_FIXUP_TORN);
    EXPECT_EQ(torn, before);
    EXPECT_EQ(p.FileRecordFixUp(r.data()), 0);
    EXPECT_EQ(GetLe16(r.data() + 510), 0xAABB);
    EXPECT_EQ(GetLe16(r.data() + 1022), 0xCCDD);
    std::vector<unsigned char> z(1024, 0);
    EXPECT_EQ(p.FileRecordFixUp(z.data()), NTFS_FIXUP_EMPTY);
    EXPECT_EQ(p.FileRecordFixUp(nullptr), NTFS_FIXUP_EMPTY);
    // NTFS 3.0 keeps the update sequence at 42, as the header says; the
    // number at 48 is then ordinary header data.
    auto v30 = MakeRecord(0x0007, 0, 0);
    for (auto [at, v] : {std::pair{4, 42}, {42, 9}, {44, 0xAABB}, {46, 0xCCDD}, {510, 9}, {1022, 9}})
        Put16(v30, at, static_cast<u16>(v));
    EXPECT_TRUE(IsNtfsFileRecord(v30.data(), 1024));
    ASSERT_EQ(p.FileRecordFixUp(v30.data()), 0);
    EXPECT_EQ(GetLe16(v30.data() + 1022), 0xCCDD);
    // An offset outside the first sector is refused.
    auto bad = MakeRecord(0x0007, 0, 0);
    Put16(bad, 4, 600);
    EXPECT_FALSE(IsNtfsFileRecord(bad.data(), 1024));
    EXPECT_EQ(p.FileRecordFixUp(bad.data()), NTFS_FIXUP_TORN);
    // The FILE candidate test.
    auto r5 = MakeRecord(5, 0, 0);
    EXPECT_TRUE(IsNtfsFileRecord(r5.data(), 1024));
    EXPECT_FALSE(IsNtfsFileRecord(r5.data(), 4096));  // bytes allocated differ
    bad = r5;
    Put16(bad, 510, 6);
    EXPECT_FALSE(IsNtfsFileRecord(bad.data(), 1024)) << "torn";
    bad = r5;
    Put32(bad, 24, 2000);
    EXPECT_FALSE(IsNtfsFileRecord(bad.data(), 1024)) << "bytes in use beyond the record";
    bad = r5;
    bad[0] = 'B';
    EXPECT_FALSE(IsNtfsFileRecord(bad.data(), 1024)) << "signature";
}

TEST(NtfsFixUp, FourKSectorRecordHasEightStrides) {
    CNtfsParse p;
    ASSERT_EQ(p.Init(4096), 0);
    EXPECT_EQ(p.nRecordSectors, 1);
    EXPECT_EQ(p.RecordSize(), 4096);
    std::vector<unsigned char> r(4096, 0);
    Put32(r, 0, NTFS_FILE_SIGNATURE);
    Put16(r, 4, 48);
    Put16(r, 48, 3);
    for (int i = 0; i < 8; ++i) {
        Put16(r, 50 + 2 * i, static_cast<u16>(0x1200 + i));
        Put16(r, 512 * (i + 1) - 2, 3);
    }
    auto torn = r;
    Put16(torn, 2046, 4);
    EXPECT_EQ(p.FileRecordFixUp(torn.data()), NTFS_FIXUP_TORN);
    EXPECT_EQ(p.FileRecordFixUp(r.data()), 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(GetLe16(r.data() + 512 * (i + 1) - 2), 0x1200 + i);
    EXPECT_EQ(p.Init(0), 0);
    for (int bad : {3, 256, 8192}) EXPECT_EQ(p.Init(bad), FR_INVALID) << bad;
    EXPECT_EQ(p.nBytesPerSector, 512);
}

TEST(NtfsGeometry, RecordToSector) {
    std::vector<__RUNLIST__> runs = {{10, 100}, {10, 50}};
    u64 s = 0;
    EXPECT_TRUE(NtfsRecordToSector(40, runs, 8, 2, 1000, &s));
    EXPECT_EQ(s, 1000u + 150 * 8);
    EXPECT_TRUE(NtfsRecordToSector(39, runs, 8, 2, 1000, &s));
    EXPECT_EQ(s, 1000u + 100 * 8 + 78);
    EXPECT_FALSE(NtfsRecordToSector(80, runs, 8, 2, 1000, &s));
    EXPECT_EQ(s, 1000u);  // uncovered records map to the volume start
    EXPECT_FALSE(NtfsRecordToSector(~0ull, runs, 8, 2, 1000, &s));
    std::vector<__RUNLIST__> endless = {{0, 100}};
    EXPECT_TRUE(NtfsRecordToSector(1000, endless, 8, 2, 0, &s));
    EXPECT_EQ(s, 100u * 8 + 2000);
    std::vector<__RUNLIST__> neg = {{10, -5}};
    EXPECT_FALSE(NtfsRecordToSector(1, neg, 8, 2, 0, &s));
}

TEST(NtfsAttrWalk, StopsAtMalformedAttributes) {
    auto r = MakeRecord(1, 0, 0);
    // Attribute 1 at 56: resident 0x30 of 32 bytes; attribute 2 claims to run
    // past bytes in use.
    Put32(r, 24, 200);
    Put32(r, 56, 0x10);
    Put32(r, 60, 32);
    Put32(r, 88, 0x80);
    Put32(r, 92, 500);
    NtfsRecordHeader h;
    ASSERT_TRUE(NtfsReadRecordHeader(r.data(), 1024, h));
    CNtfsAttrWalk w(r.data(), h, h.nBytesInUse);
    NtfsAttr a;
    ASSERT_TRUE(w.Next(a));
    EXPECT_EQ(a.nType, 0x10u);
    EXPECT_FALSE(w.Next(a));
    // An attribute of length 0 would never move the walk on.
    Put32(r, 60, 0);
    CNtfsAttrWalk zero(r.data(), h, h.nBytesInUse);
    EXPECT_FALSE(zero.Next(a));
    // A first-attribute offset beyond bytes in use is refused.
    Put16(r, 20, 300);
    EXPECT_FALSE(NtfsReadRecordHeader(r.data(), 1024, h));
    Put16(r, 20, 56);
    Put32(r, 24, 5000);
    EXPECT_FALSE(NtfsReadRecordHeader(r.data(), 1024, h));
}

TEST(NtfsAttrWalk, ResidentValueAndFileNameBounds) {
    auto r = MakeRecord(1, 0, 0);
    Put32(r, 24, 400);
    // File-name attribute at 56: value at 24, name "ab.txt" (6 units).
    const u32 vlen = 66 + 12;
    const u32 alen = (24 + vlen + 7) & ~7u;
    Put32(r, 56, 0x30);
    Put32(r, 60, alen);
    Put32(r, 56 + 16, vlen);
    Put16(r, 56 + 20, 24);
    unsigned char* v = r.data() + 56 + 24;
    v[0] = 40, v[2] = 1, v[6] = 5;  // parent record 65,576, sequence 5
    v[64] = 6;
    v[65] = 1;
    const char* nm = "ab.txt";
    for (int i = 0; i < 6; ++i) v[66 + 2 * i] = nm[i];
    Put32(r, 56 + alen, NTFS_ATTR_END);
    NtfsRecordHeader h;
    ASSERT_TRUE(NtfsReadRecordHeader(r.data(), 1024, h));
    CNtfsAttrWalk w(r.data(), h, h.nBytesInUse);
    NtfsAttr a;
    ASSERT_TRUE(w.Next(a));
    NtfsFileName fn;
    ASSERT_TRUE(NtfsParseFileName(a, fn));
    EXPECT_EQ(fn.strName, "ab.txt");
    EXPECT_EQ(fn.ParentRecord(), 65576u);
    // The parent's sequence number: the reference's, or one more once the parent was deleted (0xFFFF wraps to
    // 1); a reference without one matches any.
    const u64 ref = fn.u64ParentRef;
    EXPECT_TRUE(NtfsParentSequenceMatches(5, true, ref) && NtfsParentSequenceMatches(6, false, ref) &&
                NtfsParentSequenceMatches(9, true, NtfsRefRecord(ref)) && NtfsParentSequenceMatches(1, false, ~0ull));
    EXPECT_FALSE(NtfsParentSequenceMatches(6, true, ref) || NtfsParentSequenceMatches(7, false, ref) ||
                 NtfsParentSequenceMatches(4, false, ref) || NtfsParentSequenceMatches(0, false, ~0ull));
    EXPECT_EQ(fn.nNamespace, 1);
    // A name length beyond the value is refused.
    v[64] = 200;
    EXPECT_FALSE(NtfsParseFileName(a, fn));
    // A value length beyond the attribute is refused.
    v[64] = 6;
    Put32(r, 56 + 16, 4000);
    const unsigned char* pv;
    u32 len;
    EXPECT_FALSE(NtfsResidentValue(a, &pv, &len));
    // Names in UTF-16: a surrogate pair decoded, a lone surrogate replaced.
    const unsigned char s[] = {'a', 0, 0xE9, 0, 0x3D, 0xD8, 0x00, 0xDE, 0x00, 0xD8, 0, 0};
    EXPECT_EQ(NtfsUtf16ToUtf8(s, 6), "a\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD_");
}

TEST(NtfsAttrList, EntriesAreBounded) {
    std::vector<unsigned char> l(96, 0);
    Put32(l, 0, 0x10);
    Put16(l, 4, 32);
    Put32(l, 16, 12);
    Put16(l, 22, 3);  // sequence number 3
    Put32(l, 32, 0x80);
    Put16(l, 36, 32);
    Put32(l, 48, 77);
    Put16(l, 54, 1);
    Put32(l, 64, 0x80);
    Put16(l, 68, 300);  // runs past the list
    std::vector<NtfsAttrListEntry> e;
    NtfsParseAttrList(l.data(), l.size(), e);
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].u64RecordNumber, 12u);
    EXPECT_EQ(e[1].nType, 0x80u);
    EXPECT_EQ(e[1].u64RecordNumber, 77u);
}

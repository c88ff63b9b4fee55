// Container walks: real MP4, MOV, 3GP, M4A, HEIC, AVIF, WebP, WAV, AVI,
// AIFF, Ogg, Opus, FLAC, WebM and MKV files made at test time are measured
// exactly although random bytes follow them, by the walk itself; cut short
// and hostile structures fall back or stop, never past the volume.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "carving/CarveDriver.h"
#include "carving/ContainerWalks.h"
#include "carving/FileTypeRecovery.h"
#include "core/Categories.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"
#include "support/CarveKit.h"
#include "support/TestKit.h"

namespace {

using Bytes = std::vector<unsigned char>;
using WalkFn = unsigned long long (*)(CFileTypeJudge&, const unsigned char*, int);

void Box(Bytes& v, const char* type, const Bytes& payload) {
    const size_t n = payload.size() + 8;
    v.insert(v.end(), {static_cast<unsigned char>(n >> 24), static_cast<unsigned char>(n >> 16),
                       static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
    v.insert(v.end(), type, type + 4);
    v.insert(v.end(), payload.begin(), payload.end());
}

template <size_t N>
Bytes Lit(const char (&s)[N]) {
    return Bytes(s, s + N - 1);
}

// An image holding the file at sector 8, random bytes after it.
struct Placed {
    testkit::TempDir dir{"walk"};
    CDiskReader reader;
    CFileTypeJudge judge;
    Bytes img;
    explicit Placed(const Bytes& file, size_t junkSectors = 40) {
        img.assign(8 * 512, 0);
        img.insert(img.end(), file.begin(), file.end());
        Bytes junk = testkit::RandomBytes(junkSectors * 512 + (512 - img.size() % 512), 9);
        img.insert(img.end(), junk.begin(), junk.end());
        testkit::WriteFile(dir / "i.raw", img);
        EXPECT_EQ(0, reader.Init((dir / "i.raw").c_str(), img.size() / 512));
        judge.m_pDiskReader = &reader;
        judge.m_u64StartSector = judge.m_u64CurrentSector = 8;
    }
    const unsigned char* First() const { return img.data() + 8 * 512; }
    unsigned long long Walk(WalkFn w) { return w(judge, First(), 512); }
    unsigned long long Carve(std::string& name, int& code) {
        char n[64] = {0};
        EXTEND_NAME_TYPE t = FT_NONE;
        unsigned long long size = 0;
        EXPECT_EQ(0, judge.ParseFileBuf(First(), 512, 8, 0, img.size() / 512, -1, 0, &reader, 512, n, t, size));
        name = n;
        code = t;
        return size;
    }
};

struct RealCase {
    const char* kind;
    int code;
    const char* ext;
    WalkFn walk;
};

class RealContainers : public ::testing::TestWithParam<RealCase> {};

TEST_P(RealContainers, MeasuredExactlyByTheirWalk) {
    const RealCase c = GetParam();
    const Bytes file = carvekit::SampleBytes(c.kind);
    FR_REQUIRE(file.size() > 64, std::string("cannot make a sample of kind ") + c.kind);
    Placed p(file);
    EXPECT_EQ(file.size(), p.Walk(c.walk));
    std::string name;
    int code = FT_NONE;
    EXPECT_EQ(file.size(), p.Carve(name, code));
    EXPECT_EQ(c.code, code);
    EXPECT_EQ(std::string("8.") + c.ext, name);
    EXPECT_EQ(1, p.judge.IsFileTypeMatching(p.First(), 512, c.ext, &p.reader, 512, 8));
}

INSTANTIATE_TEST_SUITE_P(
    Samples, RealContainers,
    ::testing::Values(RealCase{"mp4", FT_MP4, "mp4", WalkIsoBoxes}, RealCase{"mov", FT_MOV, "mov", WalkIsoBoxes},
                      RealCase{"3gp", FT_3GP, "3gp", WalkIsoBoxes}, RealCase{"m4a", FT_M4A, "m4a", WalkIsoBoxes},
                      RealCase{"heic", FT_HEIC, "heic", WalkIsoBoxes}, RealCase{"avif", FT_AVIF, "avif", WalkIsoBoxes},
                      RealCase{"cr3", FT_CR3, "cr3", WalkIsoBoxes}, RealCase{"webp", FT_WEBP, "webp", WalkRiffChunks},
                      RealCase{"wav", FT_WAV, "wav", WalkRiffChunks}, RealCase{"avi", FT_AVI, "avi", WalkRiffChunks},
                      RealCase{"aiff", FT_AIFF, "aiff", WalkAiffChunks}, RealCase{"ogg", FT_OGG, "ogg", WalkOggPages},
                      RealCase{"oga", FT_OGG, "ogg", WalkOggPages},
                      RealCase{"oggflac", FT_OGG, "ogg", WalkOggPages},
                      RealCase{"opus", FT_OPUS, "opus", WalkOggPages},
                      RealCase{"flac", FT_FLAC, "flac", WalkFlacStream},
                      RealCase{"webm", FT_WEBM, "webm", WalkEbmlSegment},
                      RealCase{"live.webm", FT_WEBM, "webm", WalkEbmlSegment},
                      RealCase{"mkv", FT_MKV, "mkv", WalkEbmlSegment}),
    [](const ::testing::TestParamInfo<RealCase>& i) {
        std::string n = i.param.kind;
        std::replace(n.begin(), n.end(), '.', '_');
        return n;
    });

TEST(ContainerWalks, IsoBoxesCutShortOrHostile) {
    Bytes head;
    Box(head, "ftyp", Lit("heic\0\0\0\0mif1heic"));
    Box(head, "meta", testkit::RandomBytes(200, 1));
    // A 64-bit box size.
    Bytes big = head;
    big.insert(big.end(), {0, 0, 0, 1, 'm', 'd', 'a', 't', 0, 0, 0, 0, 0, 0, 0x10, 0});
    big.resize(big.size() + 0x1000 - 16, 0x77);
    EXPECT_EQ(big.size(), Placed(big).Walk(WalkIsoBoxes));
    // Size 0 (to the end of a stream) and a size past the volume: fallback.
    Bytes zero = head;
    zero.insert(zero.end(), {0, 0, 0, 0, 'm', 'd', 'a', 't'});
    EXPECT_EQ(0u, Placed(zero).Walk(WalkIsoBoxes));
    Bytes past = head;
    past.insert(past.end(), {0x10, 0, 0, 0, 'm', 'd', 'a', 't'});
    EXPECT_EQ(0u, Placed(past).Walk(WalkIsoBoxes));
    // Data wiped to zeros for over 1 MiB ends the file where the zeros begin.
    Bytes wiped = head;
    const size_t mdat = wiped.size();
    Box(wiped, "mdat", Bytes(3 << 20, 0));
    std::fill(wiped.begin() + static_cast<long>(mdat) + 8, wiped.begin() + static_cast<long>(mdat) + 5000, 0x42);
    Box(wiped, "free", Bytes(8, 0));
    const u64 wipeStart = (8 * 512 + mdat + 5000 + 511) / 512 * 512 - 8 * 512;
    EXPECT_EQ(wipeStart, Placed(wiped).Walk(WalkIsoBoxes));
}

TEST(ContainerWalks, ChunksPagesAndFramesThatStop) {
    // A RIFF chunk running past its container; an odd last chunk's pad byte.
    Bytes riff = Lit("RIFF\x24\0\0\0WEBPVP8 \x40\0\0\0");
    riff.resize(44, 1);
    EXPECT_EQ(0u, Placed(riff).Walk(WalkRiffChunks));
    Bytes odd = Lit("RIFF\x1b\0\0\0WEBPVP8L\x0f\0\0\0");
    odd.resize(35, 1);
    EXPECT_EQ(36u, Placed(odd).Walk(WalkRiffChunks));
    // An Ogg stream cut after some pages ends at its last whole page; a
    // broken checksum on the last page ends it at the page before.
    const Bytes ogg = carvekit::SampleBytes("ogg"), flac = carvekit::SampleBytes("flac");
    FR_REQUIRE(ogg.size() > 8192 && flac.size() > 8192, "ffmpeg is needed");
    size_t page = 0;
    for (size_t at = 4; at + 4 < ogg.size(); ++at)
        if (std::memcmp(ogg.data() + at, "OggS", 4) == 0) page = at;  // the last page
    Bytes cut(ogg.begin(), ogg.begin() + static_cast<long>(page) + 20);
    EXPECT_EQ(page, Placed(cut).Walk(WalkOggPages));
    Bytes bad = ogg;
    bad[page + 23] ^= 1;
    EXPECT_EQ(page, Placed(bad).Walk(WalkOggPages));
    // A FLAC frame chain broken in the middle stops at a frame before it.
    Bytes broken = flac;
    std::fill(broken.begin() + static_cast<long>(flac.size() / 2), broken.end(), 0x5A);
    const u64 got = Placed(broken).Walk(WalkFlacStream);
    EXPECT_GT(got, 1000u);
    EXPECT_LE(got, flac.size() / 2);
    // A live WebM recording (segment size unknown) is walked element by
    // element; one whose cluster runs past the volume falls back.
    Bytes live = carvekit::SampleBytes("live.webm");
    FR_REQUIRE(live.size() > 1000, "ffmpeg is needed");
    EXPECT_EQ(live.size(), Placed(live).Walk(WalkEbmlSegment));
    size_t cl = 0;
    while (cl + 4 < live.size() && std::memcmp(live.data() + cl, "\x1F\x43\xB6\x75", 4) != 0) ++cl;
    live[cl + 4] = 0x08;  // a 5-byte size: 0x??????.. bytes, far past the image
    EXPECT_EQ(0u, Placed(live).Walk(WalkEbmlSegment));
}

TEST(ContainerWalks, StoppedByTheUser) {
    // The user stops the job at the walk's first read: the carve ends with
    // the stop code at once.
    const Bytes flac = carvekit::SampleBytes("flac");
    FR_REQUIRE(flac.size() > 8192, "ffmpeg is needed");
    Placed p(flac);
    int calls = 0;
    auto stop = [](void* c, int, int, int, u64, u64, u64, wchar_t*) {
        ++*static_cast<int*>(c);
        return FR_RECOVERY_CANCELLED;
    };
    p.judge.InitCallBack(stop, nullptr, &calls, 90);
    char name[64];
    EXTEND_NAME_TYPE t = FT_NONE;
    unsigned long long size = 0;
    EXPECT_EQ(static_cast<int>(FR_STOP_CODE),
              p.judge.ParseFileBuf(p.First(), 512, 8, 0, p.img.size() / 512, -1, 0, &p.reader, 512, name, t, size));
    EXPECT_EQ(1, calls);
}

TEST(ContainerSignatures, StructureBeyondTheMagic) {
    CFileTypeJudge j;
    Bytes heic;
    Box(heic, "ftyp", Lit("heic\0\0\0\0mif1heic"));
    heic.resize(512, 0);
    EXPECT_EQ(FT_NONE, j.GetDataBufType(heic.data(), 512));  // no top-level box follows
    Box(heic, "meta", {});
    std::copy(heic.begin() + 512, heic.end(), heic.begin() + 24);
    EXPECT_EQ(FT_HEIC, j.GetDataBufType(heic.data(), 512));
    heic[10] = 0x01;  // a brand that is not text
    EXPECT_EQ(FT_NONE, j.GetDataBufType(heic.data(), 512));
    Bytes ogg = carvekit::SampleBytes("ogg"), flac = carvekit::SampleBytes("flac");
    FR_REQUIRE(ogg.size() > 512 && flac.size() > 512, "ffmpeg is needed");
    EXPECT_EQ(FT_OGG, j.GetDataBufType(ogg.data(), 512));
    ogg[6] = 1;  // a stream's first page is at position 0
    EXPECT_EQ(FT_NONE, j.GetDataBufType(ogg.data(), 512));
    flac[7] = 33;  // STREAMINFO is 34 bytes
    EXPECT_EQ(FT_NONE, j.GetDataBufType(flac.data(), 512));
    // The new extensions are listed where users look for them.
    EXPECT_EQ(CATEGORY_PHOTO, GetFileCategory("IMG_0001.HEIC"));
    EXPECT_STREQ("audio", GetCategoryFolderName("a.flac"));
    EXPECT_STREQ("video", GetCategoryFolderName("a.fla"));  // Flash stays video
    EXPECT_EQ(CATEGORY_VIDEO, GetFileCategory("a.webm"));
}

TEST(ContainerCarving, AllFormatsBetweenRandomBytes) {
    // The whole carve: every file found at its sector with its exact length.
    testkit::TempDir dir("allc");
    setenv("FOTORETTA_DATA_DIR", dir.path().c_str(), 1);
    ResetDataDirCache();
    CLogFileManager::ResetInstance();
    Bytes img(4 * 512, 0);
    std::map<u64, Bytes> want;
    for (const char* k : {"m4a", "heic", "avif", "webp", "aiff", "ogg", "opus", "flac", "webm", "cr3", "mp4", "wav"}) {
        Bytes f = carvekit::SampleBytes(k);
        if (f.empty()) continue;
        want[img.size() / 512] = f;
        img.insert(img.end(), f.begin(), f.end());
        // Random bytes right after the file, then sectors that start no file.
        Bytes junk = testkit::RandomBytes((512 - img.size() % 512) % 512 + 3 * 512, static_cast<uint32_t>(img.size()));
        img.insert(img.end(), junk.begin(), junk.end());
        for (size_t s = img.size() - 3 * 512; s < img.size(); s += 512) img[s] = 0x55;
    }
    FR_REQUIRE(want.size() >= 8, "too few samples could be made");
    testkit::WriteFile(dir / "img.raw", img);
    CFileTypeRecovery e;
    std::wstring w = Utf8ToWide(dir / "img.raw");
    ASSERT_EQ(0, e.Init(w.data(), L'C'));
    std::map<u64, u64> found;
    e.SetNodeListener([&](const _FILE_NODE_& n) { found[n.u64RecordSector] = n.u64FileSize; });
    ASSERT_EQ(0, CarveImage(e, nullptr, nullptr, nullptr, nullptr));
    for (auto& [sector, f] : want) EXPECT_EQ(f.size(), found[sector]) << "at sector " << sector;
    EXPECT_EQ(want.size(), found.size());
    unsetenv("FOTORETTA_DATA_DIR");
    ResetDataDirCache();
    CLogFileManager::ResetInstance();
}

}  // namespace

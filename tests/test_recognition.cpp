// Recognition of file starts: signature tests on hand-built sectors
// (including buffers too short for what a test reads) and the first sector
// of real files placed in an image.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "support/CarveKit.h"
#include "support/TestKit.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Sector(std::initializer_list<unsigned char> head, size_t len = 512) {
    Bytes b(len, 0);
    std::copy(head.begin(), head.end(), b.begin());
    return b;
}

// An image with the file at sector 8, zero sectors before and after.
struct PlacedFile {
    testkit::TempDir dir{"rec"};
    CDiskReader reader;
    Bytes image;
    explicit PlacedFile(const Bytes& file) {
        image.assign(8 * 512, 0);
        image.insert(image.end(), file.begin(), file.end());
        image.resize((image.size() + 511) / 512 * 512 + 64 * 512, 0);
        testkit::WriteFile(dir / "img.raw", image);
        EXPECT_EQ(0, reader.Init((dir / "img.raw").c_str(), image.size() / 512));
    }
    const unsigned char* First() const { return image.data() + 8 * 512; }
};

using Test = int (*)(CFileTypeJudge&, const unsigned char*, int);
int AnyType(CFileTypeJudge& j, const unsigned char* b, int n) { return j.GetDataBufType(b, n); }

// One signature test on a hand-built buffer of len bytes.
struct SignatureCase {
    const char* name;
    Test test;
    Bytes bytes;
    int len;
    int want;
};

TEST(Signatures, HandBuiltSectors) {
    Bytes ct(49, 0);  // "[Content_Types].xml" at 31 needs 50 bytes
    std::memcpy(ct.data() + 31, "[Content_Types].x", 17);
    Bytes exe = carvekit::SampleBytes("exe");
    Bytes far = exe;  // a PE header offset that would put the header past the sector
    if (far.size() > 61) far[60] = 0xE9, far[61] = 0x01;
    const SignatureCase cases[] = {
        {"JFIF JPEG", AnyType, Sector({0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F'}), 512, FT_JPG},
        {"Exif JPEG", AnyType, Sector({0xFF, 0xD8, 0xFF, 0xE1, 0, 16, 'E', 'x', 'i', 'f'}), 512, FT_JPG},
        {"JPEG without JFIF or Exif", AnyType, Sector({0xFF, 0xD8, 0xFF, 0xDB, 0, 0x43}), 512, FT_NONE},
        {"JPEG in 15 bytes", AnyType, Sector({0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F'}), 15, FT_NONE},
        {"GIF89a", AnyType, Sector({'G', 'I', 'F', '8', '9', 'a'}), 512, FT_GIF},
        {"GIF8xa", AnyType, Sector({'G', 'I', 'F', '8', 'x', 'a'}), 512, FT_NONE},
        {"compound header alone", AnyType, Sector({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1}), 8, FT_OLE},
        {"first four compound bytes", AnyType, Sector({0xD0, 0xCF, 0x11, 0xE0}), 512, FT_FLA},
        {"Ghost image", AnyType, Sector({0xFE, 0xEF, 0, 0}), 512, FT_GHO},
        {"7z in 4 bytes", Is7zType, {0x37, 0x7A, 0xBC, 0xAF}, 4, FT_NONE},
        {"7z in 5 bytes", Is7zType, {0x37, 0x7A, 0xBC, 0xAF, 0x27}, 5, FT_7Z},
        {"Ghost in 3 bytes", IsGhoType, {0xFE, 0xEF, 0}, 3, FT_NONE},
        {"ID3 in 9 bytes", IsMp3Type, {'I', 'D', '3', 3, 0, 0, 0, 0, 0}, 9, FT_NONE},
        {"ID3 in 10 bytes", IsMp3Type, {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 0x10}, 10, FT_MP3},
        {"Office 2007 in 49 bytes", IsOffice2007Type, ct, 49, FT_NONE},
        {"MIDI header without its track", IsMidType, {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 1, 0, 96, 'M', 'T', 'r'},
         17, FT_NONE},
        {"30 icons in 300 bytes", IsIcoType, Sector({0, 0, 1, 0, 30, 0}), 300, FT_NONE},
        {"one icon", IsIcoType, Sector({0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 0x68, 4, 0, 0, 22, 0, 0, 0}), 512,
         FT_ICO},
        {"icon image not after its directory", IsIcoType,
         Sector({0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 0x68, 4, 0, 0, 23, 0, 0, 0}), 512, FT_NONE},
        {"font with 40 tables in 512 bytes", IsTtfType, Sector({0, 1, 0, 0, 0, 40, 1, 0, 1, 0, 1, 0}), 512, FT_NONE},
        {"PE header past the sector", IsPeType, far, 512, FT_NONE},
        {"text", AnyType, carvekit::SampleBytes("txt"), 512, FT_NONE},
    };
    CFileTypeJudge j;
    for (const auto& c : cases) {
        if (c.bytes.size() < static_cast<size_t>(c.len)) continue;  // a sample that could not be made
        EXPECT_EQ(c.want, c.test(j, c.bytes.data(), c.len)) << c.name;
    }
    EXPECT_EQ(FT_NONE, j.GetDataBufType(nullptr, 512));
    EXPECT_EQ(FT_NONE, j.GetDataBufType(cases[0].bytes.data(), 0));
}

TEST(Signatures, FileTypeMatchingAndFileSystemSectors) {
    CFileTypeJudge j;
    Bytes jfif = Sector({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F'});
    const std::pair<const char*, int> matching[] = {{"JPG", 1}, {"jpeg", 1}, {"png", 0}, {"txt", 1}};
    for (auto [ext, want] : matching) EXPECT_EQ(want, j.IsFileTypeMatching(jfif.data(), 512, ext, nullptr, 512, 10)) << ext;
    Bytes zeros(512, 0);
    EXPECT_EQ(0, j.IsFileTypeMatching(zeros.data(), 512, "mp3", nullptr, 512, 10));

    Bytes rstr = Sector({'R', 'S', 'T', 'R'});
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(rstr.data(), 512));
    const unsigned char n[8] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
    std::memcpy(rstr.data() + 300, n, 8);
    const std::pair<const char*, Bytes> metadata[] = {
        {"NTFS record", Sector({'F', 'I', 'L', 'E', '0'})},
        {"NTFS index", Sector({'I', 'N', 'D', 'X'})},
        {"FAT boot", Sector({0xEB, 0x58, 0x90, 'M', 'S', 'W', 'I', 'N', '4', '.', '1'})},
        {"NTFS boot", Sector({0xEB, 0x52, 0x90, 'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '})},
        {"restart area", rstr},
        {"$STA", Sector({'$', 0, 'S', 0, 'T', 0, 'A', 0})}};
    for (const auto& [name, b] : metadata) EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(b.data(), 512)) << name;
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(metadata[0].second.data(), 31));
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(zeros.data(), 512));
}

TEST(Signatures, TransportStreamContinuingFromTheSectorBefore) {
    Bytes ts = carvekit::SampleBytes("ts");
    FR_REQUIRE(ts.size() > 8192, "ffmpeg is needed for a transport stream");
    PlacedFile f(ts);
    CFileTypeJudge j;
    j.m_pDiskReader = &f.reader;
    j.m_u64StartSector = j.m_u64CurrentSector = 8;
    j.m_bIsNeedCheckTsFileRange = 1;
    EXPECT_EQ(FT_TS, IsTsType(j, f.First(), 512));
    // 47 sectors on (47 x 512 = 128 x 188) a packet starts again, but the
    // stream runs on from the sector before it.
    const unsigned char* mid = f.image.data() + (8 + 47) * 512;
    ASSERT_EQ(0x47, mid[0]);
    j.m_u64StartSector = j.m_u64CurrentSector = 8 + 47;
    EXPECT_EQ(FT_NONE, IsTsType(j, mid, 512));
    j.m_bIsNeedCheckTsFileRange = 0;
    EXPECT_EQ(FT_TS, IsTsType(j, mid, 512));
}

struct Want {
    const char* kind;
    int code;
    const char* ext;  // null: recognised but not carved (no length rule)
};

class RealFiles : public ::testing::TestWithParam<Want> {};

TEST_P(RealFiles, FirstSectorIsRecognised) {
    const Want w = GetParam();
    Bytes file = carvekit::SampleBytes(w.kind);
    FR_REQUIRE(file.size() >= 64, std::string("cannot make a sample of kind ") + w.kind);
    PlacedFile f(file);
    CFileTypeJudge j;
    char name[64] = {0};
    EXTEND_NAME_TYPE type = FT_NONE;
    unsigned long long size = 0;
    int r = j.ParseFileBuf(f.First(), 512, 8, 0, f.image.size() / 512, -1, 0, &f.reader, 512, name, type, size);
    if (!w.ext) {
        EXPECT_EQ(87, r);
        EXPECT_EQ(w.code, j.GetDataBufType(f.First(), 512));
        return;
    }
    ASSERT_EQ(0, r);
    EXPECT_EQ(w.code, static_cast<int>(type));
    EXPECT_EQ(std::string("8.") + w.ext, name);
    EXPECT_GT(size, 0u);
    // The data-health check of the file-system engines agrees.
    EXPECT_EQ(1, j.IsFileTypeMatching(f.First(), 512, w.ext, &f.reader, 512, 8));
}

INSTANTIATE_TEST_SUITE_P(
    Samples, RealFiles,
    ::testing::Values(Want{"jpg", FT_JPG, "jpg"}, Want{"exif.jpg", FT_JPG, "jpg"}, Want{"png", FT_PNG, "png"},
                      Want{"gif", FT_GIF, "gif"}, Want{"bmp", FT_BMP, "bmp"}, Want{"ico", FT_ICO, "ico"},
                      Want{"tif", FT_TIF, "tif"}, Want{"droid.ttf", FT_TTF, "ttf"}, Want{"font.ttf", FT_TTF, "ttf"},
                      Want{"pdf", FT_PDF, "pdf"}, Want{"zip", FT_ZIP, "zip"}, Want{"docx", FT_DOCX, "docx"},
                      Want{"xlsx", FT_XLSX, "xlsx"}, Want{"pptx", FT_PPTX, "pptx"}, Want{"doc", FT_DOC, "doc"},
                      Want{"xls", FT_XLS, "xls"}, Want{"ppt", FT_PPT, "ppt"}, Want{"ole", FT_OLE, "ole"},
                      Want{"7z", FT_7Z, "7z"}, Want{"gz9", FT_GZ, "gz"}, Want{"mp3", FT_MP3, "mp3"},
                      Want{"wav", FT_WAV, "wav"}, Want{"avi", FT_AVI, "avi"}, Want{"mp4", FT_MP4, "mp4"},
                      Want{"mov", FT_MOV, "mov"}, Want{"mkv", FT_MKV, "mkv"}, Want{"flv", FT_FLV, "flv"},
                      Want{"mpg", FT_MPEG, "mpeg"}, Want{"ts", FT_TS, "ts"}, Want{"sqlite", FT_DB, "db"},
                      Want{"cab", FT_CAB, "cab"}, Want{"mid", FT_MID, "mid"}, Want{"exe", FT_EXE, nullptr},
                      Want{"dll", FT_DLL, nullptr}),
    [](const ::testing::TestParamInfo<Want>& i) {
        std::string n = i.param.kind;
        for (char& c : n)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

// The scan state lives in each judge, not in statics shared between them.
TEST(Judges, TwoJudgesKeepTheirOwnState) {
    CFileTypeJudge a, b;
    a.m_tsFileRangeVec.push_back({10, 20});
    EXPECT_TRUE(b.m_tsFileRangeVec.empty());
    a.InitCallBack(nullptr, nullptr, &a, 90);
    EXPECT_EQ(100, b.m_nPercent);
    EXPECT_EQ(90, a.m_nPercent);
}

}  // namespace

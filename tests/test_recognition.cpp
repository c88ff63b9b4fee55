// Recognition of file starts: the type table, the signature tests on
// hand-built sectors (including buffers too short for what a test reads)
// and the first sector of real files placed in an image.
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
    std::string path;
    CDiskReader reader;
    Bytes image;
    u64 sector = 8;

    explicit PlacedFile(const Bytes& file) {
        image.assign(8 * 512, 0);
        image.insert(image.end(), file.begin(), file.end());
        image.resize((image.size() + 511) / 512 * 512 + 64 * 512, 0);
        path = dir / "img.raw";
        testkit::WriteFile(path, image);
        EXPECT_EQ(0, reader.Init(path.c_str(), image.size() / 512));
    }
    const unsigned char* First() const { return image.data() + 8 * 512; }
};

TEST(TypeTable, RowsInOrder) {
    const auto& t = CFileTypeJudge::szExtendNameAndType;
    EXPECT_STREQ("mpeg", t[0].szExtendName);
    EXPECT_STREQ("fla", t[24].szExtendName);
    EXPECT_STREQ("jpg", t[28].szExtendName);
    EXPECT_STREQ("doc", t[37].szExtendName);
    EXPECT_STREQ("ole", t[51].szExtendName);
    EXPECT_STREQ("mso07", t[69].szExtendName);
    EXPECT_STREQ("exe", t[77].szExtendName);
    EXPECT_STREQ("ico", t[86].szExtendName);
    EXPECT_EQ(nullptr, t[FR_FILE_TYPE_ROWS].szExtendName);
    EXPECT_EQ(49u, t[FR_FILE_TYPE_ROWS].nType);
    EXPECT_EQ(nullptr, t[77].pfnLength);
    EXPECT_EQ(nullptr, t[80].pfnLength);
    EXPECT_EQ(4, CFileTypeJudge::GetExtendNameType("XLSX"));
    EXPECT_EQ(3, CFileTypeJudge::GetExtendNameType("ett"));
    EXPECT_EQ(44, CFileTypeJudge::GetExtendNameType("fla"));
    EXPECT_EQ(49, CFileTypeJudge::GetExtendNameType("txt"));
    EXPECT_EQ(49, CFileTypeJudge::GetExtendNameType(nullptr));
    EXPECT_STREQ("jpg", CFileTypeJudge::GetTypeExtension(10));
    EXPECT_STREQ("mpeg", CFileTypeJudge::GetTypeExtension(15));
}

TEST(Signatures, JpegNeedsJfifOrExif) {
    CFileTypeJudge j;
    Bytes exif = Sector({0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x10, 'E', 'x', 'i', 'f'});
    Bytes jfif = Sector({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F'});
    Bytes bare = Sector({0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43});
    EXPECT_EQ(FT_JPG, j.GetDataBufType(exif.data(), 512));
    EXPECT_EQ(FT_JPG, j.GetDataBufType(jfif.data(), 512));
    EXPECT_EQ(FT_NONE, j.GetDataBufType(bare.data(), 512));
    EXPECT_EQ(FT_NONE, j.GetDataBufType(jfif.data(), 15));
}

TEST(Signatures, GifVersion) {
    CFileTypeJudge j;
    Bytes ok = Sector({'G', 'I', 'F', '8', '9', 'a'});
    Bytes bad = Sector({'G', 'I', 'F', '8', 'x', 'a'});
    EXPECT_EQ(FT_GIF, j.GetDataBufType(ok.data(), 512));
    EXPECT_EQ(FT_NONE, j.GetDataBufType(bad.data(), 512));
}

TEST(Signatures, ShortBuffersAnswerNothing) {
    CFileTypeJudge j;
    // Each of these would need more bytes than it is given.
    Bytes sz7 = {0x37, 0x7A, 0xBC, 0xAF};
    EXPECT_EQ(FT_NONE, Is7zType(j, sz7.data(), 4));
    Bytes full7 = {0x37, 0x7A, 0xBC, 0xAF, 0x27};
    EXPECT_EQ(FT_7Z, Is7zType(j, full7.data(), 5));
    Bytes gho = {0xFE, 0xEF, 0x00};
    EXPECT_EQ(FT_NONE, IsGhoType(j, gho.data(), 3));
    Bytes id3 = {'I', 'D', '3', 3, 0, 0, 0, 0, 0};
    EXPECT_EQ(FT_NONE, IsMp3Type(j, id3.data(), 9));
    id3.push_back(0x10);
    EXPECT_EQ(FT_MP3, IsMp3Type(j, id3.data(), 10));
    // "[Content_Types].xml" at 31 needs 50 bytes.
    Bytes ct(49, 0);
    std::memcpy(ct.data() + 31, "[Content_Types].x", 17);
    EXPECT_EQ(FT_NONE, IsOffice2007Type(j, ct.data(), 49));
    Bytes mid = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 1, 0, 96, 'M', 'T', 'r'};
    EXPECT_EQ(FT_NONE, IsMidType(j, mid.data(), static_cast<int>(mid.size())));
    EXPECT_EQ(FT_NONE, j.GetDataBufType(nullptr, 512));
    EXPECT_EQ(FT_NONE, j.GetDataBufType(id3.data(), 0));
}

TEST(Signatures, CompoundHeaderWithoutDevice) {
    // Without a device the compound tests cannot look further: generic ole.
    CFileTypeJudge j;
    Bytes ole = Sector({0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1});
    EXPECT_EQ(FT_OLE, j.GetDataBufType(ole.data(), 512));
    EXPECT_EQ(FT_OLE, j.GetDataBufType(ole.data(), 8));
    // Only the first four bytes: the generic flash-authoring row.
    Bytes fla = Sector({0xD0, 0xCF, 0x11, 0xE0, 0x00});
    EXPECT_EQ(FT_FLA, j.GetDataBufType(fla.data(), 512));
}

TEST(Signatures, PeAndGhoHaveNoLengthRule) {
    CFileTypeJudge j;
    Bytes exe = carvekit::SampleBytes("exe");
    Bytes dll = carvekit::SampleBytes("dll");
    EXPECT_EQ(FT_EXE, j.GetDataBufType(exe.data(), 512));
    EXPECT_EQ(FT_DLL, j.GetDataBufType(dll.data(), 512));
    char name[64];
    EXTEND_NAME_TYPE t;
    unsigned long long size = 0;
    EXPECT_EQ(87, j.ParseFileBuf(exe.data(), 512, 100, 0, 1000, -1, 0, nullptr, 512, name, t, size));
    Bytes gho = Sector({0xFE, 0xEF, 0x00, 0x00});
    EXPECT_EQ(FT_GHO, j.GetDataBufType(gho.data(), 512));
    EXPECT_EQ(87, j.ParseFileBuf(gho.data(), 512, 100, 0, 1000, -1, 0, nullptr, 512, name, t, size));
    // A PE header offset that would put the header past the sector.
    Bytes far = exe;
    far[60] = 0xE9;  // 489
    far[61] = 0x01;
    EXPECT_EQ(FT_NONE, IsPeType(j, far.data(), 512));
}

TEST(Signatures, IconAndFontDirectoriesStayInBuffer) {
    CFileTypeJudge j;
    // 30 icon entries need 486 bytes; a 300-byte buffer cannot hold them.
    Bytes ico = Sector({0, 0, 1, 0, 30, 0});
    EXPECT_EQ(FT_NONE, IsIcoType(j, ico.data(), 300));
    Bytes one = Sector({0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 0x68, 0x04, 0, 0, 22, 0, 0, 0});
    EXPECT_EQ(FT_ICO, IsIcoType(j, one.data(), 512));
    one[6 + 12] = 23;  // the image does not follow the directory
    EXPECT_EQ(FT_NONE, IsIcoType(j, one.data(), 512));
    // A font claiming 40 tables cannot be checked in 512 bytes.
    Bytes ttf = Sector({0, 1, 0, 0, 0, 40, 1, 0, 1, 0, 1, 0});
    EXPECT_EQ(FT_NONE, IsTtfType(j, ttf.data(), 512));
}

TEST(Signatures, FileTypeMatching) {
    CFileTypeJudge j;
    Bytes jfif = Sector({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F'});
    EXPECT_EQ(1, j.IsFileTypeMatching(jfif.data(), 512, "JPG", nullptr, 512, 10));
    EXPECT_EQ(1, j.IsFileTypeMatching(jfif.data(), 512, "jpeg", nullptr, 512, 10));
    EXPECT_EQ(0, j.IsFileTypeMatching(jfif.data(), 512, "png", nullptr, 512, 10));
    EXPECT_EQ(1, j.IsFileTypeMatching(jfif.data(), 512, "txt", nullptr, 512, 10));
    Bytes zeros(512, 0);
    EXPECT_EQ(0, j.IsFileTypeMatching(zeros.data(), 512, "mp3", nullptr, 512, 10));
}

TEST(Signatures, FileSystemSectors) {
    Bytes rec = Sector({'F', 'I', 'L', 'E', '0'});
    Bytes indx = Sector({'I', 'N', 'D', 'X'});
    Bytes boot = Sector({0xEB, 0x58, 0x90, 'M', 'S', 'W', 'I', 'N', '4', '.', '1'});
    Bytes ntfs = Sector({0xEB, 0x52, 0x90, 'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '});
    Bytes rstr = Sector({'R', 'S', 'T', 'R'});
    Bytes sta = Sector({'$', 0, 'S', 0, 'T', 0, 'A', 0});
    EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(rec.data(), 512));
    EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(indx.data(), 512));
    EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(boot.data(), 512));
    EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(ntfs.data(), 512));
    EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(sta.data(), 512));
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(rstr.data(), 512));
    const unsigned char n[8] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
    std::memcpy(rstr.data() + 300, n, 8);
    EXPECT_EQ(1, CFileTypeJudge::IsFileSystemSector(rstr.data(), 512));
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(rec.data(), 31));
    Bytes zeros(512, 0);
    EXPECT_EQ(0, CFileTypeJudge::IsFileSystemSector(zeros.data(), 512));
}

TEST(Signatures, TransportStreamContinuingFromSectorBefore) {
    Bytes ts = carvekit::SampleBytes("ts");
    FR_REQUIRE(ts.size() > 8192, "ffmpeg is needed for a transport stream");
    PlacedFile f(ts);
    CFileTypeJudge j;
    char name[64];
    EXTEND_NAME_TYPE t;
    unsigned long long size = 0;
    // The stream's first sector is a file start.
    j.m_pDiskReader = &f.reader;
    j.m_u64StartSector = j.m_u64CurrentSector = 8;
    j.m_bIsNeedCheckTsFileRange = 1;
    EXPECT_EQ(FT_TS, IsTsType(j, f.First(), 512));
    // Sector 8 + 47 starts on a packet boundary again (47 x 512 = 128 x 188),
    // but the stream runs on from the sector before it.
    const unsigned char* mid = f.image.data() + (8 + 47) * 512;
    ASSERT_EQ(0x47, mid[0]);
    j.m_u64StartSector = j.m_u64CurrentSector = 8 + 47;
    EXPECT_EQ(FT_NONE, IsTsType(j, mid, 512));
    j.m_bIsNeedCheckTsFileRange = 0;
    EXPECT_EQ(FT_TS, IsTsType(j, mid, 512));
    (void)name;
    (void)t;
    (void)size;
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
    int r = j.ParseFileBuf(f.First(), 512, f.sector, 0, f.image.size() / 512, -1, 0, &f.reader, 512, name, type, size);
    if (!w.ext) {
        EXPECT_EQ(87, r);
        EXPECT_EQ(w.code, j.GetDataBufType(f.First(), 512));
        return;
    }
    ASSERT_EQ(0, r) << w.kind;
    EXPECT_EQ(w.code, static_cast<int>(type)) << w.kind;
    EXPECT_EQ(std::string("8.") + w.ext, name);
    EXPECT_GT(size, 0u);
    // The data-health check of the file-system engines agrees.
    EXPECT_EQ(1, j.IsFileTypeMatching(f.First(), 512, w.ext, &f.reader, 512, f.sector)) << w.kind;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, RealFiles,
    ::testing::Values(Want{"jpg", FT_JPG, "jpg"}, Want{"exif.jpg", FT_JPG, "jpg"}, Want{"png", FT_PNG, "png"},
                      Want{"gif", FT_GIF, "gif"}, Want{"bmp", FT_BMP, "bmp"}, Want{"ico", FT_ICO, "ico"},
                      Want{"tif", FT_TIF, "tif"}, Want{"droid.ttf", FT_TTF, "ttf"}, Want{"font.ttf", FT_TTF, "ttf"}, Want{"pdf", FT_PDF, "pdf"},
                      Want{"zip", FT_ZIP, "zip"}, Want{"docx", FT_DOCX, "docx"}, Want{"xlsx", FT_XLSX, "xlsx"},
                      Want{"pptx", FT_PPTX, "pptx"}, Want{"doc", FT_DOC, "doc"}, Want{"xls", FT_XLS, "xls"},
                      Want{"ppt", FT_PPT, "ppt"}, Want{"ole", FT_OLE, "ole"}, Want{"7z", FT_7Z, "7z"},
                      Want{"gz9", FT_GZ, "gz"}, Want{"mp3", FT_MP3, "mp3"}, Want{"wav", FT_WAV, "wav"},
                      Want{"avi", FT_AVI, "avi"}, Want{"mp4", FT_MP4, "mp4"}, Want{"mov", FT_MOV, "mov"},
                      Want{"mkv", FT_MKV, "mkv"}, Want{"flv", FT_FLV, "flv"}, Want{"mpg", FT_MPEG, "mpeg"},
                      Want{"ts", FT_TS, "ts"}, Want{"sqlite", FT_DB, "db"}, Want{"cab", FT_CAB, "cab"},
                      Want{"mid", FT_MID, "mid"}, Want{"exe", FT_EXE, nullptr}, Want{"dll", FT_DLL, nullptr}),
    [](const ::testing::TestParamInfo<Want>& i) {
        std::string n = i.param.kind;
        for (char& c : n)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return n;
    });

TEST(RealFiles, FontWhoseFirstTableIsNotVersionOne) {
    // DejaVu fonts put a table with version 1 (not 1.0) first: not taken
    // for a font start.
    Bytes ttf = carvekit::SampleBytes("ttf");
    FR_REQUIRE(ttf.size() > 512, "no font sample");
    CFileTypeJudge j;
    EXPECT_EQ(FT_NONE, j.GetDataBufType(ttf.data(), 512));
}

TEST(RealFiles, TextIsNothing) {
    Bytes txt = carvekit::SampleBytes("txt");
    FR_REQUIRE(!txt.empty(), "no text sample");
    CFileTypeJudge j;
    EXPECT_EQ(FT_NONE, j.GetDataBufType(txt.data(), 512));
}

TEST(Judges, TwoJudgesKeepTheirOwnState) {
    CFileTypeJudge a, b;
    a.m_tsFileRangeVec.push_back({10, 20});
    b.m_u64StartSector = 15;
    EXPECT_TRUE(b.m_tsFileRangeVec.empty());
    a.InitCallBack(nullptr, nullptr, &a, 90);
    EXPECT_EQ(100, b.m_nPercent);
    EXPECT_EQ(90, a.m_nPercent);
}

}  // namespace

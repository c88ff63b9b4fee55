#include "carving/FileTypeJudge.h"
#include "core/ByteOrder.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <strings.h>

#include "carving/ContainerWalks.h"
#include "carving/FileLengthRules.h"
#include "carving/ArchiveWalks.h"
#include "carving/StructureWalks.h"
#include "rules/FatRules.h"

namespace {


// True when buf holds n bytes at off that equal sig.
inline bool At(const unsigned char* buf, int len, int off, const void* sig, int n) {
    return off >= 0 && n >= 0 && off <= len - n && std::memcmp(buf + off, sig, static_cast<size_t>(n)) == 0;
}

const unsigned char sm_Asf_file_head_guid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                                 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const unsigned char szXmfHead[16] = {0x06, 0x0E, 0x2B, 0x34, 0x02, 0x05, 0x01, 0x01,
                                     0x0D, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
const unsigned char szMtsHead[8] = {0x00, 0x00, 0xB0, 0x11, 0x00, 0x00, 0xC1, 0x00};
const unsigned char szFlaHead[4] = {0xD0, 0xCF, 0x11, 0xE0};
const unsigned char szOleHead[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
const unsigned char szWinrarHeadMagic[7] = {0x52, 0x61, 0x72, 0x21, 0x1A, 0x07, 0x00};
const unsigned char szIcoHead[4] = {0x00, 0x00, 0x01, 0x00};
const unsigned char szTtfHead[4] = {0x00, 0x01, 0x00, 0x00};
const unsigned char szNTFS[8] = {0x4E, 0x00, 0x54, 0x00, 0x46, 0x00, 0x53, 0x00};
const unsigned char szSta[8] = {0x24, 0x00, 0x53, 0x00, 0x54, 0x00, 0x41, 0x00};

// Root-entry class identifiers of Word, Excel and PowerPoint documents, in
// their on-disk byte order.
const unsigned char kClsidWord[16] = {0x06, 0x09, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                      0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const unsigned char kClsidExcel5[16] = {0x10, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const unsigned char kClsidExcel8[16] = {0x20, 0x08, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const unsigned char kClsidPowerPoint[16] = {0x10, 0x8D, 0x81, 0x64, 0x9B, 0x4F, 0xCF, 0x11,
                                            0x86, 0xEA, 0x00, 0xAA, 0x00, 0xB9, 0x29, 0xE8};

}  // namespace

// ---------------------------------------------------------------------------
// The table

const _EXTEND_NAME_AND_TYPE_ CFileTypeJudge::szExtendNameAndType[FR_FILE_TYPE_ROWS + 1] = {
    {"mpeg", FT_MPEG, IsMpgType, GetMPGFileBytesSize},
    {"mpg", FT_MPEG, IsMpgType, GetMPGFileBytesSize},
    {"vob", FT_MPEG, IsMpgType, GetMPGFileBytesSize},
    {"mp4", FT_MP4, IsMp4Type, GetIsoMp4FileBytesSize},
    {"rmvb", FT_RMVB, IsRmvbType, GetRMVBFileBytesSize},
    {"rm", FT_RMVB, IsRmvbType, GetRMVBFileBytesSize},
    {"wmv", FT_WMV, IsAsfType, GetASFFileBytesSize},
    {"asf", FT_WMV, IsAsfType, GetASFFileBytesSize},
    {"wma", FT_WMV, IsAsfType, GetASFFileBytesSize},
    {"swf", FT_SWF, IsSwfType, GetSWFWalkFileBytesSize},
    {"avi", FT_AVI, IsAviType, GetRiffAviFileBytesSize},  // 10
    {"flv", FT_FLV, IsFlvType, GetFLVFileBytesSize},
    {"3gp", FT_3GP, Is3pgType, GetIsoVideoFileBytesSize},
    {"mkv", FT_MKV, IsMkvType, GetEbmlMkvFileBytesSize},
    {"ts", FT_TS, IsTsType, GetTSFileBytesSize},
    {"mts", FT_MTS, IsMtsType, GetMTSFileBytesSize},
    {"mxf", FT_MXF, IsMxfType, GetMXFFileBytesSize},
    {"mp3", FT_MP3, IsMp3Type, GetMP3FileBytesSize},
    {"mid", FT_MID, IsMidType, GetMIDFileBytesSize},
    {"ape", FT_APE, IsApeType, GetAPEFileBytesSize},
    {"wav", FT_WAV, IsWavType, GetRiffWavFileBytesSize},  // 20
    {"mov", FT_MOV, IsMovType, GetIsoVideoFileBytesSize},
    {"mp2", FT_MP2, IsMp2Type, GetMP2FileBytesSize},
    {"mmf", FT_MMF, IsMmfType, GetMMFFileBytesSize},
    {"fla", FT_FLA, IsFlaType, GetFLAFileBytesSize},
    {"gif", FT_GIF, IsGifType, GetGIFFileBytesSize},
    {"bmp", FT_BMP, IsBmpType, GetBMPFileBytesSize},
    {"dib", FT_BMP, IsBmpType, GetBMPFileBytesSize},
    {"jpg", FT_JPG, IsJpgType, GetJPGFileBytesSize},
    {"jpeg", FT_JPG, IsJpgType, GetJPGFileBytesSize},
    {"jpe", FT_JPG, IsJpgType, GetJPGFileBytesSize},  // 30
    {"jfif", FT_JPG, IsJpgType, GetJPGFileBytesSize},
    {"png", FT_PNG, IsPngType, GetPNGFileBytesSize},
    {"psd", FT_PSD, IsPsdType, GetPSDFileBytesSize},
    {"tif", FT_TIF, IsTifType, GetTIFFFileBytesSize},
    {"tiff", FT_TIF, IsTifType, GetTIFFFileBytesSize},
    {"ico", FT_ICO, IsIcoType, GetICOFileBytesSize},
    {"doc", FT_DOC, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"dot", FT_DOC, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"wps", FT_DOC, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"wpt", FT_DOC, IsOffice2003Type, GetOFFICE2003FileBytesSize},  // 40
    {"xls", FT_XLS, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"xlt", FT_XLS, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"xla", FT_XLS, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"et", FT_XLS, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"ett", FT_XLS, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"ppt", FT_PPT, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"pot", FT_PPT, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"pps", FT_PPT, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"dps", FT_PPT, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"dpt", FT_PPT, IsOffice2003Type, GetOFFICE2003FileBytesSize},  // 50
    {"ole", FT_OLE, IsOffice2003Type, GetOFFICE2003FileBytesSize},
    {"docx", FT_DOCX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"docm", FT_DOCX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"dotm", FT_DOCX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"dotx", FT_DOCX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xlsx", FT_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xlsb", FT_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xlsm", FT_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xlsx", FT_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xlam", FT_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},  // 60
    {"xltx", FT_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"xltm", FT_XLSX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"pptx", FT_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"pptm", FT_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"potx", FT_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"potm", FT_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"ppsx", FT_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"ppsm", FT_PPTX, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"mso07", FT_MSO07, IsOffice2007Type, GetOFFICE2007FileBytesSize},
    {"pdf", FT_PDF, IsPdfType, GetPDFFileBytesSize},  // 70
    {"gz", FT_GZ, IsGzipType, GetGZFileBytesSize},
    {"gzip", FT_GZ, IsGzipType, GetGZFileBytesSize},
    {"7z", FT_7Z, Is7zType, Get7ZFileBytesSize},
    {"zip", FT_ZIP, IsZipType, GetZIPFileBytesSize},
    {"rar", FT_RAR, IsRarType, GetRARFileBytesSize},
    {"cab", FT_CAB, IsCabType, GetCABFileBytesSize},
    {"exe", FT_EXE, IsPeType, GetPEFileBytesSize},
    {"dll", FT_DLL, IsPeType, GetPEFileBytesSize},
    {"sys", FT_SYS, IsPeType, GetPEFileBytesSize},
    {"gho", FT_GHO, IsGhoType, nullptr},  // 80
    {"db", FT_DB, IsSqlType, GetDBFileBytesSize},
    {"dbx", FT_DBX, IsDbxEmailType, GetMailFileBytesSize},
    {"pst", FT_PST, IsPstEmailType, GetMailFileBytesSize},
    {"fla", FT_FLA, IsFlaType, GetFLAFileBytesSize},
    {"ttf", FT_TTF, IsTtfType, GetFontFileBytesSize},
    {"ico", FT_ICO, IsIcoType, GetICOFileBytesSize},
    // Camera raw files. TIFF-magic ones are answered by the tif row first
    // and named by the TIFF walk; ORF and RW2 have their own magic.
    {"cr2", FT_CR2, IsCr2Type, GetTIFFFileBytesSize},
    {"nef", FT_NEF, IsNefType, GetTIFFFileBytesSize},  // 88
    {"arw", FT_ARW, IsArwType, GetTIFFFileBytesSize},
    {"dng", FT_DNG, IsDngType, GetTIFFFileBytesSize},  // 90
    {"orf", FT_ORF, IsOrfType, GetTIFFFileBytesSize},
    {"rw2", FT_RW2, IsRw2Type, GetTIFFFileBytesSize},
    {"heic", FT_HEIC, IsIsoMediaType, GetIsoPictureFileBytesSize},
    {"heif", FT_HEIC, IsIsoMediaType, GetIsoPictureFileBytesSize},
    {"avif", FT_AVIF, IsIsoMediaType, GetIsoPictureFileBytesSize},
    {"cr3", FT_CR3, IsIsoMediaType, GetIsoPictureFileBytesSize},
    {"m4a", FT_M4A, IsIsoMediaType, GetIsoAudioFileBytesSize},
    {"m4v", FT_M4V, IsIsoMediaType, GetIsoVideoFileBytesSize},
    {"webp", FT_WEBP, IsWebpType, GetWebpFileBytesSize},
    {"aiff", FT_AIFF, IsAiffType, GetAiffFileBytesSize},
    {"aif", FT_AIFF, IsAiffType, GetAiffFileBytesSize},
    {"ogg", FT_OGG, IsOggType, GetOggFileBytesSize},
    {"oga", FT_OGG, IsOggType, GetOggFileBytesSize},
    {"opus", FT_OPUS, IsOggType, GetOggFileBytesSize},
    {"flac", FT_FLAC, IsFlacType, GetFlacFileBytesSize},
    {"webm", FT_WEBM, IsWebmType, GetEbmlMkvFileBytesSize},
    {"tar", FT_TAR, IsTarType, GetTARFileBytesSize},
    {"xz", FT_XZ, IsXzType, GetXZFileBytesSize},
    {"bz2", FT_BZ2, IsBzip2Type, GetBZ2FileBytesSize},  // 110
    {"otf", FT_OTF, IsTtfType, GetFontFileBytesSize},
    {"ttc", FT_TTC, IsTtfType, GetFontFileBytesSize},
    // Weak signatures, tried only where no row above answers.
    {"mp1", FT_MP1, IsMpegAudioType, GetMP2FileBytesSize},
    {"txt", FT_TXT, IsTextType, GetTextFileBytesSize},
    {"html", FT_HTML, IsTextType, GetTextFileBytesSize},  // 115
    {"xml", FT_XML, IsTextType, GetTextFileBytesSize},
    {"svg", FT_SVG, IsTextType, GetTextFileBytesSize},
    {"rtf", FT_RTF, IsTextType, GetTextFileBytesSize},
    {"csv", FT_CSV, IsTextType, GetTextFileBytesSize},
    {nullptr, FT_NONE, nullptr, nullptr},
};

namespace {

bool IsWeakTest(FileTypeTestFunc f) { return f == IsMpegAudioType || f == IsTextType; }

// Tests that may match whatever the first byte, each with what it needs in
// place before it looks further (any one of its gates). One of the gates
// holds on about one random sector in a hundred; on the others these tests
// are not tried. A test that comes to look for something else changes its
// row here.
enum : u8 {
    kFtypAt4 = 1,            // ISO media brand box
    kMoovAt0 = 2,            // a QuickTime movie that starts with its index
    kZipAt0 = 4,             // ZIP local header
    kSyncAt4 = 8,            // transport-stream sync byte after a 4-byte time stamp
    kMtsHeadAt8 = 16,        // camcorder stream header
    kContentTypesAt31 = 32,  // "[Content_Types].xml" as a ZIP's first name
    kUstarAt257 = 64,        // tar header
};
struct Gate {
    FileTypeTestFunc f;
    u8 needs;
};
const Gate kGates[] = {
    {IsMp4Type, kFtypAt4},
    {Is3pgType, kFtypAt4},
    {IsIsoMediaType, kFtypAt4},
    {IsMovType, kFtypAt4 | kMoovAt0},
    {IsMtsType, kSyncAt4 | kMtsHeadAt8},
    {IsOffice2007Type, kZipAt0 | kContentTypesAt31},
    {IsTarType, kUstarAt257},
};

// The gates that hold for a buffer.
inline u8 GatesHeld(const unsigned char* b, int len) {
    u8 held = 0;
    if (len >= 8 && std::memcmp(b + 4, "ftyp", 4) == 0) held |= kFtypAt4;
    if (len >= 4 && std::memcmp(b, "moov", 4) == 0) held |= kMoovAt0;
    if (len >= 4 && std::memcmp(b, "PK\x03\x04", 4) == 0) held |= kZipAt0;
    if (len >= 5 && b[4] == 0x47) held |= kSyncAt4;
    if (len >= 16 && std::memcmp(b + 8, szMtsHead, 8) == 0) held |= kMtsHeadAt8;
    if (len >= 32 && b[31] == '[') held |= kContentTypesAt31;
    if (len >= 262 && std::memcmp(b + 257, "ustar", 5) == 0) held |= kUstarAt257;
    return held;
}

// The walk order and a first-byte index over it. Consecutive rows that share
// a test answer alike, so each group is tried once. Compound documents are
// tried by the Office 2003 rows before the generic fla row, so a .doc, .xls
// or .ppt is named and measured as what it is.
struct WalkIndex {
    // Rows to try for a buffer whose first byte is b, in walk order.
    std::array<std::vector<u8>, 256> byFirst;
    // The same without the gated tests, for a buffer where no gate holds
    // (almost every sector that starts no file).
    std::array<std::vector<u8>, 256> byFirstUngated;
    // Whether byFirstUngated holds a row for the byte.
    std::array<bool, 256> anyUngated{};
    // Whether one of those rows may match a buffer that starts with the two
    // bytes (first << 8 | second).
    std::bitset<65536> ungatedPairs;
    // Per row: the gates of which one must hold before its test is tried
    // (0: none).
    std::array<u8, FR_FILE_TYPE_ROWS> needs{};

    // The bytes a test's match may start with: one of the first, then one of
    // the second (m == 0: any second byte).
    struct Firsts {
        FileTypeTestFunc f;
        const char* bytes;
        int n;
        const char* seconds;
        int m;
    };
    // A test's entry; null for the tests that look past the first bytes.
    static const Firsts* FirstsOf(FileTypeTestFunc f) {
        static const Firsts k[] = {
            {IsMpgType, "\x00", 1, "\x00", 1},        {IsRmvbType, ".", 1, "R", 1},
            {IsAsfType, "\x30", 1, "\x26", 1},        {IsSwfType, "CF", 2, "W", 1},
            {IsAviType, "R", 1, "I", 1},              {IsFlvType, "F", 1, "L", 1},
            {IsMkvType, "\x1A", 1, "\x45", 1},        {IsTsType, "\x47", 1, "", 0},
            {IsMxfType, "\x06", 1, "\x0E", 1},        {IsMp3Type, "I", 1, "D", 1},
            {IsMidType, "M", 1, "T", 1},              {IsApeType, "M", 1, "A", 1},
            {IsWavType, "R", 1, "I", 1},              {IsMp2Type, "\xFF", 1, "\xFD", 1},
            {IsMmfType, "M", 1, "M", 1},              {IsFlaType, "\xD0", 1, "\xCF", 1},
            {IsGifType, "G", 1, "I", 1},              {IsBmpType, "B", 1, "MA", 2},
            {IsJpgType, "\xFF", 1, "\xD8", 1},        {IsPngType, "\x89", 1, "P", 1},
            {IsPsdType, "8", 1, "B", 1},              {IsTifType, "IM", 2, "IM", 2},
            {IsIcoType, "\x00", 1, "\x00", 1},        {IsOffice2003Type, "\xD0", 1, "\xCF", 1},
            {IsPdfType, "%", 1, "P", 1},              {IsGzipType, "\x1F", 1, "\x8B", 1},
            {Is7zType, "7", 1, "z", 1},               {IsZipType, "P", 1, "K", 1},
            {IsRarType, "R", 1, "a", 1},              {IsCabType, "M", 1, "S", 1},
            {IsPeType, "M", 1, "Z", 1},               {IsGhoType, "\xFE", 1, "\xEF", 1},
            {IsSqlType, "S", 1, "Q", 1},              {IsDbxEmailType, "\xCF", 1, "\xAD", 1},
            {IsPstEmailType, "!", 1, "B", 1},         {IsTtfType, "\x00Ot", 3, "\x01Trt", 4},
            {IsCr2Type, "I", 1, "I", 1},              {IsNefType, "IM", 2, "IM", 2},
            {IsArwType, "IM", 2, "IM", 2},            {IsDngType, "IM", 2, "IM", 2},
            {IsOrfType, "IM", 2, "IM", 2},            {IsRw2Type, "I", 1, "I", 1},
            {IsWebpType, "R", 1, "I", 1},             {IsAiffType, "F", 1, "O", 1},
            {IsOggType, "O", 1, "g", 1},              {IsFlacType, "f", 1, "L", 1},
            {IsWebmType, "\x1A", 1, "\x45", 1},       {IsXzType, "\xFD", 1, "7", 1},
            {IsBzip2Type, "B", 1, "Z", 1},
        };
        for (const Firsts& e : k)
            if (e.f == f) return &e;
        // mp4, 3gp, mov, the other ISO media, mts, Office 2007 and tar look
        // past the first bytes.
        return nullptr;
    }

    static bool MayStartWith(FileTypeTestFunc f, int b, bool& any) {
        const Firsts* e = FirstsOf(f);
        any = e == nullptr;
        if (any) return true;
        for (int i = 0; i < e->n; ++i)
            if (static_cast<unsigned char>(e->bytes[i]) == b) return true;
        return false;
    }

    static u8 Needs(FileTypeTestFunc f) {
        for (const Gate& g : kGates)
            if (g.f == f) return g.needs;
        return 0;
    }

    WalkIndex() {
        std::vector<int> order;
        const auto& t = CFileTypeJudge::szExtendNameAndType;
        for (int r = 0; r < FR_FILE_TYPE_ROWS; ++r) {
            // A test that answers for several rows is tried once.
            if (std::find_if(order.begin(), order.end(), [&](int o) { return t[o].pfnTest == t[r].pfnTest; }) != order.end())
                continue;
            if (t[r].pfnTest == IsOffice2003Type) continue;          // placed before fla below
            if (t[r].pfnTest == IsWebmType) continue;                // placed before mkv below
            if (IsWeakTest(t[r].pfnTest)) continue;                  // only where nothing else answers
            // WebM is Matroska with its own document type: named as what it is.
            if (t[r].pfnTest == IsMkvType)
                for (int o = 0; o < FR_FILE_TYPE_ROWS; ++o)
                    if (t[o].pfnTest == IsWebmType) {
                        order.push_back(o);
                        break;
                    }
            if (r == 24) {
                for (int o = 0; o < FR_FILE_TYPE_ROWS; ++o)
                    if (t[o].pfnTest == IsOffice2003Type) {
                        order.push_back(o);
                        break;
                    }
            }
            order.push_back(r);
        }
        for (int b = 0; b < 256; ++b)
            for (int r : order) {
                bool any;
                if (!MayStartWith(t[r].pfnTest, b, any)) continue;
                byFirst[b].push_back(static_cast<u8>(r));
                if (!(any && Needs(t[r].pfnTest))) byFirstUngated[b].push_back(static_cast<u8>(r));
            }
        for (int r = 0; r < FR_FILE_TYPE_ROWS; ++r) needs[r] = Needs(t[r].pfnTest);
        for (int b = 0; b < 256; ++b) anyUngated[b] = !byFirstUngated[b].empty();
        // The same by the first two bytes.
        for (int r : order) {
            const Firsts* e = FirstsOf(t[r].pfnTest);
            if (!e) {
                if (!Needs(t[r].pfnTest)) ungatedPairs.set();
                continue;
            }
            for (int i = 0; i < e->n; ++i) {
                const size_t first = static_cast<unsigned char>(e->bytes[i]);
                for (int second = 0; second < 256; ++second)
                    if (e->m == 0 || std::memchr(e->seconds, second, static_cast<size_t>(e->m)))
                        ungatedPairs.set(first << 8 | static_cast<size_t>(second));
            }
        }
    }
};

[[gnu::always_inline]] inline const WalkIndex& Index() {
    static const WalkIndex idx;
    return idx;
}

}  // namespace

// ---------------------------------------------------------------------------
// CFileTypeJudge

CFileTypeJudge::CFileTypeJudge() : m_ReadBuf(0x10000), m_ReadBuf2(0x10000 + 8) { (void)Index(); }

int CFileTypeJudge::InitCallBack(ScanProgressFunc pScanFunc, RecoveryProgressFunc pRecoveryFunc,
                                 void* pParam, int nPercent) {
    m_progressFunc = pScanFunc;
    m_pRecoveryFunc = pRecoveryFunc;
    m_pParam = pParam;
    m_nPercent = nPercent;
    return 0;
}

void CFileTypeJudge::ResetScanState() {
    m_tsFileRangeVec.clear();
    m_u64CoveredUntil = 0;
    m_bIsNeedCheckTsFileRange = 1;
    m_bIsMtsFileHead = 0;
    m_uMtsPreIndex = 0;
}

unsigned CFileTypeJudge::ReadSectors(u64 u64Sector, unsigned nSectors) {
    return ReadSectorsInto(m_ReadBuf.data(), m_ReadBuf.size(), u64Sector, nSectors);
}

unsigned CFileTypeJudge::ReadSectorsInto(unsigned char* pDst, size_t nDstLen, u64 u64Sector, unsigned nSectors) {
    if (!m_pDiskReader || m_nBytesPerSector <= 0 || nSectors == 0) return 0;
    const unsigned S = static_cast<unsigned>(m_nBytesPerSector);
    if (static_cast<u64>(nSectors) * S > nDstLen) nSectors = static_cast<unsigned>(nDstLen / S);
    const u64 limit = m_pDiskReader->GetSectorLimit();
    if (u64Sector >= limit || u64Sector > 0x7FFFFFFFFFFFFFFFULL) return 0;
    if (nSectors > limit - u64Sector) nSectors = static_cast<unsigned>(limit - u64Sector);
    if (nSectors == 0) return 0;
    unsigned got = 0;
    int r = m_pDiskReader->ReadData(pDst, static_cast<int>(nSectors), static_cast<long long>(u64Sector),
                                    m_nBytesPerSector, &got);
    if (r == 0) return nSectors;
    const unsigned arrived = r == FR_SHORT_READ ? std::min(got, nSectors) : 0;
    if (!m_pDiskReader->LastReadHitEnd()) m_u64FirstUnreadable = std::min(m_u64FirstUnreadable, u64Sector + arrived);
    return arrived;
}

int CFileTypeJudge::GetDataBufTypeRow(const unsigned char* buf, int len, int& nRow) {
    nRow = -1;
    if (!buf || len <= 0) return FT_NONE;
    const WalkIndex& idx = Index();
    const u8 held = GatesHeld(buf, len);
    for (u8 r : (held ? idx.byFirst : idx.byFirstUngated)[buf[0]]) {
        if (idx.needs[r] && !(idx.needs[r] & held)) continue;
        int code = szExtendNameAndType[r].pfnTest(*this, buf, len);
        if (code != FT_NONE) {
            nRow = r;
            return code;
        }
    }
    return FT_NONE;
}

bool CFileTypeJudge::MayRecognise(const unsigned char* buf, int len) {
    if (!buf || len <= 0) return false;
    // The walk's tests (see GetDataBufTypeRow) by their first two bytes or
    // their gates, then the weak ones: MPEG audio frames start with 0xFF,
    // and text as MayStartText says.
    const WalkIndex& idx = Index();
    const bool ungated = len >= 2 ? idx.ungatedPairs[static_cast<size_t>(buf[0] << 8 | buf[1])] : idx.anyUngated[buf[0]];
    if (ungated || GatesHeld(buf, len)) return true;
    return (len >= 4 && buf[0] == 0xFF) || MayStartText(buf, len);
}

int CFileTypeJudge::GetDataBufType(const unsigned char* buf, int len) {
    int row;
    return GetDataBufTypeRow(buf, len, row);
}

int CFileTypeJudge::GetExtendNameType(const char* ext) {
    if (!ext) return FT_NONE;
    for (int r = 0; r < FR_FILE_TYPE_ROWS; ++r)
        if (strcasecmp(szExtendNameAndType[r].szExtendName, ext) == 0) return static_cast<int>(szExtendNameAndType[r].nType);
    return FT_NONE;
}

bool CFileTypeJudge::IsSameFileType(const char* extA, const char* extB) {
    if (!extA || !extB) return false;
    if (strcasecmp(extA, extB) == 0) return true;
    const auto family = [](const char* ext) -> int {
        if (strcasecmp(ext, "thm") == 0) return FT_JPG;
        const int t = GetExtendNameType(ext);
        switch (t) {
            case FT_MOV: case FT_MP4: case FT_M4V: case FT_3GP: case FT_M4A: return FT_MP4;
            case FT_CR2: case FT_NEF: case FT_ARW: case FT_DNG: return FT_TIF;
            default: return t;
        }
    };
    const int a = family(extA);
    return a != FT_NONE && a == family(extB);
}

int CFileTypeJudge::GetRowOfType(u32 nType) {
    for (int r = 0; r < FR_FILE_TYPE_ROWS; ++r)
        if (szExtendNameAndType[r].nType == nType) return r;
    return -1;
}

const char* CFileTypeJudge::GetTypeExtension(u32 nType) {
    int r = GetRowOfType(nType);
    return r < 0 ? nullptr : szExtendNameAndType[r].szExtendName;
}

int CFileTypeJudge::ParseFileBuf(const unsigned char* buf, int len, unsigned long long sector, CDiskReader* reader,
                                 int bytesPerSector, char* name, EXTEND_NAME_TYPE& type,
                                 unsigned long long& size) {
    if (bytesPerSector > 0) m_nBytesPerSector = bytesPerSector;
    m_u64StartSector = sector;
    m_u64CurrentSector = sector;
    m_pDiskReader = reader;
    m_u64FirstUnreadable = ~0ULL;
    m_bLengthCut = false;
    m_bStructureClosed = false;

    int row = -1;
    int code = GetDataBufTypeRow(buf, len, row);
    // Weak signatures: never inside a file carved before, whose body the
    // sweep may still be looking at sector by sector.
    if (code == FT_NONE && sector >= m_u64CoveredUntil && buf && len > 0) {
        code = IsMpegAudioType(*this, buf, len);
        if (code == FT_NONE) code = IsTextType(*this, buf, len);
        if (code != FT_NONE) row = GetRowOfType(static_cast<u32>(code));
    }
    m_bIsNeedCheckTsFileRange = 1;
    m_bIsMtsFileHead = 0;
    if (code == FT_NONE || row < 0 || !szExtendNameAndType[row].pfnLength) return FR_INVALID;
    return Measure(buf, len, sector, reader, code, name, type, size);
}

int CFileTypeJudge::Measure(const unsigned char* buf, int len, unsigned long long sector, CDiskReader* reader,
                            int code, char* name, EXTEND_NAME_TYPE& type, unsigned long long& size) {
    int first = GetRowOfType(static_cast<u32>(code));
    if (first < 0 || !szExtendNameAndType[first].pfnLength) return FR_INVALID;
    if (code != FT_TS) m_bIsNeedCheckTsFileRange = 0;
    if (code == FT_MTS) m_bIsMtsFileHead = 1;
    m_ErrorCode = 0;
    m_u64CurrentSector = sector;
    m_nNamedType = FT_NONE;
    size = szExtendNameAndType[first].pfnLength(*this, buf, len);
    // The rule may have told the family's member apart.
    if (m_nNamedType != FT_NONE && GetRowOfType(m_nNamedType) >= 0) {
        code = static_cast<int>(m_nNamedType);
        first = GetRowOfType(m_nNamedType);
    }
    if (name) std::snprintf(name, 64, "%lld.%s", static_cast<long long>(sector), szExtendNameAndType[first].szExtendName);
    type = static_cast<EXTEND_NAME_TYPE>(code);
    // Header fields are untrusted: a file never runs past the volume's end.
    if (reader && m_nBytesPerSector > 0) {
        const u64 limit = reader->GetSectorLimit();
        const u64 room = sector < limit ? (limit - sector) * static_cast<u64>(m_nBytesPerSector) : 0;
        m_bLengthCut = size > room;
        if (m_bLengthCut) size = room;
    }
    // Any answer but 0 from the progress callback stops the scan: the walk
    // it cut short measured nothing, and no file is made of it.
    if (m_ErrorCode != 0) return static_cast<int>(FR_STOP_CODE);
    if (m_nBytesPerSector > 0 && size > 0)
        m_u64CoveredUntil = std::max<u64>(m_u64CoveredUntil, sector + (size + m_nBytesPerSector - 1) / m_nBytesPerSector);
    return 0;
}

int CFileTypeJudge::IsFileTypeMatching(const unsigned char* buf, int len, const char* ext, CDiskReader* reader,
                                       int bytesPerSector, unsigned long long sector) {
    int code = GetExtendNameType(ext);
    if (code == FT_NONE) return 1;
    if (bytesPerSector > 0) m_nBytesPerSector = bytesPerSector;
    m_u64StartSector = sector;
    m_u64CurrentSector = sector;
    m_pDiskReader = reader;
    m_bIsNeedCheckTsFileRange = 0;
    int row = -1;
    for (int r = 0; r < FR_FILE_TYPE_ROWS; ++r)
        if (strcasecmp(szExtendNameAndType[r].szExtendName, ext) == 0) {
            row = r;
            break;
        }
    // Text holds no signature to check (a short or UTF-16 text would fail).
    if (row >= 0 && szExtendNameAndType[row].pfnTest == IsTextType) return 1;
    if (row < 0 || !szExtendNameAndType[row].pfnTest || !buf || len <= 0) return 0;
    if (szExtendNameAndType[row].pfnTest(*this, buf, len) == code) return 1;
    // MPEG audio without a tag is still MPEG audio.
    return (code == FT_MP3 || code == FT_MP2) && IsMpegAudioType(*this, buf, len) == code ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Metadata sectors

int CFileTypeJudge::IsFileSystemSector(const unsigned char* buf, int len) {
    if (!buf || len < 32) return 0;
    if (std::memcmp(buf, "FILE", 4) == 0 || std::memcmp(buf, "INDX", 4) == 0) return 1;
    if (std::memcmp(buf, "RSTR", 4) == 0) {
        for (int i = 0; i + 8 <= len; ++i)
            if (buf[i] == 0x4E && std::memcmp(buf + i, szNTFS, 8) == 0) return 1;
    }
    if (std::memcmp(buf, szSta, 8) == 0) return 1;
    if (buf[0] == 0xEB && buf[2] == 0x90) {
        static const char* const names[] = {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "NTFS    ", "EXFAT   "};
        for (const char* n : names)
            if (std::memcmp(buf + 3, n, 8) == 0) return 1;
    }
    return IsFatFDTRecord(buf, len) ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Signature tests

int IsMpgType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 16) return FT_NONE;
    static const unsigned char seq[4] = {0, 0, 1, 0xB3}, gop[4] = {0, 0, 1, 0xB8};
    static const unsigned char pack[4] = {0, 0, 1, 0xBA}, sys[4] = {0, 0, 1, 0xBB};
    const unsigned char* want;
    if (std::memcmp(buf, seq, 4) == 0) want = gop;
    else if (std::memcmp(buf, pack, 4) == 0) want = sys;
    else return FT_NONE;
    const int last = std::min(len, 32) - 4;
    for (int p = 0; p <= last; ++p)
        if (std::memcmp(buf + p, want, 4) == 0) return FT_MPEG;
    return FT_NONE;
}

int IsMp4Type(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 32) return FT_NONE;
    if (std::memcmp(buf + 4, "ftyp", 4) != 0) return FT_NONE;
    if (std::memcmp(buf + 8, "iso", 3) == 0 || std::memcmp(buf + 8, "mp42", 4) == 0) return FT_MP4;
    return FT_NONE;
}

int IsRmvbType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 4 && std::memcmp(buf, ".RMF", 4) == 0 ? FT_RMVB : FT_NONE;
}

int IsAsfType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 24 && std::memcmp(buf, sm_Asf_file_head_guid, 16) == 0 ? FT_WMV : FT_NONE;
}

int IsSwfType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 8) return FT_NONE;
    if (std::memcmp(buf, "CWS", 3) == 0 && buf[3] >= 6 && buf[3] <= 15) return FT_SWF;
    if (std::memcmp(buf, "FWS", 3) == 0 && buf[3] < 6) return FT_SWF;
    // Later players' files: versions up to 50, with a length that holds at
    // least the header.
    if ((buf[0] == 'F' || buf[0] == 'C') && buf[1] == 'W' && buf[2] == 'S' && buf[3] >= 6 && buf[3] <= 50 &&
        GetLe32(buf + 4) >= 21)
        return FT_SWF;
    return FT_NONE;
}

int IsAviType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 16) return FT_NONE;
    return std::memcmp(buf, "RIFF", 4) == 0 && std::memcmp(buf + 8, "AVI ", 4) == 0 &&
                   std::memcmp(buf + 12, "LIST", 4) == 0
               ? FT_AVI
               : FT_NONE;
}

int IsFlvType(CFileTypeJudge&, const unsigned char* buf, int len) {
    static const unsigned char nine[4] = {0, 0, 0, 9};
    if (!buf || len < 16) return FT_NONE;
    return std::memcmp(buf, "FLV\x01", 4) == 0 && std::memcmp(buf + 5, nine, 4) == 0 ? FT_FLV : FT_NONE;
}

int Is3pgType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 32) return FT_NONE;
    return std::memcmp(buf + 4, "ftyp", 4) == 0 && std::memcmp(buf + 8, "3gp", 3) == 0 ? FT_3GP : FT_NONE;
}

int IsMkvType(CFileTypeJudge&, const unsigned char* buf, int len) {
    static const unsigned char ebml[4] = {0x1A, 0x45, 0xDF, 0xA3};
    return buf && len >= 16 && std::memcmp(buf, ebml, 4) == 0 ? FT_MKV : FT_NONE;
}

int IsTsType(CFileTypeJudge& j, const unsigned char* buf, int len) {
    if (!buf || len < 188) return FT_NONE;
    if (buf[0] != 0x47 || (buf[1] == 0 && buf[2] == 0 && buf[3] == 0)) return FT_NONE;
    for (int p = 0; p < len; p += 188)
        if (buf[p] != 0x47) return FT_NONE;
    const int S = j.m_nBytesPerSector;
    if (S <= 0) return FT_NONE;
    unsigned want = static_cast<unsigned>(std::max(1, 4096 / S));
    unsigned char* tmp = j.ScratchBuf();
    unsigned got = j.ReadSectorsInto(tmp, j.ScratchBufSize(), j.m_u64CurrentSector, want);
    if (got < want) return FT_NONE;
    if (static_cast<u64>(got) * static_cast<unsigned>(S) < 21 * 188 + 1) return FT_NONE;
    for (int k = 0; k < 22; ++k)
        if (tmp[k * 188] != 0x47) return FT_NONE;
    if (j.m_bIsNeedCheckTsFileRange) {
        // A stream that goes on from the sector before is not a file start.
        // (Sector 0 has nothing before it.)
        if (j.m_u64CurrentSector > 0) {
            if (j.ReadSectorsInto(tmp, j.ScratchBufSize(), j.m_u64CurrentSector - 1, 1) != 1) return FT_NONE;
            for (int k = 1; k <= S / 188; ++k)
                if (tmp[S - 188 * k] == 0x47) return FT_NONE;
        }
        for (const _TS_FILE_RANGE_& r : j.m_tsFileRangeVec)
            if (r.u64FirstSector <= j.m_u64StartSector && j.m_u64StartSector <= r.u64LastSector) return FT_NONE;
    }
    return FT_TS;
}

int IsMtsType(CFileTypeJudge& j, const unsigned char* buf, int len) {
    if (!buf || len < 16) return FT_NONE;
    if (len >= 392 && buf[4] == 0x47 && buf[196] == 0x47 && buf[388] == 0x47) {
        // 192-byte packets: 21 of them in sync over 4 KiB, and no stream
        // going on from the sector before (its last packet would start 192
        // bytes before this one).
        const int S = j.m_nBytesPerSector;
        if (S < 512) return FT_NONE;
        unsigned char* tmp = j.ScratchBuf();
        const unsigned want = static_cast<unsigned>(std::max(1, 4096 / S));
        if (j.ReadSectorsInto(tmp, j.ScratchBufSize(), j.m_u64CurrentSector, want) < want) return FT_NONE;
        for (int k = 0; k < 21; ++k)
            if (tmp[4 + 192 * k] != 0x47) return FT_NONE;
        // The time stamps before the packets differ (a run of 47 bytes in
        // a picture is not a stream).
        if (GetBe32(tmp + 192 * 20) == GetBe32(tmp) && GetBe32(tmp + 192) == GetBe32(tmp)) return FT_NONE;
        if (j.m_u64CurrentSector > 0 && j.ReadSectorsInto(tmp, j.ScratchBufSize(), j.m_u64CurrentSector - 1, 1) == 1 &&
            tmp[S - 188] == 0x47 && tmp[S - 188 - 192] == 0x47)
            return FT_NONE;
        return FT_MTS;
    }
    if (std::memcmp(buf + 8, szMtsHead, 8) != 0) return FT_NONE;
    j.m_uMtsPreIndex = buf[7];
    if (GetLe32(buf) != 0 && j.m_bIsMtsFileHead) return FT_NONE;
    return FT_MTS;
}

int IsMxfType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 16 && std::memcmp(buf, szXmfHead, 16) == 0 ? FT_MXF : FT_NONE;
}

int IsMp3Type(CFileTypeJudge&, const unsigned char* buf, int len) {
    // The ID3v2 header is 10 bytes; all of them are examined.
    if (!buf || len < 10) return FT_NONE;
    if (std::memcmp(buf, "ID3", 3) != 0) return FT_NONE;
    if (buf[3] == 0xFF || buf[4] == 0xFF || (buf[5] & 0x1F) != 0) return FT_NONE;
    for (int i = 6; i < 10; ++i)
        if (buf[i] >= 0x80) return FT_NONE;
    return FT_MP3;
}

int IsMidType(CFileTypeJudge&, const unsigned char* buf, int len) {
    static const unsigned char six[4] = {0, 0, 0, 6};
    // MTrk at 14 needs 18 bytes.
    if (!buf || len < 18) return FT_NONE;
    return std::memcmp(buf, "MThd", 4) == 0 && std::memcmp(buf + 4, six, 4) == 0 &&
                   std::memcmp(buf + 14, "MTrk", 4) == 0
               ? FT_MID
               : FT_NONE;
}

int IsApeType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 4 && std::memcmp(buf, "MAC ", 4) == 0 ? FT_APE : FT_NONE;
}

int IsWavType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 16) return FT_NONE;
    return std::memcmp(buf, "RIFF", 4) == 0 && std::memcmp(buf + 8, "WAVE", 4) == 0 &&
                   std::memcmp(buf + 12, "fmt ", 4) == 0
               ? FT_WAV
               : FT_NONE;
}

int IsMovType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 16) return FT_NONE;
    if (std::memcmp(buf, "moov", 4) == 0) return FT_MOV;
    if (std::memcmp(buf + 4, "ftyp", 4) == 0 && std::memcmp(buf + 8, "qt  ", 4) == 0) return FT_MOV;
    return FT_NONE;
}

int IsMp2Type(CFileTypeJudge&, const unsigned char* buf, int len) {
    static const unsigned char m[4] = {0xFF, 0xFD, 0xE4, 0x00};
    return buf && len >= 4 && std::memcmp(buf, m, 4) == 0 ? FT_MP2 : FT_NONE;
}

int IsMmfType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 4 && std::memcmp(buf, "MMMD", 4) == 0 ? FT_MMF : FT_NONE;
}

int IsFlaType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 16 && std::memcmp(buf, szFlaHead, 4) == 0 ? FT_FLA : FT_NONE;
}

int IsGifType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 8) return FT_NONE;
    if (std::memcmp(buf, "GIF", 3) != 0) return FT_NONE;
    if (buf[3] < '0' || buf[3] > '9' || buf[4] < '0' || buf[4] > '9') return FT_NONE;
    if (buf[5] < 'a' || buf[5] > 'z') return FT_NONE;
    return FT_GIF;
}

int IsBmpType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 40) return FT_NONE;
    if (!(buf[0] == 'B' && (buf[1] == 'M' || buf[1] == 'A'))) return FT_NONE;
    if (GetLe16(buf + 6) != 0 || GetLe16(buf + 8) != 0) return FT_NONE;
    return GetLe32(buf + 14) == 40 ? FT_BMP : FT_NONE;
}

int IsJpgType(CFileTypeJudge&, const unsigned char* buf, int len) {
    static const unsigned char jfif[4] = {0xFF, 0xD8, 0xFF, 0xE0}, exif[4] = {0xFF, 0xD8, 0xFF, 0xE1};
    if (!buf || len < 16) return FT_NONE;
    if (std::memcmp(buf, jfif, 4) == 0 && std::memcmp(buf + 6, "JFIF", 4) == 0) return FT_JPG;
    if (std::memcmp(buf, exif, 4) == 0 && std::memcmp(buf + 6, "Exif", 4) == 0) return FT_JPG;
    return FT_NONE;
}

int IsPngType(CFileTypeJudge&, const unsigned char* buf, int len) {
    static const unsigned char png[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    return buf && len >= 8 && std::memcmp(buf, png, 8) == 0 ? FT_PNG : FT_NONE;
}

int IsPsdType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 40 && std::memcmp(buf, "8BPS", 4) == 0 ? FT_PSD : FT_NONE;
}

int IsTifType(CFileTypeJudge&, const unsigned char* buf, int len) {
    static const unsigned char ii[4] = {0x49, 0x49, 0x2A, 0x00}, mm[4] = {0x4D, 0x4D, 0x00, 0x2A};
    if (!buf || len < 4) return FT_NONE;
    return std::memcmp(buf, ii, 4) == 0 || std::memcmp(buf, mm, 4) == 0 ? FT_TIF : FT_NONE;
}

int IsIcoType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 16) return FT_NONE;
    if (std::memcmp(buf, szIcoHead, 4) != 0) return FT_NONE;
    const u32 n = GetLe16(buf + 4);
    if (n == 0 || 16ULL * n + 6 > static_cast<u64>(len)) return FT_NONE;
    u64 e = 16ULL * n + 6;
    for (u32 i = 0; i < n; ++i) {
        const unsigned char* d = buf + 6 + 16 * i;
        if (d[3] != 0) return FT_NONE;
        if (GetLe32(d + 12) != e) return FT_NONE;
        e += GetLe32(d + 8);
    }
    return FT_ICO;
}

int IsOffice2003Type(CFileTypeJudge& j, const unsigned char* buf, int len) {
    if (!buf || len < 8) return FT_NONE;
    if (std::memcmp(buf, szOleHead, 8) != 0) return FT_NONE;
    return j.GetOffice2003Type(buf, len);
}

int IsOffice2007Type(CFileTypeJudge& j, const unsigned char* buf, int len) {
    if (!buf || len < 31) return FT_NONE;
    static const char ct[] = "[Content_Types].xml";
    if (std::memcmp(buf, "PK\x03\x04", 4) == 0 || At(buf, len, 31, ct, 19)) {
        return j.GetOffice2007Type(buf, len);
    }
    return FT_NONE;
}

int IsPdfType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 5 && std::memcmp(buf, "%PDF-", 5) == 0 ? FT_PDF : FT_NONE;
}

int IsGzipType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 16) return FT_NONE;
    if (buf[0] != 0x1F || buf[1] != 0x8B || buf[2] != 0x08) return FT_NONE;
    // Flags without reserved bits; extra flags 0 (the default level), 2
    // (best) or 4 (fastest).
    if ((buf[3] & 0xE0) != 0) return FT_NONE;
    if (buf[8] != 0 && buf[8] != 2 && buf[8] != 4) return FT_NONE;
    if (!(buf[9] <= 13 || buf[9] == 0xFF)) return FT_NONE;
    return FT_GZ;
}

int Is7zType(CFileTypeJudge&, const unsigned char* buf, int len) {
    static const unsigned char m[5] = {0x37, 0x7A, 0xBC, 0xAF, 0x27};
    return buf && len >= 5 && std::memcmp(buf, m, 5) == 0 ? FT_7Z : FT_NONE;
}

int IsZipType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 48 && std::memcmp(buf, "PK\x03\x04", 4) == 0 ? FT_ZIP : FT_NONE;
}

int IsRarType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 7 && std::memcmp(buf, szWinrarHeadMagic, 7) == 0 ? FT_RAR : FT_NONE;
}

int IsCabType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 36 && std::memcmp(buf, "MSCF", 4) == 0 ? FT_CAB : FT_NONE;
}

int IsPeType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 512) return FT_NONE;
    if (buf[0] != 'M' || buf[1] != 'Z') return FT_NONE;
    const u32 h = GetLe32(buf + 60);
    if (h > 488) return FT_NONE;  // h + 24 <= 512 <= len
    if (std::memcmp(buf + h, "PE\0\0", 4) != 0) return FT_NONE;
    const u16 c = GetLe16(buf + h + 22);
    if (!(c & 0x0002)) return FT_NONE;
    if (c & 0x1000) return FT_SYS;
    if (c & 0x2000) return FT_DLL;
    return FT_EXE;
}

int IsGhoType(CFileTypeJudge&, const unsigned char* buf, int len) {
    static const unsigned char m[4] = {0xFE, 0xEF, 0x00, 0x00};
    return buf && len >= 4 && std::memcmp(buf, m, 4) == 0 ? FT_GHO : FT_NONE;
}

int IsSqlType(CFileTypeJudge&, const unsigned char* buf, int len) {
    return buf && len >= 16 && std::memcmp(buf, "SQLite format 3\0", 16) == 0 ? FT_DB : FT_NONE;
}

int IsDbxEmailType(CFileTypeJudge&, const unsigned char* buf, int len) {
    static const unsigned char m[4] = {0xCF, 0xAD, 0x12, 0xFE};
    return buf && len >= 16 && std::memcmp(buf, m, 4) == 0 ? FT_DBX : FT_NONE;
}

int IsPstEmailType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 16) return FT_NONE;
    return std::memcmp(buf, "!BDN", 4) == 0 && std::memcmp(buf + 8, "SM", 2) == 0 ? FT_PST : FT_NONE;
}

int IsTtfType(CFileTypeJudge&, const unsigned char* buf, int len) {
    if (!buf || len < 16) return FT_NONE;
    if (std::memcmp(buf, "ttcf", 4) == 0) {
        const u32 ver = GetBe32(buf + 4), n = GetBe32(buf + 8);
        return (ver == 0x10000 || ver == 0x20000) && n > 0 && n <= 1024 && GetBe32(buf + 12) >= 12 + 4 * n ? FT_TTC
                                                                                                            : FT_NONE;
    }
    const bool otto = std::memcmp(buf, "OTTO", 4) == 0;
    if (!otto && std::memcmp(buf, szTtfHead, 4) != 0 && std::memcmp(buf, "true", 4) != 0) return FT_NONE;
    const u32 n = GetBe16(buf + 4);
    if (n == 0) return FT_NONE;
    // The binary-search fields of the table directory follow from the
    // table count.
    u32 sel = 0;
    while ((2u << sel) <= n) ++sel;
    const u32 range = 16u << sel;
    if (GetBe16(buf + 6) == range && GetBe16(buf + 8) == sel && GetBe16(buf + 10) == 16 * n - range)
        return otto ? FT_OTF : FT_TTF;
    if (otto || GetLe16(buf + 6) == 0 || GetLe16(buf + 8) == 0 || GetLe16(buf + 10) == 0) return FT_NONE;
    if (16ULL * n + 16 > static_cast<u64>(len)) return FT_NONE;
    return std::memcmp(buf + 16 * n + 12, szTtfHead, 4) == 0 ? FT_TTF : FT_NONE;
}

// ---------------------------------------------------------------------------
// Compound documents and ZIP-based Office documents

namespace {

// Whether a UTF-16 directory-entry name starts with an ASCII word, ignoring case.
bool Utf16NameStarts(const unsigned char* name, int nameBytes, const char* want) {
    const int n = static_cast<int>(std::strlen(want));
    if (2 * n > nameBytes) return false;
    for (int i = 0; i < n; ++i) {
        const u16 c = GetLe16(name + 2 * i);
        if (c > 0x7F) return false;
        if (std::tolower(c) != std::tolower(static_cast<unsigned char>(want[i]))) return false;
    }
    return true;
}

}  // namespace

int CFileTypeJudge::GetOffice2003Type(const unsigned char* buf, int len) {
    const int S = m_nBytesPerSector;
    if (S < 128) return FT_OLE;
    // The file's own sectors are 512 bytes, or 4096 with sector shift 12;
    // sector n lies at file offset (n + 1) x that size, after the header.
    const u64 CS = buf && len >= 32 && GetLe16(buf + 30) == 12 ? 4096 : 512;
    auto readAt = [&](u64 off) -> const unsigned char* {
        const unsigned need = static_cast<unsigned>((off % static_cast<u64>(S) + 2 * static_cast<u64>(S) - 1) / S);
        if (ReadSectorsInto(ScratchBuf(), ScratchBufSize(), m_u64CurrentSector + off / S, need) != need) return nullptr;
        return ScratchBuf() + off % static_cast<u64>(S);
    };
    const unsigned char* tmp = readAt(CS);
    if (!tmp) return FT_OLE;
    if (GetLe16(tmp) == 0x0809 && GetLe16(tmp + 2) == 0x0010 && GetLe16(tmp + 4) == 0x0600) return FT_XLS;
    if (GetLe16(tmp) == 0xA5EC) return FT_DOC;
    if (!buf || len < 52) return FT_OLE;
    tmp = readAt((static_cast<u64>(GetLe32(buf + 48)) + 1) * CS);
    if (!tmp) return FT_OLE;
    const unsigned char* clsid = tmp + 80;
    if (std::memcmp(clsid, kClsidWord, 16) == 0) return FT_DOC;
    if (std::memcmp(clsid, kClsidExcel5, 16) == 0 || std::memcmp(clsid, kClsidExcel8, 16) == 0) return FT_XLS;
    if (std::memcmp(clsid, kClsidPowerPoint, 16) == 0) return FT_PPT;
    for (int e = 0; e + 128 <= S; e += 128) {
        const unsigned char* name = tmp + e;  // 64 bytes of UTF-16
        if (Utf16NameStarts(name, 64, "WordDocument")) return FT_DOC;
        if (Utf16NameStarts(name, 64, "Wordbook")) return FT_XLS;
        if (Utf16NameStarts(name, 64, "PowerPoint Document")) return FT_PPT;
    }
    return FT_OLE;
}

int CFileTypeJudge::GetOffice2007Type(const unsigned char*, int) {
    const int S = m_nBytesPerSector;
    if (S <= 0) return FT_NONE;
    // 4 carried bytes, then 4 sectors.
    const size_t winCap = 4 + 4 * static_cast<size_t>(S);
    if (m_ReadBuf2.size() < winCap) m_ReadBuf2.resize(winCap);
    unsigned char* win = m_ReadBuf2.data();
    int carried = 0;
    for (int k = 0; k < 20; k += 4) {
        unsigned got = ReadSectorsInto(win + carried, winCap - static_cast<size_t>(carried),
                                       m_u64CurrentSector + static_cast<u64>(k), 4);
        if (got == 0) return FT_NONE;
        const int wlen = carried + static_cast<int>(got) * S;
        int eocd = wlen;
        for (int p = 0; p + 4 <= wlen; ++p)
            if (win[p] == 'P' && std::memcmp(win + p, "PK\x05\x06", 4) == 0) {
                eocd = p;
                break;
            }
        // Local and central headers, taken alternately, each in window order.
        int pl = 0, pc = 0;
        bool moreL = true, moreC = true;
        auto nextHeader = [&](int& from, const char* sig) -> int {
            for (int p = from; p + 4 <= eocd; ++p)
                if (win[p] == 'P' && std::memcmp(win + p, sig, 4) == 0) {
                    from = p + 4;
                    return p;
                }
            from = eocd;
            return -1;
        };
        auto judge = [&](int nameAt) -> int {
            if (nameAt < 0 || nameAt >= wlen) return FT_NONE;
            const int left = wlen - nameAt;
            if (left >= 5 && strncasecmp(reinterpret_cast<const char*>(win + nameAt), "word", 4) == 0) return FT_DOCX;
            if (left >= 4 && strncasecmp(reinterpret_cast<const char*>(win + nameAt), "ppt", 3) == 0) return FT_PPTX;
            if (left >= 3 && strncasecmp(reinterpret_cast<const char*>(win + nameAt), "xl", 2) == 0) return FT_XLSX;
            return FT_NONE;
        };
        while (moreL || moreC) {
            if (moreL) {
                int h = nextHeader(pl, "PK\x03\x04");
                if (h < 0) moreL = false;
                else if (int c = judge(h + 30); c != FT_NONE) return c;
            }
            if (moreC) {
                int h = nextHeader(pc, "PK\x01\x02");
                if (h < 0) moreC = false;
                else if (int c = judge(h + 46); c != FT_NONE) return c;
            }
        }
        if (static_cast<int>(got) < 4) return FT_NONE;  // the device ends here
        // Carry the last 4 bytes into the next window.
        std::memmove(win, win + wlen - 4, 4);
        carried = 4;
    }
    return FT_NONE;
}

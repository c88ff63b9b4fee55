// File-type recognition: decides whether a sector is the first sector of a
// file of a known format, names it and (through the length rules) measures
// it. Every piece of working state lives in a CFileTypeJudge object, so two
// engines or two threads each use their own judge and never disturb each
// other.
#pragma once

#include <cstddef>
#include <vector>

#include "core/DiskReader.h"
#include "core/Records.h"

// Type codes of the recognition table. FT_NONE (49) means "not this type"
// and also ends the table.
enum EXTEND_NAME_TYPE : u32 {
    FT_DOC = 0,
    FT_DOCX = 1,
    FT_OLE = 2,
    FT_XLS = 3,
    FT_XLSX = 4,
    FT_PPT = 5,
    FT_PPTX = 6,
    FT_MSO07 = 7,
    FT_PDF = 8,
    FT_GHO = 9,
    FT_JPG = 10,
    FT_MP2 = 11,
    FT_MP3 = 12,
    FT_MID = 13,
    FT_MMF = 14,
    FT_MPEG = 15,
    FT_3GP = 16,
    FT_MOV = 17,
    FT_MP4 = 18,
    FT_MKV = 19,
    FT_TS = 20,
    FT_WAV = 21,
    FT_AVI = 22,
    FT_RMVB = 23,
    FT_WMV = 24,
    FT_APE = 25,
    FT_SWF = 26,
    FT_FLV = 27,
    FT_PSD = 28,
    FT_BMP = 29,
    FT_PNG = 30,
    FT_GIF = 31,
    FT_TIF = 32,
    FT_CAB = 33,
    FT_7Z = 34,
    FT_ZIP = 35,
    FT_GZ = 36,
    FT_RAR = 37,
    FT_PST = 38,
    FT_DB = 39,
    FT_DBX = 40,
    FT_EXE = 41,
    FT_DLL = 42,
    FT_SYS = 43,
    FT_FLA = 44,
    FT_TTF = 45,
    FT_ICO = 46,
    FT_MTS = 47,
    FT_MXF = 48,
    FT_NONE = 49,
    // Camera raw files of the TIFF family, rows appended after the first 87.
    FT_CR2 = 60,
    FT_NEF = 61,
    FT_ARW = 62,
    FT_DNG = 63,
    FT_ORF = 64,
    FT_RW2 = 65,
    // Container formats, rows appended after the camera raw rows.
    FT_HEIC = 50,
    FT_AVIF = 51,
    FT_CR3 = 52,
    FT_M4A = 53,
    FT_M4V = 54,
    FT_WEBP = 55,
    FT_AIFF = 56,
    FT_OGG = 57,
    FT_OPUS = 58,
    FT_FLAC = 59,
    FT_WEBM = 66,
    // Archives, compressed streams, fonts, MPEG audio found by its frames
    // and text, rows appended after the container rows.
    FT_TAR = 67,
    FT_XZ = 68,
    FT_BZ2 = 69,
    FT_MP1 = 70,
    FT_OTF = 71,
    FT_TTC = 72,
    FT_TXT = 73,
    FT_HTML = 74,
    FT_XML = 75,
    FT_SVG = 76,
    FT_RTF = 77,
    FT_CSV = 78,
};

// First and last absolute sector of a transport stream already carved.
struct _TS_FILE_RANGE_ {
    u64 u64FirstSector;
    u64 u64LastSector;
};

class CFileTypeJudge;

// Where the sweep that offers sectors stands, for the progress that a long
// length walk reports while it reads ahead. The sweep keeps it up to date and
// hands it to the carver once; the carver counts the files it records in it.
struct ScanProgress {
    u64 u64Scanned = 0;     // sectors swept before the sector offered
    u64 u64Total = 0;       // sectors the sweep covers
    int nSecondsLeft = -1;  // estimate shown with the progress (-1: none yet)
    u64 u64FilesFound = 0;  // files shown so far
};

// A signature test: the type code when buf starts a file of its type, else
// FT_NONE. It never reads outside buf[0, len).
typedef int (*FileTypeTestFunc)(CFileTypeJudge& judge, const unsigned char* buf, int len);
// A length rule: the length in bytes of the file whose first sector is buf.
typedef unsigned long long (*FileLengthRuleFunc)(CFileTypeJudge& judge, const unsigned char* buf, int len);

// One row of the recognition table.
struct _EXTEND_NAME_AND_TYPE_ {
    const char* szExtendName;     // extension, lower case; null in the end row
    u32 nType;                    // EXTEND_NAME_TYPE
    FileTypeTestFunc pfnTest;     // null in the end row
    FileLengthRuleFunc pfnLength; // null where the length cannot be worked out
};

// Number of rows before the terminating row.
constexpr int FR_FILE_TYPE_ROWS = 119;

// Stop code that a progress callback returns when the user stops the job.
constexpr u32 FR_STOP_CODE = 0xFFFFDAC9u;  // -9527

class CFileTypeJudge {
public:
    CFileTypeJudge();
    CFileTypeJudge(const CFileTypeJudge&) = delete;
    CFileTypeJudge& operator=(const CFileTypeJudge&) = delete;

    // The recognition table: its rows and the end row {null, 49, null, null}.
    static const _EXTEND_NAME_AND_TYPE_ szExtendNameAndType[FR_FILE_TYPE_ROWS + 1];

    // Recognises the sector, names the file ("%lld.%s" from the start sector)
    // and measures it. 0 with name/type/size set; 87 when no type with a
    // length rule answers; FR_STOP_CODE when the length rule was stopped.
    // name must hold at least 64 bytes.
    int ParseFileBuf(const unsigned char* buf, int len, unsigned long long sector, CDiskReader* reader,
                     int bytesPerSector, char* name, EXTEND_NAME_TYPE& type, unsigned long long& size);

    // The sweep's progress that a length walk reports from; it must outlive
    // the judge's use of it (null: nothing swept yet).
    void SetScanProgress(const ScanProgress* pProgress) { m_pProgress = pProgress ? pProgress : &kNoProgress; }
    const ScanProgress& Progress() const { return *m_pProgress; }

    // 1 when the sector matches the extension (or the extension is not in
    // the table), 0 when it does not.
    int IsFileTypeMatching(const unsigned char* buf, int len, const char* ext, CDiskReader* reader,
                           int bytesPerSector, unsigned long long sector);

    int InitCallBack(ScanProgressFunc pScanFunc, RecoveryProgressFunc pRecoveryFunc, void* pParam,
                     int nPercent);

    // False only when ParseFileBuf surely answers 87 for the buffer,
    // whatever came before it: no test of the table or weak test could
    // answer. A sweep passes most sectors over with this alone.
    static bool MayRecognise(const unsigned char* buf, int len);

    // The table walk alone: the first code other than 49, or 49.
    int GetDataBufType(const unsigned char* buf, int len);
    // The same, also giving the row that answered (-1 when none did).
    int GetDataBufTypeRow(const unsigned char* buf, int len, int& nRow);
    // The code of the first row whose extension equals ext (any case), or 49.
    static int GetExtendNameType(const char* ext);
    // True when files named with these two extensions hold the same kind
    // of data: spellings of one type (jpeg, jpg), a camera thumbnail and a
    // JPEG, the ISO media videos (mov, mp4, m4v, 3gp, m4a) and TIFF with the
    // camera raw files built on it.
    static bool IsSameFileType(const char* extA, const char* extB);
    // The first row with this type code, or -1.
    static int GetRowOfType(u32 nType);
    // Extension that names files of a type code ("jpg" for 10), or null.
    static const char* GetTypeExtension(u32 nType);

    // 1 when the sector is file-system metadata (NTFS records, boot sectors,
    // FAT directory fragments), else 0.
    static int IsFileSystemSector(const unsigned char* buf, int len);

    // Forgets the transport-stream ranges and the per-scan flags (start of a
    // new sweep).
    void ResetScanState();

    // Compound-file and ZIP helpers that read further sectors of the device.
    int GetOffice2003Type(const unsigned char* buf, int len);
    int GetOffice2007Type(const unsigned char* buf, int len);

    // Reads nSectors at an absolute sector into the judge's 64 KiB buffer,
    // clipped to the device end; the number of whole sectors delivered
    // (0 on failure).
    unsigned ReadSectors(u64 u64Sector, unsigned nSectors);
    // The same into another buffer of nDstLen bytes.
    unsigned ReadSectorsInto(unsigned char* pDst, size_t nDstLen, u64 u64Sector, unsigned nSectors);
    // The first sector that a read for the last ParseFileBuf could not
    // deliver (a read error, not the end of the device); ~0 when none.
    u64 FirstUnreadableSector() const { return m_u64FirstUnreadable; }
    unsigned char* ReadBuf() { return m_ReadBuf.data(); }
    size_t ReadBufSize() const { return m_ReadBuf.size(); }
    // Scratch buffer of the tests that read the device; never the buffer a
    // length rule is walking.
    unsigned char* ScratchBuf() { return m_ReadBuf2.data(); }
    size_t ScratchBufSize() const { return m_ReadBuf2.size(); }

    // Working state read by the tests and the length rules.
    int m_nBytesPerSector = 512;
    CDiskReader* m_pDiskReader = nullptr;
    u64 m_u64StartSector = 0;
    u64 m_u64CurrentSector = 0;
    ScanProgressFunc m_progressFunc = nullptr;
    RecoveryProgressFunc m_pRecoveryFunc = nullptr;
    void* m_pParam = nullptr;
    int m_nPercent = 100;
    u32 m_ErrorCode = 0;
    u32 m_bIsNeedCheckTsFileRange = 1;
    std::vector<_TS_FILE_RANGE_> m_tsFileRangeVec;
    u32 m_bIsMtsFileHead = 0;
    u8 m_uMtsPreIndex = 0;
    // Set by a length rule that tells a family's member apart from the
    // type the table answered (a camera raw file among TIFF files): the
    // file is then named and typed after it. FT_NONE otherwise.
    u32 m_nNamedType = FT_NONE;
    u64 m_u64FirstUnreadable = ~0ULL;
    // The last ParseFileBuf cut the length its rule gave at the volume's
    // end: the file's structure does not confirm it.
    bool m_bLengthCut = false;
    // The last ParseFileBuf measured the file by its structure up to the
    // mark that closes it (a JPEG's end marker, a PNG's IEND chunk); false
    // when the length is the marker search's or a zero run's guess.
    bool m_bStructureClosed = false;
    // The sector after the furthest end of the files carved in this sweep.
    u64 m_u64CoveredUntil = 0;

private:
    // ParseFileBuf's part for a sector that was recognised as code: kept out
    // of line, so that the far more common sector that starts nothing
    // returns early and cheaply.
    [[gnu::noinline]] int Measure(const unsigned char* buf, int len, unsigned long long sector, CDiskReader* reader,
                                  int code, char* name, EXTEND_NAME_TYPE& type, unsigned long long& size);
    static constexpr ScanProgress kNoProgress{};
    const ScanProgress* m_pProgress = &kNoProgress;
    std::vector<unsigned char> m_ReadBuf;  // 64 KiB
    std::vector<unsigned char> m_ReadBuf2; // scratch of the tests that read the device
};

// Signature tests, in the table's terms. Each answers its code or FT_NONE.
int IsMpgType(CFileTypeJudge&, const unsigned char*, int);
int IsMp4Type(CFileTypeJudge&, const unsigned char*, int);
int IsRmvbType(CFileTypeJudge&, const unsigned char*, int);
int IsAsfType(CFileTypeJudge&, const unsigned char*, int);
int IsSwfType(CFileTypeJudge&, const unsigned char*, int);
int IsAviType(CFileTypeJudge&, const unsigned char*, int);
int IsFlvType(CFileTypeJudge&, const unsigned char*, int);
int Is3pgType(CFileTypeJudge&, const unsigned char*, int);
int IsMkvType(CFileTypeJudge&, const unsigned char*, int);
int IsTsType(CFileTypeJudge&, const unsigned char*, int);
int IsMtsType(CFileTypeJudge&, const unsigned char*, int);
int IsMxfType(CFileTypeJudge&, const unsigned char*, int);
int IsMp3Type(CFileTypeJudge&, const unsigned char*, int);
int IsMidType(CFileTypeJudge&, const unsigned char*, int);
int IsApeType(CFileTypeJudge&, const unsigned char*, int);
int IsWavType(CFileTypeJudge&, const unsigned char*, int);
int IsMovType(CFileTypeJudge&, const unsigned char*, int);
int IsMp2Type(CFileTypeJudge&, const unsigned char*, int);
int IsMmfType(CFileTypeJudge&, const unsigned char*, int);
int IsFlaType(CFileTypeJudge&, const unsigned char*, int);
int IsGifType(CFileTypeJudge&, const unsigned char*, int);
int IsBmpType(CFileTypeJudge&, const unsigned char*, int);
int IsJpgType(CFileTypeJudge&, const unsigned char*, int);
int IsPngType(CFileTypeJudge&, const unsigned char*, int);
int IsPsdType(CFileTypeJudge&, const unsigned char*, int);
int IsTifType(CFileTypeJudge&, const unsigned char*, int);
int IsIcoType(CFileTypeJudge&, const unsigned char*, int);
int IsOffice2003Type(CFileTypeJudge&, const unsigned char*, int);
int IsOffice2007Type(CFileTypeJudge&, const unsigned char*, int);
int IsPdfType(CFileTypeJudge&, const unsigned char*, int);
int IsGzipType(CFileTypeJudge&, const unsigned char*, int);
int Is7zType(CFileTypeJudge&, const unsigned char*, int);
int IsZipType(CFileTypeJudge&, const unsigned char*, int);
int IsRarType(CFileTypeJudge&, const unsigned char*, int);
int IsCabType(CFileTypeJudge&, const unsigned char*, int);
int IsPeType(CFileTypeJudge&, const unsigned char*, int);
int IsGhoType(CFileTypeJudge&, const unsigned char*, int);
int IsSqlType(CFileTypeJudge&, const unsigned char*, int);
int IsDbxEmailType(CFileTypeJudge&, const unsigned char*, int);
int IsPstEmailType(CFileTypeJudge&, const unsigned char*, int);
int IsTtfType(CFileTypeJudge&, const unsigned char*, int);

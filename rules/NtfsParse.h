// NTFS on-disk rules shared by the fast and the deep NTFS engines: record
// geometry, the update-sequence fix-up of a FILE record, run-list decoding,
// the bounded attribute walk and the record-number-to-sector mapping.
//
// Everything here reads untrusted bytes. Every offset and length taken from
// a record is checked against the record (and the attribute) before use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ByteOrder.h"
#include "core/ExtentReader.h"
#include "core/Records.h"

// Attribute types the engines look at.
constexpr u32 NTFS_ATTR_STANDARD_INFO = 0x10;
constexpr u32 NTFS_ATTR_ATTRIBUTE_LIST = 0x20;
constexpr u32 NTFS_ATTR_FILE_NAME = 0x30;
constexpr u32 NTFS_ATTR_DATA = 0x80;
constexpr u32 NTFS_ATTR_INDEX_ALLOCATION = 0xA0;
constexpr u32 NTFS_ATTR_BITMAP = 0xB0;
constexpr u32 NTFS_ATTR_END = 0xFFFFFFFF;

// FILE record header flags.
constexpr u16 NTFS_RECORD_IN_USE = 0x01;
constexpr u16 NTFS_RECORD_IS_DIR = 0x02;
// Flags of an attribute header (offset 12).
constexpr u16 NTFS_ATTR_FLAG_COMPRESSED = 0x0001;
constexpr u16 NTFS_ATTR_FLAG_ENCRYPTED = 0x4000;

constexpr u32 NTFS_ROOT_RECORD = 5;
constexpr u32 NTFS_FIRST_USER_RECORD = 12;
constexpr u32 NTFS_FILE_SIGNATURE = 0x454C4946;  // "FILE"

// FileRecordFixUp results besides 0.
constexpr int NTFS_FIXUP_EMPTY = -1;  // null buffer or first byte 0
constexpr int NTFS_FIXUP_TORN = -2;   // a sector end does not carry the update sequence number

class CNtfsParse {
public:
    CNtfsParse() = default;

    // Sets the sector size (0 means 512). A FILE record is two sectors on a
    // 512-byte-sector volume and one sector otherwise. Returns 0, or 87 for a
    // sector size that is not a power of two from 512 to 4096 (the geometry
    // then stays as it was).
    int Init(int bytesPerSector);

    int RecordSize() const { return nRecordSectors * nBytesPerSector; }

    // Restores the last two bytes of every 512-byte stride of a record from
    // the update sequence array. The buffer must hold RecordSize() bytes. Returns 0;
    // NTFS_FIXUP_EMPTY when the buffer is null or its first byte is 0;
    // NTFS_FIXUP_TORN when a stride end does not carry the update sequence
    // number (a torn or foreign record). The buffer is left unchanged
    // whenever the result is not 0.
    int FileRecordFixUp(unsigned char* record) const;

    // Decodes the run list of a non-resident attribute and appends the runs.
    // nAvail is the number of bytes readable from pAttr onwards (the rest of
    // the record); nothing past the attribute's declared length or past
    // nAvail is read.
    void GetRunList(const unsigned char* pAttr, size_t nAvail, std::vector<__RUNLIST__>& runs) const;

    int nRecordSectors = 2;
    int nBytesPerSector = 512;
};

// Does a buffer of at least 512 bytes start a FILE record of recordSize
// bytes: "FILE", bytes in use at most the record size, bytes allocated equal
// to it, and the update sequence number at the end of the first sector.
bool IsNtfsFileRecord(const unsigned char* sector, int recordSize);
// Offset of the update sequence number (header offset 4), or 0 when it does
// not lie inside the first 512 bytes. The buffer must hold 512 bytes.
size_t NtfsUpdateSequenceOffset(const unsigned char* record);

// Cluster size in sectors to assume for a volume without a boot sector.
unsigned GetDefaultNtfsSectorPerCluster(unsigned long long totalSectors, unsigned bytesPerSector);

// Maps an MFT record number to its absolute sector along the MFT's runs.
// Returns false (and *pSector = volume start) when no run covers it. A run
// of 0 clusters (never decoded from disk) stands for an MFT that goes on
// without end from its cluster.
bool NtfsRecordToSector(u64 recordNumber, const std::vector<__RUNLIST__>& mftRuns, u64 sectorsPerCluster,
                        u64 recordSectors, u64 volumeStartSector, u64* pSector);

// One run with its absolute first cluster; lcn is -1 for a sparse run.
struct NtfsExtent {
    i64 lcn;
    u64 clusters;
};
// Adds the deltas up. Runs whose absolute cluster falls below 0 come out
// with lcn -2 (invalid) so that readers refuse them.
std::vector<NtfsExtent> NtfsAbsoluteRuns(const std::vector<__RUNLIST__>& runs);
// Where a file's data lies: each run's clusters at the volume's first byte
// + cluster x cluster size, sparse runs as zeros. 0, or 87 for a run before
// the volume or an offset that does not fit.
int NtfsDataExtents(const std::vector<__RUNLIST__>& runs, u64 u64BytesPerCluster, u64 u64VolumeStartByte,
                    std::vector<DataExtent>& extents);

// The answer of a data walk that found the data inside the record, or no
// data at all: the node has no extents.
inline constexpr int NTFS_NO_EXTENTS = -100;

// GetNodeExtents of an NTFS engine: FR_INVALID for a folder; otherwise
// collect fills extents and answers 0, NTFS_NO_EXTENTS (none listed, 0) or
// an error; the extents are cut to the bytes wanted of the file.
template <typename Collect>
int NtfsNodeExtents(const _FILE_NODE_& node, u64 u64Wanted, std::vector<DataExtent>& extents, Collect collect) {
    extents.clear();
    if (node.bIsDir) return FR_INVALID;
    const int rc = collect();
    if (rc == NTFS_NO_EXTENTS) return 0;
    if (rc != 0) return rc;
    TrimExtents(extents, u64Wanted < node.u64FileSize ? u64Wanted : node.u64FileSize);
    return 0;
}
// Appends one attribute extent's runs (whose first delta is absolute, as in
// every extent's own mapping pairs) to a list whose deltas are relative to
// the runs already there.
void NtfsAppendExtentRuns(std::vector<__RUNLIST__>& runs, const std::vector<__RUNLIST__>& extent);

// A checked view of one fixed-up FILE record.
struct NtfsRecordHeader {
    u16 nSequence = 0;  // the record's sequence number (offset 16)
    u16 nFlags = 0;
    u16 nFirstAttr = 0;
    u32 nBytesInUse = 0;
    u32 nRecordNumber = 0;
};
// Checks the signature, bytes in use (at most the record size) and the
// first-attribute offset (inside the bytes in use). The record must be
// recordSize bytes long.
bool NtfsReadRecordHeader(const unsigned char* record, size_t recordSize, NtfsRecordHeader& hdr);

// Does a parent reference still point at the folder now in its record?
// NTFS bumps a record's sequence number when it frees the record, so a live
// folder keeps the number its children carry and a deleted one is one
// ahead; anything else means the record was used again. A reference with
// sequence 0 is not checked.
bool NtfsParentSequenceMatches(u16 nRecordSequence, bool bRecordInUse, u64 u64ParentRef);
// Folders whose record now holds another folder become lost folders whose
// identifier is the record number with this bit set, so that their files
// never mix with the new folder's. Record numbers stay below it.
constexpr u32 NTFS_LOST_FOLDER_BIT = 0x80000000u;

// One attribute found by the walk.
struct NtfsAttr {
    const unsigned char* p = nullptr;  // attribute header
    u32 nType = 0;
    u32 nLength = 0;  // bytes, never past the walk's limit
    bool bNonResident = false;
    u8 nNameLength = 0;
};

// Walks the attributes of a record from its first-attribute offset up to a
// limit (at most the record size). Ends at type 0, a type of 0xFDFDFDFD or
// above, a length too small for a header, or an attribute that would cross
// the limit.
class CNtfsAttrWalk {
public:
    CNtfsAttrWalk(const unsigned char* record, const NtfsRecordHeader& hdr, size_t limit);
    bool Next(NtfsAttr& attr);

private:
    const unsigned char* m_pRecord;
    size_t m_nOffset;
    size_t m_nLimit;
};

// The value of a resident attribute, checked to lie inside the attribute.
bool NtfsResidentValue(const NtfsAttr& attr, const unsigned char** ppValue, u32* pLength);
// Real (data) size of a non-resident attribute.
bool NtfsNonResidentSize(const NtfsAttr& attr, u64* pSize);

// The record number of a file reference (its low 48 bits; the top 16 hold
// the sequence number).
inline u64 NtfsRefRecord(u64 ref) { return ref & 0x0000FFFFFFFFFFFFull; }

// A decoded file-name attribute.
struct NtfsFileName {
    u64 u64ParentRef = 0;
    u64 u64CreateTime = 0;
    u64 u64ModifyTime = 0;
    u64 u64AccessTime = 0;
    u64 u64RealSize = 0;
    u8 nNamespace = 0;  // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
    std::string strName;  // UTF-8
    u32 ParentRecord() const { return static_cast<u32>(NtfsRefRecord(u64ParentRef)); }
};
bool NtfsParseFileName(const NtfsAttr& attr, NtfsFileName& out);

// UTF-16LE to UTF-8; unpaired surrogates become U+FFFD, NUL becomes '_'.
std::string NtfsUtf16ToUtf8(const unsigned char* p, size_t units);

// One entry of an attribute list.
struct NtfsAttrListEntry {
    u32 nType = 0;
    u8 nNameLength = 0;
    u64 u64StartVcn = 0;
    u64 u64RecordNumber = 0;  // low 48 bits of the reference
};
// Walks attribute-list entries in a byte range; appends each whole entry.
void NtfsParseAttrList(const unsigned char* p, size_t len, std::vector<NtfsAttrListEntry>& out);

// What the engines take from one FILE record.
struct NtfsRecordInfo {
    NtfsRecordHeader hdr;
    bool bHasName = false;
    NtfsFileName firstName;    // first file-name attribute: parent, times, size; its
                               // times replaced by those of the standard
                               // information when the record has one
    std::string strName;       // the name to show (a long name wins over a DOS name)
    u8 nNameSpace = 0;
    bool bHasData = false;     // unnamed data attribute present in this record
    bool bDataNonResident = false;
    u64 u64DataSize = 0;       // real size (non-resident) or value length (resident)
    const unsigned char* pResident = nullptr;  // resident data, inside the record
    u32 nResidentLength = 0;
    std::vector<__RUNLIST__> dataRuns;          // non-resident data runs
    u16 nDataFlags = 0;                         // the data attribute's header flags
    u8 nCompressionUnit = 0;                    // log2 of clusters per compression unit
    const unsigned char* pAttrList = nullptr;   // attribute-list attribute, if any
    u32 nAttrListLength = 0;
};
// Fixes up (checking the update sequence) and parses one record of
// parser.RecordSize() bytes in place. False when it is no usable FILE
// record (wrong signature, torn, or a malformed header).
bool NtfsParseRecord(const CNtfsParse& parser, unsigned char* record, NtfsRecordInfo& info);

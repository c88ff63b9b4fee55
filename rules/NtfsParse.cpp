#include "rules/NtfsParse.h"

#include "core/TextHelpers.h"

#include <cstring>

int CNtfsParse::Init(int bytesPerSector) {
    if (bytesPerSector == 0) bytesPerSector = 512;
    if (bytesPerSector < 512 || bytesPerSector > 4096 || (bytesPerSector & (bytesPerSector - 1)) != 0)
        return FR_INVALID;
    nBytesPerSector = bytesPerSector;
    nRecordSectors = bytesPerSector == 512 ? 2 : 1;
    return 0;
}

int CNtfsParse::FileRecordFixUp(unsigned char* record) const {
    if (!record || record[0] == 0) return NTFS_FIXUP_EMPTY;
    // The header says where the update sequence lies (offset 48 on NTFS 3.1,
    // 42 on NTFS 3.0): its number, then one saved u16 for every 512-byte
    // stride of the record. The stride is 512 bytes whatever the sector size
    // (a 4096-byte record has eight). The array must lie in the first stride.
    const int strides = RecordSize() / 512;
    const size_t usa = NtfsUpdateSequenceOffset(record);
    if (usa == 0 || usa + 2 + 2 * static_cast<size_t>(strides) > 510) return NTFS_FIXUP_TORN;
    const u16 usn = GetLe16(record + usa);
    for (int i = 1; i <= strides; ++i) {
        const unsigned char* end = record + static_cast<size_t>(i) * 512 - 2;
        if (GetLe16(end) != usn) return NTFS_FIXUP_TORN;
    }
    for (int i = 1; i <= strides; ++i) {
        unsigned char* end = record + static_cast<size_t>(i) * 512 - 2;
        const unsigned char* saved = record + usa + 2 * static_cast<size_t>(i);
        end[0] = saved[0];
        end[1] = saved[1];
    }
    return 0;
}

void CNtfsParse::GetRunList(const unsigned char* pAttr, size_t nAvail, std::vector<__RUNLIST__>& runs) const {
    if (!pAttr || nAvail < 34) return;
    // Any attribute that lies inside its record is decoded, however long
    // (a heavily fragmented file has a run list of hundreds of bytes).
    size_t len = GetLe32(pAttr + 4);
    if (len > nAvail) len = nAvail;
    size_t pos = GetLe16(pAttr + 32);
    while (pos < len) {
        const unsigned h = pAttr[pos];
        if (h == 0) break;
        const unsigned a = h & 0x0F;  // bytes of the length field
        const unsigned b = h >> 4;    // bytes of the offset field
        if (a == 0 || a > 7 || b > 7) break;
        if (pos + 1 + a + b > len) break;  // the pair would cross the attribute's end
        const unsigned char* q = pAttr + pos + 1;
        u64 length = 0;
        for (unsigned i = 0; i < a; ++i) length |= static_cast<u64>(q[i]) << (8 * i);
        length &= 0xFFFFFFFFull;  // a run is at most 2^32 - 1 clusters long
        q += a;
        i64 delta = 0;
        if (b > 0) {
            u64 v = 0;
            for (unsigned i = 0; i < b; ++i) v |= static_cast<u64>(q[i]) << (8 * i);
            if (q[b - 1] & 0x80) v |= ~0ull << (8 * b);  // sign-extend from the top byte
            delta = static_cast<i64>(v);
        }
        runs.push_back({length, delta});
        pos += 1 + a + b;
    }
}

bool IsNtfsFileRecord(const unsigned char* sector, int recordSize) {
    if (!sector || recordSize <= 0) return false;
    if (GetLe32(sector) != NTFS_FILE_SIGNATURE) return false;
    if (GetLe32(sector + 24) > static_cast<u32>(recordSize)) return false;
    if (GetLe32(sector + 28) != static_cast<u32>(recordSize)) return false;
    const size_t usa = NtfsUpdateSequenceOffset(sector);
    return usa != 0 && GetLe16(sector + usa) == GetLe16(sector + 510);
}

size_t NtfsUpdateSequenceOffset(const unsigned char* record) {
    const size_t usa = GetLe16(record + 4);
    // Inside the first 512 bytes, after the fixed header fields, even.
    if (usa < 40 || usa > 508 || (usa & 1) != 0) return 0;
    return usa;
}

unsigned GetDefaultNtfsSectorPerCluster(unsigned long long totalSectors, unsigned bytesPerSector) {
    const double m = static_cast<double>(bytesPerSector) * static_cast<double>(totalSectors) / 1048576.0;
    double k = static_cast<double>(bytesPerSector / 512);
    if (m <= 7 * k) return 8;
    if (m <= 512 * k) return 1;
    if (m <= 1024 * k) return 2;
    if (m <= 2048 * k) return 4;
    return 8;
}

bool NtfsRecordToSector(u64 recordNumber, const std::vector<__RUNLIST__>& mftRuns, u64 sectorsPerCluster,
                        u64 recordSectors, u64 volumeStartSector, u64* pSector) {
    *pSector = volumeStartSector;
    if (sectorsPerCluster == 0 || recordSectors == 0) return false;
    if (recordNumber > UINT64_MAX / recordSectors) return false;
    const u64 t = recordNumber * recordSectors;
    u64 s = 0;
    i64 k = 0;
    for (const auto& r : mftRuns) {
        // Signed sums that would overflow mean a nonsense run list.
        if (__builtin_add_overflow(k, r.i64ClusterOffset, &k)) return false;
        u64 runSectors;
        if (r.u64ClusterCount == 0)
            runSectors = UINT64_MAX - s;  // a made-up run: the MFT goes on without end
        else if (__builtin_mul_overflow(r.u64ClusterCount, sectorsPerCluster, &runSectors))
            return false;
        if (t >= s && t - s < runSectors) {
            if (k < 0 || r.i64ClusterOffset == 0) return false;  // before the volume, or sparse
            u64 sec;
            if (__builtin_mul_overflow(static_cast<u64>(k), sectorsPerCluster, &sec)) return false;
            if (__builtin_add_overflow(sec, volumeStartSector + (t - s), &sec)) return false;
            *pSector = sec;
            return true;
        }
        if (__builtin_add_overflow(s, runSectors, &s)) return false;
    }
    return false;
}

std::vector<NtfsExtent> NtfsAbsoluteRuns(const std::vector<__RUNLIST__>& runs) {
    std::vector<NtfsExtent> out;
    out.reserve(runs.size());
    i64 lcn = 0;
    bool bad = false;
    for (const auto& r : runs) {
        if (r.i64ClusterOffset == 0) {
            out.push_back({-1, r.u64ClusterCount});
            continue;
        }
        if (bad || __builtin_add_overflow(lcn, r.i64ClusterOffset, &lcn)) bad = true;
        out.push_back({bad || lcn < 0 ? -2 : lcn, r.u64ClusterCount});
    }
    return out;
}

int NtfsDataExtents(const std::vector<__RUNLIST__>& runs, u64 u64BytesPerCluster, u64 u64VolumeStartByte,
                    std::vector<DataExtent>& extents) {
    extents.clear();
    for (const auto& e : NtfsAbsoluteRuns(runs)) {
        if (e.lcn == -2) return FR_INVALID;
        u64 runBytes, at;
        if (__builtin_mul_overflow(e.clusters, u64BytesPerCluster, &runBytes)) return FR_INVALID;
        if (e.lcn == -1) {
            AppendExtent(extents, {0, runBytes, true});  // sparse: no clusters on disk
            continue;
        }
        if (__builtin_mul_overflow(static_cast<u64>(e.lcn), u64BytesPerCluster, &at) ||
            __builtin_add_overflow(at, u64VolumeStartByte, &at) || at > static_cast<u64>(INT64_MAX))
            return FR_INVALID;
        AppendExtent(extents, {at, runBytes, false});
    }
    return 0;
}

void NtfsAppendExtentRuns(std::vector<__RUNLIST__>& runs, const std::vector<__RUNLIST__>& extent) {
    i64 lcn = 0;
    for (const auto& r : runs) lcn += r.i64ClusterOffset;  // wraps harmlessly: readers check the result
    bool first = true;
    for (auto r : extent) {
        if (first && r.i64ClusterOffset != 0) {
            // The extent's first delta is absolute: make it relative to the list so far.
            r.i64ClusterOffset = static_cast<i64>(static_cast<u64>(r.i64ClusterOffset) - static_cast<u64>(lcn));
            if (r.i64ClusterOffset == 0) {
                // Same cluster as the previous run's start; cannot be told apart from
                // a sparse run, so the extent is dropped rather than misread.
                return;
            }
            first = false;
        }
        runs.push_back(r);
    }
}

bool NtfsReadRecordHeader(const unsigned char* record, size_t recordSize, NtfsRecordHeader& hdr) {
    if (!record || recordSize < 64) return false;
    if (GetLe32(record) != NTFS_FILE_SIGNATURE) return false;
    hdr.nSequence = GetLe16(record + 16);
    hdr.nFlags = GetLe16(record + 22);
    hdr.nFirstAttr = GetLe16(record + 20);
    hdr.nBytesInUse = GetLe32(record + 24);
    hdr.nRecordNumber = GetLe32(record + 44);
    if (hdr.nBytesInUse > recordSize) return false;
    if (hdr.nFirstAttr < 24 || hdr.nFirstAttr >= hdr.nBytesInUse) return false;
    return true;
}

bool NtfsParentSequenceMatches(u16 nRecordSequence, bool bRecordInUse, u64 u64ParentRef) {
    const u16 want = static_cast<u16>(u64ParentRef >> 48);
    if (want == 0 || nRecordSequence == want) return true;
    return !bRecordInUse && nRecordSequence == (want == 0xFFFF ? 1 : want + 1);
}

CNtfsAttrWalk::CNtfsAttrWalk(const unsigned char* record, const NtfsRecordHeader& hdr, size_t limit)
    : m_pRecord(record), m_nOffset(hdr.nFirstAttr), m_nLimit(limit) {}

bool CNtfsAttrWalk::Next(NtfsAttr& attr) {
    // A header needs its first 16 bytes (type, length, resident flag, name length).
    if (!m_pRecord || m_nOffset + 16 > m_nLimit) return false;
    const unsigned char* p = m_pRecord + m_nOffset;
    const u32 type = GetLe32(p);
    if (type == 0 || type >= 0xFDFDFDFDu) return false;
    const u32 len = GetLe32(p + 4);
    if (len < 24 || len > m_nLimit - m_nOffset) return false;
    attr.p = p;
    attr.nType = type;
    attr.nLength = len;
    attr.bNonResident = p[8] != 0;
    attr.nNameLength = p[9];
    if (attr.bNonResident && len < 64) return false;  // too short for a non-resident header
    m_nOffset += len;
    return true;
}

bool NtfsResidentValue(const NtfsAttr& attr, const unsigned char** ppValue, u32* pLength) {
    if (attr.bNonResident || attr.nLength < 24) return false;
    const u32 vlen = GetLe32(attr.p + 16);
    const u32 voff = GetLe16(attr.p + 20);
    if (voff > attr.nLength || vlen > attr.nLength - voff) return false;
    *ppValue = attr.p + voff;
    *pLength = vlen;
    return true;
}

bool NtfsNonResidentSize(const NtfsAttr& attr, u64* pSize) {
    if (!attr.bNonResident || attr.nLength < 56) return false;
    *pSize = GetLe64(attr.p + 48);
    return true;
}

std::string NtfsUtf16ToUtf8(const unsigned char* p, size_t units) {
    std::string out;
    out.reserve(units);
    auto put = [&out](u32 c) { AppendUtf8(out, c == 0 ? '_' : c); };
    for (size_t i = 0; i < units; ++i) {
        u32 c = GetLe16(p + 2 * i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
            u32 lo = GetLe16(p + 2 * (i + 1));
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                put(0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        put(c);
    }
    return out;
}

bool NtfsParseFileName(const NtfsAttr& attr, NtfsFileName& out) {
    if (attr.nType != NTFS_ATTR_FILE_NAME) return false;
    const unsigned char* v;
    u32 vlen;
    if (!NtfsResidentValue(attr, &v, &vlen) || vlen < 66) return false;
    const u32 units = v[64];
    if (66 + 2 * units > vlen) return false;
    out.u64ParentRef = GetLe64(v);
    out.u64CreateTime = GetLe64(v + 8);
    out.u64ModifyTime = GetLe64(v + 16);
    out.u64AccessTime = GetLe64(v + 32);
    out.u64RealSize = GetLe64(v + 48);
    out.nNamespace = v[65];
    out.strName = NtfsUtf16ToUtf8(v + 66, units);
    return true;
}

void NtfsParseAttrList(const unsigned char* p, size_t len, std::vector<NtfsAttrListEntry>& out) {
    size_t pos = 0;
    while (pos + 26 <= len) {
        const unsigned char* e = p + pos;
        const u32 type = GetLe32(e);
        if (type == 0 || type == NTFS_ATTR_END) break;
        const u16 elen = GetLe16(e + 4);
        if (elen < 26 || elen > len - pos) break;
        NtfsAttrListEntry ent;
        ent.nType = type;
        ent.nNameLength = e[6];
        ent.u64StartVcn = GetLe64(e + 8);
        ent.u64RecordNumber = NtfsRefRecord(GetLe64(e + 16));
        out.push_back(ent);
        pos += elen;
    }
}

bool NtfsParseRecord(const CNtfsParse& parser, unsigned char* record, NtfsRecordInfo& info) {
    info = NtfsRecordInfo();
    const size_t recSize = static_cast<size_t>(parser.RecordSize());
    if (!record || GetLe32(record) != NTFS_FILE_SIGNATURE) return false;
    if (parser.FileRecordFixUp(record) != 0) return false;
    if (!NtfsReadRecordHeader(record, recSize, info.hdr)) return false;
    CNtfsAttrWalk walk(record, info.hdr, info.hdr.nBytesInUse);
    NtfsAttr a;
    bool bStdTimes = false;
    u64 stdCreate = 0, stdModify = 0, stdAccess = 0;
    while (walk.Next(a)) {
        if (a.nType == NTFS_ATTR_FILE_NAME) {
            NtfsFileName fn;
            if (!NtfsParseFileName(a, fn)) continue;
            if (!info.bHasName) {
                info.bHasName = true;
                info.strName = fn.strName;
                info.nNameSpace = fn.nNamespace;
                info.firstName = std::move(fn);
            } else if (fn.nNamespace != 2 && (info.nNameSpace == 2 || fn.nNamespace == 1)) {
                // A Win32 (or any long) name replaces a DOS short name.
                info.strName = fn.strName;
                info.nNameSpace = fn.nNamespace;
            }
        } else if (a.nType == NTFS_ATTR_DATA && a.nNameLength == 0 && !info.bHasData) {
            info.bHasData = true;
            info.bDataNonResident = a.bNonResident;
            info.nDataFlags = GetLe16(a.p + 12);
            if (a.bNonResident) {
                if (a.nLength > 0x22) info.nCompressionUnit = a.p[0x22];
                NtfsNonResidentSize(a, &info.u64DataSize);
                // Runs of an extent that does not start at VCN 0 belong after
                // the base extent; only the first extent is taken here.
                if (GetLe64(a.p + 16) == 0) parser.GetRunList(a.p, a.nLength, info.dataRuns);
            } else {
                const unsigned char* v;
                u32 vlen;
                if (NtfsResidentValue(a, &v, &vlen)) {
                    info.pResident = v;
                    info.nResidentLength = vlen;
                    info.u64DataSize = vlen;
                } else {
                    info.bHasData = false;
                }
            }
        } else if (a.nType == NTFS_ATTR_ATTRIBUTE_LIST && !info.pAttrList) {
            info.pAttrList = a.p;
            info.nAttrListLength = a.nLength;
        } else if (a.nType == NTFS_ATTR_STANDARD_INFO && !a.bNonResident && !bStdTimes) {
            const unsigned char* v;
            u32 vlen;
            if (NtfsResidentValue(a, &v, &vlen) && vlen >= 32) {
                bStdTimes = true;
                stdCreate = GetLe64(v);
                stdModify = GetLe64(v + 8);
                stdAccess = GetLe64(v + 24);
            }
        }
    }
    // The standard information holds the times the system keeps current;
    // those of a file-name attribute often date from the file's creation.
    if (bStdTimes && info.bHasName) {
        info.firstName.u64CreateTime = stdCreate;
        info.firstName.u64ModifyTime = stdModify;
        info.firstName.u64AccessTime = stdAccess;
    }
    return true;
}

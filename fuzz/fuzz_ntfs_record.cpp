// Feeds arbitrary bytes to the FILE-record parser, the attribute walk, the
// run-list decoder and the record-number mapping.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "rules/NtfsParse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // The first byte picks the sector size; the rest is the record.
    static const int kSectors[] = {512, 1024, 2048, 4096};
    CNtfsParse parser;
    parser.Init(kSectors[data[0] & 3]);
    ++data;
    --size;
    const size_t recSize = static_cast<size_t>(parser.RecordSize());
    std::vector<unsigned char> rec(recSize, 0);
    std::memcpy(rec.data(), data, size < recSize ? size : recSize);

    (void)IsNtfsFileRecord(rec.data(), static_cast<int>(recSize));
    NtfsRecordInfo info;
    if (NtfsParseRecord(parser, rec.data(), info)) {
        volatile size_t sink = info.strName.size() + info.nResidentLength;
        if (info.pResident) sink = sink + info.pResident[info.nResidentLength ? info.nResidentLength - 1 : 0];
        auto ext = NtfsAbsoluteRuns(info.dataRuns);
        u64 sector = 0;
        NtfsRecordToSector(info.hdr.nRecordNumber, info.dataRuns, 8, parser.nRecordSectors, 2048, &sector);
        if (info.pAttrList) {
            NtfsAttr a;
            a.p = info.pAttrList;
            a.nLength = info.nAttrListLength;
            a.bNonResident = info.pAttrList[8] != 0;
            a.nType = NTFS_ATTR_ATTRIBUTE_LIST;
            const unsigned char* v;
            u32 vlen;
            std::vector<NtfsAttrListEntry> entries;
            if (NtfsResidentValue(a, &v, &vlen)) NtfsParseAttrList(v, vlen, entries);
            std::vector<__RUNLIST__> runs;
            NtfsAppendExtentRuns(runs, info.dataRuns);
            NtfsAppendExtentRuns(runs, info.dataRuns);
            sink = sink + entries.size() + runs.size();
        }
        (void)ext;
        (void)sink;
    }
    // The run-list decoder on its own, at every offset of the raw input.
    std::vector<__RUNLIST__> runs;
    for (size_t off = 0; off + 64 <= size && off < 4096; off += 8) {
        runs.clear();
        parser.GetRunList(data + off, size - off, runs);
    }
    return 0;
}

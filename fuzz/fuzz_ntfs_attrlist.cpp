// Feeds arbitrary bytes to the NTFS attribute-list walk and, as the value
// of a resident $FILE_NAME attribute, to the file-name reader.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "rules/NtfsParse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<unsigned char> buf(data, data + size);
    std::vector<NtfsAttrListEntry> entries;
    NtfsParseAttrList(buf.data(), buf.size(), entries);
    volatile size_t sink = entries.size();
    for (const auto& e : entries) sink = sink + e.nType + e.u64RecordNumber;
    NtfsAttr a;
    a.p = buf.data();
    a.nLength = static_cast<u32>(buf.size());
    a.bNonResident = buf.size() > 8 && buf[8] != 0;
    a.nType = NTFS_ATTR_FILE_NAME;
    NtfsFileName fn;
    if (NtfsParseFileName(a, fn)) sink = sink + fn.strName.size();
    const unsigned char* v = nullptr;
    u32 len = 0;
    if (NtfsResidentValue(a, &v, &len) && len > 0) sink = sink + v[len - 1];
    u64 real = 0;
    if (NtfsNonResidentSize(a, &real)) sink = sink + real;
    (void)sink;
    return 0;
}

#include "CliJson.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "core/Categories.h"
#include "core/FileOutput.h"
#include "core/TextHelpers.h"

namespace {

const char* MethodName(u32 nEngineType) {
    switch (nEngineType) {
        case ENGINE_FAST_NTFS:
        case ENGINE_FAST_FAT:
        case ENGINE_FAST_EXFAT: return "file system";
        case ENGINE_DEEP_NTFS:
        case ENGINE_DEEP_FAT:
        case ENGINE_DEEP_EXFAT: return "rebuilt folder";
        case ENGINE_CARVING: return "carved";
        default: return "unknown";
    }
}

// Which engine found it: the file system ("fat", "ntfs") and, for the deep
// engines, "-deep"; "carving" for carved files.
const char* EngineName(u32 nEngineType) {
    switch (nEngineType) {
        case ENGINE_FAST_NTFS: return "ntfs";
        case ENGINE_FAST_FAT: return "fat";
        case ENGINE_DEEP_NTFS: return "ntfs-deep";
        case ENGINE_DEEP_FAT: return "fat-deep";
        case ENGINE_FAST_EXFAT: return "exfat";
        case ENGINE_DEEP_EXFAT: return "exfat-deep";
        case ENGINE_CARVING: return "carving";
        default: return "unknown";
    }
}

// A recorded time as ISO 8601 in UTC, or null.
std::string JsonTime(const _FILE_NODE_& node, u64 value) {
    i64 t = 0;
    struct tm tmv {};
    if (!GetNodeUnixTime(node, value, t)) return "null";
    const time_t when = static_cast<time_t>(t);
    if (!gmtime_r(&when, &tmv)) return "null";
    char buf[40];
    strftime(buf, sizeof buf, "\"%Y-%m-%dT%H:%M:%SZ\"", &tmv);
    return buf;
}

}  // namespace

// Length of the well-formed UTF-8 sequence at s[i], 0 when there is none
// (a stray continuation byte, an overlong form, a surrogate, a cut sequence).
static size_t Utf8SequenceAt(const std::string& s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    unsigned cp;
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) n = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF) n = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4) n = 4, cp = c & 0x07;
    else return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        const unsigned char t = static_cast<unsigned char>(s[i + k]);
        if ((t & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (t & 0x3F);
    }
    if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    return n;
}

// A JSON string literal. Names from damaged media need not be UTF-8: a
// byte that starts no well-formed sequence is written as \u00XX, the
// character of that byte's value, so the output is always valid JSON and
// the byte can still be told.
std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = Utf8SequenceAt(s, i);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || n == 0) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out.append(s, i, n);
            i += n;
            continue;
        }
        ++i;
    }
    return out + "\"";
}


void CJsonListing::Add(const __SEARCH_FILE_INFO__& h, const std::string& parent, unsigned long long offset) {
    _FILE_NODE_ node = ToFileNode(h);
    const std::string name(h.szFileName, strnlen(h.szFileName, sizeof h.szFileName));
    // The names recover writes: a name from the disk never adds a folder.
    std::string path = CleanSourcePath(parent);
    if (!path.empty()) path.erase(0, 1);
    if (!path.empty()) path += '/';
    path += SanitizeFileName(name);
    const std::string category = h.bIsDir ? "folder" : GetCategoryFolderName(h.szFileName);
    const std::string key = GetClassKey(h.szFileName);
    // Files are listed because they are deleted or lost; a folder may be a
    // live one that holds them.
    const bool deleted = !h.bIsDir || (h.nReserved & 1) != 0 || h.nEngineType == ENGINE_CARVING;
    const std::string partition = m_nPartition > 0 ? std::to_string(m_nPartition) : "null";
    printf("{\"path\":%s,\"name\":%s,\"size\":%llu,\"category\":%s,\"extension\":%s,\"folder\":%s,"
           "\"deleted\":%s,\"healthy\":%s,\"method\":\"%s\",\"engine\":\"%s\",\"partition\":%s,\"offset\":%llu,"
           "\"modified\":%s,\"accessed\":%s,\"created\":%s%s}\n",
           JsonString(path).c_str(), JsonString(name).c_str(), static_cast<unsigned long long>(h.u64FileSize),
           JsonString(category).c_str(), JsonString(key.empty() ? "" : key.substr(1)).c_str(),
           h.bIsDir ? "true" : "false", deleted ? "true" : "false", h.bIsHealth == 1 ? "true" : "false",
           MethodName(h.nEngineType), EngineName(h.nEngineType), partition.c_str(), offset,
           JsonTime(node, h.u64ModifyTime).c_str(),
           JsonTime(node, h.u64AccessTime).c_str(), JsonTime(node, h.u64CreateTime).c_str(),
           h.bIsHealth == 1 ? "" : (",\"damage\":" + JsonString(HealthReason(h.bIsHealth))).c_str());
    if (h.bIsDir) return;
    ++m_total.files;
    m_total.bytes += h.u64FileSize;
    if (h.bIsHealth != 1) ++m_nDamaged;
    for (auto& [cat, tally] : m_categories)
        if (cat == category) {
            ++tally.files;
            tally.bytes += h.u64FileSize;
            return;
        }
    m_categories.push_back({category, {1, h.u64FileSize}});
}

void CJsonListing::Finish(bool bComplete, unsigned long long u64ReadErrors) {
    std::string cats;
    for (const auto& [cat, tally] : m_categories) {
        char buf[96];
        snprintf(buf, sizeof buf, ":{\"files\":%llu,\"bytes\":%llu}", tally.files, tally.bytes);
        cats += (cats.empty() ? "" : ",") + JsonString(cat) + buf;
    }
    printf("{\"summary\":true,\"complete\":%s,\"files\":%llu,\"bytes\":%llu,\"categories\":{%s},"
           "\"damaged\":%llu,\"read_errors\":%llu}\n",
           bComplete ? "true" : "false", m_total.files, m_total.bytes, cats.c_str(), m_nDamaged, u64ReadErrors);
}

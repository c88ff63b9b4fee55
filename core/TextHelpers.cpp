#include "TextHelpers.h"

#include "Records.h"

#include <QtCore/QString>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iconv.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {
std::mutex g_iconvMutex;
iconv_t g_toUni = reinterpret_cast<iconv_t>(-1);
iconv_t g_toStr = reinterpret_cast<iconv_t>(-1);
std::string g_charset = "UTF-8";
}  // namespace

int inner_initUnicodeMap(const char* szCharset) {
    std::lock_guard<std::mutex> lock(g_iconvMutex);
    g_charset = szCharset ? szCharset : "UTF-8";
    if (g_toUni != reinterpret_cast<iconv_t>(-1)) iconv_close(g_toUni);
    if (g_toStr != reinterpret_cast<iconv_t>(-1)) iconv_close(g_toStr);
    g_toUni = iconv_open("UTF-16LE", g_charset.c_str());
    if (g_toUni == reinterpret_cast<iconv_t>(-1)) return -1;
    g_toStr = iconv_open(g_charset.c_str(), "UTF-16LE");
    if (g_toStr == reinterpret_cast<iconv_t>(-1)) {
        iconv_close(g_toUni);
        g_toUni = reinterpret_cast<iconv_t>(-1);
        return -1;
    }
    return 0;
}

void inner_uninitUnicodeMap() {
    std::lock_guard<std::mutex> lock(g_iconvMutex);
    if (g_toUni != reinterpret_cast<iconv_t>(-1)) iconv_close(g_toUni);
    if (g_toStr != reinterpret_cast<iconv_t>(-1)) iconv_close(g_toStr);
    g_toUni = g_toStr = reinterpret_cast<iconv_t>(-1);
}

std::string_view Utf8Prefix(std::string_view s, size_t maxBytes) {
    if (s.size() <= maxBytes) return s;
    size_t n = maxBytes;
    // Step back over continuation bytes to the start of the cut character.
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

void CopyNodeName(char* dst, size_t dstSize, std::string_view name) {
    if (!dst || dstSize == 0) return;
    std::string_view cut = Utf8Prefix(name.substr(0, name.find('\0')), dstSize - 1);
    std::memcpy(dst, cut.data(), cut.size());
    std::memset(dst + cut.size(), 0, dstSize - cut.size());
}

std::string WideToUtf8(std::wstring_view in) {
    return QString::fromWCharArray(in.data(), static_cast<qsizetype>(in.size())).toStdString();
}

std::string WideToUtf8(const wchar_t* in) {
    if (!in) return {};
    return WideToUtf8(std::wstring_view(in));
}

std::wstring Utf8ToWide(std::string_view in) {
    return QString::fromUtf8(in.data(), static_cast<qsizetype>(in.size())).toStdWString();
}

void AppendUtf8(std::string& out, unsigned c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

long inner_uni2str(char* out, const wchar_t* in, long outSize, long /*inLen*/) {
    if (!out || outSize <= 0) return 0;
    std::string s = WideToUtf8(in);
    std::string_view cut = Utf8Prefix(s, static_cast<size_t>(outSize - 1));
    std::memcpy(out, cut.data(), cut.size());
    out[cut.size()] = 0;
    return static_cast<long>(cut.size());
}

long inner_str2uni(wchar_t* out, const char* in, long outSize, long /*inLen*/) {
    if (!out || outSize <= 0) return 0;
    std::wstring w = in ? Utf8ToWide(in) : std::wstring();
    size_t n = w.size();
    if (n > static_cast<size_t>(outSize - 1)) n = static_cast<size_t>(outSize - 1);
    std::wmemcpy(out, w.data(), n);
    out[n] = 0;
    return static_cast<long>(n);
}

int Unicode2Ansi(const wchar_t* in, char* out, int outSize) {
    inner_uni2str(out, in, outSize, in ? static_cast<long>(wcslen(in) + 1) : 0);
    return 0;
}

int Ansi2Unicode(const char* in, wchar_t* out, int outSize) {
    inner_str2uni(out, in, outSize, in ? static_cast<long>(strlen(in) + 1) : 0);
    return 0;
}

std::string Unicode2Ansi(const wchar_t* in) { return WideToUtf8(in); }
std::wstring Ansi2Unicode(const char* in) { return in ? Utf8ToWide(in) : std::wstring(); }

char* GetCharLowerA(char* s) {
    if (!s) return s;
    for (char* p = s; *p; ++p)
        if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p + 32);
    return s;
}

int Convert2Lowercase(char* s) {
    if (!s) return 0;
    GetCharLowerA(s);
    return static_cast<int>(strlen(s));
}

wchar_t* GetCharLowerW(wchar_t* s) {
    if (!s) return s;
    for (wchar_t* p = s; *p; ++p)
        if (*p >= 65 && *p <= 90) *p = *p + 32;
    return s;
}

void EraseStringTailBlankChar(char* s, int len) {
    if (!s) return;
    for (int i = len - 1; i >= 0 && s[i] == ' '; --i) s[i] = 0;
}

std::string ExtensionOf(std::string_view name, size_t maxBytes) {
    const size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot + 1 == name.size()) return std::string();
    const std::string_view ext = name.substr(dot + 1);
    if (ext.size() > maxBytes) return std::string();
    return std::string(ext);
}

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

int GetExtendName(const char* name, char* ext) {
    if (!name || !ext) return 87;
    const char* dot = strrchr(name, '.');
    if (!dot) return 87;
    strcpy(ext, dot + 1);
    return 0;
}

int GetPathDirIndex(const wchar_t* path, int& n) {
    n = 0;
    if (!path) return 0;
    size_t len = wcslen(path);
    if (len <= 1) return 0;
    for (size_t i = 0; i + 1 < len; ++i)
        if (path[i] == L'/' || path[i] == L'\\') ++n;
    return 0;
}

void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext) {
    if (drive) drive[0] = 0;
    if (dir) dir[0] = 0;
    if (fname) fname[0] = 0;
    if (ext) ext[0] = 0;
    if (!path) return;
    size_t len = strlen(path);
    if (len > 0 && path[len - 1] == '/') {
        if (dir) strcpy(dir, path);
        return;
    }
    const char* slash = strrchr(path, '/');
    const char* name = slash ? slash + 1 : path;
    if (slash && dir) {
        size_t dl = static_cast<size_t>(name - path);
        memcpy(dir, path, dl);
        dir[dl] = 0;
    }
    const char* dot = strrchr(name, '.');
    if (dot) {
        if (ext) strcpy(ext, dot);
        if (fname) {
            size_t fl = static_cast<size_t>(dot - name);
            memcpy(fname, name, fl);
            fname[fl] = 0;
        }
    } else if (fname) {
        strcpy(fname, name);
    }
}

std::string EngineResultText(int code) {
    switch (code) {
        case FR_OK: return "success";
        case FR_INVALID: return "invalid request, or data outside the volume";
        case FR_SHORT_READ: return "short read";
        case FR_FAILED: return "engine error";
        case FR_RECOVERY_CANCELLED: return "stopped by the user";
        default: break;
    }
    if (code > 0 && code < 4096) return std::strerror(code);
    return "engine code " + std::to_string(code);
}

std::string GetFileSizeString(long long bytes) {
    char buf[64];
    const double b = static_cast<double>(bytes);
    if (bytes < 1024)
        snprintf(buf, sizeof buf, "%lld Bytes", bytes);
    else if (bytes < (1LL << 20))
        snprintf(buf, sizeof buf, "%.2f KB", b / 1024.0);
    else if (bytes < (1LL << 30))
        snprintf(buf, sizeof buf, "%.2f MB", b / 1048576.0);
    else if (bytes < (1LL << 40))
        snprintf(buf, sizeof buf, "%.2f GB", b / 1073741824.0);
    else
        snprintf(buf, sizeof buf, "%.2f TB", b / 1099511627776.0);
    return buf;
}

std::string GetTimeString(long long seconds) {
    char buf[64];
    if (seconds < 60)
        snprintf(buf, sizeof buf, "%d Sec", static_cast<int>(seconds));
    else if (seconds < 3600)
        snprintf(buf, sizeof buf, "%d Min %d Sec", static_cast<int>(seconds / 60), static_cast<int>(seconds % 60));
    else
        snprintf(buf, sizeof buf, "%d Hour %d Min", static_cast<int>(seconds / 3600),
                 static_cast<int>((seconds % 3600) / 60));
    return buf;
}

namespace {
// Length of the valid UTF-8 sequence at s[i], or 0 when it is not valid.
size_t Utf8SeqLen(std::string_view s, size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n;
    unsigned cp;
    if (c < 0x80) return 1;
    if ((c & 0xE0) == 0xC0) { n = 2; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { n = 3; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { n = 4; cp = c & 0x07; }
    else return 0;
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        unsigned char cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (cc & 0x3F);
    }
    if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}
}  // namespace

std::string SanitizeFileName(std::string_view name, size_t maxBytes) {
    static const char kPlaceholder[] = "_unnamed";
    if (maxBytes < sizeof kPlaceholder) maxBytes = sizeof kPlaceholder;
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') {
            out += '_';
            ++i;
            continue;
        }
        size_t n = Utf8SeqLen(name, i);
        if (n == 0) {
            out += '_';
            ++i;
            continue;
        }
        out.append(name.substr(i, n));
        i += n;
    }
    if (out.empty() || out == "." || out == "..") return kPlaceholder;
    if (out.size() > maxBytes) {
        // Keep a short extension so that the type stays recognisable.
        size_t dot = out.rfind('.');
        std::string ext;
        if (dot != std::string::npos && dot > 0 && out.size() - dot <= 16) ext = out.substr(dot);
        std::string stem = out.substr(0, out.size() - ext.size());
        out = std::string(Utf8Prefix(stem, maxBytes - ext.size())) + ext;
        if (out == "." || out == ".." || out.empty()) return kPlaceholder;
    }
    return out;
}

std::wstring SanitizeFileName(std::wstring_view name, size_t maxBytes) {
    return Utf8ToWide(SanitizeFileName(WideToUtf8(name), maxBytes));
}

bool IsContainedRelativePath(std::string_view relPath) {
    if (relPath.find('\0') != std::string_view::npos) return false;
    if (!relPath.empty() && relPath.front() == '/') return false;
    size_t pos = 0;
    while (pos <= relPath.size()) {
        size_t next = relPath.find('/', pos);
        if (next == std::string_view::npos) next = relPath.size();
        std::string_view comp = relPath.substr(pos, next - pos);
        if (comp == "." || comp == "..") return false;
        pos = next + 1;
    }
    return true;
}

// Text, path and formatting helpers shared by the engines, the result store
// and the front ends. Narrow text is UTF-8 throughout.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Records the narrow character set and opens the iconv handles between it
// and UTF-16LE; 0, or -1 when either handle cannot be opened.
int inner_initUnicodeMap(const char* szCharset);
void inner_uninitUnicodeMap();

long inner_uni2str(char* out, const wchar_t* in, long outSize, long inLen);
long inner_str2uni(wchar_t* out, const char* in, long outSize, long inLen);
int Unicode2Ansi(const wchar_t* in, char* out, int outSize);
int Ansi2Unicode(const char* in, wchar_t* out, int outSize);
std::string Unicode2Ansi(const wchar_t* in);
std::wstring Ansi2Unicode(const char* in);

std::string WideToUtf8(const wchar_t* in);
std::string WideToUtf8(std::wstring_view in);
std::wstring Utf8ToWide(std::string_view in);
// Appends one Unicode code point as UTF-8.
void AppendUtf8(std::string& out, unsigned codePoint);

char* GetCharLowerA(char* s);
int Convert2Lowercase(char* s);
wchar_t* GetCharLowerW(wchar_t* s);
void EraseStringTailBlankChar(char* s, int len);

int GetExtendName(const char* name, char* ext);
// The text after the last '.' of a name; empty when there is none, when the
// name ends in '.', or when it is longer than maxBytes.
std::string ExtensionOf(std::string_view name, size_t maxBytes = std::string_view::npos);
// A copy with A-Z turned into a-z (other bytes unchanged).
std::string LowerAscii(std::string s);
int GetPathDirIndex(const wchar_t* path, int& n);
void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext);

// What an engine's result code means, for people: the shared codes (87
// invalid or outside the volume, 30 short read, -1, the stop codes) by
// their meaning, other positive codes as the system's errno text.
std::string EngineResultText(int code);

std::string GetFileSizeString(long long bytes);
std::string GetTimeString(long long seconds);

// Longest prefix of s of at most maxBytes bytes that ends on a UTF-8
// character boundary.
std::string_view Utf8Prefix(std::string_view s, size_t maxBytes);
// Copies a name into a fixed buffer (such as _FILE_NODE_::szFileName),
// cut at a character boundary and always terminated.
void CopyNodeName(char* dst, size_t dstSize, std::string_view name);

// Makes an on-disk name safe as one path component: '/', '\', NUL and
// control characters become '_', invalid UTF-8 bytes become '_', "", "."
// and ".." become "_unnamed", and the result fits maxBytes bytes
// (cut at a character boundary, keeping the extension when it can).
std::string SanitizeFileName(std::string_view name, size_t maxBytes = 255);
std::wstring SanitizeFileName(std::wstring_view name, size_t maxBytes = 255);

// True when the path has no "." or ".." component and no NUL, so that
// joining it below a destination cannot leave the destination.
bool IsContainedRelativePath(std::string_view relPath);

// Structure walks of archives, compressed streams, programs, fonts and text:
// tar, gzip, xz, bzip2, PE executables, TrueType/OpenType fonts and
// collections, SWF, and UTF-8 text. Compressed streams are decompressed (zlib, liblzma, libbz2) into
// a scratch buffer that is thrown away, only to learn where the stream ends;
// the output and the input are both bounded per candidate. Each walk gives
// the exact length, or 0 when the structure does not validate; the length
// rules then fall back to the plain rule of their row.
#pragma once

#include "carving/FileLengthRules.h"

// Signature tests of the rows added for these formats.
int IsTarType(CFileTypeJudge&, const unsigned char*, int);
int IsXzType(CFileTypeJudge&, const unsigned char*, int);
int IsBzip2Type(CFileTypeJudge&, const unsigned char*, int);
// Text: at least 64 bytes of UTF-8 text at the start of the sector; the code
// tells HTML, XML, SVG, RTF, CSV and plain text apart. A weak signature:
// the judge tries it only where no other type answers.
int IsTextType(CFileTypeJudge&, const unsigned char*, int);
// True for a byte text never holds, whatever comes before it: control codes
// but tab, line breaks and form feed, DEL, and bytes UTF-8 never uses.
bool IsNeverTextByte(unsigned char c);
// False when IsTextType cannot answer: a byte text never holds comes within
// the first 64, or the buffer is shorter.
bool MayStartText(const unsigned char* buf, int len);

unsigned long long WalkTar(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long WalkGzip(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long WalkXz(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long WalkBzip2(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long WalkPe(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long WalkSfnt(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long WalkSwf(CFileTypeJudge& judge, const unsigned char* buf, int len);

FR_LENGTH_RULE(GetTARFileBytesSize);   // else GetDefaultVedioFileBytesSize
FR_LENGTH_RULE(GetGZFileBytesSize);    // else GetDefaultVedioFileBytesSize
FR_LENGTH_RULE(GetXZFileBytesSize);    // else GetDefaultVedioFileBytesSize
FR_LENGTH_RULE(GetBZ2FileBytesSize);   // else GetDefaultVedioFileBytesSize
FR_LENGTH_RULE(GetPEFileBytesSize);    // else 0: not carved
FR_LENGTH_RULE(GetFontFileBytesSize);  // else GetTTFFileBytesSize
FR_LENGTH_RULE(GetSWFWalkFileBytesSize);  // else GetSWFFileBytesSize
// Text up to the first byte text cannot hold, a sector that starts another
// file, or the closing tag (HTML, SVG) or brace (RTF).
FR_LENGTH_RULE(GetTextFileBytesSize);

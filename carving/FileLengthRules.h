// File length rules: given the first sector of a recognised file, work out
// how many bytes belong to it, from a header field, a closing marker or a
// forward walk that stops where another file or file-system metadata
// begins. Every rule reads the device through the judge, reports progress
// and stops when the progress callback asks it to.
#pragma once

#include "carving/FileTypeJudge.h"

#define FR_LENGTH_RULE(name) unsigned long long name(CFileTypeJudge& judge, const unsigned char* buf, int len)

FR_LENGTH_RULE(GetMPGFileBytesSize);
FR_LENGTH_RULE(GetMP4FileBytesSize);
FR_LENGTH_RULE(GetRMVBFileBytesSize);
FR_LENGTH_RULE(GetASFFileBytesSize);
FR_LENGTH_RULE(GetSWFFileBytesSize);
FR_LENGTH_RULE(GetAVIFileBytesSize);
FR_LENGTH_RULE(GetDefaultVedioFileBytesSize);
FR_LENGTH_RULE(GetMKVFileBytes);
FR_LENGTH_RULE(GetTSFileBytesSize);
FR_LENGTH_RULE(GetMTSFileBytesSize);
FR_LENGTH_RULE(GetMP3FileBytesSize);
FR_LENGTH_RULE(GetMP2FileBytesSize);  // the frame walk, else the default audio rule
FR_LENGTH_RULE(GetMIDFileBytesSize);
FR_LENGTH_RULE(GetAPEFileBytesSize);
FR_LENGTH_RULE(GetWAVFileBytesSize);
FR_LENGTH_RULE(GetDefaultAudioFileBytesSize);
FR_LENGTH_RULE(GetFLAFileBytesSize);
FR_LENGTH_RULE(GetGIFFileBytesSize);
FR_LENGTH_RULE(GetBMPFileBytesSize);
FR_LENGTH_RULE(GetJPGFileBytesSize);
FR_LENGTH_RULE(GetPNGFileBytesSize);
FR_LENGTH_RULE(GetDefaultPictureFileBytesSize);
FR_LENGTH_RULE(GetICOFileBytesSize);
FR_LENGTH_RULE(GetOFFICE2003FileBytesSize);
FR_LENGTH_RULE(GetOFFICE2003FileBytesSizeByFileHead);
FR_LENGTH_RULE(GetOFFICE2007FileBytesSize);
FR_LENGTH_RULE(GetPDFFileBytesSize);
FR_LENGTH_RULE(Get7ZFileBytesSize);
FR_LENGTH_RULE(GetZIPFileBytesSize);
FR_LENGTH_RULE(GetRARFileBytesSize);
FR_LENGTH_RULE(GetCABFileBytesSize);
FR_LENGTH_RULE(GetDBFileBytesSize);
FR_LENGTH_RULE(GetMailFileBytesSize);
FR_LENGTH_RULE(GetTTFFileBytesSize);

// Reads n bytes at a file offset of the current candidate into dst (through
// the judge's scratch buffer). False when they cannot all be read.
bool ReadFileBytes(CFileTypeJudge& judge, unsigned long long offset, unsigned char* dst, int n);

// Reports the progress of a rule that has read this many sectors through
// the scan callback; the callback's answer (non-zero: stop), also kept in
// judge.m_ErrorCode.
int ReportRuleProgress(CFileTypeJudge& judge, u64 sectorsReadByRule);

// End tests over a window of whole sectors: 1 when a sector of it begins
// another file or is file-system metadata; size then grows by the bytes
// before that sector. Each sector advances the judge's current sector.
int IsEndOfFile(CFileTypeJudge& judge, const unsigned char* buf, int bytes, unsigned long long& size);
int IsEndOfVedioFile(CFileTypeJudge& judge, const unsigned char* buf, int bytes, unsigned long long& size);
int IsEndOfMPGFile(CFileTypeJudge& judge, const unsigned char* buf, int bytes, unsigned long long& size);

// Offset just past the first closed JPEG end marker of a buffer, or 0.
unsigned long long GetJPGFileTailOffset(const unsigned char* buf, int len, int bytesPerSector);
// Offset just past the first closed PNG IEND chunk of a buffer, or 0.
unsigned long long GetPNGFileTailOffset(const unsigned char* buf, int len, int bytesPerSector);

// Structure walks of container formats: ISO base media (MP4, MOV, 3GP,
// M4A, HEIC, AVIF, CR3), RIFF (WAV, AVI, WebP), AIFF, Ogg, FLAC and
// Matroska/WebM. Each walk follows the format's own length fields from the
// first byte to the last and gives the exact file length, or 0 when the
// structure does not hold together; the length rules below then fall back
// to the plain rule of their row, so a file the plain rule finds is never
// lost. Walks read the device through the judge, never past the volume's
// end, and every loop is bounded.
#pragma once

#include "carving/FileLengthRules.h"

// Signature tests of the container rows.
// ftyp with a HEIF, AVIF, CR3, M4A or M4V brand (MP4, 3GP and MOV keep
// their own tests).
int IsIsoMediaType(CFileTypeJudge&, const unsigned char*, int);
int IsWebpType(CFileTypeJudge&, const unsigned char*, int);
int IsAiffType(CFileTypeJudge&, const unsigned char*, int);
// First page of an Ogg stream carrying Vorbis, FLAC or Speex (ogg) or Opus.
int IsOggType(CFileTypeJudge&, const unsigned char*, int);
int IsFlacType(CFileTypeJudge&, const unsigned char*, int);
// EBML header whose document type is "webm".
int IsWebmType(CFileTypeJudge&, const unsigned char*, int);

// The walks: exact length in bytes, or 0.
unsigned long long WalkIsoBoxes(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long WalkRiffChunks(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long WalkAiffChunks(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long WalkOggPages(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long WalkFlacStream(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long WalkEbmlSegment(CFileTypeJudge& judge, const unsigned char* buf, int len);

// Length rules of the table: the walk, else the row's plain rule.
FR_LENGTH_RULE(GetIsoMp4FileBytesSize);      // else GetMP4FileBytesSize
FR_LENGTH_RULE(GetIsoVideoFileBytesSize);    // else GetDefaultVedioFileBytesSize
FR_LENGTH_RULE(GetIsoPictureFileBytesSize);  // else GetDefaultPictureFileBytesSize
FR_LENGTH_RULE(GetIsoAudioFileBytesSize);    // else GetDefaultAudioFileBytesSize
FR_LENGTH_RULE(GetRiffWavFileBytesSize);     // else GetWAVFileBytesSize
FR_LENGTH_RULE(GetRiffAviFileBytesSize);     // else GetAVIFileBytesSize
FR_LENGTH_RULE(GetWebpFileBytesSize);        // else GetDefaultPictureFileBytesSize
FR_LENGTH_RULE(GetAiffFileBytesSize);        // else GetDefaultAudioFileBytesSize
FR_LENGTH_RULE(GetOggFileBytesSize);         // else GetDefaultAudioFileBytesSize
FR_LENGTH_RULE(GetFlacFileBytesSize);        // else GetDefaultAudioFileBytesSize
FR_LENGTH_RULE(GetEbmlMkvFileBytesSize);     // else GetMKVFileBytes

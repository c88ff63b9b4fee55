// Structure walks: the exact length of a recognised file, read from the
// format's own structure (segments, chunks, blocks, frames, directories)
// through the judge's device reader. Each walk answers 0 when the structure
// does not validate; the length rule of the row then falls back to its
// marker search or forward walk, so a walk never loses a file the rule
// would have found. Walks never read outside their buffer or the volume,
// and every loop is bounded by the file's maximum length.
#pragma once

#include "carving/FileTypeJudge.h"

// JPEG: segments by their lengths, entropy-coded data after each SOS (byte
// stuffing, restart markers) up to the EOI that closes the main image.
unsigned long long WalkJpeg(CFileTypeJudge& judge, const unsigned char* buf, int len);
// PNG: chunks (length, type, CRC of the small ones) from IHDR to IEND.
unsigned long long WalkPng(CFileTypeJudge& judge, const unsigned char* buf, int len);
// GIF: colour tables, extensions and images with their sub-blocks, to the
// trailer.
unsigned long long WalkGif(CFileTypeJudge& judge, const unsigned char* buf, int len);
// MP3: the ID3v2 tag (or four frames without one), MPEG audio frames while
// consecutive headers agree,
// then an APE tag and an ID3v1 tag when present.
unsigned long long WalkMp3(CFileTypeJudge& judge, const unsigned char* buf, int len);
// MPEG audio without a tag: four consistent frame headers in a row from
// the first byte; FT_MP3, FT_MP2 or FT_MP1 by the layer. A weak signature:
// the judge tries it only where no other type answers.
int IsMpegAudioType(CFileTypeJudge&, const unsigned char*, int);
// TIFF and TIFF-based camera raw files: the furthest end of every IFD,
// out-of-line value, strip, tile and JPEG thumbnail reachable from the IFD
// chain, the EXIF, GPS and interoperability IFDs and the sub-IFDs. Also
// names the file: judge.m_nNamedType gets the raw format when there is one.
unsigned long long WalkTiff(CFileTypeJudge& judge, const unsigned char* buf, int len);
// PSD and PSB: header, colour-mode data, image resources, layers and the
// raw or RLE-compressed image data.
unsigned long long WalkPsd(CFileTypeJudge& judge, const unsigned char* buf, int len);
// PDF saved for fast web view: the file length that its linearization
// dictionary states, when an end-of-file marker closes it there.
unsigned long long WalkLinearizedPdf(CFileTypeJudge& judge, const unsigned char* buf, int len);
// SQLite database: page size x the header's page count, when the header
// says that count is current.
unsigned long long WalkSqlite(CFileTypeJudge& judge, const unsigned char* buf, int len);
// FLV: the chain of tags, each closed by its own size.
unsigned long long WalkFlv(CFileTypeJudge& judge, const unsigned char* buf, int len);
// RealMedia: the chain of chunks from the .RMF header.
unsigned long long WalkRealMedia(CFileTypeJudge& judge, const unsigned char* buf, int len);
// MXF: the chain of key-length-value triplets.
unsigned long long WalkMxf(CFileTypeJudge& judge, const unsigned char* buf, int len);
// MPEG program stream: pack headers and packets by their lengths.
unsigned long long WalkMpegPs(CFileTypeJudge& judge, const unsigned char* buf, int len);

// The end of a ZIP archive whose end-of-central-directory record lies at
// window position p: the record's 22 bytes and its comment. False when the
// record does not describe a central directory that ends right before it
// (fileOffset is the record's offset in the file).
bool ZipEndOfArchive(const unsigned char* w, int bytes, int p, unsigned long long fileOffset,
                     unsigned long long& end);

// The kind of a TIFF-family file from its first bytes: FT_TIF, FT_CR2,
// FT_NEF, FT_ARW, FT_DNG, FT_ORF or FT_RW2; FT_NONE when the magic is not
// one of the family's. Tags that lie outside the buffer are not looked at.
int ClassifyTiff(const unsigned char* buf, int len);

// Length rules of the TIFF-family and PSD rows: the walk, else the forward
// walk of the picture rows.
unsigned long long GetTIFFFileBytesSize(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long GetPSDFileBytesSize(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long GetFLVFileBytesSize(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long GetMXFFileBytesSize(CFileTypeJudge& judge, const unsigned char* buf, int len);
unsigned long long GetMMFFileBytesSize(CFileTypeJudge& judge, const unsigned char* buf, int len);

// Signature tests of the camera raw rows.
int IsCr2Type(CFileTypeJudge&, const unsigned char*, int);
int IsNefType(CFileTypeJudge&, const unsigned char*, int);
int IsArwType(CFileTypeJudge&, const unsigned char*, int);
int IsDngType(CFileTypeJudge&, const unsigned char*, int);
int IsOrfType(CFileTypeJudge&, const unsigned char*, int);
int IsRw2Type(CFileTypeJudge&, const unsigned char*, int);

// Sample files for the recognition and carving tests that the general
// toolkit does not make: Office documents (ZIP-based ones built with zip
// from small XML parts, compound ones built here), MIDI, CAB, PE, Exif
// JPEGs, camera raw files, containers made by ffmpeg and ImageMagick.
// Other kinds come from testkit::Sample.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace carvekit {

// The bytes of a sample of that kind; empty when it cannot be made here.
// Kinds: every testkit::Sample kind, plus "docx", "xlsx", "pptx", "doc",
// "v4.doc", "xls", "ppt", "ole", "mid", "cab", "exe", "dll", "exif.jpg",
// "thumb.jpg", "font.ttf", "gz9", "psd", "plain.mp3",
// "tag.mp3", "ape.mp3", "mpf.jpg", "lin.pdf", "unstated.pdf", "comment.zip",
// the camera files
// "cr2.raw", "nef.raw", "arw.raw", "dng.raw", "orf.raw", "rw2.raw",
// "tif.raw", and the containers "3gp", "m4a", "heic", "avif", "cr3",
// "webp", "aiff", "ogg", "oggflac", "opus", "flac", "webm", "live.webm",
// "wmv", "wma", "rm", "mxf", "mmf", and "tar", "xz", "bz2", "otf", "mp2",
// "bare.mp3", "m2ts", "swf", "html", "svg", "rtf", "csv".
std::vector<unsigned char> SampleBytes(const std::string& kind);

// A compound (OLE2) file holding one stream of streamSectors sectors of
// 1 << sectorShift bytes (version 3 with 512, else version 4); kind "doc",
// "xls", "ppt" or "ole" decides its name and marks.
std::vector<unsigned char> MakeCompoundFile(const std::string& kind, int streamSectors, int sectorShift = 9);

// Writes the n low bytes of x at an offset, little- or big-endian, growing v.
void Put(std::vector<unsigned char>& v, size_t at, unsigned x, int n, bool be = false);

// Appends an ISO media box: its big-endian size, type and payload.
void Box(std::vector<unsigned char>& v, const char* type, const std::vector<unsigned char>& payload);

}  // namespace carvekit

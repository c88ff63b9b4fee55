// Data of NTFS files stored compressed: the attribute's clusters taken in
// compression units, each either stored as is, left as a hole, or held as
// an LZNT1 stream in fewer clusters than the unit spans.
#pragma once

#include <span>

#include "core/ExtentReader.h"

// How a file's unnamed data is kept, from its attribute flags.
enum class NtfsDataForm { Plain, Compressed, Encrypted };
NtfsDataForm NtfsDataFormOf(u16 nAttrFlags, bool bNonResident);

// Copies the first u64Wanted bytes of compressed data, given as its
// extents in order of the file's clusters (holes as sparse extents), in
// units of unitBytes, to fd (when >= 0) or into pBuf. 0; 30 when the
// extents end first or a read comes back short; EBADMSG for a unit whose
// compressed stream is damaged; errno of a failed write; the progress
// callback's stop value. u64Delivered counts the bytes handed out.
int CopyCompressedData(CExtentReader& reader, std::span<const DataExtent> extents, u64 unitBytes, u64 u64Wanted,
                       int fd, unsigned char* pBuf, u64& u64Delivered, const ExtentProgress& progress = {});

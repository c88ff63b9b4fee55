// The preview both NTFS engines give: a picture goes whole into the
// temporary preview file, anything else fills the caller's buffer.
#pragma once

#include <functional>

#include "core/ExtentReader.h"
#include "core/Records.h"

// Copies the first u64Wanted bytes of a file's data to fd, or (fd -1) into
// pBuf; u64Delivered counts what arrived. 0 or a failure code.
using NtfsDataCopy =
    std::function<int(u64 u64Wanted, int fd, unsigned char* pBuf, u64& u64Delivered, const ExtentProgress& progress)>;

// PreView of the engine interface with the engine's own data copy. nBufLen
// is in: the buffer's capacity, out: the bytes delivered (0 in file mode).
// The temporary file's path goes into szTempPath; a failed file-mode
// preview removes its file. 0, 87 without a node, or the copy's code.
int NtfsPreview(const _FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen,
                PreviewProgressFunc pFunc, void* pParam, const NtfsDataCopy& copy);

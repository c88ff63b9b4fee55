#include "ntfs/NtfsPreview.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cwchar>
#include <string>
#include <unistd.h>

#include "core/Categories.h"
#include "core/FileOutput.h"
#include "core/TextHelpers.h"

int NtfsPreview(const _FILE_NODE_* pNode, wchar_t* szTempPath, unsigned char* pBuf, int& nBufLen,
                PreviewProgressFunc pFunc, void* pParam, const NtfsDataCopy& copy) {
    if (!pNode) {
        nBufLen = 0;
        if (pFunc) pFunc(pParam, 100, FR_INVALID);
        return FR_INVALID;
    }
    const int capacity = pBuf ? std::max(nBufLen, 0) : 0;
    const std::string name(pNode->szFileName, strnlen(pNode->szFileName, sizeof pNode->szFileName));
    const std::string ext = LowerAscii(ExtensionOf(name, 16));
    bool bFileMode = false;
    std::string tmpPath;
    CUniqueFd fd;
    if (!ext.empty() && IsPictureFileName(name.c_str()) && szTempPath) {
        const int err = CreatePreviewTempFile(ext, fd, tmpPath);
        if (err != ENAMETOOLONG) {  // too long a path: the buffer instead
            bFileMode = true;
            const std::wstring w = Utf8ToWide(tmpPath);
            std::wcscpy(szTempPath, w.c_str());
            if (err != 0) {
                nBufLen = 0;
                return err;
            }
        }
    }
    const u64 wanted = bFileMode ? pNode->u64FileSize : std::min<u64>(pNode->u64FileSize, static_cast<u64>(capacity));
    u64 got = 0;
    int result = 0;
    if (wanted > 0)
        result = copy(wanted, bFileMode ? fd.get() : -1, bFileMode ? nullptr : pBuf, got,
                      [&](u64 done) { return pFunc ? pFunc(pParam, static_cast<int>(done * 100 / wanted), 0) : 0; });
    if (pFunc) pFunc(pParam, 100, result);
    if (bFileMode) {
        fd.reset();
        if (result != 0) unlink(tmpPath.c_str());
    }
    nBufLen = bFileMode ? 0 : static_cast<int>(std::min<u64>(got, static_cast<u64>(capacity)));
    return result;
}

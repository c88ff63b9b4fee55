#include "results/ScanResultFileManager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>
#include <new>
#include <unordered_set>

#include "core/Categories.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"
#include "results/ResultFileIo.h"

using namespace result_files;

CScanResultFileManager::CScanResultFileManager()
    : m_nBufFill(0), m_nBufCapacity(kBufferCapacity), m_nFileIndex(0), m_nBytesCreated(0),
      m_hNodeFile(-1), m_hRelationFile(-1), m_hDirInfoFile(-1), m_pSearchFunc(nullptr),
      m_pSearchParam(nullptr), m_nBaseIndex(0), m_nBufFirstIndex(1), m_nWriteError(0),
      m_bRelationDirty(false), m_bDirInfoDirty(false), m_bLastKeyValid(false) {
    const wchar_t* lists[] = {g_wszPictureExt, g_wszMusicExt, g_wszOfficeExt, g_wszVideoExt,
                              g_wszArchiveExt};
    std::wstring known;
    for (size_t i = 0; i < sizeof lists / sizeof lists[0]; ++i) {
        if (i) known += L"|";
        known += lists[i];
    }
    m_strKnownExt = WideToUtf8(known);
    m_strPictureExt = WideToUtf8(g_wszPictureExt);
}

CScanResultFileManager::~CScanResultFileManager() {
    if (m_hNodeFile >= 0) FlushBufToFile();
    CloseAll();
}

void CScanResultFileManager::CloseAll() {
    for (int* fd : {&m_hNodeFile, &m_hRelationFile, &m_hDirInfoFile}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

int CScanResultFileManager::Init(const wchar_t* logName) {
    return Init(logName, CLogFileManager::GetInstance().GetLogFileDirPath());
}

int CScanResultFileManager::Init(const wchar_t* logName, const std::string& strDirIn) {
    if (m_hNodeFile >= 0) FlushBufToFile();
    CloseAll();
    m_mapRelation.clear();
    m_vecDirInfo.clear();
    m_bLastKeyValid = false;
    m_nBufFill = 0;
    m_nFileIndex = 0;
    m_nBytesCreated = 0;
    m_nBaseIndex = 0;
    m_nBufFirstIndex = 1;
    m_nWriteError = 0;
    m_bRelationDirty = false;
    m_bDirInfoDirty = false;
    m_vecNodeBuf.clear();

    if (!logName || strDirIn.empty()) return FR_INVALID;
    std::string strName(Utf8Prefix(WideToUtf8(logName), kMaxLogNameBytes));
    if (strName.empty() || strName == "." || strName == ".." ||
        strName.find('/') != std::string::npos)
        return FR_INVALID;

    std::string strDir = strDirIn;
    if (strDir.back() != '/') strDir += '/';
    // The log directory is private to the user: search permission is needed
    // to create the result files in it.
    int r = MakeDirs(strDir, 0700);
    if (r) return r;

    m_strNodeFilePath = strDir + strName;
    m_strRelationFilePath = m_strNodeFilePath + kRelationSuffix;
    m_strDirInfoFilePath = m_strNodeFilePath + kDirInfoSuffix;

    m_hNodeFile = OpenResultFile(m_strNodeFilePath);
    if (m_hNodeFile < 0) return errno;
    m_hRelationFile = OpenResultFile(m_strRelationFilePath);
    if (m_hRelationFile < 0) {
        int e = errno;
        CloseAll();
        return e;
    }
    long long llSize = FileSize(m_hNodeFile);
    if (llSize < 0) {
        int e = errno;
        CloseAll();
        return e;
    }
    // New records always go after the whole records already there (a torn
    // record at the end is overwritten), so that record n stays at
    // (n - 1) x 344 across resumed scans.
    u64 nRecords = static_cast<u64>(llSize) / kNodeSize;
    if (nRecords > 0xFFFFFFF0ULL) nRecords = 0xFFFFFFF0ULL;
    m_nBaseIndex = static_cast<u32>(nRecords);
    m_nBufFirstIndex = m_nBaseIndex + 1;

    // Leftovers of a rewrite that never finished.
    unlink((m_strRelationFilePath + kTmpSuffix).c_str());
    unlink((m_strDirInfoFilePath + kTmpSuffix).c_str());

    LoadRelationFile();

    int nResult = 0;
    try {
        m_vecNodeBuf.assign(static_cast<size_t>(m_nBufCapacity), 0);
    } catch (const std::bad_alloc&) {
        nResult = 8;
    }

    m_hDirInfoFile = OpenResultFile(m_strDirInfoFilePath);
    if (m_hDirInfoFile >= 0) LoadDirInfoFile();
    return nResult;
}

int CScanResultFileManager::InitSearchCallBack(ScanResultSearchFunc pFunc, void* pParam) {
    m_pSearchFunc = pFunc;
    m_pSearchParam = pParam;
    return 0;
}

int CScanResultFileManager::WriteBlock() {
    if (m_nBufFill == 0) return 0;
    u32 nRecords = m_nBufFill / kNodeSize;
    int r = EBADF;
    if (m_hNodeFile >= 0) {
        off_t nOffset = static_cast<off_t>(m_nBufFirstIndex - 1) * static_cast<off_t>(kNodeSize);
        r = PWriteAll(m_hNodeFile, m_vecNodeBuf.data(), m_nBufFill, nOffset);
    }
    // The block's numbers stay taken either way, so later records keep
    // their places; a lost block is remembered and reported.
    if (r && !m_nWriteError) m_nWriteError = r;
    if (r) FrLog("write node file failed %d\n", r);
    m_nBufFirstIndex += nRecords;
    m_nBufFill = 0;
    return r;
}

_FILE_NODE_* CScanResultFileManager::CreateFileNode(int size) {
    if (size != static_cast<int>(kNodeSize) || m_vecNodeBuf.empty() || m_hNodeFile < 0)
        return nullptr;
    if (m_nBaseIndex + m_nFileIndex >= 0xFFFFFFFEU) return nullptr;
    if (m_nBufFill + static_cast<u32>(size) > static_cast<u32>(m_nBufCapacity)) WriteBlock();
    _FILE_NODE_* p = reinterpret_cast<_FILE_NODE_*>(m_vecNodeBuf.data() + m_nBufFill);
    m_nBufFill += static_cast<u32>(size);
    m_nBytesCreated += static_cast<u32>(size);
    ++m_nFileIndex;
    return p;
}

u32 CScanResultFileManager::GetFileIndex() const {
    return m_nFileIndex ? m_nBaseIndex + m_nFileIndex : 0;
}

u32 CScanResultFileManager::GetNodeCount() const { return m_nBaseIndex + m_nFileIndex; }

int CScanResultFileManager::FlushFileNodeToFile() {
    int r = WriteBlock();
    return r ? r : m_nWriteError;
}

int CScanResultFileManager::FlushBufToFile() {
    int r = WriteBlock();
    if (r) return r;
    int rRel = FlushRelationToFile();
    int rDir = FlushDirFileInfoVec();
    if (m_nWriteError) return m_nWriteError;
    return rRel ? rRel : rDir;
}

int CScanResultFileManager::ReadRecord(u32 nIndex, _FILE_NODE_* out, bool* pbAbsent) {
    *pbAbsent = false;
    if (nIndex == 0) {
        *pbAbsent = true;
        return 0;
    }
    const u32 nPending = m_nBufFill / kNodeSize;
    if (nIndex >= m_nBufFirstIndex && nIndex - m_nBufFirstIndex < nPending) {
        std::memcpy(out, m_vecNodeBuf.data() + (nIndex - m_nBufFirstIndex) * kNodeSize, kNodeSize);
    } else {
        if (m_hNodeFile < 0) return EBADF;
        off_t nOffset = static_cast<off_t>(nIndex - 1) * static_cast<off_t>(kNodeSize);
        ssize_t got = PReadFull(m_hNodeFile, out, kNodeSize, nOffset);
        if (got < 0) return errno ? errno : EIO;
        if (static_cast<size_t>(got) < kNodeSize) {
            *pbAbsent = true;
            return 0;
        }
    }
    out->szFileName[sizeof out->szFileName - 1] = 0;
    return 0;
}

int CScanResultFileManager::RewriteFileNode(u32 nIndex, const _FILE_NODE_& node) {
    if (nIndex == 0 || nIndex > GetNodeCount()) return FR_INVALID;
    const u32 nPending = m_nBufFill / kNodeSize;
    if (nIndex >= m_nBufFirstIndex && nIndex - m_nBufFirstIndex < nPending) {
        std::memcpy(m_vecNodeBuf.data() + (nIndex - m_nBufFirstIndex) * kNodeSize, &node, kNodeSize);
        return 0;
    }
    if (m_hNodeFile < 0) return EBADF;
    return PWriteAll(m_hNodeFile, &node, kNodeSize, static_cast<off_t>(nIndex - 1) * static_cast<off_t>(kNodeSize));
}

int CScanResultFileManager::ReadFileNode(u32 nIndex, _FILE_NODE_* out) {
    if (!out) return FR_INVALID;
    bool bAbsent = false;
    int r = ReadRecord(nIndex, out, &bAbsent);
    if (r) return r;
    return bAbsent ? FR_INVALID : 0;
}

std::wstring MakeResultLogName(const char* szPrefix, u64 u64StartSector512, const SYSTEMTIME& t) {
    char name[160];
    snprintf(name, sizeof name, "%s%lld_%d%d%d%d%2d", szPrefix ? szPrefix : "", static_cast<long long>(u64StartSector512),
             t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute);
    return Utf8ToWide(name);
}

int OpenNewResultLog(std::unique_ptr<CScanResultFileManager>& store, const wchar_t* logName,
                     ScanResultSearchFunc pSearchFunc, void* pSearchParam) {
    store = std::make_unique<CScanResultFileManager>();
    if (pSearchFunc) store->InitSearchCallBack(pSearchFunc, pSearchParam);
    int rc = store->Init(logName);
    if (rc != 0 || store->GetNodeCount() == 0) return rc;
    const std::string files[] = {store->GetNodeFilePath(), store->GetRelationFilePath(), store->GetDirInfoFilePath()};
    store.reset();
    for (const auto& f : files) unlink(f.c_str());
    store = std::make_unique<CScanResultFileManager>();
    if (pSearchFunc) store->InitSearchCallBack(pSearchFunc, pSearchParam);
    return store->Init(logName);
}

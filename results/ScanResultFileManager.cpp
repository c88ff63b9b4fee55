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

namespace {

constexpr const char* kRelationSuffix = "_Relation";
constexpr const char* kDirInfoSuffix = "_DirInfo";
constexpr const char* kTmpSuffix = ".tmp";
// Longest log name kept: the companions add "_Relation.tmp" and the whole
// must stay a valid file name.
constexpr size_t kMaxLogNameBytes = 240;

int PWriteAll(int fd, const void* pBuf, size_t nLen, off_t nOffset) {
    const unsigned char* p = static_cast<const unsigned char*>(pBuf);
    while (nLen > 0) {
        ssize_t w = pwrite(fd, p, nLen, nOffset);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno ? errno : EIO;
        }
        if (w == 0) return EIO;
        p += w;
        nLen -= static_cast<size_t>(w);
        nOffset += w;
    }
    return 0;
}

// Reads up to nLen bytes at nOffset; the count read, or -1 with errno.
ssize_t PReadFull(int fd, void* pBuf, size_t nLen, off_t nOffset) {
    unsigned char* p = static_cast<unsigned char*>(pBuf);
    size_t done = 0;
    while (done < nLen) {
        ssize_t r = pread(fd, p + done, nLen - done, nOffset + static_cast<off_t>(done));
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) break;
        done += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(done);
}

long long FileSize(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

int OpenResultFile(const std::string& strPath, int nExtraFlags = 0) {
    return open(strPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | nExtraFlags, 0644);
}

// Writes a companion file whole under "<path>.tmp" and renames it over the
// old one, so that a crash leaves either the old or the new file. On success
// fd is replaced by the new file's descriptor.
class CReplaceWriter {
public:
    explicit CReplaceWriter(const std::string& strPath)
        : m_strPath(strPath), m_strTmp(strPath + kTmpSuffix) {
        m_fd = OpenResultFile(m_strTmp, O_TRUNC);
        if (m_fd < 0) m_nError = errno ? errno : EIO;
        m_buf.reserve(kChunk);
    }
    ~CReplaceWriter() {
        if (m_fd >= 0) {
            close(m_fd);
            unlink(m_strTmp.c_str());
        }
    }
    void Append(const void* p, size_t n) {
        if (m_nError) return;
        const char* c = static_cast<const char*>(p);
        m_buf.insert(m_buf.end(), c, c + n);
        if (m_buf.size() >= kChunk) Drain();
    }
    // Finishes the file and installs it; 0 or errno.
    int Commit(int& fd) {
        Drain();
        if (m_nError) return m_nError;
        if (rename(m_strTmp.c_str(), m_strPath.c_str()) != 0) return errno ? errno : EIO;
        if (fd >= 0) close(fd);
        fd = m_fd;
        m_fd = -1;
        return 0;
    }

private:
    static constexpr size_t kChunk = 1 << 16;
    void Drain() {
        if (m_nError || m_buf.empty()) return;
        m_nError = PWriteAll(m_fd, m_buf.data(), m_buf.size(), m_nOffset);
        m_nOffset += static_cast<off_t>(m_buf.size());
        m_buf.clear();
    }
    std::string m_strPath, m_strTmp;
    int m_fd = -1;
    int m_nError = 0;
    off_t m_nOffset = 0;
    std::vector<char> m_buf;
};

// Incremental reader of the relation text " | <key> - [<i>,<i>,...]".
// Tolerant of damage: an entry ends at "]", at any character that cannot
// belong to its list, or at the end of the text; numbers that overflow are
// dropped; the caller's limits bound what is kept.
class CRelationParser {
public:
    CRelationParser(CScanResultFileManager::RelationMap& map, u64 nMaxIndex, u64 nMaxChildren,
                    u64 nMaxEntries)
        : m_map(map), m_nMaxIndex(nMaxIndex), m_nMaxChildren(nMaxChildren),
          m_nMaxEntries(nMaxEntries) {}

    void Feed(const char* p, size_t n) {
        for (size_t i = 0; i < n; ++i) Step(p[i]);
    }
    void Finish() {
        if (m_state == LIST) {
            PushNumber();
            Commit();
        }
        m_state = SEEK_SEP;
        m_nSep = 0;
    }

private:
    enum State { SEEK_SEP, KEY, SEEK_LIST, LIST };
    static constexpr int kMaxGap = 64;  // characters allowed between key and "- ["

    // Advances the " | " matcher; true when it completes.
    bool MatchSep(char c) {
        if (m_nSep == 0) {
            m_nSep = c == ' ' ? 1 : 0;
        } else if (m_nSep == 1) {
            m_nSep = c == '|' ? 2 : (c == ' ' ? 1 : 0);
        } else {
            if (c == ' ') {
                m_nSep = 0;
                return true;
            }
            m_nSep = 0;
        }
        return false;
    }
    bool MatchOpen(char c) {
        if (m_nOpen == 0) {
            m_nOpen = c == '-' ? 1 : 0;
        } else if (m_nOpen == 1) {
            m_nOpen = c == ' ' ? 2 : (c == '-' ? 1 : 0);
        } else {
            if (c == '[') {
                m_nOpen = 0;
                return true;
            }
            m_nOpen = c == '-' ? 1 : 0;
        }
        return false;
    }
    void StartKey() {
        m_state = KEY;
        m_bKeyNeg = false;
        m_bKeyBad = false;
        m_nKeyDigits = 0;
        m_u64Key = 0;
    }
    void PushNumber() {
        if (m_nNumDigits > 0 && !m_bNumBad && m_u64Num != 0 && m_u64Num <= m_nMaxIndex &&
            m_nKept < m_nMaxChildren) {
            m_cur.push_back(static_cast<u32>(m_u64Num));
            ++m_nKept;
        }
        m_nNumDigits = 0;
        m_u64Num = 0;
        m_bNumBad = false;
    }
    void Commit() {
        if (!m_bKeyBad) {
            auto it = m_map.find(m_u64Key);
            if (it != m_map.end()) {
                it->second.swap(m_cur);  // a later entry replaces an earlier one
            } else if (m_map.size() < m_nMaxEntries) {
                m_map.emplace(m_u64Key, std::move(m_cur));
            }
        }
        m_cur = std::vector<u32>();
    }
    void Step(char c) {
        switch (m_state) {
            case SEEK_SEP:
                if (MatchSep(c)) StartKey();
                return;
            case KEY:
                if (m_nKeyDigits == 0 && !m_bKeyNeg && c == ' ') return;
                if (m_nKeyDigits == 0 && !m_bKeyNeg && c == '-') {
                    m_bKeyNeg = true;
                    return;
                }
                if (c >= '0' && c <= '9') {
                    unsigned d = static_cast<unsigned>(c - '0');
                    if (m_u64Key > (~0ULL - d) / 10) m_bKeyBad = true;
                    else m_u64Key = m_u64Key * 10 + d;
                    ++m_nKeyDigits;
                    return;
                }
                m_nSep = 0;
                if (m_nKeyDigits == 0) {
                    m_state = SEEK_SEP;
                    Step(c);
                    return;
                }
                if (m_bKeyNeg) {
                    if (m_u64Key > (1ULL << 63)) m_bKeyBad = true;
                    else m_u64Key = 0 - m_u64Key;
                }
                m_state = SEEK_LIST;
                m_nOpen = 0;
                m_nGap = 0;
                Step(c);
                return;
            case SEEK_LIST:
                if (MatchSep(c)) {
                    StartKey();  // the entry had no list
                    return;
                }
                if (MatchOpen(c)) {
                    m_state = LIST;
                    m_cur.clear();
                    m_nNumDigits = 0;
                    m_u64Num = 0;
                    m_bNumBad = false;
                    return;
                }
                if (++m_nGap > kMaxGap) m_state = SEEK_SEP;
                return;
            case LIST:
                if (c >= '0' && c <= '9') {
                    if (m_u64Num > 0xFFFFFFFFULL) m_bNumBad = true;
                    else m_u64Num = m_u64Num * 10 + static_cast<unsigned>(c - '0');
                    ++m_nNumDigits;
                    return;
                }
                if (c == ',') {
                    PushNumber();
                    return;
                }
                PushNumber();
                Commit();
                m_state = SEEK_SEP;
                m_nSep = 0;
                if (c != ']') Step(c);  // a list cut short: look for the next entry here
                return;
        }
    }

    CScanResultFileManager::RelationMap& m_map;
    u64 m_nMaxIndex, m_nMaxChildren, m_nMaxEntries;
    u64 m_nKept = 0;
    State m_state = SEEK_SEP;
    int m_nSep = 0, m_nOpen = 0, m_nGap = 0;
    bool m_bKeyNeg = false, m_bKeyBad = false;
    int m_nKeyDigits = 0;
    u64 m_u64Key = 0;
    bool m_bNumBad = false;
    int m_nNumDigits = 0;
    u64 m_u64Num = 0;
    std::vector<u32> m_cur;
};

}  // namespace

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

void CScanResultFileManager::LoadRelationFile() {
    long long llSize = FileSize(m_hRelationFile);
    if (llSize <= 0) return;
    // A genuine file needs at most ~39 bytes per node (an index with its
    // comma plus one entry header per directory); read no further.
    const u64 nNodes = m_nBaseIndex;
    const u64 nMaxBytes = nNodes * 40 + 4096;
    u64 nToRead = std::min<u64>(static_cast<u64>(llSize), nMaxBytes);
    CRelationParser parser(m_mapRelation, nNodes, nNodes * 2 + 64, nNodes + 1);
    std::vector<char> chunk(1 << 16);
    u64 nDone = 0;
    while (nDone < nToRead) {
        size_t want = static_cast<size_t>(std::min<u64>(chunk.size(), nToRead - nDone));
        ssize_t got = PReadFull(m_hRelationFile, chunk.data(), want, static_cast<off_t>(nDone));
        if (got <= 0) break;
        parser.Feed(chunk.data(), static_cast<size_t>(got));
        nDone += static_cast<u64>(got);
        if (static_cast<size_t>(got) < want) break;
    }
    parser.Finish();
}

void CScanResultFileManager::LoadDirInfoFile() {
    long long llSize = FileSize(m_hDirInfoFile);
    if (llSize <= 0) return;
    const size_t kRec = sizeof(_DIR_FILE_INFO_);
    std::vector<unsigned char> chunk(kRec * 256);
    off_t nOffset = 0;
    for (;;) {
        ssize_t got = PReadFull(m_hDirInfoFile, chunk.data(), chunk.size(), nOffset);
        if (got <= 0) break;
        size_t nWhole = static_cast<size_t>(got) / kRec;
        for (size_t i = 0; i < nWhole; ++i) {
            _DIR_FILE_INFO_ info;
            std::memcpy(&info, chunk.data() + i * kRec, kRec);
            info.szFileName[sizeof info.szFileName - 1] = 0;
            // Every directory is a stored node: anything else is damage.
            if (info.nFileIndex == 0 || info.nFileIndex > m_nBaseIndex) continue;
            if (m_vecDirInfo.size() >= m_nBaseIndex) return;
            m_vecDirInfo.push_back(info);
        }
        if (static_cast<size_t>(got) < chunk.size()) break;
        nOffset += got;
    }
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

void CScanResultFileManager::AddChildren(unsigned idLow, unsigned depthHigh, unsigned childIndex,
                                         unsigned childId, const char* dirName) {
    const u64 key = (static_cast<u64>(depthHigh) << 32) | idLow;
    if (!m_bLastKeyValid || m_itLastKey->first != key) {
        m_itLastKey = m_mapRelation.try_emplace(key).first;
        m_bLastKeyValid = true;
    }
    m_itLastKey->second.push_back(childIndex);
    m_bRelationDirty = true;
    if (dirName) {
        _DIR_FILE_INFO_ info;
        info.uClusterNO = childId;
        info.nFileIndex = childIndex;
        CopyNodeName(info.szFileName, sizeof info.szFileName, dirName);
        m_vecDirInfo.push_back(info);
        m_bDirInfoDirty = true;
    }
}

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

int CScanResultFileManager::FlushRelationToFile() {
    if (m_strRelationFilePath.empty()) return EBADF;
    if (!m_bRelationDirty && m_hRelationFile >= 0) return 0;
    CReplaceWriter writer(m_strRelationFilePath);
    char num[32];
    for (const auto& [key, children] : m_mapRelation) {
        writer.Append(" | ", 3);
        auto res = std::to_chars(num, num + sizeof num, static_cast<long long>(key));
        writer.Append(num, static_cast<size_t>(res.ptr - num));
        writer.Append(" - [", 4);
        for (size_t i = 0; i < children.size(); ++i) {
            char* p = num;
            if (i) *p++ = ',';
            p = std::to_chars(p, num + sizeof num, children[i]).ptr;
            writer.Append(num, static_cast<size_t>(p - num));
        }
        writer.Append("]", 1);
    }
    int r = writer.Commit(m_hRelationFile);
    if (r == 0) m_bRelationDirty = false;
    return r;
}

int CScanResultFileManager::FlushDirFileInfoVec() {
    if (m_strDirInfoFilePath.empty()) return EBADF;
    if (!m_bDirInfoDirty && m_hDirInfoFile >= 0) return 0;
    CReplaceWriter writer(m_strDirInfoFilePath);
    if (!m_vecDirInfo.empty())
        writer.Append(m_vecDirInfo.data(), m_vecDirInfo.size() * sizeof(_DIR_FILE_INFO_));
    int r = writer.Commit(m_hDirInfoFile);
    if (r == 0) m_bDirInfoDirty = false;
    return r;
}

int CScanResultFileManager::GetDirRelationMap(const char* text, int length, RelationMap& map) {
    if (!text || length <= 0) return 0;
    CRelationParser parser(map, 0xFFFFFFFFULL, ~0ULL, ~0ULL);
    parser.Feed(text, static_cast<size_t>(length));
    parser.Finish();
    if (&map == &m_mapRelation) m_bLastKeyValid = false;
    return 0;
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

int CScanResultFileManager::ReadFileNode(u32 nIndex, _FILE_NODE_* out) {
    if (!out) return FR_INVALID;
    bool bAbsent = false;
    int r = ReadRecord(nIndex, out, &bAbsent);
    if (r) return r;
    return bAbsent ? FR_INVALID : 0;
}

bool CScanResultFileManager::IsFilteredPicture(const _FILE_NODE_& node) const {
    if (node.bIsDir || node.bIsHealth) return false;
    std::string ext = LowerAscii(ExtensionOf(node.szFileName));
    if (ext.empty()) return false;
    return m_strPictureExt.find(ext) != std::string::npos;
}

int CScanResultFileManager::GetChildrenFileNode(u64 key, std::vector<_FILE_NODE_>& out) {
    FlushBufToFile();  // a query leaves the files complete
    if (m_mapRelation.empty()) return m_nWriteError;
    auto it = key == 0 ? m_mapRelation.begin() : m_mapRelation.find(key);
    if (it == m_mapRelation.end()) return m_nWriteError;
    int nResult = 0;
    const size_t nFirst = out.size();
    for (u32 nIndex : it->second) {
        _FILE_NODE_ node;
        bool bAbsent = false;
        nResult = ReadRecord(nIndex, &node, &bAbsent);
        if (nResult) break;
        if (bAbsent || IsFilteredPicture(node)) continue;
        out.push_back(node);
    }
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(nFirst), out.end(),
              [](const _FILE_NODE_& a, const _FILE_NODE_& b) { return VectorCmp(a, b); });
    return nResult ? nResult : m_nWriteError;
}

int CScanResultFileManager::GetChildrenFileCount(u64 key, unsigned& count) {
    FlushBufToFile();  // a query leaves the files complete
    count = 0;
    if (m_mapRelation.empty()) return m_nWriteError;
    if (key == 0) key = m_mapRelation.begin()->first;
    int nResult = 0;
    std::deque<u64> queue{key};
    // Each directory key is walked once, whatever the map says about it.
    std::unordered_set<u64> visited;
    while (!queue.empty()) {
        u64 k = queue.front();
        queue.pop_front();
        if (!visited.insert(k).second) continue;
        auto it = m_mapRelation.find(k);
        if (it == m_mapRelation.end()) continue;
        const u64 nChildDepth = ((k >> 32) + 1) & 0xFFFFFFFFULL;
        for (u32 nIndex : it->second) {
            _FILE_NODE_ node;
            bool bAbsent = false;
            int r = ReadRecord(nIndex, &node, &bAbsent);
            if (r) {
                nResult = r;
                break;
            }
            if (bAbsent) continue;
            if (node.bIsDir) {
                u64 child = (nChildDepth << 32) | node.uClusterNO;
                if (!visited.count(child)) queue.push_back(child);
            } else {
                ++count;
            }
        }
    }
    return nResult ? nResult : m_nWriteError;
}

template <typename Fn>
int CScanResultFileManager::ForEachRecordChunk(Fn&& pfn) {
    if (m_hNodeFile < 0) return EBADF;
    long long llSize = FileSize(m_hNodeFile);
    if (llSize < 0) return errno ? errno : EIO;
    // Records in the file that lie before the pending buffer.
    u64 nFileRecords = static_cast<u64>(llSize) / kNodeSize;
    nFileRecords = std::min<u64>(nFileRecords, m_nBufFirstIndex - 1);
    const u64 nTotalBytes = (nFileRecords + m_nBufFill / kNodeSize) * kNodeSize;
    std::vector<unsigned char> chunk(static_cast<size_t>(m_nBufCapacity));
    u64 nDone = 0;
    while (nDone < nFileRecords) {
        size_t nWant = static_cast<size_t>(
            std::min<u64>(nFileRecords - nDone, static_cast<u64>(m_nBufCapacity) / kNodeSize));
        ssize_t got = PReadFull(m_hNodeFile, chunk.data(), nWant * kNodeSize,
                                static_cast<off_t>(nDone * kNodeSize));
        if (got < 0) return errno ? errno : EIO;
        size_t nGot = static_cast<size_t>(got) / kNodeSize;
        if (nGot == 0) break;
        nDone += nGot;
        if (!pfn(chunk.data(), nGot, nDone * kNodeSize, nTotalBytes)) return 0;
        if (nGot < nWant) break;
    }
    const u32 nPending = m_nBufFill / kNodeSize;
    if (nPending) pfn(m_vecNodeBuf.data(), nPending, nTotalBytes, nTotalBytes);
    return 0;
}

int CScanResultFileManager::GetFileNodeByClusterNO(unsigned id, _FILE_NODE_* out) {
    if (!out) return FR_INVALID;
    bool bFound = false;
    int r = ForEachRecordChunk([&](const unsigned char* p, size_t n, u64, u64) {
        for (size_t i = 0; i < n; ++i) {
            const unsigned char* rec = p + i * kNodeSize;
            u32 uCluster, bIsDir;
            std::memcpy(&uCluster, rec + offsetof(_FILE_NODE_, uClusterNO), 4);
            if (uCluster != id) continue;
            std::memcpy(out, rec, kNodeSize);
            out->szFileName[sizeof out->szFileName - 1] = 0;
            std::memcpy(&bIsDir, rec + offsetof(_FILE_NODE_, bIsDir), 4);
            if (bIsDir) {
                bFound = true;
                return false;
            }
        }
        return true;
    });
    if (r) return r;
    return bFound ? 0 : FR_INVALID;
}

int CScanResultFileManager::GetParentFileNode(const _FILE_NODE_* node,
                                              std::vector<_FILE_NODE_>& out) {
    if (!node) return FR_INVALID;
    std::unordered_set<u32> visited{node->nFileIndex};
    u32 nCur = node->nFileIndex;
    for (;;) {
        // The first directory (in key order) that lists the current node.
        auto owner = m_mapRelation.end();
        for (auto it = m_mapRelation.begin(); it != m_mapRelation.end(); ++it) {
            if (std::find(it->second.begin(), it->second.end(), nCur) != it->second.end()) {
                owner = it;
                break;
            }
        }
        if (owner == m_mapRelation.end() || owner == m_mapRelation.begin()) return 0;
        const u32 uId = static_cast<u32>(owner->first & 0xFFFFFFFFULL);

        _FILE_NODE_ parent;
        std::memset(&parent, 0, sizeof parent);
        auto dir = std::find_if(m_vecDirInfo.begin(), m_vecDirInfo.end(),
                                [uId](const _DIR_FILE_INFO_& d) { return d.uClusterNO == uId; });
        if (dir != m_vecDirInfo.end()) {
            parent.bIsDir = 1;
            parent.bIsHealth = 1;
            parent.uClusterNO = dir->uClusterNO;
            parent.nFileIndex = dir->nFileIndex;
            CopyNodeName(parent.szFileName, sizeof parent.szFileName, dir->szFileName);
        } else {
            int r = GetFileNodeByClusterNO(uId, &parent);
            if (r) return r;
        }
        // Any ancestor seen before closes a cycle: the walk ends there.
        if (!visited.insert(parent.nFileIndex).second) return 0;
        out.push_back(parent);
        nCur = parent.nFileIndex;
    }
}

int CScanResultFileManager::GetParentDirPath(const _FILE_NODE_* node, wchar_t* out,
                                             int outLength) {
    if (!out || outLength <= 0) return FR_INVALID;
    out[0] = 0;
    FlushBufToFile();
    std::vector<_FILE_NODE_> parents;
    GetParentFileNode(node, parents);
    std::string strPath;
    for (auto it = parents.rbegin(); it != parents.rend(); ++it) {
        strPath += it->szFileName;
        strPath += '/';
    }
    return Ansi2Unicode(strPath.c_str(), out, outLength);
}

int CScanResultFileManager::SearchFileNodeInfo(const wchar_t* key,
                                               std::vector<__SEARCH_FILE_INFO__>& out) {
    char szKey[4096];
    Unicode2Ansi(key ? key : L"", szKey, sizeof szKey);
    FlushBufToFile();
    bool bOther = strstr(szKey, ".other") != nullptr;
    if (m_hNodeFile < 0) return 0;
    long long llSize = FileSize(m_hNodeFile);
    if (llSize < 0) llSize = 0;
    if (llSize > kOtherSearchLimit) bOther = false;

    const size_t nFirst = out.size();
    std::string strDotted;
    ForEachRecordChunk([&](const unsigned char* p, size_t n, u64 nDone, u64 nTotal) {
        for (size_t i = 0; i < n; ++i) {
            _FILE_NODE_ node;
            std::memcpy(&node, p + i * kNodeSize, kNodeSize);
            node.szFileName[sizeof node.szFileName - 1] = 0;
            if (node.bIsDir || IsFilteredPicture(node)) continue;
            std::string ext = LowerAscii(ExtensionOf(node.szFileName));
            bool bMatch;
            if (ext.empty()) {
                bMatch = bOther;
            } else {
                strDotted.assign(1, '.');
                strDotted += ext;
                bMatch = strstr(szKey, strDotted.c_str()) != nullptr ||
                         (bOther && m_strKnownExt.find(strDotted) == std::string::npos);
            }
            if (bMatch) out.push_back(ToSearchInfo(node));
        }
        if (m_pSearchFunc && nTotal > 0) {
            int nPercent = static_cast<int>(nDone * 100 / nTotal);
            if (m_pSearchFunc(m_pSearchParam, nPercent, nullptr) != 0) return false;
        }
        return true;
    });
    std::sort(out.begin() + static_cast<std::ptrdiff_t>(nFirst), out.end(),
              [](const __SEARCH_FILE_INFO__& a, const __SEARCH_FILE_INFO__& b) {
                  return VectorCmp(a, b);
              });
    return 1;
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

// The result store's relation index: the directory map and the directory
// list, loaded from and written to their companion files.
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
#include "results/RelationText.h"

using namespace result_files;

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

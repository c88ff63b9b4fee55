// The on-disk store of what a recovery engine finds.
//
// Every found file or directory is one 344-byte _FILE_NODE_ appended to a
// node file (record n at byte (n - 1) x 344); the directory structure lives
// in memory as a map from directory key to child node numbers and a list of
// directory names, mirrored into two companion files:
//   <log>            _FILE_NODE_ records, back to back
//   <log>_Relation   the map as text: " | <key> - [<i>,<i>,...]" per entry
//   <log>_DirInfo    _DIR_FILE_INFO_ records (264 bytes), back to back
// All three live in the log directory that CLogFileManager hands out.
//
// Directory key: (depth below the scanned root) x 2^32 + the directory's
// uClusterNO (first cluster on FAT, record number on NTFS). Engines without
// a directory structure file every node under key 0.
//
// Calling order: construct, Init(logName), InitSearchCallBack; for each find
// CreateFileNode(344), fill every field (nFileIndex = GetFileIndex() read
// right after the call), then AddChildren(...); every query writes what
// is pending first; delete. A store is used by one thread at a time (any thread) and
// holds no process-wide state besides the log manager's directory.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Records.h"

#pragma pack(push, 1)
// One found directory: its identifier, its node number and its name.
struct _DIR_FILE_INFO_ {
    u32 uClusterNO;        // 0
    u32 nFileIndex;        // 4
    char szFileName[256];  // 8, NUL-terminated
};
#pragma pack(pop)
static_assert(sizeof(_DIR_FILE_INFO_) == 264);

typedef int (*ScanResultSearchFunc)(void* pParam, int nProgress, wchar_t* pFileName);

class CScanResultFileManager {
public:
    static constexpr int kNodeSize = 344;
    static constexpr int kBufferCapacity = 68800;  // 200 records
    static constexpr long long kOtherSearchLimit = 0x7FFFFFF;

    typedef std::map<u64, std::vector<u32>> RelationMap;

    CScanResultFileManager();
    ~CScanResultFileManager();
    CScanResultFileManager(const CScanResultFileManager&) = delete;
    CScanResultFileManager& operator=(const CScanResultFileManager&) = delete;

    // Opens or creates the three files of the log logName in the current
    // log directory and loads the map and the directory list. 0, an errno
    // value, 8 when the write buffer cannot be allocated, 87 for an empty
    // name or one that is not a single path component.
    int Init(const wchar_t* logName);
    // The same in an explicit directory (ending in '/' or not).
    int Init(const wchar_t* logName, const std::string& strDir);

    int InitSearchCallBack(ScanResultSearchFunc pFunc, void* pParam);

    // Reserves one record in the write buffer; size must be 344. Returns
    // null for any other size or before Init. Its number is GetFileIndex()
    // read right after the call. A failed block write is kept and reported
    // by the next flush or query.
    _FILE_NODE_* CreateFileNode(int size);

    // Number of the newest node created by this store; 0 while none was
    // created (also after reopening an earlier log).
    u32 GetFileIndex() const;
    // Records in the log: those found in the node file by Init plus those
    // created since. A reopened log numbers new nodes from this + 1.
    u32 GetNodeCount() const;

    // Files child childIndex under the directory key depthHigh x 2^32 +
    // idLow; with dirName, also records a directory {childId, childIndex,
    // dirName}.
    void AddChildren(unsigned idLow, unsigned depthHigh, unsigned childIndex, unsigned childId,
                     const char* dirName);

    // Writes pending nodes; 0 or errno (also the errno of an earlier failed
    // block write, which stays reported: those nodes are lost).
    int FlushFileNodeToFile();
    // Pending nodes, then the relation file, then the directory-info file
    // (each rewritten only when it changed). 0 or the first errno.
    int FlushBufToFile();
    int FlushRelationToFile();
    int FlushDirFileInfoVec();

    // Parses relation text (not NUL-terminated, length bytes) into map.
    // Damaged text loads what can be parsed. Returns 0.
    int GetDirRelationMap(const char* text, int length, RelationMap& map);

    // Children of one directory (key 0: the map's first entry), without
    // unhealthy pictures, in node order. 0 or errno.
    int GetChildrenFileNode(u64 key, std::vector<_FILE_NODE_>& out);
    // Files in the whole subtree of key (no picture filter). 0 or errno.
    int GetChildrenFileCount(u64 key, unsigned& count);
    // The first directory node with that identifier: 0, 87 if none, errno.
    int GetFileNodeByClusterNO(unsigned id, _FILE_NODE_* out);
    // Ancestors of a node, nearest first: 0, 87 or errno.
    int GetParentFileNode(const _FILE_NODE_* node, std::vector<_FILE_NODE_>& out);
    // The node's directory path, outermost first, each name followed by
    // "/"; empty at the root. At most outLength wide characters with the
    // terminator. Returns 0.
    int GetParentDirPath(const _FILE_NODE_* node, wchar_t* out, int outLength);
    // Every file whose extension matches key ("*.jpg|*.png|" or holding
    // "*.other"), in node order. 1 after a search, 0 when there is no node
    // file.
    int SearchFileNodeInfo(const wchar_t* key, std::vector<__SEARCH_FILE_INFO__>& out);

    // Reads record number nIndex (1-based); 0, 87 when absent, or errno.
    int ReadFileNode(u32 nIndex, _FILE_NODE_* out);
    // Replaces record number nIndex (1-based, already created), pending or
    // written: 0, 87 when absent, or errno.
    int RewriteFileNode(u32 nIndex, const _FILE_NODE_& node);

    // The kept errno of a failed node write (0 when none).
    int GetWriteError() const { return m_nWriteError; }
    const RelationMap& GetRelationMap() const { return m_mapRelation; }
    const std::vector<_DIR_FILE_INFO_>& GetDirFileInfo() const { return m_vecDirInfo; }
    const std::string& GetNodeFilePath() const { return m_strNodeFilePath; }
    const std::string& GetRelationFilePath() const { return m_strRelationFilePath; }
    const std::string& GetDirInfoFilePath() const { return m_strDirInfoFilePath; }

private:
    void CloseAll();
    int WriteBlock();
    int ReadRecord(u32 nIndex, _FILE_NODE_* out, bool* pbAbsent);
    bool IsFilteredPicture(const _FILE_NODE_& node) const;
    void LoadRelationFile();
    void LoadDirInfoFile();
    // Visits every stored record (node file, then pending buffer) in
    // chunks; pfn returns false to stop. Returns 0 or errno.
    template <typename Fn>
    int ForEachRecordChunk(Fn&& pfn);

    u32 m_nBufFill;
    int m_nBufCapacity;
    u32 m_nFileIndex;         // nodes created since construction
    u32 m_nBytesCreated;
    std::vector<unsigned char> m_vecNodeBuf;
    int m_hNodeFile;
    int m_hRelationFile;
    int m_hDirInfoFile;
    ScanResultSearchFunc m_pSearchFunc;
    void* m_pSearchParam;
    std::string m_strNodeFilePath;
    std::string m_strRelationFilePath;
    std::string m_strDirInfoFilePath;
    RelationMap m_mapRelation;
    std::vector<_DIR_FILE_INFO_> m_vecDirInfo;
    std::string m_strKnownExt;
    std::string m_strPictureExt;

    u32 m_nBaseIndex;         // records already in the node file at Init
    u32 m_nBufFirstIndex;     // number of the first record in the buffer
    int m_nWriteError;        // kept errno of a lost block
    bool m_bRelationDirty;
    bool m_bDirInfoDirty;
    RelationMap::iterator m_itLastKey;  // AddChildren's last directory
    bool m_bLastKeyValid;
};

// The one naming rule for an engine's new result log: the prefix ("Fast_",
// "Pro_Fat_", "Pro_Ntfs_", "File_Type_"), the volume's start sector in
// 512-byte sectors and the given time, "<prefix>%lld_%d%d%d%d%2d".
std::wstring MakeResultLogName(const char* szPrefix, u64 u64StartSector512, const SYSTEMTIME& t);

// Creates store and opens a new log logName in the current log directory.
// A log of that name that already holds nodes (an earlier scan of the same
// volume within the same minute) is removed and started afresh, so a rescan
// never appends its finds to the earlier ones. 0 or the result of Init.
int OpenNewResultLog(std::unique_ptr<CScanResultFileManager>& store, const wchar_t* logName,
                     ScanResultSearchFunc pSearchFunc, void* pSearchParam);


#include "results/LogFileManager.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "core/Platform.h"

// Interim body until the full implementation lands.
static std::unique_ptr<CLogFileManager> g_pLogManager;
static std::mutex g_logManagerMutex;

CLogFileManager& CLogFileManager::GetInstance() {
    std::lock_guard<std::mutex> lock(g_logManagerMutex);
    if (!g_pLogManager) g_pLogManager = std::make_unique<CLogFileManager>(GetScanLogDir());
    return *g_pLogManager;
}
void CLogFileManager::ResetInstance() {
    std::lock_guard<std::mutex> lock(g_logManagerMutex);
    g_pLogManager.reset();
}
CLogFileManager::CLogFileManager(const std::string& strBaseDir)
    : m_strBaseDir(strBaseDir), m_u64DirIndex(0), m_bReuse(0) {
    if (m_strBaseDir.empty() || m_strBaseDir.back() != '/') m_strBaseDir += '/';
}
int CLogFileManager::Init() { return 87; }
void CLogFileManager::GetLogFileDirPath(char* out, size_t n) {
    std::string s = GetLogFileDirPath();
    if (out && n) snprintf(out, n, "%s", s.c_str());
}
std::string CLogFileManager::GetLogFileDirPath() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_bReuse) return m_strReusedDir;
    return DirPathOf(m_u64DirIndex);
}
void CLogFileManager::AddDirIndex() { ++m_u64DirIndex; }
void CLogFileManager::ReduceDirIndex() { --m_u64DirIndex; }
int CLogFileManager::GetLogFileNameByFileType(const char*, const char*, char* out, size_t n) {
    if (out && n) out[0] = 0;
    return 0;
}
int CLogFileManager::LoadRecoveryLogInfo(const char*, int, u64, u64, _LOG_FILE_INFO_*) { return 0; }
int CLogFileManager::SaveLogFileInfo(const char*, int, u64, u64, u64, u64, u64, u64, u64, const char*,
                                     const char*) {
    return 0;
}
int CLogFileManager::DeleteLogFileDir(const char*) { return 0; }
int CLogFileManager::SaveLogConfigFile() { return 0; }
std::vector<_LOG_FILE_INFO_> CLogFileManager::GetRecords() const { return m_vecRecords; }
int CLogFileManager::InitLocked() { return 0; }
int CLogFileManager::SaveLocked() { return 0; }
int CLogFileManager::DeleteLocked(const char*) { return 0; }
int CLogFileManager::FindRecord(int, u64, u64) const { return -1; }
std::string CLogFileManager::DirPathOf(u64 n) const { return m_strBaseDir + std::to_string(n) + "/"; }

// File helpers of the result store: its companion file names, whole reads
// and writes at an offset, and the write-then-rename of a companion file.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <vector>

#include "core/DiskReader.h"

namespace result_files {

inline constexpr const char* kRelationSuffix = "_Relation";
inline constexpr const char* kDirInfoSuffix = "_DirInfo";
inline constexpr const char* kTmpSuffix = ".tmp";
// Longest log name kept: the companions add "_Relation.tmp" and the whole
// must stay a valid file name.
inline constexpr size_t kMaxLogNameBytes = 240;

// Writes the whole buffer at nOffset; 0 or errno (EIO when the system
// names none, or a write takes nothing).
inline int PWriteAll(int fd, const void* pBuf, size_t nLen, off_t nOffset) {
    return WriteFully(fd, pBuf, nLen, static_cast<long long>(nOffset), EIO, EIO);
}

// Reads up to nLen bytes at nOffset; the count read, or -1 with errno.
inline ssize_t PReadFull(int fd, void* pBuf, size_t nLen, off_t nOffset) {
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

inline long long FileSize(int fd) {
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return -1;
    return static_cast<long long>(st.st_size);
}

inline int OpenResultFile(const std::string& strPath, int nExtraFlags = 0) {
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

}  // namespace result_files

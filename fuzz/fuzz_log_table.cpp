// Feeds arbitrary bytes to the scan-log table reader as its "config" file,
// then asks for the earlier scan of every volume it names.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "results/LogFileManager.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string base = [] {
        char tmpl[] = "/tmp/fuzz-logtable-XXXXXX";
        return std::string(mkdtemp(tmpl) ? tmpl : "/tmp") + "/";
    }();
    int fd = open((base + "config").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    close(fd);
    CLogFileManager logs(base);
    volatile size_t sink = logs.GetRecords().size() + logs.GetDirIndex();
    for (const auto& r : logs.GetRecords()) {
        _LOG_FILE_INFO_ out;
        sink = sink + logs.LoadRecoveryLogInfo("", r.nDiskNumber, r.u64StartSector, r.u64SectorCount, &out);
        sink = sink + logs.GetLogFileDirPath().size();
    }
    (void)sink;
    return 0;
}

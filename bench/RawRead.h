// The read rate that a bench states beside its own: one pass of read() over
// a file in 1 MiB blocks into one reused buffer, as `dd bs=1M` reads it.
#pragma once
#include <chrono>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

inline double RawReadSeconds(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) return -1;
    std::vector<char> buf(1 << 20);
    const auto t = std::chrono::steady_clock::now();
    while (read(fd, buf.data(), buf.size()) > 0) {
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    close(fd);
    return s;
}

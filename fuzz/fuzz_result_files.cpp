// Damaged result-store companion files: the relation text and the
// directory-info records are loaded, listed, counted and walked upwards.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "results/ScanResultFileManager.h"

namespace {

const std::string& WorkDir() {
    static std::string dir = [] {
        char tmpl[] = "/tmp/fr-fuzz-results-XXXXXX";
        const char* d = mkdtemp(tmpl);
        return std::string(d ? d : "/tmp");
    }();
    return dir;
}

void Put(const std::string& path, const uint8_t* p, size_t n) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w <= 0) break;
        p += w;
        n -= static_cast<size_t>(w);
    }
    close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string dir = WorkDir() + "/";
    // A node file of 16 records: even numbers are directories.
    std::vector<_FILE_NODE_> nodes(16);
    for (u32 i = 0; i < nodes.size(); ++i) {
        std::memset(&nodes[i], 0, sizeof nodes[i]);
        nodes[i].nFileIndex = i + 1;
        nodes[i].bIsDir = i % 2 == 0;
        nodes[i].bIsHealth = i % 3 != 0;
        nodes[i].uClusterNO = i % 5;
        snprintf(nodes[i].szFileName, sizeof nodes[i].szFileName, "n%u.jpg", i);
    }
    Put(dir + "F", reinterpret_cast<const uint8_t*>(nodes.data()), nodes.size() * sizeof(_FILE_NODE_));
    size_t cut = size ? data[0] % (size + 1) : 0;
    if (cut > size) cut = size;
    Put(dir + "F_Relation", data, cut);
    Put(dir + "F_DirInfo", data + cut, size - cut);

    CScanResultFileManager s;
    if (s.Init(L"F", dir) != 0) return 0;
    CScanResultFileManager::RelationMap m;
    s.GetDirRelationMap(reinterpret_cast<const char*>(data), static_cast<int>(size), m);
    std::vector<_FILE_NODE_> v;
    s.GetChildrenFileNode(0, v);
    for (const auto& kv : s.GetRelationMap()) {
        unsigned n = 0;
        s.GetChildrenFileCount(kv.first, n);
        s.GetChildrenFileNode(kv.first, v);
    }
    wchar_t path[512];
    for (const _FILE_NODE_& n : nodes) s.GetParentDirPath(&n, path, 512);
    std::vector<__SEARCH_FILE_INFO__> hits;
    s.SearchFileNodeInfo(L"*.other|*.jpg|", hits);
    return 0;
}

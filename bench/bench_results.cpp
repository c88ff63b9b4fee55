// Timed driver for the result store: appends nodes spread over directories
// the way a fast scan does, flushes, lists one directory and searches by
// extension. Prints nodes/s, peak RSS and the node file's size.
//
//   bench_results [nodes] [directories]    (default 1000000 10000)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "results/ScanResultFileManager.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

long PeakRssKiB() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

long CurrentRssKiB() {
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long pages = 0, resident = 0;
    if (fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = -1;
    fclose(f);
    return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned nNodes = argc > 1 ? static_cast<unsigned>(strtoul(argv[1], nullptr, 10)) : 1000000;
    const unsigned nDirs = argc > 2 ? static_cast<unsigned>(strtoul(argv[2], nullptr, 10)) : 10000;
    if (nDirs == 0 || nNodes < nDirs) {
        fprintf(stderr, "need nodes >= directories > 0\n");
        return 2;
    }
    const char* env = getenv("TMPDIR");
    std::string strTmpl = std::string(env && env[0] ? env : "/tmp") + "/fr-bench-results-XXXXXX";
    std::vector<char> dirBuf(strTmpl.begin(), strTmpl.end());
    dirBuf.push_back(0);
    if (!mkdtemp(dirBuf.data())) {
        perror("mkdtemp");
        return 1;
    }
    const std::string strDir = dirBuf.data();
    const char* exts[] = {"jpg", "png", "mp3", "doc", "zip", "xyz", "mov", "txt"};

    const long rssStart = CurrentRssKiB();
    auto t0 = std::chrono::steady_clock::now();
    CScanResultFileManager* pStore = new CScanResultFileManager;
    CScanResultFileManager& s = *pStore;
    if (s.Init(L"Fast_2048_bench", strDir) != 0) {
        fprintf(stderr, "init failed\n");
        return 1;
    }
    // Directories first (children of the root, cluster 2), then the files
    // spread evenly over them.
    for (unsigned d = 0; d < nDirs; ++d) {
        _FILE_NODE_* p = s.CreateFileNode(344);
        memset(p, 0, sizeof *p);
        p->bIsDir = 1;
        p->bIsHealth = 1;
        p->nFileIndex = s.GetFileIndex();
        p->uClusterNO = 100 + d;
        snprintf(p->szFileName, sizeof p->szFileName, "DIR%05u", d);
        s.AddChildren(2, 0, p->nFileIndex, p->uClusterNO, p->szFileName);
    }
    const unsigned nFiles = nNodes - nDirs;
    for (unsigned i = 0; i < nFiles; ++i) {
        const unsigned d = i / (nFiles / nDirs + (nFiles % nDirs ? 1 : 0));
        _FILE_NODE_* p = s.CreateFileNode(344);
        memset(p, 0, 88);
        p->bIsHealth = 1;
        p->nFileIndex = s.GetFileIndex();
        p->uClusterNO = 200000 + i;
        p->u64FileSize = 4096 + i;
        snprintf(p->szFileName, sizeof p->szFileName, "FILE%07u.%s", i, exts[i % 8]);
        s.AddChildren(100 + d, 1, p->nFileIndex, p->uClusterNO, nullptr);
    }
    auto t1 = std::chrono::steady_clock::now();
    const long rssAfterAppend = CurrentRssKiB();
    int rFlush = s.FlushBufToFile();
    auto t2 = std::chrono::steady_clock::now();

    std::vector<_FILE_NODE_> kids;
    int rList = s.GetChildrenFileNode((1ULL << 32) + 100 + nDirs / 2, kids);
    auto t3 = std::chrono::steady_clock::now();
    const long peakBeforeSearch = PeakRssKiB();
    std::vector<__SEARCH_FILE_INFO__> hits;
    s.SearchFileNodeInfo(L"*.bmp|*.gif|*.jpg|*.jpeg|*.png|", hits);
    auto t4 = std::chrono::steady_clock::now();
    const size_t nHits = hits.size();
    hits.clear();
    hits.shrink_to_fit();
    std::vector<_FILE_NODE_> top;
    s.GetChildrenFileNode(0, top);
    auto t5 = std::chrono::steady_clock::now();

    struct stat st {};
    stat(s.GetNodeFilePath().c_str(), &st);
    struct stat stRel {};
    stat(s.GetRelationFilePath().c_str(), &stRel);
    const std::string strNode = s.GetNodeFilePath();
    const std::string strRel = s.GetRelationFilePath();
    const std::string strDirInfo = s.GetDirInfoFilePath();
    delete pStore;

    printf("nodes                %u in %u directories\n", nNodes, nDirs);
    printf("append               %.3f s  (%.0f nodes/s)\n", Seconds(t0, t1), nNodes / Seconds(t0, t1));
    printf("flush                %.3f s  (result %d)\n", Seconds(t1, t2), rFlush);
    printf("list one directory   %.4f s  (%zu children, result %d)\n", Seconds(t2, t3), kids.size(), rList);
    printf("list the root        %.4f s  (%zu directories)\n", Seconds(t4, t5), top.size());
    printf("search pictures      %.3f s  (%zu hits)\n", Seconds(t3, t4), nHits);
    printf("node file bytes      %lld\n", static_cast<long long>(st.st_size));
    printf("relation file bytes  %lld\n", static_cast<long long>(stRel.st_size));
    printf("RSS growth (append)  %ld KiB\n", rssAfterAppend - rssStart);
    printf("peak RSS             %ld KiB before the search, %ld KiB with its %zu hits\n",
           peakBeforeSearch, PeakRssKiB(), nHits);

    unlink(strNode.c_str());
    unlink(strRel.c_str());
    unlink(strDirInfo.c_str());
    rmdir(strDir.c_str());
    return 0;
}

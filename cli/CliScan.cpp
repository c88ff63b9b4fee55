// scan and recover: the desktop flow without a window. Engines are driven
// only through IFileRecoveryParse, exactly as the desktop job driver does.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

#include "CliCommon.h"
#include "CliJson.h"
#include "CliVolume.h"
#include "scan/CarveDriver.h"
#include "carving/FileTypeRecovery.h"
#include "scan/ProfessionalRecovery.h"
#include "scan/ScanController.h"
#include "core/Categories.h"
#include "scan/FileRecoveryFactory.h"
#include "core/Platform.h"
#include "core/FileOutput.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"

namespace {

struct ScanOptions {
    std::string strSource;
    std::string strTypes = "photo,audio,video";
    std::string strDest;
    bool bFast = false;
    bool bJson = false;
    bool bKeepPaths = false;
    bool bCarveOnly = false;
    bool bResume = false;
};

// What the scan reports, shown on stderr.
void ShowScanProgress(CliProgress& progress, int nProgress, int nPercent, int nRemaindSecond, u64 cur, u64 count,
                      u64 found) {
    progress.Scan(nProgress, nPercent, nRemaindSecond, cur, count, found);
    // Test hook: behave as if Ctrl-C were pressed once the scan reached N %.
    static const char* s_szInterruptAt = getenv("FOTORETTA_TEST_INTERRUPT_SCAN_AT");
    if (s_szInterruptAt && !CancelRequested() && OverallPercent(nProgress, nPercent) >= atoi(s_szInterruptAt))
        raise(SIGINT);
}

// Presses of Ctrl-C seen when the copying began: one more ends it.
std::atomic<int> g_nCopyInterruptBase{0};

struct RecoveryState {
    int nRecovered = 0;
    int nFailed = 0;
    bool bFinalSeen = false;
    int nFinalError = 0;
};

int RecoveryCallBack(void* pParam, int nProgress, int, int nErrorCode, wchar_t*) {
    auto* st = static_cast<RecoveryState*>(pParam);
    if (nProgress == 100) {
        st->bFinalSeen = true;
        st->nFinalError = nErrorCode;
    }
    return InterruptCount() > g_nCopyInterruptBase.load() ? FR_RECOVERY_CANCELLED : 0;
}

int SearchCallBack(void*, int, wchar_t*) { return 0; }

// The scan callback of the copying phase: a scan is over by then.
int NoScanCallBack(void*, int, int, int, u64, u64, u64, wchar_t*) { return 0; }

bool ParseOptions(const std::vector<std::string>& args, bool recover, ScanOptions& o) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& dst) {
            if (i + 1 >= args.size()) {
                fprintf(stderr, "fotoretta-cli: %s needs a value\n", a.c_str());
                return false;
            }
            dst = args[++i];
            return true;
        };
        if (a == "--types") {
            if (!value(o.strTypes)) return false;
        } else if (a.rfind("--types=", 0) == 0) {
            o.strTypes = a.substr(8);
        } else if (a == "--fast") {
            o.bFast = true;
        } else if (a == "--carve-only") {
            o.bCarveOnly = true;
        } else if (a == "--resume") {
            o.bResume = true;
        } else if (a == "--json" && !recover) {
            o.bJson = true;
        } else if (a == "--to" && recover) {
            if (!value(o.strDest)) return false;
        } else if (a.rfind("--to=", 0) == 0 && recover) {
            o.strDest = a.substr(5);
        } else if (a == "--keep-paths" && recover) {
            o.bKeepPaths = true;
        } else if (!a.empty() && a[0] == '-' && a != "-") {
            fprintf(stderr, "fotoretta-cli: unknown option '%s'\n", a.c_str());
            return false;
        } else if (o.strSource.empty()) {
            o.strSource = a;
        } else {
            fprintf(stderr, "fotoretta-cli: unexpected argument '%s'\n", a.c_str());
            return false;
        }
    }
    if (o.strSource.empty()) {
        fprintf(stderr, "fotoretta-cli: no SOURCE given\n");
        return false;
    }
    if (o.bResume && (o.bFast || o.bCarveOnly)) {
        fprintf(stderr, "fotoretta-cli: --resume continues a full scan; it cannot go with --fast or --carve-only\n");
        return false;
    }
    if (recover && o.strDest.empty()) {
        fprintf(stderr, "fotoretta-cli: recover needs --to DIR\n");
        return false;
    }
    return true;
}

}  // namespace

// The search pattern of the listing job for a list of type names, in the
// order Photo, Music, Office, Video, Archive (+ office and archive), Other.
bool BuildSearchPattern(const std::string& types, std::wstring& pattern) {
    bool want[6] = {};
    size_t pos = 0;
    while (pos <= types.size()) {
        size_t comma = types.find(',', pos);
        if (comma == std::string::npos) comma = types.size();
        std::string t = types.substr(pos, comma - pos);
        for (char& c : t) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        // The folder names, with the older spellings as aliases.
        if (t == "photo" || t == "photos") want[0] = true;
        else if (t == "audio" || t == "music") want[1] = true;
        else if (t == "document" || t == "documents" || t == "office") want[2] = true;
        else if (t == "video" || t == "videos") want[3] = true;
        else if (t == "archive" || t == "archives") want[4] = true;
        else if (t == "others" || t == "other") want[5] = true;
        else if (t == "all") std::fill(std::begin(want), std::end(want), true);
        else if (!t.empty()) {
            fprintf(stderr,
                    "fotoretta-cli: unknown type '%s' (use photo, audio, video, document, archive, others)\n",
                    t.c_str());
            return false;
        }
        pos = comma + 1;
    }
    pattern = GetSearchPattern(want);
    if (pattern.empty()) {
        fprintf(stderr, "fotoretta-cli: --types names no type\n");
        return false;
    }
    return true;
}

namespace {

// Byte offset of the file's data on the device, as the engine that found it
// says; data kept inside its record (or none at all) is placed at the record.
unsigned long long DataOffset(IFileRecoveryParse& engine, const __SEARCH_FILE_INFO__& h) {
    const _FILE_NODE_ node = ToFileNode(h);
    std::vector<DataExtent> extents;
    u64 offset = 0;
    if (engine.GetNodeExtents(node, 1, extents) == 0 && FirstDataOffset(extents, offset)) return offset;
    return h.u64RecordSector * 512;
}

// Marks what a listing cannot call healthy: data placed outside the
// volume, or a file longer than the volume. volumeBytes 0: the whole source.
void MarkImpossible(IFileRecoveryParse& engine, const CliSource& v, __SEARCH_FILE_INFO__& h) {
    if (h.bIsDir || h.u64FileSize == 0) return;
    unsigned long long start = v.u64Start * 512, bytes = v.u64Count * 512;
    if (bytes == 0) {
        struct stat st;
        if (stat(v.strPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
        bytes = static_cast<unsigned long long>(st.st_size);
    }
    const unsigned long long offset = DataOffset(engine, h);
    if (offset < start || offset - start >= bytes)
        h.bIsHealth = FR_HEALTH_OUTSIDE_VOLUME;
    else if (h.u64FileSize > bytes && h.bIsHealth != 0)
        h.bIsHealth = FR_HEALTH_LENGTH_UNPROVEN;
}

// One volume of a run: what names it, its engine and the hits in node order.
struct ScannedVolume {
    CliSource src;
    std::unique_ptr<IFileRecoveryParse> engine;
    std::vector<__SEARCH_FILE_INFO__> hits;
};

struct ScanRun {
    std::vector<ScannedVolume> volumes;  // those scanned, in table order
    bool bPartitions = false;            // a whole disk read partition by partition
    size_t nPlanned = 0;                 // the volumes the run set out to read
    int nScanResult = 0;                 // the first engine failure, 0 for none
    u64 u64ReadErrors = 0;               // sectors that could not be read
    bool bLogLost = false;               // a scan log could not be saved
};

// A scan or recover command as read from its arguments: its options, the
// search pattern of their types and the source they name.
struct ScanCommand {
    ScanOptions o;
    std::wstring pattern;
    CliSource src;
};

// Reads a command: 0, or its exit status (2 for a wrong call, 1 for a
// source that cannot be used).
int ReadCommand(const std::vector<std::string>& args, bool recover, ScanCommand& cmd) {
    if (!ParseOptions(args, recover, cmd.o)) return 2;
    if (!BuildSearchPattern(cmd.o.strTypes, cmd.pattern)) return 2;
    return ResolveSource(cmd.o.strSource, cmd.src) ? 0 : 1;
}

// Scans each volume of the command's source in turn and lists what each
// found. A Ctrl-C ends the scan of the volume in progress and of all that
// follow.
int ScanAndList(const ScanCommand& cmd, ScanRun& run) {
    const ScanOptions& o = cmd.o;
    const CliSource& src = cmd.src;
    std::wstring pattern = cmd.pattern;
    // Results live in the scan-log folder: without it nothing found could be
    // listed, and on the source it would overwrite what is to be found.
    std::string why;
    if (CScanController::CheckDataDir(src.strPath, why)) {
        fprintf(stderr, "fotoretta-cli: %s\n", why.c_str());
        return 1;
    }
    const bool bDeep = !o.bFast && !o.bCarveOnly;
    const ScanMode mode = o.bCarveOnly ? ScanMode::CarveOnly : o.bFast ? ScanMode::Fast : ScanMode::Full;
    // Carving needs no file system: a whole disk is swept once, end to end,
    // so that the space between and after its partitions is carved too.
    const std::vector<CliSource> volumes = o.bCarveOnly ? std::vector<CliSource>{src} : VolumesToScan(src);
    run.bPartitions = !src.bPartition && volumes.front().bPartition;
    run.nPlanned = volumes.size();
    InstallInterruptHandler();
    for (const CliSource& v : volumes) {
        if (CancelRequested()) break;
        const std::string label = run.bPartitions ? "Scanning " + v.strArg : "Scanning";
        CliProgress progress(label.c_str());
        CScanController scan(
            [&progress](int p, int pct, int left, u64 cur, u64 count, u64 found) {
                ShowScanProgress(progress, p, pct, left, cur, count, found);
            },
            [] { return CancelRequested(); });
        ScanTarget target{v.strPath, v.bPartition, v.nDiskNumber, v.u64Start, v.u64Count};
        if (scan.Open(target, mode, o.bResume) != 0) {
            if (bDeep || (o.bCarveOnly && run.bPartitions)) {
                fprintf(stderr, "fotoretta-cli: %s: cannot be read\n", v.strArg.c_str());
                if (run.nScanResult == 0) run.nScanResult = 1;
            } else {
                ReportNoFileSystem(v, run.bPartitions);
            }
            continue;
        }
        const int rc = scan.Run();
        progress.Done();
        const ScanReport& report = scan.Report();
        const std::string where = run.bPartitions ? v.strArg + ": " : "";
        for (const std::string& note : report.notes) fprintf(stderr, "%s%s\n", where.c_str(), note.c_str());
        run.u64ReadErrors += report.u64UnreadableSectors;
        if (report.nLogError) run.bLogLost = true;
        if (report.bCancelled) {
            fprintf(stderr, "Scan cancelled: listing what was found so far.%s\n",
                    bDeep ? " Run the same scan with --resume to continue it." : "");
        } else if (rc != 0) {
            if (run.nScanResult == 0) run.nScanResult = rc;
            fprintf(stderr, "fotoretta-cli: %sthe scan failed (%s); listing what was found.\n", where.c_str(),
                    EngineResultText(rc).c_str());
        }
        ScannedVolume vol{v, scan.TakeEngine(), {}};
        static RecoveryState s_idle;
        vol.engine->InitCallBack(NoScanCallBack, RecoveryCallBack, &s_idle, 100);
        vol.engine->InitSearchCallBack(SearchCallBack, nullptr);
        vol.engine->SearchFileNode(pattern.data(), vol.hits);
        for (auto& h : vol.hits) MarkImpossible(*vol.engine, v, h);
        run.volumes.push_back(std::move(vol));
    }
    if (run.volumes.empty()) {
        if (run.bPartitions && o.bFast)
            fprintf(stderr,
                    "fotoretta-cli: %s: no partition holds a FAT, exFAT, NTFS or Ext file system (a scan without --fast "
                    "still sweeps them)\n",
                    src.strArg.c_str());
        return 1;
    }
    return 0;
}

// The exit status of a scan run: interrupted, failed, read errors, clean.
int ScanExitStatus(const ScanRun& run) {
    if (CancelRequested()) return kExitInterrupted;
    if (run.nScanResult != 0 || run.bLogLost) return 1;
    return run.u64ReadErrors ? kExitReadErrors : 0;
}

std::string ParentPath(IFileRecoveryParse& engine, const __SEARCH_FILE_INFO__& hit) {
    _FILE_NODE_ node = ToFileNode(hit);
    std::vector<wchar_t> buf(4096, 0);
    if (engine.GetFileNodeParentDirPath(&node, buf.data(), static_cast<int>(buf.size())) != 0) return {};
    buf.back() = 0;
    return WideToUtf8(buf.data());
}

// The plain listing of one volume's hits, grouped by category, then
// extension, as the result browser shows them; adds their bytes to total.
void PrintListing(const ScannedVolume& vol, unsigned long long& total) {
    std::map<int, std::map<std::string, std::vector<const __SEARCH_FILE_INFO__*>>> groups;
    for (const auto& h : vol.hits) {
        std::string key = GetClassKey(h.szFileName);
        groups[GetFileCategory(h.szFileName)][key.empty() ? "(none)" : key.substr(1)].push_back(&h);
    }
    for (auto& [cat, exts] : groups) {
        size_t n = 0;
        for (auto& kv : exts) n += kv.second.size();
        printf("%s (%zu)\n", GetCategoryName(static_cast<FileCategory>(cat)), n);
        for (auto& [ext, files] : exts) {
            printf("  %s (%zu)\n", ext.c_str(), files.size());
            for (const auto* h : files) {
                std::string parent = ParentPath(*vol.engine, *h);
                printf("    %-40s %12s  %s%s\n", h->szFileName,
                       GetFileSizeString(static_cast<long long>(h->u64FileSize)).c_str(), parent.c_str(),
                       h->bIsHealth == 0                       ? "  (damaged)"
                       : h->bIsHealth == FR_HEALTH_UNCONFIRMED ? "  (location unconfirmed)"
                       : h->bIsHealth != 1 ? ("  (damaged: " + std::string(HealthReason(h->bIsHealth)) + ")").c_str()
                                           : "");
                total += h->u64FileSize;
            }
        }
    }
}

// The heading of a partition in the listing: its SOURCE, file system,
// label and size.
void PrintPartitionHeading(const CliSource& src) {
    const CliVolumeInfo info = DescribeVolume(src.strPath, src.u64Start);
    printf("Partition %s  %s  %s  %s\n", src.strArg.c_str(), info.strFileSystem.c_str(),
           info.strLabel.empty() ? "-" : info.strLabel.c_str(),
           GetFileSizeString(static_cast<long long>(src.u64Count * 512)).c_str());
}

}  // namespace

int CmdScan(const std::vector<std::string>& args) {
    ScanCommand cmd;
    if (int rc = ReadCommand(args, false, cmd)) return rc;
    ScanRun run;
    if (int rc = ScanAndList(cmd, run)) return rc;
    const int nExit = ScanExitStatus(run);

    if (cmd.o.bJson) {
        CJsonListing listing(cmd.src.nPartition);
        for (const auto& vol : run.volumes) {
            listing.SetPartition(vol.src.nPartition);
            for (const auto& h : vol.hits) listing.Add(h, ParentPath(*vol.engine, h), DataOffset(*vol.engine, h));
        }
        listing.Finish(nExit == 0, run.u64ReadErrors);
        return nExit;
    }
    unsigned long long total = 0;
    size_t files = 0;
    for (const auto& vol : run.volumes) {
        if (run.bPartitions) PrintPartitionHeading(vol.src);
        PrintListing(vol, total);
        files += vol.hits.size();
    }
    printf("%zu files found, %s\n", files, GetFileSizeString(static_cast<long long>(total)).c_str());
    if (run.u64ReadErrors)
        printf("%llu sectors could not be read: the listing may be incomplete, files marked damaged touch them\n",
               static_cast<unsigned long long>(run.u64ReadErrors));
    return nExit;
}

namespace {

std::string JoinPath(const std::string& a, const std::string& b) {
    if (a.empty()) return b;
    return a.back() == '/' ? a + b : a + "/" + b;
}

// The folders of path that do not exist yet, innermost first.
std::vector<std::string> MissingDirs(std::string path) {
    std::vector<std::string> missing;
    struct stat st;
    while (!path.empty() && path != "/" && lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        missing.push_back(path);
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos) break;
        path.resize(slash);
    }
    return missing;
}

}  // namespace

int CmdRecover(const std::vector<std::string>& args) {
    ScanCommand cmd;
    if (int rc = ReadCommand(args, true, cmd)) return rc;
    const ScanOptions& o = cmd.o;
    const CliSource& src = cmd.src;
    std::string dest = o.strDest;
    while (dest.size() > 1 && dest.back() == '/') dest.pop_back();
    // Checked before anything is created: even an empty folder written into
    // a file system that lives in the source changes the source.
    if (DestinationOnSource(dest, src.strPath)) {
        fprintf(stderr,
                "fotoretta-cli: %s lies on the device being recovered (%s); writing there would overwrite the "
                "very files you want back. Choose a folder on another disk.\n",
                dest.c_str(), src.strPath.c_str());
        return 1;
    }
    // Run through sudo, everything created belongs to the user who asked
    // for it, as under the desktop's pkexec; the folders made for the
    // destination itself too.
    OutputOwner owner;
    const bool bForUser = geteuid() == 0 && GetInvokingUser(owner);
    if (bForUser) SetDefaultOutputOwner(&owner);
    const std::vector<std::string> created = MissingDirs(dest);
    // The destination must exist (or be creatable) and be writable.
    if (int e = MakeDirs(dest, 0755)) {
        fprintf(stderr, "fotoretta-cli: cannot create %s: %s\n", dest.c_str(), strerror(e));
        return 1;
    }
    if (bForUser)
        for (const std::string& dir : created)
            if (lchown(dir.c_str(), owner.uid, owner.gid) != 0)
                fprintf(stderr, "fotoretta-cli: cannot hand %s to user %u: %s\n", dir.c_str(),
                        static_cast<unsigned>(owner.uid), strerror(errno));
    if (access(dest.c_str(), W_OK | X_OK) != 0) {
        fprintf(stderr, "fotoretta-cli: cannot write into %s: %s\n", dest.c_str(), strerror(errno));
        return 1;
    }
    char real[4096];
    if (realpath(dest.c_str(), real)) dest = real;

    ScanRun run;
    if (int rc = ScanAndList(cmd, run)) return rc;
    // Every hit with the volume that found it; the files of each partition
    // of a whole disk go into a folder of their own when there are several.
    std::vector<std::pair<const ScannedVolume*, const __SEARCH_FILE_INFO__*>> hits;
    for (const auto& vol : run.volumes)
        for (const auto& h : vol.hits) hits.emplace_back(&vol, &h);
    const bool bPartitionFolders = run.bPartitions && run.nPlanned > 1;
    // A Ctrl-C during the scan keeps what was found: it is copied now, and
    // the next press ends the copying; the one after that aborts.
    g_nCopyInterruptBase.store(InterruptCount());
    SetInterruptAbortCount(InterruptCount() + 2);
    if (CancelRequested())
        fprintf(stderr, "Recovering the %zu files found so far (press Ctrl-C again to stop copying).\n",
                hits.size());

    int nBaseLevel = 0;
    std::wstring wdest = Utf8ToWide(dest);
    GetPathDirIndex(wdest.c_str(), nBaseLevel);
    RecoveryState state;
    for (const auto& vol : run.volumes) vol.engine->InitCallBack(NoScanCallBack, RecoveryCallBack, &state, 100);
    CliProgress progress("Recovering");
    size_t done = 0;
    bool cancelled = false;
    auto copyCancelled = [] { return InterruptCount() > g_nCopyInterruptBase.load(); };
    // Test hook: behave as if Ctrl-C were pressed after N files.
    long interruptAfter = -1;
    if (const char* e = getenv("FOTORETTA_TEST_INTERRUPT_AFTER_FILES")) interruptAfter = atol(e);
    std::map<std::string, std::string> outputDirs;
    bool full = false;
    for (const auto& [vol, hp] : hits) {
        const __SEARCH_FILE_INFO__& h = *hp;
        IFileRecoveryParse& engine = *vol->engine;
        if (copyCancelled()) {
            cancelled = true;
            break;
        }
        std::string dir;
        ++done;
        // The original folders, or the file's category folder, below dest
        // (and below the partition's folder).
        std::string rel = o.bKeepPaths ? ParentPath(engine, h) : GetCategoryFolderName(h.szFileName);
        if (bPartitionFolders) rel = "partition-" + std::to_string(vol->src.nPartition) + "/" + rel;
        int e = MakeOutputDirs(dest, rel, dir, outputDirs);
        std::string target = JoinPath(dir, SanitizeFileName(std::string_view(h.szFileName)));
        if (e == 0 && target.size() >= 4000) e = ENAMETOOLONG;
        if (e != 0) {
            fprintf(stderr, "failed: %s (%s)\n", target.c_str(), strerror(e));
            ++state.nFailed;
            continue;
        }
        std::vector<wchar_t> real(4096, 0);
        GetRealFileName(target.c_str(), real.data(), static_cast<int>(real.size()));
        state.bFinalSeen = false;
        state.nFinalError = 0;
        _FILE_NODE_ node = ToFileNode(h);
        int rc = engine.SaveFileData(&node, real.data(), nBaseLevel);
        int err = rc != 0 ? rc : (state.bFinalSeen ? state.nFinalError : 0);
        if (rc == FR_RECOVERY_CANCELLED || err == ENOSPC) {
            // Cut short (cancelled, or the destination is full): that file is
            // not left behind as if it were whole; the complete ones stay and
            // nothing more is tried.
            std::string partial = WideToUtf8(real.data());
            struct stat st;
            if (lstat(partial.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(partial.c_str());
            (rc == FR_RECOVERY_CANCELLED ? cancelled : full) = true;
            break;
        }
        if (err != 0 && (h.bIsHealth == FR_HEALTH_OUTSIDE_VOLUME || h.bIsHealth == FR_HEALTH_LENGTH_UNPROVEN ||
                         h.bIsHealth == FR_HEALTH_ENCRYPTED)) {
            // Its record cannot be true, or its data is not the file's:
            // what came of it is not kept.
            const std::string partial = WideToUtf8(real.data());
            struct stat st;
            if (lstat(partial.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(partial.c_str());
        }
        if (err != 0) {
            ++state.nFailed;
            fprintf(stderr, "failed: %s (%s)\n", WideToUtf8(real.data()).c_str(), EngineResultText(err).c_str());
        } else {
            ++state.nRecovered;
        }
        if (interruptAfter >= 0 && static_cast<long>(done) >= interruptAfter) raise(SIGINT);
        progress.Scan(static_cast<int>(done * 100 / hits.size()), 99, -1, 0, 0, 0);
    }
    progress.Done();
    if (cancelled) fprintf(stderr, "Recovery cancelled.\n");
    if (full)
        fprintf(stderr,
                "fotoretta-cli: %s is full: recovery stopped before %s; the files recovered so far are complete. "
                "Free some space or choose another disk for the rest.\n",
                dest.c_str(), hits[done - 1].second->szFileName);
    printf("%d recovered, %d failed\n", state.nRecovered, state.nFailed);
    if (cancelled || CancelRequested()) return kExitInterrupted;
    if (state.nFailed > 0 || full) return 3;
    return ScanExitStatus(run);
}

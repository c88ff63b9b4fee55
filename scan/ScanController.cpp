#include "scan/ScanController.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "carving/FileTypeJudge.h"
#include "carving/FileTypeRecovery.h"
#include "core/DiskReader.h"
#include "core/Platform.h"
#include "core/TextHelpers.h"
#include "results/LogFileManager.h"
#include "scan/CarveDriver.h"
#include "scan/FileRecoveryFactory.h"
#include "scan/ProfessionalRecovery.h"

namespace {

// FNV-1a, 64 bits.
struct Fnv {
    u64 h = 0xcbf29ce484222325ULL;
    void Add(const void* p, size_t n) {
        const auto* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) h = (h ^ b[i]) * 0x100000001b3ULL;
    }
    template <class T>
    void Add(const T& v) {
        Add(&v, sizeof v);
    }
};

std::string ReadLine(const std::string& path) {
    std::string s;
    if (FILE* f = fopen(path.c_str(), "r")) {
        char buf[256];
        if (fgets(buf, sizeof buf, f)) s = buf;
        fclose(f);
    }
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
    return s;
}

}  // namespace

CScanController::CScanController(ProgressSink progress, std::function<bool()> cancelled)
    : m_Progress(std::move(progress)), m_Cancelled(std::move(cancelled)) {}

CScanController::~CScanController() = default;

int CScanController::CheckDataDir(const std::string& strSourcePath, std::string& strMessage) {
    // Checked before anything is created there: even an empty folder made
    // in a file system that lives on the source changes the source.
    const std::string where = DataDirLocation();
    if (!strSourcePath.empty() && DestinationOnSource(where, strSourcePath)) {
        strMessage = "the data folder " + where + " lies on the medium being scanned (" + strSourcePath +
                     "); writing scan logs there would overwrite the very files you want back. Set "
                     "FOTORETTA_DATA_DIR to a folder on another disk (for example a USB stick: "
                     "FOTORETTA_DATA_DIR=/media/usb/fotoretta).";
        return EXDEV;
    }
    if (int e = CheckScanLogDir()) {
        strMessage = "cannot keep scan results in " + GetScanLogDir() + ": " + strerror(e) +
                     " (set FOTORETTA_DATA_DIR to a writable folder with free space on another disk)";
        return e;
    }
    return 0;
}

u64 CScanController::MediumId(const std::string& strPath, u64 u64Start, u64 u64Count) {
    struct stat st;
    if (strPath.empty() || stat(strPath.c_str(), &st) != 0) return 0;
    Fnv f;
    f.Add(u64Start);
    f.Add(u64Count);
    if (S_ISREG(st.st_mode)) {
        f.Add(static_cast<u64>(st.st_dev));
        f.Add(static_cast<u64>(st.st_ino));
        f.Add(static_cast<u64>(st.st_size));
        f.Add(static_cast<u64>(st.st_mtim.tv_sec));
        f.Add(static_cast<u64>(st.st_mtim.tv_nsec));
    } else if (S_ISBLK(st.st_mode)) {
        CUniqueFd fd(OpenDeviceReadOnly(strPath.c_str()));
        if (!fd.valid()) return 0;
        const long long size = rsb_getDeviceSize(fd.get());
        f.Add(size);
        // The first and last sectors of the volume.
        const u64 count = u64Count ? u64Count : (size > 0 ? static_cast<u64>(size) / 512 : 0);
        std::vector<unsigned char> sector(512, 0);
        for (u64 s : {u64Start, u64Start + (count ? count - 1 : 0)}) {
            std::fill(sector.begin(), sector.end(), 0);
            unsigned got = 0;
            if (lseek(fd.get(), static_cast<off_t>(s * 512), SEEK_SET) != -1)
                ReadData(fd.get(), sector.data(), 512, &got);
            f.Add(sector.data(), sector.size());
        }
        // The serial number, where the system gives one (a partition's is
        // its disk's).
        const std::string sys = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                                std::to_string(minor(st.st_rdev));
        std::string serial = ReadLine(sys + "/device/serial");
        if (serial.empty()) serial = ReadLine(sys + "/../device/serial");
        f.Add(serial.data(), serial.size());
    } else {
        return 0;
    }
    return f.h ? f.h : 1;
}

int CScanController::ScanCallBack(void* pParam, int nProgress, int nPercent, int nRemaindSecond, u64 cur, u64 count,
                                  u64 found, wchar_t*) {
    auto* self = static_cast<CScanController*>(pParam);
    if (self->m_Progress) self->m_Progress(nProgress, nPercent, nRemaindSecond, cur, count, found);
    return self->m_Cancelled && self->m_Cancelled() ? static_cast<int>(FR_STOP_CODE) : 0;
}

int CScanController::Open(const ScanTarget& target, ScanMode mode, bool bResume) {
    m_Mode = mode;
    m_Report = ScanReport{};
    m_pEngine.reset();
    CLogFileManager& logs = CLogFileManager::GetInstance();
    logs.Init();
    // A fast or carving run writes its results into a fresh numbered log
    // folder; the full scan takes its own (or reuses the recorded one).
    m_bNewDir = mode != ScanMode::Full;
    if (m_bNewDir) logs.AddDirIndex();
    // An image is named by its real path, wherever it was typed from.
    std::string path = target.strPath;
    if (!target.bPartition) {
        char real[4096];
        if (realpath(path.c_str(), real)) path = real;
    }
    std::wstring wpath = Utf8ToWide(path);
    const auto start = static_cast<long long>(target.u64Start), count = static_cast<long long>(target.u64Count);
    int rc = 0;
    if (mode == ScanMode::CarveOnly) {
        auto carver = std::make_unique<CFileTypeRecovery>();
        rc = target.bPartition ? carver->Init(target.nDiskNumber, start, count, L'C') : carver->Init(wpath.data(), L'C');
        if (rc == 0) m_pEngine = std::move(carver);
    } else if (mode == ScanMode::Fast) {
        CFileRecoveryFactory* f = CFileRecoveryFactory::GetInstance();
        m_pEngine.reset(target.bPartition
                            ? f->CreateFileRecoveryInstance(target.nDiskNumber, start, count, L'C', RECOVERY_FAST)
                            : f->CreateFileRecoveryInstance(wpath.data(), L'C', RECOVERY_FAST));
    } else {
        auto deep = std::make_unique<CProfessionalRecovery>(CFileRecoveryFactory::FastEngines());
        const u64 id = MediumId(path, target.u64Start, target.u64Count);
        deep->SetMediumId(id);
        rc = target.bPartition ? deep->Init(target.nDiskNumber, start, count, L'C') : deep->Init(wpath.data(), L'C');
        if (rc == 0) {
            if (!bResume) {
                deep->SetNotLoadLogFile();
            } else if (deep->IsFindLogFile()) {
                m_Report.bResumed = true;
            } else if (logs.OtherMediumFound()) {
                m_Report.notes.push_back(
                    "The earlier scan was of another medium (the file or card has changed): scanning afresh.");
            } else {
                m_Report.notes.push_back("No earlier scan to resume: scanning from the start.");
            }
            m_pEngine = std::move(deep);
        }
    }
    if (!m_pEngine) {
        if (m_bNewDir) logs.ReduceDirIndex();
        return rc ? rc : FR_FAILED;
    }
    return 0;
}

int CScanController::Run() {
    if (!m_pEngine) return FR_INVALID;
    IFileRecoveryParse& e = *m_pEngine;
    int rc;
    if (m_Mode == ScanMode::CarveOnly) {
        auto& carver = static_cast<CFileTypeRecovery&>(e);
        carver.InitCallBack(ScanCallBack, nullptr, this, 90);
        CarveStats stats;
        rc = CarveImage(carver, ScanCallBack, this, nullptr, &stats);
        m_Report.u64UnreadableSectors = stats.u64UnreadableSectors;
    } else {
        e.InitCallBack(ScanCallBack, nullptr, this, 100);
        rc = e.ScanDevice(nullptr);
        if (m_Mode == ScanMode::Full) {
            auto& deep = static_cast<CProfessionalRecovery&>(e);
            m_Report.u64UnreadableSectors = deep.GetSweepStats().u64UnreadableSectors;
            m_Report.nFastEngineResult = deep.GetFastEngineResult();
            if (m_Report.nFastEngineResult != 0)
                m_Report.notes.push_back("The file-system engine failed (engine code " +
                                         std::to_string(m_Report.nFastEngineResult) +
                                         "): the whole volume was swept instead.");
        }
    }
    m_Report.nResult = rc;
    m_Report.bCancelled = rc == static_cast<int>(FR_STOP_CODE) || (m_Cancelled && m_Cancelled());
    if (m_Report.bCancelled) m_Report.nResult = 0;
    m_Report.nLogError = CLogFileManager::GetInstance().LastSaveError();
    if (m_Report.nLogError)
        m_Report.notes.push_back(std::string("The scan log could not be saved in ") + GetScanLogDir() + ": " +
                                 strerror(m_Report.nLogError) + "; a later --resume cannot continue this scan.");
    if (m_Report.u64UnreadableSectors)
        m_Report.notes.push_back(std::to_string(m_Report.u64UnreadableSectors) +
                                 " sectors could not be read; files that touch them are marked damaged.");
    return rc;
}

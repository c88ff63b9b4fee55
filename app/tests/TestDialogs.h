// Helpers that drive the window's modal dialogs from tests and the
// screenshot tour.
#pragma once

#include <stdlib.h>

#include <QtCore/QTimer>
#include <QtWidgets/QApplication>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "DRUI.h"
#include "scan/FileRecoveryFactory.h"
#include "core/IFileRecoveryParse.h"
#include "core/Platform.h"

// The disks a window lists come from dir while this lives; opened images
// are forgotten after.
struct ScopedDiskDir {
    explicit ScopedDiskDir(const std::string& dir) { setenv("FOTORETTA_DISK_DIR", dir.c_str(), 1); }
    ~ScopedDiskDir() {
        unsetenv("FOTORETTA_DISK_DIR");
        ClearRegisteredImageDisks();
    }
};

// Acts on each modal widget that comes up until the action says it is done.
class ModalAnswer {
public:
    explicit ModalAnswer(std::function<bool(QWidget*)> act) : m_act(std::move(act)) {
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            // Stopped while acting: the action may run an event loop.
            m_timer.stop();
            QWidget* w = QApplication::activeModalWidget();
            if (!w || !m_act(w)) m_timer.start();
        });
        m_timer.start(20);
    }

private:
    std::function<bool(QWidget*)> m_act;
    QTimer m_timer;
};

// Holds the scan at its first report past 9 % until the job is cancelled or
// the test lets it go, so a cancel lands in the middle of a real scan.
class GatedEngine : public IFileRecoveryParse {
public:
    explicit GatedEngine(IFileRecoveryParse* inner, const DRUI* w) : m_inner(inner), m_w(w) {}
    std::atomic<bool> gated{false}, release{false};

    int Init(int n, long long s, long long c, wchar_t l) override { return m_inner->Init(n, s, c, l); }
    int Init(wchar_t* p, wchar_t l) override { return m_inner->Init(p, l); }
    int InitCallBack(ScanProgressFunc f, RecoveryProgressFunc r, void* p, int n) override {
        m_scan = f;
        m_recovery = r;
        m_param = p;
        return m_inner->InitCallBack(&GatedEngine::Report, &GatedEngine::Recovery, this, n);
    }
    int ScanDevice(wchar_t* r) override { return m_inner->ScanDevice(r); }
    int GetChildrenFileNode(_FILE_NODE_* p, unsigned k, std::vector<_FILE_NODE_>& o) override {
        return m_inner->GetChildrenFileNode(p, k, o);
    }
    int GetChildrenFileCount(_FILE_NODE_* p, unsigned k, unsigned& n) override {
        return m_inner->GetChildrenFileCount(p, k, n);
    }
    unsigned GetLostFileCount() override { return m_inner->GetLostFileCount(); }
    int GetFileNodeParentDirPath(_FILE_NODE_* n, wchar_t* p, int l) override {
        return m_inner->GetFileNodeParentDirPath(n, p, l);
    }
    int SaveFileData(_FILE_NODE_* n, wchar_t* p, int b) override { return m_inner->SaveFileData(n, p, b); }
    int GetUnUsedSectorCount(u64& s, u64& c) override { return m_inner->GetUnUsedSectorCount(s, c); }
    int InitSearchCallBack(SearchProgressFunc f, void* p) override { return m_inner->InitSearchCallBack(f, p); }
    int SearchFileNode(wchar_t* p, std::vector<__SEARCH_FILE_INFO__>& o) override {
        return m_inner->SearchFileNode(p, o);
    }
    int BuildBitMapInfo() override { return m_inner->BuildBitMapInfo(); }
    int PreView(_FILE_NODE_* n, wchar_t* t, unsigned char* b, int& l, PreviewProgressFunc f, void* p) override {
        return m_inner->PreView(n, t, b, l, f, p);
    }

private:
    static int Report(void* self, int p, int n, int r, u64 c, u64 t, u64 f, wchar_t* s) {
        auto* g = static_cast<GatedEngine*>(self);
        if (p * n / 100 >= 9 && p * n < 10000 && !g->gated.exchange(true))
            while (!g->release && !g->m_w->ScanCancelRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return g->m_scan(g->m_param, p, n, r, c, t, f, s);
    }
    static int Recovery(void* self, int p, int n, int e, wchar_t* s) {
        auto* g = static_cast<GatedEngine*>(self);
        return g->m_recovery(g->m_param, p, n, e, s);
    }
    std::unique_ptr<IFileRecoveryParse> m_inner;
    const DRUI* m_w;
    ScanProgressFunc m_scan = nullptr;
    RecoveryProgressFunc m_recovery = nullptr;
    void* m_param = nullptr;
};

// The engine the factory gives a scan of the partition.
inline IFileRecoveryParse* CreateEngineFor(const _PARTITION_ITEM_& p) {
    return CFileRecoveryFactory::GetInstance()->CreateFileRecoveryInstance(
        p.nDiskNumber, static_cast<long long>(p.u64StartSector),
        static_cast<long long>(p.u64EndSector + 1 - p.u64StartSector), L'C', RECOVERY_PROFESSIONAL);
}

// The same, held by a gate.
inline GatedEngine* MakeGatedEngine(const _PARTITION_ITEM_& p, const DRUI* w) {
    IFileRecoveryParse* e = CreateEngineFor(p);
    return e ? new GatedEngine(e, w) : nullptr;
}

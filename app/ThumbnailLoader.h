// Thumbnails of the pictures found, decoded on a worker thread of their own
// so that the window never waits for them.
#pragma once

#include <QtCore/QObject>
#include <QtGui/QImage>

#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "core/IFileRecoveryParse.h"
#include "core/Records.h"

class CThumbnailLoader : public QObject {
    Q_OBJECT
public:
    static constexpr int kThumbSize = 128;
    // Thumbnails kept for views shown again (about 64 KiB each).
    static constexpr size_t kCacheLimit = 400;
    using Key = std::tuple<u32, u32, u32>;  // engine, store index, first cluster

    explicit CThumbnailLoader(QObject* parent = nullptr);
    ~CThumbnailLoader() override;

    // Replaces the files being loaded: the one in hand is abandoned at the
    // engine's next report and the new list starts. Returns at once.
    void Load(IFileRecoveryParse* pEngine, std::vector<_FILE_NODE_> nodes);
    // Loads nothing any more; returns when the worker no longer uses the
    // engine (it may then be deleted).
    void Clear();
    // Keeps the worker off the engine while a job of the window uses it.
    void Pause();
    void Resume();
    class PauseGuard {
    public:
        explicit PauseGuard(CThumbnailLoader& loader) : m_loader(loader) { m_loader.Pause(); }
        ~PauseGuard() { m_loader.Resume(); }
        PauseGuard(const PauseGuard&) = delete;
        PauseGuard& operator=(const PauseGuard&) = delete;

    private:
        CThumbnailLoader& m_loader;
    };

    int Generation() const { return m_nGeneration.load(); }

    // The cache (window thread only): the thumbnail of a file, or a null image.
    QImage Cached(const Key& key);
    void Remember(const Key& key, const QImage& image);

signals:
    // Entry nIndex of the list of load request nGeneration is decoded
    // (emitted on the worker thread).
    void ThumbnailReady(int nGeneration, int nIndex, QImage image);

private:
    void Run();
    QImage Decode(IFileRecoveryParse* pEngine, _FILE_NODE_ node, int nGeneration);
    bool Abandoned(int nGeneration) const;
    static int PreviewReport(void* pParam, int nProgress, int nRet);

    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<_FILE_NODE_> m_request;
    size_t m_nNext = 0;
    IFileRecoveryParse* m_pEngine = nullptr;
    bool m_bBusy = false;
    bool m_bStop = false;
    std::atomic<int> m_nGeneration{0};
    std::atomic<int> m_nPause{0};
    std::list<Key> m_lru;
    std::map<Key, std::pair<QImage, std::list<Key>::iterator>> m_cache;
    std::thread m_worker;
};

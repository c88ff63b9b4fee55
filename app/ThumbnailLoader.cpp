#include "ThumbnailLoader.h"

#include <unistd.h>

#include <array>

#include <QtCore/QString>
#include <QtGui/QImageReader>

#include "JobController.h"
#include "core/TextHelpers.h"

CThumbnailLoader::CThumbnailLoader(QObject* parent) : QObject(parent), m_worker([this] { Run(); }) {}

CThumbnailLoader::~CThumbnailLoader() {
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
        ++m_nGeneration;
    }
    m_cv.notify_all();
    m_worker.join();
}

void CThumbnailLoader::Load(IFileRecoveryParse* pEngine, std::vector<_FILE_NODE_> nodes) {
    {
        std::lock_guard lock(m_mutex);
        ++m_nGeneration;
        m_request = std::move(nodes);
        m_nNext = 0;
        m_pEngine = pEngine;
    }
    m_cv.notify_all();
}

void CThumbnailLoader::Clear() {
    std::unique_lock lock(m_mutex);
    ++m_nGeneration;
    m_request.clear();
    m_nNext = 0;
    m_pEngine = nullptr;
    m_cv.wait(lock, [this] { return !m_bBusy; });
}

void CThumbnailLoader::Pause() {
    std::unique_lock lock(m_mutex);
    ++m_nPause;
    m_cv.wait(lock, [this] { return !m_bBusy; });
}

void CThumbnailLoader::Resume() {
    {
        std::lock_guard lock(m_mutex);
        --m_nPause;
    }
    m_cv.notify_all();
}

bool CThumbnailLoader::Abandoned(int nGeneration) const {
    return nGeneration != m_nGeneration.load() || m_nPause.load() > 0;
}

int CThumbnailLoader::PreviewReport(void* pParam, int, int) {
    const auto* ctx = static_cast<const std::pair<CThumbnailLoader*, int>*>(pParam);
    return ctx->first->Abandoned(ctx->second) ? 1 : 0;
}

void CThumbnailLoader::Run() {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return m_bStop || (m_nPause.load() == 0 && m_nNext < m_request.size()); });
        if (m_bStop) return;
        const int nGeneration = m_nGeneration.load();
        const size_t nIndex = m_nNext++;
        const _FILE_NODE_ node = m_request[nIndex];
        IFileRecoveryParse* pEngine = m_pEngine;
        m_bBusy = true;
        lock.unlock();
        const QImage image = Decode(pEngine, node, nGeneration);
        const bool bAbandoned = Abandoned(nGeneration);
        lock.lock();
        m_bBusy = false;
        m_cv.notify_all();
        if (bAbandoned) {
            // Stopped by a job of the window: taken up again after it.
            if (nGeneration == m_nGeneration.load()) m_nNext = nIndex;
            continue;
        }
        if (!image.isNull()) emit ThumbnailReady(nGeneration, static_cast<int>(nIndex), image);
    }
}

QImage CThumbnailLoader::Decode(IFileRecoveryParse* pEngine, _FILE_NODE_ node, int nGeneration) {
    if (!pEngine) return {};
    std::array<wchar_t, 512> path{};
    std::vector<unsigned char> buf(kPreviewBufSize);
    int len = kPreviewBufSize;
    std::pair<CThumbnailLoader*, int> ctx{this, nGeneration};
    pEngine->PreView(&node, path.data(), buf.data(), len, &CThumbnailLoader::PreviewReport, &ctx);
    path.back() = 0;
    if (path[0] == 0) return {};  // not handed over as a picture
    const std::string file = WideToUtf8(path.data());
    QImage image;
    if (!Abandoned(nGeneration)) {
        QImageReader reader(QString::fromStdString(file));
        reader.setAutoTransform(true);
        QSize size = reader.size();
        if (size.isValid()) {
            size.scale(kThumbSize, kThumbSize, Qt::KeepAspectRatio);
            reader.setScaledSize(size.expandedTo(QSize(1, 1)));
        }
        image = reader.read();
        if (!image.isNull() && (image.width() > kThumbSize || image.height() > kThumbSize))
            image = image.scaled(kThumbSize, kThumbSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    unlink(file.c_str());
    return image;
}

QImage CThumbnailLoader::Cached(const Key& key) {
    auto it = m_cache.find(key);
    if (it == m_cache.end()) return {};
    m_lru.splice(m_lru.begin(), m_lru, it->second.second);
    return it->second.first;
}

void CThumbnailLoader::Remember(const Key& key, const QImage& image) {
    if (auto it = m_cache.find(key); it != m_cache.end()) {
        it->second.first = image;
        m_lru.splice(m_lru.begin(), m_lru, it->second.second);
        return;
    }
    m_lru.push_front(key);
    m_cache.emplace(key, std::make_pair(image, m_lru.begin()));
    while (m_cache.size() > kCacheLimit) {
        m_cache.erase(m_lru.back());
        m_lru.pop_back();
    }
}

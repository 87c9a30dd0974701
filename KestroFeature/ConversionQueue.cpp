#include "ConversionQueue.h"

#include "ClipboardMonitor.h"
#include "DebugLog.h"
#include "MenuTracking.h"
#include "Pasteboard.h"
#include "PreciseSleep.h"
#include "SettingsManager.h"
#include "SongLinkError.h"
#include "SongLinkService.h"

#include <QPointer>

#include <algorithm>
#include <cmath>
#include <limits>

// One metadata fetch: whether it was cancelled, and whether it is still running.
struct MetadataFetch {
    CancellationToken cancellation;
    bool finished = false;
};

namespace {
QString flag(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
} // namespace

ConversionQueue::ConversionQueue(SettingsManager& settings, SongLinkService& api, Pasteboard& pasteboard,
                                 MenuTracking& menu, ProcessedLinkMemory* memory, QObject* parent)
    : QObject(parent), m_settings(settings), m_api(api), m_pasteboard(pasteboard), m_menu(menu),
      m_memory(memory) {
    m_dismissTimer.setSingleShot(true);
    m_dismissTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_dismissTimer, &QTimer::timeout, this, &ConversionQueue::dismissTimerFired);
    // An expiry under the open status menu waits until the menu has closed.
    connect(&m_menu, &MenuTracking::menuOpenChanged, this, [this](bool open) {
        if (!open && m_dismissDeferred) {
            m_dismissDeferred = false;
            dismissTimerFired();
        }
    });
}

ConversionQueue::~ConversionQueue() = default;

ConversionQueue& ConversionQueue::shared() {
    static ConversionQueue* instance = new ConversionQueue(
        SettingsManager::shared(), SongLinkService::shared(), Pasteboard::general(), MenuTracking::shared());
    return *instance;
}

ProcessedLinkMemory& ConversionQueue::memory() {
    return m_memory ? *m_memory : static_cast<ProcessedLinkMemory&>(ClipboardMonitor::shared());
}

Platform ConversionQueue::displaySourcePlatform() const {
    return m_currentRequest ? m_currentRequest->sourcePlatform : m_lastSourcePlatform;
}

Platform ConversionQueue::displayTargetPlatform() const {
    return m_currentRequest ? m_currentRequest->targetPlatform : m_lastTargetPlatform;
}

// Enqueue

void ConversionQueue::enqueue(const QString& url, Platform sourcePlatform, Platform targetPlatform,
                              bool autoConvert) {
    debugLog(QStringLiteral("Queue: Enqueuing: %1 (%2 -> %3), autoConvert: %4")
                 .arg(url, Platforms::displayName(sourcePlatform), Platforms::displayName(targetPlatform),
                      flag(autoConvert)));
    const ConversionRequest request(QUuid::createUuid(), url, sourcePlatform, targetPlatform,
                                    ConversionRequest::ConversionState::pending(), autoConvert, false);
    m_queue.append(request);
    setQueueCount(static_cast<int>(m_queue.size()));
    debugLog(QStringLiteral("Queue: Queue count: %1, currentRequest: %2")
                 .arg(m_queueCount)
                 .arg(m_currentRequest ? m_currentRequest->sourceURL : QStringLiteral("nil")));
    if (!m_currentRequest) {
        processNext();
    }
}

void ConversionQueue::enqueue(const QString& url, bool autoConvert) {
    enqueue(url, Platform::spotify, Platform::appleMusic, autoConvert);
}

void ConversionQueue::enqueueAskMode(const QString& url, Platform sourcePlatform) {
    debugLog(QStringLiteral("Queue: Enqueuing (Ask Mode): %1 from %2")
                 .arg(url, Platforms::displayName(sourcePlatform)));
    Platform target = Platform::spotify;
    for (Platform candidate : Platforms::allCases()) {
        if (candidate != sourcePlatform) {
            target = candidate;
            break;
        }
    }
    append(ConversionRequest(QUuid::createUuid(), url, sourcePlatform, target,
                             ConversionRequest::ConversionState::pending(), false, false));
}

void ConversionQueue::enqueueUniversalLink(const QString& url, Platform sourcePlatform, bool autoConvert) {
    debugLog(QStringLiteral("Queue: Enqueuing (Universal Link): %1 from %2, autoConvert: %3")
                 .arg(url, Platforms::displayName(sourcePlatform), flag(autoConvert)));
    append(ConversionRequest(QUuid::createUuid(), url, sourcePlatform, sourcePlatform,
                             ConversionRequest::ConversionState::pending(), autoConvert, true));
}

void ConversionQueue::append(ConversionRequest request) {
    m_queue.append(std::move(request));
    setQueueCount(static_cast<int>(m_queue.size()));
    if (!m_currentRequest) {
        processNext();
    }
}

// Taking the next request

void ConversionQueue::processNext() {
    debugLog(QStringLiteral("Queue: processNext called, queue count: %1").arg(m_queue.size()));
    stopDismissTimer();
    if (m_metadataTask) {
        m_metadataTask->cancellation.cancel();
    }
    if (m_queue.isEmpty()) {
        debugLog(QStringLiteral("Queue: Queue empty, hiding toast"));
        setCurrentRequest(std::nullopt);
        setIsToastVisible(false);
        setIsAskMode(false);
        setIsUniversalLinkMode(false);
        return;
    }
    const ConversionRequest request = m_queue.takeFirst();
    setCurrentRequest(request);
    setQueueCount(static_cast<int>(m_queue.size()));
    setSourceMetadata(std::nullopt);
    setTargetMetadata(std::nullopt);
    setIsToastVisible(true);
    setIsAskMode(m_settings.targetService() == TargetServiceOption::askEachTime && !request.autoConvert);
    setIsUniversalLinkMode(request.isUniversalLink);
    m_lastSourcePlatform = request.sourcePlatform;
    m_lastTargetPlatform = request.targetPlatform;

    if (request.autoConvert) {
        debugLog(QStringLiteral("Queue: Auto-converting: ") + request.sourceURL);
        setToastState(ToastState::loading());
        if (m_settings.showURLPreview()) {
            fetchMetadata(request.sourceURL, request.sourcePlatform);
        }
        performConversion();
    } else {
        debugLog(QStringLiteral("Queue: Showing toast for: %1, isToastVisible: %2, isAskMode: %3")
                     .arg(request.sourceURL, flag(m_isToastVisible), flag(m_isAskMode)));
        setToastState(ToastState::prompt());
        startDismissTimer();
        if (m_settings.showURLPreview()) {
            fetchMetadata(request.sourceURL, request.sourcePlatform);
        }
    }
}

// Metadata fetch

void ConversionQueue::fetchMetadata(const QString& url, Platform platform) {
    setIsLoadingMetadata(true);
    m_metadataTask = std::make_shared<MetadataFetch>();
    runMetadataFetch(url, platform, m_metadataTask);
}

QCoro::Task<> ConversionQueue::runMetadataFetch(QString url, Platform platform,
                                                std::shared_ptr<MetadataFetch> fetch) {
    QPointer<ConversionQueue> self(this);
    std::optional<SongMetadata> result;
    QString failure;
    try {
        result = co_await m_api.fetchMetadata(url, platform, fetch->cancellation);
    } catch (const SongLinkError& error) {
        failure = error.logDescription();
    } catch (const std::exception& error) {
        failure = QString::fromUtf8(error.what());
    }
    fetch->finished = true;
    if (!self) {
        co_return;
    }
    const bool cancelled = fetch->cancellation.isCancelled();
    if (result) {
        if (!cancelled) {
            setSourceMetadata(result);
            setIsLoadingMetadata(false);
        }
        co_return;
    }
    debugLog(QStringLiteral("Queue: Failed to fetch metadata: ") + failure);
    if (!cancelled) {
        setIsLoadingMetadata(false);
    }
}

void ConversionQueue::cancelMetadataFetch() {
    if (!m_metadataTask) {
        return;
    }
    // A confirmation ends the preview's wait: no fetch will fill it any more.
    if (!m_metadataTask->finished && !m_metadataTask->cancellation.isCancelled()) {
        setIsLoadingMetadata(false);
    }
    m_metadataTask->cancellation.cancel();
}

// Dismiss timer

void ConversionQueue::startDismissTimer() {
    stopDismissTimer();
    // Any positive stored value is honoured; the timer itself takes at most about 24 days.
    const double ms = m_settings.toastTimeout() * 1000.0;
    const double bounded =
        std::isnan(ms) ? 0.0 : std::clamp(ms, 0.0, double(std::numeric_limits<int>::max()));
    m_dismissTimer.start(static_cast<int>(bounded));
}

void ConversionQueue::stopDismissTimer() {
    m_dismissTimer.stop();
    m_dismissDeferred = false;
}

void ConversionQueue::dismissTimerFired() {
    if (m_menu.isMenuOpen()) {
        m_dismissDeferred = true;
        return;
    }
    if (!m_currentRequest) {
        return;
    }
    // The handling runs a moment later; a close in between has moved on to another request,
    // which this time-out is not about.
    QPointer<ConversionQueue> self(this);
    const QUuid id = m_currentRequest->id;
    QMetaObject::invokeMethod(
        this,
        [self, id] {
            if (self && self->m_currentRequest && self->m_currentRequest->id == id) {
                self->handleDismissTimeout();
            }
        },
        Qt::QueuedConnection);
}

void ConversionQueue::handleDismissTimeout() {
    if (m_toastState.kind == ToastState::Kind::loading || m_toastState.kind == ToastState::Kind::success) {
        return;
    }
    if (m_isAskMode) {
        debugLog(QStringLiteral("Queue: Ask mode timeout - dismissing without conversion"));
    }
    setIsAskMode(false);
    setIsUniversalLinkMode(false);
    memory().resetLastProcessed();
    processNext();
}

// Confirmation

void ConversionQueue::confirmConversion() {
    if (!m_currentRequest) {
        return;
    }
    stopDismissTimer();
    cancelMetadataFetch();
    setToastState(ToastState::loading());
    performConversion();
}

void ConversionQueue::confirmConversion(Platform platform) {
    if (!m_currentRequest) {
        return;
    }
    debugLog(QStringLiteral("Queue: Confirming conversion to ") + Platforms::displayName(platform));
    const ConversionRequest& current = *m_currentRequest;
    setCurrentRequest(ConversionRequest(current.id, current.sourceURL, current.sourcePlatform, platform,
                                        ConversionRequest::ConversionState::converting(), false, false));
    m_lastTargetPlatform = platform;
    setIsAskMode(false);
    setIsUniversalLinkMode(false);
    stopDismissTimer();
    cancelMetadataFetch();
    setToastState(ToastState::loading());
    performConversion();
}

void ConversionQueue::retry() {
    confirmConversion();
}

void ConversionQueue::dismiss() {
    stopDismissTimer();
    memory().resetLastProcessed();
    processNext();
}

// Conversion run

void ConversionQueue::performConversion() {
    if (!m_currentRequest) {
        return;
    }
    // Whatever is copied from now on is newer than this conversion's result.
    runConversion(*m_currentRequest, m_pasteboard.changeCount());
}

bool ConversionQueue::isCurrent(const ConversionRequest& request) const {
    return m_currentRequest && m_currentRequest->id == request.id;
}

QCoro::Task<> ConversionQueue::runConversion(ConversionRequest request, int clipboardAtStart) {
    QPointer<ConversionQueue> self(this);
    QString link;
    std::optional<SongMetadata> sourceSide;
    std::optional<SongMetadata> targetSide;
    std::optional<ToastState> failure;
    try {
        if (request.isUniversalLink) {
            const UniversalLinkResult result = co_await m_api.getUniversalLink(request.sourceURL);
            link = result.pageURL;
            sourceSide = result.metadata;
        } else {
            const ConversionResult result = co_await m_api.convert(request.sourceURL, request.targetPlatform);
            link = result.targetURL;
            sourceSide = result.sourceMetadata;
            targetSide = result.targetMetadata;
        }
    } catch (const SongLinkError& error) {
        failure = ToastState::error(error.errorDescription(), error.recoverySuggestion());
    } catch (const std::exception& error) {
        failure = ToastState::error(QStringLiteral("Conversion failed"), QString::fromUtf8(error.what()));
    }
    // A request that was closed, or that the queue moved past, leaves everything as it is now.
    if (!self || !isCurrent(request)) {
        co_return;
    }
    if (failure) {
        handleConversionError(*failure);
        co_return;
    }

    if (m_pasteboard.changeCount() != clipboardAtStart || memory().hasUnreadChange()) {
        // The user copied something meanwhile: the result would overwrite it.
        debugLog(QStringLiteral("Queue: Clipboard changed during conversion, result not written"));
        memory().resetLastProcessed();
        processNext();
        co_return;
    }
    m_pasteboard.writeString(link);
    if (!m_sourceMetadata) {
        setSourceMetadata(sourceSide);
    }
    setTargetMetadata(targetSide);
    setToastState(ToastState::success());
    memory().markProcessed(link);

    co_await preciseSleep(m_successHold);
    if (!self || !isCurrent(request)) {
        co_return; // a close during the hold has already moved on
    }
    processNext();
}

void ConversionQueue::handleConversionError(const ToastState& error) {
    setToastState(error);
    startDismissTimer();
}

// Published setters: each assignment is announced, also of an unchanged value.

void ConversionQueue::setCurrentRequest(std::optional<ConversionRequest> request) {
    m_currentRequest = std::move(request);
    emit currentRequestChanged();
    emit changed();
}

void ConversionQueue::setQueueCount(int count) {
    m_queueCount = count;
    emit queueCountChanged(count);
    emit changed();
}

void ConversionQueue::setToastState(ToastState state) {
    m_toastState = std::move(state);
    emit toastStateChanged();
    emit changed();
}

void ConversionQueue::setIsToastVisible(bool visible) {
    m_isToastVisible = visible;
    emit isToastVisibleChanged(visible);
    emit changed();
}

void ConversionQueue::setSourceMetadata(std::optional<SongMetadata> metadata) {
    m_sourceMetadata = std::move(metadata);
    emit sourceMetadataChanged();
    emit changed();
}

void ConversionQueue::setTargetMetadata(std::optional<SongMetadata> metadata) {
    m_targetMetadata = std::move(metadata);
    emit targetMetadataChanged();
    emit changed();
}

void ConversionQueue::setIsLoadingMetadata(bool loading) {
    m_isLoadingMetadata = loading;
    emit isLoadingMetadataChanged(loading);
    emit changed();
}

void ConversionQueue::setIsAskMode(bool askMode) {
    m_isAskMode = askMode;
    emit isAskModeChanged(askMode);
    emit changed();
}

void ConversionQueue::setIsUniversalLinkMode(bool universal) {
    m_isUniversalLinkMode = universal;
    emit isUniversalLinkModeChanged(universal);
    emit changed();
}

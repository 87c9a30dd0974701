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
#include <coroutine>
#include <limits>
#include <utility>

// One metadata fetch: whether it was cancelled, and whether it is still running.
struct MetadataFetch {
    CancellationToken cancellation;
    bool finished = false;
};

// One clipboard read. It answers no text when the queue goes first, so that a conversion
// waiting for it ends with the queue.
struct ClipboardRead {
    Pasteboard::Contents contents;
    bool answered = false;
    std::coroutine_handle<> waiter;

    void answer(Pasteboard::Contents value) {
        if (answered) {
            return;
        }
        contents = std::move(value);
        answered = true;
        if (const std::coroutine_handle<> resumed = std::exchange(waiter, nullptr)) {
            resumed.resume();
        }
    }
};

// The clipboard a result may replace: the copy its link came from, or, when the user asked for
// the conversion, whatever the clipboard held at that moment.
struct ClipboardBaseline {
    int changeCount = 0;
    std::shared_ptr<ClipboardRead> text;
};

namespace {
QString flag(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

// Waits for a read's answer. Copies of it share the read, as the awaiting task may copy it.
struct ReadAnswer {
    std::shared_ptr<ClipboardRead> read;
    bool await_ready() const noexcept { return read->answered; }
    void await_suspend(std::coroutine_handle<> handle) const noexcept { read->waiter = handle; }
    Pasteboard::Contents await_resume() const { return read->contents; }
};

// Tries at writing a result: a refused write or a change of owner during the look is tried again.
constexpr int writeAttempts = 3;
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
                              bool autoConvert, std::optional<ConversionRequest::Copy> copiedFrom) {
    debugLog(QStringLiteral("Queue: Enqueuing: %1 (%2 -> %3), autoConvert: %4")
                 .arg(url, Platforms::displayName(sourcePlatform), Platforms::displayName(targetPlatform),
                      flag(autoConvert)));
    ConversionRequest request(QUuid::createUuid(), url, sourcePlatform, targetPlatform,
                              ConversionRequest::ConversionState::pending(), autoConvert, false);
    request.copiedFrom = std::move(copiedFrom);
    m_queue.append(std::move(request));
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

void ConversionQueue::enqueueUniversalLink(const QString& url, Platform sourcePlatform, bool autoConvert,
                                           std::optional<ConversionRequest::Copy> copiedFrom) {
    debugLog(QStringLiteral("Queue: Enqueuing (Universal Link): %1 from %2, autoConvert: %3")
                 .arg(url, Platforms::displayName(sourcePlatform), flag(autoConvert)));
    ConversionRequest request(QUuid::createUuid(), url, sourcePlatform, sourcePlatform,
                              ConversionRequest::ConversionState::pending(), autoConvert, true);
    request.copiedFrom = std::move(copiedFrom);
    append(std::move(request));
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
        performConversion(false);
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
    performConversion(true);
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
    performConversion(true);
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

void ConversionQueue::performConversion(bool confirmed) {
    if (!m_currentRequest) {
        return;
    }
    auto baseline = std::make_shared<ClipboardBaseline>();
    if (!confirmed && m_currentRequest->copiedFrom) {
        // Nobody asked for this result: it may replace the copy its link came from, nothing newer.
        baseline->changeCount = m_currentRequest->copiedFrom->changeCount;
        baseline->text = std::make_shared<ClipboardRead>();
        baseline->text->answer(
            Pasteboard::Contents::of(Pasteboard::Contents::Kind::Text, m_currentRequest->copiedFrom->text));
    } else {
        // The user asked for it: what the clipboard holds now is theirs to replace, whether the
        // watcher has read it or not; only a copy made from now on is newer, and the read never
        // takes one for the clipboard of this moment, however long it waits for its turn.
        baseline->changeCount = m_pasteboard.changeCount();
        baseline->text = readClipboard(true);
    }
    runConversion(*m_currentRequest, std::move(baseline));
}

std::shared_ptr<ClipboardRead> ConversionQueue::readClipboard(bool pinned) {
    if (!m_readContext) {
        // A child, so that it goes after the queue's pointers to itself are cleared: the reads
        // still open then answer none, and the conversions waiting for them end.
        m_readContext = new QObject(this);
        connect(m_readContext, &QObject::destroyed, [reads = m_openReads] {
            for (const std::weak_ptr<ClipboardRead>& weak : *reads) {
                if (const std::shared_ptr<ClipboardRead> read = weak.lock()) {
                    read->answer({});
                }
            }
        });
    }
    std::erase_if(*m_openReads, [](const std::weak_ptr<ClipboardRead>& weak) {
        const std::shared_ptr<ClipboardRead> read = weak.lock();
        return !read || read->answered;
    });
    auto read = std::make_shared<ClipboardRead>();
    m_openReads->push_back(read);
    m_pasteboard.read(
        m_readContext,
        [read](Pasteboard::Contents contents) {
            const std::shared_ptr<ClipboardRead> answered = read; // the resumed task may outlive this
            answered->answer(std::move(contents));
        },
        pinned);
    return read;
}

bool ConversionQueue::isCurrent(const ConversionRequest& request) const {
    return m_currentRequest && m_currentRequest->id == request.id;
}

QCoro::Task<> ConversionQueue::runConversion(ConversionRequest request,
                                             std::shared_ptr<ClipboardBaseline> baseline) {
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

    const bool written = co_await writeResult(request, link, baseline);
    if (!self || !isCurrent(request)) {
        co_return;
    }
    if (!written) {
        memory().resetLastProcessed();
        processNext();
        co_return;
    }
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

// A new owner of the same text (the link copied again, a clipboard manager keeping it) is no
// newer copy; a different text, or one that cannot be read, is, and keeps the result out. An
// empty clipboard holds nothing the user could lose: the result goes there whatever came before.
QCoro::Task<bool> ConversionQueue::writeResult(ConversionRequest request, QString link,
                                               std::shared_ptr<ClipboardBaseline> baseline) {
    using Kind = Pasteboard::Contents::Kind;
    QPointer<ConversionQueue> self(this);
    QString reason = QStringLiteral("Queue: Clipboard write refused, result not written");
    bool look = baseline->text->answered && baseline->text->contents.kind == Kind::Newer;
    for (int attempt = 0; attempt < writeAttempts; ++attempt) {
        const int seen = m_pasteboard.changeCount();
        if (look || seen != baseline->changeCount) {
            // Named, not temporaries: GCC 12 destroys a temporary in a co_await operand twice.
            ReadAnswer copiedAnswer{baseline->text};
            const Pasteboard::Contents copied = co_await copiedAnswer;
            if (!self || !isCurrent(request)) {
                co_return false;
            }
            ReadAnswer nowAnswer{readClipboard(false)};
            const Pasteboard::Contents now = co_await nowAnswer;
            if (!self || !isCurrent(request)) {
                co_return false;
            }
            if (now.kind != Kind::NoOwner && (!copied.string() || now.string() != copied.string())) {
                debugLog(QStringLiteral("Queue: Clipboard changed during conversion, result not written"));
                co_return false;
            }
            if (m_pasteboard.changeCount() != seen) {
                reason = QStringLiteral("Queue: Clipboard kept changing, result not written");
                look = true;
                continue; // taken again while being read: look again
            }
        }
        if (m_pasteboard.writeString(link)) {
            co_return true;
        }
        reason = QStringLiteral("Queue: Clipboard write refused, result not written");
        look = true; // whoever was quicker is looked at before the next try
    }
    debugLog(reason);
    co_return false;
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

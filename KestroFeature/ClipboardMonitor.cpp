#include "ClipboardMonitor.h"

#include "AppConstants.h"
#include "ConversionQueue.h"
#include "DebugLog.h"
#include "MusicURLParser.h"
#include "Pasteboard.h"
#include "SettingsManager.h"
#include "TextCounting.h"

#include <utility>

ClipboardMonitor::ClipboardMonitor(SettingsManager& settings, Pasteboard& pasteboard, ConversionQueue* queue,
                                   QObject* parent)
    : QObject(parent), m_settings(settings), m_pasteboard(pasteboard), m_queue(queue),
      m_readTimeoutMs(static_cast<int>(AppConstants::clipboardReadTimeout * 1000)) {
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(static_cast<int>(AppConstants::clipboardPollInterval * 1000));
    connect(&m_timer, &QTimer::timeout, this, [this] {
        // A tick only schedules the check, as a separate step on the GUI thread.
        QMetaObject::invokeMethod(this, &ClipboardMonitor::checkClipboard, Qt::QueuedConnection);
    });
}

std::optional<QString> ClipboardMonitor::lookedAt(const Pasteboard::Contents& contents) {
    std::optional<QString> text = contents.string();
    if (text && TextCounting::exceeds(*text, maxTextLength)) {
        text.reset();
    }
    return text;
}

ClipboardMonitor& ClipboardMonitor::shared() {
    static ClipboardMonitor* instance =
        new ClipboardMonitor(SettingsManager::shared(), Pasteboard::general());
    return *instance;
}

ConversionQueue& ClipboardMonitor::queue() {
    return m_queue ? *m_queue : ConversionQueue::shared();
}

void ClipboardMonitor::startMonitoring() {
    m_lastChangeCount = m_pasteboard.changeCount();
    debugLog(QStringLiteral("Started clipboard monitoring, initial changeCount: %1").arg(m_lastChangeCount));
    // What the clipboard holds now counts as read: a clipboard manager keeping it once its
    // program quits is then no copy either. Pinned, and never over a tick's read: newer copies
    // are theirs.
    m_pasteboard.read(
        this,
        [this, start = m_lastChangeCount](const Pasteboard::Contents& contents) {
            const std::optional<QString> text = lookedAt(contents);
            if (text && m_lastReadCount <= start) {
                m_lastReadText = text;
                m_lastReadCount = start;
            }
        },
        true);
    m_timer.start();
    debugLog(QStringLiteral("Timer added to main run loop"));
}

void ClipboardMonitor::stopMonitoring() {
    m_timer.stop();
}

void ClipboardMonitor::checkClipboard() {
    if (!m_settings.isEnabled()) {
        return;
    }
    if (m_pasteboard.changeCount() == m_lastChangeCount) {
        return;
    }
    if (m_isReadingClipboard) {
        if (m_readingStartTime.isValid() && m_readingStartTime.elapsed() > m_readTimeoutMs) {
            debugLog(QStringLiteral("Clipboard read timeout, resetting flag"));
            m_isReadingClipboard = false;
            m_readingStartTime.invalidate();
        } else {
            return;
        }
    }
    m_lastChangeCount = m_pasteboard.changeCount();
    m_isReadingClipboard = true;
    m_readingStartTime.start();
    debugLog(QStringLiteral("Clipboard changed, new changeCount: %1").arg(m_lastChangeCount));

    m_pasteboard.read(this, [this, seen = m_lastChangeCount](const Pasteboard::Contents& contents) {
        const std::optional<QString> text = lookedAt(contents);
        m_isReadingClipboard = false;
        m_readingStartTime.invalidate();
        if (std::exchange(m_readOvertaken, false)) {
            // Our own write came in meanwhile; the next tick reads what the clipboard holds now.
            debugLog(QStringLiteral("Clipboard written while being read, reading again"));
            return;
        }
        // A clipboard manager keeping the copy its program left is no new copy, even once the
        // link itself has been forgotten (a time-out, a dismiss). Only a copy read here can be
        // kept: the manager taking it over is then the one change since, and none came during
        // this read (which may have followed a newer owner). With more, the clipboard held
        // something else meanwhile: our result, or the same link copied again and gone unread.
        const bool oneChangeSinceRead = seen == m_lastReadCount + 1 && m_pasteboard.changeCount() == seen;
        if (contents.restored && text && text == m_lastReadText && oneChangeSinceRead) {
            debugLog(QStringLiteral("Clipboard kept after its owner left, same content, skipping"));
            return;
        }
        if (contents.kind != Pasteboard::Contents::Kind::NoOwner) {
            m_lastReadText = text;
            m_lastReadCount = seen;
        }
        processClipboardContent(text);
    });
}

void ClipboardMonitor::processClipboardContent(const std::optional<QString>& content) {
    if (!content) {
        debugLog(QStringLiteral("No string content in clipboard"));
        setPending(std::nullopt, std::nullopt);
        return;
    }
    const std::optional<MusicURLParser::Match> match = MusicURLParser::parse(*content);
    // The log is a file kept for good: of a copy it keeps the track link alone, never the text
    // around it (an address, a password); of anything else only its length.
    if (match) {
        debugLog(QStringLiteral("Clipboard content: ") +
                 TextCounting::prefix(match->url, loggedTextLength, loggedTextBytes) + QStringLiteral("..."));
    } else {
        debugLog(
            QStringLiteral("Clipboard content: %1 characters").arg(TextCounting::characterCount(*content)));
    }
    if (!match) {
        debugLog(QStringLiteral("No music track URL found"));
        setPending(std::nullopt, std::nullopt);
        return;
    }
    const QString& link = match->url;
    const Platform platform = match->platform;
    const QString name = Platforms::displayName(platform);
    debugLog(QStringLiteral("Found %1 URL: %2").arg(name, link));

    if (!m_settings.shouldDetect(platform)) {
        debugLog(QStringLiteral("Platform %1 not valid for current settings, ignoring").arg(name));
        return;
    }
    if (m_lastProcessedURL == link) {
        debugLog(QStringLiteral("Same URL as last processed, skipping"));
        return;
    }
    m_lastProcessedURL = link;
    m_detectedMusicURL = link;
    m_detectedPlatform = platform;
    emit detectedChanged();

    // What a conversion without the user's word may replace: this very copy.
    const ConversionRequest::Copy copiedFrom{m_lastChangeCount, *content};
    const ConversionMode mode = m_settings.conversionMode();
    const TargetServiceOption targetService = m_settings.targetService();
    const std::optional<Platform> target = m_settings.targetPlatform(platform);

    if (mode == ConversionMode::silent) {
        setPending(link, platform);
        debugLog(QStringLiteral("Silent mode: stored pending URL for manual conversion"));
        return;
    }
    setPending(std::nullopt, std::nullopt);
    const bool automatic = mode == ConversionMode::automatic;
    switch (targetService) {
    case TargetServiceOption::universalLink:
        debugLog(automatic
                     ? QStringLiteral("Automatic mode: enqueuing URL for universal link auto-conversion")
                     : QStringLiteral("Default mode: enqueuing URL for universal link conversion"));
        queue().enqueueUniversalLink(link, platform, automatic, copiedFrom);
        return;
    case TargetServiceOption::askEachTime:
        debugLog(automatic
                     ? QStringLiteral("Automatic mode (Ask Each Time): enqueuing URL for user selection")
                     : QStringLiteral("Default mode (Ask Each Time): enqueuing URL for user selection"));
        queue().enqueueAskMode(link, platform);
        return;
    default:
        if (!target) {
            return; // still counts as processed
        }
        debugLog((automatic ? QStringLiteral("Automatic mode: enqueuing URL for auto-conversion to ")
                            : QStringLiteral("Default mode: enqueuing URL for conversion to ")) +
                 Platforms::displayName(*target));
        queue().enqueue(link, platform, *target, automatic, copiedFrom);
        return;
    }
}

void ClipboardMonitor::convertPendingURL() {
    if (!m_pendingMusicURL || !m_pendingPlatform) {
        return;
    }
    const QString link = *m_pendingMusicURL;
    const Platform platform = *m_pendingPlatform;
    const TargetServiceOption targetService = m_settings.targetService();
    setPending(std::nullopt, std::nullopt);
    switch (targetService) {
    case TargetServiceOption::universalLink:
        queue().enqueueUniversalLink(link, platform, true);
        return;
    case TargetServiceOption::askEachTime:
        queue().enqueueAskMode(link, platform);
        return;
    default:
        if (const std::optional<Platform> target = m_settings.targetPlatform(platform)) {
            queue().enqueue(link, platform, *target, true);
        } else {
            debugLog(QStringLiteral("No target platform for %1 in current settings")
                         .arg(Platforms::displayName(platform)));
        }
        return;
    }
}

void ClipboardMonitor::convertPendingURL(Platform platform) {
    if (!m_pendingMusicURL || !m_pendingPlatform) {
        return;
    }
    const QString link = *m_pendingMusicURL;
    const Platform source = *m_pendingPlatform;
    setPending(std::nullopt, std::nullopt);
    queue().enqueue(link, source, platform, true);
}

void ClipboardMonitor::clearPending() {
    setPending(std::nullopt, std::nullopt);
}

void ClipboardMonitor::resetLastProcessed() {
    m_lastProcessedURL.reset();
    // The change count stays as last seen. Whatever the watcher has read is counted already; a
    // change it has not looked at yet is a copy made since, which taking the count over would
    // lose without a trace.
}

void ClipboardMonitor::markProcessed(const QString& url) {
    // Remembered as the watcher finds it, so that the link read back (a clipboard manager takes
    // it over right after our write) is known as ours, query and all.
    const std::optional<MusicURLParser::Match> match = MusicURLParser::parse(url);
    m_lastProcessedURL = match ? match->url : url;
    const int count = m_pasteboard.changeCount();
    if (m_isReadingClipboard) {
        m_readOvertaken = true; // what that read brings may be from before our write
    } else if (count == m_lastChangeCount + 1) {
        m_lastChangeCount = count;
    }
}

void ClipboardMonitor::setPending(std::optional<QString> url, std::optional<Platform> platform) {
    m_pendingMusicURL = std::move(url);
    m_pendingPlatform = platform;
    emit pendingChanged();
}

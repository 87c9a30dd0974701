#pragma once

#include "Pasteboard.h"
#include "Platform.h"
#include "ProcessedLinkMemory.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

class ConversionQueue;
class SettingsManager;

// Watches the clipboard for copied track links and hands them on by the conversion mode:
// to the queue, or (silent mode) as the pending link the status menu offers.
class ClipboardMonitor : public QObject, public ProcessedLinkMemory {
    Q_OBJECT

public:
    // Longest clipboard text looked at, in user-perceived characters.
    static constexpr qsizetype maxTextLength = 2000;
    // Most of a copied link quoted in the log: characters, and UTF-8 bytes.
    static constexpr qsizetype loggedTextLength = 100;
    static constexpr qsizetype loggedTextBytes = 1024;

    // The queue is looked up as the shared one when none is given.
    ClipboardMonitor(SettingsManager& settings, Pasteboard& pasteboard, ConversionQueue* queue = nullptr,
                     QObject* parent = nullptr);

    static ClipboardMonitor& shared();

    std::optional<QString> detectedMusicURL() const { return m_detectedMusicURL; }
    std::optional<Platform> detectedPlatform() const { return m_detectedPlatform; }
    std::optional<QString> pendingMusicURL() const { return m_pendingMusicURL; }
    std::optional<Platform> pendingPlatform() const { return m_pendingPlatform; }
    int lastChangeCount() const { return m_lastChangeCount; }
    std::optional<QString> lastProcessedURL() const { return m_lastProcessedURL; }
    bool isReadingClipboard() const { return m_isReadingClipboard; }
    bool isMonitoring() const { return m_timer.isActive(); }

    void startMonitoring();
    void stopMonitoring();
    void checkClipboard();
    void processClipboardContent(const std::optional<QString>& content);
    void convertPendingURL();
    void convertPendingURL(Platform platform);
    void clearPending();

    void resetLastProcessed() override;
    void markProcessed(const QString& url) override;

    // Tests shorten the stuck-read guard; the program keeps the default.
    void setReadTimeoutForTesting(int milliseconds) { m_readTimeoutMs = milliseconds; }

signals:
    void detectedChanged();
    void pendingChanged();

private:
    ConversionQueue& queue();
    // A read's text, none when it is longer than the watcher looks at.
    static std::optional<QString> lookedAt(const Pasteboard::Contents& contents);
    void setPending(std::optional<QString> url, std::optional<Platform> platform);

    SettingsManager& m_settings;
    Pasteboard& m_pasteboard;
    ConversionQueue* m_queue;

    std::optional<QString> m_detectedMusicURL;
    std::optional<Platform> m_detectedPlatform;
    std::optional<QString> m_pendingMusicURL;
    std::optional<Platform> m_pendingPlatform;
    int m_lastChangeCount = 0;
    QTimer m_timer;
    std::optional<QString> m_lastProcessedURL;
    bool m_isReadingClipboard = false;
    bool m_readOvertaken = false; // our own write landed while a read was in flight
    // What the last read found, kept through a time-out or dismiss that forgets the link.
    std::optional<QString> m_lastReadText;
    int m_lastReadCount = 0;          // the change count that read was started at
    QElapsedTimer m_readingStartTime; // valid only while a read is in flight
    int m_readTimeoutMs;
};

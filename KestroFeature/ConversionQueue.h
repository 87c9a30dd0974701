#pragma once

#include "ConversionRequest.h"
#include "Platform.h"
#include "SongLinkModels.h"
#include "ToastState.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <vector>

class MenuTracking;
class Pasteboard;
class ProcessedLinkMemory;
class SettingsManager;
class SongLinkService;
struct MetadataFetch;
struct ClipboardBaseline;
struct ClipboardRead;

// Takes detected links one at a time: shows each in the toast, converts it at once or when
// the user confirms, writes the result to the clipboard and moves on. Every published value
// announces each assignment, also of an unchanged value.
class ConversionQueue : public QObject {
    Q_OBJECT

public:
    // Holds the toast in its success state before moving on.
    static constexpr std::chrono::milliseconds successHold{5000};

    // The processed-link memory is the shared clipboard watcher when none is given.
    ConversionQueue(SettingsManager& settings, SongLinkService& api, Pasteboard& pasteboard,
                    MenuTracking& menu, ProcessedLinkMemory* memory = nullptr, QObject* parent = nullptr);
    ~ConversionQueue() override;

    static ConversionQueue& shared();

    void setProcessedLinkMemory(ProcessedLinkMemory* memory) { m_memory = memory; }

    // Published state.
    const std::optional<ConversionRequest>& currentRequest() const { return m_currentRequest; }
    int queueCount() const { return m_queueCount; }
    const ToastState& toastState() const { return m_toastState; }
    bool isToastVisible() const { return m_isToastVisible; }
    const std::optional<SongMetadata>& sourceMetadata() const { return m_sourceMetadata; }
    const std::optional<SongMetadata>& targetMetadata() const { return m_targetMetadata; }
    bool isLoadingMetadata() const { return m_isLoadingMetadata; }
    bool isAskMode() const { return m_isAskMode; }
    bool isUniversalLinkMode() const { return m_isUniversalLinkMode; }

    Platform displaySourcePlatform() const;
    Platform displayTargetPlatform() const;
    bool hasQueuedRequests() const { return !m_queue.isEmpty(); }
    bool isDismissTimerRunning() const { return m_dismissTimer.isActive() || m_dismissDeferred; }

    // A copied link comes with the clipboard it was read from; a link from the menu without.
    void enqueue(const QString& url, Platform sourcePlatform, Platform targetPlatform, bool autoConvert,
                 std::optional<ConversionRequest::Copy> copiedFrom = std::nullopt);
    void enqueue(const QString& url, bool autoConvert);
    void enqueueAskMode(const QString& url, Platform sourcePlatform);
    void enqueueUniversalLink(const QString& url, Platform sourcePlatform, bool autoConvert,
                              std::optional<ConversionRequest::Copy> copiedFrom = std::nullopt);

    void processNext();
    void confirmConversion();
    void confirmConversion(Platform platform);
    void retry();
    void dismiss();

    // Tests shorten the success hold; the program keeps the default.
    void setSuccessHoldForTesting(std::chrono::milliseconds hold) { m_successHold = hold; }

signals:
    // Any published value was assigned.
    void changed();
    void currentRequestChanged();
    void queueCountChanged(int count);
    void toastStateChanged();
    void isToastVisibleChanged(bool visible);
    void sourceMetadataChanged();
    void targetMetadataChanged();
    void isLoadingMetadataChanged(bool loading);
    void isAskModeChanged(bool askMode);
    void isUniversalLinkModeChanged(bool universal);

private:
    void append(ConversionRequest request);
    void fetchMetadata(const QString& url, Platform platform);
    QCoro::Task<> runMetadataFetch(QString url, Platform platform, std::shared_ptr<MetadataFetch> fetch);
    void cancelMetadataFetch();
    void startDismissTimer();
    void stopDismissTimer();
    void dismissTimerFired();
    void handleDismissTimeout();
    void performConversion(bool confirmed);
    QCoro::Task<> runConversion(ConversionRequest request, std::shared_ptr<ClipboardBaseline> baseline);
    QCoro::Task<bool> writeResult(ConversionRequest request, QString link,
                                  std::shared_ptr<ClipboardBaseline> baseline);
    std::shared_ptr<ClipboardRead> readClipboard(bool pinned);
    void handleConversionError(const ToastState& error);
    bool isCurrent(const ConversionRequest& request) const;
    ProcessedLinkMemory& memory();

    void setCurrentRequest(std::optional<ConversionRequest> request);
    void setQueueCount(int count);
    void setToastState(ToastState state);
    void setIsToastVisible(bool visible);
    void setSourceMetadata(std::optional<SongMetadata> metadata);
    void setTargetMetadata(std::optional<SongMetadata> metadata);
    void setIsLoadingMetadata(bool loading);
    void setIsAskMode(bool askMode);
    void setIsUniversalLinkMode(bool universal);

    SettingsManager& m_settings;
    SongLinkService& m_api;
    Pasteboard& m_pasteboard;
    MenuTracking& m_menu;
    ProcessedLinkMemory* m_memory;

    std::optional<ConversionRequest> m_currentRequest;
    int m_queueCount = 0;
    ToastState m_toastState = ToastState::prompt();
    bool m_isToastVisible = false;
    std::optional<SongMetadata> m_sourceMetadata;
    std::optional<SongMetadata> m_targetMetadata;
    bool m_isLoadingMetadata = false;
    bool m_isAskMode = false;
    bool m_isUniversalLinkMode = false;

    Platform m_lastSourcePlatform = Platform::spotify;
    Platform m_lastTargetPlatform = Platform::appleMusic;
    QList<ConversionRequest> m_queue;
    QTimer m_dismissTimer;
    bool m_dismissDeferred = false; // expired while the status menu was open
    std::shared_ptr<MetadataFetch> m_metadataTask;
    std::chrono::milliseconds m_successHold = successHold;
    QObject* m_readContext = nullptr; // the clipboard reads' context, made on first use
    std::shared_ptr<std::vector<std::weak_ptr<ClipboardRead>>> m_openReads =
        std::make_shared<std::vector<std::weak_ptr<ClipboardRead>>>();
};

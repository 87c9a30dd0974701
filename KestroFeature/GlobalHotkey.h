#pragma once

#include "KeyEventMonitor.h"

#include <QObject>

#include <memory>

class Accessibility;
class ConversionQueue;

// Ctrl+Return (Command+Return on the original platform) confirms the conversion the toast
// offers, whichever program is in front: the same as the toast's convert button.
class GlobalHotkey : public QObject {
    Q_OBJECT

public:
    GlobalHotkey(ConversionQueue& queue, Accessibility& accessibility, KeyMonitorFactory& monitors,
                 QObject* parent = nullptr);
    ~GlobalHotkey() override;

    static GlobalHotkey& shared();

    // Installs the global and the local monitor, replacing any installed before. Never fails;
    // the outcome is only logged.
    void registerHotkey();
    // Removes both monitors; nothing when none is installed.
    void unregisterHotkey();

    // The decision for one key press.
    void handleKeyEvent(const KeyDownEvent& event);

    bool hasGlobalMonitor() const { return m_globalMonitor != nullptr; }
    bool hasLocalMonitor() const { return m_localMonitor != nullptr; }

private:
    KeyDownHandler scheduledHandler();
    // Ctrl+Return is ours alone while the toast offers to convert (its prompt, or an error with
    // Retry): otherwise the press would also act in the focused program, sending a mail, say.
    void followToast();

    ConversionQueue& m_queue;
    Accessibility& m_accessibility;
    KeyMonitorFactory& m_monitors;
    std::unique_ptr<KeyEventMonitor> m_globalMonitor;
    std::unique_ptr<KeyEventMonitor> m_localMonitor;
    bool m_reportedTakenKey = false;
};

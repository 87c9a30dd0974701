#include "GlobalHotkey.h"

#include "Accessibility.h"
#include "ConversionQueue.h"
#include "DebugLog.h"

#include <QPointer>
#include <QTimer>

namespace {
QString flag(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
} // namespace

GlobalHotkey::GlobalHotkey(ConversionQueue& queue, Accessibility& accessibility, KeyMonitorFactory& monitors,
                           QObject* parent)
    : QObject(parent), m_queue(queue), m_accessibility(accessibility), m_monitors(monitors) {
    connect(&m_queue, &ConversionQueue::changed, this, &GlobalHotkey::followToast);
}

GlobalHotkey::~GlobalHotkey() = default;

GlobalHotkey& GlobalHotkey::shared() {
    static GlobalHotkey* instance = new GlobalHotkey(ConversionQueue::shared(), Accessibility::shared(),
                                                     SystemKeyMonitorFactory::shared());
    return *instance;
}

void GlobalHotkey::registerHotkey() {
    const bool trusted = m_accessibility.isTrusted();
    debugLog(QStringLiteral("Hotkey: Accessibility trusted = ") + flag(trusted));
    if (!trusted) {
        debugLog(QStringLiteral(
            "Hotkey: Permission not granted. Allow the Ctrl+Return shortcut in the onboarding or "
            "with \"Enable Hotkey\" in the tray menu"));
    }
    // A second registration replaces the monitors, so no press is handled twice.
    m_globalMonitor.reset();
    m_localMonitor.reset();

    m_globalMonitor = m_monitors.addGlobalMonitor(scheduledHandler());
    debugLog(QStringLiteral("Hotkey: Global monitor registered = ") + flag(m_globalMonitor != nullptr));
    if (auto* global = qobject_cast<GlobalKeyEventMonitor*>(m_globalMonitor.get())) {
        connect(global, &GlobalKeyEventMonitor::controlReturnTaken, this, [this] {
            if (!m_reportedTakenKey) {
                m_reportedTakenKey = true;
                debugLog(QStringLiteral("Hotkey: Ctrl+Return is held by another program; it also reaches the "
                                        "focused program"));
            }
        });
    }
    followToast();
    m_localMonitor = m_monitors.addLocalMonitor(scheduledHandler());
    debugLog(QStringLiteral("Hotkey: Local monitor registered = ") + flag(m_localMonitor != nullptr));
}

void GlobalHotkey::unregisterHotkey() {
    m_globalMonitor.reset();
    m_localMonitor.reset();
}

void GlobalHotkey::followToast() {
    if (!m_globalMonitor) {
        return;
    }
    const ToastState::Kind state = m_queue.toastState().kind;
    m_globalMonitor->claimControlReturn(
        m_queue.isToastVisible() && !m_queue.isAskMode() &&
        (state == ToastState::Kind::prompt || state == ToastState::Kind::error));
}

KeyDownHandler GlobalHotkey::scheduledHandler() {
    // The decision runs after the monitor's handler has returned; the local monitor never
    // waits for it, and a hot-key object that is gone decides nothing.
    QPointer<GlobalHotkey> self(this);
    return [self](const KeyDownEvent& event) {
        if (!self) {
            return;
        }
        QTimer::singleShot(0, self.data(), [self, event] {
            if (self) {
                self->handleKeyEvent(event);
            }
        });
    };
}

void GlobalHotkey::handleKeyEvent(const KeyDownEvent& event) {
    const bool isReturn = event.key == KeyDownEvent::Key::returnKey;
    const bool isEnter = isReturn || event.key == KeyDownEvent::Key::keypadEnter;
    // Only the two Enter keys are written down: a line for every key would keep a record of
    // everything the user types, in every program.
    if (!isEnter) {
        return;
    }
    const bool command = event.hasModifier(KeyDownEvent::controlMask);
    const bool toastVisible = m_queue.isToastVisible();
    debugLog(QStringLiteral("Hotkey: Key event - keyCode=%1, cmd=%2, toastVisible=%3")
                 .arg(event.keyCode)
                 .arg(flag(command), flag(toastVisible)));
    if (!command || !isReturn || !toastVisible) {
        return;
    }
    debugLog(QStringLiteral("Hotkey: Ctrl+Enter detected, toast visible"));
    if (m_queue.isAskMode()) {
        debugLog(QStringLiteral("Hotkey: Ask mode is active, ignoring keyboard shortcut"));
        return;
    }
    if (m_queue.toastState().kind == ToastState::Kind::prompt) {
        debugLog(QStringLiteral("Hotkey: Triggering conversion"));
        m_queue.confirmConversion();
    } else if (m_queue.toastState().isError()) {
        // The press is ours alone here too (see followToast): it does what Retry does.
        debugLog(QStringLiteral("Hotkey: Retrying conversion"));
        m_queue.retry();
    }
}

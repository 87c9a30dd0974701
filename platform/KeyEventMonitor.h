#pragma once

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>

class Accessibility;

// One key press as the monitors report it. The key is told by its symbol, so a keyboard
// layout that moves Return to another key code still works.
struct KeyDownEvent {
    enum class Key { returnKey, keypadEnter, other };

    // X modifier masks (the state before the press).
    static constexpr std::uint32_t shiftMask = 0x1;
    static constexpr std::uint32_t lockMask = 0x2;
    static constexpr std::uint32_t controlMask = 0x4;
    static constexpr std::uint32_t mod1Mask = 0x8;  // Alt
    static constexpr std::uint32_t mod4Mask = 0x40; // Super

    Key key = Key::other;
    // The X key code (36 is Return with the usual evdev layouts); 0 where the platform has none.
    std::uint32_t keyCode = 0;
    std::uint32_t modifiers = 0;

    bool hasModifier(std::uint32_t mask) const { return (modifiers & mask) != 0; }
};

using KeyDownHandler = std::function<void(const KeyDownEvent&)>;

// Xlib is used from the observation thread: this must run before anything opens a display,
// so the program's main() calls it before creating the application object.
void initKeyObservationThreads();

// An installed monitor; removing it is destroying it. Handlers run on the GUI thread.
class KeyEventMonitor : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~KeyEventMonitor() override = default;

    // While claimed, Ctrl+Return goes to this program alone, not also to the focused one (the
    // monitor still reports it). Monitors that cannot take keys ignore this.
    virtual void claimControlReturn(bool claim) { Q_UNUSED(claim); }
};

// Presses of Return and keypad Enter sent to other programs, observed through the X RECORD
// extension on a thread of its own; every other key stays on that thread, unreported. It observes only while
// the accessibility check answers true and follows that answer as it changes. Presses that go to one of our
// own windows are left to the local monitor, so no press is reported twice.
class GlobalKeyEventMonitor : public KeyEventMonitor {
    Q_OBJECT

public:
    GlobalKeyEventMonitor(Accessibility& accessibility, KeyDownHandler handler, QObject* parent = nullptr);
    ~GlobalKeyEventMonitor() override;

    // The recording runs on the X server.
    bool isObserving() const { return m_observing; }

    // Taken through a passive grab on the root window, for as long as the recording runs.
    void claimControlReturn(bool claim) override;
    // The grab is in place: presses no longer reach the focused program.
    bool holdsControlReturn() const { return m_holding; }

signals:
    void observingChanged(bool observing);
    void holdsControlReturnChanged(bool holding);
    // The grab was refused (another program holds the key); presses go on as before.
    void controlReturnTaken();

private:
    struct Worker;

    void followTrust(bool trusted);
    void start();
    void stop();
    // focusWindow: the X window that had the keyboard focus when the press was recorded;
    // numLock: the modifier bit of Num Lock then.
    void deliver(std::uint64_t generation, const KeyDownEvent& event, unsigned long focusWindow,
                 std::uint32_t numLock);
    void setObserving(std::uint64_t generation, bool observing);
    void setHolding(std::uint64_t generation, bool holding, bool refused);

    Accessibility& m_accessibility;
    KeyDownHandler m_handler;
    std::unique_ptr<Worker> m_worker;
    // Tells a stopped recording's late reports from the current one's.
    std::uint64_t m_generation = 0;
    bool m_observing = false;
    bool m_claimed = false;
    bool m_holding = false;
};

// Key presses sent to this program's own windows: an application-wide event filter that
// reports each press once and lets it through unchanged.
class LocalKeyEventMonitor : public KeyEventMonitor {
    Q_OBJECT

public:
    explicit LocalKeyEventMonitor(KeyDownHandler handler, QObject* parent = nullptr);
    ~LocalKeyEventMonitor() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    KeyDownHandler m_handler;
};

// Creates the two monitors; none when the platform cannot make one.
class KeyMonitorFactory {
public:
    virtual ~KeyMonitorFactory() = default;
    virtual std::unique_ptr<KeyEventMonitor> addGlobalMonitor(KeyDownHandler handler) = 0;
    virtual std::unique_ptr<KeyEventMonitor> addLocalMonitor(KeyDownHandler handler) = 0;
};

class SystemKeyMonitorFactory : public KeyMonitorFactory {
public:
    explicit SystemKeyMonitorFactory(Accessibility& accessibility) : m_accessibility(accessibility) {}

    static SystemKeyMonitorFactory& shared();

    // Global: needs an X display to observe; local: needs the application object.
    std::unique_ptr<KeyEventMonitor> addGlobalMonitor(KeyDownHandler handler) override;
    std::unique_ptr<KeyEventMonitor> addLocalMonitor(KeyDownHandler handler) override;

private:
    Accessibility& m_accessibility;
};

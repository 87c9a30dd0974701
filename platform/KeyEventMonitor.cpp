#include "KeyEventMonitor.h"

#include "Accessibility.h"
#include "X11Display.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QWindow>
#include <QtDebug>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

// X headers after Qt's; their macros clash with Qt names, so keep what is needed and drop them.
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/record.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

namespace {
constexpr int xKeyPress = KeyPress;
constexpr KeySym xReturn = XK_Return;
constexpr KeySym xKeypadEnter = XK_KP_Enter;
constexpr int keepEvents = False; // XSync: keep queued events
constexpr unsigned long noWindow = None;
constexpr unsigned long pointerRoot = PointerRoot;
} // namespace

#undef KeyPress
#undef KeyRelease
#undef FocusIn
#undef FocusOut
#undef None
#undef Bool
#undef Status
#undef True
#undef False
#undef Unsorted
#undef Expose

void initKeyObservationThreads() {
    XInitThreads();
}

namespace {

using KeyTable = std::array<KeyDownEvent::Key, 256>;

// Return and keypad Enter by their unshifted symbol in the current layout.
KeyTable readKeyTable(Display* display) {
    KeyTable table;
    table.fill(KeyDownEvent::Key::other);
    int minCode = 0;
    int maxCode = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    int symbolsPerCode = 0;
    KeySym* symbols =
        XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &symbolsPerCode);
    if (!symbols) {
        return table;
    }
    for (int code = minCode; code <= maxCode && code < 256; ++code) {
        const KeySym first = symbols[(code - minCode) * symbolsPerCode];
        if (first == xReturn) {
            table[code] = KeyDownEvent::Key::returnKey;
        } else if (first == xKeypadEnter) {
            table[code] = KeyDownEvent::Key::keypadEnter;
        }
    }
    XFree(symbols);
    return table;
}

std::uint32_t xModifiers(Qt::KeyboardModifiers modifiers) {
    std::uint32_t mask = 0;
    if (modifiers & Qt::ShiftModifier) {
        mask |= KeyDownEvent::shiftMask;
    }
    if (modifiers & Qt::ControlModifier) {
        mask |= KeyDownEvent::controlMask;
    }
    if (modifiers & Qt::AltModifier) {
        mask |= KeyDownEvent::mod1Mask;
    }
    if (modifiers & Qt::MetaModifier) {
        mask |= KeyDownEvent::mod4Mask;
    }
    return mask;
}

// An open popup of ours (a menu) holds the keyboard.
bool popupHoldsKeyboard() {
    const QWindowList windows = QGuiApplication::allWindows();
    for (const QWindow* window : windows) {
        if (window->isVisible() && window->type() == Qt::Popup) {
            return true;
        }
    }
    return false;
}

// Whether a press went to one of our windows: the X focus is ours, or a popup of ours holds
// the keyboard. The X focus is asked for with the press because Qt learns of a focus change
// late (it defers losing focus by about 100 ms).
bool pressWentToUs(unsigned long focus) {
    if (popupHoldsKeyboard()) {
        return true;
    }
    const QWindowList windows = QGuiApplication::allWindows();
    if (focus == noWindow || focus == pointerRoot) {
        // Keys follow the pointer; Qt's view is the best there is.
        return QGuiApplication::focusWindow() != nullptr;
    }
    for (const QWindow* window : windows) {
        if (window->handle() && window->winId() == focus) {
            return true;
        }
    }
    return false;
}

// A press that the grab takes: Return with Control and no other modifier but the locks.
bool isClaimedPress(const KeyDownEvent& event) {
    constexpr std::uint32_t locks = KeyDownEvent::lockMask | XCB_MOD_MASK_2;
    return event.key == KeyDownEvent::Key::returnKey &&
           (event.modifiers & 0xff & ~locks) == KeyDownEvent::controlMask;
}

// Ctrl+Return taken on the root window through a connection of its own, whose events (the
// taken presses) are read and dropped: the recording reports them like any other press.
class ReturnGrab {
public:
    explicit ReturnGrab(const KeyTable& keys) {
        m_connection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_connection)) {
            return;
        }
        m_root = X11Display::rootWindow(m_connection);
        for (std::size_t code = 0; code < keys.size(); ++code) {
            if (keys[code] == KeyDownEvent::Key::returnKey) {
                m_codes.push_back(static_cast<xcb_keycode_t>(code));
            }
        }
    }
    ~ReturnGrab() { xcb_disconnect(m_connection); }
    ReturnGrab(const ReturnGrab&) = delete;
    ReturnGrab& operator=(const ReturnGrab&) = delete;

    int fd() const { return usable() ? xcb_get_file_descriptor(m_connection) : -1; }
    bool isHeld() const { return m_held; }

    // Whether every variant is now ours; a variant another program holds gives all back, so the
    // key behaves as without the grab.
    bool take() {
        if (!usable() || m_codes.empty()) {
            return false;
        }
        std::vector<xcb_void_cookie_t> cookies;
        for (const xcb_keycode_t code : m_codes) {
            for (const std::uint16_t modifiers : variants) {
                cookies.push_back(xcb_grab_key_checked(m_connection, 0, m_root, modifiers, code,
                                                       XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
            }
        }
        bool all = true;
        for (const xcb_void_cookie_t cookie : cookies) {
            if (xcb_generic_error_t* error = xcb_request_check(m_connection, cookie)) {
                all = false;
                std::free(error);
            }
        }
        m_held = all;
        if (!all) {
            release();
        }
        return all;
    }

    void release() {
        if (!usable()) {
            return;
        }
        // Only this connection's own grabs go.
        for (const xcb_keycode_t code : m_codes) {
            for (const std::uint16_t modifiers : variants) {
                xcb_ungrab_key(m_connection, code, m_root, modifiers);
            }
        }
        xcb_flush(m_connection);
        m_held = false;
    }

    void drain() {
        if (!usable()) {
            return;
        }
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
            std::free(event);
        }
    }

private:
    bool usable() const { return m_root != 0 && !xcb_connection_has_error(m_connection); }

    // Control with Caps Lock and Num Lock in every state: a grab matches its modifiers exactly.
    static constexpr std::array<std::uint16_t, 4> variants{
        XCB_MOD_MASK_CONTROL, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_LOCK, XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_2,
        XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = 0;
    std::vector<xcb_keycode_t> m_codes;
    bool m_held = false;
};

} // namespace

// The recording thread: one connection creates the context (control), the other receives
// the recorded data (data). An eventfd ends the wait at once.
struct GlobalKeyEventMonitor::Worker {
    struct Recording {
        GlobalKeyEventMonitor* owner;
        std::uint64_t generation;
        Display* control;
        KeyTable keys;
    };

    std::thread thread;
    int wakeFd = -1;
    // Rung when claimWanted changes.
    int claimFd = -1;
    std::atomic<bool> claimWanted;

    Worker(GlobalKeyEventMonitor* owner, std::uint64_t generation, bool claim) : claimWanted(claim) {
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        claimFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread = std::thread([this, owner, generation] { run(owner, generation); });
    }

    ~Worker() {
        ring(wakeFd);
        thread.join();
        ::close(wakeFd);
        ::close(claimFd);
    }

    void claim(bool wanted) {
        claimWanted = wanted;
        ring(claimFd);
    }

    static void ring(int fd) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd, &one, sizeof one);
    }

    static void onRecorded(XPointer closure, XRecordInterceptData* data) {
        const auto* recording = reinterpret_cast<const Recording*>(closure);
        GlobalKeyEventMonitor* owner = recording->owner;
        const std::uint64_t generation = recording->generation;
        if (data->category == XRecordStartOfData) {
            QMetaObject::invokeMethod(
                owner, [owner, generation] { owner->setObserving(generation, true); }, Qt::QueuedConnection);
        } else if (data->category == XRecordFromServer && data->data &&
                   data->data_len * 4 >= sizeof(xEvent)) {
            const auto* event = reinterpret_cast<const xEvent*>(data->data);
            if ((event->u.u.type & 0x7f) == xKeyPress) {
                KeyDownEvent press;
                press.keyCode = event->u.u.detail;
                press.key = recording->keys[press.keyCode & 0xff];
                press.modifiers = event->u.keyButtonPointer.state;
                Window focus = 0;
                int revertTo = 0;
                XGetInputFocus(recording->control, &focus, &revertTo);
                QMetaObject::invokeMethod(
                    owner, [owner, generation, press, focus] { owner->deliver(generation, press, focus); },
                    Qt::QueuedConnection);
            }
        }
        XRecordFreeData(data);
    }

    void run(GlobalKeyEventMonitor* owner, std::uint64_t generation) {
        Display* control = XOpenDisplay(nullptr);
        Display* data = XOpenDisplay(nullptr);
        XRecordContext context = 0;
        Recording recording{owner, generation, control, {}};
        int major = 0;
        int minor = 0;
        if (!control || !data || !XRecordQueryVersion(control, &major, &minor)) {
            qWarning("Key observation: no X display with the RECORD extension");
        } else {
            recording.keys = readKeyTable(control);
            XRecordClientSpec clients = XRecordAllClients;
            XRecordRange* range = XRecordAllocRange();
            range->device_events.first = static_cast<unsigned char>(xKeyPress);
            range->device_events.last = static_cast<unsigned char>(xKeyPress);
            context = XRecordCreateContext(control, 0, &clients, 1, &range, 1);
            XFree(range);
            // The data connection must know the context before enabling it.
            XSync(control, keepEvents);
            if (!context || !XRecordEnableContextAsync(data, context, &Worker::onRecorded,
                                                       reinterpret_cast<XPointer>(&recording))) {
                qWarning("Key observation: the X server refused the recording");
            } else {
                ReturnGrab grab(recording.keys);
                wait(data, grab, owner, generation);
            }
        }
        if (context) {
            XRecordDisableContext(control, context);
            XRecordFreeContext(control, context);
            XSync(control, keepEvents);
        }
        if (data) {
            XCloseDisplay(data);
        }
        if (control) {
            XCloseDisplay(control);
        }
    }

    // Takes or gives back the grab as wanted, and tells the monitor.
    void followClaim(ReturnGrab& grab, GlobalKeyEventMonitor* owner, std::uint64_t generation) {
        const bool wanted = claimWanted;
        if (wanted == grab.isHeld()) {
            return;
        }
        bool refused = false;
        if (wanted) {
            refused = !grab.take();
        } else {
            grab.release();
        }
        const bool held = grab.isHeld();
        QMetaObject::invokeMethod(
            owner, [owner, generation, held, refused] { owner->setHolding(generation, held, refused); },
            Qt::QueuedConnection);
    }

    void wait(Display* data, ReturnGrab& grab, GlobalKeyEventMonitor* owner, std::uint64_t generation) {
        std::array<pollfd, 4> fds{{{ConnectionNumber(data), POLLIN, 0},
                                   {wakeFd, POLLIN, 0},
                                   {claimFd, POLLIN, 0},
                                   {grab.fd(), POLLIN, 0}}};
        followClaim(grab, owner, generation);
        for (;;) {
            XRecordProcessReplies(data);
            grab.drain();
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return;
            }
            if (fds[2].revents != 0) {
                std::uint64_t rings = 0;
                [[maybe_unused]] const ssize_t read = ::read(claimFd, &rings, sizeof rings);
                followClaim(grab, owner, generation);
            }
            if ((fds[3].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                fds[3].fd = -1; // the grab went with its connection
            }
        }
    }
};

GlobalKeyEventMonitor::GlobalKeyEventMonitor(Accessibility& accessibility, KeyDownHandler handler,
                                             QObject* parent)
    : KeyEventMonitor(parent), m_accessibility(accessibility), m_handler(std::move(handler)) {
    connect(&m_accessibility, &Accessibility::trustChanged, this, &GlobalKeyEventMonitor::followTrust);
    // Worker threads end before the process does.
    if (QCoreApplication* app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, this, &GlobalKeyEventMonitor::stop);
    }
    followTrust(m_accessibility.isTrusted());
}

GlobalKeyEventMonitor::~GlobalKeyEventMonitor() {
    m_worker.reset();
}

void GlobalKeyEventMonitor::followTrust(bool trusted) {
    if (trusted) {
        start();
    } else {
        stop();
    }
}

void GlobalKeyEventMonitor::start() {
    if (m_worker) {
        return;
    }
    m_worker = std::make_unique<Worker>(this, ++m_generation, m_claimed);
}

void GlobalKeyEventMonitor::stop() {
    if (!m_worker) {
        return;
    }
    m_worker.reset(); // the grab ends with the worker's connection
    ++m_generation;
    setObserving(m_generation, false);
    setHolding(m_generation, false, false);
}

void GlobalKeyEventMonitor::claimControlReturn(bool claim) {
    if (claim == m_claimed) {
        return;
    }
    m_claimed = claim;
    if (m_worker) {
        m_worker->claim(claim);
    }
}

void GlobalKeyEventMonitor::deliver(std::uint64_t generation, const KeyDownEvent& event,
                                    unsigned long focusWindow) {
    if (generation != m_generation || !m_worker) {
        return;
    }
    // A taken press reaches none of our windows either, whatever has the focus; only an open
    // popup of ours, which holds the keyboard itself, still gets it.
    const bool taken = m_holding && isClaimedPress(event) && !popupHoldsKeyboard();
    if (!taken && pressWentToUs(focusWindow)) {
        return;
    }
    m_handler(event);
}

void GlobalKeyEventMonitor::setHolding(std::uint64_t generation, bool holding, bool refused) {
    if (generation != m_generation) {
        return;
    }
    if (refused) {
        emit controlReturnTaken();
    }
    if (m_holding != holding) {
        m_holding = holding;
        emit holdsControlReturnChanged(holding);
    }
}

void GlobalKeyEventMonitor::setObserving(std::uint64_t generation, bool observing) {
    if (generation != m_generation || m_observing == observing) {
        return;
    }
    m_observing = observing;
    emit observingChanged(observing);
}

LocalKeyEventMonitor::LocalKeyEventMonitor(KeyDownHandler handler, QObject* parent)
    : KeyEventMonitor(parent), m_handler(std::move(handler)) {
    QCoreApplication::instance()->installEventFilter(this);
}

LocalKeyEventMonitor::~LocalKeyEventMonitor() {
    if (QCoreApplication* app = QCoreApplication::instance()) {
        app->removeEventFilter(this);
    }
}

bool LocalKeyEventMonitor::eventFilter(QObject* watched, QEvent* event) {
    // A press travels from its window on to the focused widget and its parents; the window
    // sees it once.
    if (event->type() == QEvent::KeyPress && watched->isWindowType()) {
        const auto* key = static_cast<const QKeyEvent*>(event);
        KeyDownEvent press;
        if (key->key() == Qt::Key_Return) {
            press.key = KeyDownEvent::Key::returnKey;
        } else if (key->key() == Qt::Key_Enter) {
            press.key = KeyDownEvent::Key::keypadEnter;
        }
        press.keyCode = key->nativeScanCode();
        press.modifiers = xModifiers(key->modifiers());
        m_handler(press);
    }
    return false;
}

SystemKeyMonitorFactory& SystemKeyMonitorFactory::shared() {
    static SystemKeyMonitorFactory instance(Accessibility::shared());
    return instance;
}

std::unique_ptr<KeyEventMonitor> SystemKeyMonitorFactory::addGlobalMonitor(KeyDownHandler handler) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) {
        return nullptr;
    }
    return std::make_unique<GlobalKeyEventMonitor>(m_accessibility, std::move(handler));
}

std::unique_ptr<KeyEventMonitor> SystemKeyMonitorFactory::addLocalMonitor(KeyDownHandler handler) {
    if (!QCoreApplication::instance()) {
        return nullptr;
    }
    return std::make_unique<LocalKeyEventMonitor>(std::move(handler));
}

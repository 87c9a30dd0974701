#include "KeyEventMonitor.h"

#include "Accessibility.h"
#include "X11Display.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QWindow>
#include <QtDebug>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
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
constexpr KeySym xNumLock = XK_Num_Lock;
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

// What the recording needs of the keyboard mapping, read afresh (no cache of Xlib's) at the start
// and after every change.
struct Keyboard {
    // Return and keypad Enter by their unshifted symbol in the current layout.
    KeyTable keys;
    // The modifier bit Num Lock sets (commonly Mod2, but the modifier map decides); 0: none.
    std::uint32_t numLock = 0;
};

Keyboard readKeyboard(Display* display) {
    Keyboard keyboard;
    keyboard.keys.fill(KeyDownEvent::Key::other);
    int minCode = 0;
    int maxCode = 0;
    XDisplayKeycodes(display, &minCode, &maxCode);
    int symbolsPerCode = 0;
    KeySym* symbols =
        XGetKeyboardMapping(display, static_cast<KeyCode>(minCode), maxCode - minCode + 1, &symbolsPerCode);
    if (!symbols) {
        return keyboard;
    }
    std::array<bool, 256> numLockCodes{};
    for (int code = minCode; code <= maxCode && code < 256; ++code) {
        const KeySym first = symbols[(code - minCode) * symbolsPerCode];
        if (first == xReturn) {
            keyboard.keys[code] = KeyDownEvent::Key::returnKey;
        } else if (first == xKeypadEnter) {
            keyboard.keys[code] = KeyDownEvent::Key::keypadEnter;
        } else if (first == xNumLock) {
            numLockCodes[code] = true;
        }
    }
    XFree(symbols);
    if (XModifierKeymap* modifiers = XGetModifierMapping(display)) {
        for (int modifier = 0; modifier < 8; ++modifier) {
            for (int n = 0; n < modifiers->max_keypermod; ++n) {
                if (numLockCodes[modifiers->modifiermap[modifier * modifiers->max_keypermod + n]]) {
                    keyboard.numLock = 1u << modifier;
                }
            }
        }
        XFreeModifiermap(modifiers);
    }
    return keyboard;
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
bool isClaimedPress(const KeyDownEvent& event, std::uint32_t numLock) {
    const std::uint32_t locks = KeyDownEvent::lockMask | numLock;
    return event.key == KeyDownEvent::Key::returnKey &&
           (event.modifiers & 0xff & ~locks) == KeyDownEvent::controlMask;
}

// Ctrl+Return taken on the root window through a connection of its own, whose events (the
// taken presses) are read and dropped: the recording reports them like any other press.
class ReturnGrab {
public:
    explicit ReturnGrab(const Keyboard& keyboard) {
        m_connection = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_connection)) {
            return;
        }
        m_root = X11Display::rootWindow(m_connection);
        follow(keyboard);
    }
    ~ReturnGrab() { xcb_disconnect(m_connection); }
    ReturnGrab(const ReturnGrab&) = delete;
    ReturnGrab& operator=(const ReturnGrab&) = delete;

    int fd() const { return usable() ? xcb_get_file_descriptor(m_connection) : -1; }
    bool isHeld() const { return m_held; }

    // The keys of a new mapping: a held grab moves to them. False when they are refused.
    bool follow(const Keyboard& keyboard) {
        const bool held = m_held;
        release();
        m_codes.clear();
        for (std::size_t code = 0; code < keyboard.keys.size(); ++code) {
            if (keyboard.keys[code] == KeyDownEvent::Key::returnKey) {
                m_codes.push_back(static_cast<xcb_keycode_t>(code));
            }
        }
        // Control with Caps Lock and Num Lock in every state: a grab matches its modifiers exactly.
        m_variants.clear();
        for (const std::uint32_t locks : std::initializer_list<std::uint32_t>{
                 0, XCB_MOD_MASK_LOCK, keyboard.numLock, XCB_MOD_MASK_LOCK | keyboard.numLock}) {
            const auto variant = static_cast<std::uint16_t>(XCB_MOD_MASK_CONTROL | locks);
            if (std::find(m_variants.cbegin(), m_variants.cend(), variant) == m_variants.cend()) {
                m_variants.push_back(variant);
            }
        }
        return !held || take();
    }

    // Whether every variant is now ours; a variant another program holds gives all back, so the
    // key behaves as without the grab.
    bool take() {
        if (!usable() || m_codes.empty()) {
            return false;
        }
        std::vector<xcb_void_cookie_t> cookies;
        for (const xcb_keycode_t code : m_codes) {
            for (const std::uint16_t modifiers : m_variants) {
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
            for (const std::uint16_t modifiers : m_variants) {
                xcb_ungrab_key(m_connection, code, m_root, modifiers);
            }
        }
        xcb_flush(m_connection);
        m_held = false;
    }

    // Drops the taken presses; true when the keyboard or modifier mapping changed. The server
    // tells every client of that unasked, and this connection never turns on XKB, whose clients
    // are told only what they select.
    bool drain() {
        if (!usable()) {
            return false;
        }
        bool changed = false;
        while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
            if ((event->response_type & 0x7f) == XCB_MAPPING_NOTIFY) {
                const auto* notify = reinterpret_cast<const xcb_mapping_notify_event_t*>(event);
                changed = changed || notify->request != XCB_MAPPING_POINTER;
            }
            std::free(event);
        }
        return changed;
    }

private:
    bool usable() const { return m_root != 0 && !xcb_connection_has_error(m_connection); }

    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = 0;
    std::vector<xcb_keycode_t> m_codes;
    std::vector<std::uint16_t> m_variants;
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
        Keyboard keyboard;
    };

    std::thread thread;
    int wakeFd = -1;
    // Rung when claimWanted changes.
    int claimFd = -1;
    std::atomic<bool> claimWanted;

    explicit Worker(bool claim) : claimWanted(claim) {}

    // None when the thread could not be woken to end (out of file descriptors): it never starts.
    static std::unique_ptr<Worker> start(GlobalKeyEventMonitor* owner, std::uint64_t generation, bool claim) {
        auto worker = std::make_unique<Worker>(claim);
        worker->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (worker->wakeFd >= 0) {
            worker->claimFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        }
        if (worker->claimFd < 0) {
            qWarning("Key observation: cannot start (%s); presses in other programs go unobserved",
                     std::strerror(errno));
            return nullptr;
        }
        Worker* self = worker.get();
        worker->thread = std::thread([self, owner, generation] { self->run(owner, generation); });
        return worker;
    }

    ~Worker() {
        if (thread.joinable()) {
            ring(wakeFd);
            thread.join();
        }
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
        if (claimFd >= 0) {
            ::close(claimFd);
        }
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
            const KeyDownEvent::Key key = recording->keyboard.keys[event->u.u.detail];
            // Every other key stays here: no round trip, no hop to the GUI thread, no trace.
            if ((event->u.u.type & 0x7f) == xKeyPress && key != KeyDownEvent::Key::other) {
                KeyDownEvent press;
                press.keyCode = event->u.u.detail;
                press.key = key;
                press.modifiers = event->u.keyButtonPointer.state;
                const std::uint32_t numLock = recording->keyboard.numLock;
                Window focus = 0;
                int revertTo = 0;
                XGetInputFocus(recording->control, &focus, &revertTo);
                QMetaObject::invokeMethod(
                    owner,
                    [owner, generation, press, focus, numLock] {
                        owner->deliver(generation, press, focus, numLock);
                    },
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
            recording.keyboard = readKeyboard(control);
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
                ReturnGrab grab(recording.keyboard);
                wait(data, grab, recording);
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

    // Reads the keyboard again after a mapping change, and moves a held grab to its keys.
    static void followMapping(ReturnGrab& grab, Recording& recording) {
        if (!grab.drain()) {
            return;
        }
        // Presses recorded so far were read with the old codes; later ones use these.
        recording.keyboard = readKeyboard(recording.control);
        const bool wasHeld = grab.isHeld();
        const bool refused = !grab.follow(recording.keyboard);
        if (wasHeld != grab.isHeld() || refused) {
            GlobalKeyEventMonitor* owner = recording.owner;
            const std::uint64_t generation = recording.generation;
            const bool held = grab.isHeld();
            QMetaObject::invokeMethod(
                owner, [owner, generation, held, refused] { owner->setHolding(generation, held, refused); },
                Qt::QueuedConnection);
        }
    }

    void wait(Display* data, ReturnGrab& grab, Recording& recording) {
        GlobalKeyEventMonitor* owner = recording.owner;
        const std::uint64_t generation = recording.generation;
        std::array<pollfd, 4> fds{{{ConnectionNumber(data), POLLIN, 0},
                                   {wakeFd, POLLIN, 0},
                                   {claimFd, POLLIN, 0},
                                   {grab.fd(), POLLIN, 0}}};
        followClaim(grab, owner, generation);
        for (;;) {
            XRecordProcessReplies(data);
            followMapping(grab, recording);
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
                followMapping(grab, recording); // a grab taken now uses the latest keys
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
    m_worker = Worker::start(this, ++m_generation, m_claimed);
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
                                    unsigned long focusWindow, std::uint32_t numLock) {
    if (generation != m_generation || !m_worker) {
        return;
    }
    // A taken press reaches none of our windows either, whatever has the focus; only an open
    // popup of ours, which holds the keyboard itself, still gets it.
    const bool taken = m_holding && isClaimedPress(event, numLock) && !popupHoldsKeyboard();
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

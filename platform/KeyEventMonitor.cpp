#include "KeyEventMonitor.h"

#include "Accessibility.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QWindow>
#include <QtDebug>

#include <array>
#include <cerrno>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

// X headers after Qt's; their macros clash with Qt names, so keep what is needed and drop them.
#include <X11/Xlib.h>
#include <X11/Xproto.h>
#include <X11/extensions/record.h>
#include <X11/keysym.h>

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

// Whether a press went to one of our windows: the X focus is ours, or a popup of ours holds
// the keyboard. The X focus is asked for with the press because Qt learns of a focus change
// late (it defers losing focus by about 100 ms).
bool pressWentToUs(unsigned long focus) {
    const QWindowList windows = QGuiApplication::allWindows();
    for (const QWindow* window : windows) {
        if (window->isVisible() && window->type() == Qt::Popup) {
            return true;
        }
    }
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

    Worker(GlobalKeyEventMonitor* owner, std::uint64_t generation) {
        wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        thread = std::thread([this, owner, generation] { run(owner, generation); });
    }

    ~Worker() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wakeFd, &one, sizeof one);
        thread.join();
        ::close(wakeFd);
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
                wait(data);
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

    void wait(Display* data) {
        std::array<pollfd, 2> fds{{{ConnectionNumber(data), POLLIN, 0}, {wakeFd, POLLIN, 0}}};
        for (;;) {
            XRecordProcessReplies(data);
            if (::poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0 || (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
                return;
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
    m_worker = std::make_unique<Worker>(this, ++m_generation);
}

void GlobalKeyEventMonitor::stop() {
    if (!m_worker) {
        return;
    }
    m_worker.reset();
    ++m_generation;
    setObserving(m_generation, false);
}

void GlobalKeyEventMonitor::deliver(std::uint64_t generation, const KeyDownEvent& event,
                                    unsigned long focusWindow) {
    if (generation != m_generation || !m_worker || pressWentToUs(focusWindow)) {
        return;
    }
    m_handler(event);
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

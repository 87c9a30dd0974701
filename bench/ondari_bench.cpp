// Drives a running X server, tray host and fake link-conversion server the way a user would, and
// measures the program from outside: start-up to the tray icon, idle cost, copy-to-clipboard
// latency and memory over many conversions. Nothing in the program is instrumented: times come
// from X events (selection owner changes, reparenting into the tray) and from inotify on the
// debug log, all read on one monotonic clock here.
//
// Prints Markdown table rows on stdout, progress on stderr.

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

// After Qt's headers: X headers define macros that clash with Qt names.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <X11/keysym.h>

namespace {

using Clock = std::chrono::steady_clock;

double nowMs() {
    return std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count();
}

volatile std::sig_atomic_t interrupted = 0;

void stopAll();

[[noreturn]] void fail(const std::string& message) {
    std::fprintf(stderr, "ondari-bench: %s\n", message.c_str());
    stopAll();
    std::exit(1);
}

void progress(const char* format, ...) __attribute__((format(printf, 1, 2)));
void progress(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("  ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
}

// Statistics

double percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return NAN;
    }
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least p of the samples at or below it.
    const auto rank = static_cast<size_t>(std::ceil(p * double(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

double median(const std::vector<double>& values) {
    if (values.empty()) {
        return NAN;
    }
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
}

double maximum(const std::vector<double>& values) {
    return values.empty() ? NAN : *std::max_element(values.begin(), values.end());
}

// Processes

std::vector<pid_t> children;

void forget(pid_t pid) {
    children.erase(std::remove(children.begin(), children.end(), pid), children.end());
}

// Started with the parent's environment; killed by the kernel should this driver die first.
pid_t spawn(const std::vector<std::string>& argv, const std::string* input = nullptr, bool quiet = true) {
    int pipeFds[2] = {-1, -1};
    if (input && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
        fail("pipe failed");
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        fail("fork failed");
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        if (input) {
            ::dup2(pipeFds[0], STDIN_FILENO);
        } else {
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, STDIN_FILENO);
        }
        if (quiet) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    children.push_back(pid);
    if (input) {
        ::close(pipeFds[0]);
        size_t done = 0;
        while (done < input->size()) {
            const ssize_t n = ::write(pipeFds[1], input->data() + done, input->size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += size_t(n);
        }
        ::close(pipeFds[1]);
    }
    return pid;
}

// Whether the child has ended (and is reaped).
bool reap(pid_t pid, bool wait) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, wait ? 0 : WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) {
        forget(pid);
        return true;
    }
    return false;
}

void stop(pid_t pid, int graceMs = 3000) {
    if (pid <= 0 || reap(pid, false)) {
        return;
    }
    ::kill(pid, SIGTERM);
    const double deadline = nowMs() + graceMs;
    while (nowMs() < deadline) {
        if (reap(pid, false)) {
            return;
        }
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    reap(pid, true);
}

void stopAll() {
    const std::vector<pid_t> left = children;
    for (pid_t pid : left) {
        stop(pid, 1000);
    }
}

// /proc readings

std::optional<long> statusField(pid_t pid, const char* name) {
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!f) {
        return std::nullopt;
    }
    char line[256];
    std::optional<long> value;
    const size_t nameLength = std::strlen(name);
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, name, nameLength) == 0 && line[nameLength] == ':') {
            value = std::strtol(line + nameLength + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return value;
}

struct Memory {
    long rssKb = 0;     // VmRSS
    long privateKb = 0; // Private_Clean + Private_Dirty: pages no other process maps right now
    long anonKb = 0;    // RssAnon: heap, stacks and other anonymous memory, the program's own
};

Memory memoryOf(pid_t pid) {
    Memory m;
    m.rssKb = statusField(pid, "VmRSS").value_or(-1);
    m.anonKb = statusField(pid, "RssAnon").value_or(-1);
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/smaps_rollup").c_str(), "r");
    if (f) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            long kb = 0;
            if (std::sscanf(line, "Private_Clean: %ld kB", &kb) == 1 ||
                std::sscanf(line, "Private_Dirty: %ld kB", &kb) == 1) {
                m.privateKb += kb;
            }
        }
        std::fclose(f);
    } else {
        m.privateKb = -1;
    }
    return m;
}

struct CpuUse {
    double cpuMs = 0;     // on-CPU time of all threads
    long switches = 0;    // context switches of all threads: each is a wake-up or a preemption
    bool precise = false; // from schedstat (ns) rather than clock ticks
};

// onlyMain: the GUI thread alone (its task id is the process id).
CpuUse cpuOf(pid_t pid, bool onlyMain = false) {
    CpuUse use;
    const QString taskDir = QStringLiteral("/proc/%1/task").arg(pid);
    double schedNs = 0;
    bool haveSched = true;
    for (const QString& task : QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (onlyMain && task != QString::number(pid)) {
            continue;
        }
        QFile sched(taskDir + QLatin1Char('/') + task + QStringLiteral("/schedstat"));
        if (sched.open(QIODevice::ReadOnly)) {
            schedNs += sched.readAll().split(' ').value(0).toDouble();
        } else {
            haveSched = false;
        }
        QFile status(taskDir + QLatin1Char('/') + task + QStringLiteral("/status"));
        if (status.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : status.readAll().split('\n')) {
                if (line.startsWith("voluntary_ctxt_switches:") ||
                    line.startsWith("nonvoluntary_ctxt_switches:")) {
                    use.switches += line.mid(line.indexOf(':') + 1).trimmed().toLong();
                }
            }
        }
    }
    if (haveSched) {
        use.cpuMs = schedNs / 1e6;
        use.precise = true;
        return use;
    }
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble(); // utime, stime
        use.cpuMs = ticks * 1000.0 / double(::sysconf(_SC_CLK_TCK));
    }
    return use;
}

// What the X server and the debug log tell, with the time this driver learnt it.

struct Happening {
    enum class Kind { ownerChange, reparent, logLine, selectionNotify } kind;
    double atMs = 0;
    Window window = None; // the new owner; the reparented window; the requestor
    Window parent = None;
    Atom property = None;
    std::string text;
};

class Observer {
public:
    explicit Observer(const std::string& logPath)
        : m_logPath(logPath), m_logName(logPath.substr(logPath.rfind('/') + 1)) {
        m_display = XOpenDisplay(nullptr);
        if (!m_display) {
            fail("cannot open the X display");
        }
        m_root = DefaultRootWindow(m_display);
        int error = 0;
        if (!XFixesQueryExtension(m_display, &m_fixesEvent, &error)) {
            fail("the X server has no XFIXES");
        }
        int testEvent = 0;
        int major = 0;
        int minor = 0;
        if (!XTestQueryExtension(m_display, &testEvent, &error, &major, &minor)) {
            fail("the X server has no XTEST");
        }
        m_clipboard = XInternAtom(m_display, "CLIPBOARD", False);
        m_utf8 = XInternAtom(m_display, "UTF8_STRING", False);
        m_pidAtom = XInternAtom(m_display, "_NET_WM_PID", False);
        m_transfer = XInternAtom(m_display, "ONDARI_BENCH_TRANSFER", False);
        m_protocols = XInternAtom(m_display, "WM_PROTOCOLS", False);
        m_ping = XInternAtom(m_display, "_NET_WM_PING", False);
        m_window = XCreateSimpleWindow(m_display, m_root, 0, 0, 1, 1, 0, 0, 0);
        XFixesSelectSelectionInput(m_display, m_root, m_clipboard, XFixesSetSelectionOwnerNotifyMask);
        // Structure notices bring back the answers to pings, sent to the root window.
        XSelectInput(m_display, m_root, SubstructureNotifyMask | StructureNotifyMask);
        XSync(m_display, False);

        m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        const std::string dir = m_logPath.substr(0, m_logPath.rfind('/'));
        if (m_inotify < 0 || ::inotify_add_watch(m_inotify, dir.c_str(), IN_MODIFY | IN_CREATE) < 0) {
            fail("cannot watch " + dir);
        }
        skipLog();
    }

    ~Observer() {
        if (m_display) {
            XCloseDisplay(m_display);
        }
        if (m_inotify >= 0) {
            ::close(m_inotify);
        }
    }

    Display* display() const { return m_display; }

    // Whether a tray host owns the tray selection of the default screen (within the time).
    bool waitForTray(double timeoutMs) {
        const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(m_display));
        const Atom tray = XInternAtom(m_display, name.c_str(), False);
        const double deadline = nowMs() + timeoutMs;
        while (XGetSelectionOwner(m_display, tray) == None) {
            if (nowMs() > deadline || interrupted) {
                return false;
            }
            idle(20);
        }
        return true;
    }

    // Lines written from now on are the ones reported.
    void skipLog() {
        QFile log(QString::fromStdString(m_logPath));
        m_logOffset = log.exists() ? log.size() : 0;
        m_partialLine.clear();
    }

    void clear() { m_happenings.clear(); }
    const std::deque<Happening>& pending() const { return m_happenings; }

    // Waits for the first happening (old or new) that the test accepts and takes it.
    std::optional<Happening> waitFor(const std::function<bool(const Happening&)>& accept, double timeoutMs) {
        const double deadline = nowMs() + timeoutMs;
        for (;;) {
            for (auto it = m_happenings.begin(); it != m_happenings.end(); ++it) {
                if (accept(*it)) {
                    Happening found = *it;
                    m_happenings.erase(it);
                    return found;
                }
            }
            const double left = deadline - nowMs();
            if (left <= 0 || interrupted) {
                return std::nullopt;
            }
            pump(left);
        }
    }

    // Lets time pass while taking in what happens.
    void idle(double ms) {
        const double deadline = nowMs() + ms;
        for (double left = ms; left > 0 && !interrupted; left = deadline - nowMs()) {
            pump(left);
        }
    }

    std::optional<pid_t> pidOf(Window window) {
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        std::optional<pid_t> pid;
        if (XGetWindowProperty(m_display, window, m_pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count,
                               &after, &data) == Success &&
            data && count == 1 && format == 32) {
            pid = pid_t(*reinterpret_cast<unsigned long*>(data));
        }
        if (data) {
            XFree(data);
        }
        return pid;
    }

    // The text on the clipboard as another program pastes it.
    std::optional<std::string> readClipboard(double timeoutMs) {
        XConvertSelection(m_display, m_clipboard, m_utf8, m_transfer, m_window, CurrentTime);
        XFlush(m_display);
        const auto notify = waitFor(
            [&](const Happening& h) {
                return h.kind == Happening::Kind::selectionNotify && h.window == m_window;
            },
            timeoutMs);
        if (!notify || notify->property == None) {
            return std::nullopt;
        }
        Atom type = None;
        int format = 0;
        unsigned long count = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        std::optional<std::string> text;
        if (XGetWindowProperty(m_display, m_window, m_transfer, 0, 1 << 16, True, AnyPropertyType, &type,
                               &format, &count, &after, &data) == Success &&
            data && format == 8) {
            text = std::string(reinterpret_cast<char*>(data), count);
        }
        if (data) {
            XFree(data);
        }
        return text;
    }

    struct Rect {
        int x, y, width, height;
    };

    // The biggest window of the process that is on screen: the toast, when one shows.
    std::optional<Rect> visibleWindowOf(pid_t pid, int minWidth) {
        Window rootReturn = None;
        Window parentReturn = None;
        Window* windows = nullptr;
        unsigned int count = 0;
        std::optional<Rect> found;
        if (!XQueryTree(m_display, m_root, &rootReturn, &parentReturn, &windows, &count)) {
            return found;
        }
        for (unsigned int i = 0; i < count; ++i) {
            XWindowAttributes a;
            if (!XGetWindowAttributes(m_display, windows[i], &a) || a.map_state != IsViewable ||
                a.width < minWidth) {
                continue;
            }
            if (pidOf(windows[i]) != pid) {
                continue;
            }
            found = Rect{a.x, a.y, a.width, a.height};
        }
        if (windows) {
            XFree(windows);
        }
        return found;
    }

    // Pings a window of the program (_NET_WM_PING, which the program answers on its GUI thread)
    // every `everyMs` until `done` says so, and gives the longest any answer took: the longest
    // time the GUI thread was kept from its events.
    double longestPingMs(Window window, double everyMs, const std::function<bool()>& done) {
        std::map<long, double> sent;
        long next = 1;
        double nextAt = nowMs();
        double longest = 0;
        m_pingAnswers.clear();
        m_longestRoundTripMs = 0;
        while (!interrupted && !done()) {
            if (nowMs() >= nextAt) {
                XEvent ping{};
                ping.xclient.type = ClientMessage;
                ping.xclient.window = window;
                ping.xclient.message_type = m_protocols;
                ping.xclient.format = 32;
                ping.xclient.data.l[0] = long(m_ping);
                ping.xclient.data.l[1] = next;
                ping.xclient.data.l[2] = long(window);
                XSendEvent(m_display, window, False, NoEventMask, &ping);
                const double sentAt = nowMs();
                sent[next++] = sentAt;
                nextAt += everyMs;
                // The X server's own share: a round trip of this driver's.
                XSync(m_display, False);
                m_longestRoundTripMs = std::max(m_longestRoundTripMs, nowMs() - sentAt);
            }
            pump(std::max(0.0, nextAt - nowMs()));
            for (const auto& [serial, at] : m_pingAnswers) {
                if (const auto it = sent.find(serial); it != sent.end()) {
                    longest = std::max(longest, at - it->second);
                    sent.erase(it);
                }
            }
            m_pingAnswers.clear();
        }
        // Still unanswered: as long as they have waited so far.
        for (const auto& [serial, at] : sent) {
            longest = std::max(longest, nowMs() - at);
        }
        return longest;
    }

    // The longest round trip to the X server during the last pings.
    double longestRoundTripMs() const { return m_longestRoundTripMs; }

    void movePointer(int x, int y) {
        XTestFakeMotionEvent(m_display, -1, x, y, CurrentTime);
        XFlush(m_display);
    }

    // Presses and releases the key of `symbol` `count` times, as fast as the server takes them.
    void typeKey(KeySym symbol, int count) {
        const KeyCode code = XKeysymToKeycode(m_display, symbol);
        for (int i = 0; i < count; ++i) {
            XTestFakeKeyEvent(m_display, code, True, CurrentTime);
            XTestFakeKeyEvent(m_display, code, False, CurrentTime);
            if (i % 100 == 99) {
                XSync(m_display, False);
            }
        }
        XSync(m_display, False);
    }

    void click() {
        XTestFakeButtonEvent(m_display, 1, True, CurrentTime);
        XTestFakeButtonEvent(m_display, 1, False, CurrentTime);
        XFlush(m_display);
    }

private:
    void pump(double timeoutMs) {
        XFlush(m_display);
        if (XPending(m_display) == 0) {
            pollfd fds[2] = {{ConnectionNumber(m_display), POLLIN, 0}, {m_inotify, POLLIN, 0}};
            const int wait = int(std::ceil(std::max(0.0, timeoutMs)));
            if (::poll(fds, 2, wait) < 0 && errno != EINTR) {
                fail("poll failed");
            }
        }
        // The moment this driver heard of whatever is now readable.
        const double at = nowMs();
        readInotify(at);
        while (XPending(m_display) > 0) {
            XEvent event;
            XNextEvent(m_display, &event);
            translate(event, at);
        }
    }

    void translate(const XEvent& event, double at) {
        if (event.type == m_fixesEvent + XFixesSelectionNotify) {
            const auto& e = reinterpret_cast<const XFixesSelectionNotifyEvent&>(event);
            if (e.selection == m_clipboard) {
                m_happenings.push_back({Happening::Kind::ownerChange, at, e.owner, None, None, {}});
            }
            return;
        }
        if (event.type == ReparentNotify && event.xreparent.event == m_root) {
            m_happenings.push_back(
                {Happening::Kind::reparent, at, event.xreparent.window, event.xreparent.parent, None, {}});
            return;
        }
        if (event.type == ClientMessage && event.xclient.message_type == m_protocols &&
            Atom(event.xclient.data.l[0]) == m_ping) {
            m_pingAnswers.emplace_back(event.xclient.data.l[1], at);
            return;
        }
        if (event.type == SelectionNotify) {
            m_happenings.push_back({Happening::Kind::selectionNotify,
                                    at,
                                    event.xselection.requestor,
                                    None,
                                    event.xselection.property,
                                    {}});
        }
    }

    void readInotify(double at) {
        alignas(inotify_event) char buffer[4096];
        bool touched = false;
        for (;;) {
            const ssize_t n = ::read(m_inotify, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            for (ssize_t offset = 0; offset < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + offset);
                if (e->len > 0 && m_logName == e->name) {
                    touched = true;
                }
                offset += ssize_t(sizeof(inotify_event) + e->len);
            }
        }
        if (touched) {
            readLog(at);
        }
    }

    void readLog(double at) {
        const int fd = ::open(m_logPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        char chunk[65536];
        for (;;) {
            const ssize_t n = ::pread(fd, chunk, sizeof chunk, m_logOffset);
            if (n <= 0) {
                break;
            }
            m_logOffset += n;
            m_partialLine.append(chunk, size_t(n));
        }
        ::close(fd);
        size_t start = 0;
        for (size_t end; (end = m_partialLine.find('\n', start)) != std::string::npos; start = end + 1) {
            m_happenings.push_back(
                {Happening::Kind::logLine, at, None, None, None, m_partialLine.substr(start, end - start)});
        }
        m_partialLine.erase(0, start);
    }

    std::string m_logPath;
    std::string m_logName; // without the folder, as inotify names it
    Display* m_display = nullptr;
    Window m_root = None;
    Window m_window = None;
    int m_fixesEvent = 0;
    Atom m_clipboard = None;
    Atom m_utf8 = None;
    Atom m_pidAtom = None;
    Atom m_transfer = None;
    Atom m_protocols = None;
    Atom m_ping = None;
    std::vector<std::pair<long, double>> m_pingAnswers; // serial, when heard
    double m_longestRoundTripMs = 0;
    int m_inotify = -1;
    off_t m_logOffset = 0;
    std::string m_partialLine;
    std::deque<Happening> m_happenings;
};

bool isLogLine(const Happening& h, const char* text) {
    return h.kind == Happening::Kind::logLine && h.text.find(text) != std::string::npos;
}

// The program under test

struct Options {
    std::string program;
    std::string testdata;
    std::string logPath;
    std::string ownerStorm; // the helper that takes the clipboard over and over
    int stormChanges = 100000;
    int starts = 5;
    int idleSeconds = 60;
    int copies = 50;
    int firstConversions = 10;
    int conversions = 1000;
    unsigned seed = 20240917;
    bool trace = false; // the debug log's lines of each copy, timed
};

class Bench {
public:
    explicit Bench(Options options) : m_options(std::move(options)), m_x(m_options.logPath) {}

    ~Bench() { quit(); }

    // Started, and until its tray icon is registered; the time from the start to that.
    std::optional<double> start() {
        m_x.clear();
        m_x.skipLog();
        const double startedAt = nowMs();
        m_pid = spawn({m_options.program});
        const auto docked = m_x.waitFor(
            [&](const Happening& h) {
                return h.kind == Happening::Kind::reparent && m_x.pidOf(h.window) == m_pid;
            },
            10000);
        if (!docked) {
            return std::nullopt;
        }
        m_iconWindow = docked->window;
        return docked->atMs - startedAt;
    }

    bool waitUntilReady() {
        return m_x
            .waitFor([](const Happening& h) { return isLogLine(h, "AppController setup complete"); }, 10000)
            .has_value();
    }

    void quit() {
        if (m_pid > 0) {
            stop(m_pid);
            m_pid = -1;
        }
    }

    pid_t pid() const { return m_pid; }
    Window iconWindow() const { return m_iconWindow; }
    Observer& x() { return m_x; }
    const Options& options() const { return m_options; }

    struct Conversion {
        double startedMs = 0; // xclip was started
        double copiedMs = 0;  // the copying program became the clipboard's owner
        double noticedMs = 0; // the "Clipboard changed" line
        double writtenMs = 0; // the program became the clipboard's owner
        double readMs = 0;    // another program has read the converted link
        std::string text;
    };

    // One copy by xclip, up to the converted link read back; none when a step did not come.
    std::optional<Conversion> convert(const std::string& link, std::string* why) {
        m_x.clear();
        Conversion c;
        c.startedMs = nowMs();
        const pid_t xclip = spawn({"xclip", "-selection", "clipboard", "-quiet"}, &link);
        const auto copied = m_x.waitFor(
            [](const Happening& h) { return h.kind == Happening::Kind::ownerChange && h.window != None; },
            3000);
        if (!copied) {
            stop(xclip);
            *why = "xclip did not take the clipboard";
            return std::nullopt;
        }
        c.copiedMs = copied->atMs;
        const auto noticed = m_x.waitFor(
            [](const Happening& h) { return isLogLine(h, "Clipboard changed, new changeCount: "); }, 8000);
        const auto written = m_x.waitFor(
            [&](const Happening& h) {
                return h.kind == Happening::Kind::ownerChange && h.window != copied->window &&
                       h.window != None;
            },
            8000);
        if (!noticed || !written) {
            stop(xclip);
            *why = !noticed ? "no \"Clipboard changed\" line" : "no clipboard write";
            return std::nullopt;
        }
        c.noticedMs = noticed->atMs;
        c.writtenMs = written->atMs;
        const std::optional<std::string> text = m_x.readClipboard(3000);
        c.readMs = nowMs();
        // xclip ends once it has lost the clipboard.
        for (int i = 0; i < 100 && !reap(xclip, false); ++i) {
            m_x.idle(10);
        }
        stop(xclip);
        if (!text) {
            *why = "the clipboard could not be read";
            return std::nullopt;
        }
        c.text = *text;
        if (m_options.trace) {
            std::fprintf(stderr, "    window %.3f %.3f (monotonic ms)\n", c.noticedMs, c.writtenMs);
            std::fprintf(stderr, "    %8.2f ms  copied\n", c.copiedMs - c.noticedMs);
            std::fprintf(stderr, "    %8.2f ms  Clipboard changed\n", 0.0);
            for (const Happening& h : m_x.pending()) {
                if (h.kind == Happening::Kind::logLine) {
                    std::fprintf(stderr, "    %8.2f ms  %.100s\n", h.atMs - c.noticedMs, h.text.c_str());
                }
            }
            std::fprintf(stderr, "    %8.2f ms  written\n    %8.2f ms  read back\n",
                         c.writtenMs - c.noticedMs, c.readMs - c.noticedMs);
        }
        return c;
    }

    // Closes the toast with its close button, as a user does to skip the success display.
    bool closeToast() {
        const auto toast = m_x.visibleWindowOf(m_pid, 300);
        if (!toast) {
            return false;
        }
        // The panel is the card's frame (card plus 16) with an even shadow margin around it.
        int margin = 32;
        for (const auto& [frameW, frameH] : {std::pair{436, 167}, std::pair{486, 88}}) {
            const int w = toast->width - frameW;
            if (w >= 0 && w % 2 == 0 && w == toast->height - frameH) {
                margin = w / 2;
            }
        }
        // Inside the card and inside the close button, which shows on hover.
        const int x = toast->x + margin + 22;
        const int y = toast->y + margin + 22;
        m_x.movePointer(x, y);
        m_x.idle(90);
        m_x.click();
        m_x.idle(10);
        m_x.movePointer(960, 900);
        return true;
    }

    bool waitToastGone(double timeoutMs) {
        const double deadline = nowMs() + timeoutMs;
        while (nowMs() < deadline) {
            if (!m_x.visibleWindowOf(m_pid, 300)) {
                return true;
            }
            m_x.idle(20);
        }
        return false;
    }

private:
    Options m_options;
    Observer m_x;
    pid_t m_pid = -1;
    Window m_iconWindow = None;
};

// Recorded answers that turn a Spotify link into an Apple Music one: the copies of the latency
// run. The fake server knows the links of the answers whose index row names a plain link.
std::vector<std::pair<std::string, std::string>> recordedPairs(const std::string& testdata) {
    std::vector<std::pair<std::string, std::string>> pairs;
    const QDir dir(QString::fromStdString(testdata) + QStringLiteral("/api-responses"));
    QFile index(dir.filePath(QStringLiteral("index.tsv")));
    if (!index.open(QIODevice::ReadOnly)) {
        return pairs;
    }
    for (const QByteArray& line : index.readAll().split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split('\t');
        if (fields.size() < 3 || fields[1] != "200" || !fields[2].startsWith("https://") ||
            fields[2].contains(' ')) {
            continue;
        }
        QFile file(dir.filePath(QString::fromUtf8(fields[0])));
        if (!file.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QJsonObject links = QJsonDocument::fromJson(file.readAll())
                                      .object()
                                      .value(QStringLiteral("linksByPlatform"))
                                      .toObject();
        const QString spotify =
            links.value(QStringLiteral("spotify")).toObject().value(QStringLiteral("url")).toString();
        const QString apple =
            links.value(QStringLiteral("appleMusic")).toObject().value(QStringLiteral("url")).toString();
        if (spotify.startsWith(QStringLiteral("https://open.spotify.com/track/")) && !apple.isEmpty() &&
            std::none_of(pairs.begin(), pairs.end(),
                         [&](const auto& pair) { return pair.first == spotify.toStdString(); })) {
            pairs.emplace_back(spotify.toStdString(), apple.toStdString());
        }
    }
    return pairs;
}

std::string mb(long kb) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f MB", double(kb) / 1024.0);
    return text;
}

void row(const std::string& what, const std::string& value, const std::string& target) {
    std::printf("| %s | %s | %s |\n", what.c_str(), value.c_str(), target.c_str());
    std::fflush(stdout);
}

// The runs

// The clipboard watcher's poll interval.
constexpr double pollPeriodMs = 500;

void measureStartUp(Bench& bench) {
    std::fprintf(stderr, "start-up to the tray icon, %d starts\n", bench.options().starts);
    std::vector<double> times;
    for (int i = 0; i < bench.options().starts && !interrupted; ++i) {
        const std::optional<double> t = bench.start();
        if (t) {
            times.push_back(*t);
            progress("start %d: %.1f ms", i + 1, *t);
        } else {
            progress("start %d: the tray icon was not registered within 10 s", i + 1);
        }
        bench.quit();
        bench.x().idle(300); // the tray drops the old icon
    }
    char detail[128];
    std::snprintf(detail, sizeof detail, "median %.0f ms (min %.0f, max %.0f; %zu of %d starts)",
                  median(times), times.empty() ? NAN : *std::min_element(times.begin(), times.end()),
                  maximum(times), times.size(), bench.options().starts);
    row("start-up to tray icon", detail, "≤ 250 ms");
}

void measureIdle(Bench& bench) {
    const int seconds = bench.options().idleSeconds;
    std::fprintf(stderr, "idle, %d s\n", seconds);
    bench.x().idle(2000); // start-up work settles
    const Memory before = memoryOf(bench.pid());
    const CpuUse cpuBefore = cpuOf(bench.pid());
    const double startedAt = nowMs();
    bench.x().idle(seconds * 1000.0);
    const double elapsed = nowMs() - startedAt;
    const CpuUse cpuAfter = cpuOf(bench.pid());
    const Memory after = memoryOf(bench.pid());
    const double cpuMs = cpuAfter.cpuMs - cpuBefore.cpuMs;
    const double share = 100.0 * cpuMs / elapsed;
    progress("RSS %ld -> %ld kB, private %ld -> %ld kB, anonymous %ld -> %ld kB, CPU %.2f ms, %ld context "
             "switches",
             before.rssKb, after.rssKb, before.privateKb, after.privateKb, before.anonKb, after.anonKb, cpuMs,
             cpuAfter.switches - cpuBefore.switches);

    row("idle RSS (VmRSS)", mb(after.rssKb) + " (" + mb(before.rssKb) + " at the start)",
        "≤ 35 MB, no growth");
    row("idle RSS, private part",
        mb(after.privateKb) + " (" + mb(before.privateKb) + " at the start); anonymous " + mb(after.anonKb) +
            " (" + mb(before.anonKb) + ")",
        "");
    char cpu[160];
    std::snprintf(cpu, sizeof cpu, "%.3f %% of a core (%.1f ms in %.0f s%s; %.1f wake-ups/s)", share, cpuMs,
                  elapsed / 1000.0, cpuAfter.precise ? "" : ", clock ticks",
                  double(cpuAfter.switches - cpuBefore.switches) / (elapsed / 1000.0));
    row("idle CPU", cpu, "≤ 0.1 %");
}

void measureLatency(Bench& bench) {
    const auto pairs = recordedPairs(bench.options().testdata);
    if (pairs.size() < 2) {
        fail("fewer than two recorded Spotify-to-Apple-Music answers");
    }
    std::fprintf(stderr, "copy-to-clipboard latency, %d copies of %zu recorded links\n",
                 bench.options().copies, pairs.size());
    // Each copy lands at a point of the watcher's poll period of its own, in shuffled order, so that
    // the waits for the next tick cover the period evenly rather than by chance: the statistics
    // are those of copies at random moments, without their sampling noise. A first copy, at
    // whatever moment, tells where the ticks fall; it is reported on its own.
    const int copies = bench.options().copies;
    std::mt19937 random(bench.options().seed);
    std::vector<int> strata(static_cast<size_t>(copies));
    for (size_t i = 0; i < strata.size(); ++i) {
        strata[i] = int(i);
    }
    std::shuffle(strata.begin(), strata.end(), random);
    double lastTickMs = NAN;
    std::vector<double> startDelays; // from starting xclip to its owning the clipboard
    std::optional<Bench::Conversion> first;
    std::vector<double> total;
    std::vector<double> waited;
    std::vector<double> own;
    std::vector<double> readBack;
    int wrong = 0;
    int failed = 0;
    for (int i = 0; i <= copies && !interrupted; ++i) {
        if (i > 0 && !std::isnan(lastTickMs)) {
            const double wait = (strata[size_t(i - 1)] + 0.5) * pollPeriodMs / double(copies);
            const double startDelay = median(startDelays);
            const double earliest = nowMs() + 300;
            double copyAt = lastTickMs + pollPeriodMs - wait;
            while (copyAt - startDelay < earliest) {
                copyAt += pollPeriodMs;
            }
            bench.x().idle(copyAt - startDelay - nowMs());
            if (bench.options().trace) {
                std::fprintf(stderr, "    planned wait %.1f ms, start delay %.2f ms\n", wait, startDelay);
            }
        }
        const auto& [link, expected] = pairs[size_t(i) % pairs.size()];
        std::string why;
        const std::optional<Bench::Conversion> c = bench.convert(link, &why);
        if (!c) {
            ++failed;
            progress("copy %d: %s", i, why.c_str());
        } else {
            if (c->text != expected) {
                ++wrong;
                progress("copy %d: read \"%s\", expected \"%s\"", i, c->text.c_str(), expected.c_str());
            }
            lastTickMs = c->noticedMs;
            startDelays.push_back(c->copiedMs - c->startedMs);
            if (i == 0) {
                first = c;
            } else {
                total.push_back(c->readMs - c->copiedMs);
                waited.push_back(c->noticedMs - c->copiedMs);
                own.push_back(c->writtenMs - c->noticedMs);
                readBack.push_back(c->readMs - c->writtenMs);
                if (i % 10 == 0) {
                    progress("%d copies, last: %.1f ms (poll wait %.1f, in the program %.2f)", i,
                             total.back(), waited.back(), own.back());
                }
            }
        }
        // Past the slide-in, then closed: the next copy meets an idle queue.
        bench.x().idle(280);
        bench.closeToast();
        if (!bench.waitToastGone(6000)) {
            progress("copy %d: the toast stayed", i);
        }
    }
    char text[200];
    std::snprintf(
        text, sizeof text, "median %.0f ms, p95 %.0f ms, max %.0f ms (%zu copies%s)", median(total),
        percentile(total, 0.95), maximum(total), total.size(),
        failed || wrong
            ? (", " + std::to_string(failed) + " failed, " + std::to_string(wrong) + " wrong").c_str()
            : "");
    row("copy to converted link on the clipboard", text, "median ≤ 260 ms, max ≤ 520 ms");
    std::snprintf(text, sizeof text, "median %.2f ms, p95 %.2f ms, max %.2f ms", median(own),
                  percentile(own, 0.95), maximum(own));
    row("… of it in the program (\"Clipboard changed\" to the write)", text, "median ≤ 5 ms");
    std::snprintf(text, sizeof text, "median %.0f ms, max %.0f ms", median(waited), maximum(waited));
    row("… of it waiting for the poll tick", text, "0.5 s poll");
    std::snprintf(text, sizeof text, "median %.2f ms", median(readBack));
    row("… of it reading the link back (another program)", text, "");
    if (first) {
        std::snprintf(text, sizeof text, "%.0f ms, %.2f ms of it in the program",
                      first->readMs - first->copiedMs, first->writtenMs - first->noticedMs);
        row("first copy after the idle minute (not in the figures above)", text, "");
    }
}

void measureMemory(Bench& bench) {
    const int first = bench.options().firstConversions;
    const int all = std::max(first, bench.options().conversions);
    std::fprintf(stderr, "memory over %d conversions of distinct links\n", all);
    std::optional<Memory> afterFirst;
    std::optional<Memory> afterAll;
    int failed = 0;
    int done = 0;
    const double startedAt = nowMs();
    for (int i = 1; i <= all && !interrupted && failed < 20; ++i) {
        char id[32];
        std::snprintf(id, sizeof id, "0OndariBench%010d", i);
        const std::string link = std::string("https://open.spotify.com/track/") + id;
        std::string why;
        const std::optional<Bench::Conversion> c = bench.convert(link, &why);
        if (!c || c->text.find("music.apple.com") == std::string::npos) {
            ++failed;
            progress("conversion %d: %s", i, c ? ("read \"" + c->text + "\"").c_str() : why.c_str());
        } else {
            ++done;
        }
        bench.x().idle(260);
        bench.closeToast();
        if (i == first || i == all) {
            bench.waitToastGone(6000);
            bench.x().idle(1500);
            (i == first ? afterFirst : afterAll) = memoryOf(bench.pid());
            const Memory m = *(i == first ? afterFirst : afterAll);
            progress("after %d conversions: RSS %ld kB, private %ld kB, anonymous %ld kB", i, m.rssKb,
                     m.privateKb, m.anonKb);
        } else if (i % 100 == 0) {
            const Memory m = memoryOf(bench.pid());
            progress("%d conversions (%.0f s): RSS %ld kB, private %ld kB, anonymous %ld kB", i,
                     (nowMs() - startedAt) / 1000.0, m.rssKb, m.privateKb, m.anonKb);
        }
    }
    if (!afterFirst || !afterAll) {
        row("memory over conversions", "not measured (" + std::to_string(failed) + " failed)",
            "≤ 1 MB added");
        return;
    }
    char text[200];
    std::snprintf(text, sizeof text, "%s after %d, %s after %d (%d converted%s)",
                  mb(afterFirst->rssKb).c_str(), first, mb(afterAll->rssKb).c_str(), all, done,
                  failed ? (", " + std::to_string(failed) + " failed").c_str() : "");
    row("RSS over conversions", text, "");
    // The private part moves when other processes that map the same libraries come and go; the
    // anonymous part is the program's own.
    std::snprintf(text, sizeof text, "%+.2f MB VmRSS, %+.2f MB anonymous",
                  double(afterAll->rssKb - afterFirst->rssKb) / 1024.0,
                  double(afterAll->anonKb - afterFirst->anonKb) / 1024.0);
    row("… added by the further conversions", text, "≤ 1 MB");
}

// Another client takes the clipboard over and over: how long the GUI thread is kept from its
// events meanwhile, and how soon the next copy converts.
void measureOwnerStorm(Bench& bench) {
    const int changes = bench.options().stormChanges;
    std::fprintf(stderr, "owner storm, %d owner changes\n", changes);
    bench.x().idle(1000);
    bench.x().clear();
    const std::string go = "go\n";
    const pid_t storm = spawn({bench.options().ownerStorm, std::to_string(changes)}, &go);
    int seen = 0;
    double quietSince = NAN;
    const double startedAt = nowMs();
    // Until every change has been announced and the program has had 600 ms more to take in the
    // last one (or 30 s have passed).
    const double longest = bench.x().longestPingMs(bench.iconWindow(), 5, [&] {
        for (auto it = bench.x().pending().begin(); it != bench.x().pending().end(); ++it) {
            seen += it->kind == Happening::Kind::ownerChange;
        }
        bench.x().clear();
        if (seen >= changes && std::isnan(quietSince)) {
            quietSince = nowMs();
        }
        return (!std::isnan(quietSince) && nowMs() - quietSince > 600) || nowMs() - startedAt > 30000;
    });
    stop(storm);
    progress("%d owner changes seen; longest answer to a ping %.1f ms, longest X round trip %.1f ms", seen,
             longest, bench.x().longestRoundTripMs());
    std::string why;
    // A link not copied before, so that it is not skipped as the last one processed.
    const std::optional<Bench::Conversion> c =
        bench.convert("https://open.spotify.com/track/0OndariBenchStorm00001", &why);
    char text[200];
    std::snprintf(text, sizeof text,
                  "%.1f ms (%d owner changes; the X server's own round trip up to %.1f ms)", longest, seen,
                  bench.x().longestRoundTripMs());
    row("longest GUI pause during an owner storm", text, "≤ 50 ms");
    if (c) {
        std::snprintf(text, sizeof text, "%.0f ms", c->readMs - c->copiedMs);
    } else {
        std::snprintf(text, sizeof text, "failed: %s", why.c_str());
    }
    row("… next copy to converted link on the clipboard", text, "≤ 520 ms");
    bench.x().idle(280);
    bench.closeToast();
    bench.waitToastGone(6000);
}

// Keys other than Return and keypad Enter typed elsewhere while the shortcut's observation runs:
// what the program spends on them, and how often its GUI thread wakes for them.
void measureOtherKeys(Bench& bench) {
    constexpr int presses = 5000;
    std::fprintf(stderr, "other keys, %d presses\n", presses);
    bench.x().idle(1000);
    const CpuUse allBefore = cpuOf(bench.pid());
    const CpuUse guiBefore = cpuOf(bench.pid(), true);
    const double startedAt = nowMs();
    bench.x().typeKey(XK_a, presses);
    bench.x().idle(500); // the last ones are taken in
    const double elapsedS = (nowMs() - startedAt) / 1000.0;
    const CpuUse allAfter = cpuOf(bench.pid());
    const CpuUse guiAfter = cpuOf(bench.pid(), true);
    // Less what the program does idle over the same time (about 2 wake-ups a second).
    const double guiWakeUps = double(guiAfter.switches - guiBefore.switches) - 2.0 * elapsedS;
    const double cpuUs = (allAfter.cpuMs - allBefore.cpuMs) * 1000.0;
    progress("%.1f ms of CPU, %ld context switches (%ld of the GUI thread) in %.1f s", cpuUs / 1000.0,
             allAfter.switches - allBefore.switches, guiAfter.switches - guiBefore.switches, elapsedS);
    char text[200];
    std::snprintf(text, sizeof text,
                  "%.2f µs of CPU per press; GUI thread woken %.3f times per press (%d presses)",
                  cpuUs / presses, std::max(0.0, guiWakeUps) / presses, presses);
    row("a key other than Return typed elsewhere", text, "GUI thread woken ≤ 0.01 times per press");
}

void onSignal(int) {
    interrupted = 1;
}

int intOption(const char* value) {
    char* end = nullptr;
    const long n = std::strtol(value, &end, 10);
    if (!end || *end || n < 0) {
        fail(std::string("not a count: ") + value);
    }
    return int(n);
}

} // namespace

int main(int argc, char* argv[]) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--program") {
            options.program = value;
        } else if (name == "--testdata") {
            options.testdata = value;
        } else if (name == "--log") {
            options.logPath = value;
        } else if (name == "--starts") {
            options.starts = intOption(value);
        } else if (name == "--idle-seconds") {
            options.idleSeconds = intOption(value);
        } else if (name == "--copies") {
            options.copies = intOption(value);
        } else if (name == "--conversions") {
            options.conversions = intOption(value);
        } else if (name == "--owner-storm") {
            options.ownerStorm = value;
        } else if (name == "--storm-changes") {
            options.stormChanges = intOption(value);
        } else {
            fail("unknown option " + name);
        }
    }
    if (options.program.empty() || options.testdata.empty() || options.logPath.empty()) {
        fail("usage: ondari-bench --program PATH --testdata DIR --log FILE [--starts N] [--idle-seconds N] "
             "[--copies N] [--conversions N] [--owner-storm PATH] [--storm-changes N]");
    }
    options.trace = std::getenv("ONDARI_BENCH_TRACE") != nullptr;
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    {
        Bench bench(options);
        if (!bench.x().waitForTray(10000)) {
            fail("no tray host is running");
        }
        measureStartUp(bench);

        if (!interrupted && (options.idleSeconds > 0 || options.copies > 0)) {
            if (!bench.start() || !bench.waitUntilReady()) {
                fail("the program did not come up");
            }
            if (options.idleSeconds > 0) {
                measureIdle(bench);
            }
            if (options.copies > 0 && !interrupted) {
                measureLatency(bench);
            }
            if (!options.ownerStorm.empty() && options.stormChanges > 0 && !interrupted) {
                measureOwnerStorm(bench);
            }
            if (!interrupted) {
                measureOtherKeys(bench);
            }
            bench.quit();
        }

        if (!interrupted && options.conversions > 0) {
            // A fresh process, so that the first conversions are its first ones.
            if (!bench.start() || !bench.waitUntilReady()) {
                fail("the program did not come up");
            }
            bench.x().idle(1000);
            measureMemory(bench);
            bench.quit();
        }
    }
    stopAll();
    return interrupted ? 130 : 0;
}

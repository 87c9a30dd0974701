#include "CrashHandler.h"

#include <QFile>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace CrashHandler {

namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kSignalCount = sizeof(kCrashSignals) / sizeof(kCrashSignals[0]);
constexpr std::size_t kAltStackSize = 256 * 1024;
constexpr int kMaxFrames = 128;

// Plain arrays of static storage: they have no destructors, so a crash during exit still
// finds them intact.
char g_directory[2048];
char g_release[256];
char* g_modules = nullptr;
std::size_t g_modulesLength = 0;
// Module texts that were replaced; only install touches the list, never a handler. Made once
// and never destroyed, so that it holds them to the very end.
std::vector<char*>* g_retiredModules = new std::vector<char*>;
struct sigaction g_previous[kSignalCount];
std::atomic<bool> g_installed{false};
std::atomic<bool> g_crashing{false};
std::atomic<bool> g_reportWritten{false};
void* g_altStack = nullptr;

// Stack requests of the hang watchdog: idle -> requested -> capturing -> done -> idle.
enum StackState { Idle, Requested, Capturing, Done };
std::atomic<int> g_stackState{Idle};
void* g_stackFrames[kMaxFrames];
int g_stackCount = 0;
bool g_stackSignalInstalled = false;

// A writer that uses nothing but write(2).
class SafeWriter {
public:
    explicit SafeWriter(int fd) : m_fd(fd) {}
    ~SafeWriter() { flush(); }

    void put(const char* text) {
        while (*text) {
            putChar(*text++);
        }
    }
    void put(const char* text, std::size_t length) {
        for (std::size_t i = 0; i < length; ++i) {
            putChar(text[i]);
        }
    }
    void putDecimal(unsigned long long value, int minDigits = 1) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = char('0' + value % 10);
            value /= 10;
        } while (value != 0 || count < minDigits);
        while (count > 0) {
            putChar(digits[--count]);
        }
    }
    void putHex(std::uintptr_t value) {
        char digits[2 * sizeof(value)];
        int count = 0;
        do {
            digits[count++] = "0123456789abcdef"[value & 0xf];
            value >>= 4;
        } while (value != 0);
        while (count > 0) {
            putChar(digits[--count]);
        }
    }
    void flush() {
        std::size_t done = 0;
        while (done < m_length) {
            const ssize_t written = ::write(m_fd, m_buffer + done, m_length - done);
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                break;
            }
            done += std::size_t(written);
        }
        m_length = 0;
    }

private:
    void putChar(char c) {
        if (m_length == sizeof(m_buffer)) {
            flush();
        }
        m_buffer[m_length++] = c;
    }

    int m_fd;
    char m_buffer[1024];
    std::size_t m_length = 0;
};

// Fills path with "<dir>/crash-<seconds>-<pid>.report" (plus ".tmp" when temporary).
void reportPath(char* path, std::size_t size, long seconds, bool temporary) {
    std::size_t length = 0;
    auto add = [&](const char* text) {
        while (*text && length + 1 < size) {
            path[length++] = *text++;
        }
    };
    auto addNumber = [&](unsigned long long value) {
        char digits[24];
        int count = 0;
        do {
            digits[count++] = char('0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0 && length + 1 < size) {
            path[length++] = digits[--count];
        }
    };
    add(g_directory);
    add("/crash-");
    addNumber((unsigned long long)seconds);
    add("-");
    addNumber((unsigned long long)::getpid());
    add(temporary ? ".report.tmp" : ".report");
    path[length] = '\0';
}

void writeReport(int signalNumber) {
    void* frames[kMaxFrames];
    const int frameCount = ::backtrace(frames, kMaxFrames);
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);

    char temporary[sizeof(g_directory) + 64];
    char final[sizeof(g_directory) + 64];
    reportPath(temporary, sizeof(temporary), now.tv_sec, true);
    reportPath(final, sizeof(final), now.tv_sec, false);
    const int fd = ::open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    {
        SafeWriter out(fd);
        out.put("ondari-report 1\nkind crash\nsignal ");
        out.putDecimal((unsigned long long)signalNumber);
        out.put("\ntime ");
        out.putDecimal((unsigned long long)now.tv_sec);
        out.put(".");
        out.putDecimal((unsigned long long)(now.tv_nsec / 1000), 6);
        out.put("\nrelease ");
        out.put(g_release);
        out.put("\n");
        if (g_modules) {
            out.put(g_modules, g_modulesLength);
        }
        for (int i = 0; i < frameCount; ++i) {
            out.put("frame ");
            out.putHex(reinterpret_cast<std::uintptr_t>(frames[i]));
            out.put("\n");
        }
    }
    ::close(fd);
    // Only complete reports carry the name the sender looks for.
    ::rename(temporary, final);
}

int indexOf(int signalNumber) {
    for (int i = 0; i < kSignalCount; ++i) {
        if (kCrashSignals[i] == signalNumber) {
            return i;
        }
    }
    return -1;
}

void onCrashSignal(int signalNumber, siginfo_t*, void*) {
    const int saved = errno;
    if (!g_crashing.exchange(true)) {
        writeReport(signalNumber);
        g_reportWritten.store(true);
    } else {
        // Another thread is writing its report: give it a moment before the process goes.
        for (int i = 0; i < 40 && !g_reportWritten.load(); ++i) {
            timespec pause{0, 50 * 1000 * 1000};
            ::nanosleep(&pause, nullptr);
        }
    }
    // Put back what was there before (normally the default action) and let the signal do
    // what it would have done: it is blocked until this handler returns, then delivered.
    const int index = indexOf(signalNumber);
    if (index >= 0) {
        ::sigaction(signalNumber, &g_previous[index], nullptr);
    } else {
        ::signal(signalNumber, SIG_DFL);
    }
    ::raise(signalNumber);
    errno = saved;
}

void onStackRequest(int) {
    int expected = Requested;
    if (g_stackState.compare_exchange_strong(expected, Capturing)) {
        const int saved = errno;
        g_stackCount = ::backtrace(g_stackFrames, kMaxFrames);
        errno = saved;
        g_stackState.store(Done);
    }
}

// A real-time signal that nothing else in the program uses.
int stackSignal() {
    return SIGRTMIN + 5;
}

} // namespace

bool install(const QString& reportsDirectory, const QByteArray& release, const QByteArray& moduleLines) {
    const QByteArray directory = QFile::encodeName(reportsDirectory);
    if (directory.size() + 1 > qsizetype(sizeof(g_directory))) {
        return false;
    }
    uninstall();
    qstrncpy(g_directory, directory.constData(), sizeof(g_directory));
    qstrncpy(g_release, release.constData(), sizeof(g_release));
    // A handler on another thread may still read the module text, so a published text is never
    // freed: an unchanged one (a restart in the same process) is kept as it is, and a replaced
    // one stays on the retired list.
    const std::size_t modulesLength = std::size_t(moduleLines.size());
    const bool unchanged = g_modules && g_modulesLength == modulesLength &&
                           std::memcmp(g_modules, moduleLines.constData(), modulesLength) == 0;
    if (!unchanged) {
        if (char* modules = static_cast<char*>(std::malloc(modulesLength + 1))) {
            std::memcpy(modules, moduleLines.constData(), modulesLength + 1);
            if (g_modules) {
                g_retiredModules->push_back(g_modules);
            }
            g_modules = modules;
            g_modulesLength = modulesLength;
        }
    }
    g_crashing.store(false);
    g_reportWritten.store(false);

    // backtrace() loads the unwinder on its first call; that must not happen in a handler.
    void* warmUp[2];
    ::backtrace(warmUp, 2);

    if (!g_altStack) {
        g_altStack = std::malloc(kAltStackSize);
    }
    if (g_altStack) {
        stack_t stack{};
        stack.ss_sp = g_altStack;
        stack.ss_size = kAltStackSize;
        ::sigaltstack(&stack, nullptr);
    }

    struct sigaction action {};
    action.sa_sigaction = onCrashSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < kSignalCount; ++i) {
        ::sigaction(kCrashSignals[i], &action, &g_previous[i]);
    }
    g_installed.store(true);
    return true;
}

void uninstall() {
    if (!g_installed.exchange(false)) {
        return;
    }
    for (int i = 0; i < kSignalCount; ++i) {
        ::sigaction(kCrashSignals[i], &g_previous[i], nullptr);
    }
}

std::vector<std::uintptr_t> stackOfThread(pthread_t thread, std::chrono::milliseconds timeout) {
    if (!g_stackSignalInstalled) {
        // Installed once and never removed: a request still on its way must not meet the
        // default action of a real-time signal, which ends the process.
        struct sigaction action {};
        action.sa_handler = onStackRequest;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        ::sigaction(stackSignal(), &action, nullptr);
        void* warmUp[2];
        ::backtrace(warmUp, 2);
        g_stackSignalInstalled = true;
    }
    g_stackState.store(Requested);
    if (::pthread_kill(thread, stackSignal()) != 0) {
        g_stackState.store(Idle);
        return {};
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (g_stackState.load() != Done) {
        if (std::chrono::steady_clock::now() >= deadline) {
            int expected = Requested;
            if (g_stackState.compare_exchange_strong(expected, Idle)) {
                return {};
            }
            // The handler has begun: it finishes in a moment.
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::vector<std::uintptr_t> frames;
    for (int i = 0; i < g_stackCount; ++i) {
        frames.push_back(reinterpret_cast<std::uintptr_t>(g_stackFrames[i]));
    }
    g_stackState.store(Idle);
    return frames;
}

} // namespace CrashHandler

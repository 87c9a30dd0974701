// Starts error reporting, then dies the way its third argument says.
// Usage: crash_reporting_helper <dsn> <reports folder> segv|abort|overflow

#include "ErrorReporting.h"

#include <QCoreApplication>

#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

namespace {

volatile int g_depth = 0;

// Recurses until the stack is gone; the volatile array keeps each frame alive.
int overflow(int limit) {
    volatile char frame[4096];
    frame[0] = char(limit);
    g_depth = g_depth + 1;
    if (g_depth < limit) {
        return overflow(limit) + frame[0];
    }
    return frame[0];
}

} // namespace

// In a sanitizer build the crash handler under test, not the sanitizer, must meet the faults.
extern "C" __attribute__((used)) const char* __asan_default_options() {
    return "handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0";
}

int main(int argc, char* argv[]) {
    // No core files from the crashes on purpose.
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    QCoreApplication app(argc, argv);
    if (argc < 4) {
        return 2;
    }
    ErrorReportingOptions options;
    options.dsn = QString::fromLocal8Bit(argv[1]);
    options.reportsDirectory = QString::fromLocal8Bit(argv[2]);
    options.release = QStringLiteral("9.8.7-test");
    options.appHangTimeoutInterval = std::chrono::seconds(5);
    ErrorReporting::start(options);

    if (std::strcmp(argv[3], "segv") == 0) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    } else if (std::strcmp(argv[3], "abort") == 0) {
        std::abort();
    } else if (std::strcmp(argv[3], "overflow") == 0) {
        return overflow(std::atoi("100000000"));
    }
    return 0;
}

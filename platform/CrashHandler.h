#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <pthread.h>
#include <vector>

// The signal side of error reporting. Everything the handlers touch is prepared at install, so
// that they only call async-signal-safe functions.
namespace CrashHandler {

// Installs handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT that write a report
// ("crash-<time>-<pid>.report", the format of ErrorReport.h) into reportsDirectory and then let
// the process die as it would have. The calling thread gets an alternate signal stack, so a stack
// overflow there is reported too. Returns false when the folder's name is too long to keep.
bool install(const QString& reportsDirectory, const QByteArray& release, const QByteArray& moduleLines);
// Puts back the handlers that were there before install.
void uninstall();

// The stack of another thread of this process, innermost frame first; empty when the thread
// did not answer within timeout. Serves the hang watchdog; one caller at a time.
std::vector<std::uintptr_t> stackOfThread(pthread_t thread, std::chrono::milliseconds timeout);

} // namespace CrashHandler

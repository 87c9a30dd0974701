#pragma once

#include <QString>

#include <chrono>

// Crash and hang reporting to an ingest server that speaks the Sentry envelope protocol.
// A crash signal writes a report file from its handler; a GUI thread that does not answer for
// longer than the hang time-out makes a watchdog thread write one. Pending reports are sent at
// the next start and after a hang ends, and deleted once the server has accepted them.
struct ErrorReportingOptions {
    // https://<public key>@<ingest host>/<project id>; empty turns reporting off.
    QString dsn;
    // This reporter keeps no sessions, breadcrumbs or traces; the three settings exist so that
    // a caller can state them and are otherwise ignored.
    bool enableAutoSessionTracking = true;
    bool enableAutoBreadcrumbTracking = true;
    double tracesSampleRate = 0;
    // Zero turns the hang watchdog off.
    std::chrono::milliseconds appHangTimeoutInterval{2000};

    // Where reports wait to be sent; empty means "pending-reports" in the cache folder.
    QString reportsDirectory;
    // The program's version in the reports; empty means the application's version.
    QString release;
};

namespace ErrorReporting {

// Reports kept while the server cannot take them; older ones are dropped beyond this.
inline constexpr int maxPendingReports = 30;

// The DSN this build was configured with (ONDARI_ERROR_REPORTING_DSN), empty when none.
QString configuredDsn();

// Call on the GUI thread once the application object exists. Starting again replaces the
// earlier start. With an empty or unusable DSN nothing is installed and nothing is sent.
void start(const ErrorReportingOptions& options);

// Stops the watchdog thread, restores the earlier signal handlers and drops unsent requests.
// The watchdog also stops by itself when the application's event loop ends.
void stop();

bool isRunning();

} // namespace ErrorReporting

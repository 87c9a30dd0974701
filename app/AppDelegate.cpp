#include "AppDelegate.h"

#include "AppController.h"
#include "AppMover.h"
#include "ErrorReporting.h"

AppDelegate::AppDelegate(QObject* parent) : QObject(parent) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    startUp();
}

QCoro::Task<> AppDelegate::startUp() {
    m_mover = std::make_unique<AppMover>(AppMover::systemEnvironment());
    // Its result is not needed: a scheduled relaunch ends the program by itself later.
    co_await m_mover->moveToApplicationsFolderIfNeeded();
    if (m_mover->terminationRequested()) {
        co_return; // the program is ending: no further step runs
    }

    ErrorReportingOptions options;
    options.dsn = ErrorReporting::configuredDsn();
    options.enableAutoSessionTracking = false;
    options.enableAutoBreadcrumbTracking = false;
    options.tracesSampleRate = 0;
    options.appHangTimeoutInterval = std::chrono::seconds(5);
    ErrorReporting::start(options);

    AppController::shared().setup();
}

#include "AppDelegate.h"

#include "AppController.h"
#include "AppMover.h"
#include "ErrorReporting.h"
#include "LoginItem.h"
#include "StatusItem.h"

#include <cstdio>

AppDelegate::AppDelegate(QObject* parent) : QObject(parent) {}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
    startUp();
}

QCoro::Task<> AppDelegate::startUp() {
    m_mover = std::make_unique<AppMover>(AppMover::systemEnvironment());
    // A scheduled relaunch ends the program by itself later; start-up goes on meanwhile.
    const bool moved = co_await m_mover->moveToApplicationsFolderIfNeeded();
    if (m_mover->terminationRequested()) {
        co_return; // the program is ending: no further step runs
    }
    // An entry left by a copy at another path would start a file that may be gone. After a
    // move the entry is the new copy's: the mover has pointed it there already.
    if (!moved) {
        QString error;
        if (!LoginItem::mainApp().followRunningCopy(&error)) {
            std::printf("Failed to register login item: %s\n", qPrintable(error));
            std::fflush(stdout);
        }
    }

    ErrorReportingOptions options;
    options.dsn = ErrorReporting::configuredDsn();
    options.enableAutoSessionTracking = false;
    options.enableAutoBreadcrumbTracking = false;
    options.tracesSampleRate = 0;
    options.appHangTimeoutInterval = std::chrono::seconds(5);
    ErrorReporting::start(options);

    AppController& controller = AppController::shared();
    if (moved) {
        controller.leaveLoginItemAlone();
    }
    controller.setup();
    m_controller = &controller;
}

void AppDelegate::applicationShouldHandleReopen() {
    if (StatusItem* item = m_controller ? m_controller->statusItem() : nullptr) {
        item->openMenuAtPointer();
    }
}

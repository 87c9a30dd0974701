#include "KestroApp.h"

#include "AppDelegate.h"
#include "ClipboardMonitor.h"
#include "ErrorReporting.h"
#include "GlobalHotkey.h"
#include "KestroResources.h"
#include "KeyEventMonitor.h"
#include "LeakCheck.h"
#include "OndariVersion.h"
#include "Pasteboard.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>
#include <optional>

#include <sys/stat.h>

namespace {

// Ondari is an X11 client; in a Wayland session it runs through XWayland.
bool chooseDisplay() {
    const bool hasX11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    if (!hasX11) {
        std::fprintf(stderr, "Ondari needs an X11 display (or XWayland): DISPLAY is not set.\n");
        return false;
    }
    // Always xcb, whatever the session asks of Qt: the clipboard readers, the key observation
    // and the placing of panels are X11 code, and under Qt's Wayland plugin the clipboard would
    // quietly fall back to an in-process reader and panels could not be placed. Wayland
    // programs' copies reach us through the data-control clipboard instead.
    qputenv("QT_QPA_PLATFORM", "xcb");
    return true;
}

// Without a home Qt puts settings, logs and caches under "/"; there is nowhere sound to keep them.
bool hasHome() {
    const QByteArray home = qgetenv("HOME");
    struct stat info {};
    if (home.startsWith('/') && ::stat(home.constData(), &info) == 0 && S_ISDIR(info.st_mode)) {
        return true;
    }
    std::fprintf(stderr, "Ondari needs a home folder: HOME is not set to the absolute path of an existing "
                         "folder.\n");
    return false;
}

// Qt's X connection hears of every new clipboard owner (Qt's clipboard asks for that), so another
// client taking the clipboard in a loop floods it. By default a window's image memory comes from
// the X server as a file descriptor over that connection, and under the flood the descriptor can
// arrive among notices queued ahead of its answer; libxcb 1.15, having read all it holds, takes it
// for one it never asked for and closes the connection ("The X11 connection broke (error 7)").
// Qt documents no setting for this. QT_XCB_NO_MITSHM, which Qt's xcb plugin reads once as it
// connects, keeps it to plain image uploads: no descriptor ever crosses that connection. Set for
// that moment only, so programs started later keep their own choice.
const char* const noSharedMemory = "QT_XCB_NO_MITSHM";

std::optional<QByteArray> keepQtConnectionFreeOfDescriptors() {
    const std::optional<QByteArray> before = qEnvironmentVariableIsSet(noSharedMemory)
                                                 ? std::optional<QByteArray>(qgetenv(noSharedMemory))
                                                 : std::nullopt;
    qputenv(noSharedMemory, "1");
    return before;
}

void restoreSharedMemoryChoice(const std::optional<QByteArray>& before) {
    if (before) {
        qputenv(noSharedMemory, *before);
    } else {
        qunsetenv(noSharedMemory);
    }
}

} // namespace

int KestroApp::main(int argc, char* argv[]) {
    if (!hasHome() || !chooseDisplay()) {
        return 1;
    }
    initKeyObservationThreads();

    const std::optional<QByteArray> sharedMemoryChoice = keepQtConnectionFreeOfDescriptors();
    QApplication app(argc, argv);
    restoreSharedMemoryChoice(sharedMemoryChoice);
    QApplication::setOrganizationName(QStringLiteral("Ondari"));
    QApplication::setApplicationName(QStringLiteral("Ondari"));
    QApplication::setApplicationVersion(QStringLiteral(ONDARI_VERSION));
    QApplication::setDesktopFileName(QStringLiteral(ONDARI_APP_ID));
    // A tray program: closing its last window does not end it.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(KestroResources::appIcon());
    // A sanitizer build looks for leaks before the event loop is gone: a conversion that Quit
    // interrupts in its success hold still waits on a timer then, and is not lost.
    qAddPostRoutine(checkLeaksWhileRunning);

    // A later start does nothing of the start-up: it hands over to the running copy and ends.
    // Without a tray that is how the running copy's menu is reached.
    SingleInstance instance;
    if (!instance.tryLock()) {
        instance.askRunningCopyToShowMenu();
        std::printf("Ondari is already running.\n");
        return 0;
    }
    instance.listenForLaterStarts();

    AppDelegate delegate;
    QObject::connect(&instance, &SingleInstance::showMenuRequested, &delegate,
                     &AppDelegate::applicationShouldHandleReopen);
    QTimer::singleShot(0, &delegate, &AppDelegate::applicationDidFinishLaunching);
    const int status = QApplication::exec();

    // Worker threads end before the process does.
    GlobalHotkey::shared().unregisterHotkey();
    ClipboardMonitor::shared().stopMonitoring();
    Pasteboard::general().shutdown();
    ErrorReporting::stop();
    return status;
}

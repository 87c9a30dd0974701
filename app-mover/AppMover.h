#pragma once

#include "AppImageLocation.h"

#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Makes sure the program runs from an Applications folder. When the running AppImage lies
// elsewhere it asks the user, copies the AppImage into the folder (through pkexec when the folder
// or an older copy there is not writable), deletes it at its old place and restarts the program
// from the new copy once this process has ended. It logs nothing and shows nothing but its alert.
class AppMover {
public:
    struct Alert {
        QString messageText;
        QString informativeText;
        // The first is the default button, the last the one Escape chooses.
        QStringList buttons;
    };

    // Everything the mover reaches outside itself, so that tests can run it in folders of their own.
    struct Environment {
        // $APPIMAGE and $APPDIR as the process found them, and the running executable. Any
        // parent may leave the variables behind: they count only when the executable lies
        // inside APPDIR (not the root) and APPIMAGE names a regular file that is an AppImage.
        QString bundlePath;
        QString appDir;
        QString executablePath = QStringLiteral("/proc/self/exe");
        // Whether the file named by $APPIMAGE is an AppImage at all.
        std::function<bool(const QString& path)> isAppImage = AppImageLocation::hasAppImageMagic;
        // The Applications folders in their order (user, then local), whether they exist or not.
        QStringList applicationDirectories;
        // Never chosen, whatever it holds.
        QString excludedDirectory = QStringLiteral("/System/Applications");
        QString applicationName;
        // pkexec or a stand-in; empty when there is none.
        QString privilegedRunner;
        // Where the autostart entry lives; empty leaves it alone.
        QString autostartDirectory;
        QString appId;
        // The process the relaunch waits for.
        qint64 processId = 0;

        // Shows the alert modally; the index of the clicked button, -1 when it ended otherwise.
        std::function<int(const Alert&)> presentAlert;
        // The $APPIMAGE values of the user's running processes.
        std::function<QStringList()> runningAppImages;
        std::function<bool(const QString& path)> moveToTrash;
        std::function<bool(const QString& path)> isWritable;
        // Starts a program on its own, as a double click would.
        std::function<bool(const QString& path)> open;
        // Ends the program: ends the event loop.
        std::function<void()> terminate;
    };

    struct InstallResult {
        bool cancelled = false;
        bool succeeded = false;
        // No authentication agent could ask the user (pkexec missing, or none running).
        bool unavailable = false;
    };

    // The running program's environment: $APPIMAGE, $APPDIR, ~/Applications and /Applications, pkexec,
    // a QMessageBox with the program's icon, QFile::moveToTrash, and QCoreApplication::exit(0).
    static Environment systemEnvironment();

    explicit AppMover(Environment environment);

    // Call on the GUI thread at start-up. True exactly when a new copy is in place and its
    // relaunch has started; terminate() is then queued on the event loop, so it runs after the
    // rest of start-up. After a false result, check terminationRequested(): when set, terminate()
    // has been called and no further start-up step should run.
    QCoro::Task<bool> moveToApplicationsFolderIfNeeded();
    bool terminationRequested() const { return m_terminationRequested; }

    bool isInstalled(const QString& bundlePath) const;
    std::optional<QString> preferredInstallDirectory() const;
    // Replaces destination with a copy of source, as root. Waits without blocking the event loop.
    QCoro::Task<InstallResult> authorizedInstall(const QString& destination, const QString& source);
    // Clears the new copy's download-origin attributes, points the autostart entry at it and
    // starts a detached shell that opens it once this process has gone; then calls completion.
    // False when the shell could not be started (completion is then not called).
    bool relaunch(const QString& path, const std::function<void()>& completion);

    // The shell text pkexec runs; the paths come as its arguments, never as part of the text.
    static const QString installScript;
    static const QString relaunchScript;

private:
    bool askToMove(bool needsAuthorization) const;
    bool isRunning(const QString& path) const;
    void requestTermination();

    Environment m_env;
    bool m_terminationRequested = false;
};

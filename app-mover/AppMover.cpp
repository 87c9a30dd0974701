#include "AppMover.h"

#include "AppImageLocation.h"
#include "LoginItem.h"

#include <QCoreApplication>
#include <QCoroSignal>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <memory>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

// Run as root: $1 is the destination, $2 the source.
const QString AppMover::installScript = QStringLiteral("rm -f -- \"$1\" && cp -p -- \"$2\" \"$1\"");
// $1 is the process to outlive, $2 the program to start after it.
const QString AppMover::relaunchScript =
    QStringLiteral("while kill -0 \"$1\" >/dev/null 2>&1; do sleep 0.1; done; exec \"$2\"");

namespace {

// Signals the GUI thread that a worker has finished. The signal is emitted from a queued call,
// so it cannot fire before the waiting coroutine has connected to it.
class Completion : public QObject {
    Q_OBJECT
public:
    void finishFromAnyThread() {
        QMetaObject::invokeMethod(
            this, [this] { emit finished(); }, Qt::QueuedConnection);
    }
signals:
    void finished();
};

QCoro::Task<> processEnded(QProcess& process) {
    // stateChanged(NotRunning) comes both after a failed start and after the end, with the
    // exit code and all output already read. It is relayed without its arguments: awaited
    // directly, its private-signal tag would be read from a null pointer in the queued call.
    Completion changed;
    QObject::connect(&process, &QProcess::stateChanged, &changed, [&changed] { emit changed.finished(); });
    while (process.state() != QProcess::NotRunning) {
        co_await qCoro(&changed, &Completion::finished);
    }
}

QCoro::Task<bool> copyOffThread(QString source, QString destination) {
    auto copied = std::make_shared<bool>(false);
    Completion completion;
    std::unique_ptr<QThread> worker(QThread::create([copied, source, destination, done = &completion] {
        *copied = QFile::copy(source, destination);
        done->finishFromAnyThread();
    }));
    worker->start();
    co_await qCoro(&completion, &Completion::finished);
    worker->wait();
    co_return *copied;
}

// The environment a freshly started AppImage should see: the old AppImage's runtime variables
// would otherwise point it at this copy's mount.
QProcessEnvironment environmentForNewCopy() {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"APPIMAGE", "APPDIR", "ARGV0", "OWD"}) {
        environment.remove(QString::fromLatin1(name));
    }
    return environment;
}

bool startDetached(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environmentForNewCopy());
    process.setStandardInputFile(QProcess::nullDevice());
    return process.startDetached();
}

QString trimmedBlanks(const QString& text) {
    auto isBlank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text[begin])) {
        ++begin;
    }
    while (end > begin && isBlank(text[end - 1])) {
        --end;
    }
    return text.mid(begin, end - begin);
}

int entryCount(const QString& directory) {
    return int(QDir(directory)
                   .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)
                   .size());
}

QString resolved(const QString& path) {
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(path) : canonical;
}

int presentMessageBox(const AppMover::Alert& alert) {
    QMessageBox box;
    const QIcon icon = QGuiApplication::windowIcon();
    if (icon.isNull()) {
        box.setIcon(QMessageBox::Information);
    } else {
        box.setIconPixmap(icon.pixmap(64, 64));
        box.setWindowIcon(icon);
    }
    box.setWindowTitle(QGuiApplication::applicationDisplayName());
    box.setText(alert.messageText);
    box.setInformativeText(alert.informativeText);
    QList<QAbstractButton*> buttons;
    for (qsizetype i = 0; i < alert.buttons.size(); ++i) {
        buttons.append(
            box.addButton(alert.buttons[i], i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole));
    }
    if (!buttons.isEmpty()) {
        box.setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
        box.setEscapeButton(buttons.last());
    }
    // The desktop orders the buttons its own way, so the clicked object decides, not a position.
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    return int(buttons.indexOf(box.clickedButton()));
}

QStringList appImagesOfUserProcesses() {
    QStringList appImages;
    const uid_t user = ::getuid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool isPid = false;
        entry.toLongLong(&isPid);
        if (!isPid) {
            continue;
        }
        const QByteArray processDir = "/proc/" + entry.toLatin1();
        struct stat info {};
        if (::stat(processDir.constData(), &info) != 0 || info.st_uid != user) {
            continue;
        }
        QFile environ(QString::fromLatin1(processDir + "/environ"));
        if (!environ.open(QIODevice::ReadOnly)) {
            continue;
        }
        const QList<QByteArray> variables = environ.readAll().split('\0');
        for (const QByteArray& variable : variables) {
            if (variable.startsWith("APPIMAGE=")) {
                appImages.append(QFile::decodeName(variable.mid(9)));
                break;
            }
        }
    }
    return appImages;
}

} // namespace

AppMover::Environment AppMover::systemEnvironment() {
    Environment env;
    env.bundlePath = qEnvironmentVariable("APPIMAGE");
    env.appDir = qEnvironmentVariable("APPDIR");
    env.applicationDirectories = {QDir::homePath() + QStringLiteral("/Applications"),
                                  QStringLiteral("/Applications")};
    env.applicationName = QGuiApplication::applicationDisplayName();
    env.privilegedRunner = QStandardPaths::findExecutable(QStringLiteral("pkexec"));
    env.autostartDirectory = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
                             QStringLiteral("/autostart");
    env.appId = QStringLiteral(ONDARI_APP_ID);
    env.processId = QCoreApplication::applicationPid();
    env.presentAlert = presentMessageBox;
    env.runningAppImages = appImagesOfUserProcesses;
    env.moveToTrash = [](const QString& path) {
        // Without the data folder Qt 6.4 "trashes" into a folder "files" under the working folder.
        QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
        return QFile::moveToTrash(path);
    };
    env.isWritable = [](const QString& path) {
        return ::access(QFile::encodeName(path).constData(), W_OK) == 0;
    };
    // With the single-instance lock a copy that is already running keeps running, and this
    // second start of it ends at once: the user sees the running one.
    env.open = [](const QString& path) { return startDetached(path, {}); };
    env.terminate = [] { QCoreApplication::exit(0); };
    return env;
}

AppMover::AppMover(Environment environment) : m_env(std::move(environment)) {}

QCoro::Task<bool> AppMover::moveToApplicationsFolderIfNeeded() {
    // A cancelled authentication starts the whole run again, alert included.
    for (;;) {
        // Not our own AppImage: treated like any other installation.
        const QString source = AppImageLocation::verified(m_env.bundlePath, m_env.appDir,
                                                          m_env.executablePath, m_env.isAppImage);
        if (isInstalled(source)) {
            co_return false;
        }
        const std::optional<QString> installDirectory = preferredInstallDirectory();
        const QString fileName = QFileInfo(source).fileName();
        if (!installDirectory || fileName.isEmpty()) {
            co_return false;
        }
        const QString destination = *installDirectory + QLatin1Char('/') + fileName;
        // Only a file or a link of that name is ever replaced, never a folder.
        if (QFileInfo(destination).isDir() && !QFileInfo(destination).isSymLink()) {
            co_return false;
        }
        const bool needsAuthorization = (QFileInfo::exists(destination) && !m_env.isWritable(destination)) ||
                                        !m_env.isWritable(*installDirectory);

        if (!askToMove(needsAuthorization)) {
            co_return false;
        }

        if (needsAuthorization) {
            if (QFileInfo(destination).suffix().compare(QLatin1String("AppImage"), Qt::CaseInsensitive) !=
                    0 ||
                trimmedBlanks(destination).isEmpty() || trimmedBlanks(source).isEmpty()) {
                requestTermination();
                co_return false;
            }
            const InstallResult result = co_await authorizedInstall(destination, source);
            if (result.cancelled) {
                continue;
            }
            if (result.unavailable) {
                // Nobody could ask for the password: ending here would close the program for a
                // reason the user never saw.
                co_return false;
            }
            if (!result.succeeded) {
                requestTermination();
                co_return false;
            }
        } else {
            if (QFileInfo::exists(destination) || QFileInfo(destination).isSymLink()) {
                if (isRunning(destination)) {
                    m_env.open(destination);
                    co_return false;
                }
                if (!m_env.moveToTrash(destination)) {
                    co_return false;
                }
            }
            const bool copied = co_await copyOffThread(source, destination);
            if (!copied) {
                co_return false;
            }
        }

        QFile::remove(source);
        const std::function<void()> terminate = m_env.terminate;
        co_return relaunch(destination, [terminate] {
            // Queued, so the rest of start-up still runs before the program ends.
            QMetaObject::invokeMethod(QCoreApplication::instance(), terminate, Qt::QueuedConnection);
        });
    }
}

bool AppMover::isInstalled(const QString& bundlePath) const {
    // Not run from an AppImage (a build tree, a package): nothing to move.
    if (bundlePath.isEmpty()) {
        return true;
    }
    for (const QString& directory : m_env.applicationDirectories) {
        if (!directory.isEmpty() && bundlePath.startsWith(directory)) {
            return true;
        }
    }
    return bundlePath.split(QLatin1Char('/'), Qt::SkipEmptyParts).contains(QStringLiteral("Applications"));
}

std::optional<QString> AppMover::preferredInstallDirectory() const {
    QStringList candidates;
    for (const QString& directory : m_env.applicationDirectories) {
        const QString path = resolved(directory);
        if (QFileInfo(path).isDir() && path != m_env.excludedDirectory) {
            candidates.append(path);
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const QString& a, const QString& b) { return entryCount(a) < entryCount(b); });
    if (candidates.isEmpty()) {
        return std::nullopt;
    }
    return candidates.last();
}

QCoro::Task<AppMover::InstallResult> AppMover::authorizedInstall(const QString& destination,
                                                                 const QString& source) {
    InstallResult result;
    if (destination.isEmpty() || source.isEmpty()) {
        co_return result;
    }
    if (m_env.privilegedRunner.isEmpty()) {
        result.unavailable = true;
        co_return result;
    }
    QProcess process;
    process.setProgram(m_env.privilegedRunner);
    process.setArguments({QStringLiteral("/bin/sh"), QStringLiteral("-c"), installScript,
                          QStringLiteral("sh"), destination, source});
    process.setStandardInputFile(QProcess::nullDevice());
    process.start();
    // The authentication dialog can stay open for long: wait without freezing the windows.
    co_await processEnded(process);

    if (process.error() == QProcess::FailedToStart) {
        result.unavailable = true;
        co_return result;
    }
    if (process.exitStatus() != QProcess::NormalExit) {
        co_return result;
    }
    switch (process.exitCode()) {
    case 0:
        result.succeeded = true;
        break;
    case 126:
        // pkexec: the user dismissed the authentication dialog.
        result.cancelled = true;
        break;
    case 127:
        // pkexec: a refused authentication says so; every other 127 means no dialog could be shown.
        result.unavailable = !process.readAllStandardError().contains("Not authorized");
        break;
    default:
        break;
    }
    co_return result;
}

bool AppMover::relaunch(const QString& path, const std::function<void()>& completion) {
    const QByteArray encoded = QFile::encodeName(path);
    for (const char* attribute : {"user.xdg.origin.url", "user.xdg.referrer.url"}) {
        ::removexattr(encoded.constData(), attribute);
    }

    if (!m_env.autostartDirectory.isEmpty()) {
        // Only an entry that exists follows the move, in the state the user left it.
        LoginItem(m_env.autostartDirectory, m_env.appId, path).followRunningCopy(nullptr);
    }

    if (!startDetached(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), relaunchScript, QStringLiteral("sh"),
                                                   QString::number(m_env.processId), path})) {
        return false;
    }
    if (completion) {
        completion();
    }
    return true;
}

bool AppMover::askToMove(bool needsAuthorization) const {
    const QString name = m_env.applicationName.isEmpty() ? QStringLiteral("The App") : m_env.applicationName;
    Alert alert;
    alert.messageText = QStringLiteral("Move to Applications folder");
    alert.informativeText =
        name + QStringLiteral(" needs to move to your Applications folder in order to work properly.");
    if (needsAuthorization) {
        alert.informativeText += QStringLiteral(
            " You need to authenticate with your administrator password to complete this step.");
    }
    alert.buttons = {QStringLiteral("Move to Applications Folder"), QStringLiteral("Do Not Move")};
    return m_env.presentAlert && m_env.presentAlert(alert) == 0;
}

bool AppMover::isRunning(const QString& path) const {
    if (!m_env.runningAppImages) {
        return false;
    }
    const QString wanted = QDir::cleanPath(path);
    const QStringList running = m_env.runningAppImages();
    return std::any_of(running.begin(), running.end(),
                       [&](const QString& appImage) { return QDir::cleanPath(appImage) == wanted; });
}

void AppMover::requestTermination() {
    m_terminationRequested = true;
    if (m_env.terminate) {
        m_env.terminate();
    }
}

#include "AppMover.moc"

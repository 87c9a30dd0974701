#include "TestEnvironment.h"

#include "LeakCheck.h"

#include <QDir>
#include <QFile>

#include <cstdlib>
#include <sys/stat.h>

namespace TestEnvironment {

namespace {
QString& rootPath() {
    static QString path;
    return path;
}
} // namespace

void prepare() {
    QByteArray pattern = QDir::tempPath().toUtf8() + "/ondari-test-XXXXXX";
    char* made = ::mkdtemp(pattern.data());
    if (!made) {
        qFatal("cannot create a private test folder");
    }
    rootPath() = QString::fromUtf8(made);
    QDir dir(rootPath());
    dir.mkpath(QStringLiteral("home"));
    dir.mkpath(QStringLiteral("config"));
    dir.mkpath(QStringLiteral("runtime"));
    ::chmod(QFile::encodeName(rootPath() + QStringLiteral("/runtime")).constData(), 0700);
    qputenv("HOME", QFile::encodeName(home()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome()));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(rootPath() + QStringLiteral("/runtime")));
    // The caller's session must not reach the tests, nor the programs they start.
    qputenv("XDG_DATA_HOME", QFile::encodeName(home() + QStringLiteral("/.local/share")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home() + QStringLiteral("/.cache")));
    qputenv("XDG_STATE_HOME", QFile::encodeName(home() + QStringLiteral("/.local/state")));
    for (const char* name : {"XDG_DATA_DIRS", "XDG_CONFIG_DIRS", "XDG_CURRENT_DESKTOP", "XDG_SESSION_TYPE",
                             "XDG_SESSION_DESKTOP", "DESKTOP_SESSION"}) {
        qunsetenv(name);
    }
    // The one-copy lock is found by user id: it stays in here, away from a running Ondari.
    dir.mkpath(QStringLiteral("tmp"));
    qputenv("ONDARI_INSTANCE_ROOT", QFile::encodeName(rootPath()));
    std::atexit([] { QDir(rootPath()).removeRecursively(); });
    // Leak checks of sanitizer builds run while the application object still exists.
    qAddPostRoutine(checkLeaksWhileRunning);
}

QString root() {
    return rootPath();
}
QString home() {
    return rootPath() + QStringLiteral("/home");
}
QString configHome() {
    return rootPath() + QStringLiteral("/config");
}

QString testDataDir() {
    const QString fromEnv = qEnvironmentVariable("ONDARI_TESTDATA_DIR");
    return fromEnv.isEmpty() ? QStringLiteral(ONDARI_TESTDATA_DIR) : fromEnv;
}

QByteArray readTestData(const QString& relativePath) {
    QFile file(testDataDir() + QLatin1Char('/') + relativePath);
    if (!file.open(QIODevice::ReadOnly)) {
        qFatal("missing test data %s", qPrintable(file.fileName()));
    }
    return file.readAll();
}

QString newHome(const QString& name) {
    const QString folder = root() + QLatin1Char('/') + name;
    QDir(folder).removeRecursively();
    QDir().mkpath(folder + QStringLiteral("/runtime"));
    QFile::setPermissions(folder + QStringLiteral("/runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return folder;
}

QString debugLogPath() {
    return home() + QStringLiteral("/ondari_debug.log");
}

QStringList debugLogMessages() {
    return debugLogMessagesIn(home());
}

QStringList debugLogMessagesIn(const QString& homeFolder) {
    QFile file(homeFolder + QStringLiteral("/ondari_debug.log"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QStringList messages;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray& line : lines) {
        const qsizetype end = line.indexOf("] ");
        if (line.startsWith('[') && end > 0) {
            messages.append(QString::fromUtf8(line.mid(end + 2)));
        }
    }
    return messages;
}

QStringList debugLogMessages(const QString& prefix) {
    QStringList matching;
    for (const QString& message : debugLogMessages()) {
        if (message.startsWith(prefix)) {
            matching.append(message);
        }
    }
    return matching;
}

void clearDebugLog() {
    QFile::remove(debugLogPath());
}

} // namespace TestEnvironment

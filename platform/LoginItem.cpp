#include "LoginItem.h"

#include "AppImageLocation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

LoginItem::LoginItem(QString autostartDir, QString appId, QString execPath)
    : m_autostartDir(std::move(autostartDir)), m_appId(std::move(appId)), m_execPath(std::move(execPath)) {}

LoginItem LoginItem::mainApp() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString appImage = AppImageLocation::running();
    const QString exec = appImage.isEmpty() ? QCoreApplication::applicationFilePath() : appImage;
    return LoginItem(config + QStringLiteral("/autostart"), QStringLiteral(ONDARI_APP_ID), exec);
}

QString LoginItem::entryPath() const {
    return m_autostartDir + QLatin1Char('/') + m_appId + QStringLiteral(".desktop");
}

namespace {

// An autostart entry is a few hundred bytes; a larger file is not read whole.
constexpr qint64 maxEntrySize = 64 * 1024;

// The keys of the [Desktop Entry] group, in file order; none when the entry cannot be read.
std::optional<QList<std::pair<QString, QString>>> mainGroup(const QString& path) {
    // A pipe or device put there would block the reading thread.
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return std::nullopt;
    }
    QList<std::pair<QString, QString>> keys;
    bool inMainGroup = false;
    const QList<QByteArray> lines = file.read(maxEntrySize).split('\n');
    for (const QByteArray& raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (!inMainGroup || eq < 0) {
            continue;
        }
        keys.append({line.left(eq).trimmed(), line.mid(eq + 1).trimmed()});
    }
    return keys;
}

// The first argument of an Exec value, undoing quotedExec (and plain unquoted words).
QString firstArgument(const QString& value) {
    // The string-value escapes come first.
    QString exec;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value[i] != QLatin1Char('\\') || i + 1 == value.size()) {
            exec += value[i];
            continue;
        }
        const QChar next = value[++i];
        exec += next == QLatin1Char('s')   ? QChar(QLatin1Char(' '))
                : next == QLatin1Char('n') ? QChar(QLatin1Char('\n'))
                : next == QLatin1Char('t') ? QChar(QLatin1Char('\t'))
                : next == QLatin1Char('r') ? QChar(QLatin1Char('\r'))
                                           : next;
    }
    QString argument;
    qsizetype i = 0;
    if (exec.startsWith(QLatin1Char('"'))) {
        for (i = 1; i < exec.size() && exec[i] != QLatin1Char('"'); ++i) {
            if (exec[i] == QLatin1Char('\\') && i + 1 < exec.size()) {
                ++i;
            }
            argument += exec[i];
        }
    } else {
        for (; i < exec.size() && exec[i] != QLatin1Char(' '); ++i) {
            argument += exec[i];
        }
    }
    return argument.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

} // namespace

bool LoginItem::isEnabled() const {
    const auto keys = mainGroup(entryPath());
    if (!keys) {
        return false;
    }
    for (const auto& [key, value] : *keys) {
        if (key == QLatin1String("Hidden") && value == QLatin1String("true")) {
            return false;
        }
        if (key == QLatin1String("X-GNOME-Autostart-enabled") && value == QLatin1String("false")) {
            return false;
        }
    }
    return true;
}

std::optional<QString> LoginItem::entryProgram() const {
    const auto keys = mainGroup(entryPath());
    if (!keys) {
        return std::nullopt;
    }
    for (const auto& [key, value] : *keys) {
        if (key == QLatin1String("Exec")) {
            return firstArgument(value);
        }
    }
    return std::nullopt;
}

bool LoginItem::followRunningCopy(QString* error) {
    if (!QFile::exists(entryPath()) || entryProgram() == m_execPath) {
        return true;
    }
    // Rewritten whole: an entry switched off by Hidden or by the GNOME key stays off.
    return writeEntry(!isEnabled(), error);
}

bool LoginItem::registerItem(QString* error) {
    return writeEntry(false, error);
}

bool LoginItem::unregisterItem(QString* error) {
    return writeEntry(true, error);
}

QString LoginItem::quotedExec(const QString& path) {
    // Inside a quoted argument ", `, $ and \ take a backslash; the value as a whole then
    // doubles every backslash, and % stands for itself only as %%.
    QString argument;
    for (const QChar c : path) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\')) {
            argument += QLatin1Char('\\');
        }
        argument += c;
    }
    QString value = QLatin1Char('"') + argument + QLatin1Char('"');
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char('%'), QStringLiteral("%%"));
    value.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    value.replace(QLatin1Char('\t'), QStringLiteral("\\t"));
    value.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    return value;
}

bool LoginItem::writeEntry(bool hidden, QString* error) {
    if (!QDir().mkpath(m_autostartDir)) {
        if (error) {
            *error = QStringLiteral("Cannot create the folder %1").arg(m_autostartDir);
        }
        return false;
    }
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        if (error) {
            *error = QStringLiteral("Cannot write %1: %2").arg(entryPath(), file.errorString());
        }
        return false;
    }
    QByteArray content = "[Desktop Entry]\n"
                         "Type=Application\n"
                         "Name=Ondari\n"
                         "Comment=Converts copied song links\n";
    content += "Exec=" + quotedExec(m_execPath).toUtf8() + "\n";
    content += "Terminal=false\n";
    content += "X-GNOME-Autostart-enabled=true\n";
    content += hidden ? "Hidden=true\n" : "Hidden=false\n";
    file.write(content);
    if (!file.commit()) {
        if (error) {
            *error = QStringLiteral("Cannot write %1: %2").arg(entryPath(), file.errorString());
        }
        return false;
    }
    return true;
}

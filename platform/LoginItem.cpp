#include "LoginItem.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

LoginItem::LoginItem(QString autostartDir, QString appId, QString execPath)
    : m_autostartDir(std::move(autostartDir)), m_appId(std::move(appId)), m_execPath(std::move(execPath)) {}

LoginItem LoginItem::mainApp() {
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    const QString appImage = qEnvironmentVariable("APPIMAGE");
    const QString exec = appImage.isEmpty() ? QCoreApplication::applicationFilePath() : appImage;
    return LoginItem(config + QStringLiteral("/autostart"), QStringLiteral(ONDARI_APP_ID), exec);
}

QString LoginItem::entryPath() const {
    return m_autostartDir + QLatin1Char('/') + m_appId + QStringLiteral(".desktop");
}

bool LoginItem::isEnabled() const {
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return false;
    }
    bool inMainGroup = false;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup) {
            continue;
        }
        const qsizetype eq = line.indexOf(QLatin1Char('='));
        if (eq < 0) {
            continue;
        }
        const QString key = line.left(eq).trimmed();
        const QString value = line.mid(eq + 1).trimmed();
        if (key == QLatin1String("Hidden") && value == QLatin1String("true")) {
            return false;
        }
        if (key == QLatin1String("X-GNOME-Autostart-enabled") && value == QLatin1String("false")) {
            return false;
        }
    }
    return true;
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

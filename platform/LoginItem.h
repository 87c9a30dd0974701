#pragma once

#include <QString>

// Launch at login through an XDG autostart entry. Turning it off keeps the entry with
// Hidden=true, so the user's choice also overrides a system-wide entry of the same name.
class LoginItem {
public:
    LoginItem(QString autostartDir, QString appId, QString execPath);

    // The running program: ~/.config/autostart/<app id>.desktop starting $APPIMAGE when
    // set, else this executable.
    static LoginItem mainApp();

    QString entryPath() const;
    bool isEnabled() const;
    // Each returns false and fills error with a readable reason on failure.
    bool registerItem(QString* error);
    bool unregisterItem(QString* error);

    // Quotes a program path for an Exec key (quoting and escaping rules of desktop entries).
    static QString quotedExec(const QString& path);

private:
    bool writeEntry(bool hidden, QString* error);

    QString m_autostartDir;
    QString m_appId;
    QString m_execPath;
};

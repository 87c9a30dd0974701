#pragma once

#include <QString>

#include <optional>

// Launch at login through an XDG autostart entry. Turning it off keeps the entry with
// Hidden=true, so the user's choice also overrides a system-wide entry of the same name.
class LoginItem {
public:
    LoginItem(QString autostartDir, QString appId, QString execPath);

    // The running program: ~/.config/autostart/<app id>.desktop starting the AppImage it runs
    // from, else this executable.
    static LoginItem mainApp();

    QString entryPath() const;
    bool isEnabled() const;
    // Each returns false and fills error with a readable reason on failure.
    bool registerItem(QString* error);
    bool unregisterItem(QString* error);
    // Points an existing entry that starts another path at this program, on or off as the user
    // left it. Writes no entry where there is none; true when nothing needed doing.
    bool followRunningCopy(QString* error);

    // The program the existing entry's Exec key starts; none without an entry or an Exec key.
    std::optional<QString> entryProgram() const;

    // Quotes a program path for an Exec key (quoting and escaping rules of desktop entries).
    static QString quotedExec(const QString& path);

private:
    bool writeEntry(bool hidden, QString* error);

    QString m_autostartDir;
    QString m_appId;
    QString m_execPath;
};

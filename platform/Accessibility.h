#pragma once

#include <QObject>
#include <QString>

#include <optional>

// Whether Ondari may observe key presses sent to other programs. The desktop keeps no such
// permission, so the layer keeps the user's consent in a file of its own; trust also needs a
// session that can deliver those presses (X11 with a working RECORD extension, not Wayland).
class Accessibility : public QObject {
    Q_OBJECT

public:
    // consentFile: where the user's answer is kept.
    explicit Accessibility(QString consentFile, QObject* parent = nullptr);

    static Accessibility& shared();

    // The answer callers use: consent and capability together.
    bool isTrusted() const;

    bool hasConsent() const;
    // Stores the user's answer; announces the change of trust.
    void setConsent(bool allowed);

    // An X11 session with the RECORD extension; probed once.
    bool sessionCanObserveKeys() const;
    // True in a Wayland session (the permission window explains the limit there).
    static bool isWaylandSession();

    // Tests force either answer; none returns to the real check.
    void forceTrusted(std::optional<bool> trusted);
    void forceSessionCanObserveKeys(std::optional<bool> capable);

    QString consentFile() const { return m_consentFile; }

signals:
    void trustChanged(bool trusted);

private:
    QString m_consentFile;
    std::optional<bool> m_forced;
    mutable std::optional<bool> m_capable;
};

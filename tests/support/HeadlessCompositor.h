#pragma once

#include <QDBusConnection>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>

#include <memory>

// A Wayland compositor without any screen, with its Xwayland, on a D-Bus session of its own,
// for tests of the program in a Wayland session. Everything it starts ends with it.
class HeadlessCompositor {
public:
    enum class Kind {
        sway,   // wlroots: offers data control; passes the clipboard to X11 only with focus
        mutter, // GNOME: no data control; passes the clipboard to X11 at any time
    };

    // dir: a fresh folder of the test's own.
    HeadlessCompositor(Kind kind, QString dir);
    ~HeadlessCompositor();

    // Empty when the compositor, its Xwayland and a seat that wl-copy can use are up;
    // otherwise why not.
    QString start();
    void stop();

    // What a client of this session needs: WAYLAND_DISPLAY (a full path), DISPLAY,
    // XAUTHORITY where the X server asks for it, and a private XDG_RUNTIME_DIR.
    QProcessEnvironment clientEnvironment() const;

    // wl-copy and wl-paste in this session; copy offers the bytes as this type, or as text.
    bool copy(const QByteArray& bytes, const QString& type = {}) const;
    QString paste() const;

    QString log() const;

private:
    QString startSway();
    QString startMutter();
    // Waits for the line the session's first client writes: DISPLAY, WAYLAND_DISPLAY, ...
    QStringList awaitSessionFile(int timeoutMs) const;
    QString pressKeyForSeat();

    Kind m_kind;
    QString m_dir;
    QString m_runtimeDir;
    bool m_ownRuntimeDir = false; // made outside m_dir, removed by stop()
    QString m_clientRuntimeDir;
    QString m_sessionFile;
    QProcess m_process;
    QString m_waylandDisplay;
    QString m_display;
    QString m_xauthority;
    std::unique_ptr<QDBusConnection> m_bus;
};

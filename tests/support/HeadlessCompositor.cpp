#include "HeadlessCompositor.h"

#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// sway refuses to run as root; there it runs as this user instead.
constexpr uid_t swayUser = 65534;

bool runningAsRoot() {
    return ::geteuid() == 0;
}

QString userName() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString();
}

QStringList asSwayUser(QStringList command) {
    if (!runningAsRoot()) {
        return command;
    }
    const QString id = QString::number(swayUser);
    return QStringList{QStringLiteral("setpriv"), QStringLiteral("--reuid=") + id,
                       QStringLiteral("--regid=") + id, QStringLiteral("--clear-groups")} +
           command;
}

// The session's first client writes these, one a line, once the session is up.
const QString sessionLine = QStringLiteral(
    "printf '%s\\n%s\\n%s\\n%s\\n' \"$DISPLAY\" \"$WAYLAND_DISPLAY\" \"$XAUTHORITY\" "
    "\"$DBUS_SESSION_BUS_ADDRESS\" "
    "> \"$XDG_RUNTIME_DIR/session.tmp\" && mv \"$XDG_RUNTIME_DIR/session.tmp\" \"$XDG_RUNTIME_DIR/session\"");

} // namespace

HeadlessCompositor::HeadlessCompositor(Kind kind, QString dir) : m_kind(kind), m_dir(std::move(dir)) {}

HeadlessCompositor::~HeadlessCompositor() {
    stop();
}

QString HeadlessCompositor::start() {
    const QString name = m_kind == Kind::sway ? QStringLiteral("sway") : QStringLiteral("mutter");
    for (const QString& tool : {name, QStringLiteral("Xwayland"), QStringLiteral("dbus-run-session"),
                                QStringLiteral("wl-copy"), QStringLiteral("wl-paste")}) {
        if (QStandardPaths::findExecutable(tool).isEmpty()) {
            return tool + QStringLiteral(" is not installed");
        }
    }
    QDir(m_dir).removeRecursively();
    m_clientRuntimeDir = m_dir + QStringLiteral("/client-runtime");
    QDir().mkpath(m_clientRuntimeDir);
    ::chmod(QFile::encodeName(m_clientRuntimeDir).constData(), 0700);
    if (m_kind == Kind::sway && runningAsRoot()) {
        // Another user must reach it: not below the test's private folder.
        QByteArray path = QFile::encodeName(QDir::tempPath() + QStringLiteral("/ondari-sway-XXXXXX"));
        if (!::mkdtemp(path.data())) {
            return QStringLiteral("no temporary folder");
        }
        m_runtimeDir = QFile::decodeName(path);
        m_ownRuntimeDir = true;
    } else {
        m_runtimeDir = m_dir + QStringLiteral("/compositor-runtime");
        QDir().mkpath(m_runtimeDir);
        ::chmod(QFile::encodeName(m_runtimeDir).constData(), 0700);
    }
    m_sessionFile = m_runtimeDir + QStringLiteral("/session");

    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.setStandardOutputFile(m_dir + QStringLiteral("/compositor.log"));
    // A process group of its own, so that stop() reaches Xwayland and the bus daemon too.
    m_process.setChildProcessModifier([] { ::setsid(); });
    const QString why = m_kind == Kind::sway ? startSway() : startMutter();
    if (!why.isEmpty()) {
        stop();
        return name + QStringLiteral(" could not start here: ") + why;
    }
    return {};
}

QString HeadlessCompositor::startSway() {
    if (runningAsRoot()) {
        if (QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty() ||
            QStandardPaths::findExecutable(QStringLiteral("xhost")).isEmpty()) {
            return QStringLiteral("as root it needs setpriv and xhost");
        }
        // Left to the other user to create, the X socket folder would end up its own.
        if (::mkdir("/tmp/.X11-unix", 01777) == 0) {
            ::chmod("/tmp/.X11-unix", 01777);
        }
        if (::chown(QFile::encodeName(m_runtimeDir).constData(), swayUser, swayUser) != 0) {
            return QStringLiteral("cannot hand its runtime folder to user %1").arg(swayUser);
        }
    }
    const QString config = m_runtimeDir + QStringLiteral("/sway.conf");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        return QStringLiteral("cannot write its configuration");
    }
    file.write("xwayland enable\n");
    file.write("exec " + sessionLine.toUtf8() + "\n");
    file.close();

    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    env.insert(QStringLiteral("HOME"), m_runtimeDir);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir);
    env.insert(QStringLiteral("WLR_BACKENDS"), QStringLiteral("headless"));
    env.insert(QStringLiteral("WLR_LIBINPUT_NO_DEVICES"), QStringLiteral("1"));
    env.insert(QStringLiteral("WLR_RENDERER"), QStringLiteral("pixman"));
    m_process.setProcessEnvironment(env);
    const QStringList command = asSwayUser({QStringLiteral("dbus-run-session"), QStringLiteral("--"),
                                            QStringLiteral("sway"), QStringLiteral("-c"), config});
    m_process.start(command.first(), command.mid(1));
    if (!m_process.waitForStarted(5000)) {
        return m_process.errorString();
    }
    const QStringList session = awaitSessionFile(10000);
    if (session.size() < 2 || session[0].isEmpty() || session[1].isEmpty()) {
        return QStringLiteral("no session came up in 10 s");
    }
    m_display = session[0];
    m_waylandDisplay = m_runtimeDir + QLatin1Char('/') + session[1];
    if (runningAsRoot()) {
        // Xwayland lets in only its own user.
        QProcess xhost;
        QProcessEnvironment xenv = env;
        xenv.insert(QStringLiteral("DISPLAY"), m_display);
        xhost.setProcessEnvironment(xenv);
        const QStringList grant =
            asSwayUser({QStringLiteral("xhost"), QStringLiteral("+si:localuser:") + userName()});
        xhost.start(grant.first(), grant.mid(1));
        if (!xhost.waitForFinished(10000) || xhost.exitCode() != 0) {
            xhost.kill();
            xhost.waitForFinished();
            return QStringLiteral("its Xwayland did not let us in");
        }
    }
    return {};
}

QString HeadlessCompositor::startMutter() {
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), qEnvironmentVariable("PATH"));
    env.insert(QStringLiteral("HOME"), m_runtimeDir);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtimeDir);
    env.insert(QStringLiteral("GSETTINGS_BACKEND"), QStringLiteral("memory"));
    m_process.setProcessEnvironment(env);
    m_process.start(QStringLiteral("dbus-run-session"),
                    {QStringLiteral("--"), QStringLiteral("mutter"), QStringLiteral("--headless"),
                     QStringLiteral("--wayland"), QStringLiteral("--wayland-display=wayland-test"),
                     QStringLiteral("--virtual-monitor"), QStringLiteral("1280x800"), QStringLiteral("--"),
                     QStringLiteral("sh"), QStringLiteral("-c"),
                     sessionLine + QStringLiteral("; exec sleep 600")});
    if (!m_process.waitForStarted(5000)) {
        return m_process.errorString();
    }
    const QStringList session = awaitSessionFile(15000);
    if (session.size() < 4 || session[0].isEmpty() || session[1].isEmpty() || session[3].isEmpty()) {
        return QStringLiteral("no session came up in 15 s");
    }
    m_display = session[0];
    m_waylandDisplay = m_runtimeDir + QLatin1Char('/') + session[1];
    m_xauthority = session[2];
    m_bus = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(session[3], QStringLiteral("headless-compositor")));
    if (!m_bus->isConnected()) {
        return QStringLiteral("its session bus did not answer");
    }
    return pressKeyForSeat();
}

// mutter's headless seat has a keyboard, which wl-copy needs, only once a remote-desktop
// session has sent a key. The session lives as long as our bus connection.
QString HeadlessCompositor::pressKeyForSeat() {
    const QString service = QStringLiteral("org.gnome.Mutter.RemoteDesktop");
    QElapsedTimer clock;
    clock.start();
    QDBusReply<QDBusObjectPath> session;
    do {
        QDBusInterface remote(service, QStringLiteral("/org/gnome/Mutter/RemoteDesktop"), service, *m_bus);
        session = remote.call(QStringLiteral("CreateSession"));
        if (session.isValid()) {
            break;
        }
        QTest::qWait(100);
    } while (clock.elapsed() < 5000);
    if (!session.isValid()) {
        return QStringLiteral("no remote-desktop session: ") + session.error().message();
    }
    QDBusInterface remote(service, session.value().path(), service + QStringLiteral(".Session"), *m_bus);
    for (const QDBusMessage& answer : {remote.call(QStringLiteral("Start")),
                                       remote.call(QStringLiteral("NotifyKeyboardKeycode"), 42u, true),
                                       remote.call(QStringLiteral("NotifyKeyboardKeycode"), 42u, false)}) {
        if (answer.type() == QDBusMessage::ErrorMessage) {
            return QStringLiteral("the remote-desktop key failed: ") + answer.errorMessage();
        }
    }
    return {};
}

QStringList HeadlessCompositor::awaitSessionFile(int timeoutMs) const {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs && m_process.state() == QProcess::Running) {
        QFile file(m_sessionFile);
        if (file.open(QIODevice::ReadOnly)) {
            return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
        }
        QTest::qWait(50);
    }
    return {};
}

void HeadlessCompositor::stop() {
    if (m_bus) {
        QDBusConnection::disconnectFromBus(m_bus->name());
        m_bus.reset();
    }
    if (m_process.state() != QProcess::NotRunning) {
        const pid_t group = pid_t(m_process.processId());
        ::kill(-group, SIGTERM);
        if (!m_process.waitForFinished(3000)) {
            ::kill(-group, SIGKILL);
            m_process.waitForFinished(3000);
        }
        // Whatever of the group outlived its leader (Xwayland, the bus daemon) goes too.
        ::kill(-group, SIGKILL);
    }
    if (m_ownRuntimeDir) {
        QDir(m_runtimeDir).removeRecursively();
        m_ownRuntimeDir = false;
    }
}

QProcessEnvironment HeadlessCompositor::clientEnvironment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("WAYLAND_DISPLAY"), m_waylandDisplay);
    env.insert(QStringLiteral("DISPLAY"), m_display);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_clientRuntimeDir);
    env.insert(QStringLiteral("XDG_SESSION_TYPE"), QStringLiteral("wayland"));
    if (m_xauthority.isEmpty()) {
        env.remove(QStringLiteral("XAUTHORITY"));
    } else {
        env.insert(QStringLiteral("XAUTHORITY"), m_xauthority);
    }
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return env;
}

bool HeadlessCompositor::copy(const QByteArray& bytes, const QString& type) const {
    QProcess process;
    process.setProcessEnvironment(clientEnvironment());
    // wl-copy stays behind to serve the text; it must not hold our pipes.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(m_dir + QStringLiteral("/wl-copy.log"), QIODevice::Append);
    if (type.isEmpty()) {
        process.start(QStringLiteral("wl-copy"), {QStringLiteral("--"), QString::fromUtf8(bytes)});
    } else {
        process.start(QStringLiteral("wl-copy"), {QStringLiteral("--type"), type});
        process.write(bytes);
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

QString HeadlessCompositor::paste() const {
    QProcess process;
    process.setProcessEnvironment(clientEnvironment());
    process.start(QStringLiteral("wl-paste"), {QStringLiteral("--no-newline")});
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString HeadlessCompositor::log() const {
    QFile file(m_dir + QStringLiteral("/compositor.log"));
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll().right(2000)) : QString();
}

#include "RoadRig.h"

#include "ErrorStateView.h"
#include "LoadingStateView.h"
#include "Panel.h"
#include "PromptStateView.h"
#include "SuccessStateView.h"
#include "TestEnvironment.h"
#include "ToastView.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <csignal>

Road::Road(const QString& name, std::chrono::milliseconds apiTimeout) {
    const QString dir = TestEnvironment::root() + QStringLiteral("/road-") + name;
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    api = std::make_unique<SongLinkService>(&network, server.baseURL(), apiTimeout);
    defaults = std::make_unique<UserDefaults>(dir + QStringLiteral("/settings.ini"));
    settings = std::make_unique<SettingsManager>(*defaults, LoginItem(dir + QStringLiteral("/autostart"),
                                                                      QStringLiteral("org.ondari.Test"),
                                                                      QStringLiteral("/bin/true")));
    settings->setShowURLPreview(false);
    settings->setSourceService(SourceServiceOption::spotify);
    settings->setTargetService(TargetServiceOption::appleMusic);
    settings->setIsBidirectional(true);
    settings->setToastTimeout(0.5);
    pasteboard = std::make_unique<Pasteboard>();
    queue = std::make_unique<ConversionQueue>(*settings, *api, *pasteboard, menu);
    monitor = std::make_unique<ClipboardMonitor>(*settings, *pasteboard, queue.get());
    queue->setProcessedLinkMemory(monitor.get());
    queue->setSuccessHoldForTesting(std::chrono::milliseconds(300));
    accessibility = std::make_unique<Accessibility>(dir + QStringLiteral("/consent"));
    accessibility->forceTrusted(false);
    colorScheme.setOverride(ColorScheme::Scheme::light);
    toast = std::make_unique<ToastWindowController>(*queue, *settings, *accessibility, colorScheme, &network);
    toast->setSlideDuration(std::chrono::milliseconds(20));
    TestEnvironment::clearDebugLog();
}

Road::~Road() {
    monitor->stopMonitoring();
    toast.reset();
    monitor.reset();
    // Running conversions end with the queue; nothing may outlive what it points to.
    queue.reset();
    api.reset();
    QCoreApplication::processEvents();
}

QString Road::shown() const {
    Panel* panel = toast->panel();
    ToastContentView* content = toast->contentView();
    if (!panel || !panel->isVisible() || !content) {
        return QStringLiteral("hidden");
    }
    QWidget* body = content->stateView();
    if (auto* error = qobject_cast<ErrorStateView*>(body)) {
        return QStringLiteral("error: ") + error->message() + QStringLiteral(" | ") +
               error->details().value_or(QStringLiteral("-"));
    }
    if (qobject_cast<LoadingStateView*>(body)) {
        return QStringLiteral("loading");
    }
    if (qobject_cast<SuccessStateView*>(body)) {
        return QStringLiteral("success");
    }
    if (qobject_cast<PromptStateView*>(body)) {
        return QStringLiteral("prompt");
    }
    return QStringLiteral("unknown body");
}

namespace OtherProgram {

QProcess* copy(QObject* owner, const QByteArray& content, const QStringList& extra) {
    auto* xclip = new QProcess(owner);
    // -quiet keeps xclip in the foreground: it ends when it loses the clipboard or is killed.
    xclip->start(QStringLiteral("xclip"), QStringList{QStringLiteral("-selection"),
                                                      QStringLiteral("clipboard"), QStringLiteral("-quiet")} +
                                              extra);
    if (!xclip->waitForStarted(2000)) {
        return nullptr;
    }
    xclip->write(content);
    xclip->closeWriteChannel();
    QObject::connect(xclip, &QProcess::finished, xclip, &QObject::deleteLater);
    return xclip;
}

QString paste() {
    QProcess xclip;
    xclip.start(QStringLiteral("xclip"),
                {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
    QElapsedTimer waited;
    waited.start();
    while (xclip.state() != QProcess::NotRunning && waited.elapsed() < 6000) {
        QTest::qWait(5);
    }
    if (xclip.state() != QProcess::NotRunning) {
        xclip.kill();
        xclip.waitForFinished(1000);
    }
    return QString::fromUtf8(xclip.readAllStandardOutput());
}

void endAll(QList<QPointer<QProcess>>& copies) {
    QSignalSpy changed(QGuiApplication::clipboard(), &QClipboard::changed);
    bool ended = false;
    for (const QPointer<QProcess>& process : std::as_const(copies)) {
        if (process && process->state() != QProcess::NotRunning && process->processId() > 0) {
            ::kill(pid_t(process->processId()), SIGCONT);
            process->kill();
            process->waitForFinished(1000);
            ended = true;
        }
    }
    copies.clear();
    // Give Qt's notice of a leaving owner a moment to arrive here rather than in the next test.
    // A copier that had already lost the clipboard (and was only slow to exit) sends none.
    if (ended) {
        [[maybe_unused]] const bool heard = QTest::qWaitFor([&] { return !changed.isEmpty(); }, 1000);
    }
}

} // namespace OtherProgram

MemoryMeter::MemoryMeter() {
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, [this] { m_peak = std::max(m_peak, residentKiB()); });
}

qint64 MemoryMeter::residentKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
    }
    return -1;
}

void MemoryMeter::start() {
    m_peak = residentKiB();
    m_timer.start();
}

namespace RoadLog {

qsizetype count(const QString& line) {
    return TestEnvironment::debugLogMessages().count(line);
}

QStringList startingWith(const QString& prefix) {
    QStringList result;
    for (const QString& message : TestEnvironment::debugLogMessages()) {
        if (message.startsWith(prefix)) {
            result.append(message);
        }
    }
    return result;
}

} // namespace RoadLog

QString spotifyLink(const QString& trackId) {
    return QStringLiteral("https://open.spotify.com/track/") + trackId;
}

QString convertedLink(const QString& trackId) {
    return QStringLiteral("https://music.apple.com/us/song/") + trackId.toLower() + QStringLiteral("/1");
}

QString pageLink(const QString& trackId) {
    return QStringLiteral("https://song.link/s/") + trackId;
}

QByteArray syntheticAnswer(const QString& trackId) {
    // A real answer's shape, with this track's links.
    const std::optional<QByteArray> recorded =
        FakeSongLinkServer::recordedBody(QStringLiteral("spotify-bum-bum-eis-de.json"));
    if (!recorded) {
        qFatal("missing recorded answers in %s", qPrintable(FakeSongLinkServer::recordedDir()));
    }
    QJsonObject root = QJsonDocument::fromJson(*recorded).object();
    root[QStringLiteral("entityUniqueId")] = QStringLiteral("SPOTIFY_SONG::") + trackId;
    root[QStringLiteral("pageUrl")] = pageLink(trackId);
    QJsonObject links = root[QStringLiteral("linksByPlatform")].toObject();
    QJsonObject apple = links[QStringLiteral("appleMusic")].toObject();
    apple[QStringLiteral("url")] = convertedLink(trackId);
    links[QStringLiteral("appleMusic")] = apple;
    QJsonObject spotify = links[QStringLiteral("spotify")].toObject();
    spotify[QStringLiteral("url")] = spotifyLink(trackId);
    links[QStringLiteral("spotify")] = spotify;
    root[QStringLiteral("linksByPlatform")] = links;
    return QJsonDocument(root).toJson(QJsonDocument::Compact);
}

#include "ErrorReporting.h"

#include "CrashHandler.h"
#include "ErrorReport.h"
#include "HangWatchdog.h"
#include "OndariVersion.h"
#include "ReplyLimits.h"
#include "TransportRule.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QSet>
#include <QStandardPaths>
#include <QUuid>

#include <algorithm>
#include <memory>

#ifndef ONDARI_ERROR_REPORTING_DSN
#define ONDARI_ERROR_REPORTING_DSN ""
#endif

namespace ErrorReporting {

namespace {

const QString reportPattern = QStringLiteral("*.report");
constexpr qint64 maxAnswerBytes = 64 * 1024;

class Reporter : public QObject {
public:
    Reporter(ErrorReport::Dsn dsn, QString directory, QString release, QByteArray moduleLines)
        : m_dsn(std::move(dsn)), m_directory(std::move(directory)), m_release(std::move(release)),
          m_moduleLines(std::move(moduleLines)), m_network(new QNetworkAccessManager(this)) {}

    ~Reporter() override {
        stopWatchdog();
        // Replies finishing while they are torn down must not reach this half-destroyed object.
        const QList<QNetworkReply*> replies = m_network->findChildren<QNetworkReply*>();
        for (QNetworkReply* reply : replies) {
            reply->disconnect(this);
            reply->abort();
        }
    }

    void startWatchdog(std::chrono::milliseconds timeout) {
        m_watchdog = std::make_unique<HangWatchdog>(
            this, timeout,
            [this](std::chrono::milliseconds hangTimeout, std::vector<std::uintptr_t> stack) {
                writeHangReport(hangTimeout, stack);
            },
            [this] { sendPending(); });
    }

    void stopWatchdog() { m_watchdog.reset(); }

    void sendPending() {
        prune();
        const QStringList names = QDir(m_directory).entryList({reportPattern}, QDir::Files, QDir::Name);
        for (const QString& name : names) {
            const QString path = m_directory + QLatin1Char('/') + name;
            if (m_inFlight.contains(path)) {
                continue;
            }
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                continue;
            }
            const QByteArray eventId = QUuid::createUuid().toString(QUuid::Id128).toLatin1();
            const QByteArray envelope = ErrorReport::envelope(file.readAll(), eventId);
            file.close();
            if (envelope.isEmpty()) {
                // No server would ever take it.
                QFile::remove(path);
                continue;
            }
            QNetworkRequest request = TransportRule::request(m_dsn.envelopeUrl);
            request.setHeader(QNetworkRequest::ContentTypeHeader,
                              QByteArrayLiteral("application/x-sentry-envelope"));
            request.setRawHeader("X-Sentry-Auth", ErrorReport::authHeader(m_dsn, client()));
            request.setHeader(QNetworkRequest::UserAgentHeader, client());
            QNetworkReply* reply = m_network->post(request, envelope);
            TransportRule::guard(reply);
            // The ingest server answers with a line of JSON; one that never ends, or ends only
            // slowly, is cut off like any other answer from the network.
            new ReplyLimits(reply, std::chrono::seconds(30), maxAnswerBytes, reply);
            m_inFlight.insert(path);
            connect(reply, &QNetworkReply::finished, this, [this, reply, path] {
                reply->deleteLater();
                m_inFlight.remove(path);
                const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                if (status >= 200 && status < 300) {
                    QFile::remove(path);
                } else {
                    prune();
                }
            });
        }
    }

private:
    QString client() const { return QStringLiteral("ondari/") + m_release; }

    // Runs on the watchdog thread; touches only values fixed at construction.
    void writeHangReport(std::chrono::milliseconds timeout, const std::vector<std::uintptr_t>& stack) {
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        const QString path = m_directory + QStringLiteral("/hang-") + QString::number(now) +
                             QLatin1Char('-') + QString::number(QCoreApplication::applicationPid()) +
                             QStringLiteral(".report");
        // QSaveFile writes under another name first, so the sender never sees half a report.
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly)) {
            return;
        }
        file.write(
            ErrorReport::hangReport(timeout.count(), double(now) / 1000.0, m_release, m_moduleLines, stack));
        file.commit();
    }

    // Keeps the newest reports up to the bound.
    void prune() {
        QFileInfoList reports = QDir(m_directory).entryInfoList({reportPattern}, QDir::Files, QDir::Name);
        // Oldest first, then drop from the front.
        std::stable_sort(reports.begin(), reports.end(), [](const QFileInfo& a, const QFileInfo& b) {
            const QDateTime ta = a.lastModified();
            const QDateTime tb = b.lastModified();
            return ta != tb ? ta < tb : a.fileName() < b.fileName();
        });
        for (qsizetype i = 0; i + maxPendingReports < reports.size(); ++i) {
            QFile::remove(reports[i].filePath());
        }
    }

    ErrorReport::Dsn m_dsn;
    QString m_directory;
    QString m_release;
    QByteArray m_moduleLines;
    QNetworkAccessManager* m_network;
    QSet<QString> m_inFlight;
    std::unique_ptr<HangWatchdog> m_watchdog;
};

Reporter* g_reporter = nullptr;

} // namespace

QString configuredDsn() {
    return QStringLiteral(ONDARI_ERROR_REPORTING_DSN);
}

void start(const ErrorReportingOptions& options) {
    stop();
    const ErrorReport::Dsn dsn = ErrorReport::Dsn::parse(options.dsn);
    if (!dsn.isValid() || !QCoreApplication::instance()) {
        return;
    }
    if (!TransportRule::allows(dsn.envelopeUrl)) {
        qWarning("Error reporting off: plain HTTP is used only with this machine");
        return;
    }
    const QString directory = options.reportsDirectory.isEmpty()
                                  ? QStandardPaths::writableLocation(QStandardPaths::CacheLocation) +
                                        QStringLiteral("/pending-reports")
                                  : options.reportsDirectory;
    if (!QDir().mkpath(directory)) {
        return;
    }
    QString release = options.release;
    if (release.isEmpty()) {
        release = QCoreApplication::applicationVersion();
    }
    if (release.isEmpty()) {
        release = QStringLiteral(ONDARI_VERSION);
    }
    // One line in the report file.
    release.replace(QLatin1Char('\n'), QLatin1Char(' '));

    const QByteArray modules = ErrorReport::collectModuleLines();
    if (!CrashHandler::install(directory, release.toUtf8(), modules)) {
        return;
    }
    g_reporter = new Reporter(dsn, directory, release, modules);
    if (options.appHangTimeoutInterval.count() > 0) {
        g_reporter->startWatchdog(options.appHangTimeoutInterval);
        // After the event loop nothing answers the watchdog any more, and its thread must be
        // gone before static destructors run.
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, g_reporter,
                         [] { g_reporter->stopWatchdog(); });
    }
    g_reporter->sendPending();
}

void stop() {
    CrashHandler::uninstall();
    delete g_reporter;
    g_reporter = nullptr;
}

bool isRunning() {
    return g_reporter != nullptr;
}

} // namespace ErrorReporting

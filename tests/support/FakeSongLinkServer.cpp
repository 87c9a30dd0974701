#include "FakeSongLinkServer.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace {

constexpr qsizetype maxHeaderBytes = 64 * 1024;

QString& recordedDirOverride() {
    static QString dir;
    return dir;
}

QString tlsDir() {
    return qEnvironmentVariable("ONDARI_TESTDATA_DIR", QStringLiteral(ONDARI_TESTDATA_DIR)) +
           QStringLiteral("/tls");
}

QByteArray reasonPhrase(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 418:
        return "I'm a teapot";
    case 429:
        return "Too Many Requests";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Status";
    }
}

} // namespace

// Answer

FakeSongLinkServer::Answer FakeSongLinkServer::Answer::withStatus(int status, QByteArray body) {
    Answer answer;
    answer.status = status;
    answer.body = std::move(body);
    return answer;
}

FakeSongLinkServer::Answer FakeSongLinkServer::Answer::recorded(const QString& fileName) {
    for (const RecordedEntry& entry : recordedIndex()) {
        if (entry.file == fileName) {
            return recorded(fileName, entry.status);
        }
    }
    qFatal("%s is not listed in the recorded answers' index", qPrintable(fileName));
}

FakeSongLinkServer::Answer FakeSongLinkServer::Answer::recorded(const QString& fileName, int status) {
    const std::optional<QByteArray> body = recordedBody(fileName);
    if (!body) {
        qFatal("missing recorded answer %s in %s", qPrintable(fileName), qPrintable(recordedDir()));
    }
    return withStatus(status, *body);
}

FakeSongLinkServer::Answer FakeSongLinkServer::Answer::dropped() {
    Answer answer;
    answer.mode = Mode::dropped;
    return answer;
}

FakeSongLinkServer::Answer FakeSongLinkServer::Answer::cutShort(int status, QByteArray body,
                                                                qsizetype bytesSent) {
    Answer answer = withStatus(status, std::move(body));
    answer.mode = Mode::cutShort;
    answer.bytesSent = bytesSent;
    return answer;
}

FakeSongLinkServer::Answer FakeSongLinkServer::Answer::endless(int status, QByteArray body) {
    Answer answer = withStatus(status, std::move(body));
    answer.mode = Mode::endless;
    return answer;
}

FakeSongLinkServer::Answer FakeSongLinkServer::Answer::stalled(int status, QByteArray body) {
    Answer answer = withStatus(status, std::move(body));
    answer.mode = Mode::stalled;
    return answer;
}

FakeSongLinkServer::Answer FakeSongLinkServer::Answer::endlessRaw(QByteArray head, QByteArray unit) {
    Answer answer = withStatus(200, std::move(unit));
    answer.mode = Mode::endlessRaw;
    answer.rawHead = std::move(head);
    return answer;
}

FakeSongLinkServer::Answer FakeSongLinkServer::Answer::after(std::chrono::milliseconds wait) const {
    Answer answer = *this;
    answer.delay = wait;
    return answer;
}

FakeSongLinkServer::Answer FakeSongLinkServer::Answer::trickled(std::chrono::milliseconds interval,
                                                                qsizetype chunk) const {
    Answer answer = *this;
    answer.trickleInterval = interval;
    answer.trickleChunk = std::max<qsizetype>(chunk, 1);
    return answer;
}

FakeSongLinkServer::Answer FakeSongLinkServer::Answer::withHeader(QByteArray name, QByteArray value) const {
    Answer answer = *this;
    answer.headers.append({std::move(name), std::move(value)});
    return answer;
}

// Recorded data

QString FakeSongLinkServer::recordedDir() {
    if (!recordedDirOverride().isEmpty()) {
        return recordedDirOverride();
    }
    return qEnvironmentVariable("ONDARI_TESTDATA_DIR", QStringLiteral(ONDARI_TESTDATA_DIR)) +
           QStringLiteral("/api-responses");
}

void FakeSongLinkServer::setRecordedDir(const QString& dir) {
    recordedDirOverride() = dir;
}

QList<FakeSongLinkServer::RecordedEntry> FakeSongLinkServer::recordedIndex() {
    QFile file(recordedDir() + QStringLiteral("/index.tsv"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    QList<RecordedEntry> entries;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) { // the first line names the columns
        const QList<QByteArray> fields = lines.at(i).split('\t');
        bool ok = false;
        const int status = fields.size() >= 3 ? fields.at(1).toInt(&ok) : 0;
        if (!ok) {
            continue;
        }
        entries.append({QString::fromUtf8(fields.at(0)), status, QString::fromUtf8(fields.at(2))});
    }
    return entries;
}

std::optional<QByteArray> FakeSongLinkServer::recordedBody(const QString& fileName) {
    QFile file(recordedDir() + QLatin1Char('/') + fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    return file.readAll();
}

// Server

FakeSongLinkServer::FakeSongLinkServer(QObject* parent) : QObject(parent), m_server(new QTcpServer(this)) {
    m_clock.start();
    connect(m_server, &QTcpServer::newConnection, this, &FakeSongLinkServer::accept);
    listen();
}

FakeSongLinkServer::~FakeSongLinkServer() = default;

bool FakeSongLinkServer::listen(quint16 port) {
    m_server->close();
    // Loopback only: nothing outside this machine may reach it.
    return m_server->listen(QHostAddress::LocalHost, port);
}

bool FakeSongLinkServer::isListening() const {
    return m_server->isListening();
}

quint16 FakeSongLinkServer::port() const {
    return m_server->serverPort();
}

QString FakeSongLinkServer::baseURL() const {
    return QStringLiteral("%1://127.0.0.1:%2/v1-alpha.1/links")
        .arg(m_tls ? QStringLiteral("https") : QStringLiteral("http"))
        .arg(port());
}

QSslCertificate FakeSongLinkServer::tlsCertificate() {
    const QList<QSslCertificate> certificates =
        QSslCertificate::fromPath(tlsDir() + QStringLiteral("/localhost.crt"), QSsl::Pem);
    return certificates.isEmpty() ? QSslCertificate() : certificates.first();
}

std::optional<QHostAddress> FakeSongLinkServer::ownOutsideAddress() {
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback() &&
            !address.isLinkLocal()) {
            return address;
        }
    }
    return std::nullopt;
}

OutsideListener::OutsideListener() {
    if (const std::optional<QHostAddress> own = FakeSongLinkServer::ownOutsideAddress()) {
        listen(*own);
    }
}

QString OutsideListener::url(const QString& path) const {
    return QStringLiteral("http://%1:%2%3").arg(serverAddress().toString()).arg(serverPort()).arg(path);
}

bool FakeSongLinkServer::useTls() {
    QFile keyFile(tlsDir() + QStringLiteral("/localhost.key"));
    if (!QSslSocket::supportsSsl() || !keyFile.open(QIODevice::ReadOnly)) {
        return false;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(tlsCertificate());
    configuration.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Ec));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    auto* server = new QSslServer(this);
    server->setSslConfiguration(configuration);
    // Handed out once the handshake is done.
    connect(server, &QTcpServer::pendingConnectionAvailable, this, &FakeSongLinkServer::accept);
    delete m_server;
    m_server = server;
    m_tls = true;
    return listen();
}

void FakeSongLinkServer::setDefaultAnswer(Answer answer) {
    m_default = std::move(answer);
}

void FakeSongLinkServer::setAnswer(const QString& link, Answer answer) {
    m_answers.insert(link, std::move(answer));
}

void FakeSongLinkServer::enqueue(Answer answer) {
    m_queue.enqueue(std::move(answer));
}

void FakeSongLinkServer::reset() {
    m_default.reset();
    m_answers.clear();
    m_queue.clear();
    m_requests.clear();
}

std::optional<QString> FakeSongLinkServer::linkOf(const QByteArray& target) {
    const qsizetype question = target.indexOf('?');
    if (question < 0) {
        return std::nullopt;
    }
    const QByteArray query = target.mid(question + 1);
    qsizetype start = -1;
    if (query.startsWith("url=")) {
        start = 4;
    } else if (const qsizetype at = query.indexOf("&url="); at >= 0) {
        start = at + 5;
    }
    if (start < 0) {
        return std::nullopt;
    }
    qsizetype end = query.lastIndexOf("&userCountry=");
    if (end < start) {
        end = query.indexOf('&', start);
    }
    const QByteArray value = end < 0 ? query.mid(start) : query.mid(start, end - start);
    return QString::fromUtf8(QByteArray::fromPercentEncoding(value));
}

void FakeSongLinkServer::accept() {
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
    }
}

void FakeSongLinkServer::readFrom(QTcpSocket* socket) {
    // Requests are small; keep the bytes on the socket until the head is complete.
    const QByteArray pending = socket->peek(maxHeaderBytes + 4);
    const qsizetype headEnd = pending.indexOf("\r\n\r\n");
    if (headEnd < 0) {
        if (pending.size() > maxHeaderBytes) {
            socket->abort();
        }
        return;
    }
    const QByteArray head = socket->read(headEnd + 4);
    // One request per connection: whatever follows is not read.
    disconnect(socket, &QTcpSocket::readyRead, this, nullptr);

    const QList<QByteArray> lines = head.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    Request request;
    request.arrivedMs = m_clock.elapsed();
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0) {
            request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
        }
    }
    request.link = linkOf(request.target);
    m_requests.append(request);
    emit requestReceived(request);

    const Answer answer = answerFor(request);
    if (answer.delay.count() > 0) {
        QTimer::singleShot(answer.delay, Qt::PreciseTimer, socket,
                           [this, socket, answer] { send(socket, answer); });
    } else {
        send(socket, answer);
    }
}

FakeSongLinkServer::Answer FakeSongLinkServer::answerFor(const Request& request) {
    if (!m_queue.isEmpty()) {
        return m_queue.dequeue();
    }
    if (request.link) {
        const auto found = m_answers.constFind(*request.link);
        if (found != m_answers.cend()) {
            return *found;
        }
    }
    if (m_default) {
        return *m_default;
    }
    return Answer::withStatus(404,
                              QByteArrayLiteral(R"({"statusCode":404,"code":"could_not_resolve_entity"})"));
}

void FakeSongLinkServer::send(QTcpSocket* socket, const Answer& answer) {
    if (socket->state() != QAbstractSocket::ConnectedState) {
        return;
    }
    if (answer.mode == Answer::Mode::dropped) {
        socket->disconnectFromHost();
        return;
    }
    if (answer.mode == Answer::Mode::endless || answer.mode == Answer::Mode::endlessRaw ||
        answer.mode == Answer::Mode::stalled) {
        sendEndless(socket, answer);
        return;
    }
    QByteArray out =
        "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + reasonPhrase(answer.status) + "\r\n";
    out += "Content-Type: application/json; charset=utf-8\r\n";
    out += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n";
    out += "Connection: close\r\n";
    for (const auto& [name, value] : answer.headers) {
        out += name + ": " + value + "\r\n";
    }
    out += "\r\n";
    out += answer.mode == Answer::Mode::cutShort ? answer.body.left(answer.bytesSent) : answer.body;
    if (answer.trickleInterval.count() <= 0) {
        socket->write(out);
        socket->disconnectFromHost();
        return;
    }
    // The timer goes with the socket when the client hangs up early.
    auto* timer = new QTimer(socket);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(answer.trickleInterval);
    connect(timer, &QTimer::timeout, socket,
            [socket, timer, out, chunk = answer.trickleChunk, sent = qsizetype(0)]() mutable {
                if (socket->state() != QAbstractSocket::ConnectedState) {
                    timer->stop();
                    return;
                }
                socket->write(out.mid(sent, chunk));
                sent += chunk;
                if (sent >= out.size()) {
                    timer->stop();
                    socket->disconnectFromHost();
                }
            });
    timer->start();
}

void FakeSongLinkServer::sendEndless(QTcpSocket* socket, const Answer& answer) {
    QByteArray head = answer.rawHead;
    if (answer.mode == Answer::Mode::endless || answer.mode == Answer::Mode::stalled) {
        head = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + reasonPhrase(answer.status) + "\r\n";
        head += "Connection: close\r\n";
        for (const auto& [name, value] : answer.headers) {
            head += name + ": " + value + "\r\n";
        }
        head += "\r\n";
    }
    socket->write(head);
    if (answer.mode == Answer::Mode::stalled) {
        socket->write(answer.body);
        return;
    }
    // A megabyte of the body at a time, topped up as the client takes it: the server itself
    // holds little however long the answer runs.
    QByteArray block;
    const QByteArray unit = answer.body.isEmpty() ? QByteArray("x") : answer.body;
    while (block.size() < 1024 * 1024) {
        block += unit;
    }
    // Over TLS the bytes wait, encrypted, in a buffer of their own.
    auto* tls = qobject_cast<QSslSocket*>(socket);
    const auto topUp = [this, socket, tls, block] {
        while (socket->state() == QAbstractSocket::ConnectedState &&
               socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0) < 2 * block.size()) {
            socket->write(block);
            m_endlessBytesSent += block.size();
        }
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, topUp);
    if (tls) {
        connect(tls, &QSslSocket::encryptedBytesWritten, socket, topUp);
    }
    topUp();
}

#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTcpServer>

#include <chrono>
#include <optional>
#include <utility>

class QHostAddress;
class QSslCertificate;
class QTcpSocket;

// A stand-in for the link-conversion web service: a minimal HTTP/1.1 server on 127.0.0.1 that
// answers as programmed and keeps every request that reached it. One request per connection.
//
// The answer for a request is the first of: the next queued answer, the answer set for the
// request's link (its url query value), the default answer.
class FakeSongLinkServer : public QObject {
    Q_OBJECT
public:
    struct Answer {
        enum class Mode {
            complete,
            // The connection is closed without a byte of answer.
            dropped,
            // Content-Length announces the whole body, fewer bytes follow, then the connection closes.
            cutShort,
            // No Content-Length; the body repeats without end, as fast as the client takes it.
            endless,
            // rawHead as it is, then body over and over: any part of an answer made endless.
            endlessRaw,
            // The head and the body once, then nothing more while the connection stays open.
            stalled,
        };

        int status = 200;
        QByteArray body;
        QList<std::pair<QByteArray, QByteArray>> headers;
        std::chrono::milliseconds delay{0};
        Mode mode = Mode::complete;
        qsizetype bytesSent = 0;
        QByteArray rawHead;
        // When set, the answer (head included) goes out trickleChunk bytes at a time, one piece
        // every trickleInterval.
        std::chrono::milliseconds trickleInterval{0};
        qsizetype trickleChunk = 1;

        static Answer withStatus(int status, QByteArray body = {});
        // A recorded answer under api-responses/, with the status index.tsv gives it.
        static Answer recorded(const QString& fileName);
        static Answer recorded(const QString& fileName, int status);
        static Answer dropped();
        static Answer cutShort(int status, QByteArray body, qsizetype bytesSent);
        // body, over and over, until the client hangs up.
        static Answer endless(int status, QByteArray body);
        // head, then unit over and over: e.g. a header line that never ends.
        static Answer endlessRaw(QByteArray head, QByteArray unit);
        // The start of an answer whose rest never comes: only its head can tell the client anything.
        static Answer stalled(int status, QByteArray body);

        Answer after(std::chrono::milliseconds wait) const;
        // A slow line: chunk bytes every interval.
        Answer trickled(std::chrono::milliseconds interval, qsizetype chunk = 1) const;
        Answer withHeader(QByteArray name, QByteArray value) const;
    };

    struct Request {
        QByteArray method;
        // Path and query exactly as they arrived.
        QByteArray target;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        // The url query value, percent-decoded; none without one.
        std::optional<QString> link;
        // Milliseconds since the server was made, on a monotonic clock.
        qint64 arrivedMs = 0;
    };

    struct RecordedEntry {
        QString file;
        int status = 0;
        QString linkSent;
    };

    // Listens at once on 127.0.0.1 with a port the system chooses; see isListening().
    explicit FakeSongLinkServer(QObject* parent = nullptr);
    ~FakeSongLinkServer() override;

    // Listens again on the given port (0: any free one).
    bool listen(quint16 port = 0);
    bool isListening() const;
    quint16 port() const;
    // http://127.0.0.1:<port>/v1-alpha.1/links, https:// after useTls().
    QString baseURL() const;
    // Listens again, on a new port, answering over TLS with the certificate under tls/ in the
    // test data; a client must accept it (tlsCertificate()).
    bool useTls();
    static QSslCertificate tlsCertificate();
    // An IPv4 address of this machine other than loopback, for what must never be reached over
    // plain HTTP; none on a machine without one.
    static std::optional<QHostAddress> ownOutsideAddress();

    void setDefaultAnswer(Answer answer);
    void setAnswer(const QString& link, Answer answer);
    void enqueue(Answer answer);
    // Forgets programmed answers, queued answers and recorded requests.
    void reset();

    QList<Request> requests() const { return m_requests; }
    // Bytes of endless answers written so far.
    qint64 endlessBytesSent() const { return m_endlessBytesSent; }
    void clearRequests() { m_requests.clear(); }

    // The value of the url query parameter in a request target, percent-decoded. The link itself
    // may hold "&", so the value runs up to the last "&userCountry=" when there is one.
    static std::optional<QString> linkOf(const QByteArray& target);

    // ONDARI_TESTDATA_DIR/api-responses (by default tests/data/api-responses).
    static QString recordedDir();
    static void setRecordedDir(const QString& dir);
    static QList<RecordedEntry> recordedIndex();
    static std::optional<QByteArray> recordedBody(const QString& fileName);

signals:
    void requestReceived(const FakeSongLinkServer::Request& request);

private:
    void accept();
    void readFrom(QTcpSocket* socket);
    Answer answerFor(const Request& request);
    void send(QTcpSocket* socket, const Answer& answer);
    void sendEndless(QTcpSocket* socket, const Answer& answer);

    QTcpServer* m_server;
    QElapsedTimer m_clock;
    std::optional<Answer> m_default;
    QHash<QString, Answer> m_answers;
    QQueue<Answer> m_queue;
    QList<Request> m_requests;
    qint64 m_endlessBytesSent = 0;
    bool m_tls = false;
};

// Listens on ownOutsideAddress(), where a plain-HTTP address elsewhere points: nothing may ever
// connect. Not listening on a machine without such an address.
class OutsideListener : public QTcpServer {
public:
    OutsideListener();
    // http://<address>:<port><path>
    QString url(const QString& path) const;
};

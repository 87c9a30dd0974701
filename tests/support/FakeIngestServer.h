#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

class QTcpServer;
class QTcpSocket;

// A stand-in for an error-reporting ingest server: a minimal HTTP/1.1 server on 127.0.0.1 that
// keeps every request with its body and answers each with the status set. One request per
// connection.
class FakeIngestServer : public QObject {
    Q_OBJECT
public:
    struct Request {
        QByteArray method;
        QByteArray target;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };

    explicit FakeIngestServer(QObject* parent = nullptr);

    quint16 port() const;
    // http://<key>@127.0.0.1:<port>/<project>
    QString dsn(const QString& key, const QString& project) const;
    void setStatus(int status) { m_status = status; }

    QList<Request> requests;
    int connections = 0;

private:
    void readFrom(QTcpSocket* socket);

    QTcpServer* m_server;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    int m_status = 200;
};

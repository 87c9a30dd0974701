#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

#include <cstdint>
#include <vector>

// The pieces of a report that need no signal handler or thread: the report file's text, the
// address it goes to and the envelope it travels in.
//
// A report file is plain text, one "key value" pair per line, so that a signal handler can write
// it without formatting libraries:
//   ondari-report 1
//   kind crash | hang
//   signal <number>             (crash)
//   timeout_ms <milliseconds>   (hang)
//   time <seconds since the epoch>.<microseconds>
//   release <version>
//   module <start, hex> <size, hex> <build id, hex or -> <path>
//   frame <address, hex>        innermost first
namespace ErrorReport {

struct Dsn {
    QString publicKey;
    QUrl envelopeUrl;

    bool isValid() const { return !publicKey.isEmpty() && envelopeUrl.isValid(); }
    // https://<public key>@<host>[:port][/<path>]/<project> ->
    // <scheme>://<host>[:port][/<path>]/api/<project>/envelope/
    static Dsn parse(const QString& dsn);
};

// The X-Sentry-Auth header value.
QByteArray authHeader(const Dsn& dsn, const QString& client);

// "module" lines for every object loaded into this process, with their GNU build ids.
QByteArray collectModuleLines();

QByteArray hangReport(std::int64_t timeoutMs, double time, const QString& release,
                      const QByteArray& moduleLines, const std::vector<std::uintptr_t>& frames);

// The envelope for a report file's text, or an empty array when the text is no report.
QByteArray envelope(const QByteArray& report, const QByteArray& eventId);

// A debug id as the ingest server expects it: the first 16 bytes of a GNU build id read as a
// little-endian GUID.
QString debugIdFromBuildId(const QByteArray& buildIdHex);

} // namespace ErrorReport

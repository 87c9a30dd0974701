#include "ErrorReport.h"

#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <csignal>
#include <elf.h>
#include <link.h>

namespace ErrorReport {

namespace {

QString hexAddress(std::uintptr_t value) {
    return QStringLiteral("0x") + QString::number(quint64(value), 16);
}

QString signalName(int number) {
    switch (number) {
    case SIGSEGV:
        return QStringLiteral("SIGSEGV");
    case SIGBUS:
        return QStringLiteral("SIGBUS");
    case SIGILL:
        return QStringLiteral("SIGILL");
    case SIGFPE:
        return QStringLiteral("SIGFPE");
    case SIGABRT:
        return QStringLiteral("SIGABRT");
    default:
        return QStringLiteral("SIG") + QString::number(number);
    }
}

QString signalDescription(int number) {
    switch (number) {
    case SIGSEGV:
        return QStringLiteral("Segmentation fault");
    case SIGBUS:
        return QStringLiteral("Bus error");
    case SIGILL:
        return QStringLiteral("Illegal instruction");
    case SIGFPE:
        return QStringLiteral("Floating-point exception");
    case SIGABRT:
        return QStringLiteral("Aborted");
    default:
        return QStringLiteral("Signal ") + QString::number(number);
    }
}

QByteArray buildIdOf(const dl_phdr_info* info) {
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type != PT_NOTE) {
            continue;
        }
        const char* note = reinterpret_cast<const char*>(info->dlpi_addr + header.p_vaddr);
        const char* end = note + header.p_memsz;
        while (note + sizeof(ElfW(Nhdr)) <= end) {
            const auto* nhdr = reinterpret_cast<const ElfW(Nhdr)*>(note);
            const char* name = note + sizeof(ElfW(Nhdr));
            const char* desc = name + ((nhdr->n_namesz + 3) & ~3u);
            const char* next = desc + ((nhdr->n_descsz + 3) & ~3u);
            if (next > end) {
                break;
            }
            if (nhdr->n_type == NT_GNU_BUILD_ID && nhdr->n_namesz == 4 && qstrncmp(name, "GNU", 4) == 0) {
                return QByteArray(desc, nhdr->n_descsz).toHex();
            }
            note = next;
        }
    }
    return {};
}

int appendModule(dl_phdr_info* info, size_t, void* data) {
    auto* lines = static_cast<QByteArray*>(data);
    std::uintptr_t low = UINTPTR_MAX;
    std::uintptr_t high = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD) {
            low = std::min<std::uintptr_t>(low, header.p_vaddr);
            high = std::max<std::uintptr_t>(high, header.p_vaddr + header.p_memsz);
        }
    }
    if (low >= high) {
        return 0;
    }
    QByteArray path = info->dlpi_name ? QByteArray(info->dlpi_name) : QByteArray();
    if (path.isEmpty()) {
        // The main program reports no name of its own.
        path = QFile::encodeName(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
    }
    // One module per line, so a line break in a path must not start a new one.
    path.replace('\n', '?');
    const QByteArray buildId = buildIdOf(info);
    *lines += "module " + QByteArray::number(quint64(info->dlpi_addr + low), 16) + ' ' +
              QByteArray::number(quint64(high - low), 16) + ' ' +
              (buildId.isEmpty() ? QByteArray("-") : buildId) + ' ' + path + '\n';
    return 0;
}

struct ParsedReport {
    QByteArray kind;
    int signal = 0;
    qint64 timeoutMs = 0;
    double time = 0;
    QString release;
    QJsonArray images;
    QList<std::uintptr_t> frames;
};

bool parse(const QByteArray& text, ParsedReport& report) {
    const QList<QByteArray> lines = text.split('\n');
    if (lines.isEmpty() || lines.first() != "ondari-report 1") {
        return false;
    }
    for (const QByteArray& line : lines) {
        const qsizetype blank = line.indexOf(' ');
        if (blank < 0) {
            continue;
        }
        const QByteArray key = line.left(blank);
        const QByteArray value = line.mid(blank + 1);
        bool ok = true;
        if (key == "kind") {
            report.kind = value;
        } else if (key == "signal") {
            report.signal = value.toInt(&ok);
        } else if (key == "timeout_ms") {
            report.timeoutMs = value.toLongLong(&ok);
        } else if (key == "time") {
            report.time = value.toDouble(&ok);
        } else if (key == "release") {
            report.release = QString::fromUtf8(value);
        } else if (key == "frame") {
            report.frames.append(std::uintptr_t(value.toULongLong(&ok, 16)));
        } else if (key == "module") {
            const QList<QByteArray> parts = value.split(' ');
            if (parts.size() < 4) {
                return false;
            }
            bool startOk = false;
            bool sizeOk = false;
            const quint64 start = parts[0].toULongLong(&startOk, 16);
            const quint64 size = parts[1].toULongLong(&sizeOk, 16);
            if (!startOk || !sizeOk) {
                return false;
            }
            QJsonObject image{
                {QStringLiteral("type"), QStringLiteral("elf")},
                {QStringLiteral("image_addr"), hexAddress(start)},
                {QStringLiteral("image_size"), double(size)},
                {QStringLiteral("code_file"),
                 QFile::decodeName(value.mid(parts[0].size() + parts[1].size() + parts[2].size() + 3))}};
            if (parts[2] != "-") {
                image.insert(QStringLiteral("code_id"), QString::fromLatin1(parts[2]));
                image.insert(QStringLiteral("debug_id"), debugIdFromBuildId(parts[2]));
            }
            report.images.append(image);
        }
        if (!ok) {
            return false;
        }
    }
    if (report.kind == "crash") {
        return report.signal > 0;
    }
    return report.kind == "hang";
}

} // namespace

Dsn Dsn::parse(const QString& text) {
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || url.userName().isEmpty() ||
        (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http"))) {
        return {};
    }
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/'))) {
        path.chop(1);
    }
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    const QString project = path.mid(slash + 1);
    if (slash < 0 || project.isEmpty()) {
        return {};
    }
    QUrl endpoint;
    endpoint.setScheme(url.scheme());
    endpoint.setHost(url.host());
    endpoint.setPort(url.port());
    endpoint.setPath(path.left(slash) + QStringLiteral("/api/") + project + QStringLiteral("/envelope/"));
    Dsn dsn;
    dsn.publicKey = url.userName();
    dsn.envelopeUrl = endpoint;
    return dsn;
}

QByteArray authHeader(const Dsn& dsn, const QString& client) {
    return "Sentry sentry_version=7, sentry_client=" + client.toUtf8() +
           ", sentry_key=" + dsn.publicKey.toUtf8();
}

QByteArray collectModuleLines() {
    QByteArray lines;
    dl_iterate_phdr(appendModule, &lines);
    return lines;
}

QByteArray hangReport(std::int64_t timeoutMs, double time, const QString& release,
                      const QByteArray& moduleLines, const std::vector<std::uintptr_t>& frames) {
    QByteArray text = "ondari-report 1\nkind hang\ntimeout_ms " + QByteArray::number(qint64(timeoutMs)) +
                      "\ntime " + QByteArray::number(time, 'f', 6) + "\nrelease " + release.toUtf8() + '\n' +
                      moduleLines;
    for (const std::uintptr_t frame : frames) {
        text += "frame " + QByteArray::number(quint64(frame), 16) + '\n';
    }
    return text;
}

QByteArray envelope(const QByteArray& report, const QByteArray& eventId) {
    ParsedReport parsed;
    if (!parse(report, parsed)) {
        return {};
    }
    QJsonArray frames;
    // The server wants the outermost frame first.
    for (auto it = parsed.frames.crbegin(); it != parsed.frames.crend(); ++it) {
        frames.append(QJsonObject{{QStringLiteral("instruction_addr"), hexAddress(*it)}});
    }
    QJsonObject exception;
    QString level;
    if (parsed.kind == "crash") {
        level = QStringLiteral("fatal");
        exception = {
            {QStringLiteral("type"), signalName(parsed.signal)},
            {QStringLiteral("value"), signalDescription(parsed.signal)},
            {QStringLiteral("mechanism"),
             QJsonObject{{QStringLiteral("type"), QStringLiteral("signalhandler")},
                         {QStringLiteral("handled"), false},
                         {QStringLiteral("meta"),
                          QJsonObject{{QStringLiteral("signal"),
                                       QJsonObject{{QStringLiteral("number"), parsed.signal},
                                                   {QStringLiteral("name"), signalName(parsed.signal)}}}}}}}};
    } else {
        level = QStringLiteral("error");
        exception = {
            {QStringLiteral("type"), QStringLiteral("App Hanging")},
            {QStringLiteral("value"),
             QStringLiteral("App hanging for at least %1 ms.").arg(parsed.timeoutMs)},
            {QStringLiteral("mechanism"), QJsonObject{{QStringLiteral("type"), QStringLiteral("AppHang")},
                                                      {QStringLiteral("handled"), true}}}};
    }
    if (!frames.isEmpty()) {
        exception.insert(QStringLiteral("stacktrace"), QJsonObject{{QStringLiteral("frames"), frames}});
    }
    QJsonObject event{
        {QStringLiteral("event_id"), QString::fromLatin1(eventId)},
        {QStringLiteral("timestamp"), parsed.time},
        {QStringLiteral("platform"), QStringLiteral("native")},
        {QStringLiteral("level"), level},
        {QStringLiteral("exception"), QJsonObject{{QStringLiteral("values"), QJsonArray{exception}}}},
        {QStringLiteral("debug_meta"), QJsonObject{{QStringLiteral("images"), parsed.images}}},
        {QStringLiteral("contexts"),
         QJsonObject{{QStringLiteral("os"), QJsonObject{{QStringLiteral("name"), QStringLiteral("Linux")}}}}},
    };
    if (!parsed.release.isEmpty()) {
        event.insert(QStringLiteral("release"), parsed.release);
    }
    const QByteArray payload = QJsonDocument(event).toJson(QJsonDocument::Compact);
    const QJsonObject header{
        {QStringLiteral("event_id"), QString::fromLatin1(eventId)},
        {QStringLiteral("sent_at"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
    };
    const QJsonObject itemHeader{{QStringLiteral("type"), QStringLiteral("event")},
                                 {QStringLiteral("content_type"), QStringLiteral("application/json")},
                                 {QStringLiteral("length"), qint64(payload.size())}};
    return QJsonDocument(header).toJson(QJsonDocument::Compact) + '\n' +
           QJsonDocument(itemHeader).toJson(QJsonDocument::Compact) + '\n' + payload + '\n';
}

QString debugIdFromBuildId(const QByteArray& buildIdHex) {
    QByteArray bytes = QByteArray::fromHex(buildIdHex).left(16);
    bytes.append(QByteArray(16 - bytes.size(), '\0'));
    std::swap(bytes[0], bytes[3]);
    std::swap(bytes[1], bytes[2]);
    std::swap(bytes[4], bytes[5]);
    std::swap(bytes[6], bytes[7]);
    const QByteArray hex = bytes.toHex();
    return QString::fromLatin1(hex.mid(0, 8) + '-' + hex.mid(8, 4) + '-' + hex.mid(12, 4) + '-' +
                               hex.mid(16, 4) + '-' + hex.mid(20, 12));
}

} // namespace ErrorReport

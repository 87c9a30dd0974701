#include "StalledConnectionCutter.h"

#include <QHostInfo>

#include <cstdlib>

#include <dirent.h>
#include <fcntl.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// Long enough for a thread that is not stuck to have closed the aborted connection.
constexpr auto gracePeriod = 300ms;

bool samePeer(const sockaddr_storage& address, const QList<QHostAddress>& peers, quint16 port) {
    QHostAddress host;
    quint16 peerPort = 0;
    if (address.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
        host.setAddress(reinterpret_cast<const sockaddr*>(v4));
        peerPort = ntohs(v4->sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        host.setAddress(reinterpret_cast<const sockaddr*>(v6));
        peerPort = ntohs(v6->sin6_port);
    } else {
        return false;
    }
    if (peerPort != port) {
        return false;
    }
    for (const QHostAddress& peer : peers) {
        if (peer.isEqual(host, QHostAddress::TolerantConversion)) {
            return true;
        }
    }
    return false;
}

} // namespace

void StalledConnectionCutter::cutAfterAbort(const QUrl& url) {
    const bool https = url.scheme() == QLatin1String("https");
    if (!https && url.scheme() != QLatin1String("http")) {
        return;
    }
    auto* cutter = new StalledConnectionCutter(quint16(url.port(https ? 443 : 80)));
    const QHostAddress literal(url.host());
    if (!literal.isNull()) {
        cutter->start({literal});
        return;
    }
    // Answered from Qt's cache when the transfer itself looked the name up a moment ago.
    QHostInfo::lookupHost(url.host(), cutter,
                          [cutter](const QHostInfo& info) { cutter->start(info.addresses()); });
}

StalledConnectionCutter::StalledConnectionCutter(quint16 port) : m_port(port) {
    m_grace.setSingleShot(true);
    connect(&m_grace, &QTimer::timeout, this, &StalledConnectionCutter::cutStillReceiving);
}

void StalledConnectionCutter::start(const QList<QHostAddress>& peers) {
    m_peers = peers;
    m_before = connections();
    if (m_before.isEmpty()) {
        deleteLater();
        return;
    }
    m_grace.start(gracePeriod);
}

void StalledConnectionCutter::cutStillReceiving() {
    for (const Connection& now : connections()) {
        for (const Connection& before : std::as_const(m_before)) {
            if (now.fd != before.fd || now.inode != before.inode ||
                now.received < before.received + minBytesStillArriving) {
                continue;
            }
            int pair[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
                continue;
            }
            ::close(pair[1]);
            // Checked once more right before the swap: the descriptor is still that connection.
            struct stat st;
            if (::fstat(now.fd, &st) == 0 && st.st_ino == now.inode) {
                ::dup3(pair[0], now.fd, O_CLOEXEC);
            }
            ::close(pair[0]);
        }
    }
    deleteLater();
}

QList<StalledConnectionCutter::Connection> StalledConnectionCutter::connections() const {
    QList<Connection> found;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) {
        return found;
    }
    while (const dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == ::dirfd(dir)) {
            continue;
        }
        struct stat st;
        if (::fstat(int(fd), &st) != 0 || !S_ISSOCK(st.st_mode)) {
            continue;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(int(fd), reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
            !samePeer(peer, m_peers, m_port)) {
            continue;
        }
        tcp_info info{};
        socklen_t infoLength = sizeof info;
        if (::getsockopt(int(fd), IPPROTO_TCP, TCP_INFO, &info, &infoLength) != 0 ||
            infoLength < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
            continue;
        }
        found.append({int(fd), st.st_ino, info.tcpi_bytes_received});
    }
    ::closedir(dir);
    return found;
}

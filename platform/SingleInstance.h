#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <vector>

#include <sys/types.h>

class QLocalServer;
class QLocalSocket;

// One running copy per user, held by the kernel: an flock() on a fixed file in a folder found by
// the user id alone, which goes with its process however that ends. A later start is refused
// whatever its executable is called or its environment holds, and asks the running copy, over a
// local socket beside the lock, to show its menu.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // <private folder>/<app id>.lock by default; an empty path takes no lock.
    explicit SingleInstance(QString lockPath = defaultLockPath(), QObject* parent = nullptr);
    ~SingleInstance() override;

    // Empty when the user has no private folder to keep it in.
    static QString defaultLockPath();
    // The user's runtime folder (<root>/run/user/<uid>) when it is theirs alone, else
    // <root>/tmp/ondari-<uid>, made when missing; empty when neither is a real folder of that user
    // with mode 0700, for another user could then hold its lock or answer at its socket. The root
    // is "" but for tests, which name theirs in ONDARI_INSTANCE_ROOT.
    static QString privateFolder(const QString& root, uid_t uid);

    // True when this process may run: it holds the lock now (also when it held it already), or
    // no lock can be taken at all; false while another running copy holds it.
    bool tryLock();
    bool isLocked() const { return m_locked; }
    bool holdsLock() const { return !m_held.empty(); }
    QString lockPath() const { return m_path; }
    QString socketPath() const;

    // The holder listens for later starts; false when it cannot (the program runs on without),
    // and always false for a copy that holds no lock: the socket is another's then.
    bool listenForLaterStarts();
    // A refused start asks the running copy to show its menu; false when none took the request
    // within the time.
    bool askRunningCopyToShowMenu(std::chrono::milliseconds timeout = std::chrono::seconds(2)) const;

    // What a later start sends; anything else is dropped.
    static constexpr char showMenuCommand[] = "show-menu\n";
    // How long a peer may take to send it.
    static constexpr int peerTimeoutMs = 2000;
    // Peers served at once; more are turned away.
    static constexpr int maxPeers = 4;

signals:
    void showMenuRequested();

private:
    QString secondLockPath() const;
    void acceptPeers();
    void readPeer(QLocalSocket* peer);

    QString m_path;
    std::vector<int> m_held;
    bool m_locked = false;
    QLocalServer* m_server = nullptr;
    int m_peers = 0;
};

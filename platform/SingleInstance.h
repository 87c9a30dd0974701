#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <vector>

class QLocalServer;
class QLocalSocket;

// One running copy per user session, held by the kernel: an flock() on a fixed file in the
// runtime folder, which goes with its process however that ends. A later start is refused
// whatever its executable is called, and asks the running copy, over a local socket beside the
// lock, to show its menu.
class SingleInstance : public QObject {
    Q_OBJECT

public:
    // $XDG_RUNTIME_DIR/<app id>.lock by default.
    explicit SingleInstance(QString lockPath = defaultLockPath(), QObject* parent = nullptr);
    ~SingleInstance() override;

    static QString defaultLockPath();

    // True when this process now holds the lock (also when it held it already); false while
    // another running copy holds it.
    bool tryLock();
    bool isLocked() const { return m_locked; }
    QString lockPath() const { return m_path; }
    QString socketPath() const;

    // The holder listens for later starts; false when it cannot (the program runs on without).
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

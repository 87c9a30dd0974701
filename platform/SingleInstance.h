#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

// One running copy per user session: a lock file in the runtime folder, held while the
// program runs. A copy that crashed leaves a lock the next start takes over.
class SingleInstance {
public:
    // $XDG_RUNTIME_DIR/<app id>.lock by default.
    explicit SingleInstance(QString lockPath = defaultLockPath());
    ~SingleInstance();

    static QString defaultLockPath();

    // True when this process now holds the lock (also when it held it already); false while
    // another running copy holds it.
    bool tryLock();
    bool isLocked() const;
    QString lockPath() const { return m_path; }

private:
    QString m_path;
    std::unique_ptr<QLockFile> m_lock;
};

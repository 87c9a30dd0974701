#include "SingleInstance.h"
#include "TestEnvironment.h"

#include <QFile>

#include <sys/wait.h>
#include <unistd.h>

namespace {

// Another running copy: a child process that takes the lock, reports, and holds it until
// told to end (by closing its pipe), or dies without releasing it.
class OtherCopy {
public:
    OtherCopy(const QString& lockPath, bool dieHolding) {
        int toChild[2];
        int fromChild[2];
        if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) {
            qFatal("pipe");
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(toChild[1]);
            ::close(fromChild[0]);
            SingleInstance lock(lockPath);
            const char answer = lock.tryLock() ? 'y' : 'n';
            [[maybe_unused]] ssize_t n = ::write(fromChild[1], &answer, 1);
            if (!dieHolding) {
                char byte = 0;
                n = ::read(toChild[0], &byte, 1); // returns when the parent closes its end
            }
            ::_exit(0); // no destructors: a crash leaves its lock behind
        }
        ::close(toChild[0]);
        ::close(fromChild[1]);
        m_toChild = toChild[1];
        char answer = 0;
        m_locked = ::read(fromChild[0], &answer, 1) == 1 && answer == 'y';
        ::close(fromChild[0]);
        if (dieHolding) {
            finish();
        }
    }
    ~OtherCopy() { finish(); }

    bool locked() const { return m_locked; }

    void finish() {
        if (m_toChild >= 0) {
            ::close(m_toChild);
            m_toChild = -1;
        }
        if (m_pid > 0) {
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
    int m_toChild = -1;
    bool m_locked = false;
};

} // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT

    int lockFile = 0;
    QString nextPath() { return TestEnvironment::root() + QStringLiteral("/locks/%1.lock").arg(++lockFile); }

private slots:
    void lockLivesInTheRuntimeFolder() {
        QCOMPARE(SingleInstance::defaultLockPath(),
                 qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/" ONDARI_APP_ID ".lock"));
        SingleInstance instance;
        QVERIFY(instance.tryLock());
        QVERIFY(QFile::exists(SingleInstance::defaultLockPath()));
    }

    void secondCopyIsRefusedUntilTheFirstEnds() {
        const QString path = nextPath();
        {
            OtherCopy first(path, false);
            QVERIFY(first.locked());
            SingleInstance second(path);
            QVERIFY(!second.tryLock());
            QVERIFY(!second.tryLock());
            first.finish();
            QVERIFY(second.tryLock());
            QVERIFY(second.isLocked());
        }
        // Released with its holder.
        OtherCopy third(path, false);
        QVERIFY(third.locked());
    }

    void holderAsksAgainAndAnotherObjectInTheSameProcessIsRefused() {
        const QString path = nextPath();
        SingleInstance first(path);
        QVERIFY(first.tryLock());
        QVERIFY(first.tryLock());
        SingleInstance second(path);
        QVERIFY(!second.tryLock());
    }

    void crashedCopyLeavesNoBlockingLock() {
        const QString path = nextPath();
        OtherCopy crashed(path, true);
        QVERIFY(crashed.locked());
        QVERIFY(QFile::exists(path));
        SingleInstance next(path);
        QVERIFY(next.tryLock());
    }
};

ONDARI_TEST_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"

#include "SingleInstance.h"
#include "TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QScopeGuard>
#include <QSignalSpy>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// Two starts at the same instant: children that wait at a gate, then take the lock at once.
// Returns how many of them took it.
int startTogether(const QString& lockPath) {
    int gate[2];
    int answers[2];
    int end[2];
    if (::pipe(gate) != 0 || ::pipe(answers) != 0 || ::pipe(end) != 0) {
        qFatal("pipe");
    }
    pid_t children[2];
    for (pid_t& child : children) {
        child = ::fork();
        if (child == 0) {
            ::close(gate[1]);
            ::close(answers[0]);
            ::close(end[1]);
            char byte = 0;
            [[maybe_unused]] ssize_t n = ::read(gate[0], &byte, 1); // returns when the gate closes
            SingleInstance lock(lockPath);
            const char answer = lock.tryLock() ? 'y' : 'n';
            n = ::write(answers[1], &answer, 1);
            n = ::read(end[0], &byte, 1); // both answer before either lets go
            ::_exit(0);
        }
    }
    ::close(gate[0]);
    ::close(answers[1]);
    ::close(end[0]);
    ::close(gate[1]);
    int taken = 0;
    for (int i = 0; i < 2; ++i) {
        char answer = 0;
        if (::read(answers[0], &answer, 1) == 1 && answer == 'y') {
            ++taken;
        }
    }
    ::close(answers[0]);
    ::close(end[1]);
    for (const pid_t child : children) {
        ::waitpid(child, nullptr, 0);
    }
    return taken;
}

} // namespace

class SingleInstanceTest : public QObject {
    Q_OBJECT

    int lockFile = 0;
    QString nextPath() { return TestEnvironment::root() + QStringLiteral("/locks/%1.lock").arg(++lockFile); }

private slots:
    // Found by the user id: the same place whatever XDG_RUNTIME_DIR says, and the user's runtime
    // folder once there is one of theirs.
    void lockPlaceIgnoresTheEnvironment() {
        const QString root = TestEnvironment::root() + QStringLiteral("/place");
        QVERIFY(QDir().mkpath(root + QStringLiteral("/tmp")));
        qputenv("ONDARI_INSTANCE_ROOT", QFile::encodeName(root));
        const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
        const auto restore = qScopeGuard([&] {
            qputenv("ONDARI_INSTANCE_ROOT", QFile::encodeName(TestEnvironment::root()));
            qputenv("XDG_RUNTIME_DIR", runtimeDir);
        });
        const QString fallback =
            root + QStringLiteral("/tmp/ondari-%1/" ONDARI_APP_ID ".lock").arg(::geteuid());
        for (const char* runtime : {"set", "unset", "relative", "elsewhere"}) {
            if (runtime == QLatin1String("unset")) {
                qunsetenv("XDG_RUNTIME_DIR");
            } else {
                qputenv("XDG_RUNTIME_DIR",
                        runtime == QLatin1String("set") ? runtimeDir : QByteArray(runtime));
            }
            QCOMPARE(SingleInstance::defaultLockPath(), fallback);
        }
        SingleInstance instance;
        QVERIFY(instance.tryLock());
        QVERIFY(instance.holdsLock());
        QVERIFY(QFile::exists(fallback));

        const QString userRuntime = root + QStringLiteral("/run/user/%1").arg(::geteuid());
        QVERIFY(QDir().mkpath(userRuntime));
        QCOMPARE(::chmod(QFile::encodeName(userRuntime).constData(), 0700), 0);
        QCOMPARE(SingleInstance::defaultLockPath(), userRuntime + QStringLiteral("/" ONDARI_APP_ID ".lock"));
    }

    // A folder another user made, or could reach into, is never used: the start goes on without a
    // lock, neither waiting on the lock found there nor touching or calling the socket beside it.
    void strangersFolderNeitherBlocksNorAnswers_data() {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"another user's", "open to all", "link to a private folder", "a file"}) {
            QTest::newRow(kind) << QString::fromLatin1(kind);
        }
    }
    void strangersFolderNeitherBlocksNorAnswers() {
        QFETCH(QString, kind);
        const QString root =
            TestEnvironment::root() + QStringLiteral("/stranger-") + QString::number(++lockFile);
        QVERIFY(QDir().mkpath(root + QStringLiteral("/tmp")));
        const QString folder = root + QStringLiteral("/tmp/ondari-%1").arg(::geteuid());
        QString inside = folder;
        if (kind == QLatin1String("a file")) {
            QVERIFY(QFile(folder).open(QIODevice::WriteOnly));
        } else if (kind == QLatin1String("link to a private folder")) {
            inside = root + QStringLiteral("/real");
            QVERIFY(QDir().mkdir(inside));
            QVERIFY(QFile::link(inside, folder));
        } else {
            QVERIFY(QDir().mkdir(folder));
        }
        QVERIFY(QFile::setPermissions(inside, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        // What the stranger keeps there: a lock held, a socket listening.
        QLocalServer stranger;
        int strangersLock = -1;
        const auto unlock = qScopeGuard([&] { ::close(strangersLock); });
        if (inside != folder || QFileInfo(folder).isDir()) {
            strangersLock =
                ::open(QFile::encodeName(inside + QStringLiteral("/" ONDARI_APP_ID ".lock")).constData(),
                       O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
            QVERIFY(strangersLock >= 0);
            QCOMPARE(::flock(strangersLock, LOCK_EX | LOCK_NB), 0);
            QVERIFY(stranger.listen(inside + QStringLiteral("/" ONDARI_APP_ID ".socket")));
        }
        if (kind == QLatin1String("another user's")) {
            if (::geteuid() != 0) {
                QSKIP("only the superuser can give a folder to another user");
            }
            constexpr uid_t nobody = 65534;
            QCOMPARE(::chown(QFile::encodeName(folder).constData(), nobody, nobody), 0);
        } else if (kind == QLatin1String("open to all")) {
            QCOMPARE(::chmod(QFile::encodeName(folder).constData(), 0777), 0);
        }

        QVERIFY(SingleInstance::privateFolder(root, ::geteuid()).isEmpty());
        qputenv("ONDARI_INSTANCE_ROOT", QFile::encodeName(root));
        SingleInstance instance;
        qputenv("ONDARI_INSTANCE_ROOT", QFile::encodeName(TestEnvironment::root()));
        QVERIFY(instance.tryLock());
        QVERIFY(!instance.holdsLock());
        QVERIFY(!instance.listenForLaterStarts());
        QCoreApplication::processEvents();
        QVERIFY(!stranger.hasPendingConnections());
        if (stranger.isListening()) {
            QLocalSocket check;
            check.connectToServer(stranger.fullServerName());
            QVERIFY(check.waitForConnected(2000));
        }
    }

    // A copy that can take no lock at all runs, but the socket is not its own to take away.
    void copyWithoutALockLeavesTheSocketAlone() {
        const QString path = nextPath();
        SingleInstance probe(path);
        for (const QString& name : {path, path + QLatin1Char('2')}) {
            QVERIFY(QDir().mkpath(name));
            QVERIFY(QFile(name + QStringLiteral("/inside")).open(QIODevice::WriteOnly));
        }
        QLocalServer running;
        QVERIFY(running.listen(probe.socketPath()));
        SingleInstance lockless(path);
        QVERIFY(lockless.tryLock());
        QVERIFY(!lockless.holdsLock());
        QVERIFY(!lockless.listenForLaterStarts());
        QLocalSocket later;
        later.connectToServer(probe.socketPath());
        QVERIFY(later.waitForConnected(2000));
        QTRY_VERIFY(running.hasPendingConnections());
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

    void simultaneousStartsLeaveOneRunning() {
        QString path;
        for (int round = 0; round < 30; ++round) {
            // A lock file made by the two at once, and one a finished pair left behind.
            if (round % 2 == 0) {
                path = nextPath();
            }
            QCOMPARE(startTogether(path), 1);
        }
    }

    // Whatever lies at the lock path, the program starts, and a later copy is still refused.
    void garbageAtTheLockPathNeverStopsAStart_data() {
        QTest::addColumn<QString>("garbage");
        for (const char* kind : {"empty file", "garbage file", "unreadable file", "fifo", "empty folder",
                                 "folder with a file", "dangling symlink", "symlink to a file"}) {
            QTest::newRow(kind) << QString::fromLatin1(kind);
        }
    }
    void garbageAtTheLockPathNeverStopsAStart() {
        QFETCH(QString, garbage);
        const QString path = nextPath();
        QDir().mkpath(QFileInfo(path).path());
        const QByteArray name = QFile::encodeName(path);
        const QString target = path + QStringLiteral(".target");
        const auto is = [&](const char* kind) { return garbage == QLatin1String(kind); };
        if (is("empty file") || is("garbage file") || is("unreadable file")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            if (!is("empty file")) {
                file.write(QByteArray("4194303\n\xff\xfe not a lock").repeated(100));
            }
            file.close();
            if (is("unreadable file")) {
                QVERIFY(::chmod(name.constData(), 0) == 0);
            }
        } else if (is("fifo")) {
            QVERIFY(::mkfifo(name.constData(), 0600) == 0);
        } else if (is("empty folder") || is("folder with a file")) {
            QVERIFY(QDir().mkdir(path));
            if (is("folder with a file")) {
                QVERIFY(QFile(path + QStringLiteral("/inside")).open(QIODevice::WriteOnly));
            }
        } else {
            if (is("symlink to a file")) {
                QVERIFY(QFile(target).open(QIODevice::WriteOnly));
            }
            QVERIFY(QFile::link(target, path));
        }

        SingleInstance first(path);
        QVERIFY(first.tryLock());
        OtherCopy second(path, false);
        QVERIFY(!second.locked());
        // A link is never followed: nothing is made or locked at its target.
        if (is("dangling symlink")) {
            QVERIFY(!QFile::exists(target));
        } else if (is("symlink to a file")) {
            const int fd = ::open(QFile::encodeName(target).constData(), O_RDONLY | O_CLOEXEC);
            QVERIFY(fd >= 0);
            QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
            ::close(fd);
        }
        if (is("unreadable file")) {
            ::chmod(name.constData(), 0600);
        }
    }

    // A refused start reaches the running copy, past a dead copy's socket and a stranger's junk.
    void laterStartAsksTheHolderForItsMenu() {
        const QString path = nextPath();
        SingleInstance holder(path);
        QVERIFY(holder.tryLock());
        QFile stale(holder.socketPath());
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();
        QVERIFY(holder.listenForLaterStarts());
        QSignalSpy asked(&holder, &SingleInstance::showMenuRequested);

        QLocalSocket junk;
        junk.connectToServer(holder.socketPath());
        QVERIFY(junk.waitForConnected(2000));
        junk.write(QByteArray("show-menu!").repeated(1000));
        QTRY_COMPARE(junk.state(), QLocalSocket::UnconnectedState);
        QCOMPARE(asked.size(), 0);

        SingleInstance later(path);
        QVERIFY(!later.tryLock());
        QVERIFY(later.askRunningCopyToShowMenu());
        QTRY_COMPARE(asked.size(), 1);
    }
};

ONDARI_TEST_MAIN(SingleInstanceTest)
#include "tst_singleinstance.moc"

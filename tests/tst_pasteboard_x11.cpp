#include "FakeSelectionOwner.h"
#include "Pasteboard.h"
#include "TestEnvironment.h"
#include "ThreadTimer.h"
#include "X11SelectionReader.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <atomic>

#include <csignal>

#include <xcb/xcb.h>

namespace {

using Answer = std::optional<std::optional<QString>>;
using Offers = FakeSelectionOwner::Offers;

} // namespace

Q_DECLARE_METATYPE(Answer)

namespace QTest {
template <> char* toString(const std::optional<QString>& value) {
    return value ? toString(QStringLiteral("\"%1\" (%2 chars)").arg(value->left(80)).arg(value->size()))
                 : qstrdup("none");
}
template <> char* toString(const Answer& value) {
    return value ? toString(*value) : qstrdup("no answer");
}
} // namespace QTest

// The X11 clipboard against other programs: xclip, and an owner of our own that can offer any
// targets or get stuck.
class TestPasteboardX11 : public QObject {
    Q_OBJECT

    QList<QProcess*> m_xclips;
    std::vector<std::unique_ptr<FakeSelectionOwner>> m_owners;

    FakeSelectionOwner& addOwner(Offers offers) {
        m_owners.push_back(std::make_unique<FakeSelectionOwner>(std::move(offers)));
        return *m_owners.back();
    }

    // Whether another client owns CLIPBOARD now, asked on Qt's own connection.
    static bool othersOwnClipboard() {
        auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
        xcb_connection_t* c = x11->connection();
        auto* atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, 9, "CLIPBOARD"), nullptr);
        auto* owner = xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, atom->atom), nullptr);
        const bool owned = owner && owner->owner != XCB_NONE;
        free(atom);
        free(owner);
        return owned && !QGuiApplication::clipboard()->ownsClipboard();
    }

    // xclip owning the clipboard with this content, in the foreground so that it can be killed.
    QProcess* startXclip(const QByteArray& content, const QStringList& extra = {}) {
        auto* xclip = new QProcess(this);
        m_xclips.append(xclip);
        xclip->start(QStringLiteral("xclip"),
                     QStringList{QStringLiteral("-selection"), QStringLiteral("clipboard"),
                                 QStringLiteral("-i"), QStringLiteral("-quiet")} +
                         extra);
        if (!xclip->waitForStarted(2000)) {
            return nullptr;
        }
        xclip->write(content);
        xclip->closeWriteChannel();
        return xclip;
    }

    // The clipboard's text as xclip reads it, without turning our event loop (which serves
    // our own copy: not for reading ours).
    static QString blockingPaste() {
        QProcess reader;
        reader.start(QStringLiteral("xclip"),
                     {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
        reader.waitForFinished(3000);
        return QString::fromUtf8(reader.readAllStandardOutput());
    }

    using Done = std::function<void(std::optional<QString>)>;

    // Starts a read and runs the event loop until its answer (no answer: none at all).
    template <typename Start> static Answer answerOf(Start start) {
        Answer answer;
        QEventLoop loop;
        QTimer::singleShot(7000, &loop, &QEventLoop::quit);
        start([&](std::optional<QString> text) {
            answer = std::move(text);
            loop.quit();
        });
        if (!answer) {
            loop.exec();
        }
        return answer;
    }
    Answer read(Pasteboard& pasteboard) {
        return answerOf([&](Done done) { pasteboard.readString(this, std::move(done)); });
    }

    static Answer text(const QString& value) { return Answer(std::optional<QString>(value)); }
    static Answer none() { return Answer(std::optional<QString>()); }

    // Takes the clipboard with an owner of our own and waits until the pasteboard counted it.
    static bool own(FakeSelectionOwner& owner, Pasteboard& pasteboard) {
        const int before = pasteboard.changeCount();
        return owner.start() && QTest::qWaitFor([&] { return pasteboard.changeCount() == before + 1; }, 2000);
    }

private slots:
    void initTestCase() {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        QVERIFY(!QStandardPaths::findExecutable(QStringLiteral("xclip")).isEmpty());
    }

    void cleanup() {
        QSignalSpy changed(QGuiApplication::clipboard(), &QClipboard::changed);
        const bool othersOwned = othersOwnClipboard();
        for (QProcess* xclip : std::as_const(m_xclips)) {
            xclip->kill();
            xclip->waitForFinished(1000);
            delete xclip;
        }
        m_xclips.clear();
        m_owners.clear();
        // Qt's notice of the owner leaving belongs to this test: had it landed after the next
        // test's owner took over, it would count there.
        if (othersOwned) {
            QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty(), 5000);
        }
    }

    void otherProgramsCopyCountsOnceAndReadsBack() {
        Pasteboard pasteboard;
        const int before = pasteboard.changeCount();
        const QString copied = QStringLiteral("Grüße – ♪ 音楽 🎵 https://example.com/track/1\n");
        QVERIFY(startXclip(copied.toUtf8()));
        QTRY_COMPARE(pasteboard.changeCount(), before + 1);
        QCOMPARE(read(pasteboard), text(copied));

        // Reads asked for while one runs are served too, in order.
        QList<std::optional<QString>> answers;
        for (int i = 0; i < 3; ++i) {
            pasteboard.readString(this, [&](std::optional<QString> t) { answers.append(t); });
        }
        QTRY_COMPARE(answers.size(), 3);
        for (const auto& answer : answers) {
            QCOMPARE(answer, std::optional<QString>(copied));
        }
        QCOMPARE(pasteboard.changeCount(), before + 1);
    }

    void ownWriteCountsOnceAndIsServed() {
        Pasteboard pasteboard;
        QSignalSpy spy(&pasteboard, &Pasteboard::changeCountChanged);
        const int before = pasteboard.changeCount();
        const QString written = QStringLiteral("https://example.com/album/ñ?i=2 – ✓");
        pasteboard.writeString(written);
        QCOMPARE(pasteboard.changeCount(), before + 1);
        QCOMPARE(spy.count(), 1);

        // Another program reads it while our event loop runs; Qt's later notice of our own
        // ownership does not count again.
        QProcess reader;
        reader.start(QStringLiteral("xclip"),
                     {QStringLiteral("-o"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
        QTRY_COMPARE_WITH_TIMEOUT(reader.state(), QProcess::NotRunning, 10000);
        QCOMPARE(reader.exitCode(), 0);
        QCOMPARE(QString::fromUtf8(reader.readAllStandardOutput()), written);
        QCOMPARE(read(pasteboard), text(written));
        QTest::qWait(50);
        QCOMPARE(pasteboard.changeCount(), before + 1);
        QCOMPARE(spy.count(), 1);

        // Our write after another program's copy counts once again.
        QVERIFY(startXclip("theirs"));
        QTRY_COMPARE(pasteboard.changeCount(), before + 2);
        pasteboard.writeString(QStringLiteral("ours again"));
        QCOMPARE(pasteboard.changeCount(), before + 3);
        QTest::qWait(50);
        QCOMPARE(pasteboard.changeCount(), before + 3);
    }

    // Qt stamps its writes with the newest server time its connection has heard of; the server
    // refuses a write stamped before the last copy. A write counts as done exactly when the
    // clipboard then holds its text, and once Qt's event loop has heard of the newer copy a
    // write takes again (Qt moves its clock on with its own selection notices).
    void writeCountsExactlyWhenItTook() {
        Pasteboard pasteboard;
        QVERIFY(startXclip("before"));
        QTRY_VERIFY(othersOwnClipboard());
        QTest::qWait(50); // Qt hears of it: its clock is a real server time now
        const int before = pasteboard.changeCount();
        QVERIFY(pasteboard.writeString(QStringLiteral("first")));
        QCOMPARE(pasteboard.changeCount(), before + 1);

        // Another client takes it right after our write, stamped later than any time Qt knows;
        // our next write runs before Qt's event loop hears of that copy.
        QThread::msleep(5);
        FakeSelectionOwner& owner = addOwner(Offers{{"UTF8_STRING", "theirs"}});
        QVERIFY(owner.start(true));
        QVERIFY(!pasteboard.writeString(QStringLiteral("refused")));
        QCOMPARE(blockingPaste(), QStringLiteral("theirs"));
        QCOMPARE(pasteboard.changeCount(), before + 1);
        QTRY_COMPARE(pasteboard.changeCount(), before + 2); // their copy, once

        QVERIFY2(pasteboard.writeString(QStringLiteral("after")),
                 "a write after Qt's event loop heard of the newer copy was refused: Qt's clock no "
                 "longer follows its selection notices");
        QCOMPARE(pasteboard.changeCount(), before + 3);
        QCOMPARE(read(pasteboard), text(QStringLiteral("after")));
    }

    // A copy kept alive is told from a new one: taken over within the keeper's window after its
    // owner left, or by the clipboard manager (which takes copies over from programs as they
    // quit); another program taking over from a live owner, or after the window, made a copy.
    // The window is set here: a loaded machine only ever lengthens the gaps the test makes.
    void keptCopyIsToldFromANewOne() {
        Pasteboard pasteboard;
        pasteboard.setKeeperDelay(60000);
        const auto contents = [&] {
            Pasteboard::Contents answer = Pasteboard::Contents::of(Pasteboard::Contents::Kind::Newer);
            answerOf([&](Done done) {
                pasteboard.read(this, [&answer, done](const Pasteboard::Contents& c) {
                    answer = c;
                    done(c.string());
                });
            });
            return answer;
        };
        const auto leave = [&](std::unique_ptr<FakeSelectionOwner> owner) {
            owner.reset();
            return QTest::qWaitFor([&] { return contents().kind == Pasteboard::Contents::Kind::NoOwner; },
                                   5000);
        };
        auto leaving = std::make_unique<FakeSelectionOwner>(Offers{{"UTF8_STRING", "kept"}});
        QVERIFY(leaving->start());
        QVERIFY(!contents().restored);
        QVERIFY(leave(std::move(leaving)));

        QVERIFY(addOwner(Offers{{"UTF8_STRING", "kept"}}).start());
        Pasteboard::Contents kept = contents();
        QCOMPARE(kept.string(), QStringLiteral("kept"));
        QVERIFY(kept.restored);
        QVERIFY(addOwner(Offers{{"UTF8_STRING", "kept"}}).start(false, true));
        QVERIFY(contents().restored);
        QVERIFY(startXclip("kept"));
        QTRY_VERIFY(othersOwnClipboard() && !contents().restored);
        QCOMPARE(contents().string(), QStringLiteral("kept"));

        // Past the window the same text is a new copy.
        pasteboard.setKeeperDelay(20);
        leaving = std::make_unique<FakeSelectionOwner>(Offers{{"UTF8_STRING", "again"}});
        QVERIFY(leaving->start());
        QVERIFY(leave(std::move(leaving)));
        QTest::qWait(50);
        QVERIFY(addOwner(Offers{{"UTF8_STRING", "again"}}).start());
        QTRY_COMPARE(contents().string(), QStringLiteral("again"));
        QVERIFY(!contents().restored);
    }

    void ownerQuittingIsNoChange() {
        Pasteboard pasteboard;
        const int before = pasteboard.changeCount();
        QProcess* xclip = startXclip("short-lived");
        QVERIFY(xclip);
        QTRY_COMPARE(pasteboard.changeCount(), before + 1);

        xclip->terminate();
        QVERIFY(xclip->waitForFinished(2000));
        QTRY_VERIFY(!othersOwnClipboard());
        QTest::qWait(50);
        QCOMPARE(pasteboard.changeCount(), before + 1);

        ThreadTimer clock;
        clock.start();
        QCOMPARE(read(pasteboard), none()); // nobody owns it: answered without asking anyone
        QVERIFY2(clock.elapsed() < TestEnvironment::guiBlockedMs,
                 qPrintable(QString::number(clock.elapsed())));
    }

    void primarySelectionIsNoCopy() {
        Pasteboard pasteboard;
        const int before = pasteboard.changeCount();
        QSignalSpy changed(QGuiApplication::clipboard(), &QClipboard::changed);
        auto* xclip = new QProcess(this);
        m_xclips.append(xclip);
        xclip->start(QStringLiteral("xclip"), {QStringLiteral("-selection"), QStringLiteral("primary"),
                                               QStringLiteral("-i"), QStringLiteral("-quiet")});
        QVERIFY(xclip->waitForStarted(2000));
        xclip->write("selected, not copied");
        xclip->closeWriteChannel();
        QTRY_VERIFY(!changed.isEmpty());
        QCOMPARE(changed.at(0).at(0).value<QClipboard::Mode>(), QClipboard::Selection);
        QTest::qWait(20);
        QCOMPARE(pasteboard.changeCount(), before);
    }

    void sizeLimit_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("readable");
        const QByteArray twoByte = QString(32 * 1024, QChar(0xe9)).toUtf8();
        QTest::newRow("exactly 64 KiB") << twoByte << true;
        QTest::newRow("64 KiB + 1") << twoByte + 'a' << false;
        // xclip hands over up to 1,048,575 bytes at once, anything longer in INCR chunks.
        QTest::newRow("largest single transfer") << QByteArray(1048575, 'x') << false;
        QTest::newRow("INCR transfer") << QByteArray(1048576, 'y') << false;
        QTest::newRow("long INCR transfer") << QByteArray(3 * 1048576, 'z') << false;
    }
    void sizeLimit() {
        QFETCH(QByteArray, content);
        QFETCH(bool, readable);
        Pasteboard pasteboard;
        const int before = pasteboard.changeCount();
        QProcess* owner = startXclip(content, {QStringLiteral("-loops"), QStringLiteral("1")});
        QVERIFY(owner);
        QTRY_COMPARE(pasteboard.changeCount(), before + 1);
        QElapsedTimer clock;
        clock.start();
        const Answer answer = read(pasteboard);
        const qint64 elapsed = clock.elapsed();
        QCOMPARE(answer, readable ? text(QString::fromUtf8(content)) : none());
        // Refused at the cap, long before the read's deadline (a busy machine only slows the copy).
        QVERIFY2(elapsed < Pasteboard::readTimeoutMs / 2,
                 qPrintable(QStringLiteral("read took %1 ms").arg(elapsed)));

        // xclip counts the text transfer (not TARGETS) and exits once it has served it to the
        // end: a refused INCR transfer does not leave it stuck (and so deaf to everyone else).
        QTRY_COMPARE_WITH_TIMEOUT(owner->state(), QProcess::NotRunning, 10000);
        QCOMPARE(owner->exitStatus(), QProcess::NormalExit);
        QCOMPARE(owner->exitCode(), 0);
    }

    void offeredTargets_data() {
        QTest::addColumn<QList<QByteArray>>("targets");
        QTest::addColumn<QList<QByteArray>>("contents");
        QTest::addColumn<Answer>("expected");
        QTest::addColumn<QByteArray>("neverAskedFor");
        const QByteArray hint = "x-kde-passwordManagerHint";
        QTest::newRow("secret") << QList<QByteArray>{"UTF8_STRING", hint}
                                << QList<QByteArray>{"hunter2", "secret"} << none()
                                << QByteArray("UTF8_STRING");
        QTest::newRow("other hint") << QList<QByteArray>{"UTF8_STRING", hint}
                                    << QList<QByteArray>{"visible", "public"} << text("visible")
                                    << QByteArray();
        QTest::newRow("no hint") << QList<QByteArray>{"UTF8_STRING"} << QList<QByteArray>{"visible"}
                                 << text("visible") << QByteArray();
        QTest::newRow("image only") << QList<QByteArray>{"image/png"}
                                    << QList<QByteArray>{QByteArray("\x89PNG\r\n\x1a\n", 8)} << none()
                                    << QByteArray("image/png");
        QTest::newRow("text/plain UTF-8") << QList<QByteArray>{"text/plain;charset=utf-8", "image/png"}
                                          << QList<QByteArray>{QStringLiteral("ü-mail").toUtf8(), "png"}
                                          << text(QStringLiteral("ü-mail")) << QByteArray("image/png");
        QTest::newRow("Latin-1 STRING") << QList<QByteArray>{"STRING"} << QList<QByteArray>{"caf\xe9"}
                                        << text(QStringLiteral("café")) << QByteArray();
        QTest::newRow("UTF-8 first") << QList<QByteArray>{"STRING", "UTF8_STRING"}
                                     << QList<QByteArray>{"latin", "utf8"} << text("utf8")
                                     << QByteArray("STRING");
        QTest::newRow("invalid UTF-8")
            << QList<QByteArray>{"UTF8_STRING"} << QList<QByteArray>{"ab\xff\xfe"} << none() << QByteArray();
        QTest::newRow("cut-off UTF-8")
            << QList<QByteArray>{"UTF8_STRING"} << QList<QByteArray>{"caf\xc3"} << none() << QByteArray();
        QTest::newRow("empty text") << QList<QByteArray>{"UTF8_STRING"} << QList<QByteArray>{""} << text("")
                                    << QByteArray();
    }
    void offeredTargets() {
        QFETCH(QList<QByteArray>, targets);
        QFETCH(QList<QByteArray>, contents);
        QFETCH(Answer, expected);
        QFETCH(QByteArray, neverAskedFor);
        Offers offers;
        for (int i = 0; i < targets.size(); ++i) {
            offers[targets[i]] = contents[i];
        }
        Pasteboard pasteboard;
        FakeSelectionOwner& owner = addOwner(offers);
        QVERIFY(own(owner, pasteboard));
        QCOMPARE(read(pasteboard), expected);
        QVERIFY(owner.requested().contains("TARGETS"));
        if (!neverAskedFor.isEmpty()) {
            QVERIFY(!owner.requested().contains(neverAskedFor));
        }
    }

    void stuckOwnerTimesOutWithoutStallingUs() {
        Pasteboard pasteboard;
        FakeSelectionOwner& owner = addOwner(Offers{{"UTF8_STRING", "fresh"}});
        owner.hold("UTF8_STRING", "stale");
        QVERIFY(own(owner, pasteboard));

        StallMeter stalls;
        stalls.start();
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(read(pasteboard), none());
        const qint64 elapsed = clock.elapsed();
        stalls.stop();
        // Never before the deadline; a busy machine may only make it later.
        QVERIFY2(elapsed >= 4900 && elapsed <= 3 * Pasteboard::readTimeoutMs,
                 qPrintable(QString::number(elapsed)));
        QVERIFY2(stalls.longestGapMs() < TestEnvironment::guiBlockedMs,
                 qPrintable(QString::number(stalls.longestGapMs())));

        // The owner wakes up and answers the old request just before the new one: the old
        // answer is told apart by its time.
        owner.release();
        QCOMPARE(read(pasteboard), text(QStringLiteral("fresh")));
        QCOMPARE(owner.requested().count("UTF8_STRING"), 2);
    }

    // A pinned read asked for while the reader waits for a stuck owner never reads a copy made
    // after it was asked for; the other reads follow the newer copy.
    void pinnedReadNeverReadsANewerCopy() {
        Pasteboard pasteboard;
        FakeSelectionOwner& owner = addOwner(Offers{{"UTF8_STRING", "at the request"}});
        owner.hold("UTF8_STRING", "late");
        QVERIFY(own(owner, pasteboard));
        std::optional<Pasteboard::Contents> first;
        std::optional<Pasteboard::Contents> pinned;
        std::optional<Pasteboard::Contents> unpinned;
        pasteboard.read(this, [&](const Pasteboard::Contents& c) { first = c; });
        QTRY_VERIFY(owner.requested().contains("UTF8_STRING"));
        pasteboard.read(
            this, [&](const Pasteboard::Contents& c) { pinned = c; }, true);
        pasteboard.read(this, [&](const Pasteboard::Contents& c) { unpinned = c; });
        QVERIFY(startXclip("newer"));
        QTRY_VERIFY(first && pinned && unpinned);
        QCOMPARE(first->string(), QStringLiteral("newer"));
        QCOMPARE(pinned->kind, Pasteboard::Contents::Kind::Newer);
        QCOMPARE(unpinned->string(), QStringLiteral("newer"));
    }

    void destroyingDuringAStuckReadIsPrompt() {
        FakeSelectionOwner& owner = addOwner(Offers{{"UTF8_STRING", "never sent"}});
        owner.hold("UTF8_STRING", "late");
        QVERIFY(owner.start());
        auto reader = X11SelectionReader::create();
        QVERIFY(reader);
        bool called = false;
        reader->read(
            this, [&](const Pasteboard::Contents&) { called = true; }, false);
        QTRY_VERIFY(owner.requested().contains("UTF8_STRING"));
        ThreadTimer clock;
        clock.start();
        reader.reset();
        QVERIFY2(clock.elapsed() < TestEnvironment::guiBlockedMs,
                 qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(20);
        QVERIFY(!called);
    }

    void answerIsDroppedWhenTheContextIsGone() {
        FakeSelectionOwner& owner = addOwner(Offers{{"UTF8_STRING", "dropped"}});
        QVERIFY(owner.start());
        auto reader = X11SelectionReader::create();
        QVERIFY(reader);
        bool called = false;
        auto* context = new QObject;
        reader->read(
            context, [&](const Pasteboard::Contents&) { called = true; }, false);
        delete context;
        QObject alive;
        QCOMPARE(answerOf([&](Done done) {
                     reader->read(
                         &alive, [done](const Pasteboard::Contents& c) { done(c.string()); }, false);
                 }),
                 text(QStringLiteral("dropped")));
        QVERIFY(!called);
    }
};

ONDARI_TEST_MAIN(TestPasteboardX11)
#include "tst_pasteboard_x11.moc"

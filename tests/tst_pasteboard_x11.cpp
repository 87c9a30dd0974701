#include "Pasteboard.h"
#include "TestEnvironment.h"
#include "X11SelectionReader.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMutex>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>

#include <atomic>
#include <map>
#include <thread>

#include <csignal>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <xcb/xcb.h>

namespace {

using Answer = std::optional<std::optional<QString>>;
using Offers = std::map<QByteArray, QByteArray>; // target name -> content

// Another X client that owns CLIPBOARD, on a connection and thread of its own: it offers any
// set of targets, which xclip cannot, and can hold requests unanswered like a stuck program.
class FakeOwner {
public:
    explicit FakeOwner(Offers offers) : m_offers(std::move(offers)) {}
    ~FakeOwner() {
        if (m_thread.joinable()) {
            const uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(m_wakeFd, &one, sizeof one);
            m_thread.join();
        }
        if (m_wakeFd >= 0) {
            ::close(m_wakeFd);
        }
        if (m_c) {
            xcb_disconnect(m_c);
        }
    }

    // Requests for this target wait until release(); then they get lateContent.
    void hold(const QByteArray& target, const QByteArray& lateContent) {
        QMutexLocker lock(&m_mutex);
        m_heldTarget = target;
        m_lateContent = lateContent;
    }
    void release() {
        QMutexLocker lock(&m_mutex);
        m_releasing = true;
    }
    QList<QByteArray> requested() const {
        QMutexLocker lock(&m_mutex);
        return m_requested;
    }

    bool start() {
        m_c = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(m_c)) {
            return false;
        }
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(m_c)).data;
        m_window = xcb_generate_id(m_c);
        xcb_create_window(m_c, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 1, 1, 0,
                          XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
        m_clipboard = atom("CLIPBOARD");
        m_targets = atom("TARGETS");
        xcb_set_selection_owner(m_c, m_window, m_clipboard, XCB_CURRENT_TIME);
        auto* owner = xcb_get_selection_owner_reply(m_c, xcb_get_selection_owner(m_c, m_clipboard), nullptr);
        const bool owns = owner && owner->owner == m_window;
        free(owner);
        m_wakeFd = ::eventfd(0, EFD_CLOEXEC);
        m_thread = std::thread([this] { run(); });
        return owns;
    }

private:
    xcb_atom_t atom(const QByteArray& name) {
        auto* reply =
            xcb_intern_atom_reply(m_c, xcb_intern_atom(m_c, 0, name.size(), name.constData()), nullptr);
        const xcb_atom_t result = reply ? reply->atom : XCB_NONE;
        free(reply);
        return result;
    }
    QByteArray name(xcb_atom_t atom) {
        auto* reply = xcb_get_atom_name_reply(m_c, xcb_get_atom_name(m_c, atom), nullptr);
        QByteArray result;
        if (reply) {
            result = QByteArray(xcb_get_atom_name_name(reply), xcb_get_atom_name_name_length(reply));
        }
        free(reply);
        return result;
    }

    void answer(const xcb_selection_request_event_t& request, const QByteArray& content) {
        xcb_atom_t property = request.property;
        const QByteArray target = name(request.target);
        if (request.target == m_targets) {
            std::vector<xcb_atom_t> list{m_targets};
            for (const auto& [offered, unused] : m_offers) {
                list.push_back(atom(offered));
            }
            xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, request.requestor, property, XCB_ATOM_ATOM, 32,
                                uint32_t(list.size()), list.data());
        } else if (m_offers.count(target)) {
            xcb_change_property(m_c, XCB_PROP_MODE_REPLACE, request.requestor, property, request.target, 8,
                                uint32_t(content.size()), content.constData());
        } else {
            property = XCB_NONE;
        }
        xcb_selection_notify_event_t notify{};
        notify.response_type = XCB_SELECTION_NOTIFY;
        notify.time = request.time;
        notify.requestor = request.requestor;
        notify.selection = request.selection;
        notify.target = request.target;
        notify.property = property;
        xcb_send_event(m_c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT,
                       reinterpret_cast<const char*>(&notify));
        xcb_flush(m_c);
    }

    void onRequest(const xcb_selection_request_event_t& request) {
        const QByteArray target = name(request.target);
        QMutexLocker lock(&m_mutex);
        m_requested.append(target);
        if (target == m_heldTarget) {
            if (!m_releasing) {
                m_held.push_back(request);
                return;
            }
            // Late answers first, so they reach the reader while it waits for this target.
            const QByteArray late = m_lateContent;
            lock.unlock();
            for (const auto& held : m_held) {
                answer(held, late);
            }
            m_held.clear();
        } else {
            lock.unlock();
        }
        const auto it = m_offers.find(target);
        answer(request, it != m_offers.end() ? it->second : QByteArray());
    }

    void run() {
        const int fd = xcb_get_file_descriptor(m_c);
        for (;;) {
            while (xcb_generic_event_t* event = xcb_poll_for_event(m_c)) {
                if ((event->response_type & 0x7f) == XCB_SELECTION_REQUEST) {
                    onRequest(*reinterpret_cast<xcb_selection_request_event_t*>(event));
                }
                free(event);
            }
            if (xcb_connection_has_error(m_c)) {
                return;
            }
            pollfd fds[2] = {{fd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
            ::poll(fds, 2, -1);
            if (fds[1].revents & POLLIN) {
                return;
            }
        }
    }

    Offers m_offers;
    xcb_connection_t* m_c = nullptr;
    xcb_window_t m_window = XCB_NONE;
    xcb_atom_t m_clipboard = XCB_NONE;
    xcb_atom_t m_targets = XCB_NONE;
    int m_wakeFd = -1;
    std::thread m_thread;
    mutable QMutex m_mutex;
    QList<QByteArray> m_requested;
    QByteArray m_heldTarget;
    QByteArray m_lateContent;
    bool m_releasing = false;
    std::vector<xcb_selection_request_event_t> m_held;
};

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
    std::vector<std::unique_ptr<FakeOwner>> m_owners;

    FakeOwner& addOwner(Offers offers) {
        m_owners.push_back(std::make_unique<FakeOwner>(std::move(offers)));
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
    static bool own(FakeOwner& owner, Pasteboard& pasteboard) {
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
            QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty(), 1000);
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
        QTRY_COMPARE_WITH_TIMEOUT(reader.state(), QProcess::NotRunning, 3000);
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

    void ownerQuittingIsNoChange() {
        Pasteboard pasteboard;
        const int before = pasteboard.changeCount();
        QProcess* xclip = startXclip("short-lived");
        QVERIFY(xclip);
        QTRY_COMPARE(pasteboard.changeCount(), before + 1);

        QSignalSpy changed(QGuiApplication::clipboard(), &QClipboard::changed);
        xclip->terminate();
        QVERIFY(xclip->waitForFinished(2000));
        QTRY_VERIFY(!changed.isEmpty());
        QTest::qWait(20);
        QCOMPARE(pasteboard.changeCount(), before + 1);

        QElapsedTimer clock;
        clock.start();
        QCOMPARE(read(pasteboard), none()); // nobody owns it: answered without asking anyone
        QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
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
        QVERIFY2(elapsed < 250, qPrintable(QStringLiteral("read took %1 ms").arg(elapsed)));

        // xclip counts the text transfer (not TARGETS) and exits once it has served it to the
        // end: a refused INCR transfer does not leave it stuck (and so deaf to everyone else).
        QTRY_COMPARE_WITH_TIMEOUT(owner->state(), QProcess::NotRunning, 2000);
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
        FakeOwner& owner = addOwner(offers);
        QVERIFY(own(owner, pasteboard));
        QCOMPARE(read(pasteboard), expected);
        QVERIFY(owner.requested().contains("TARGETS"));
        if (!neverAskedFor.isEmpty()) {
            QVERIFY(!owner.requested().contains(neverAskedFor));
        }
    }

    void stuckOwnerTimesOutWithoutStallingUs() {
        Pasteboard pasteboard;
        FakeOwner& owner = addOwner(Offers{{"UTF8_STRING", "fresh"}});
        owner.hold("UTF8_STRING", "stale");
        QVERIFY(own(owner, pasteboard));

        qint64 longestGap = 0;
        QElapsedTimer sinceTick;
        QTimer ticker;
        ticker.setInterval(10);
        connect(&ticker, &QTimer::timeout, this,
                [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
        sinceTick.start();
        ticker.start();
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(read(pasteboard), none());
        const qint64 elapsed = clock.elapsed();
        ticker.stop();
        QVERIFY2(elapsed >= 4900 && elapsed <= 6000, qPrintable(QString::number(elapsed)));
        QVERIFY2(longestGap <= 100, qPrintable(QString::number(longestGap)));

        // The owner wakes up and answers the old request just before the new one: the old
        // answer is told apart by its time.
        owner.release();
        QCOMPARE(read(pasteboard), text(QStringLiteral("fresh")));
        QCOMPARE(owner.requested().count("UTF8_STRING"), 2);
    }

    void destroyingDuringAStuckReadIsPrompt() {
        FakeOwner& owner = addOwner(Offers{{"UTF8_STRING", "never sent"}});
        owner.hold("UTF8_STRING", "late");
        QVERIFY(owner.start());
        auto reader = X11SelectionReader::create();
        QVERIFY(reader);
        bool called = false;
        reader->read(this, [&](std::optional<QString>) { called = true; });
        QTRY_VERIFY(owner.requested().contains("UTF8_STRING"));
        QElapsedTimer clock;
        clock.start();
        reader.reset();
        QVERIFY2(clock.elapsed() < 100, qPrintable(QString::number(clock.elapsed())));
        QTest::qWait(20);
        QVERIFY(!called);
    }

    void answerIsDroppedWhenTheContextIsGone() {
        FakeOwner& owner = addOwner(Offers{{"UTF8_STRING", "dropped"}});
        QVERIFY(owner.start());
        auto reader = X11SelectionReader::create();
        QVERIFY(reader);
        bool called = false;
        auto* context = new QObject;
        reader->read(context, [&](std::optional<QString>) { called = true; });
        delete context;
        QObject alive;
        QCOMPARE(answerOf([&](Done done) { reader->read(&alive, std::move(done)); }),
                 text(QStringLiteral("dropped")));
        QVERIFY(!called);
    }
};

ONDARI_TEST_MAIN(TestPasteboardX11)
#include "tst_pasteboard_x11.moc"

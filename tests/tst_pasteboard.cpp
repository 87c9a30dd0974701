#include "KeeperWindow.h"
#include "Pasteboard.h"
#include "TestEnvironment.h"

#include <QClipboard>
#include <QMimeData>
#include <QSignalSpy>

// The in-process clipboard of the offscreen platform: what the unit tests of the watcher and
// the queue run on.
class TestPasteboard : public QObject {
    Q_OBJECT

    // Reads and waits for the answer, which never comes synchronously.
    std::optional<std::optional<QString>> read(Pasteboard& pasteboard) {
        std::optional<std::optional<QString>> answer;
        pasteboard.readString(this, [&](std::optional<QString> text) { answer = std::move(text); });
        if (answer) {
            qWarning("answered synchronously");
            return std::nullopt;
        }
        if (!QTest::qWaitFor([&] { return answer.has_value(); }, 1000)) {
            return std::nullopt;
        }
        return answer;
    }

    static void setClipboard(QMimeData* data) { QGuiApplication::clipboard()->setMimeData(data); }

private slots:
    void init() { QGuiApplication::clipboard()->clear(); }

    // Both clipboard paths judge a takeover by this window. Clipboard managers take a copy over
    // within 0.6 s of its program quitting (parcellite polls twice a second); a user copying
    // the same again takes a second or more.
    void keeperWindowTellsAKeptCopyFromANewOne_data() {
        QTest::addColumn<quint32>("leftAt");
        QTest::addColumn<quint32>("gap");
        QTest::addColumn<bool>("kept");
        QTest::newRow("diodon") << 5000u << 2u << true;
        QTest::newRow("parcellite at its slowest") << 5000u << 561u << true;
        QTest::newRow("at the window") << 5000u << quint32(Pasteboard::keeperDelayMs) << true;
        QTest::newRow("past the window") << 5000u << quint32(Pasteboard::keeperDelayMs + 1) << false;
        QTest::newRow("copied again a second later") << 5000u << 1000u << false;
        QTest::newRow("across the clock's wrap") << 0xffffff00u << 0x200u << true;
        QTest::newRow("a second across the wrap") << 0xffffff00u << 1000u << false;
    }
    void keeperWindowTellsAKeptCopyFromANewOne() {
        QFETCH(quint32, leftAt);
        QFETCH(quint32, gap);
        QFETCH(bool, kept);
        KeeperWindow window(Pasteboard::keeperDelayMs);
        window.ownerLeft(leftAt);
        QCOMPARE(window.ownerCame(leftAt + gap), kept);
    }

    // The gap runs from the first loss; an owner that comes without one keeps nothing.
    void keeperWindowCountsFromTheFirstLoss() {
        KeeperWindow window(100);
        window.ownerLeft(1000);
        window.ownerLeft(1080);
        QVERIFY(!window.ownerCame(1150));
        QVERIFY(!window.ownerCame(1160));
        window.ownerLeft(2000);
        QVERIFY(window.ownerCame(2100));
        window.setWindow(10);
        window.ownerLeft(3000);
        QVERIFY(!window.ownerCame(3011));
    }

    void readsTheText_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << QStringLiteral("https://example.com/track/1");
        QTest::newRow("non-ASCII") << QStringLiteral("Grüße – ♪ 音楽");
        QTest::newRow("64 KiB of two-byte characters") << QString(32 * 1024, QChar(0xe9));
    }
    void readsTheText() {
        QFETCH(QString, text);
        Pasteboard pasteboard;
        QGuiApplication::clipboard()->setText(text);
        const auto answer = read(pasteboard);
        QVERIFY(answer);
        QCOMPARE(*answer, std::optional<QString>(text));
    }

    void givesNoText_data() {
        QTest::addColumn<QString>("hint");
        QTest::addColumn<QString>("text");
        QTest::newRow("empty clipboard") << QString() << QString();
        QTest::newRow("over 64 KiB in bytes")
            << QString() << QString(32 * 1024, QChar(0xe9)) + QLatin1Char('a');
        QTest::newRow("password-manager secret") << QStringLiteral("secret") << QStringLiteral("hunter2");
    }
    void givesNoText() {
        QFETCH(QString, hint);
        QFETCH(QString, text);
        Pasteboard pasteboard;
        if (!text.isEmpty()) {
            auto* data = new QMimeData;
            data->setText(text);
            if (!hint.isEmpty()) {
                data->setData(QStringLiteral("x-kde-passwordManagerHint"), hint.toUtf8());
            }
            setClipboard(data);
        }
        const auto answer = read(pasteboard);
        QVERIFY(answer);
        QCOMPARE(*answer, std::nullopt);
    }

    void anotherHintIsNoSecret() {
        Pasteboard pasteboard;
        auto* data = new QMimeData;
        data->setText(QStringLiteral("visible"));
        data->setData(QStringLiteral("x-kde-passwordManagerHint"), "not-a-secret");
        setClipboard(data);
        const auto answer = read(pasteboard);
        QVERIFY(answer);
        QCOMPARE(*answer, std::optional<QString>(QStringLiteral("visible")));
    }

    void imageOnlyIsNoText() {
        Pasteboard pasteboard;
        auto* data = new QMimeData;
        data->setData(QStringLiteral("image/png"), QByteArray("\x89PNG\r\n\x1a\n", 8));
        setClipboard(data);
        const auto answer = read(pasteboard);
        QVERIFY(answer);
        QCOMPARE(*answer, std::nullopt);
    }

    void ownWriteCountsOnceAtOnce() {
        Pasteboard pasteboard;
        QSignalSpy spy(&pasteboard, &Pasteboard::changeCountChanged);
        const int before = pasteboard.changeCount();
        pasteboard.writeString(QStringLiteral("written"));
        QCOMPARE(pasteboard.changeCount(), before + 1);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), before + 1);
        QTest::qWait(20);
        QCOMPARE(pasteboard.changeCount(), before + 1);
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("written"));
        const auto answer = read(pasteboard);
        QVERIFY(answer);
        QCOMPARE(*answer, std::optional<QString>(QStringLiteral("written")));
    }

    // A copy that did not go through writeString counts, each once (the in-process clipboard
    // never reports ownership, and its change signal comes synchronously).
    void otherCopyCountsOnce() {
        Pasteboard pasteboard;
        pasteboard.writeString(QStringLiteral("ours"));
        const int before = pasteboard.changeCount();
        QGuiApplication::clipboard()->setText(QStringLiteral("theirs"));
        QTest::qWait(20);
        QCOMPARE(pasteboard.changeCount(), before + 1);
        QGuiApplication::clipboard()->setText(QStringLiteral("theirs again"));
        QTest::qWait(20);
        QCOMPARE(pasteboard.changeCount(), before + 2);
    }

    void noAnswerWhenTheContextIsGone() {
        Pasteboard pasteboard;
        QGuiApplication::clipboard()->setText(QStringLiteral("text"));
        bool called = false;
        auto* context = new QObject;
        pasteboard.readString(context, [&](std::optional<QString>) { called = true; });
        delete context;
        QTest::qWait(20);
        QVERIFY(!called);
    }
};

ONDARI_TEST_MAIN(TestPasteboard)
#include "tst_pasteboard.moc"

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

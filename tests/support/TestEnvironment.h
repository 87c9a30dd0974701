#pragma once

#include <QGuiApplication>
#include <QString>
#include <QStringList>
#include <QTest>

// A private home, configuration and runtime folder for each test process, set up before
// the application object exists so that nothing touches the real ones.
namespace TestEnvironment {

void prepare();
QString root();
QString home();
QString configHome();
// tests/data, or ONDARI_TESTDATA_DIR.
QString testDataDir();
QByteArray readTestData(const QString& relativePath);
// An empty home folder under root() for a program the test starts, with a private "runtime"
// folder in it: a new user.
QString newHome(const QString& name);

QString debugLogPath();
// The messages of the debug log, without their time stamps.
QStringList debugLogMessages();
// The same for the debug log of another home folder (a program started by the test).
QStringList debugLogMessagesIn(const QString& homeFolder);
// Only the messages that start with the prefix.
QStringList debugLogMessages(const QString& prefix);
void clearDebugLog();

// A GUI thread held up this long, by a ThreadTimer (waiting for a CPU not counted), is a fault (the
// ones these tests guard against held it for seconds). bench/ measures the tight budgets.
constexpr qint64 guiBlockedMs = 1000;

} // namespace TestEnvironment

#define ONDARI_TEST_MAIN(TestObject)                                                                         \
    int main(int argc, char* argv[]) {                                                                       \
        TestEnvironment::prepare();                                                                          \
        QGuiApplication app(argc, argv);                                                                     \
        QGuiApplication::setOrganizationName(QStringLiteral("OndariTest"));                                  \
        QGuiApplication::setApplicationName(QStringLiteral("OndariTest"));                                   \
        TestObject tc;                                                                                       \
        return QTest::qExec(&tc, argc, argv);                                                                \
    }

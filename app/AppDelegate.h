#pragma once

#include <QCoroTask>
#include <QObject>

#include <memory>

class AppController;
class AppMover;

// Does the start-up work once the event loop runs: the move into an applications folder,
// error reporting, then the tray controller.
class AppDelegate : public QObject {
    Q_OBJECT

public:
    explicit AppDelegate(QObject* parent = nullptr);
    ~AppDelegate() override;

    void applicationDidFinishLaunching();
    // The program was started again while running: its menu opens, once start-up has made it.
    void applicationShouldHandleReopen();

private:
    QCoro::Task<> startUp();

    std::unique_ptr<AppMover> m_mover;
    AppController* m_controller = nullptr;
};

#include "PreciseSleep.h"

#include <QCoroTimer>
#include <QTimer>

QCoro::Task<> preciseSleep(std::chrono::milliseconds duration) {
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setSingleShot(true);
    timer.start(duration);
    co_await timer;
}

#include "ThreadTimer.h"

#include <QFile>

#include <chrono>

qint64 ThreadTimer::nowNs() {
    // "<ns on a CPU> <ns runnable, waiting for a CPU> <slices>", zeros where the kernel keeps no
    // such figures: then plain wall time, which load stretches but which still sees a thread
    // blocked in a call (its CPU time alone would not).
    QFile stat(QStringLiteral("/proc/thread-self/schedstat"));
    const QList<QByteArray> figures =
        stat.open(QIODevice::ReadOnly) ? stat.readAll().split(' ') : QList<QByteArray>();
    const qint64 waited = figures.value(0).toLongLong() > 0 ? figures.value(1).toLongLong() : 0;
    return std::chrono::nanoseconds(std::chrono::steady_clock::now().time_since_epoch()).count() - waited;
}

StallMeter::StallMeter() {
    m_timer.setInterval(10);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this,
            [this] { m_longest = std::max(m_longest, m_sinceTick.restart()); });
}

void StallMeter::start() {
    m_longest = 0;
    m_sinceTick.start();
    m_timer.start();
}

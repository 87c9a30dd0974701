#pragma once

#include <QObject>
#include <QTimer>

// How long the calling thread was held, in ms: wall time less the time it sat runnable waiting
// for a CPU (run_delay in /proc/thread-self/schedstat). Blocking and its own work count in full,
// a busy machine does not stretch it. Start and read it on the thread it measures.
class ThreadTimer {
public:
    void start() { m_start = nowNs(); }
    qint64 elapsed() const { return (nowNs() - m_start) / 1000000; }
    qint64 restart() {
        const qint64 since = m_start;
        m_start = nowNs();
        return (m_start - since) / 1000000;
    }

private:
    static qint64 nowNs();
    qint64 m_start = 0;
};

// The longest gap between ticks of a 10 ms timer on the GUI thread, by a ThreadTimer: how long
// the thread was kept from its event loop.
class StallMeter : public QObject {
public:
    StallMeter();
    void start();
    void stop() { m_timer.stop(); }
    qint64 longestGapMs() const { return m_longest; }

private:
    QTimer m_timer;
    ThreadTimer m_sinceTick;
    qint64 m_longest = 0;
};

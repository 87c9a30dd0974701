#pragma once

#include <QAnimationDriver>
#include <QCoreApplication>

#include <algorithm>

// Takes over Qt's animation timer for as long as it lives: every animation, and every timed
// step that waits on that timer, moves only when the test moves the clock.
class AnimationClock : public QAnimationDriver {
public:
    AnimationClock() {
        // Whatever the timer still had pending from before is settled on the old clock.
        settle();
        install();
    }
    ~AnimationClock() override { uninstall(); }

    // Qt counts from the moment the timer started.
    qint64 elapsed() const override { return m_sinceStart; }
    qint64 now() const { return m_now; }

    // Moves the clock on by `ms` in steps of `step`, starting the animations and running the
    // events each step leaves behind.
    void advance(int ms, int step = 1) {
        for (int done = 0; done < ms; done += step) {
            settle();
            const int delta = std::min(step, ms - done);
            m_now += delta;
            m_sinceStart += delta;
            if (isRunning()) {
                QAnimationDriver::advance();
            }
        }
        settle();
    }

    // Moves the clock on to `ms` after the mark.
    void advanceTo(int ms, int step = 1) { advance(int(m_mark + ms - m_now), step); }
    // Marks now as the start the times of advanceTo count from.
    void mark() {
        settle();
        m_mark = m_now;
    }

protected:
    void start() override {
        m_sinceStart = 0;
        QAnimationDriver::start();
    }

private:
    // Qt starts its timer through queued calls that queue further calls; one round of posted
    // events leaves the later ones for the next.
    static void settle() {
        for (int round = 0; round < 3; ++round) {
            QCoreApplication::sendPostedEvents();
        }
    }

    qint64 m_now = 0;
    qint64 m_sinceStart = 0;
    qint64 m_mark = 0;
};

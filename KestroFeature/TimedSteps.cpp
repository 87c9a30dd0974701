#include "TimedSteps.h"

#include <QAbstractAnimation>
#include <QCoreApplication>

#include <algorithm>

namespace TimedSteps {

namespace {

// An animation that animates nothing: it only lasts its delay.
class Delay : public QAbstractAnimation {
public:
    Delay(int duration, QObject* parent) : QAbstractAnimation(parent), m_duration(duration) {}
    int duration() const override { return m_duration; }

protected:
    void updateCurrentTime(int) override {}

private:
    int m_duration;
};

} // namespace

void schedule(std::chrono::milliseconds delay, std::function<void()> step) {
    // Owned by the application, not the view, so the step runs whatever becomes of the view.
    auto* timer = new Delay(int(std::max<qint64>(delay.count(), 0)), QCoreApplication::instance());
    QObject::connect(timer, &QAbstractAnimation::finished, timer, [step = std::move(step)] { step(); });
    timer->start(QAbstractAnimation::DeleteWhenStopped);
}

} // namespace TimedSteps

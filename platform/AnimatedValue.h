#pragma once

#include <QEasingCurve>
#include <QObject>

#include <chrono>

class QVariantAnimation;

// Named timing curves as cubic Béziers from (0, 0) to (1, 1).
namespace TimingCurve {
QEasingCurve cubic(double x1, double y1, double x2, double y2);
QEasingCurve easeIn();
QEasingCurve easeOut();
QEasingCurve easeInOut();
QEasingCurve linear();
} // namespace TimingCurve

// One animatable number of a view. A new animation starts from the value on screen; a plain
// assignment stops a running animation and takes effect at once.
class AnimatedValue : public QObject {
    Q_OBJECT

public:
    explicit AnimatedValue(qreal initial = 0, QObject* parent = nullptr);

    qreal value() const { return m_value; }
    // Where the value is heading (the value itself when it is at rest).
    qreal target() const { return m_target; }
    bool isAnimating() const;

    void set(qreal value);
    void animateTo(qreal target, std::chrono::milliseconds duration, const QEasingCurve& curve);
    // From the current value to `to` and, with autoreverses, back again, for as long as the
    // value lives or until the next set or animateTo.
    void repeatForever(qreal to, std::chrono::milliseconds duration, const QEasingCurve& curve,
                       bool autoreverses);

signals:
    void valueChanged(qreal value);
    // A one-shot animation reached its target (not sent when it was stopped).
    void finished();

private:
    void stop();
    void assign(qreal value);

    qreal m_value;
    qreal m_target;
    QVariantAnimation* m_animation = nullptr;
};

#include "AnimatedValue.h"

#include <QPointF>
#include <QVariantAnimation>

namespace TimingCurve {

QEasingCurve cubic(double x1, double y1, double x2, double y2) {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(x1, y1), QPointF(x2, y2), QPointF(1, 1));
    return curve;
}

QEasingCurve easeIn() {
    return cubic(0.42, 0, 1, 1);
}
QEasingCurve easeOut() {
    return cubic(0, 0, 0.58, 1);
}
QEasingCurve easeInOut() {
    return cubic(0.42, 0, 0.58, 1);
}
QEasingCurve linear() {
    return QEasingCurve(QEasingCurve::Linear);
}

} // namespace TimingCurve

AnimatedValue::AnimatedValue(qreal initial, QObject* parent)
    : QObject(parent), m_value(initial), m_target(initial) {}

bool AnimatedValue::isAnimating() const {
    return m_animation && m_animation->state() == QAbstractAnimation::Running;
}

void AnimatedValue::stop() {
    if (m_animation) {
        // Detached first, so the stopped animation cannot report anything more.
        QVariantAnimation* animation = m_animation;
        m_animation = nullptr;
        animation->disconnect(this);
        animation->stop();
        animation->deleteLater();
    }
}

void AnimatedValue::assign(qreal value) {
    m_value = value;
    emit valueChanged(value);
}

void AnimatedValue::set(qreal value) {
    stop();
    m_target = value;
    assign(value);
}

void AnimatedValue::animateTo(qreal target, std::chrono::milliseconds duration, const QEasingCurve& curve) {
    stop();
    m_target = target;
    if (duration.count() <= 0 || target == m_value) {
        assign(target);
        emit finished();
        return;
    }
    m_animation = new QVariantAnimation(this);
    m_animation->setStartValue(m_value);
    m_animation->setEndValue(target);
    m_animation->setDuration(int(duration.count()));
    m_animation->setEasingCurve(curve);
    QVariantAnimation* animation = m_animation;
    connect(animation, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& v) { assign(v.toReal()); });
    connect(animation, &QVariantAnimation::finished, this, [this, animation] {
        if (m_animation == animation) {
            m_animation = nullptr;
            animation->deleteLater();
            assign(m_target);
            emit finished();
        }
    });
    animation->start();
}

void AnimatedValue::repeatForever(qreal to, std::chrono::milliseconds duration, const QEasingCurve& curve,
                                  bool autoreverses) {
    stop();
    m_target = to;
    if (duration.count() <= 0) {
        assign(to);
        return;
    }
    const qreal from = m_value;
    // One loop is a forward leg, and with autoreverses a backward one, each on the curve.
    const int legs = autoreverses ? 2 : 1;
    m_animation = new QVariantAnimation(this);
    m_animation->setStartValue(0.0);
    m_animation->setEndValue(1.0);
    m_animation->setDuration(int(duration.count()) * legs);
    m_animation->setLoopCount(-1);
    connect(m_animation, &QVariantAnimation::valueChanged, this,
            [this, from, to, curve, legs](const QVariant& v) {
                const qreal t = v.toReal() * legs;
                const qreal leg = t <= 1 ? t : 2 - t;
                assign(from + (to - from) * curve.valueForProgress(leg));
            });
    m_animation->start();
}

#include "AnimatedPlatformIcon.h"

#include "PlatformIcons.h"
#include "StarburstAnimationView.h"
#include "TimedSteps.h"

#include <QPainter>
#include <QShowEvent>

#include <cmath>

using namespace std::chrono_literals;

// The icon in front of the burst, at the icon's opacity and scale about its centre.
class AnimatedPlatformIcon::IconLayer : public QWidget {
public:
    explicit IconLayer(AnimatedPlatformIcon& icon) : QWidget(&icon), m_icon(icon) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const qreal opacity = m_icon.iconOpacity();
        const qreal scale = m_icon.iconScale();
        if (opacity <= 0 || scale <= 0) {
            return;
        }
        QPainter painter(this);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        painter.setOpacity(opacity);
        painter.translate(width() / 2.0, height() / 2.0);
        painter.scale(scale, scale);
        const qreal size = m_icon.iconSize();
        PlatformIcon::paint(painter, QRectF(-size / 2, -size / 2, size, size), m_icon.shownPlatform());
    }

private:
    AnimatedPlatformIcon& m_icon;
};

AnimatedPlatformIcon::AnimatedPlatformIcon(ColorScheme& colorScheme, const QString& fromPlatform,
                                           const QString& toPlatform, qreal size, bool shouldAnimate,
                                           QWidget* parent)
    : QWidget(parent), m_colorScheme(colorScheme), m_fromPlatform(fromPlatform), m_toPlatform(toPlatform),
      m_size(size), m_shouldAnimate(shouldAnimate) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    const int side = int(std::ceil(2 * size)) + 2 * StarburstAnimationView::bleed(size);
    setFixedSize(side, side);
    m_iconLayer = new IconLayer(*this);
    m_iconLayer->setGeometry(rect());
    for (AnimatedValue* value : {&m_iconOpacity, &m_iconScale}) {
        connect(value, &AnimatedValue::valueChanged, m_iconLayer, qOverload<>(&QWidget::update));
    }
}

QRect AnimatedPlatformIcon::frameRect() const {
    const int margin = StarburstAnimationView::bleed(m_size);
    return rect().adjusted(margin, margin, -margin, -margin);
}

void AnimatedPlatformIcon::setFromPlatform(const QString& platform) {
    m_fromPlatform = platform;
    m_iconLayer->update();
}

void AnimatedPlatformIcon::setToPlatform(const QString& platform) {
    m_toPlatform = platform;
    m_iconLayer->update();
}

bool AnimatedPlatformIcon::canStart(bool shouldAnimate) const {
    return shouldAnimate && !m_hasAnimated && m_fromPlatform != m_toPlatform;
}

void AnimatedPlatformIcon::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous() && canStart(m_shouldAnimate)) {
        triggerAnimation();
    }
}

void AnimatedPlatformIcon::setShouldAnimate(bool shouldAnimate) {
    if (shouldAnimate == m_shouldAnimate) {
        return;
    }
    m_shouldAnimate = shouldAnimate;
    if (canStart(shouldAnimate)) {
        triggerAnimation();
    }
}

void AnimatedPlatformIcon::setShowStarburst(bool show) {
    m_showStarburst = show;
    if (show && !m_starburst) {
        // Made with its flag on, the burst starts its run the moment it is shown.
        m_starburst = new StarburstAnimationView(
            m_colorScheme, m_size, true, [] {}, this);
        m_starburst->move((width() - m_starburst->width()) / 2, (height() - m_starburst->height()) / 2);
        m_starburst->stackUnder(m_iconLayer);
        m_starburst->show();
    } else if (!show && m_starburst) {
        StarburstAnimationView* starburst = m_starburst;
        m_starburst = nullptr;
        starburst->hide();
        starburst->deleteLater();
    }
}

void AnimatedPlatformIcon::triggerAnimation() {
    const QEasingCurve easeOut = TimingCurve::easeOut();
    m_hasAnimated = true;
    setShowStarburst(true);
    // The source icon shrinks and fades out.
    m_iconOpacity.animateTo(0, 300ms, easeOut);
    m_iconScale.animateTo(0.9, 300ms, easeOut);

    const QPointer<AnimatedPlatformIcon> self(this);
    TimedSteps::schedule(700ms, [self, easeOut] {
        if (!self) {
            return;
        }
        // The target icon takes its place and settles from slightly enlarged.
        self->m_showNewIcon = true;
        self->m_iconOpacity.set(0);
        self->m_iconScale.set(1.05);
        self->m_iconOpacity.animateTo(1, 600ms, easeOut);
        self->m_iconScale.animateTo(1, 600ms, easeOut);
    });
    TimedSteps::schedule(1900ms, [self] {
        if (self) {
            self->setShowStarburst(false);
        }
    });
}

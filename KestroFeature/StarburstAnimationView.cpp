#include "StarburstAnimationView.h"

#include "AdaptiveColors.h"
#include "ImageBlur.h"
#include "SystemColors.h"
#include "TimedSteps.h"

#include <QPaintDevice>
#include <QPainter>
#include <QPointer>
#include <QRadialGradient>
#include <QRandomGenerator>
#include <QShowEvent>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

using namespace std::chrono_literals;

namespace {

std::mt19937& generator() {
    static std::mt19937 engine(QRandomGenerator::system()->generate());
    return engine;
}

// Uniform on the closed range: both ends can occur.
double uniform(double low, double high) {
    std::uniform_real_distribution<double> distribution(low, std::nextafter(high, high + 1));
    return distribution(generator());
}

constexpr std::chrono::milliseconds ms(int value) {
    return std::chrono::milliseconds(value);
}

// One glow layer: a soft tinted ellipse turned and scaled about the centre.
struct Glow {
    QColor tint;
    qreal innerOpacity;
    qreal outerOpacity;
    qreal rotation;
    qreal scale;
    qreal opacity;
};

void paintGlow(QPainter& painter, QPointF center, qreal size, const Glow& glow) {
    if (glow.opacity <= 0 || glow.scale <= 0) {
        return;
    }
    painter.save();
    painter.translate(center);
    painter.rotate(glow.rotation);
    painter.scale(glow.scale, glow.scale);
    painter.setOpacity(glow.opacity);
    QRadialGradient gradient(QPointF(0, 0), 0.7 * size);
    gradient.setColorAt(0, SystemColors::withOpacity(glow.tint, glow.innerOpacity));
    gradient.setColorAt(0.5, SystemColors::withOpacity(glow.tint, glow.outerOpacity));
    // Fading to the tint itself at no opacity keeps the rim from turning grey.
    gradient.setColorAt(1, SystemColors::withOpacity(glow.tint, 0));
    painter.setPen(Qt::NoPen);
    painter.setBrush(gradient);
    painter.drawEllipse(QRectF(-0.9 * size, -0.7 * size, 1.8 * size, 1.4 * size));
    painter.restore();
}

// A picture of `extent` points around its centre, drawn by `draw` about (0, 0), then blurred.
template <typename Draw>
QImage blurredPicture(qreal extent, qreal dpr, qreal sigma, QPointF offset, Draw draw) {
    const int pixels = int(std::ceil(2 * extent * dpr)) + 2;
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(dpr, dpr);
        p.translate(offset);
        draw(p);
    }
    QImage out = ImageBlur::blurred(image, sigma * dpr);
    out.setDevicePixelRatio(dpr);
    return out;
}

qreal painterPixelRatio(const QPainter& painter) {
    return painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
}

} // namespace

StarburstAnimationView::StarburstAnimationView(ColorScheme& colorScheme, qreal size, bool isAnimating,
                                               std::function<void()> onComplete, QWidget* parent)
    : QWidget(parent), m_colorScheme(colorScheme), m_size(size), m_isAnimating(isAnimating),
      m_onComplete(std::move(onComplete)) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    const int side = int(std::ceil(2 * size)) + 2 * bleed(size);
    setFixedSize(side, side);
    for (AnimatedValue* value :
         {&m_glowScale, &m_glowOpacity, &m_glowOpacity2, &m_glowOpacity3, &m_particleProgress,
          &m_particleFade, &m_lingeringFade, &m_centerWhiteOpacity, &m_glowRotation1, &m_glowRotation2,
          &m_glowRotation3}) {
        connect(value, &AnimatedValue::valueChanged, this, qOverload<>(&QWidget::update));
    }
    connect(&m_colorScheme, &ColorScheme::changed, this, qOverload<>(&QWidget::update));
}

int StarburstAnimationView::bleed(qreal size) {
    // The third glow grows to 1.5 × 1.2 × 0.7 = 1.26 times the size from the centre.
    return int(std::ceil(0.3 * size));
}

QRect StarburstAnimationView::frameRect() const {
    const int margin = bleed(m_size);
    return rect().adjusted(margin, margin, -margin, -margin);
}

void StarburstAnimationView::seedRandom(quint32 seed) {
    generator().seed(seed);
}

void StarburstAnimationView::setAnimating(bool animating) {
    if (animating == m_isAnimating) {
        return;
    }
    m_isAnimating = animating;
    if (animating) {
        runAnimation();
    } else {
        resetAnimation();
    }
}

void StarburstAnimationView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // A window coming back from the desktop is no new appearance.
    if (event->spontaneous()) {
        return;
    }
    generateParticles();
    if (m_isAnimating) {
        runAnimation();
    }
}

StarburstAnimationView::Particle StarburstAnimationView::makeParticle(int index) const {
    Particle particle;
    particle.angle = double(index) / particleCount * 2 * std::numbers::pi + uniform(-0.2, 0.2);
    particle.speed = uniform(0.6, 1.0);
    particle.size = uniform(2, 4);
    const auto palette = AdaptiveColors::particlePalette(m_colorScheme.current());
    if (palette.empty()) {
        particle.color = Qt::white;
    } else {
        std::uniform_int_distribution<size_t> pick(0, palette.size() - 1);
        particle.color = palette[pick(generator())];
    }
    particle.delay = uniform(0, 0.05);
    particle.lingerFactor = uniform(0, 1);
    particle.id = QUuid::createUuid();
    return particle;
}

void StarburstAnimationView::generateParticles() {
    std::vector<Particle> particles;
    particles.reserve(particleCount);
    for (int i = 0; i < particleCount; ++i) {
        particles.push_back(makeParticle(i));
    }
    m_particles = std::move(particles);
    update();
}

void StarburstAnimationView::setPhase(AnimationPhase phase) {
    m_phase = phase;
    emit phaseChanged(phase);
}

void StarburstAnimationView::runAnimation() {
    const QEasingCurve easeOut = TimingCurve::easeOut();
    setPhase(AnimationPhase::exploding);
    m_particleFade.set(1);
    m_lingeringFade.set(1);

    m_glowScale.animateTo(1.3, ms(400), easeOut);
    m_glowOpacity.animateTo(1, ms(400), easeOut);
    m_glowOpacity2.animateTo(1, ms(400), easeOut);
    m_glowOpacity3.animateTo(1, ms(400), easeOut);
    m_particleProgress.animateTo(0.8, ms(400), easeOut);
    m_centerWhiteOpacity.animateTo(1, ms(400), easeOut);
    m_glowRotation1.animateTo(18, ms(400), easeOut);
    m_glowRotation2.animateTo(12, ms(400), easeOut);
    m_glowRotation3.animateTo(7, ms(400), easeOut);

    // Every later step is scheduled now, at its delay from this start. They outlive a reset
    // and carry on from wherever the values then are.
    const QPointer<StarburstAnimationView> self(this);
    TimedSteps::schedule(400ms, [self, easeOut] {
        if (!self) {
            return;
        }
        self->setPhase(AnimationPhase::peak);
        self->m_glowScale.animateTo(1.5, ms(200), easeOut);
        self->m_particleProgress.animateTo(1.0, ms(200), easeOut);
        self->m_glowRotation1.animateTo(28, ms(200), easeOut);
        self->m_glowRotation2.animateTo(18, ms(200), easeOut);
        self->m_glowRotation3.animateTo(10, ms(200), easeOut);
    });
    TimedSteps::schedule(600ms, [self] {
        if (!self) {
            return;
        }
        const QEasingCurve easeInOut = TimingCurve::easeInOut();
        self->m_glowScale.animateTo(1.45, ms(150), easeInOut);
        self->m_glowRotation1.animateTo(30, ms(150), easeInOut);
        self->m_glowRotation2.animateTo(20, ms(150), easeInOut);
        self->m_glowRotation3.animateTo(12, ms(150), easeInOut);
    });
    TimedSteps::schedule(750ms, [self, easeOut] {
        if (!self) {
            return;
        }
        self->setPhase(AnimationPhase::collapsing);
        self->m_glowScale.animateTo(0, ms(850), easeOut);
        self->m_particleProgress.animateTo(0, ms(850), easeOut);
        self->m_centerWhiteOpacity.animateTo(0, ms(550), easeOut);
    });
    TimedSteps::schedule(800ms, [self, easeOut] {
        if (!self) {
            return;
        }
        self->m_glowOpacity.animateTo(0, ms(750), easeOut);
        self->m_particleFade.animateTo(0, ms(750), easeOut);
    });
    TimedSteps::schedule(900ms, [self, easeOut] {
        if (!self) {
            return;
        }
        self->m_glowOpacity2.animateTo(0, ms(850), easeOut);
    });
    TimedSteps::schedule(1000ms, [self, easeOut] {
        if (!self) {
            return;
        }
        self->m_glowOpacity3.animateTo(0, ms(1000), easeOut);
        self->m_lingeringFade.animateTo(0, ms(1000), easeOut);
    });
    // The completion is reported even when the view has gone meanwhile.
    TimedSteps::schedule(1800ms, [self, onComplete = m_onComplete] {
        if (self) {
            self->setPhase(AnimationPhase::complete);
        }
        if (onComplete) {
            onComplete();
        }
    });
}

void StarburstAnimationView::resetAnimation() {
    setPhase(AnimationPhase::idle);
    m_glowScale.set(0.2);
    m_glowOpacity.set(0);
    m_glowOpacity2.set(0);
    m_glowOpacity3.set(0);
    m_particleProgress.set(0);
    m_particleFade.set(1);
    m_lingeringFade.set(1);
    m_centerWhiteOpacity.set(0);
    m_glowRotation1.set(0);
    m_glowRotation2.set(0);
    m_glowRotation3.set(0);
}

void StarburstAnimationView::paintParticle(QPainter& painter, QPointF center, const Particle& particle,
                                           qreal progress, qreal maxDistance, qreal fadeFactor) {
    const qreal opacity = fadeFactor * std::max<qreal>(0, 1 - 0.6 * progress);
    if (opacity <= 0 || particle.size <= 0) {
        return;
    }
    const qreal distance = maxDistance * particle.speed * progress;
    const qreal width = particle.size * (1 + 0.8 * particle.speed * progress);
    const qreal height = particle.size;
    const QPointF position =
        center + QPointF(std::cos(particle.angle) * distance, std::sin(particle.angle) * distance);
    const qreal sigma = ImageBlur::sigmaForRadius(0.3 * particle.size);
    const qreal dpr = painterPixelRatio(painter);
    const qreal extent = std::max(width, height) / 2 + std::ceil(3 * sigma) + 1;
    // Drawn into a picture that sits on whole device pixels, at the spark's exact place in it.
    const QPointF topLeft(std::floor((position.x() - extent) * dpr) / dpr,
                          std::floor((position.y() - extent) * dpr) / dpr);
    const qreal degrees = particle.angle * 180 / std::numbers::pi;
    const QImage spark = blurredPicture(extent, dpr, sigma, position - topLeft, [&](QPainter& p) {
        p.rotate(degrees);
        p.setPen(Qt::NoPen);
        p.setBrush(particle.color);
        p.drawEllipse(QRectF(-width / 2, -height / 2, width, height));
    });
    painter.save();
    painter.setOpacity(opacity);
    painter.drawImage(topLeft, spark);
    painter.restore();
}

const StarburstAnimationView::Layer&
StarburstAnimationView::centerLayer(bool core, ColorScheme::Scheme scheme, qreal dpr) {
    const QString key = QStringLiteral("%1/%2/%3").arg(core).arg(int(scheme)).arg(dpr);
    auto found = m_centerLayers.find(key);
    if (found != m_centerLayers.end()) {
        return *found;
    }
    const auto [first, second] = AdaptiveColors::highlightPair(scheme);
    Layer layer;
    if (core) {
        const qreal radius = 0.35 * m_size / 2;
        const qreal sigma = ImageBlur::sigmaForRadius(2);
        const qreal extent = radius + std::ceil(3 * sigma) + 1;
        layer.image = blurredPicture(extent, dpr, sigma, QPointF(extent, extent), [&](QPainter& p) {
            p.setPen(Qt::NoPen);
            p.setBrush(first);
            p.drawEllipse(QPointF(0, 0), radius, radius);
        });
        layer.origin = QPointF(-extent, -extent);
    } else {
        const qreal sigma = ImageBlur::sigmaForRadius(6);
        const qreal extent = 0.35 * m_size + std::ceil(3 * sigma) + 1;
        layer.image = blurredPicture(extent, dpr, sigma, QPointF(extent, extent), [&](QPainter& p) {
            QRadialGradient gradient(QPointF(0, 0), 0.35 * m_size);
            gradient.setColorAt(0, first);
            gradient.setColorAt(1, second);
            p.setPen(Qt::NoPen);
            p.setBrush(gradient);
            p.drawEllipse(QRectF(-0.35 * m_size, -0.25 * m_size, 0.7 * m_size, 0.5 * m_size));
        });
        layer.origin = QPointF(-extent, -extent);
    }
    return *m_centerLayers.insert(key, layer);
}

void StarburstAnimationView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    const ColorScheme::Scheme scheme = m_colorScheme.current();
    const QPointF center(width() / 2.0, height() / 2.0);
    const auto tints = AdaptiveColors::tintPalette(scheme);
    const qreal scale = m_glowScale.value();

    paintGlow(painter, center, m_size,
              {tints[0], 0.75, 0.25, m_glowRotation1.value(), scale, m_glowOpacity.value()});
    paintGlow(painter, center, m_size,
              {tints[1], 0.6, 0.2, m_glowRotation2.value() + 60, scale * 1.1, m_glowOpacity2.value()});
    paintGlow(painter, center, m_size,
              {tints[2], 0.5, 0.15, m_glowRotation3.value() + 120, scale * 1.2, m_glowOpacity3.value()});

    const qreal progress = m_particleProgress.value();
    for (const Particle& particle : m_particles) {
        const qreal fade = particle.lingerFactor > 0.5 ? m_lingeringFade.value() : m_particleFade.value();
        paintParticle(painter, center, particle, progress, m_size, fade);
    }

    const qreal white = m_centerWhiteOpacity.value();
    if (white > 0) {
        const qreal dpr = painterPixelRatio(painter);
        const Layer& glow = centerLayer(false, scheme, dpr);
        painter.setOpacity(white * 0.85);
        painter.drawImage(center + glow.origin, glow.image);
        const Layer& core = centerLayer(true, scheme, dpr);
        painter.setOpacity(white);
        painter.drawImage(center + core.origin, core.image);
    }
}

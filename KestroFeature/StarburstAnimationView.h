#pragma once

#include "AnimatedValue.h"
#include "ColorScheme.h"

#include <QColor>
#include <QHash>
#include <QImage>
#include <QPointF>
#include <QUuid>
#include <QWidget>

#include <functional>
#include <vector>

// A short burst of light behind a service icon: three soft rotating glows swell and fade,
// twenty sparks fly out and fade, and a bright core flashes in the middle. A run lasts 1.8 s
// from its start and then reports completion; the last fades end at 2.0 s.
//
// Its frame is a square of twice `size`, drawn from its centre; the swollen glows reach past
// that frame, so the widget is larger by `bleed` on every side and its frame lies at
// `frameRect()`. It does not take the mouse.
class StarburstAnimationView : public QWidget {
    Q_OBJECT

public:
    enum class AnimationPhase { idle, exploding, peak, collapsing, complete };
    Q_ENUM(AnimationPhase)

    struct Particle {
        QUuid id;
        double angle = 0;        // radians; 0 points right, growing clockwise on screen
        qreal speed = 0;         // share of the full flight reached at full progress
        qreal size = 0;          // height of the spark
        QColor color;            // fixed when the spark is made, whatever the scheme does later
        double delay = 0;        // drawn with the spark; the drawing does not use it
        double lingerFactor = 0; // above 0.5 the spark follows the lingering fade
    };

    static constexpr int particleCount = 20;

    StarburstAnimationView(ColorScheme& colorScheme, qreal size, bool isAnimating,
                           std::function<void()> onComplete = {}, QWidget* parent = nullptr);

    qreal referenceSize() const { return m_size; }
    // How far the drawing reaches past the frame of a burst of `size`.
    static int bleed(qreal size);
    // The frame, in the widget's coordinates.
    QRect frameRect() const;

    bool isAnimating() const { return m_isAnimating; }
    // A change to true runs the burst (the sparks stay as they are); a change to false resets it.
    void setAnimating(bool animating);

    // Replaces the sparks with twenty new ones.
    void generateParticles();
    // Starts a run: every step is scheduled now, each at its own delay.
    void runAnimation();
    // Puts every value back to rest at once; steps still pending keep running from there.
    void resetAnimation();

    // The sparks are drawn from one generator for the whole program, seeded from the system;
    // tests seed it to fix the draw.
    static void seedRandom(quint32 seed);

    AnimationPhase phase() const { return m_phase; }
    const std::vector<Particle>& particles() const { return m_particles; }
    qreal glowScale() const { return m_glowScale.value(); }
    qreal glowOpacity() const { return m_glowOpacity.value(); }
    qreal glowOpacity2() const { return m_glowOpacity2.value(); }
    qreal glowOpacity3() const { return m_glowOpacity3.value(); }
    qreal particleProgress() const { return m_particleProgress.value(); }
    qreal particleFade() const { return m_particleFade.value(); }
    qreal lingeringFade() const { return m_lingeringFade.value(); }
    qreal centerWhiteOpacity() const { return m_centerWhiteOpacity.value(); }
    qreal glowRotation1() const { return m_glowRotation1.value(); }
    qreal glowRotation2() const { return m_glowRotation2.value(); }
    qreal glowRotation3() const { return m_glowRotation3.value(); }

    // Draws one spark flown to `progress` of `maxDistance`, at `fadeFactor`, around `center`.
    static void paintParticle(QPainter& painter, QPointF center, const Particle& particle, qreal progress,
                              qreal maxDistance, qreal fadeFactor);

signals:
    void phaseChanged(StarburstAnimationView::AnimationPhase phase);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    Particle makeParticle(int index) const;
    void setPhase(AnimationPhase phase);
    // A blurred picture and where its top-left corner lies from the view's centre.
    struct Layer {
        QImage image;
        QPointF origin;
    };
    // The blurred centre glow and core never change shape, so they are made once per look.
    const Layer& centerLayer(bool core, ColorScheme::Scheme scheme, qreal dpr);

    ColorScheme& m_colorScheme;
    qreal m_size;
    bool m_isAnimating;
    std::function<void()> m_onComplete;

    std::vector<Particle> m_particles;
    AnimationPhase m_phase = AnimationPhase::idle;
    AnimatedValue m_glowScale{0.2};
    AnimatedValue m_glowOpacity{0};
    AnimatedValue m_glowOpacity2{0};
    AnimatedValue m_glowOpacity3{0};
    AnimatedValue m_particleProgress{0};
    AnimatedValue m_particleFade{1};
    AnimatedValue m_lingeringFade{1};
    AnimatedValue m_centerWhiteOpacity{0};
    AnimatedValue m_glowRotation1{0};
    AnimatedValue m_glowRotation2{0};
    AnimatedValue m_glowRotation3{0};

    QHash<QString, Layer> m_centerLayers;
};

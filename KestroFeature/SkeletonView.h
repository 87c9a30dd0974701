#pragma once

#include "AnimatedValue.h"
#include "ColorScheme.h"

#include <QWidget>

// A grey block standing in for content that is still loading. An animated block sweeps a
// highlight across itself and back, one second each way, from the moment it is shown; a
// still block keeps its resting gradient.
class SkeletonView : public QWidget {
public:
    SkeletonView(ColorScheme& colorScheme, bool animated, qreal cornerRadius, QWidget* parent = nullptr);

    bool animated() const { return m_animated; }
    // The shimmer has been started (it never stops while the block lives).
    bool isAnimating() const { return m_isAnimating; }
    qreal shimmerPhase() const { return m_phase.value(); }

    static constexpr std::chrono::milliseconds shimmerDuration{1000};

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    ColorScheme& m_colorScheme;
    bool m_animated;
    qreal m_cornerRadius;
    bool m_isAnimating = false;
    AnimatedValue m_phase{0};
};

#pragma once

#include "AnimatedValue.h"
#include "ColorScheme.h"
#include "StarburstAnimationView.h"

#include <QPointer>
#include <QString>
#include <QWidget>

// A service icon that turns, once, from the icon of the service a link came from into the icon
// of the service it was converted to, with a starburst flashing behind it. The swap starts when
// the icon appears, or later when `shouldAnimate` turns true, provided the two keys differ; a
// given widget never swaps twice.
//
// Its frame is a square of twice the icon's size with the icon in its centre, whether or not a
// burst is showing; the widget is larger by the burst's bleed on every side, so the burst is
// not cut at the frame. It does not take the mouse.
class AnimatedPlatformIcon : public QWidget {
    Q_OBJECT

public:
    AnimatedPlatformIcon(ColorScheme& colorScheme, const QString& fromPlatform, const QString& toPlatform,
                         qreal size, bool shouldAnimate, QWidget* parent = nullptr);

    QString fromPlatform() const { return m_fromPlatform; }
    QString toPlatform() const { return m_toPlatform; }
    // Keys given anew are shown at once; they never start a swap by themselves.
    void setFromPlatform(const QString& platform);
    void setToPlatform(const QString& platform);
    qreal iconSize() const { return m_size; }
    // The frame, in the widget's coordinates.
    QRect frameRect() const;

    bool shouldAnimate() const { return m_shouldAnimate; }
    // A change of the flag tests the start condition again.
    void setShouldAnimate(bool shouldAnimate);

    // The swap itself: its later steps are all scheduled now, each at its own delay.
    void triggerAnimation();

    bool showStarburst() const { return m_showStarburst; }
    bool showNewIcon() const { return m_showNewIcon; }
    qreal iconOpacity() const { return m_iconOpacity.value(); }
    qreal iconScale() const { return m_iconScale.value(); }
    bool hasAnimated() const { return m_hasAnimated; }
    // The key of the icon on show now.
    QString shownPlatform() const { return m_showNewIcon ? m_toPlatform : m_fromPlatform; }
    StarburstAnimationView* starburst() const { return m_starburst; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    class IconLayer;

    bool canStart(bool shouldAnimate) const;
    void setShowStarburst(bool show);

    ColorScheme& m_colorScheme;
    QString m_fromPlatform;
    QString m_toPlatform;
    qreal m_size;
    bool m_shouldAnimate;

    bool m_showStarburst = false;
    bool m_showNewIcon = false;
    AnimatedValue m_iconOpacity{1};
    AnimatedValue m_iconScale{1};
    bool m_hasAnimated = false;

    QPointer<StarburstAnimationView> m_starburst;
    IconLayer* m_iconLayer = nullptr;
};

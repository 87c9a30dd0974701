#pragma once

#include <QPainterPath>
#include <QWidget>

#include <functional>

class ColorScheme;
class HoverScaleButton;

// The bubble's outline: a rounded body with a small arrow on one edge pointing at the status
// item. The arrow sits on the top edge (the bubble hangs below a top panel) or on the bottom
// edge (it stands above a bottom panel); its tip is at `arrowCentre` across the rectangle.
// Without the arrow, the body keeps its place.
struct TooltipShape {
    double cornerRadius = 10;
    double arrowWidth = 16;
    double arrowHeight = 10;

    QPainterPath path(const QRectF& rect) const { return path(rect, rect.width() / 2, true); }
    QPainterPath path(const QRectF& rect, double arrowCentre, bool arrowOnTop, bool withArrow = true) const;
};

// The one-time bubble: where the program lives, and a "Got it" button that closes it.
class MenuBarTooltipView : public QWidget {
    Q_OBJECT

public:
    MenuBarTooltipView(std::function<void()> onDismiss, ColorScheme& colorScheme, QWidget* parent = nullptr);

    // Where the arrow points (across the view), on which edge it sits, and whether it is drawn.
    void setArrow(double centre, bool onTop, bool shown = true);
    double arrowCentre() const { return m_arrowCentre; }
    bool arrowOnTop() const { return m_arrowOnTop; }
    bool arrowShown() const { return m_arrowShown; }

    void setLines(const QString& title, const QString& subtitle);
    QString title() const { return m_title; }
    QString subtitle() const { return m_subtitle; }

    HoverScaleButton* gotItButton() const { return m_gotIt; }
    // The outline of the bubble in the view's coordinates.
    QPainterPath bubblePath() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QRectF body() const;
    void relayout();

    std::function<void()> m_onDismiss;
    ColorScheme& m_colorScheme;
    HoverScaleButton* m_gotIt;
    double m_arrowCentre;
    bool m_arrowOnTop = true;
    bool m_arrowShown = true;
    QString m_title;
    QString m_subtitle;
};

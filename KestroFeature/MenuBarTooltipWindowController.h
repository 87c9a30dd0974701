#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>

#include <chrono>
#include <functional>

class ColorScheme;
class MenuBarTooltipView;
class Panel;

// Shows the one-time bubble next to the status item: under it when the item sits in a top
// panel, above it when the item sits in the lower half of the screen, always inside the
// available area. It slides and fades in, and out again when the user presses "Got it".
class MenuBarTooltipWindowController : public QObject {
    Q_OBJECT

public:
    // The area the bubble must stay inside, for the screen of the given anchor.
    using AvailableArea = std::function<QRect(const QRect& anchor)>;

    struct Timing {
        std::chrono::milliseconds fadeIn{300};
        std::chrono::milliseconds fadeOut{250};
    };

    static constexpr int slideDistance = 15;

    explicit MenuBarTooltipWindowController(QObject* parent = nullptr);
    MenuBarTooltipWindowController(AvailableArea availableArea, ColorScheme* colorScheme, Timing timing,
                                   QObject* parent = nullptr);
    ~MenuBarTooltipWindowController() override;

    // The status item's rectangle in screen coordinates; an empty one stands for the corner
    // where a tray that reports no rectangle usually sits.
    void show(QRect anchorFrame);
    void dismiss();

    Panel* panel() const;
    MenuBarTooltipView* view() const;
    // Where the bubble rests once it has slid in (screen coordinates of its 300 x 100 frame).
    QRect restingFrame() const { return m_resting; }
    bool opensUpward() const { return m_upward; }

    // The screen area of the screen showing `anchor` (the primary screen when none does).
    static QRect screenAreaFor(const QRect& anchor);
    // Where the bubble goes for an anchor inside an area, and whether it opens upward.
    static QRect placement(const QRect& anchor, const QRect& area, bool* upward, double* arrowCentre);

private:
    Panel* makePanel();

    AvailableArea m_availableArea;
    ColorScheme* m_colorScheme;
    Timing m_timing;
    QPointer<Panel> m_panel;
    QPointer<MenuBarTooltipView> m_view;
    QRect m_resting;
    bool m_upward = false;
};

#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>

#include <chrono>
#include <functional>
#include <optional>

class ColorScheme;
class MenuBarTooltipView;
class Panel;

// Shows the one-time bubble next to the status item: under it when the item sits in a top
// panel, above it when the item sits in the lower half of the screen, always inside the
// available area. It slides and fades in, and out again when the user presses "Got it".
class MenuBarTooltipWindowController : public QObject {
    Q_OBJECT

public:
    // A screen, and the part of it that the panels leave.
    struct ScreenAreas {
        QRect screen;
        QRect available;
        // A screen without panels.
        ScreenAreas(const QRect& both) : screen(both), available(both) {} // NOLINT: implicit on purpose
        ScreenAreas(const QRect& screen, const QRect& available) : screen(screen), available(available) {}
    };
    // The areas of the screen showing the given anchor.
    using AvailableArea = std::function<ScreenAreas(const QRect& anchor)>;

    struct Placement {
        QRect frame;
        bool upward = false;
        // Across the frame; none: the bubble has no arrow.
        std::optional<double> arrowCentre;
    };

    struct Timing {
        std::chrono::milliseconds fadeIn{300};
        std::chrono::milliseconds fadeOut{250};
    };

    static constexpr int slideDistance = 15;

    explicit MenuBarTooltipWindowController(QObject* parent = nullptr);
    MenuBarTooltipWindowController(AvailableArea availableArea, ColorScheme* colorScheme, Timing timing,
                                   QObject* parent = nullptr);
    ~MenuBarTooltipWindowController() override;

    // The status item's rectangle in screen coordinates; empty where the tray tells none: the
    // bubble then stands at the tray's end of the panel, without an arrow.
    void show(QRect anchorFrame);
    // On a desktop without a tray: at the top centre of the screen, without an arrow, saying
    // how the menu is reached instead of where the icon is.
    void showWithoutTray();
    void dismiss();

    Panel* panel() const;
    MenuBarTooltipView* view() const;
    // Where the bubble rests once it has slid in (screen coordinates of its 300 x 100 frame).
    QRect restingFrame() const { return m_resting; }
    bool opensUpward() const { return m_upward; }

    // The areas of the screen showing `anchor` (the primary screen when none does).
    static ScreenAreas screenAreaFor(const QRect& anchor);
    // Where the bubble goes for the item at `anchor` (empty: not known) on a screen.
    static Placement placement(const QRect& anchor, const ScreenAreas& areas);
    static Placement placementWithoutTray(const ScreenAreas& areas);

private:
    Panel* makePanel();
    void present(const Placement& placement, bool withoutTray);

    AvailableArea m_availableArea;
    ColorScheme* m_colorScheme;
    Timing m_timing;
    QPointer<Panel> m_panel;
    QPointer<MenuBarTooltipView> m_view;
    QRect m_resting;
    bool m_upward = false;
};

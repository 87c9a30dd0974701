#include "MenuBarTooltipWindowController.h"

#include "AnimatedValue.h"
#include "AppConstants.h"
#include "ColorScheme.h"
#include "DebugLog.h"
#include "MenuBarTooltipView.h"
#include "Panel.h"

#include <QGuiApplication>
#include <QScreen>

#include <algorithm>

namespace {
constexpr int panelWidth = int(AppConstants::tooltipWidth);
constexpr int panelHeight = int(AppConstants::tooltipArrowHeight) + 90;

QString rectText(const QRect& rect) {
    return QStringLiteral("(%1, %2, %3, %4)")
        .arg(rect.x())
        .arg(rect.y())
        .arg(rect.width())
        .arg(rect.height());
}
} // namespace

MenuBarTooltipWindowController::MenuBarTooltipWindowController(QObject* parent)
    : MenuBarTooltipWindowController(&MenuBarTooltipWindowController::screenAreaFor, nullptr, Timing{},
                                     parent) {}

MenuBarTooltipWindowController::MenuBarTooltipWindowController(AvailableArea availableArea,
                                                               ColorScheme* colorScheme, Timing timing,
                                                               QObject* parent)
    : QObject(parent), m_availableArea(availableArea ? std::move(availableArea) : &screenAreaFor),
      m_colorScheme(colorScheme ? colorScheme : &ColorScheme::shared()), m_timing(timing) {}

MenuBarTooltipWindowController::~MenuBarTooltipWindowController() {
    delete m_panel.data();
}

Panel* MenuBarTooltipWindowController::panel() const {
    return m_panel.data();
}

MenuBarTooltipView* MenuBarTooltipWindowController::view() const {
    return m_view.data();
}

QRect MenuBarTooltipWindowController::screenAreaFor(const QRect& anchor) {
    const QScreen* screen = anchor.isEmpty() ? nullptr : QGuiApplication::screenAt(anchor.center());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    return screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
}

QRect MenuBarTooltipWindowController::placement(const QRect& anchor, const QRect& area, bool* upward,
                                                double* arrowCentre) {
    // A tray that reports no rectangle: its icon usually sits in the top-right corner.
    const QRect target = anchor.isEmpty() ? QRect(area.x() + area.width() - 24, area.y(), 24, 24) : anchor;
    const double centreX = target.x() + target.width() / 2.0;
    const double centreY = target.y() + target.height() / 2.0;
    const bool up = centreY > area.y() + area.height() / 2.0;
    int x = int(std::lround(centreX - panelWidth * 0.5));
    int y = up ? target.y() - panelHeight : target.y() + target.height();
    // Off-screen the bubble would be no use; against the very edge it looks cut off.
    constexpr int edgeMargin = 8;
    x = std::clamp(x, area.x() + edgeMargin,
                   std::max(area.x() + edgeMargin, area.x() + area.width() - edgeMargin - panelWidth));
    y = std::clamp(y, area.y(), std::max(area.y(), area.y() + area.height() - panelHeight));
    if (upward) {
        *upward = up;
    }
    if (arrowCentre) {
        *arrowCentre = centreX - x;
    }
    return QRect(x, y, panelWidth, panelHeight);
}

Panel* MenuBarTooltipWindowController::makePanel() {
    auto* panel = new Panel(QSize(panelWidth, panelHeight));
    QPointer<MenuBarTooltipWindowController> self(this);
    auto* view = new MenuBarTooltipView(
        [self] {
            if (self) {
                self->dismiss();
            }
        },
        *m_colorScheme);
    panel->setContentWidget(view);
    m_view = view;
    return panel;
}

void MenuBarTooltipWindowController::show(QRect anchorFrame) {
    debugLog(QStringLiteral("MenuBarTooltip: show() called with anchor frame: ") + rectText(anchorFrame));
    if (m_panel) {
        // Only one bubble at a time.
        m_panel->orderOut();
        m_panel->deleteLater();
    }
    m_panel = makePanel();
    if (!m_panel) {
        debugLog(QStringLiteral("MenuBarTooltip: Panel creation failed"));
        return;
    }
    double arrowCentre = panelWidth / 2.0;
    m_resting = placement(anchorFrame, m_availableArea(anchorFrame), &m_upward, &arrowCentre);
    m_view->setArrow(arrowCentre, !m_upward);
    m_panel->setCardShape(m_view->bubblePath());

    // It comes from the status item's side: down from a top panel, up from a bottom one.
    const int away = m_upward ? slideDistance : -slideDistance;
    m_panel->setFrameOrigin(m_resting.topLeft() + QPoint(0, away));
    m_panel->setOpacity(0.0);
    m_panel->orderFront();
    m_panel->animate(m_resting.topLeft(), 1.0, m_timing.fadeIn, TimingCurve::cubic(0, 0, 0.2, 1));
    debugLog(QStringLiteral("MenuBarTooltip: Panel shown at ") + rectText(m_panel->frameRect()));
}

void MenuBarTooltipWindowController::dismiss() {
    if (!m_panel) {
        return;
    }
    const int away = m_upward ? slideDistance : -slideDistance;
    QPointer<Panel> panel = m_panel;
    QPointer<MenuBarTooltipWindowController> self(this);
    m_panel->animate(m_panel->frameOrigin() + QPoint(0, away), 0.0, m_timing.fadeOut,
                     TimingCurve::cubic(0.4, 0, 1, 1), [panel, self] {
                         if (panel) {
                             panel->orderOut();
                             panel->deleteLater();
                         }
                         if (self && self->m_panel == panel) {
                             self->m_panel = nullptr;
                         }
                     });
    debugLog(QStringLiteral("MenuBarTooltip: Dismissed"));
}

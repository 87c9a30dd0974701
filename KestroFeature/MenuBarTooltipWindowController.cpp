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
constexpr int edgeMargin = 8;
// Where there is no tray, the bubble tells how the menu is reached instead of where it is.
const char* const noTrayTitle = "Ondari runs in the background.";
const char* const noTraySubtitle = "Start Ondari again to open its menu.";

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

MenuBarTooltipWindowController::ScreenAreas
MenuBarTooltipWindowController::screenAreaFor(const QRect& anchor) {
    const QScreen* screen = anchor.isEmpty() ? nullptr : QGuiApplication::screenAt(anchor.center());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (!screen) {
        return QRect(0, 0, 1280, 800);
    }
    return {screen->geometry(), screen->availableGeometry()};
}

MenuBarTooltipWindowController::Placement
MenuBarTooltipWindowController::placement(const QRect& anchor, const ScreenAreas& areas) {
    const QRect& area = areas.available;
    Placement result;
    int x = 0;
    int y = 0;
    if (anchor.isEmpty()) {
        // Pointing at a guessed spot would point at whatever sits there (a clock, a user
        // button): the bubble stands at the end of the panel where trays sit, and points nowhere.
        const bool bottomPanel = area.y() + area.height() < areas.screen.y() + areas.screen.height() &&
                                 area.y() <= areas.screen.y();
        result.upward = bottomPanel;
        x = area.x() + area.width() - edgeMargin - panelWidth;
        y = bottomPanel ? area.y() + area.height() - panelHeight : area.y();
    } else {
        const double centreX = anchor.x() + anchor.width() / 2.0;
        const double centreY = anchor.y() + anchor.height() / 2.0;
        result.upward = centreY > area.y() + area.height() / 2.0;
        x = int(std::lround(centreX - panelWidth * 0.5));
        y = result.upward ? anchor.y() - panelHeight : anchor.y() + anchor.height();
        result.arrowCentre = centreX;
    }
    // Off-screen the bubble would be no use; against the very edge it looks cut off.
    x = std::clamp(x, area.x() + edgeMargin,
                   std::max(area.x() + edgeMargin, area.x() + area.width() - edgeMargin - panelWidth));
    y = std::clamp(y, area.y(), std::max(area.y(), area.y() + area.height() - panelHeight));
    if (result.arrowCentre) {
        *result.arrowCentre -= x;
    }
    result.frame = QRect(x, y, panelWidth, panelHeight);
    return result;
}

MenuBarTooltipWindowController::Placement
MenuBarTooltipWindowController::placementWithoutTray(const ScreenAreas& areas) {
    const QRect& area = areas.available;
    Placement result;
    result.frame = QRect(area.x() + (area.width() - panelWidth) / 2, area.y(), panelWidth, panelHeight);
    return result;
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
    if (anchorFrame.isEmpty()) {
        debugLog(QStringLiteral("MenuBarTooltip: The tray tells no icon position: shown at the tray's end of "
                                "the panel, without an arrow"));
    }
    present(placement(anchorFrame, m_availableArea(anchorFrame)), false);
}

void MenuBarTooltipWindowController::showWithoutTray() {
    debugLog(QStringLiteral("MenuBarTooltip: No system tray: shown at the top centre of the screen, saying "
                            "how the menu is reached"));
    present(placementWithoutTray(m_availableArea(QRect())), true);
}

void MenuBarTooltipWindowController::present(const Placement& place, bool withoutTray) {
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
    if (withoutTray) {
        m_view->setLines(QString::fromLatin1(noTrayTitle), QString::fromLatin1(noTraySubtitle));
    }
    m_resting = place.frame;
    m_upward = place.upward;
    m_view->setArrow(place.arrowCentre.value_or(panelWidth / 2.0), !m_upward, place.arrowCentre.has_value());
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

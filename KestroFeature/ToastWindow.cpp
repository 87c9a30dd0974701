#include "ToastWindow.h"

#include "Accessibility.h"
#include "AnimatedValue.h"
#include "AppConstants.h"
#include "ColorScheme.h"
#include "ConversionQueue.h"
#include "DebugLog.h"
#include "Panel.h"
#include "SettingsManager.h"
#include "ToastEnvironment.h"
#include "ToastView.h"

#include <QBackingStore>
#include <QCursor>
#include <QGuiApplication>
#include <QNetworkAccessManager>
#include <QScreen>
#include <QTimer>

namespace {
QString rectText(const QRect& r) {
    return QStringLiteral("{{%1, %2}, {%3, %4}}").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
}
} // namespace

ToastWindowController::ToastWindowController(ConversionQueue& queue, SettingsManager& settings,
                                             Accessibility& accessibility, ColorScheme& colorScheme,
                                             QNetworkAccessManager* network, QObject* parent)
    : QObject(parent), m_queue(queue), m_settings(settings), m_accessibility(accessibility),
      m_colorScheme(colorScheme), m_network(network ? network : new QNetworkAccessManager(this)),
      m_availableArea(&ToastWindowController::currentAvailableArea) {
    debugLog(QStringLiteral("Toast: ToastWindowController initialized"));
    m_spareTimer.setSingleShot(true);
    connect(&m_spareTimer, &QTimer::timeout, this, &ToastWindowController::buildSpare);
    setupObservers();
}

ToastWindowController::~ToastWindowController() {
    delete m_panel;
    delete m_spare;
}

ToastWindowController& ToastWindowController::shared() {
    static ToastWindowController* instance = [] {
        auto* controller = new ToastWindowController(ConversionQueue::shared(), SettingsManager::shared(),
                                                     Accessibility::shared(), ColorScheme::shared());
        controller->setBuildsPanelsAhead(true);
        return controller;
    }();
    return *instance;
}

void ToastWindowController::setBuildsPanelsAhead(bool ahead, std::chrono::milliseconds delay) {
    m_buildsAhead = ahead;
    m_spareDelay = delay;
    if (ahead) {
        scheduleSpare(delay);
    } else {
        m_spareTimer.stop();
        delete m_spare;
    }
}

Panel* ToastWindowController::sparePanel() const {
    return m_spare;
}

void ToastWindowController::scheduleSpare(std::chrono::milliseconds delay) {
    if (m_buildsAhead) {
        m_spareTimer.start(delay);
    }
}

void ToastWindowController::buildSpare() {
    if (!m_buildsAhead || m_spare) {
        return;
    }
    m_spare = new Panel(panelSize());
    // Its pixels, too: the first paint into a new window's memory faults every page in.
    if (QBackingStore* store = m_spare->backingStore()) {
        store->resize(m_spare->size());
        store->beginPaint(QRegion(m_spare->rect()));
        store->endPaint();
    }
}

// The panel built ahead when it still fits the settings and the display, else a new one.
Panel* ToastWindowController::takeBarePanel() {
    Panel* panel = m_spare;
    m_spare = nullptr;
    if (panel && (panel->frameSize() != panelSize() || panel->isCompositing() != Panel::compositorRunning() ||
                  (panel->isCompositing() && panel->blursBehind() != Panel::desktopBlursBehind()))) {
        delete panel;
        panel = nullptr;
    }
    return panel ? panel : new Panel(panelSize());
}

void ToastWindowController::setupObservers() {
    debugLog(QStringLiteral("Toast: Setting up observers"));
    // Every assignment arrives, also a repeated value, after the queue has finished its own
    // work; the value held now arrives first.
    connect(&m_queue, &ConversionQueue::isToastVisibleChanged, this,
            &ToastWindowController::handleToastVisibilityChange, Qt::QueuedConnection);
    const bool current = m_queue.isToastVisible();
    QMetaObject::invokeMethod(
        this, [this, current] { handleToastVisibilityChange(current); }, Qt::QueuedConnection);
}

void ToastWindowController::handleToastVisibilityChange(bool isVisible) {
    debugLog(QStringLiteral("Toast: isToastVisible changed to: ") +
             (isVisible ? QStringLiteral("true") : QStringLiteral("false")));
    if (isVisible) {
        show();
    } else {
        hide();
    }
}

double ToastWindowController::toastWidth() const {
    return m_settings.showURLPreview() ? AppConstants::toastWidthWithPreview
                                       : AppConstants::toastWidthCompact;
}

double ToastWindowController::toastHeight() const {
    return m_settings.showURLPreview() ? AppConstants::toastHeightWithPreview
                                       : AppConstants::toastHeightCompact;
}

QSize ToastWindowController::panelSize() const {
    return QSize(int(toastWidth() + AppConstants::toastShadowPadding),
                 int(toastHeight() + AppConstants::toastShadowPadding));
}

Panel* ToastWindowController::panel() const {
    return m_panel;
}

ToastContentView* ToastWindowController::contentView() const {
    return m_panel ? qobject_cast<ToastContentView*>(m_panel->contentWidget()) : nullptr;
}

void ToastWindowController::setAvailableAreaProvider(std::function<std::optional<QRect>()> provider) {
    m_availableArea = std::move(provider);
}

std::optional<QRect> ToastWindowController::currentAvailableArea() {
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (!screen) {
        return std::nullopt;
    }
    return screen->availableGeometry();
}

QPoint ToastWindowController::restingOrigin(const QRect& area, QSize panelSize) {
    // Right edge 16 in from the area's, top edge on the area's top: the card inside then
    // stands 16 below it.
    const int x = area.x() + area.width() - panelSize.width() - int(AppConstants::toastScreenMargin);
    const int y = area.y() + int(AppConstants::toastScreenMargin) - int(AppConstants::toastShadowPadding);
    return {x, y};
}

Panel* ToastWindowController::createPanel() {
    Panel* panel = takeBarePanel();
    auto* view = new ToastContentView(
        ToastEnvironment{m_queue, m_settings, m_accessibility, m_colorScheme, *m_network});
    panel->setContentWidget(view);
    QPointer<Panel> target(panel);
    auto updateShape = [target, view] {
        if (target) {
            target->setCardShape(view->cardPath(),
                                 view->isHovered() ? view->closeButtonPath() : QPainterPath());
        }
    };
    connect(view, &ToastContentView::shapeChanged, panel, updateShape);
    updateShape();
    return panel;
}

void ToastWindowController::positionPanel(Panel& panel) {
    const std::optional<QRect> area = m_availableArea ? m_availableArea() : std::nullopt;
    if (!area) {
        return;
    }
    panel.setFrameOrigin(restingOrigin(*area, panel.frameSize()));
}

void ToastWindowController::show() {
    debugLog(QStringLiteral("Toast: show() called"));
    if (Panel* old = m_panel) {
        // Replaced without a slide: every request gets a fresh panel and fresh view state.
        m_panel = nullptr;
        old->orderOut();
        old->deleteLater();
    }
    debugLog(QStringLiteral("Toast: Creating panel"));
    m_panel = createPanel();
    if (!m_panel) {
        debugLog(QStringLiteral("Toast: Panel is nil after creation!"));
        return;
    }
    Panel& panel = *m_panel;
    positionPanel(panel);
    panel.setFrameOrigin(panel.frameOrigin() - QPoint(0, slideDistance));
    panel.setOpacity(0);
    panel.orderFront();
    panel.animate(panel.frameOrigin() + QPoint(0, slideDistance), 1, m_slideDuration,
                  TimingCurve::cubic(0, 0, 0.2, 1));
    debugLog(QStringLiteral("Toast: Panel shown at ") + rectText(panel.frameRect()));
    // Well after the conversion this toast is about, in the common case.
    scheduleSpare(m_spareDelay);
}

void ToastWindowController::hide() {
    Panel* panel = m_panel;
    if (!panel) {
        return;
    }
    QPointer<ToastWindowController> self(this);
    QPointer<Panel> animated(panel);
    panel->animate(panel->frameOrigin() - QPoint(0, slideDistance), 0, m_slideDuration,
                   TimingCurve::cubic(0.4, 0, 1, 1), [self, animated] {
                       QTimer::singleShot(0, animated, [self, animated] {
                           if (!animated) {
                               return;
                           }
                           animated->orderOut();
                           // Only the panel this slide moved is forgotten; a newer one stays.
                           if (self && self->m_panel == animated) {
                               self->m_panel = nullptr;
                               // Nothing shows now: the time to build the next one.
                               self->scheduleSpare(std::chrono::milliseconds(0));
                           }
                           animated->deleteLater();
                       });
                   });
}

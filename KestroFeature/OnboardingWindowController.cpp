#include "OnboardingWindowController.h"

#include "Accessibility.h"
#include "AccessibilityPermissionWindow.h"
#include "AnimatedValue.h"
#include "AppConstants.h"
#include "ColorScheme.h"
#include "DebugLog.h"
#include "ModalAlert.h"
#include "OnboardingContentView.h"
#include "OnboardingStyle.h"
#include "Panel.h"
#include "PreciseSleep.h"
#include "SettingsManager.h"
#include "Termination.h"

#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QShortcut>

namespace {
QString boolText(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}
} // namespace

OnboardingWindowController::OnboardingWindowController(Collaborators collaborators, QObject* parent)
    : QObject(parent),
      m_settings(collaborators.settings ? collaborators.settings : &SettingsManager::shared()),
      m_accessibility(collaborators.accessibility ? collaborators.accessibility : &Accessibility::shared()),
      m_colorScheme(collaborators.colorScheme ? collaborators.colorScheme : &ColorScheme::shared()),
      m_alerts(collaborators.alerts ? collaborators.alerts : MessageBoxAlertPresenter::shared()),
      m_openPermissionPane(std::move(collaborators.openPermissionPane)), m_timing(collaborators.timing) {
    if (!m_openPermissionPane) {
        Accessibility* accessibility = m_accessibility;
        m_openPermissionPane = [accessibility](std::function<void()> closed) {
            AccessibilityPermissionWindow* window = AccessibilityPermissionWindow::open(*accessibility);
            if (!window) {
                return false;
            }
            QObject::connect(window, &QDialog::finished, window, std::move(closed), Qt::SingleShotConnection);
            return true;
        };
    }
    m_pollingTimer.setTimerType(Qt::PreciseTimer);
    m_pollingTimer.setInterval(m_timing.pollInterval);
    connect(&m_pollingTimer, &QTimer::timeout, this, &OnboardingWindowController::checkPermissionStatus);
}

OnboardingWindowController::~OnboardingWindowController() {
    delete m_panel.data();
}

OnboardingWindowController& OnboardingWindowController::shared() {
    static OnboardingWindowController* instance = new OnboardingWindowController(Collaborators{});
    return *instance;
}

bool OnboardingWindowController::hasAccessibilityPermission() const {
    return m_accessibility->isTrusted();
}

OnboardingContentView* OnboardingWindowController::contentView() const {
    return m_content.data();
}

Panel* OnboardingWindowController::panel() const {
    return m_panel.data();
}

void OnboardingWindowController::setState(OnboardingState state) {
    m_state = state;
    emit stateChanged(state);
}

void OnboardingWindowController::setIsVisible(bool visible) {
    m_isVisible = visible;
    emit isVisibleChanged(visible);
}

void OnboardingWindowController::setShowWelcomeText(bool showWelcome) {
    m_showWelcomeText = showWelcome;
    emit showWelcomeTextChanged(showWelcome);
}

void OnboardingWindowController::show(bool withWelcome) {
    debugLog(QStringLiteral("Onboarding: show(withWelcome: ") + boolText(withWelcome) +
             QStringLiteral(") called, current state: ") + OnboardingStates::name(m_state));

    if (hasAccessibilityPermission()) {
        debugLog(QStringLiteral("Onboarding: Permission already granted, skipping onboarding"));
        setState(OnboardingState::granted);
        complete(true);
        return;
    }

    if (m_isVisible && m_state == OnboardingState::waitingForGrant) {
        debugLog(QStringLiteral("Onboarding: Already waiting for grant, bringing to front"));
        if (m_panel) {
            m_panel->orderFront();
        }
        return;
    }

    if (m_state != OnboardingState::waitingForGrant) {
        setState(OnboardingState::needsPermission);
    } else if (!m_pollingTimer.isActive()) {
        // Minimised while waiting: the grant may still come, so watch for it again.
        startPermissionPolling();
    }
    setShowWelcomeText(withWelcome);
    m_showMusicSelectionAfterPermission = withWelcome;
    present(QStringLiteral("Onboarding: Window shown"));
}

void OnboardingWindowController::showMusicSelection() {
    debugLog(QStringLiteral("Onboarding: showMusicSelection() called"));
    setState(OnboardingState::musicSelection);
    setShowWelcomeText(false);
    m_showMusicSelectionAfterPermission = false;
    present(QStringLiteral("Onboarding: Music selection window shown"));
}

void OnboardingWindowController::present(const QString& endLine) {
    if (!m_panel) {
        m_panel = createPanel();
    }
    if (!m_panel) {
        debugLog(QStringLiteral("Onboarding: Failed to create panel"));
        return;
    }
    ++m_presentations;
    centerPanel(m_panel);
    m_panel->setOpacity(0.0);
    m_panel->orderFront();
    animatePanelAlpha(1.0, true, nullptr);
    setIsVisible(true);
    debugLog(endLine);
}

void OnboardingWindowController::requestAccessibility() {
    debugLog(QStringLiteral("Onboarding: requestAccessibility() called"));
    setState(OnboardingState::waitingForGrant);
    openAccessibilitySettings();
    startPermissionPolling();
}

void OnboardingWindowController::openAccessibilitySettings() {
    QPointer<OnboardingWindowController> self(this);
    const auto closed = [self] {
        if (self) {
            self->permissionPaneClosed();
        }
    };
    if (m_openPermissionPane && m_openPermissionPane(closed)) {
        debugLog(QStringLiteral("Onboarding: Opened the Ctrl+Return permission window"));
    }
}

void OnboardingWindowController::permissionPaneClosed() {
    // The pane is the only place to grant: closed without a grant, nothing is left to wait for.
    if (m_state != OnboardingState::waitingForGrant || hasAccessibilityPermission()) {
        return;
    }
    debugLog(QStringLiteral("Onboarding: Permission window closed without a grant"));
    stopPermissionPolling();
    setState(OnboardingState::needsPermission);
}

void OnboardingWindowController::startPermissionPolling() {
    debugLog(QStringLiteral("Onboarding: Starting permission polling"));
    m_pollingTimer.stop();
    m_pollingTimer.start();
}

void OnboardingWindowController::stopPermissionPolling() {
    debugLog(QStringLiteral("Onboarding: Stopping permission polling"));
    m_pollingTimer.stop();
}

void OnboardingWindowController::checkPermissionStatus() {
    if (!hasAccessibilityPermission()) {
        return;
    }
    debugLog(QStringLiteral("Onboarding: Permission granted detected via polling"));
    stopPermissionPolling();
    handlePermissionGranted();
}

void OnboardingWindowController::handlePermissionGranted() {
    setState(OnboardingState::granted);
    continueAfterGrant();
}

QCoro::Task<> OnboardingWindowController::continueAfterGrant() {
    QPointer<OnboardingWindowController> self(this);
    co_await preciseSleep(m_timing.grantDelay);
    if (!self) {
        co_return;
    }
    // Read now, not at the grant: a show in between may have changed the flow.
    if (m_showMusicSelectionAfterPermission) {
        transitionToMusicSelection();
    } else {
        dismissWindow();
        complete(true);
    }
}

void OnboardingWindowController::skip() {
    debugLog(QStringLiteral("Onboarding: skip() called"));
    setState(OnboardingState::skipped);
    stopPermissionPolling();
    if (m_showMusicSelectionAfterPermission) {
        continueAfterSkip();
    } else {
        dismissWindow();
        complete(false);
    }
}

QCoro::Task<> OnboardingWindowController::continueAfterSkip() {
    QPointer<OnboardingWindowController> self(this);
    co_await preciseSleep(m_timing.skipDelay);
    if (self) {
        transitionToMusicSelection();
    }
}

void OnboardingWindowController::transitionToMusicSelection() {
    debugLog(QStringLiteral("Onboarding: Transitioning to music selection"));
    setState(OnboardingState::musicSelection);
}

void OnboardingWindowController::musicSelectionCompleted() {
    debugLog(QStringLiteral("Onboarding: Music selection completed"));
    m_settings->setHasCompletedOnboarding(true);
    dismissWindow();
    complete(true);
}

void OnboardingWindowController::minimizeToMenuBar() {
    debugLog(QStringLiteral("Onboarding: minimizeToMenuBar() called"));
    stopPermissionPolling();
    dismissWindow();
}

bool OnboardingWindowController::windowShouldClose() {
    minimizeToMenuBar();
    return false;
}

void OnboardingWindowController::complete(bool granted) {
    if (onComplete) {
        // A copy: the handler may install another one while it runs.
        const auto handler = onComplete;
        handler(granted);
    }
}

void OnboardingWindowController::dismissWindow() {
    if (!m_panel) {
        setIsVisible(false);
        return;
    }
    debugLog(QStringLiteral("Onboarding: Dismissing window"));
    QPointer<Panel> faded = m_panel;
    QPointer<OnboardingWindowController> self(this);
    const quint64 presentation = m_presentations;
    animatePanelAlpha(0.0, false, [faded, self, presentation] {
        if (self && self->m_presentations != presentation) {
            // Shown again during the fade-out: that presentation keeps the panel.
            return;
        }
        if (faded) {
            faded->orderOut();
            faded->deleteLater();
        }
        if (self) {
            if (self->m_panel == faded) {
                self->m_panel = nullptr;
                self->m_content = nullptr;
            }
            self->setIsVisible(false);
        }
    });
}

Panel* OnboardingWindowController::createPanel() {
    // Unlike the toast, the onboarding is worked in: it takes the focus, so keys reach its buttons.
    auto* panel = new Panel(QSize(int(AppConstants::onboardingWidth), int(AppConstants::onboardingHeight)),
                            Panel::Focus::whenShown);
    const QRectF card(0, 0, AppConstants::onboardingWidth, AppConstants::onboardingHeight);
    panel->setCardShape(OnboardingStyle::roundedRect(card, AppConstants::onboardingCornerRadius));
    panel->setWindowTitle(QStringLiteral("Ondari"));
    // The window the user works in quits the program with the desktop's usual keys.
    auto* quit = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q), panel);
    connect(quit, &QShortcut::activated, this, [] { Termination::terminateApplication(); });
    // A fresh page each time: hover flags and unsaved choices start anew.
    auto* content = new OnboardingContentView(*this);
    panel->setContentWidget(content);
    m_content = content;
    // A close request from the window manager minimises instead.
    panel->installEventFilter(this);
    return panel;
}

void OnboardingWindowController::centerPanel(Panel* panel) {
    const QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen) {
        screen = QGuiApplication::primaryScreen();
    }
    if (!screen) {
        return;
    }
    const QRect area = screen->availableGeometry();
    const QSize size = panel->frameSize();
    panel->setFrameOrigin(
        QPoint(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2));
}

void OnboardingWindowController::animatePanelAlpha(double target, bool fadeIn,
                                                   std::function<void()> completion) {
    if (!m_panel) {
        return;
    }
    m_panel->animate(m_panel->frameOrigin(), target, fadeIn ? m_timing.fadeIn : m_timing.fadeOut,
                     fadeIn ? TimingCurve::easeOut() : TimingCurve::easeIn(), std::move(completion));
}

bool OnboardingWindowController::eventFilter(QObject* watched, QEvent* event) {
    // Only the window manager's close request minimises; a close from the program itself (a quit
    // that closes every window first) goes through, or the quit would be cancelled.
    if (event->type() == QEvent::Close && event->spontaneous() && watched == m_panel.data()) {
        event->ignore();
        windowShouldClose();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

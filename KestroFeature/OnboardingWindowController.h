#pragma once

#include "OnboardingState.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

class Accessibility;
class AlertPresenter;
class ColorScheme;
class OnboardingContentView;
class Panel;
class SettingsManager;

// The one object behind the onboarding panel: its step, the permission poll, and the
// completion handler through which the shell learns how a flow ended.
class OnboardingWindowController : public QObject {
    Q_OBJECT

public:
    struct Timing {
        std::chrono::milliseconds pollInterval{500};
        std::chrono::milliseconds grantDelay{1500};
        std::chrono::milliseconds skipDelay{500};
        std::chrono::milliseconds fadeIn{300};
        std::chrono::milliseconds fadeOut{250};
    };

    // Opens the place where the user grants the permission; false when it could not be formed.
    // `closed` is called when that place closes again, granted or not.
    using PermissionPaneOpener = std::function<bool(std::function<void()> closed)>;

    // Anything left empty is the shared one.
    struct Collaborators {
        SettingsManager* settings = nullptr;
        Accessibility* accessibility = nullptr;
        ColorScheme* colorScheme = nullptr;
        std::shared_ptr<AlertPresenter> alerts;
        PermissionPaneOpener openPermissionPane;
        Timing timing;
    };

    explicit OnboardingWindowController(Collaborators collaborators, QObject* parent = nullptr);
    ~OnboardingWindowController() override;

    static OnboardingWindowController& shared();

    OnboardingState state() const { return m_state; }
    bool isVisible() const { return m_isVisible; }
    bool showWelcomeText() const { return m_showWelcomeText; }
    bool showMusicSelectionAfterPermission() const { return m_showMusicSelectionAfterPermission; }

    // Called once per finished flow; kept after the call, replaced only by assignment.
    std::function<void(bool)> onComplete;

    bool hasAccessibilityPermission() const;

    // First run (true) or "Enable Hotkey" (false).
    void show(bool withWelcome);
    void showMusicSelection();

    // Actions of the pages.
    void requestAccessibility();
    void skip();
    void minimizeToMenuBar();
    void musicSelectionCompleted();
    // A close request of the window: minimises instead; always false.
    bool windowShouldClose();

    // Collaborators the pages use.
    SettingsManager& settings() const { return *m_settings; }
    ColorScheme& colorScheme() const { return *m_colorScheme; }
    AlertPresenter& alerts() const { return *m_alerts; }
    Accessibility& accessibility() const { return *m_accessibility; }

    // The panel while one exists (tests and screenshots look at it).
    Panel* panel() const;
    OnboardingContentView* contentView() const;
    bool isPolling() const { return m_pollingTimer.isActive(); }

signals:
    void stateChanged(OnboardingState state);
    void isVisibleChanged(bool visible);
    void showWelcomeTextChanged(bool showWelcome);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setState(OnboardingState state);
    void setIsVisible(bool visible);
    void setShowWelcomeText(bool showWelcome);

    void present(const QString& endLine);
    Panel* createPanel();
    void centerPanel(Panel* panel);
    void animatePanelAlpha(double target, bool fadeIn, std::function<void()> completion);
    void startPermissionPolling();
    void stopPermissionPolling();
    void checkPermissionStatus();
    void handlePermissionGranted();
    void transitionToMusicSelection();
    void dismissWindow();
    void openAccessibilitySettings();
    void permissionPaneClosed();

    QCoro::Task<> continueAfterGrant();
    QCoro::Task<> continueAfterSkip();
    void complete(bool granted);

    SettingsManager* m_settings;
    Accessibility* m_accessibility;
    ColorScheme* m_colorScheme;
    std::shared_ptr<AlertPresenter> m_alerts;
    PermissionPaneOpener m_openPermissionPane;
    Timing m_timing;

    OnboardingState m_state = OnboardingState::needsPermission;
    bool m_isVisible = false;
    bool m_showWelcomeText = true;
    QPointer<Panel> m_panel;
    QPointer<OnboardingContentView> m_content;
    QTimer m_pollingTimer;
    bool m_showMusicSelectionAfterPermission = true;
    // Counts presentations, so a fade-out finishing after a new one leaves the panel alone.
    quint64 m_presentations = 0;
};

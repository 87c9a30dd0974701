#pragma once

#include "LoginItem.h"

#include <QDialog>
#include <QObject>
#include <QPointer>

#include <functional>
#include <memory>

class Accessibility;
class ClipboardMonitor;
class GlobalHotkey;
class MenuBarTooltipWindowController;
class MenuTracking;
class OnboardingWindowController;
class QAction;
class QMenu;
class SettingsManager;
class StatusItem;
class ToastWindowController;
class UpdateManager;

// The program's shell: the tray item and its menu, the second half of start-up, the link
// between the onboarding and that start-up, and the one-time tooltip.
class AppController : public QObject {
    Q_OBJECT

public:
    struct Collaborators {
        SettingsManager* settings;
        ClipboardMonitor* clipboard;
        GlobalHotkey* hotkey;
        // Looked up as the shared one at first use when none is given.
        UpdateManager* updates;
        OnboardingWindowController* onboarding;
        ToastWindowController* toast;
        Accessibility* accessibility;
        MenuTracking* menuTracking;
        LoginItem loginItem;
        std::function<std::unique_ptr<StatusItem>()> makeStatusItem;
        std::unique_ptr<MenuBarTooltipWindowController> tooltip;
        // Ends the program (the event loop).
        std::function<void()> terminate;
    };

    // The program's own collaborators (their shared instances).
    static Collaborators sharedCollaborators();

    explicit AppController(Collaborators collaborators, QObject* parent = nullptr);
    ~AppController() override;

    static AppController& shared();

    void setup();
    void setupMenuBar();
    void completeSetup(bool withHotkey);
    void registerLoginItem();
    // This process has handed over to a moved copy: the autostart entry is that copy's to write.
    void leaveLoginItemAlone() { m_leavesLoginItemAlone = true; }
    void setupObservers();
    void updateMenuBarIcon(bool isEnabled);
    void showMenuBarTooltipIfNeeded();
    // Whether the menu may open now; if not, the onboarding shows instead.
    bool menuMayOpen();
    void menuWillOpen(QMenu* menu);
    void updateMenu(QMenu* menu);

    // Menu actions. Those taking the sending action do nothing for data of another type.
    void toggleEnabled();
    void checkForUpdates();
    void convertPendingURL();
    void convertPendingURLToTarget(QAction* sender);
    void showMusicServiceConfig();
    void setMode(QAction* sender);
    void togglePreview();
    void toggleLaunchAtLogin();
    void showEnableHotkey();
    void setTimeout(QAction* sender);
    void showAbout();
    void quitApp();

    bool isOnboardingComplete() const { return m_isOnboardingComplete; }
    StatusItem* statusItem() const { return m_statusItem.get(); }
    MenuBarTooltipWindowController& tooltipController() const { return *m_tooltipController; }
    // The About dialog while it is open.
    QDialog* aboutDialog() const { return m_about; }

    // The credits of the About dialog (rich text).
    static QString creditsHtml();

signals:
    void isOnboardingCompleteChanged(bool complete);

private:
    SettingsManager& m_settings;
    ClipboardMonitor& m_clipboard;
    GlobalHotkey& m_hotkey;
    UpdateManager& updates();

    UpdateManager* m_updates;
    OnboardingWindowController& m_onboarding;
    Accessibility& m_accessibility;
    MenuTracking& m_menuTracking;
    LoginItem m_loginItem;
    std::function<std::unique_ptr<StatusItem>()> m_makeStatusItem;
    std::function<void()> m_terminate;

    std::unique_ptr<StatusItem> m_statusItem;
    ToastWindowController& m_toastController;
    std::unique_ptr<MenuBarTooltipWindowController> m_tooltipController;
    QMetaObject::Connection m_enabledSubscription;
    bool m_isOnboardingComplete = false;
    bool m_leavesLoginItemAlone = false;
    QPointer<QDialog> m_about;
};

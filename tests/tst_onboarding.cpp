#include "AccessibilityPermissionWindow.h"
#include "MusicSelectionView.h"
#include "OnboardingContentView.h"
#include "OnboardingStyle.h"
#include "OnboardingTestSupport.h"
#include "Panel.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QtTest/qtestspontaneevent.h>

namespace {

OnboardingPermissionPage* permissionPage(OnboardingWindowController& controller) {
    return controller.contentView() ? controller.contentView()->permissionPage() : nullptr;
}

bool settled(OnboardingWindowController& controller) {
    return controller.contentView() && !controller.contentView()->isTransitioning();
}

int count(const QStringList& lines, const QString& line) {
    return int(lines.count(line));
}

} // namespace

class OnboardingTest : public QObject {
    Q_OBJECT

private slots:
    void init() { TestEnvironment::clearDebugLog(); }

    void firstRunGrantLeadsThroughTheMusicPage() {
        OnboardingRig rig(QStringLiteral("firstRunGrant"));
        auto& c = *rig.controller;
        std::vector<OnboardingState> states;
        connect(&c, &OnboardingWindowController::stateChanged, &c,
                [&states](OnboardingState s) { states.push_back(s); });

        c.show(true);
        QCOMPARE(c.state(), OnboardingState::needsPermission);
        QVERIFY(c.isVisible());
        QVERIFY(c.panel() && c.panel()->isVisible());
        QVERIFY(c.showWelcomeText());
        QVERIFY(c.showMusicSelectionAfterPermission());
        QCOMPARE(permissionPage(c)->title(), QStringLiteral("Welcome to Ondari!"));
        QCOMPARE(permissionPage(c)->subtitle(), QStringLiteral("Before you start, we need one permission."));
        QTRY_COMPARE(c.panel()->opacity(), 1.0);

        clickButton(permissionPage(c)->allowButton());
        QCOMPARE(c.state(), OnboardingState::waitingForGrant);
        QCOMPARE(rig.permissionPaneOpened, 1);
        QVERIFY(c.isPolling());
        // Nothing is granted by asking.
        QTest::qWait(80);
        QCOMPARE(c.state(), OnboardingState::waitingForGrant);

        rig.accessibility->forceTrusted(true);
        QTRY_COMPARE(c.state(), OnboardingState::granted);
        QVERIFY(!c.isPolling());
        QVERIFY(rig.completions.empty());
        QTRY_COMPARE(c.state(), OnboardingState::musicSelection);
        QVERIFY(rig.completions.empty());
        QTRY_VERIFY(settled(c));
        MusicSelectionView* music = c.contentView()->musicSelectionView();
        QVERIFY(music && music->isVisible());

        QVERIFY(!rig.settings->hasCompletedOnboarding());
        clickButton(music->saveButton());
        QCOMPARE(rig.completions, std::vector<bool>{true});
        QVERIFY(rig.settings->hasCompletedOnboarding());
        QTRY_VERIFY(!c.panel());
        QVERIFY(!c.isVisible());
        QCOMPARE(states, (std::vector<OnboardingState>{
                             OnboardingState::needsPermission, OnboardingState::waitingForGrant,
                             OnboardingState::granted, OnboardingState::musicSelection}));

        const QStringList log = TestEnvironment::debugLogMessages();
        const QStringList expected = {
            QStringLiteral("Onboarding: show(withWelcome: true) called, current state: needsPermission"),
            QStringLiteral("Onboarding: Window shown"),
            QStringLiteral("Onboarding: requestAccessibility() called"),
            QStringLiteral("Onboarding: Opened the Ctrl+Return permission window"),
            QStringLiteral("Onboarding: Starting permission polling"),
            QStringLiteral("Onboarding: Permission granted detected via polling"),
            QStringLiteral("Onboarding: Stopping permission polling"),
            QStringLiteral("Onboarding: Transitioning to music selection"),
            QStringLiteral("Onboarding: Music selection completed"),
            QStringLiteral("Onboarding: Dismissing window"),
        };
        QCOMPARE(log, expected);
    }

    void enableHotkeyGrantEndsTheFlow() {
        OnboardingRig rig(QStringLiteral("enableHotkeyGrant"));
        auto& c = *rig.controller;
        c.show(false);
        QVERIFY(!c.showWelcomeText());
        QVERIFY(!c.showMusicSelectionAfterPermission());
        QCOMPARE(permissionPage(c)->title(), QStringLiteral("Enable Hotkey"));
        QCOMPARE(permissionPage(c)->subtitle(),
                 QStringLiteral("Allow Ondari to watch for the Ctrl+↩ shortcut."));

        c.requestAccessibility();
        rig.accessibility->forceTrusted(true);
        QTRY_COMPARE(rig.completions, std::vector<bool>{true});
        QTRY_VERIFY(!c.panel());
        // Nothing follows the grant in this flow.
        QTest::qWait(250);
        QCOMPARE(c.state(), OnboardingState::granted);
        QCOMPARE(rig.completions, std::vector<bool>{true});
        QVERIFY(!TestEnvironment::debugLogMessages().contains(
            QStringLiteral("Onboarding: Transitioning to music selection")));
    }

    void skipAsksFirstAndCancelChangesNothing() {
        OnboardingRig rig(QStringLiteral("skipCancel"));
        auto& c = *rig.controller;
        c.show(false);
        rig.alertAnswers = {1};
        clickButton(permissionPage(c)->skipButton());
        QCOMPARE(rig.alerts.size(), size_t(1));
        const AlertRequest& alert = rig.alerts.front();
        QCOMPARE(alert.messageText, QStringLiteral("Skip Shortcut Permission?"));
        QCOMPARE(alert.informativeText,
                 QStringLiteral("Without this permission, the Ctrl+↩ keyboard shortcut will not work."));
        QCOMPARE(alert.buttons, (QStringList{QStringLiteral("Skip Anyway"), QStringLiteral("Cancel")}));
        QCOMPARE(alert.style, AlertRequest::Style::warning);
        QCOMPARE(c.state(), OnboardingState::needsPermission);
        QVERIFY(rig.completions.empty());
        QVERIFY(c.isVisible());

        // "Skip Anyway" in the enable-hotkey flow ends it with false.
        rig.alertAnswers = {0};
        clickButton(permissionPage(c)->skipButton());
        QCOMPARE(c.state(), OnboardingState::skipped);
        QCOMPARE(rig.completions, std::vector<bool>{false});
        QTRY_VERIFY(!c.panel());
        QTest::qWait(150);
        QCOMPARE(c.state(), OnboardingState::skipped);
        QCOMPARE(rig.completions, std::vector<bool>{false});
    }

    void firstRunSkipLeadsToTheMusicPage() {
        OnboardingRig rig(QStringLiteral("firstRunSkip"));
        auto& c = *rig.controller;
        c.show(true);
        c.requestAccessibility();
        QVERIFY(c.isPolling());
        rig.alertAnswers = {0};
        clickButton(permissionPage(c)->skipButton());
        QCOMPARE(c.state(), OnboardingState::skipped);
        // The skip stops the poll; a late grant no longer counts.
        QVERIFY(!c.isPolling());
        QVERIFY(rig.completions.empty());
        QTRY_COMPARE(c.state(), OnboardingState::musicSelection);
        QVERIFY(rig.completions.empty());
        QTRY_VERIFY(settled(c));
        clickButton(c.contentView()->musicSelectionView()->saveButton());
        QCOMPARE(rig.completions, std::vector<bool>{true});
        QTRY_VERIFY(!c.panel());
    }

    void alreadyTrustedShowsNothing() {
        OnboardingRig rig(QStringLiteral("trusted"));
        auto& c = *rig.controller;
        rig.accessibility->forceTrusted(true);
        c.show(true);
        QCOMPARE(rig.completions, std::vector<bool>{true});
        QCOMPARE(c.state(), OnboardingState::granted);
        QVERIFY(!c.panel());
        QVERIFY(!c.isVisible());
        QVERIFY(!c.isPolling());
        // Every call answers again, whatever the flow.
        c.show(false);
        QCOMPARE(rig.completions, (std::vector<bool>{true, true}));
        QVERIFY(!c.panel());
        const QStringList log = TestEnvironment::debugLogMessages();
        QCOMPARE(
            log.value(0),
            QStringLiteral("Onboarding: show(withWelcome: true) called, current state: needsPermission"));
        QCOMPARE(log.value(1), QStringLiteral("Onboarding: Permission already granted, skipping onboarding"));
        QCOMPARE(log.value(2),
                 QStringLiteral("Onboarding: show(withWelcome: false) called, current state: granted"));
        QCOMPARE(count(log, QStringLiteral("Onboarding: Permission already granted, skipping onboarding")),
                 2);
    }

    void minimisingCallsNothing() {
        OnboardingRig rig(QStringLiteral("minimise"));
        auto& c = *rig.controller;
        c.show(true);
        c.requestAccessibility();
        clickButton(permissionPage(c)->closeButton());
        QVERIFY(!c.isPolling());
        QCOMPARE(c.state(), OnboardingState::waitingForGrant);
        QTRY_VERIFY(!c.panel());
        QVERIFY(!c.isVisible());
        QVERIFY(rig.completions.empty());

        // Shown again while still waiting: the poll comes back, so a later grant is seen.
        c.show(true);
        QCOMPARE(c.state(), OnboardingState::waitingForGrant);
        QVERIFY(c.isPolling());
        QVERIFY(c.panel());

        // A close request of the window manager minimises too.
        QTRY_COMPARE(c.panel()->opacity(), 1.0);
        QCloseEvent request;
        QSpontaneKeyEvent::setSpontaneous(&request);
        // notify() keeps the event spontaneous, as the window system's own delivery does.
        qApp->notify(c.panel(), &request);
        QVERIFY(!request.isAccepted());
        QVERIFY(!c.isPolling());
        QTRY_VERIFY(!c.panel());
        QVERIFY(rig.completions.empty());
        QCOMPARE(count(TestEnvironment::debugLogMessages(),
                       QStringLiteral("Onboarding: minimizeToMenuBar() called")),
                 2);

        // With no poll running, minimising still says it stops one.
        TestEnvironment::clearDebugLog();
        c.minimizeToMenuBar();
        QCOMPARE(TestEnvironment::debugLogMessages(),
                 (QStringList{QStringLiteral("Onboarding: minimizeToMenuBar() called"),
                              QStringLiteral("Onboarding: Stopping permission polling")}));

        // A close from the program itself (a quit that closes every window) is not refused.
        c.show(true);
        QVERIFY(c.panel()->close());
    }

    void musicSelectionSavedAgainCallsTheHandlerAgain() {
        OnboardingRig rig(QStringLiteral("musicAgain"));
        auto& c = *rig.controller;
        c.show(true);
        rig.alertAnswers = {0};
        clickButton(permissionPage(c)->skipButton());
        QTRY_VERIFY(c.state() == OnboardingState::musicSelection && settled(c));
        clickButton(c.contentView()->musicSelectionView()->saveButton());
        QCOMPARE(rig.completions, std::vector<bool>{true});
        QTRY_VERIFY(!c.panel());

        c.showMusicSelection();
        QCOMPARE(c.state(), OnboardingState::musicSelection);
        QVERIFY(!c.showWelcomeText());
        QVERIFY(!c.showMusicSelectionAfterPermission());
        QVERIFY(c.panel());
        // Straight onto the music page, no page switch.
        QVERIFY(settled(c));
        MusicSelectionView* music = c.contentView()->musicSelectionView();
        QVERIFY(music && music->isVisible());
        music->chooseTarget(TargetServiceOption::tidal);
        clickButton(music->saveButton());
        QCOMPARE(rig.completions, (std::vector<bool>{true, true}));
        QCOMPARE(rig.settings->targetService(), TargetServiceOption::tidal);
        QTRY_VERIFY(!c.panel());
        QVERIFY(TestEnvironment::debugLogMessages().contains(
            QStringLiteral("Onboarding: Music selection window shown")));
    }

    void pollRunsOnceAndOnlyUntilTheGrant() {
        OnboardingRig rig(QStringLiteral("poll"));
        auto& c = *rig.controller;
        c.show(true);
        c.requestAccessibility();
        c.requestAccessibility();
        QVERIFY(c.isPolling());
        QCOMPARE(rig.permissionPaneOpened, 2);

        // The music page shown meanwhile does not stop the poll, and drops the follow-up page.
        c.showMusicSelection();
        QVERIFY(c.isPolling());
        rig.accessibility->forceTrusted(true);
        QTRY_COMPARE(c.state(), OnboardingState::granted);
        QVERIFY(!c.isPolling());
        QTRY_COMPARE(rig.completions, std::vector<bool>{true});
        QTRY_VERIFY(!c.panel());
        QTest::qWait(100);
        const QStringList log = TestEnvironment::debugLogMessages();
        QCOMPARE(count(log, QStringLiteral("Onboarding: Permission granted detected via polling")), 1);
        QCOMPARE(count(log, QStringLiteral("Onboarding: Starting permission polling")), 2);
        QCOMPARE(c.state(), OnboardingState::granted);
    }

    void showingAgainWhileVisible() {
        OnboardingRig rig(QStringLiteral("again"));
        auto& c = *rig.controller;
        c.show(true);
        c.requestAccessibility();
        Panel* panel = c.panel();
        TestEnvironment::clearDebugLog();
        // Waiting: only brought to the front; the flow's flags stay.
        c.show(false);
        QCOMPARE(c.panel(), panel);
        QVERIFY(c.showWelcomeText());
        QVERIFY(c.showMusicSelectionAfterPermission());
        QCOMPARE(c.state(), OnboardingState::waitingForGrant);
        QCOMPARE(TestEnvironment::debugLogMessages().value(1),
                 QStringLiteral("Onboarding: Already waiting for grant, bringing to front"));

        // On the music page the show starts the permission step again in the same panel.
        c.skip();
        QTRY_COMPARE(c.state(), OnboardingState::musicSelection);
        TestEnvironment::clearDebugLog();
        c.show(false);
        QCOMPARE(c.state(), OnboardingState::needsPermission);
        QCOMPARE(c.panel(), panel);
        QVERIFY(!c.showWelcomeText());
        QCOMPARE(c.panel()->opacity(), 0.0);
        QTRY_COMPARE(c.panel()->opacity(), 1.0);
        QVERIFY(TestEnvironment::debugLogMessages().contains(QStringLiteral("Onboarding: Window shown")));
        QTRY_VERIFY(settled(c));
        QVERIFY(permissionPage(c)->isVisible());
    }

    void closingDuringTheDelayAfterAGrant() {
        // First run: the step still moves on although nothing is shown, and nobody is told.
        {
            OnboardingRig rig(QStringLiteral("closeFirstRun"));
            auto& c = *rig.controller;
            c.show(true);
            c.requestAccessibility();
            rig.accessibility->forceTrusted(true);
            QTRY_COMPARE(c.state(), OnboardingState::granted);
            c.minimizeToMenuBar();
            QTRY_COMPARE(c.state(), OnboardingState::musicSelection);
            QVERIFY(!c.panel());
            QVERIFY(rig.completions.empty());
        }
        // Enable hotkey: the handler still hears of the grant.
        {
            OnboardingRig rig(QStringLiteral("closeHotkey"));
            auto& c = *rig.controller;
            c.show(false);
            c.requestAccessibility();
            rig.accessibility->forceTrusted(true);
            QTRY_COMPARE(c.state(), OnboardingState::granted);
            c.minimizeToMenuBar();
            QTRY_COMPARE(rig.completions, std::vector<bool>{true});
            QVERIFY(!c.isVisible());
        }
    }

    void permissionPageFollowsTheState() {
        // Long enough after the grant to look at the granted page.
        auto timing = OnboardingRig::shortTiming();
        timing.grantDelay = std::chrono::milliseconds(3000);
        OnboardingRig rig(QStringLiteral("page"), timing);
        auto& c = *rig.controller;
        c.show(true);
        OnboardingPermissionPage* page = permissionPage(c);
        QVERIFY(page->allowButton()->isEnabled());
        QVERIFY(page->skipButton()->isEnabled());
        QVERIFY(!page->quitButton()->isVisible());

        c.requestAccessibility();
        QVERIFY(!page->allowButton()->isEnabled());
        QVERIFY(page->quitButton()->isVisible());
        QVERIFY(page->skipButton()->isEnabled());
        // The Quit button sits in the top-right corner (the program test presses it).
        const QRect quit = page->quitButton()->geometry();
        QVERIFY(quit.right() > page->width() - 20 && quit.top() < 20);

        rig.accessibility->forceTrusted(true);
        QTRY_COMPARE(c.state(), OnboardingState::granted);
        QVERIFY(!page->skipButton()->isEnabled());
        QTRY_COMPARE(page->skipButton()->paintOpacity(), 0.0);
        QTRY_VERIFY(!page->quitButton()->isVisible());
        // An invisible skip link does not react.
        clickButton(page->skipButton());
        QVERIFY(rig.alerts.empty());
    }

    void draggingTheBackgroundMovesThePanel() {
        OnboardingRig rig(QStringLiteral("drag"));
        auto& c = *rig.controller;
        c.show(true);
        Panel* panel = c.panel();
        const QPoint centred = panel->frameOrigin();
        OnboardingContentView* content = c.contentView();
        const QPoint grab(330, 20);
        QTest::mousePress(content, Qt::LeftButton, {}, grab);
        QMouseEvent move(QEvent::MouseMove, QPointF(grab + QPoint(40, 25)),
                         QPointF(content->mapToGlobal(grab + QPoint(40, 25))), Qt::LeftButton, Qt::LeftButton,
                         {});
        QApplication::sendEvent(content, &move);
        QTest::mouseRelease(content, Qt::LeftButton, {}, grab + QPoint(40, 25));
        QCOMPARE(panel->frameOrigin(), centred + QPoint(40, 25));
        QVERIFY(c.isVisible());

        // The next presentation centres it again.
        c.showMusicSelection();
        QCOMPARE(c.panel()->frameOrigin(), centred);
    }

    void permissionWindowStoresTheAnswer() {
        const QString file = TestEnvironment::root() + QStringLiteral("/permission-consent");
        Accessibility accessibility(file);
        {
            AccessibilityPermissionWindow window(accessibility, AccessibilityPermissionWindow::Kind::ask);
            QCOMPARE(window.heading(),
                     QStringLiteral("Allow Ondari to observe Ctrl+Return in other applications?"));
            QVERIFY(window.allowButton() && window.denyButton() && !window.okButton());
            QSignalSpy answered(&window, &AccessibilityPermissionWindow::answered);
            window.show();
            clickButton(window.allowButton());
            QCOMPARE(answered.size(), 1);
            QCOMPARE(answered.at(0).at(0).toBool(), true);
            QVERIFY(accessibility.hasConsent());
        }
        {
            AccessibilityPermissionWindow window(accessibility, AccessibilityPermissionWindow::Kind::ask);
            window.show();
            clickButton(window.denyButton());
            QVERIFY(!accessibility.hasConsent());
        }
        {
            AccessibilityPermissionWindow window(accessibility,
                                                 AccessibilityPermissionWindow::Kind::waylandSession);
            QVERIFY(!window.allowButton() && window.okButton());
            QVERIFY(window.heading().contains(QStringLiteral("X11 session")));
            QVERIFY(window.explanation().contains(QStringLiteral("Convert button")));
            QVERIFY(window.explanation().contains(QStringLiteral("skip")));
            window.show();
            clickButton(window.okButton());
            QVERIFY(!window.isVisible());
            QVERIFY(!accessibility.hasConsent());
        }
    }

    void allowOpensThePermissionWindowByDefault() {
        const QString dir = TestEnvironment::root() + QStringLiteral("/defaultOpener");
        QDir().mkpath(dir);
        UserDefaults defaults(dir + QStringLiteral("/settings.ini"));
        SettingsManager settings(defaults,
                                 LoginItem(dir, QStringLiteral("org.ondari.Test"), QStringLiteral("/x")));
        Accessibility accessibility(dir + QStringLiteral("/consent"));
        ColorScheme scheme;
        OnboardingWindowController::Collaborators parts;
        parts.settings = &settings;
        parts.accessibility = &accessibility;
        parts.colorScheme = &scheme;
        parts.alerts = std::make_shared<FunctionAlertPresenter>(nullptr);
        parts.timing = OnboardingRig::shortTiming();
        OnboardingWindowController c(parts);
        c.requestAccessibility();
        QVERIFY(AccessibilityPermissionWindow::current());
        QVERIFY(AccessibilityPermissionWindow::current()->isVisible());
        QVERIFY(TestEnvironment::debugLogMessages().contains(
            QStringLiteral("Onboarding: Opened the Ctrl+Return permission window")));
        // Opening it again raises the same window.
        AccessibilityPermissionWindow* first = AccessibilityPermissionWindow::current();
        QCOMPARE(AccessibilityPermissionWindow::open(accessibility), first);
        // Closed without a grant (Don't Allow, Escape, its close button): Allow is offered again.
        QCOMPARE(c.state(), OnboardingState::waitingForGrant);
        first->reject();
        QCOMPARE(c.state(), OnboardingState::needsPermission);
        QVERIFY(!c.isPolling());
        c.minimizeToMenuBar();
    }

    void closingThePermissionPaneAfterAGrantChangesNothing() {
        OnboardingRig rig(QStringLiteral("paneAfterGrant"));
        auto& c = *rig.controller;
        c.show(true);
        c.requestAccessibility();
        rig.accessibility->forceTrusted(true);
        rig.closePermissionPane();
        QCOMPARE(c.state(), OnboardingState::waitingForGrant);
        QTRY_COMPARE(c.state(), OnboardingState::granted);
        // A late close, once the page has moved on, changes nothing either.
        rig.accessibility->forceTrusted(false);
        rig.closePermissionPane();
        QCOMPARE(c.state(), OnboardingState::granted);
    }
};

ONDARI_WIDGET_TEST_MAIN(OnboardingTest)
#include "tst_onboarding.moc"

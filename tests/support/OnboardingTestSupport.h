#pragma once

#include "Accessibility.h"
#include "ColorScheme.h"
#include "LoginItem.h"
#include "ModalAlert.h"
#include "OnboardingStyle.h"
#include "OnboardingWindowController.h"
#include "SettingsManager.h"
#include "TestEnvironment.h"
#include "UserDefaults.h"
#include "WidgetTestMain.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QTest>

#include <functional>
#include <memory>
#include <vector>

// Clicks a button where it takes clicks (a grow-on-hover button only within its content).
inline void clickButton(QAbstractButton* button) {
    QVERIFY(button);
    QPoint at = button->rect().center();
    if (auto* scaled = qobject_cast<HoverScaleButton*>(button)) {
        at = scaled->contentRect().center().toPoint();
    }
    QTest::mouseClick(button, Qt::LeftButton, {}, at);
}

// A fresh settings store, permission check, colour scheme and scripted alerts for one
// onboarding controller with short timings.
struct OnboardingRig {
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<SettingsManager> settings;
    std::unique_ptr<Accessibility> accessibility;
    std::unique_ptr<ColorScheme> colorScheme;
    std::vector<AlertRequest> alerts;
    // Answers of the skip alert, in order; Cancel (1) when they run out.
    std::vector<int> alertAnswers;
    int permissionPaneOpened = 0;
    // Closes the last opened permission pane (as "Don't Allow", Escape or its close button do).
    std::function<void()> closePermissionPane;
    // Completion handler calls, in order.
    std::vector<bool> completions;
    std::unique_ptr<OnboardingWindowController> controller;

    static OnboardingWindowController::Timing shortTiming() {
        OnboardingWindowController::Timing timing;
        timing.pollInterval = std::chrono::milliseconds(20);
        timing.grantDelay = std::chrono::milliseconds(120);
        timing.skipDelay = std::chrono::milliseconds(60);
        timing.fadeIn = std::chrono::milliseconds(20);
        timing.fadeOut = std::chrono::milliseconds(20);
        return timing;
    }

    explicit OnboardingRig(const QString& name, OnboardingWindowController::Timing timing = shortTiming()) {
        const QString dir = TestEnvironment::root() + QStringLiteral("/") + name;
        QDir().mkpath(dir);
        QFile::remove(dir + QStringLiteral("/settings.ini"));
        QFile::remove(dir + QStringLiteral("/consent"));
        defaults = std::make_unique<UserDefaults>(dir + QStringLiteral("/settings.ini"));
        settings = std::make_unique<SettingsManager>(
            *defaults, LoginItem(dir + QStringLiteral("/autostart"), QStringLiteral("org.ondari.Test"),
                                 QStringLiteral("/opt/ondari/ondari")));
        accessibility = std::make_unique<Accessibility>(dir + QStringLiteral("/consent"));
        accessibility->forceTrusted(false);
        // An X11 session with RECORD: the permission can be granted (tests of other sessions say so).
        accessibility->forceSessionCanObserveKeys(true);
        colorScheme = std::make_unique<ColorScheme>();
        colorScheme->setOverride(ColorScheme::Scheme::light);

        OnboardingWindowController::Collaborators parts;
        parts.settings = settings.get();
        parts.accessibility = accessibility.get();
        parts.colorScheme = colorScheme.get();
        parts.alerts = std::make_shared<FunctionAlertPresenter>([this](const AlertRequest& alert) {
            alerts.push_back(alert);
            if (alertAnswers.empty()) {
                return 1;
            }
            const int answer = alertAnswers.front();
            alertAnswers.erase(alertAnswers.begin());
            return answer;
        });
        parts.openPermissionPane = [this](std::function<void()> closed) {
            ++permissionPaneOpened;
            closePermissionPane = std::move(closed);
            return true;
        };
        parts.timing = timing;
        controller = std::make_unique<OnboardingWindowController>(parts);
        controller->onComplete = [this](bool granted) { completions.push_back(granted); };
    }
};

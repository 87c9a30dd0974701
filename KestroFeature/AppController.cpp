#include "AppController.h"

#include "Accessibility.h"
#include "ClipboardMonitor.h"
#include "ColorScheme.h"
#include "DebugLog.h"
#include "GlobalHotkey.h"
#include "KestroResources.h"
#include "MenuBarTooltipWindowController.h"
#include "MenuTracking.h"
#include "OnboardingWindowController.h"
#include "OndariVersion.h"
#include "Panel.h"
#include "SettingsManager.h"
#include "StatusItem.h"
#include "SubtitledMenuAction.h"
#include "Termination.h"
#include "TextCounting.h"
#include "ToastWindow.h"
#include "UpdateManager.h"

#include <QActionGroup>
#include <QDialog>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

namespace {

constexpr int tooltipDelayMs = 400;
constexpr qsizetype pendingTooltipLength = 40;

QString flag(bool value) {
    return value ? QStringLiteral("true") : QStringLiteral("false");
}

template <typename T> bool holds(const QAction* action) {
    return action && action->data().metaType() == QMetaType::fromType<T>();
}

QAction* addAction(QMenu* menu, const QString& title, QObject* context, std::function<void()> handler) {
    QAction* action = menu->addAction(title);
    QObject::connect(action, &QAction::triggered, context, [handler = std::move(handler)] { handler(); });
    return action;
}

QAction* addCheckable(QMenu* menu, const QString& title, bool checked, QObject* context,
                      std::function<void()> handler) {
    QAction* action = addAction(menu, title, context, std::move(handler));
    action->setCheckable(true);
    action->setChecked(checked);
    return action;
}

QString pendingTooltip(const QString& link) {
    if (!TextCounting::exceeds(link, pendingTooltipLength)) {
        return link;
    }
    return TextCounting::prefix(link, pendingTooltipLength) + QStringLiteral("...");
}

} // namespace

AppController::Collaborators AppController::sharedCollaborators() {
    Collaborators c{&SettingsManager::shared(),
                    &ClipboardMonitor::shared(),
                    &GlobalHotkey::shared(),
                    nullptr,
                    &OnboardingWindowController::shared(),
                    &ToastWindowController::shared(),
                    &Accessibility::shared(),
                    &MenuTracking::shared(),
                    LoginItem::mainApp(),
                    [] { return std::make_unique<StatusItem>(); },
                    std::make_unique<MenuBarTooltipWindowController>(),
                    &Termination::terminateApplication};
    return c;
}

AppController::AppController(Collaborators c, QObject* parent)
    : QObject(parent), m_settings(*c.settings), m_clipboard(*c.clipboard), m_hotkey(*c.hotkey),
      m_updates(c.updates), m_onboarding(*c.onboarding), m_accessibility(*c.accessibility),
      m_menuTracking(*c.menuTracking), m_loginItem(std::move(c.loginItem)),
      m_makeStatusItem(std::move(c.makeStatusItem)), m_terminate(std::move(c.terminate)),
      m_toastController(*c.toast), m_tooltipController(std::move(c.tooltip)) {}

AppController::~AppController() = default;

UpdateManager& AppController::updates() {
    return m_updates ? *m_updates : UpdateManager::shared();
}

AppController& AppController::shared() {
    static AppController* instance = new AppController(sharedCollaborators());
    return *instance;
}

void AppController::setup() {
    debugLog(QStringLiteral("AppController setup started"));
    setupMenuBar();
    debugLog(QStringLiteral("Menu bar setup complete"));
    (void)updates();
    debugLog(QStringLiteral("UpdateManager initialized"));

    QPointer<AppController> self(this);
    m_onboarding.onComplete = [self](bool granted) {
        QTimer::singleShot(0, self, [self, granted] {
            if (self) {
                self->completeSetup(granted);
            }
        });
    };

    if (m_accessibility.isTrusted()) {
        debugLog(QStringLiteral("Accessibility permission already granted, skipping onboarding"));
        completeSetup(true);
    } else if (m_settings.hasCompletedOnboarding() && !m_accessibility.sessionCanObserveKeys()) {
        // The permission can never be granted in this session: asking again at every start
        // would only stand between the user and a working program.
        debugLog(QStringLiteral("Shortcut not available in this session, onboarding already completed"));
        completeSetup(false);
    } else {
        debugLog(QStringLiteral("Accessibility permission missing, showing onboarding"));
        m_onboarding.show(true);
    }
}

void AppController::setupMenuBar() {
    m_statusItem = m_makeStatusItem();
    m_statusItem->setImage(KestroResources::menuBarIcon());
    m_statusItem->setMenuGate([this] { return menuMayOpen(); });
    connect(m_statusItem.get(), &StatusItem::menuAboutToOpen, this, &AppController::menuWillOpen);
    connect(m_statusItem.get(), &StatusItem::menuOpenChanged, &m_menuTracking, &MenuTracking::setMenuOpen);
    connect(m_statusItem.get(), &StatusItem::trayAvailabilityChanged, this, [](bool available) {
        if (available) {
            debugLog(QStringLiteral("System tray available, showing the status icon"));
        }
    });
    if (!StatusItem::isTrayAvailable()) {
        debugLog(
            QStringLiteral("No system tray available: converting without a status icon until one appears"));
    }
    updateMenu(m_statusItem->menu());
}

void AppController::completeSetup(bool withHotkey) {
    debugLog(QStringLiteral("Completing app setup (withHotkey: %1)").arg(flag(withHotkey)));
    debugLog(QStringLiteral("ToastWindowController initialized"));
    m_clipboard.startMonitoring();
    if (withHotkey) {
        m_hotkey.registerHotkey();
        debugLog(QStringLiteral("Hotkey registered"));
    } else {
        debugLog(QStringLiteral("Hotkey registration skipped (no permission)"));
    }
    registerLoginItem();
    setupObservers();
    m_isOnboardingComplete = true;
    emit isOnboardingCompleteChanged(true);
    debugLog(QStringLiteral("AppController setup complete"));
    showMenuBarTooltipIfNeeded();
}

void AppController::registerLoginItem() {
    // Only a missing entry is written: an entry the user switched off stays off.
    if (m_leavesLoginItemAlone || QFile::exists(m_loginItem.entryPath())) {
        return;
    }
    QString error;
    if (!m_loginItem.registerItem(&error)) {
        std::printf("Failed to register login item: %s\n", qPrintable(error));
        std::fflush(stdout);
    }
}

void AppController::setupObservers() {
    // A repeated setup replaces the subscription instead of adding a second one.
    disconnect(m_enabledSubscription);
    QPointer<AppController> self(this);
    m_enabledSubscription = m_settings.subscribeIsEnabled(this, [self](bool enabled) {
        if (self) {
            self->updateMenuBarIcon(enabled);
        }
    });
}

void AppController::updateMenuBarIcon(bool isEnabled) {
    if (!m_statusItem) {
        return;
    }
    m_statusItem->setImage(KestroResources::menuBarIcon());
    m_statusItem->setAppearsDisabled(!isEnabled);
}

void AppController::showMenuBarTooltipIfNeeded() {
    if (m_settings.hasSeenMenuBarTooltip()) {
        debugLog(QStringLiteral("Menu bar tooltip already seen, skipping"));
        return;
    }
    if (!m_statusItem) {
        debugLog(QStringLiteral("Cannot show tooltip: no menu bar button"));
        return;
    }
    m_settings.setHasSeenMenuBarTooltip(true);
    // The tray reports the item's rectangle only a moment after it shows: read it when showing.
    QTimer::singleShot(tooltipDelayMs, Qt::PreciseTimer, this, [this] {
        if (m_statusItem->isVisibleInTray()) {
            m_tooltipController->show(m_statusItem->buttonRect());
        } else {
            // Without a tray the screen would stay empty after the onboarding: the bubble says
            // how the menu is reached instead.
            m_tooltipController->showWithoutTray();
        }
    });
    debugLog(QStringLiteral("Menu bar tooltip scheduled to show"));
}

bool AppController::menuMayOpen() {
    if (!m_isOnboardingComplete && !m_accessibility.isTrusted()) {
        m_onboarding.show(true);
        return false;
    }
    return true;
}

void AppController::menuWillOpen(QMenu* menu) {
    if (!menuMayOpen()) {
        // Only a menu the desktop draws gets here, and it cannot be closed: leave it empty.
        menu->clear();
        return;
    }
    updateMenu(menu);
}

void AppController::updateMenu(QMenu* menu) {
    menu->clear();
    const std::optional<QString> pendingURL = m_clipboard.pendingMusicURL();
    const std::optional<Platform> pendingPlatform = m_clipboard.pendingPlatform();
    const TargetServiceOption targetService = m_settings.targetService();

    if (m_settings.conversionMode() == ConversionMode::silent && pendingURL && pendingPlatform) {
        const QString tooltip = pendingTooltip(*pendingURL);
        if (targetService == TargetServiceOption::askEachTime) {
            QMenu* targets = menu->addMenu(QStringLiteral("Convert URL to..."));
            targets->setToolTipsVisible(true);
            targets->menuAction()->setToolTip(tooltip);
            for (Platform platform : Platforms::allCases()) {
                if (platform == *pendingPlatform) {
                    continue;
                }
                QAction* item = targets->addAction(Platforms::displayName(platform));
                item->setData(QVariant::fromValue(platform));
                connect(item, &QAction::triggered, this, [this, item] { convertPendingURLToTarget(item); });
            }
        } else if (targetService == TargetServiceOption::universalLink) {
            addAction(menu, QStringLiteral("Convert to Universal Link"), this, [this] {
                convertPendingURL();
            })->setToolTip(tooltip);
        } else {
            // Name the service the link really goes to: for a link of the target service under
            // two-way conversion that is the source service.
            const std::optional<Platform> target = m_settings.targetPlatform(*pendingPlatform);
            const QString name =
                target ? Platforms::displayName(*target) : SettingOptions::displayName(targetService);
            addAction(menu, QStringLiteral("Convert to ") + name, this, [this] {
                convertPendingURL();
            })->setToolTip(tooltip);
        }
        menu->addSeparator();
    }

    addAction(menu, QStringLiteral("Configure Music Services"), this, [this] { showMusicServiceConfig(); });

    QMenu* modes = menu->addMenu(QStringLiteral("Mode"));
    modes->setToolTipsVisible(true);
    const bool askEachTime = targetService == TargetServiceOption::askEachTime;
    // Where Qt draws the menu, the subtitles show as a second line; desktops that draw it
    // themselves show tooltips at most.
    const bool subtitles = m_statusItem && m_statusItem->drawsOwnMenu();
    // Choices that exclude each other show as radio items.
    auto* modeGroup = new QActionGroup(modes);
    for (ConversionMode mode : SettingOptions::allCases<ConversionMode>()) {
        QAction* item = nullptr;
        if (subtitles) {
            item = new SubtitledMenuAction(SettingOptions::displayName(mode),
                                           SettingOptions::description(mode), modes);
            modes->addAction(item);
        } else {
            item = modes->addAction(SettingOptions::displayName(mode));
        }
        item->setToolTip(SettingOptions::description(mode));
        item->setCheckable(true);
        item->setActionGroup(modeGroup);
        item->setChecked(mode == m_settings.conversionMode());
        item->setData(QVariant::fromValue(mode));
        if (askEachTime && mode == ConversionMode::automatic) {
            item->setEnabled(false);
            continue;
        }
        connect(item, &QAction::triggered, this, [this, item] { setMode(item); });
    }
    if (askEachTime) {
        modes->addSeparator();
        const QString note = QStringLiteral("Automatic is not available with Ask Each Time");
        if (subtitles) {
            modes->addAction(SubtitledMenuAction::note(note, modes));
        } else {
            modes->addAction(note)->setEnabled(false);
        }
    }

    QMenu* timeouts = menu->addMenu(QStringLiteral("Toast Timeout"));
    auto* timeoutGroup = new QActionGroup(timeouts);
    for (TimeoutOption option : SettingOptions::allCases<TimeoutOption>()) {
        const int seconds = static_cast<int>(SettingOptions::rawValue(option));
        QAction* item = timeouts->addAction(SettingOptions::displayName(option));
        item->setCheckable(true);
        item->setActionGroup(timeoutGroup);
        item->setChecked(m_settings.toastTimeout() == SettingOptions::rawValue(option));
        item->setData(seconds);
        connect(item, &QAction::triggered, this, [this, item] { setTimeout(item); });
    }

    addCheckable(menu, QStringLiteral("Show Song Preview"), m_settings.showURLPreview(), this,
                 [this] { togglePreview(); });
    addCheckable(menu, QStringLiteral("Launch at Login"), m_settings.launchAtLogin(), this,
                 [this] { toggleLaunchAtLogin(); });
    if (!m_accessibility.isTrusted()) {
        addAction(menu, QStringLiteral("Enable Hotkey"), this, [this] { showEnableHotkey(); });
    }
    menu->addSeparator();
    addAction(menu, QStringLiteral("Check for Updates"), this, [this] {
        checkForUpdates();
    })->setEnabled(updates().canCheckForUpdates());
    addAction(menu, QStringLiteral("About Ondari"), this, [this] { showAbout(); });
    menu->addSeparator();
    addAction(menu, m_settings.isEnabled() ? QStringLiteral("Disable") : QStringLiteral("Enable"), this,
              [this] { toggleEnabled(); });
    addAction(menu, QStringLiteral("Quit"), this, [this] {
        quitApp();
    })->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
}

void AppController::toggleEnabled() {
    m_settings.setIsEnabled(!m_settings.isEnabled());
}

void AppController::checkForUpdates() {
    updates().checkForUpdates();
}

void AppController::convertPendingURL() {
    m_clipboard.convertPendingURL();
}

void AppController::convertPendingURLToTarget(QAction* sender) {
    if (!holds<Platform>(sender)) {
        return;
    }
    m_clipboard.convertPendingURL(sender->data().value<Platform>());
}

void AppController::showMusicServiceConfig() {
    m_onboarding.showMusicSelection();
}

void AppController::setMode(QAction* sender) {
    if (!holds<ConversionMode>(sender)) {
        return;
    }
    m_settings.setConversionMode(sender->data().value<ConversionMode>());
}

void AppController::togglePreview() {
    m_settings.setShowURLPreview(!m_settings.showURLPreview());
}

void AppController::toggleLaunchAtLogin() {
    m_settings.setLaunchAtLogin(!m_settings.launchAtLogin());
}

void AppController::showEnableHotkey() {
    QPointer<AppController> self(this);
    m_onboarding.onComplete = [self](bool granted) {
        QTimer::singleShot(0, self, [self, granted] {
            if (self && granted) {
                self->m_hotkey.registerHotkey();
                debugLog(QStringLiteral("Hotkey registered after Enable Hotkey flow"));
            }
        });
    };
    m_onboarding.show(false);
}

void AppController::setTimeout(QAction* sender) {
    if (!holds<int>(sender)) {
        return;
    }
    m_settings.setToastTimeout(static_cast<double>(sender->data().toInt()));
}

QString AppController::creditsHtml() {
    const bool dark = ColorScheme::shared().isDark();
    const QString secondary =
        dark ? QStringLiteral("rgba(255,255,255,0.55)") : QStringLiteral("rgba(0,0,0,0.50)");
    const QString tertiary =
        dark ? QStringLiteral("rgba(255,255,255,0.25)") : QStringLiteral("rgba(0,0,0,0.26)");
    const QString site = QStringLiteral(ONDARI_WEBSITE_URL);
    const QString separator =
        QStringLiteral("<span style=\"color:%1\">&nbsp;&nbsp;|&nbsp;&nbsp;</span>").arg(tertiary);
    // Links without an underline: at this size it runs through the descenders ("SongLink" would
    // read "SonqLink"); the link colour still marks them.
    return QStringLiteral("<div align=\"center\" style=\"font-size:11px\">"
                          "<span style=\"color:%1\">Powered by <a style=\"text-decoration:none\" "
                          "href=\"%2\">SongLink</a></span><br><br>"
                          "<a style=\"text-decoration:none\" href=\"%3/privacy\">Privacy Policy</a>%4"
                          "<a style=\"text-decoration:none\" href=\"%3/terms\">Terms</a>%4"
                          "<a style=\"text-decoration:none\" href=\"mailto:%5\">Contact</a></div>")
        .arg(secondary, QStringLiteral(ONDARI_SERVICE_PAGE_URL), site, separator,
             QStringLiteral(ONDARI_SUPPORT_EMAIL));
}

void AppController::showAbout() {
    if (!m_about) {
        auto* dialog = new QDialog();
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->setWindowTitle(QStringLiteral("About Ondari"));
        auto* layout = new QVBoxLayout(dialog);
        auto* icon = new QLabel(dialog);
        icon->setPixmap(KestroResources::appIcon().pixmap(64, 64));
        icon->setAlignment(Qt::AlignCenter);
        auto* name = new QLabel(QStringLiteral("Ondari"), dialog);
        QFont nameFont = name->font();
        nameFont.setPixelSize(13);
        nameFont.setWeight(QFont::Bold);
        name->setFont(nameFont);
        name->setAlignment(Qt::AlignCenter);
        auto* version = new QLabel(QStringLiteral("Version %1").arg(QStringLiteral(ONDARI_VERSION)), dialog);
        version->setAlignment(Qt::AlignCenter);
        auto* credits = new QLabel(creditsHtml(), dialog);
        credits->setTextFormat(Qt::RichText);
        credits->setOpenExternalLinks(true);
        credits->setAlignment(Qt::AlignCenter);
        layout->addWidget(icon);
        layout->addWidget(name);
        layout->addWidget(version);
        layout->addWidget(credits);
        dialog->setWindowIcon(KestroResources::appIcon());
        m_about = dialog;
    }
    Panel::keepAboveShownPanels(m_about);
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}

void AppController::quitApp() {
    m_clipboard.stopMonitoring();
    m_hotkey.unregisterHotkey();
    m_terminate();
}

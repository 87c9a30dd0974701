#include "UpdateManager.h"

#include "DebugLog.h"
#include "Panel.h"
#include "UserDefaults.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace {

QString appName() {
    return QGuiApplication::applicationDisplayName();
}

QMessageBox* makeBox(const QString& title, const QString& text) {
    auto* box = new QMessageBox();
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(appName());
    // The texts hold what the update feed says: never markup, never a link to follow.
    box->setTextFormat(Qt::PlainText);
    box->setText(title);
    box->setInformativeText(text);
    // The box's text format does not reach its second label.
    if (auto* informative = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
        informative->setTextFormat(Qt::PlainText);
    }
    const QIcon icon = QApplication::windowIcon();
    if (icon.isNull()) {
        box->setIcon(QMessageBox::Information);
    } else {
        box->setIconPixmap(icon.pixmap(64, 64));
    }
    return box;
}

void showBox(QMessageBox* box) {
    // A message box is modal by default; these only inform, and the toast and the tray menu
    // must keep working while one is open.
    box->setWindowModality(Qt::NonModal);
    Panel::keepAboveShownPanels(box);
    box->show();
    box->raise();
    box->activateWindow();
}

} // namespace

MessageBoxUpdatePresenter& MessageBoxUpdatePresenter::shared() {
    static MessageBoxUpdatePresenter instance;
    return instance;
}

void MessageBoxUpdatePresenter::showUpToDate(const QString& currentVersion) {
    QMessageBox* box =
        makeBox(QStringLiteral("You’re up to date!"),
                QStringLiteral("%1 %2 is the newest version available.").arg(appName(), currentVersion));
    box->setStandardButtons(QMessageBox::Ok);
    showBox(box);
}

void MessageBoxUpdatePresenter::offerUpdate(const AppcastItem& item, const QString& currentVersion,
                                            std::function<void()> onDownload) {
    QMessageBox* box = makeBox(QStringLiteral("A new version of %1 is available!").arg(appName()),
                               QStringLiteral("%1 %2 is now available (you have %3).")
                                   .arg(appName(), item.displayVersion, currentVersion));
    QPushButton* download = nullptr;
    if (item.downloadPage.isValid()) {
        download = box->addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
        box->setDefaultButton(download);
    }
    QPushButton* later = box->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    box->setEscapeButton(later);
    QObject::connect(box, &QMessageBox::buttonClicked, box,
                     [download, onDownload = std::move(onDownload)](QAbstractButton* clicked) {
                         // Decided by the button, not its place: desktops order buttons differently.
                         if (download && clicked == download) {
                             onDownload();
                         }
                     });
    showBox(box);
}

void MessageBoxUpdatePresenter::showCheckFailed(const QString& error) {
    QMessageBox* box =
        makeBox(QStringLiteral("Update Error!"),
                QStringLiteral("The update information could not be retrieved. Please try again later."));
    box->setDetailedText(error);
    box->setStandardButtons(QMessageBox::Ok);
    showBox(box);
}

void MessageBoxUpdatePresenter::showNotConfigured() {
    QMessageBox* box =
        makeBox(QStringLiteral("Updates are not available"),
                QStringLiteral("This build of %1 has no update feed address, so it cannot check for updates.")
                    .arg(appName()));
    box->setStandardButtons(QMessageBox::Ok);
    showBox(box);
}

void MessageBoxUpdatePresenter::openDownloadPage(const QUrl& page) {
    QDesktopServices::openUrl(page);
}

UpdateManager::UpdateManager(UserDefaults& defaults, Updater::Config config, UpdatePresenter& presenter,
                             QObject* parent)
    : QObject(parent), m_presenter(presenter) {
    // A stored answer, true or false, is the user's and stays.
    if (!defaults.hasValue(Updater::automaticChecksKey)) {
        defaults.setBool(Updater::automaticChecksKey, true);
    }
    m_updaterController = new Updater(std::move(config), defaults, this);
    m_updaterController->start();
    setupBindings();
    debugLog(QStringLiteral("UpdateManager initialized"));
}

UpdateManager& UpdateManager::shared() {
    static UpdateManager* instance = new UpdateManager(UserDefaults::standard(), Updater::Config::standard(),
                                                       MessageBoxUpdatePresenter::shared());
    return *instance;
}

void UpdateManager::setupBindings() {
    // The current value first, then every change, each delivered on a later turn of the loop.
    const bool current = m_updaterController->canCheckForUpdates();
    QMetaObject::invokeMethod(
        this, [this, current] { setCanCheckForUpdates(current); }, Qt::QueuedConnection);
    connect(m_updaterController, &Updater::canCheckForUpdatesChanged, this,
            &UpdateManager::setCanCheckForUpdates, Qt::QueuedConnection);
    connect(m_updaterController, &Updater::checkFinished, this, &UpdateManager::present);
}

void UpdateManager::checkForUpdates() {
    debugLog(QStringLiteral("Manual update check triggered"));
    m_updaterController->checkForUpdates();
}

void UpdateManager::setCanCheckForUpdates(bool canCheck) {
    m_canCheckForUpdates = canCheck;
    emit canCheckForUpdatesChanged(canCheck);
}

void UpdateManager::present(const UpdateCheckResult& result, bool userInitiated) {
    const QString current = m_updaterController->config().currentVersion;
    switch (result.kind) {
    case UpdateCheckResult::Kind::updateAvailable: {
        // A background check offers each version once per run; the user's check always answers.
        if (!userInitiated && m_offeredInBackground.contains(result.item.version)) {
            return;
        }
        if (!userInitiated) {
            m_offeredInBackground.insert(result.item.version);
        }
        const QUrl page = result.item.downloadPage;
        m_presenter.offerUpdate(result.item, current, [self = QPointer<UpdateManager>(this), page] {
            if (self) {
                self->m_presenter.openDownloadPage(page);
            }
        });
        return;
    }
    case UpdateCheckResult::Kind::upToDate:
        if (userInitiated) {
            m_presenter.showUpToDate(current);
        }
        return;
    case UpdateCheckResult::Kind::failed:
        if (userInitiated) {
            m_presenter.showCheckFailed(result.error);
        }
        return;
    case UpdateCheckResult::Kind::notConfigured:
        m_presenter.showNotConfigured();
        return;
    }
}

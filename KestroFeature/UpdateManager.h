#pragma once

#include "Updater.h"

#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>

#include <functional>

class UserDefaults;

// What the user sees of an update check.
class UpdatePresenter {
public:
    virtual ~UpdatePresenter() = default;
    virtual void showUpToDate(const QString& currentVersion) = 0;
    // onDownload runs when the user chooses to get the new version.
    virtual void offerUpdate(const AppcastItem& item, const QString& currentVersion,
                             std::function<void()> onDownload) = 0;
    virtual void showCheckFailed(const QString& error) = 0;
    virtual void showNotConfigured() = 0;
    virtual void openDownloadPage(const QUrl& page) = 0;
};

// Message boxes that do not block the event loop; pages open in the user's browser.
class MessageBoxUpdatePresenter : public UpdatePresenter {
public:
    static MessageBoxUpdatePresenter& shared();

    void showUpToDate(const QString& currentVersion) override;
    void offerUpdate(const AppcastItem& item, const QString& currentVersion,
                     std::function<void()> onDownload) override;
    void showCheckFailed(const QString& error) override;
    void showNotConfigured() override;
    void openDownloadPage(const QUrl& page) override;
};

// Starts the updater once, makes automatic checks the default, mirrors the updater's
// can-check flag for the status menu and runs the checks the user asks for.
class UpdateManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    UpdateManager(UserDefaults& defaults, Updater::Config config, UpdatePresenter& presenter,
                  QObject* parent = nullptr);

    static UpdateManager& shared();

    // False until the updater's first value has arrived, and while a check runs.
    bool canCheckForUpdates() const { return m_canCheckForUpdates; }
    void checkForUpdates();

    Updater& updaterController() { return *m_updaterController; }

signals:
    // Every assignment is announced, also of an unchanged value.
    void canCheckForUpdatesChanged(bool canCheck);

private:
    void setupBindings();
    void setCanCheckForUpdates(bool canCheck);
    void present(const UpdateCheckResult& result, bool userInitiated);

    Updater* m_updaterController = nullptr;
    bool m_canCheckForUpdates = false;
    UpdatePresenter& m_presenter;
    // Versions a background check has offered in this run; each is offered once.
    QSet<QString> m_offeredInBackground;
};

#pragma once

#include "ConversionQueue.h"
#include "FakePasteboard.h"
#include "LoginItem.h"
#include "MenuTracking.h"
#include "RecordingLinkMemory.h"
#include "ScriptedSongLinkService.h"
#include "SettingsManager.h"
#include "UserDefaults.h"

#include <QString>

#include <memory>

// A real conversion queue on a scripted API client and a fake clipboard, with settings in a file
// of their own. Test classes derive from it to build it anew for each test and use its members
// by name.
struct QueueRig {
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<SettingsManager> settings;
    std::unique_ptr<FakePasteboard> pasteboard;
    std::unique_ptr<ScriptedSongLinkService> api;
    std::unique_ptr<MenuTracking> menu;
    std::unique_ptr<RecordingLinkMemory> memory;
    std::unique_ptr<ConversionQueue> queue;

    QueueRig() = default;
    ~QueueRig() { tearDownQueue(); }
    QueueRig(const QueueRig&) = delete;
    QueueRig& operator=(const QueueRig&) = delete;

    void buildQueue(const QString& settingsPath, LoginItem loginItem);
    // Settings in a new numbered file <name>-<n>.conf of the test root; the login item goes to
    // the private config home.
    void buildQueue(const QString& name);

    // The queue's running tasks end with it, so it goes before the API client they point to.
    void stopQueue();
    void tearDownQueue();

private:
    int m_settingsFile = 0;
};

#include "QueueRig.h"

#include "TestEnvironment.h"

void QueueRig::buildQueue(const QString& settingsPath, LoginItem loginItem) {
    defaults = std::make_unique<UserDefaults>(settingsPath);
    settings = std::make_unique<SettingsManager>(*defaults, std::move(loginItem));
    pasteboard = std::make_unique<FakePasteboard>();
    api = std::make_unique<ScriptedSongLinkService>();
    menu = std::make_unique<MenuTracking>();
    memory = std::make_unique<RecordingLinkMemory>();
    queue = std::make_unique<ConversionQueue>(*settings, *api, *pasteboard, *menu, memory.get());
}

void QueueRig::buildQueue(const QString& name) {
    buildQueue(TestEnvironment::root() + QStringLiteral("/%1-%2.conf").arg(name).arg(++m_settingsFile),
               LoginItem(TestEnvironment::configHome() + QStringLiteral("/autostart"), QStringLiteral("t"),
                         QStringLiteral("/bin/true")));
}

void QueueRig::stopQueue() {
    queue.reset();
    api.reset();
}

void QueueRig::tearDownQueue() {
    stopQueue();
    memory.reset();
    menu.reset();
    pasteboard.reset();
    settings.reset();
    defaults.reset();
}

#pragma once

#include "Accessibility.h"
#include "ClipboardMonitor.h"
#include "ColorScheme.h"
#include "ConversionQueue.h"
#include "FakeSongLinkServer.h"
#include "MenuTracking.h"
#include "Pasteboard.h"
#include "SettingsManager.h"
#include "SongLinkService.h"
#include "ThreadTimer.h"
#include "ToastWindow.h"
#include "UserDefaults.h"
#include "WidgetTestMain.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <memory>

// The toast needs widgets, so these tests start like the widget tests, on a QApplication.
#define ONDARI_ROAD_TEST_MAIN(TestObject) ONDARI_WIDGET_TEST_MAIN(TestObject)

// The whole road of a copied link on the real X clipboard: watcher, queue, API client against
// the fake web service, and the toast on screen. Built anew for each test; Spotify links go to
// Apple Music, without the song preview (so only the conversion talks to the server).
struct Road {
    explicit Road(const QString& name,
                  std::chrono::milliseconds apiTimeout = SongLinkService::defaultTimeout);
    ~Road();

    FakeSongLinkServer server;
    QNetworkAccessManager network;
    std::unique_ptr<SongLinkService> api;
    std::unique_ptr<UserDefaults> defaults;
    std::unique_ptr<SettingsManager> settings;
    std::unique_ptr<Pasteboard> pasteboard;
    MenuTracking menu;
    std::unique_ptr<ConversionQueue> queue;
    std::unique_ptr<ClipboardMonitor> monitor;
    std::unique_ptr<Accessibility> accessibility;
    ColorScheme colorScheme;
    std::unique_ptr<ToastWindowController> toast;

    // What the toast shows now: "hidden", "prompt", "loading", "success" or
    // "error: <message> | <details or ->".
    QString shown() const;
};

// Another program on the same X display, through xclip.
namespace OtherProgram {
// Takes the clipboard with this content (xclip stays until another owner takes over). Extra
// arguments go to xclip, e.g. a target ("-t", "image/png") or an input file.
QProcess* copy(QObject* owner, const QByteArray& content, const QStringList& extra = {});
// What a paste gives now ("" when nothing is there); the event loop keeps running meanwhile.
QString paste();
// Ends the copies (stopped ones too) and waits a moment for Qt's notice of the clipboard's owner
// leaving, which belongs to the test that ends.
void endAll(QList<QPointer<QProcess>>& copies);
} // namespace OtherProgram

// The process's resident memory (VmRSS), and its highest value seen by a 10 ms timer on the GUI
// thread since start().
class MemoryMeter : public QObject {
public:
    MemoryMeter();
    static qint64 residentKiB();
    void start();
    void stop() { m_timer.stop(); }
    qint64 peakKiB() const { return m_peak; }

private:
    QTimer m_timer;
    qint64 m_peak = 0;
};

namespace RoadLog {
// How many debug log messages equal line.
qsizetype count(const QString& line);
// The messages that start with prefix, in order.
QStringList startingWith(const QString& prefix);
} // namespace RoadLog

// A made-up answer of the web service for a Spotify link: its Apple Music link is
// convertedLink(id), its song page pageLink(id).
QByteArray syntheticAnswer(const QString& trackId);
QString spotifyLink(const QString& trackId);
QString convertedLink(const QString& trackId);
QString pageLink(const QString& trackId);

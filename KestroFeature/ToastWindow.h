#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

class Accessibility;
class ColorScheme;
class ConversionQueue;
class Panel;
class QNetworkAccessManager;
class SettingsManager;
class ToastContentView;

// Owns the toast panel and follows the queue's visibility flag: every true builds a fresh
// panel and slides it in at the top right of the screen, every false slides the current one
// out and drops it. It decides nothing about what the toast shows.
class ToastWindowController : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds slideDuration{250};
    static constexpr int slideDistance = 20;

    // A network access manager is made when none is given (it loads the cover pictures).
    ToastWindowController(ConversionQueue& queue, SettingsManager& settings, Accessibility& accessibility,
                          ColorScheme& colorScheme, QNetworkAccessManager* network = nullptr,
                          QObject* parent = nullptr);
    ~ToastWindowController() override;

    static ToastWindowController& shared();

    void show();
    void hide();

    // The card's size, read from the settings now.
    double toastWidth() const;
    double toastHeight() const;
    QSize panelSize() const;

    // The panel on screen or sliding out, if any.
    Panel* panel() const;
    ToastContentView* contentView() const;

    // Where the panel rests in an available screen area (top-left coordinates).
    static QPoint restingOrigin(const QRect& availableArea, QSize panelSize);
    // The available area of the screen under the pointer, else of the primary screen; none
    // without a screen.
    static std::optional<QRect> currentAvailableArea();

    // Tests place the toast on an area of their own and shorten the slides.
    void setAvailableAreaProvider(std::function<std::optional<QRect>()> provider);
    void setSlideDuration(std::chrono::milliseconds duration) { m_slideDuration = duration; }

    // Builds the window of the next toast's panel ahead, while nothing is shown or a while after
    // a show, rather than when the toast is due: a toast is due while its conversion runs, and
    // making an X window then delays the converted link. The panel stays fresh: never shown,
    // its content made when it is shown. The program turns this on; `delay` is the wait after
    // a show (and after turning it on).
    void setBuildsPanelsAhead(bool ahead, std::chrono::milliseconds delay = std::chrono::seconds(1));
    // The panel built ahead, if one waits.
    Panel* sparePanel() const;

private:
    void setupObservers();
    void handleToastVisibilityChange(bool isVisible);
    Panel* createPanel();
    void positionPanel(Panel& panel);
    void scheduleSpare(std::chrono::milliseconds delay);
    void buildSpare();
    Panel* takeBarePanel();

    ConversionQueue& m_queue;
    SettingsManager& m_settings;
    Accessibility& m_accessibility;
    ColorScheme& m_colorScheme;
    QNetworkAccessManager* m_network;
    QPointer<Panel> m_panel;
    QPointer<Panel> m_spare;
    bool m_buildsAhead = false;
    std::chrono::milliseconds m_spareDelay{0};
    QTimer m_spareTimer;
    std::function<std::optional<QRect>()> m_availableArea;
    std::chrono::milliseconds m_slideDuration = slideDuration;
};

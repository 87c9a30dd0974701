#pragma once

#include <QIcon>
#include <QObject>
#include <QRect>
#include <QTimer>

#include <functional>

class QMenu;
class QSystemTrayIcon;
class TrayIconStyle;

// The program's icon in the system tray with its menu. A left click opens the menu too.
// Without a tray the item waits, and shows itself once a tray appears.
class StatusItem : public QObject {
    Q_OBJECT

public:
    // How often a missing tray is looked for again.
    static constexpr int trayPollMs = 2000;

    explicit StatusItem(QObject* parent = nullptr);
    ~StatusItem() override;

    // A mask image (only its shape counts) is coloured to read on the tray it sits in.
    void setImage(const QIcon& image);
    // Drawn dimmed, as a switched-off item is.
    virtual void setAppearsDisabled(bool disabled);
    bool appearsDisabled() const { return m_disabled; }

    QMenu* menu() const { return m_menu; }
    // Whether Qt draws the menu (an XEmbed tray); false where the desktop draws it
    // (StatusNotifierItem): no widget items, tooltips or fonts there, and it cannot be kept shut.
    bool drawsOwnMenu() const { return m_drawsOwnMenu; }
    // Asked before Qt opens the menu; false keeps it shut. Menus the desktop draws open anyway.
    void setMenuGate(std::function<bool()> mayOpen) { m_mayOpen = std::move(mayOpen); }

    // Opens the menu where the pointer is (the primary screen's centre where that is not known),
    // as a click on the icon would; the way to the menu where no tray shows the icon.
    void openMenuAtPointer();

    virtual bool isVisibleInTray() const;
    static bool isTrayAvailable();

    // The item's rectangle on screen; empty where the tray tells none. An XEmbed tray tells it
    // some moments after the icon shows, a StatusNotifier host never does.
    virtual QRect buttonRect() const;

    // The icon as drawn now (tests look at it).
    QIcon currentIcon() const;

signals:
    // Before the menu shows: the owner fills it (or empties it).
    void menuAboutToOpen(QMenu* menu);
    void menuOpenChanged(bool open);
    void trayAvailabilityChanged(bool available);

private:
    void applyIcon();
    void showWhenTrayAppears();
    void openMenu(QPoint at);

    QSystemTrayIcon* m_tray;
    TrayIconStyle* m_style;
    QMenu* m_menu;
    bool m_drawsOwnMenu = true;
    std::function<bool()> m_mayOpen;
    QIcon m_image;
    bool m_disabled = false;
    QTimer m_trayPoll;
};

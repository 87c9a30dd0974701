#include "StatusItem.h"

#include "TrayIconStyle.h"

#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QSystemTrayIcon>

StatusItem::StatusItem(QObject* parent)
    : QObject(parent), m_tray(new QSystemTrayIcon(this)), m_style(new TrayIconStyle(this)),
      m_menu(new QMenu()) {
    m_menu->setToolTipsVisible(true);
    m_tray->setContextMenu(m_menu);
    // A StatusNotifierItem tray exports the menu at once, which gives it a platform menu.
    m_drawsOwnMenu = m_menu->platformMenu() == nullptr;
    if (m_drawsOwnMenu) {
        // Qt would pop the menu up on a right click by itself; opened here, it can stay shut.
        m_tray->setContextMenu(nullptr);
    }
    m_style->setHost(m_drawsOwnMenu ? TrayIconStyle::Host::xembed : TrayIconStyle::Host::statusNotifier);
    connect(m_style, &TrayIconStyle::changed, this, &StatusItem::applyIcon);
    connect(m_menu, &QMenu::aboutToShow, this, [this] {
        emit menuOpenChanged(true);
        emit menuAboutToOpen(m_menu);
    });
    connect(m_menu, &QMenu::aboutToHide, this, [this] { emit menuOpenChanged(false); });
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // A status item opens its menu on a plain click as well.
        if (reason == QSystemTrayIcon::Trigger) {
            const QRect button = buttonRect();
            openMenu(button.isEmpty() ? QCursor::pos() : button.bottomLeft());
        } else if (reason == QSystemTrayIcon::Context && m_drawsOwnMenu) {
            openMenu(QCursor::pos());
        }
    });

    m_trayPoll.setInterval(trayPollMs);
    connect(&m_trayPoll, &QTimer::timeout, this, &StatusItem::showWhenTrayAppears);
}

StatusItem::~StatusItem() {
    m_tray->hide();
    delete m_menu;
}

void StatusItem::openMenu(QPoint at) {
    if (m_menu->isVisible() || (m_mayOpen && !m_mayOpen())) {
        return;
    }
    m_menu->popup(at);
}

void StatusItem::openMenuAtPointer() {
    QPoint at = QCursor::pos();
    if (!QGuiApplication::screenAt(at)) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        at = screen ? screen->geometry().center() : QPoint();
    }
    openMenu(at);
}

bool StatusItem::isTrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool StatusItem::isVisibleInTray() const {
    return m_tray->isVisible() && isTrayAvailable();
}

void StatusItem::showWhenTrayAppears() {
    if (!isTrayAvailable()) {
        return;
    }
    m_trayPoll.stop();
    m_tray->show();
    m_style->refresh();
    emit trayAvailabilityChanged(true);
}

void StatusItem::setImage(const QIcon& image) {
    m_image = image;
    applyIcon();
    // The item shows once it has an image; without a tray it waits for one.
    if (!m_tray->isVisible() && !m_trayPoll.isActive()) {
        if (isTrayAvailable()) {
            m_tray->show();
            m_style->refresh();
        } else {
            m_trayPoll.start();
        }
    }
}

void StatusItem::setAppearsDisabled(bool disabled) {
    m_disabled = disabled;
    applyIcon();
}

QIcon StatusItem::currentIcon() const {
    return m_tray->icon();
}

void StatusItem::applyIcon() {
    if (m_image.isMask()) {
        m_tray->setIcon(TrayIconStyle::paint(m_image, m_style->glyph(), m_disabled));
        return;
    }
    if (!m_disabled || m_image.isNull()) {
        m_tray->setIcon(m_image);
        return;
    }
    // Trays draw the normal mode only, so the dimmed look is painted into the pixmaps.
    QIcon dimmed;
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap source = m_image.pixmap(QSize(size, size));
        QPixmap faded(source.size());
        faded.setDevicePixelRatio(source.devicePixelRatio());
        faded.fill(Qt::transparent);
        QPainter painter(&faded);
        painter.setOpacity(0.35);
        painter.drawPixmap(0, 0, source);
        painter.end();
        dimmed.addPixmap(faded);
    }
    m_tray->setIcon(dimmed);
}

QRect StatusItem::buttonRect() const {
    const QRect reported = m_tray->geometry();
    return reported.isValid() && !reported.isEmpty() ? reported : QRect();
}

#include "TrayIconStyle.h"

#include "X11Display.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QSocketNotifier>
#include <QTimer>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>

namespace {

// GNOME's top bar stays dark whatever the scheme of the windows is.
bool desktopIsGnome() {
    const QList<QByteArray> desktops = qgetenv("XDG_CURRENT_DESKTOP").split(':');
    return std::any_of(desktops.cbegin(), desktops.cend(),
                       [](const QByteArray& name) { return name.trimmed().toLower() == "gnome"; });
}

QImage tinted(const QImage& shape, const QColor& color) {
    QImage image = shape;
    QPainter painter(&image);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    painter.fillRect(image.rect(), color);
    return image;
}

} // namespace

const QColor TrayIconStyle::lightGlyph(0xf4, 0xf4, 0xf4);
const QColor TrayIconStyle::darkGlyph(0x1c, 0x1c, 0x1c);

// A connection of our own: the events we ask of the tray's windows are ours alone, and the event
// masks Qt set on them on its connection stay as Qt set them.
struct TrayIconStyle::Watch {
    xcb_connection_t* connection = nullptr;
    QSocketNotifier* notifier = nullptr;

    ~Watch() {
        delete notifier;
        if (connection) {
            xcb_disconnect(connection);
        }
    }
    bool usable() const { return connection && !xcb_connection_has_error(connection); }
};

TrayIconStyle::TrayIconStyle(QObject* parent) : QObject(parent) {
    if (!X11Display::connection()) {
        return; // not on X11: no XEmbed tray to read
    }
    auto watch = std::make_unique<Watch>();
    int screen = 0;
    watch->connection = xcb_connect(nullptr, &screen);
    if (!watch->usable()) {
        return;
    }
    xcb_connection_t* connection = watch->connection;
    m_selectionAtom =
        X11Display::atom(connection, ("_NET_SYSTEM_TRAY_S" + QByteArray::number(screen)).constData());
    m_colorsAtom = X11Display::atom(connection, "_NET_SYSTEM_TRAY_COLORS");
    m_managerAtom = X11Display::atom(connection, "MANAGER");
    // A new tray announces itself to the root window's structure listeners.
    const uint32_t rootMask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, X11Display::rootWindow(connection), XCB_CW_EVENT_MASK,
                                 &rootMask);
    xcb_flush(connection);
    watch->notifier = new QSocketNotifier(xcb_get_file_descriptor(connection), QSocketNotifier::Read);
    connect(watch->notifier, &QSocketNotifier::activated, this, &TrayIconStyle::readEvents);
    m_watch = std::move(watch);
    readTrayColors();
}

TrayIconStyle::~TrayIconStyle() = default;

void TrayIconStyle::setHost(Host host) {
    if (host != m_host) {
        m_host = host;
        emit changed();
    }
}

TrayIconStyle::Glyph TrayIconStyle::glyph() const {
    if (m_host == Host::xembed && m_trayForeground) {
        return {*m_trayForeground, {}};
    }
    // A StatusNotifier host paints its panel in colours of its own, not in the windows' scheme
    // (XFCE's and LXQt's default panels are dark under a light theme), and it draws our pixmap
    // as it is: only GNOME's top bar is known to be dark.
    if (m_host == Host::statusNotifier && desktopIsGnome()) {
        return {lightGlyph, {}};
    }
    return {lightGlyph, darkGlyph};
}

void TrayIconStyle::refresh() {
    const std::optional<QColor> before = m_trayForeground;
    readTrayColors();
    if (m_trayForeground != before) {
        emit changed();
    }
}

void TrayIconStyle::readTrayColors() {
    m_trayForeground.reset();
    if (!m_watch || !m_watch->usable() || m_selectionAtom == XCB_ATOM_NONE) {
        return;
    }
    xcb_connection_t* connection = m_watch->connection;
    xcb_get_selection_owner_reply_t* owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, m_selectionAtom), nullptr);
    const xcb_window_t manager = owner ? owner->owner : xcb_window_t(XCB_WINDOW_NONE);
    std::free(owner);
    if (manager != XCB_WINDOW_NONE && manager != m_manager) {
        // Its end and its colours' changes.
        const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(connection, manager, XCB_CW_EVENT_MASK, &mask);
    }
    m_manager = manager;
    if (manager != XCB_WINDOW_NONE) {
        // Foreground, error, warning, success: three 16-bit components each.
        xcb_get_property_reply_t* reply = xcb_get_property_reply(
            connection, xcb_get_property(connection, 0, manager, m_colorsAtom, XCB_ATOM_CARDINAL, 0, 12),
            nullptr);
        if (reply && reply->format == 32 &&
            xcb_get_property_value_length(reply) >= int(3 * sizeof(uint32_t))) {
            const auto* value = static_cast<const uint32_t*>(xcb_get_property_value(reply));
            const auto component = [](uint32_t v) { return int(std::min<uint32_t>(v, 0xffff) >> 8); };
            m_trayForeground = QColor(component(value[0]), component(value[1]), component(value[2]));
        }
        std::free(reply);
    }
    // Events read along with the replies wait in the queue, not on the socket.
    QMetaObject::invokeMethod(this, &TrayIconStyle::readEvents, Qt::QueuedConnection);
}

void TrayIconStyle::readEvents() {
    if (!m_watch || !m_watch->usable()) {
        if (m_watch && m_watch->notifier) {
            m_watch->notifier->setEnabled(false); // the X server is gone
        }
        return;
    }
    while (xcb_generic_event_t* event = xcb_poll_for_event(m_watch->connection)) {
        handleEvent(event);
        std::free(event);
    }
}

void TrayIconStyle::handleEvent(const void* message) {
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    switch (event->response_type & 0x7f) {
    case XCB_PROPERTY_NOTIFY: {
        const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event);
        if (notify->window == m_manager && m_manager != 0 && notify->atom == m_colorsAtom) {
            refresh();
        }
        break;
    }
    case XCB_CLIENT_MESSAGE: {
        // A new tray took the selection: looked at once Qt has docked the icon there.
        const auto* client = reinterpret_cast<const xcb_client_message_event_t*>(event);
        if (client->type == m_managerAtom && client->format == 32 &&
            client->data.data32[1] == m_selectionAtom) {
            QTimer::singleShot(0, this, &TrayIconStyle::refresh);
        }
        break;
    }
    case XCB_DESTROY_NOTIFY: {
        const auto* destroyed = reinterpret_cast<const xcb_destroy_notify_event_t*>(event);
        if (destroyed->window == m_manager && m_manager != 0) {
            m_manager = 0;
            if (m_trayForeground) {
                m_trayForeground.reset();
                emit changed();
            }
        }
        break;
    }
    default:
        break; // errors (a tray gone between two requests) included
    }
}

QIcon TrayIconStyle::paint(const QIcon& mask, const Glyph& glyph, bool disabled) {
    QIcon icon;
    if (mask.isNull()) {
        return icon;
    }
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        const QImage shape = mask.pixmap(QSize(size, size), 1.0)
                                 .toImage()
                                 .convertToFormat(QImage::Format_ARGB32_Premultiplied);
        QImage drawn(shape.size(), QImage::Format_ARGB32_Premultiplied);
        drawn.fill(Qt::transparent);
        {
            QPainter painter(&drawn);
            if (glyph.outline.isValid()) {
                // The shape stamped around itself: a ring about one pixel wide per 22 pixels.
                const QImage ring = tinted(shape, glyph.outline);
                const int width = std::max(1, (size + 11) / 22);
                for (int dy = -width; dy <= width; ++dy) {
                    for (int dx = -width; dx <= width; ++dx) {
                        if ((dx || dy) && dx * dx + dy * dy <= width * width + 1) {
                            painter.drawImage(QPoint(dx, dy), ring);
                        }
                    }
                }
            }
            painter.drawImage(QPoint(0, 0), tinted(shape, glyph.fill));
        }
        if (disabled) {
            // Trays draw the normal mode only, so the dimmed look is painted into the pixmaps.
            QImage faded(drawn.size(), QImage::Format_ARGB32_Premultiplied);
            faded.fill(Qt::transparent);
            QPainter painter(&faded);
            painter.setOpacity(disabledOpacity);
            painter.drawImage(QPoint(0, 0), drawn);
            painter.end();
            drawn = faded;
        }
        icon.addPixmap(QPixmap::fromImage(drawn));
    }
    return icon;
}

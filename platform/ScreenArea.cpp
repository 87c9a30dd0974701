#include "ScreenArea.h"

#include "X11Display.h"

#include <QList>
#include <QScreen>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using Reply = std::unique_ptr<T, FreeDeleter>;

// A panel is thin against the side it runs along; anything deeper is a window, not a panel.
constexpr int maxPanelDepthDivisor = 4;

// The dock windows the window manager manages, in root coordinates. A few batched round trips,
// made only when a list opens.
QList<QRect> dockRectangles() {
    QList<QRect> docks;
    xcb_connection_t* c = X11Display::connection();
    if (!c) {
        return docks;
    }
    const xcb_window_t root = X11Display::rootWindow(c);
    const xcb_atom_t clientList = X11Display::atom(c, "_NET_CLIENT_LIST");
    const xcb_atom_t windowType = X11Display::atom(c, "_NET_WM_WINDOW_TYPE");
    const xcb_atom_t dockType = X11Display::atom(c, "_NET_WM_WINDOW_TYPE_DOCK");
    if (root == XCB_WINDOW_NONE || clientList == XCB_ATOM_NONE || windowType == XCB_ATOM_NONE) {
        return docks;
    }
    Reply<xcb_get_property_reply_t> list(xcb_get_property_reply(
        c, xcb_get_property(c, 0, root, clientList, XCB_ATOM_WINDOW, 0, 1024), nullptr));
    if (!list || list->format != 32) {
        return docks;
    }
    const auto* windows = static_cast<const xcb_window_t*>(xcb_get_property_value(list.get()));
    const int count = xcb_get_property_value_length(list.get()) / 4;
    std::vector<xcb_get_property_cookie_t> types;
    types.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        types.push_back(xcb_get_property(c, 0, windows[i], windowType, XCB_ATOM_ATOM, 0, 16));
    }
    std::vector<std::pair<xcb_window_t, xcb_translate_coordinates_cookie_t>> placed;
    std::vector<xcb_get_geometry_cookie_t> sizes;
    for (int i = 0; i < count; ++i) {
        Reply<xcb_get_property_reply_t> type(xcb_get_property_reply(c, types[size_t(i)], nullptr));
        if (!type || type->format != 32) {
            continue;
        }
        const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(type.get()));
        const int n = xcb_get_property_value_length(type.get()) / 4;
        if (std::find(atoms, atoms + n, dockType) == atoms + n) {
            continue;
        }
        placed.emplace_back(windows[i], xcb_translate_coordinates(c, windows[i], root, 0, 0));
        sizes.push_back(xcb_get_geometry(c, windows[i]));
    }
    for (size_t i = 0; i < placed.size(); ++i) {
        Reply<xcb_translate_coordinates_reply_t> at(
            xcb_translate_coordinates_reply(c, placed[i].second, nullptr));
        Reply<xcb_get_geometry_reply_t> size(xcb_get_geometry_reply(c, sizes[i], nullptr));
        if (at && size) {
            docks.append(QRect(at->dst_x, at->dst_y, size->width, size->height));
        }
    }
    return docks;
}

} // namespace

namespace ScreenArea {

QRect lessEdgePanels(QRect area, const QList<QRect>& panels) {
    const QSize full = area.size();
    for (const QRect& panel : panels) {
        const QRect in = panel.intersected(area);
        if (in.isEmpty()) {
            continue;
        }
        const bool horizontal =
            in.width() > in.height() && in.height() <= full.height() / maxPanelDepthDivisor;
        const bool vertical = in.height() > in.width() && in.width() <= full.width() / maxPanelDepthDivisor;
        if (horizontal && in.bottom() == area.bottom()) {
            area.setBottom(in.top() - 1);
        } else if (horizontal && in.top() == area.top()) {
            area.setTop(in.bottom() + 1);
        } else if (vertical && in.right() == area.right()) {
            area.setRight(in.left() - 1);
        } else if (vertical && in.left() == area.left()) {
            area.setLeft(in.right() + 1);
        }
    }
    return area;
}

QRect usable(const QScreen& screen) {
    const QRect area = screen.availableGeometry();
    // The rectangles are in device pixels, Qt's in device-independent ones about the screen's
    // origin, which both share.
    const qreal ratio = screen.devicePixelRatio();
    const QPointF origin = screen.geometry().topLeft();
    QList<QRect> panels;
    for (const QRect& dock : dockRectangles()) {
        panels.append(QRectF(origin + (QPointF(dock.topLeft()) - origin) / ratio, QSizeF(dock.size()) / ratio)
                          .toAlignedRect());
    }
    return lessEdgePanels(area, panels);
}

} // namespace ScreenArea

#include "X11Windows.h"

#include <QGuiApplication>
#include <QtGui/qguiapplication_platform.h>

#include <cstdlib>
#include <cstring>

namespace X11Windows {

xcb_connection_t* connection() {
    return qApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

xcb_atom_t internAtom(const char* name) {
    xcb_connection_t* c = connection();
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return atom;
}

std::optional<QRect> screenRect(xcb_window_t window) {
    xcb_connection_t* c = connection();
    xcb_get_geometry_reply_t* geometry = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
    if (!geometry) {
        return std::nullopt;
    }
    xcb_translate_coordinates_reply_t* origin = xcb_translate_coordinates_reply(
        c, xcb_translate_coordinates(c, window, geometry->root, 0, 0), nullptr);
    std::optional<QRect> rect;
    if (origin) {
        rect = QRect(origin->dst_x, origin->dst_y, geometry->width, geometry->height);
    }
    std::free(origin);
    std::free(geometry);
    return rect;
}

bool windowManagerRunning() {
    const xcb_atom_t check = internAtom("_NET_SUPPORTING_WM_CHECK");
    if (check == XCB_ATOM_NONE) {
        return false;
    }
    xcb_connection_t* c = connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_get_property_reply_t* property =
        xcb_get_property_reply(c, xcb_get_property(c, 0, root, check, XCB_ATOM_WINDOW, 0, 1), nullptr);
    const bool running = property && xcb_get_property_value_length(property) == 4;
    std::free(property);
    return running;
}

} // namespace X11Windows

#include "X11Display.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QHash>
#include <QtGui/qguiapplication_platform.h>

#include <cstdlib>

namespace X11Display {

xcb_connection_t* connection() {
    if (auto* x11 = qApp ? qApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        return x11->connection();
    }
    return nullptr;
}

// Asking again would cost a round trip to the X server each time, e.g. on every toast, while the
// toast delays the conversion's clipboard write.
xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
    static xcb_connection_t* cachedFor = nullptr;
    static QHash<QByteArray, xcb_atom_t> cache;
    if (connection != cachedFor) {
        cache.clear();
        cachedFor = connection;
    }
    const QByteArray key(name);
    if (const auto found = cache.constFind(key); found != cache.cend()) {
        return *found;
    }
    const xcb_intern_atom_cookie_t cookie = xcb_intern_atom(connection, 0, uint16_t(key.size()), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    if (!reply) {
        return XCB_ATOM_NONE;
    }
    const xcb_atom_t value = reply->atom;
    std::free(reply);
    cache.insert(key, value);
    return value;
}

int defaultScreenNumber() {
    int screen = 0;
    char* host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screen) != 0) {
        std::free(host);
    }
    return screen;
}

xcb_window_t rootWindow(xcb_connection_t* connection) {
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int n = defaultScreenNumber(); n > 0 && screens.rem > 1; --n) {
        xcb_screen_next(&screens);
    }
    return screens.data ? screens.data->root : xcb_window_t(XCB_WINDOW_NONE);
}

} // namespace X11Display

// What the small X clients of the tests share: a connection to the display and an
// input-only window to own selections with.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <xcb/xcb.h>

struct SelectionClient {
    xcb_connection_t* connection = nullptr;
    xcb_window_t window = XCB_NONE;
};

// Exits with a message naming the helper when there is no display.
inline SelectionClient connectSelectionClient(const char* helper) {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "%s: no display\n", helper);
        std::exit(1);
    }
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    const xcb_window_t window = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, 0, nullptr);
    return {c, window};
}

inline xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t atom = reply ? reply->atom : xcb_atom_t(XCB_NONE);
    std::free(reply);
    return atom;
}

// Tells the requestor its answer is in `property` (XCB_NONE: refused).
inline void answerRequest(xcb_connection_t* c, const xcb_selection_request_event_t& request,
                          xcb_atom_t property) {
    xcb_selection_notify_event_t notify{};
    notify.response_type = XCB_SELECTION_NOTIFY;
    notify.time = request.time;
    notify.requestor = request.requestor;
    notify.selection = request.selection;
    notify.target = request.target;
    notify.property = property;
    xcb_send_event(c, 0, request.requestor, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&notify));
}

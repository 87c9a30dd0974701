// A clipboard manager at its quickest: it reads each new copy's UTF-8 text at once and, the
// moment the CLIPBOARD owner leaves, takes CLIPBOARD over with that same text, as diodon does
// within a few milliseconds. Runs until killed.
//
//   ondari_clipboard_keeper
//
// Prints "ready" once it watches the clipboard, "read <text>" for each copy read and "kept <text>"
// each time it took a copy over.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include "SelectionClient.h"

int main() {
    const auto [c, window] = connectSelectionClient("clipboard_keeper");
    const xcb_atom_t clipboard = internAtom(c, "CLIPBOARD");
    const xcb_atom_t targets = internAtom(c, "TARGETS");
    const xcb_atom_t utf8 = internAtom(c, "UTF8_STRING");
    const xcb_atom_t slot = internAtom(c, "_KEEPER_TEXT");

    xcb_xfixes_query_version_reply_t* version =
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr);
    std::free(version);
    const xcb_query_extension_reply_t* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
    if (!xfixes || !xfixes->present) {
        std::fprintf(stderr, "clipboard_keeper: no XFixes\n");
        return 1;
    }
    xcb_xfixes_select_selection_input(c, window, clipboard,
                                      XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                          XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
    xcb_flush(c);
    std::printf("ready\n");
    std::fflush(stdout);

    std::string text; // the last copy read
    bool haveText = false;
    while (xcb_generic_event_t* event = xcb_wait_for_event(c)) {
        const uint8_t type = event->response_type & 0x7f;
        if (type == xfixes->first_event + XCB_XFIXES_SELECTION_NOTIFY) {
            const auto* e = reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event);
            if (e->owner == XCB_NONE && haveText) {
                xcb_set_selection_owner(c, window, clipboard, e->timestamp);
                xcb_flush(c);
                std::printf("kept %s\n", text.c_str());
                std::fflush(stdout);
            } else if (e->owner != XCB_NONE && e->owner != window) {
                xcb_convert_selection(c, window, clipboard, utf8, slot, e->timestamp);
                xcb_flush(c);
            }
        } else if (type == XCB_SELECTION_NOTIFY) {
            const auto* e = reinterpret_cast<xcb_selection_notify_event_t*>(event);
            if (e->property != XCB_NONE) {
                xcb_get_property_reply_t* reply = xcb_get_property_reply(
                    c, xcb_get_property(c, 1, window, slot, XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 16), nullptr);
                if (reply && reply->format == 8 && reply->type != XCB_NONE) {
                    text.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                                size_t(xcb_get_property_value_length(reply)));
                    haveText = true;
                    std::printf("read %s\n", text.c_str());
                    std::fflush(stdout);
                }
                std::free(reply);
            }
        } else if (type == XCB_SELECTION_REQUEST) {
            const auto* r = reinterpret_cast<xcb_selection_request_event_t*>(event);
            xcb_atom_t property = r->property != XCB_NONE ? r->property : r->target;
            if (r->target == targets) {
                const xcb_atom_t offered[] = {targets, utf8};
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, r->requestor, property, XCB_ATOM_ATOM, 32, 2,
                                    offered);
            } else if (r->target == utf8) {
                xcb_change_property(c, XCB_PROP_MODE_REPLACE, r->requestor, property, utf8, 8,
                                    uint32_t(text.size()), text.data());
            } else {
                property = XCB_NONE;
            }
            answerRequest(c, *r, property);
            xcb_flush(c);
        }
        std::free(event);
    }
    return 0;
}

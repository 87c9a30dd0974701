// Another X client that takes the CLIPBOARD selection over and over, as fast as the connection
// lets it, then keeps it (refusing every request for its content) until its standard input
// closes or it is killed.
//
//   ondari_owner_storm COUNT
//
// Prints "ready" once connected, storms at the first line on standard input, and prints
// "done <milliseconds>" once the server has handled every request of the storm.

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <poll.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include "SelectionClient.h"

int main(int argc, char** argv) {
    const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100000;
    const auto [c, window] = connectSelectionClient("owner_storm");
    const xcb_atom_t clipboard = internAtom(c, "CLIPBOARD");
    if (clipboard == XCB_NONE) {
        return 1;
    }

    std::printf("ready\n");
    std::fflush(stdout);
    char go[64];
    if (::read(STDIN_FILENO, go, sizeof go) <= 0) {
        return 0;
    }

    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        xcb_set_selection_owner(c, window, clipboard, XCB_CURRENT_TIME);
    }
    // A round trip: every request above has been handled once its answer is back.
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    std::printf("done %lld\n", static_cast<long long>(ms.count()));
    std::fflush(stdout);

    std::array<pollfd, 2> fds{{{STDIN_FILENO, POLLIN, 0}, {xcb_get_file_descriptor(c), POLLIN, 0}}};
    for (;;) {
        while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
            if ((event->response_type & 0x7f) == XCB_SELECTION_REQUEST) {
                answerRequest(c, *reinterpret_cast<xcb_selection_request_event_t*>(event), XCB_NONE);
            }
            std::free(event);
        }
        xcb_flush(c);
        if (xcb_connection_has_error(c) || ::poll(fds.data(), fds.size(), -1) < 0) {
            break;
        }
        if (fds[0].revents) {
            char buffer[64];
            if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
                break;
            }
        }
    }
    xcb_disconnect(c);
    return 0;
}

#pragma once

#include <QElapsedTimer>
#include <QRect>
#include <QTest>

#include <optional>
#include <type_traits>
#include <utility>

#include <xcb/xcb.h>

// What the program tests ask of the X server about windows, on the test's own Qt connection.
namespace X11Windows {

xcb_connection_t* connection();
xcb_atom_t internAtom(const char* name);
// A window's rectangle on screen. Asked of the X server, as a window manager's frame around a
// dialog makes xdotool's answer unreliable.
std::optional<QRect> screenRect(xcb_window_t window);
// Whether a window manager runs on the display.
bool windowManagerRunning();

// The program animates on its own clock, which a busy machine slows: rather than waiting as
// long as an animation takes, a test looks every 100 ms until three looks in a row agree and
// `accept` takes the last one. None after 30 s.
template <typename Look, typename Accept>
std::optional<std::invoke_result_t<Look>> steady(Look look, Accept accept) {
    auto last = look();
    int same = 0;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000) {
        QTest::qWait(100);
        auto now = look();
        same = now == last ? same + 1 : 0;
        last = std::move(now);
        if (same >= 3 && accept(last)) {
            return last;
        }
    }
    return std::nullopt;
}

} // namespace X11Windows

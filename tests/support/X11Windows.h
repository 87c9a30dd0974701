#pragma once

#include <QRect>

#include <optional>

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

} // namespace X11Windows

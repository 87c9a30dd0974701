#pragma once

#include <xcb/xcb.h>

// Small helpers over Qt's own X11 connection, shared by the windows that talk to the X server.
namespace X11Display {

// Qt's connection; none when the program does not run on X11.
xcb_connection_t* connection();
// Cached per connection: an atom stays the same for the life of the connection.
xcb_atom_t atom(xcb_connection_t* connection, const char* name);
// The screen DISPLAY names.
int defaultScreenNumber();
xcb_window_t rootWindow(xcb_connection_t* connection);

} // namespace X11Display

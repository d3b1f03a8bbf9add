// Whether a window can be shown here: the display is tried before Qt is asked for it, as Qt ends
// the program when the display it is given cannot be reached.
#pragma once

#include <string>

struct DisplayProbe {
  bool reachable = false;
  // The platform to ask Qt for ("xcb", "wayland"); empty: the one QT_QPA_PLATFORM names.
  std::string platform;
  // Why no window can be shown, in German, when a display was named but cannot be reached;
  // empty when none was named at all.
  std::string reason;
};

// QT_QPA_PLATFORM, when set, decides: its names are tried in order, "xcb" and "wayland" by a
// connection to their display, any other (offscreen, vnc, ...) counts as there. Otherwise an X
// display (DISPLAY) is tried first, then a Wayland compositor (WAYLAND_DISPLAY).
DisplayProbe ProbeDisplay();

// The X display by a full connection through libxcb (loaded at run time): its address and its
// authorisation. display null: DISPLAY.
bool ProbeX11Display(const char* display = nullptr);
// The Wayland compositor's socket (WAYLAND_DISPLAY, relative to XDG_RUNTIME_DIR) accepts a connection.
bool ProbeWaylandDisplay();

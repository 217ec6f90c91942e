#include "preview_display.h"

#include <cstdlib>
#include <string>

#include <X11/Xlib.h>

bool preview_display_available() {
    // Qt's own display-less platforms need no X server.
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && (std::string(platform) == "offscreen" || std::string(platform) == "minimal")) return true;
    Display *display = XOpenDisplay(nullptr);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

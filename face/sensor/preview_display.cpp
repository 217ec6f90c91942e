#include "sensor/preview_display.h"

#include <algorithm>
#include <cstdlib>
#include <string>

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <opencv2/highgui.hpp>

#include "core/frame_steps.h"

namespace {

// Room kept free on the screen: a desktop panel and the window's title bar and borders.
constexpr int kPanelAndTitleHeight = 80;
constexpr int kBorderWidth = 16;
// Qt's highgui window puts a tool bar above the picture and a status bar below it (28 + 20 pixels).
constexpr int kQtBarsHeight = 48;

// The monitor a new window appears on: the primary one (or the first), else the whole screen.
cv::Size monitor_size(Display *display) {
    const Window root = DefaultRootWindow(display);
    cv::Size size(DisplayWidth(display, DefaultScreen(display)), DisplayHeight(display, DefaultScreen(display)));
    int event_base = 0, error_base = 0, major = 0, minor = 0, count = 0;
    // Monitors came with RandR 1.5; an older server would answer the request with an error.
    if (!XRRQueryExtension(display, &event_base, &error_base) || !XRRQueryVersion(display, &major, &minor) ||
        major * 100 + minor < 105)
        return size;
    XRRMonitorInfo *monitors = XRRGetMonitors(display, root, True, &count);
    if (monitors && count > 0) {
        const XRRMonitorInfo *chosen = &monitors[0];
        for (int i = 0; i < count; ++i)
            if (monitors[i].primary) chosen = &monitors[i];
        size = cv::Size(chosen->width, chosen->height);
    }
    if (monitors) XRRFreeMonitors(monitors);
    return size;
}

// The picture area a window can have on that screen.
cv::Size screen_room(Display *display) {
    const cv::Size monitor = monitor_size(display);
    return cv::Size(std::max(1, monitor.width - kBorderWidth),
                    std::max(1, monitor.height - kPanelAndTitleHeight - kQtBarsHeight));
}

// The largest size within `room` with the frame's proportions, never larger than the frame itself;
// the frame's own size when `room` is empty.
cv::Size preview_picture_size(cv::Size frame, cv::Size room) {
    if (room.empty() || frame.empty()) return frame;
    const double scale = std::min({1.0, static_cast<double>(room.width) / frame.width,
                                   static_cast<double>(room.height) / frame.height});
    return cv::Size(std::max(1, static_cast<int>(frame.width * scale)),
                    std::max(1, static_cast<int>(frame.height * scale)));
}

// Qt's own display-less platforms need no X server.
bool displayless_qt_platform() {
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    return platform && (std::string(platform) == "offscreen" || std::string(platform) == "minimal");
}

}  // namespace

bool preview_display_available() {
    if (displayless_qt_platform()) return true;
    Display *display = XOpenDisplay(nullptr);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

PreviewWindow open_preview_window(const char *title, Logger &logger) {
    PreviewWindow window;
    // An X server with no other client (xvfb-run's, a kiosk's) resets when its last client leaves and turns
    // connections away while it does: closing a connection of ours and opening the next one, or letting Qt open
    // its own, could meet that reset. One connection serves every question and is held until Qt has its own.
    Display *display = XOpenDisplay(nullptr);
    window.available = display || displayless_qt_platform();
    if (window.available) {
        if (display) window.room = screen_room(display);
        cv::namedWindow(title, cv::WINDOW_NORMAL);
    } else {
        logger.line("warning: no display available; running without the preview window");
    }
    if (display) XCloseDisplay(display);
    return window;
}

void show_preview(PreviewWindow &window, const char *title, const cv::Mat &colour) {
    if (!window.available) return;
    if (!window.sized) {
        // A normal window starts tiny whatever the frame size, and Qt does not shrink one larger than the screen.
        const cv::Size picture = preview_picture_size(colour.size(), window.room);
        cv::resizeWindow(title, picture.width, picture.height + kQtBarsHeight);
        window.sized = true;
    }
    cv::imshow(title, colour);
}

bool poll_stop_key(const PreviewWindow &window) { return window.available && is_stop_key(cv::waitKey(1)); }

void close_preview_window(const PreviewWindow &window) {
    if (window.available) cv::destroyAllWindows();
}

#include "preview_display.h"

#include <cstdlib>
#include <string>

#include <X11/Xlib.h>
#include <opencv2/highgui.hpp>

#include "frame_steps.h"

bool preview_display_available() {
    // Qt's own display-less platforms need no X server.
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && (std::string(platform) == "offscreen" || std::string(platform) == "minimal")) return true;
    Display *display = XOpenDisplay(nullptr);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

PreviewWindow open_preview_window(const char *title, Logger &logger) {
    PreviewWindow window;
    window.available = preview_display_available();
    if (window.available) {
        cv::namedWindow(title, cv::WINDOW_NORMAL);
    } else {
        logger.line("warning: no display available; running without the preview window");
    }
    return window;
}

void show_preview(PreviewWindow &window, const char *title, const cv::Mat &colour) {
    if (!window.available) return;
    if (!window.sized) {
        // A normal window starts tiny whatever the frame size; give it the frame's size once.
        cv::resizeWindow(title, colour.cols, colour.rows);
        window.sized = true;
    }
    cv::imshow(title, colour);
}

bool poll_stop_key(const PreviewWindow &window) { return window.available && is_stop_key(cv::waitKey(1)); }

void close_preview_window(const PreviewWindow &window) {
    if (window.available) cv::destroyAllWindows();
}

#pragma once
// The preview window. Qt's highgui aborts the process when no display is reachable, so the display is
// checked before the first highgui call and a run without one goes on without the window.
#include <opencv2/core.hpp>

#include "core/run_log.h"

struct PreviewWindow {
    bool available = false;  // a display is reachable and the window exists
    bool sized = false;      // the window has been given its size for the frames
    cv::Size room;           // the largest picture the screen shows whole; empty when unknown
};

bool preview_display_available();

// Opens the window titled `title`, or logs once that the run goes on without it.
PreviewWindow open_preview_window(const char *title, Logger &logger);
// Shows the frame; the first one sizes the window so that the whole frame fits the screen.
void show_preview(PreviewWindow &window, const char *title, const cv::Mat &colour);
// Services the window for 1 ms; true on q, Q or Escape. Always false without a window.
bool poll_stop_key(const PreviewWindow &window);
void close_preview_window(const PreviewWindow &window);

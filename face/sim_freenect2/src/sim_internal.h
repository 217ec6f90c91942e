#pragma once
// Internals of the simulated sensor: configuration, the colour stream and logging helpers.
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <libfreenect2/frame_listener.hpp>
#include <libfreenect2/logger.h>

namespace libfreenect2 {
namespace sim {

enum class PixelLayout { bgrx, rgbx, bad };

struct SimConfig {
    std::string frames;  // empty: no sensor connected
    PixelLayout layout = PixelLayout::bgrx;
    bool fail_open = false;
    bool fail_start = false;
    bool loop = false;
    double fps = 0.0;  // 0: as fast as asked for
};

SimConfig read_sim_config();

// Pictures in serving order: the images of a directory, or the frames of a video file.
struct FrameSource {
    std::string path;
    std::vector<std::string> image_files;  // directory mode
    std::vector<cv::Mat> cache;            // decoded pictures kept while within the memory budget
    size_t cached_bytes = 0;
    cv::VideoCapture video;                // video mode
    bool is_video = false;
    size_t next_index = 0;
    bool finished = false;
};

// Empty string on success, else why the path cannot serve frames.
std::string open_frame_source(const std::string &path, FrameSource &source);
// Next picture as 8-bit BGR; false once the source is exhausted (and, with `loop`, after a full pass
// that yielded nothing).
bool next_picture(FrameSource &source, bool loop, cv::Mat &bgr);

// A frame of the simulated colour camera in the configured pixel layout.
Frame *make_colour_frame(const cv::Mat &bgr, PixelLayout layout, uint32_t sequence);

// The colour stream of a started device, pulled by the listener it is attached to.
struct ColourStream {
    SimConfig config;
    FrameSource source;
    cv::Mat pending;  // the next picture, taken from the source but not yet delivered
    uint32_t sequence = 0;
    bool have_delivered = false;
    std::chrono::steady_clock::time_point last_delivery;
};

// Waits at most `milliseconds` (negative: no limit) for the stream's next frame.
// Null on a time-out, and at once when the stream has no frame left.
Frame *pull_colour_frame(ColourStream &stream, int milliseconds);

// Which stream feeds which listener; the device attaches at startStreams and detaches at stop.
void attach_stream(const FrameListener *listener, ColourStream *stream);
void detach_stream(const FrameListener *listener);
ColourStream *attached_stream(const FrameListener *listener);
std::mutex &attach_mutex();

void log(Logger::Level level, const std::string &message);

}  // namespace sim
}  // namespace libfreenect2

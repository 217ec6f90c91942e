#pragma once
// Internals of the simulated sensor: configuration, the colour stream and logging helpers.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <map>

#include <libfreenect2/frame_listener.hpp>
#include <libfreenect2/libfreenect2.hpp>
#include <libfreenect2/logger.h>
#include <libfreenect2/packet_pipeline.h>

namespace libfreenect2 {
namespace sim {

enum class PixelLayout { bgrx, rgbx, bad };

struct SimConfig {
    std::string frames;  // empty: no sensor connected
    PixelLayout layout = PixelLayout::bgrx;
    bool fail_open = false;
    bool fail_start = false;
    bool fail_depth = false;  // the depth stream never delivers a frame
    std::string depth_dir;    // LUMIVAR_SIM_DEPTH; empty: depth frames hold no valid pixel
    bool loop = false;
    double fps = 0.0;       // 0: as fast as asked for (or the sensor's 30 in real time)
    bool realtime = false;  // frames come at the sensor's pace, whether or not they are taken
    std::string report;     // file to which each open appends the pipeline it was given; empty: none
};

constexpr double kSensorFps = 30.0;

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
    std::string current_name;  // file name without extension of the picture read last; empty for video frames
};

// Empty string on success, else why the path cannot serve frames.
std::string open_frame_source(const std::string &path, FrameSource &source);
// Next picture as 8-bit BGR; false once the source is exhausted (and, with `loop`, after a full pass
// that yielded nothing).
bool next_picture(FrameSource &source, bool loop, cv::Mat &bgr);
// Passes over `count` pictures, as the sensor does with frames nobody took.
void skip_pictures(FrameSource &source, bool loop, uint64_t count);

// A frame of the simulated colour camera in the configured pixel layout.
Frame *make_colour_frame(const cv::Mat &bgr, PixelLayout layout, uint32_t sequence);

// The cameras of the simulated sensor: typical Kinect v2 values, without lens distortion. The colour camera has
// the size of the pictures served (1920 x 1080 on the real sensor); its focal length scales with their width.
constexpr int kDepthWidth = 512;
constexpr int kDepthHeight = 424;
constexpr float kMinDepthMm = 500.0f;   // the sensor's default range
constexpr float kMaxDepthMm = 4500.0f;
Freenect2Device::IrCameraParams depth_camera();
Freenect2Device::ColorCameraParams colour_camera(cv::Size picture);

// Where the ray of depth pixel (x, y) meets the colour image, in colour pixels. The two cameras share their
// optical centre, so this does not depend on the depth.
cv::Point2f depth_to_colour(const Freenect2Device::IrCameraParams &depth, const Freenect2Device::ColorCameraParams &colour,
                            int x, int y);

// A 512 x 424 depth frame (floats, millimetres, 0 = no depth) seen through the depth camera from a depth picture
// aligned with a colour picture of size `picture`; no valid pixel when `aligned` is empty or of another size.
Frame *make_depth_frame(const cv::Mat &aligned, cv::Size picture, uint32_t sequence);

// The colour stream of a started device, pulled by the listener it is attached to.
struct ColourStream {
    SimConfig config;
    FrameSource source;
    cv::Mat pending;  // the next picture, taken from the source but not yet delivered
    std::string pending_name;  // its file name without extension
    std::string delivered_name;  // that of the colour frame delivered last
    bool depth_on = false;     // the depth stream runs beside the colour stream
    std::map<std::string, cv::Mat> depth_pictures;  // depth pictures read so far, by name (empty: none)
    uint32_t sequence = 0;
    bool have_delivered = false;
    std::chrono::steady_clock::time_point last_delivery;
    // Real time: frame k is made at `started` + k / fps on the stream's own thread, as the library decodes the
    // sensor's pictures on a thread of its own whether or not the application takes them. What follows is
    // shared with that thread, under `mutex`.
    std::chrono::steady_clock::time_point started;
    std::thread maker;
    std::mutex mutex;
    std::condition_variable changed;
    Frame *newest = nullptr;        // made since the application last released its frames, not taken yet
    Frame *newest_depth = nullptr;  // the depth frame that came with it (with the depth stream)
    std::string newest_name;
    Frame *delivered_depth = nullptr;  // the depth frame of the colour frame delivered last, not taken yet
    bool accepting = true;  // the application holds no frame: new ones are kept
    bool ended = false;     // the source has no picture left: no frame will come
    bool stopping = false;
};

// Readies a stream for its first frame at the current time; in real time, starts the thread that makes them.
void start_stream_clock(ColourStream &stream);
// Stops that thread, if any, and deletes the frames nobody took.
void stop_stream(ColourStream &stream);
// Waits at most `milliseconds` (negative: no limit) for the stream's next frame.
// Null on a time-out, and at once when the stream has no frame left.
Frame *pull_colour_frame(ColourStream &stream, int milliseconds);
// Whether a wait would get a frame at once.
bool colour_frame_ready(ColourStream &stream);
// The application gave its frames back: from now on new frames are taken again.
void colour_frames_released(ColourStream &stream);
// The depth frame that arrived with the colour frame delivered last.
Frame *depth_frame_for_last_colour(ColourStream &stream, cv::Size picture, uint32_t sequence);
// The depth frame seen with the colour picture named `name` (its file name without extension).
Frame *depth_frame_for(ColourStream &stream, const std::string &name, cv::Size picture, uint32_t sequence);

// Which stream feeds which listener; the device attaches at startStreams and detaches at stop.
void attach_stream(const FrameListener *listener, ColourStream *stream);
void detach_stream(const FrameListener *listener);
ColourStream *attached_stream(const FrameListener *listener);
std::mutex &attach_mutex();

// What Freenect2::openDevice builds when the application gives no pipeline.
const PacketPipeline *create_default_pipeline();
// The pipeline's class name, for the report.
std::string pipeline_kind(const PacketPipeline *pipeline);

void log(Logger::Level level, const std::string &message);
// Appends a line to the report file named by LUMIVAR_SIM_REPORT, if any.
void report(const SimConfig &config, const std::string &line);

}  // namespace sim
}  // namespace libfreenect2

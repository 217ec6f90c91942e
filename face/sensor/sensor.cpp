#include "sensor/sensor.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <string>

#include <libfreenect2/logger.h>
#include <libfreenect2/packet_pipeline.h>

#include "core/stop_signals.h"

namespace {

// The depth camera's frame.
constexpr size_t kDepthFrameWidth = 512;
constexpr size_t kDepthFrameHeight = 424;

// How long the frame wait goes without looking at the stop request.
constexpr int kWaitSliceMs = 100;

// Whether the user's setting names one of the library's levels (it compares in lower case).
bool names_logger_level(const char *value) {
    if (value == nullptr) return false;
    std::string level(value);
    for (char &c : level) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const char *known : {"none", "error", "warning", "info", "debug"})
        if (level == known) return true;
    return false;
}

// Whether the user's setting names one of the library's pipelines (it compares as written).
bool names_pipeline(const char *value) {
    if (value == nullptr) return false;
    const std::string name(value);
    for (const char *known : {"cpu", "gl", "cl", "clkde", "cuda", "cudakde"})
        if (name == known) return true;
    return false;
}

// The library's default pipeline is the OpenGL one where that is built in, and it ends the process when no
// display can be reached. Colour decoding is the same in every pipeline, so a colour-only reader asks for
// the CPU one unless the user chose a pipeline.
libfreenect2::Freenect2Device *open_sensor(libfreenect2::Freenect2 &context, const std::string &serial) {
    if (names_pipeline(std::getenv("LIBFREENECT2_PIPELINE"))) return context.openDevice(serial);
    return context.openDevice(serial, new libfreenect2::CpuPacketPipeline());  // the device owns it
}

enum class FrameWait { arrived, timed_out, stopped };

// The library's wait cannot be interrupted by a signal: it waits in short slices, kFrameTimeoutMs in all, and a
// stop request ends it between two slices. A slice that gives up long before its time is the library saying that
// no frame will come (the simulated sensor's last frame was served): a time-out at once, as with one long wait.
FrameWait wait_for_frames(libfreenect2::SyncMultiFrameListener &listener, libfreenect2::FrameMap &frames) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kFrameTimeoutMs);
    for (Clock::time_point now = Clock::now(); now < deadline && !stop_signal(); now = Clock::now()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        const int slice = static_cast<int>(std::min<long long>(kWaitSliceMs, left));
        if (listener.waitForNewFrame(frames, slice)) return FrameWait::arrived;
        if (Clock::now() - now < std::chrono::milliseconds(slice) / 2) break;  // far earlier than any clock's slack
    }
    return stop_signal() ? FrameWait::stopped : FrameWait::timed_out;
}

}  // namespace

void quieten_sensor_library() {
    if (!names_logger_level(std::getenv("LIBFREENECT2_LOGGER_LEVEL"))) {
        libfreenect2::setGlobalLogger(libfreenect2::createConsoleLogger(libfreenect2::Logger::Warning));
    }
}

unsigned int listened_frame_types(bool with_depth) {
    const unsigned int depth = libfreenect2::Frame::Depth;
    return libfreenect2::Frame::Color | (with_depth ? depth : 0u);
}

int start_colour_stream(libfreenect2::Freenect2 &context, libfreenect2::SyncMultiFrameListener &listener,
                        Logger &logger, libfreenect2::Freenect2Device *&device, bool with_depth) {
    device = nullptr;
    if (context.enumerateDevices() == 0) {
        logger.line("error: no Kinect v2 device connected");
        return kNoSensorStatus;
    }
    libfreenect2::Freenect2Device *opened = open_sensor(context, context.getDefaultDeviceSerialNumber());
    if (opened == nullptr) {
        logger.line("error: failed to open Kinect v2 device");
        return kSensorNotOpenedStatus;
    }
    opened->setColorFrameListener(&listener);
    if (with_depth) opened->setIrAndDepthFrameListener(&listener);
    if (!opened->startStreams(true, with_depth)) {
        logger.line("error: failed to start Kinect RGB stream");
        opened->close();
        return kStreamNotStartedStatus;
    }
    logger.line("device serial: " + opened->getSerialNumber());
    logger.line("device firmware: " + opened->getFirmwareVersion());
    logger.line("started RGB stream");
    if (with_depth) logger.line("started depth stream");
    device = opened;
    return 0;
}

void stop_colour_stream(libfreenect2::Freenect2Device &device) {
    device.stop();
    device.close();
}

const libfreenect2::Frame *wait_for_colour_frame(libfreenect2::SyncMultiFrameListener &listener,
                                                 libfreenect2::FrameMap &frames, Logger &logger, bool with_depth) {
    const FrameWait waited = wait_for_frames(listener, frames);
    if (waited == FrameWait::stopped) return nullptr;  // the loop's end says which signal asked
    if (waited == FrameWait::timed_out) {
        logger.line(with_depth ? "error: timeout waiting for RGB and depth frames"
                               : "error: timeout waiting for RGB frame");
        return nullptr;
    }
    const libfreenect2::Frame *frame = frames[libfreenect2::Frame::Color];
    if (frame == nullptr || !is_supported_frame(frame->width, frame->height, frame->data, frame->bytes_per_pixel)) {
        listener.release(frames);
        logger.line("error: unsupported RGB frame format");
        return nullptr;
    }
    if (with_depth) {
        const libfreenect2::Frame *depth = frames[libfreenect2::Frame::Depth];
        if (depth == nullptr || depth->width != kDepthFrameWidth || depth->height != kDepthFrameHeight ||
            depth->data == nullptr || depth->bytes_per_pixel != 4) {
            listener.release(frames);
            logger.line("error: unsupported depth frame format");
            return nullptr;
        }
    }
    return frame;
}

ColourCamera colour_camera_of(libfreenect2::Freenect2Device &device) {
    const libfreenect2::Freenect2Device::ColorCameraParams colour = device.getColorCameraParams();
    ColourCamera camera;
    camera.fx = colour.fx;
    camera.fy = colour.fy;
    camera.cx = colour.cx;
    camera.cy = colour.cy;
    return camera;
}

DepthMapping start_depth_mapping(libfreenect2::Freenect2Device &device) {
    DepthMapping mapping;
    mapping.registration.reset(
        new libfreenect2::Registration(device.getIrCameraParams(), device.getColorCameraParams()));
    mapping.undistorted.reset(new libfreenect2::Frame(kDepthFrameWidth, kDepthFrameHeight, 4));
    mapping.registered.reset(new libfreenect2::Frame(kDepthFrameWidth, kDepthFrameHeight, 4));
    mapping.camera = colour_camera_of(device);
    return mapping;
}

DepthView map_depth(DepthMapping &mapping, const libfreenect2::Frame &colour, const libfreenect2::Frame &depth) {
    // One blank row above and one below the colour rows.
    if (!mapping.bigdepth || mapping.bigdepth->width != colour.width || mapping.bigdepth->height != colour.height + 2)
        mapping.bigdepth.reset(new libfreenect2::Frame(colour.width, colour.height + 2, 4));
    libfreenect2::Frame &big = *mapping.bigdepth;
    DepthView view;
    view.camera = mapping.camera;
    view.bigdepth = cv::Mat(static_cast<int>(big.height), static_cast<int>(big.width), CV_32FC1, big.data);
    // The library leaves the outputs untouched when it cannot map a frame: no depth then, never an old frame's.
    view.bigdepth = 0.0f;
    mapping.registration->apply(&colour, &depth, mapping.undistorted.get(), mapping.registered.get(), true, &big);
    return view;
}

FrameImages frame_images(const libfreenect2::Frame &colour, libfreenect2::FrameMap &frames, DepthMapping &mapping,
                         bool with_colour) {
    const cv::Mat wrapped(static_cast<int>(colour.height), static_cast<int>(colour.width), CV_8UC4, colour.data);
    FrameImages images = convert_frame(wrapped, colour.format == libfreenect2::Frame::RGBX, with_colour);
    if (mapping.registration) images.depth = map_depth(mapping, colour, *frames[libfreenect2::Frame::Depth]);
    return images;
}

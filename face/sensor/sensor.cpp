#include "sensor/sensor.h"

#include <cctype>
#include <cstdlib>
#include <string>

#include <libfreenect2/logger.h>
#include <libfreenect2/packet_pipeline.h>

namespace {

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

}  // namespace

void quieten_sensor_library() {
    if (!names_logger_level(std::getenv("LIBFREENECT2_LOGGER_LEVEL"))) {
        libfreenect2::setGlobalLogger(libfreenect2::createConsoleLogger(libfreenect2::Logger::Warning));
    }
}

int start_colour_stream(libfreenect2::Freenect2 &context, libfreenect2::SyncMultiFrameListener &listener,
                        Logger &logger, libfreenect2::Freenect2Device *&device) {
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
    if (!opened->startStreams(true, false)) {
        logger.line("error: failed to start Kinect RGB stream");
        opened->close();
        return kStreamNotStartedStatus;
    }
    logger.line("device serial: " + opened->getSerialNumber());
    logger.line("device firmware: " + opened->getFirmwareVersion());
    logger.line("started RGB stream");
    device = opened;
    return 0;
}

void stop_colour_stream(libfreenect2::Freenect2Device &device) {
    device.stop();
    device.close();
}

const libfreenect2::Frame *wait_for_colour_frame(libfreenect2::SyncMultiFrameListener &listener,
                                                 libfreenect2::FrameMap &frames, Logger &logger) {
    if (!listener.waitForNewFrame(frames, kFrameTimeoutMs)) {
        logger.line("error: timeout waiting for RGB frame");
        return nullptr;
    }
    const libfreenect2::Frame *frame = frames[libfreenect2::Frame::Color];
    if (frame == nullptr || !is_supported_frame(frame->width, frame->height, frame->data, frame->bytes_per_pixel)) {
        listener.release(frames);
        logger.line("error: unsupported RGB frame format");
        return nullptr;
    }
    return frame;
}

FrameImages frame_images(const libfreenect2::Frame &frame) {
    const cv::Mat wrapped(static_cast<int>(frame.height), static_cast<int>(frame.width), CV_8UC4, frame.data);
    return convert_frame(wrapped, frame.format == libfreenect2::Frame::RGBX);
}

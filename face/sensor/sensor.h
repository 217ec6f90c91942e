#pragma once
// The first Kinect v2's colour stream, opened, started and closed the same way by every program that reads it.
#include <memory>

#include <libfreenect2/frame_listener_impl.h>
#include <libfreenect2/libfreenect2.hpp>
#include <libfreenect2/registration.h>

#include "core/frame_steps.h"
#include "core/liveness.h"
#include "core/names.h"
#include "core/run_log.h"


// No frame within this time ends a run.
constexpr int kFrameTimeoutMs = 10000;

// Keeps the library's informational lines off standard output, unless LIBFREENECT2_LOGGER_LEVEL names a level.
void quieten_sensor_library();

// Opens the first sensor (with the CPU packet pipeline unless LIBFREENECT2_PIPELINE names one) and starts its
// colour stream into `listener`, logging the device lines; `with_depth` starts the depth stream into the same
// listener too (which must then wait for colour and depth frames).
// Returns 0 with `device` set, or 5, 6 or 7 after the error line (the device is closed again on 7).
// The context owns the device and deletes it when it goes.
int start_colour_stream(libfreenect2::Freenect2 &context, libfreenect2::SyncMultiFrameListener &listener,
                        Logger &logger, libfreenect2::Freenect2Device *&device, bool with_depth = false);

// The frame types a listener waits for: colour, and depth with it when `with_depth`.
unsigned int listened_frame_types(bool with_depth);

// Stops the stream and closes the device; nothing is called on it afterwards.
void stop_colour_stream(libfreenect2::Freenect2Device &device);

// Waits for the next colour frame and checks that it can be used. Null after the time-out line or the
// unsupported-frame line, or at once without a line once a stop signal asked (core/stop_signals.h); an
// unsupported frame is released first, so nothing is held then.
// With `with_depth` it waits for a colour frame and the depth frame that came with it, and checks both.
const libfreenect2::Frame *wait_for_colour_frame(libfreenect2::SyncMultiFrameListener &listener,
                                                 libfreenect2::FrameMap &frames, Logger &logger,
                                                 bool with_depth = false);

// The colour camera's pinhole as the device reports it.
ColourCamera colour_camera_of(libfreenect2::Freenect2Device &device);

// Depth mapped onto colour frames by the library's registration, built from the device's own camera parameters.
struct DepthMapping {
    std::unique_ptr<libfreenect2::Registration> registration;
    std::unique_ptr<libfreenect2::Frame> undistorted, registered, bigdepth;
    ColourCamera camera;
};

// For a device whose streams have started.
DepthMapping start_depth_mapping(libfreenect2::Freenect2Device &device);

// The depth frame of a set mapped onto its colour frame; the view shares `mapping`'s pixels until the next call.
DepthView map_depth(DepthMapping &mapping, const libfreenect2::Frame &colour, const libfreenect2::Frame &depth);

// The colour frame's pixels, wrapped without copying, converted into the program's own grey image and, when
// `with_colour`, colour image; once `mapping` has been started (--liveness), with the set's depth frame mapped
// onto them.
FrameImages frame_images(const libfreenect2::Frame &colour, libfreenect2::FrameMap &frames, DepthMapping &mapping,
                         bool with_colour = true);

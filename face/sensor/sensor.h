#pragma once
// The first Kinect v2's colour stream, opened, started and closed the same way by every program that reads it.
#include <libfreenect2/frame_listener_impl.h>
#include <libfreenect2/libfreenect2.hpp>

#include "core/frame_steps.h"
#include "core/names.h"
#include "core/run_log.h"


// No frame within this time ends a run.
constexpr int kFrameTimeoutMs = 10000;

// Keeps the library's informational lines off standard output, unless LIBFREENECT2_LOGGER_LEVEL names a level.
void quieten_sensor_library();

// Opens the first sensor (with the CPU packet pipeline unless LIBFREENECT2_PIPELINE names one) and starts its
// colour stream into `listener`, logging the device lines.
// Returns 0 with `device` set, or 5, 6 or 7 after the error line (the device is closed again on 7).
// The context owns the device and deletes it when it goes.
int start_colour_stream(libfreenect2::Freenect2 &context, libfreenect2::SyncMultiFrameListener &listener,
                        Logger &logger, libfreenect2::Freenect2Device *&device);

// Stops the stream and closes the device; nothing is called on it afterwards.
void stop_colour_stream(libfreenect2::Freenect2Device &device);

// Waits for the next colour frame and checks that it can be used. Null after the time-out line or the
// unsupported-frame line; an unsupported frame is released first, so nothing is held then.
const libfreenect2::Frame *wait_for_colour_frame(libfreenect2::SyncMultiFrameListener &listener,
                                                 libfreenect2::FrameMap &frames, Logger &logger);

// The frame's pixels, wrapped without copying, converted into the program's own colour and grey images.
FrameImages frame_images(const libfreenect2::Frame &frame);

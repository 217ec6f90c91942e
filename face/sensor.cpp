#include "sensor.h"

#include <cstdlib>

#include <libfreenect2/logger.h>

void quieten_sensor_library() {
    if (std::getenv("LIBFREENECT2_LOGGER_LEVEL") == nullptr) {
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
    libfreenect2::Freenect2Device *opened = context.openDevice(context.getDefaultDeviceSerialNumber());
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

#pragma once
// Simulated sensor: libfreenect2's context and device.
//
// Configured only through the environment:
//   LUMIVAR_SIM_FRAMES  directory of still images (served in name order) or a video file;
//                       unset or empty: no sensor connected
//   LUMIVAR_SIM_FORMAT  bgrx (default), rgbx, or bad (3 bytes per pixel)
//   LUMIVAR_SIM_FAIL    open: openDevice returns null; start: startStreams returns false
//   LUMIVAR_SIM_LOOP    1: serve the frames again and again
//   LUMIVAR_SIM_FPS     N: pace the frames at N per second (default: as fast as asked for)
#include <string>

#include <libfreenect2/frame_listener.hpp>

namespace libfreenect2 {

class PacketPipeline;
class Freenect2Impl;

class Freenect2Device {
public:
    virtual ~Freenect2Device();

    virtual std::string getSerialNumber() = 0;
    virtual std::string getFirmwareVersion() = 0;

    virtual void setColorFrameListener(FrameListener *rgb_frame_listener) = 0;
    virtual void setIrAndDepthFrameListener(FrameListener *ir_frame_listener) = 0;

    virtual bool start() = 0;
    virtual bool startStreams(bool rgb, bool depth) = 0;
    virtual bool stop() = 0;
    virtual bool close() = 0;
};

class Freenect2 {
public:
    Freenect2(void *usb_context = 0);
    virtual ~Freenect2();

    Freenect2(const Freenect2 &) = delete;
    Freenect2 &operator=(const Freenect2 &) = delete;

    int enumerateDevices();
    std::string getDeviceSerialNumber(int idx);
    std::string getDefaultDeviceSerialNumber();

    Freenect2Device *openDevice(int idx);
    Freenect2Device *openDevice(int idx, const PacketPipeline *factory);
    Freenect2Device *openDevice(const std::string &serial);
    Freenect2Device *openDevice(const std::string &serial, const PacketPipeline *factory);
    Freenect2Device *openDefaultDevice();
    Freenect2Device *openDefaultDevice(const PacketPipeline *factory);

private:
    Freenect2Impl *impl_;
};

}  // namespace libfreenect2

#pragma once
// Simulated sensor: libfreenect2's context and device.
//
// Configured only through the environment:
//   LUMIVAR_SIM_FRAMES  directory of still images (served in name order) or a video file;
//                       unset or empty: no sensor connected
//   LUMIVAR_SIM_FORMAT  bgrx (default), rgbx, or bad (3 bytes per pixel)
//   LUMIVAR_SIM_DEPTH   directory of depth pictures: for colour frame NAME.EXT, NAME.png, 16-bit grey, depth in
//                       millimetres aligned pixel for pixel with the colour frame (0: no depth); unset, or no
//                       such file: the depth frame holds no valid pixel
//   LUMIVAR_SIM_FAIL    open: openDevice returns null; start: startStreams returns false; depth: the depth
//                       stream never delivers a frame
//   LUMIVAR_SIM_LOOP    1: serve the frames again and again
//   LUMIVAR_SIM_FPS     N: pace the frames at N per second (default: as fast as asked for)
//   LUMIVAR_SIM_REALTIME 1: frames come at the sensor's own pace (LUMIVAR_SIM_FPS, default 30) and are dropped
//                       while the application holds one or is too slow, as with the real sensor; each is read
//                       and decoded on the device's own thread, as the library decodes the sensor's pictures
//   LUMIVAR_SIM_REPORT  a file to which each open appends the packet pipeline it was given
#include <string>

#include <libfreenect2/frame_listener.hpp>

namespace libfreenect2 {

class PacketPipeline;
class Freenect2Impl;

class Freenect2Device {
public:
    // The USB identity of the sensor (the preview model has its own product id).
    static const unsigned int VendorId = 0x045E;
    static const unsigned int ProductId = 0x02D8;
    static const unsigned int ProductIdPreview = 0x02C4;

    // Depth (infrared) camera: focal lengths and centre in pixels, radial and tangential distortion.
    struct IrCameraParams {
        float fx, fy, cx, cy;
        float k1, k2, k3, p1, p2;
    };

    // Colour camera: focal lengths and centre in pixels, then the coefficients of the library's depth-to-colour
    // mapping.
    struct ColorCameraParams {
        float fx, fy, cx, cy;

        float shift_d, shift_m;

        float mx_x3y0;
        float mx_x0y3;
        float mx_x2y1;
        float mx_x1y2;
        float mx_x2y0;
        float mx_x0y2;
        float mx_x1y1;
        float mx_x1y0;
        float mx_x0y1;
        float mx_x0y0;

        float my_x3y0;
        float my_x0y3;
        float my_x2y1;
        float my_x1y2;
        float my_x2y0;
        float my_x0y2;
        float my_x1y1;
        float my_x1y0;
        float my_x0y1;
        float my_x0y0;
    };

    virtual ~Freenect2Device();

    virtual std::string getSerialNumber() = 0;
    // "<unknown>" until the streams have started.
    virtual std::string getFirmwareVersion() = 0;

    // Read from the sensor when it is opened.
    virtual ColorCameraParams getColorCameraParams() = 0;
    virtual IrCameraParams getIrCameraParams() = 0;

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

    // Sensors this user may open: one without the permission to open it is skipped.
    int enumerateDevices();
    std::string getDeviceSerialNumber(int idx);
    std::string getDefaultDeviceSerialNumber();

    // Without a pipeline the library builds its default one first (see packet_pipeline.h); with one it
    // takes ownership, also when the open fails.
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

#pragma once
// Simulated sensor: libfreenect2's frame and frame listener.
#include <cstddef>
#include <cstdint>

namespace libfreenect2 {

class Frame {
public:
    enum Type { Color = 1, Ir = 2, Depth = 4 };
    enum Format { Invalid = 0, Raw = 1, Float = 2, BGRX = 4, RGBX = 5, Gray = 6 };

    size_t width;
    size_t height;
    size_t bytes_per_pixel;
    unsigned char *data;
    uint32_t timestamp;
    uint32_t sequence;
    float exposure;
    float gain;
    float gamma;
    uint32_t status;
    Format format;

    // Without `data` the frame allocates and owns a buffer of width x height x bytes_per_pixel.
    Frame(size_t width, size_t height, size_t bytes_per_pixel, unsigned char *data = 0);
    virtual ~Frame();

    Frame(const Frame &) = delete;
    Frame &operator=(const Frame &) = delete;

protected:
    unsigned char *rawdata;
};

class FrameListener {
public:
    virtual ~FrameListener();
    // True when the listener took ownership of the frame.
    virtual bool onNewFrame(Frame::Type type, Frame *frame) = 0;
};

}  // namespace libfreenect2

#pragma once
// Simulated sensor: libfreenect2's registration, which maps depth onto the colour image.
#include <libfreenect2/frame_listener.hpp>
#include <libfreenect2/libfreenect2.hpp>

namespace libfreenect2 {

class RegistrationImpl;

class Registration {
public:
    // Both parameter sets come from the open device.
    Registration(Freenect2Device::IrCameraParams depth_p, Freenect2Device::ColorCameraParams rgb_p);
    ~Registration();

    // Maps one depth frame (512 x 424 floats, millimetres) onto the colour frame. The caller allocates the
    // outputs: `undistorted` and `registered` 512 x 424 x 4, `bigdepth` colour width x (colour height + 2) x 4
    // (filled only with `enable_filter`: colour row r is row r + 1, +infinity where no depth landed). A frame of
    // the wrong size or bytes per pixel makes it do nothing.
    void apply(const Frame *rgb, const Frame *depth, Frame *undistorted, Frame *registered,
               const bool enable_filter = true, Frame *bigdepth = 0, int *color_depth_map = 0) const;

private:
    RegistrationImpl *impl_;

    Registration(const Registration &);
    Registration &operator=(const Registration &);
};

}  // namespace libfreenect2

// Simulated sensor: its two cameras, the depth frames it sees and the registration that maps them onto colour.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include <opencv2/imgcodecs.hpp>

#include <libfreenect2/registration.h>

#include "sim_internal.h"

namespace libfreenect2 {
namespace sim {

namespace {

// A real sensor's colour camera at 1920 x 1080 and depth camera at 512 x 424.
constexpr float kColourFocal = 1081.37f;
constexpr float kColourFullWidth = 1920.0f;
constexpr float kDepthFocal = 365.46f;
constexpr float kDepthCentreX = 256.0f;
constexpr float kDepthCentreY = 205.4f;

// Depth pictures kept per stream; a longer replay reads them again.
constexpr size_t kDepthPictureBudget = 64;

bool usable_depth(float z) { return z >= kMinDepthMm && z <= kMaxDepthMm; }

cv::Mat read_depth_picture(const std::string &dir, const std::string &name) {
    if (dir.empty() || name.empty()) return {};
    const std::string path = (std::filesystem::path(dir) / (name + ".png")).string();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) return {};
    cv::Mat picture = cv::imread(path, cv::IMREAD_ANYDEPTH);
    if (picture.type() != CV_16UC1) {
        log(Logger::Warning, "[SimFreenect2] ignoring depth picture " + path + ": not 16-bit grey");
        return {};
    }
    return picture;
}

}  // namespace

Freenect2Device::IrCameraParams depth_camera() {
    Freenect2Device::IrCameraParams p{};
    p.fx = p.fy = kDepthFocal;
    p.cx = kDepthCentreX;
    p.cy = kDepthCentreY;
    return p;  // no lens distortion
}

Freenect2Device::ColorCameraParams colour_camera(cv::Size picture) {
    Freenect2Device::ColorCameraParams p{};
    p.fx = p.fy = kColourFocal * static_cast<float>(picture.width) / kColourFullWidth;
    p.cx = (static_cast<float>(picture.width) - 1.0f) / 2.0f;
    p.cy = (static_cast<float>(picture.height) - 1.0f) / 2.0f;
    return p;
}

cv::Point2f depth_to_colour(const Freenect2Device::IrCameraParams &depth,
                            const Freenect2Device::ColorCameraParams &colour, int x, int y) {
    return cv::Point2f(colour.fx * (static_cast<float>(x) - depth.cx) / depth.fx + colour.cx,
                       colour.fy * (static_cast<float>(y) - depth.cy) / depth.fy + colour.cy);
}

Frame *make_depth_frame(const cv::Mat &aligned, cv::Size picture, uint32_t sequence) {
    Frame *frame = new Frame(kDepthWidth, kDepthHeight, 4);
    frame->format = Frame::Float;
    frame->sequence = sequence;
    frame->timestamp = sequence * 333;
    cv::Mat depth(kDepthHeight, kDepthWidth, CV_32FC1, frame->data);
    depth = 0.0f;
    if (aligned.empty() || aligned.size() != picture) return frame;
    const Freenect2Device::IrCameraParams ir = depth_camera();
    const Freenect2Device::ColorCameraParams rgb = colour_camera(picture);
    for (int y = 0; y < kDepthHeight; ++y) {
        float *row = depth.ptr<float>(y);
        for (int x = 0; x < kDepthWidth; ++x) {
            const cv::Point2f at = depth_to_colour(ir, rgb, x, y);
            const int u = static_cast<int>(std::lround(at.x)), v = static_cast<int>(std::lround(at.y));
            if (u < 0 || v < 0 || u >= picture.width || v >= picture.height) continue;
            const float z = aligned.at<uint16_t>(v, u);
            if (usable_depth(z)) row[x] = z;
        }
    }
    return frame;
}

Frame *depth_frame_for_last_colour(ColourStream &stream, cv::Size picture, uint32_t sequence) {
    if (Frame *made = stream.delivered_depth) {  // in real time, made with its colour frame
        stream.delivered_depth = nullptr;
        return made;
    }
    return depth_frame_for(stream, stream.delivered_name, picture, sequence);
}

Frame *depth_frame_for(ColourStream &stream, const std::string &name, cv::Size picture, uint32_t sequence) {
    auto found = stream.depth_pictures.find(name);
    if (found == stream.depth_pictures.end()) {
        cv::Mat aligned = read_depth_picture(stream.config.depth_dir, name);
        if (!aligned.empty() && aligned.size() != picture) {
            log(Logger::Warning, "[SimFreenect2] ignoring depth picture " + name + ".png: not the colour frame's size");
            aligned.release();
        }
        if (stream.depth_pictures.size() >= kDepthPictureBudget) stream.depth_pictures.clear();
        found = stream.depth_pictures.emplace(name, aligned).first;
    }
    return make_depth_frame(found->second, picture, sequence);
}

}  // namespace sim

class RegistrationImpl {
public:
    Freenect2Device::IrCameraParams depth;
    Freenect2Device::ColorCameraParams colour;
};

Registration::Registration(Freenect2Device::IrCameraParams depth_p, Freenect2Device::ColorCameraParams rgb_p)
    : impl_(new RegistrationImpl{depth_p, rgb_p}) {}

Registration::~Registration() { delete impl_; }

namespace {

bool has_size(const Frame *frame, size_t width, size_t height) {
    return frame != nullptr && frame->width == width && frame->height == height && frame->bytes_per_pixel == 4;
}

}  // namespace

void Registration::apply(const Frame *rgb, const Frame *depth, Frame *undistorted, Frame *registered,
                         const bool enable_filter, Frame *bigdepth, int *color_depth_map) const {
    using sim::kDepthHeight;
    using sim::kDepthWidth;
    if (rgb == nullptr || rgb->bytes_per_pixel != 4 || !has_size(depth, kDepthWidth, kDepthHeight) ||
        !has_size(undistorted, kDepthWidth, kDepthHeight) || !has_size(registered, kDepthWidth, kDepthHeight))
        return;
    const int width = static_cast<int>(rgb->width), height = static_cast<int>(rgb->height);
    if (bigdepth != nullptr && !has_size(bigdepth, rgb->width, rgb->height + 2)) return;

    const float *in = reinterpret_cast<const float *>(depth->data);
    float *out = reinterpret_cast<float *>(undistorted->data);
    uint32_t *colour_of = reinterpret_cast<uint32_t *>(registered->data);
    const uint32_t *colour = reinterpret_cast<const uint32_t *>(rgb->data);
    float *big = bigdepth ? reinterpret_cast<float *>(bigdepth->data) : nullptr;
    const bool fill_big = big != nullptr && enable_filter;
    if (fill_big) std::fill(big, big + static_cast<size_t>(width) * (height + 2), std::numeric_limits<float>::infinity());

    for (int y = 0; y < kDepthHeight; ++y) {
        for (int x = 0; x < kDepthWidth; ++x) {
            const int i = y * kDepthWidth + x;
            const float z = in[i];
            const bool valid = z > 0.0f && std::isfinite(z);
            out[i] = valid ? z : 0.0f;
            colour_of[i] = 0;
            if (color_depth_map) color_depth_map[i] = -1;
            if (!valid) continue;
            const cv::Point2f at = sim::depth_to_colour(impl_->depth, impl_->colour, x, y);
            const int u = static_cast<int>(std::lround(at.x)), v = static_cast<int>(std::lround(at.y));
            if (u < 0 || v < 0 || u >= width || v >= height) continue;
            colour_of[i] = colour[v * width + u];
            if (color_depth_map) color_depth_map[i] = v * width + u;
            if (!fill_big) continue;
            // Each depth pixel covers a 5 x 3 window around its colour pixel; the nearer surface wins.
            for (int row = std::max(v, 0); row <= std::min(v + 2, height + 1); ++row) {
                float *line = big + static_cast<size_t>(row) * width;
                for (int col = std::max(u - 2, 0); col <= std::min(u + 2, width - 1); ++col)
                    line[col] = std::min(line[col], z);
            }
        }
    }
}

}  // namespace libfreenect2

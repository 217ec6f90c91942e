#pragma once
// Depth pictures for the simulated sensor (LUMIVAR_SIM_DEPTH): what the depth camera would measure behind a face
// rectangle of a colour frame when it is a live head, a printed photo (facing, turned, bent), or a phone screen.
// 16-bit, millimetres, aligned pixel for pixel with the colour frame, 0 = no depth. The sensor's noise grows with
// distance and with the surface's slant, is drawn once per depth-camera pixel (about 3 x 3 colour pixels on the real
// sensor), and some depth pixels are missing.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace face_test {

// The stand-in's cameras (face/sim_freenect2): the colour focal length scales with the frame's width.
struct SceneCamera {
    double fx, fy, cx, cy;
};
inline SceneCamera scene_camera(cv::Size frame) {
    const double f = 1081.37 * frame.width / 1920.0;
    return {f, f, (frame.width - 1) / 2.0, (frame.height - 1) / 2.0};
}
constexpr double kSceneDepthFocal = 365.46;
constexpr double kSceneDepthCx = 256.0, kSceneDepthCy = 205.4;

// Width of the detector's box around a real face, in millimetres.
constexpr double kFaceBoxWidthMm = 160.0;

// How far a face of this pixel width is from the camera.
inline double distance_for_face(const cv::Rect &face, const SceneCamera &camera) {
    return camera.fx * kFaceBoxWidthMm / face.width;
}

enum class SceneKind { LiveHead, Photo, BentPhoto, Screen };

struct Scene {
    SceneKind kind = SceneKind::LiveHead;
    double distance_mm = 1000.0;  // of the face's centre (the head: its cheeks' plane)
    double yaw_deg = 0.0;         // turned about the vertical axis
    double pitch_deg = 0.0;       // about the horizontal axis
    double roll_deg = 0.0;        // about the line of sight
    double bend_radius_mm = 300.0;  // BentPhoto: convex towards the camera, around a vertical axis
    double nose_mm = 25.0;          // LiveHead: the nose tip in front of the face's central plane
    double missing_share = 0.03;    // depth pixels with no value
    uint64_t seed = 1;
};

// Published noise of the sensor on a facing flat target: about 1.5 mm at 1 m, 4 mm at 3 m.
inline double depth_noise_mm(double z_mm) { return std::max(0.8, 1.5 + 1.25 * (z_mm / 1000.0 - 1.0)); }

namespace scene_detail {

inline double gauss(double x, double s) { return std::exp(-0.5 * (x / s) * (x / s)); }

// Height of a live face above its central plane (mm, towards the camera) at box-relative coordinates (x and y
// in box widths and heights from the box centre, y downwards); false outside the head.
inline bool head_height(double xn, double yn, double nose_mm, double &h) {
    const double ex = xn / 0.56, ey = (yn + 0.05) / 0.8;
    if (ex * ex + ey * ey > 1.0) {
        if (yn > 0.5 && std::abs(xn) < 0.28) {  // the neck, set back
            h = -70.0;
            return true;
        }
        return false;
    }
    h = -50.0 * (xn / 0.5) * (xn / 0.5) - 15.0 * (yn / 0.5) * (yn / 0.5);  // curving back to the ears, up and down
    double ridge;
    if (yn < -0.15) ridge = 8.0 * gauss(yn + 0.15, 0.05);
    else if (yn <= 0.12) ridge = 8.0 + (nose_mm - 8.0) * (yn + 0.15) / 0.27;
    else ridge = nose_mm * gauss(yn - 0.12, 0.04);
    h += ridge * gauss(xn, 0.06);
    for (double side : {-0.2, 0.2}) h -= 10.0 * gauss(std::hypot(xn - side, (yn + 0.1) * 0.9), 0.07);  // eye sockets
    h += 6.0 * gauss(xn, 0.1) * gauss(yn - 0.3, 0.04);    // lips
    h += 4.0 * gauss(xn, 0.12) * gauss(yn - 0.45, 0.05);  // chin
    return true;
}

inline cv::Matx33d rotation(const Scene &s) {
    const double a = s.yaw_deg * CV_PI / 180, b = s.pitch_deg * CV_PI / 180, c = s.roll_deg * CV_PI / 180;
    const cv::Matx33d yaw(std::cos(a), 0, std::sin(a), 0, 1, 0, -std::sin(a), 0, std::cos(a));
    const cv::Matx33d pitch(1, 0, 0, 0, std::cos(b), -std::sin(b), 0, std::sin(b), std::cos(b));
    const cv::Matx33d roll(std::cos(c), -std::sin(c), 0, std::sin(c), std::cos(c), 0, 0, 0, 1);
    return yaw * pitch * roll;
}

}  // namespace scene_detail

// The depth picture of `scene` for a colour frame of `frame` size whose face the detector boxed as `face`.
inline cv::Mat make_depth_picture(cv::Size frame, const cv::Rect &face, const Scene &scene) {
    using namespace scene_detail;
    const SceneCamera cam = scene_camera(frame);
    const double d = scene.distance_mm;
    const double box_w = face.width * d / cam.fx, box_h = face.height * d / cam.fy;
    const cv::Vec3d centre((face.x + face.width / 2.0 - cam.cx) * d / cam.fx,
                           (face.y + face.height / 2.0 - cam.cy) * d / cam.fy, d);
    const cv::Matx33d turn = rotation(scene);
    const cv::Matx33d back = turn.t();
    const cv::Vec3d b = back * centre;
    const double wall = std::min(d + 1200.0, 4300.0);

    // The surface's height over its local plane (towards the camera), or false where the ray misses it.
    auto height = [&](double qx, double qy, double &h) {
        const double xn = qx / box_w, yn = qy / box_h;
        switch (scene.kind) {
        case SceneKind::LiveHead:
            return head_height(xn, yn, scene.nose_mm, h);
        case SceneKind::Photo:
        case SceneKind::Screen:
            h = 0.0;
            return std::abs(xn) <= 1.5 && std::abs(yn) <= 1.8;
        case SceneKind::BentPhoto: {
            const double r = scene.bend_radius_mm;
            if (std::abs(xn) > 1.5 || std::abs(yn) > 1.8 || std::abs(qx) > 0.95 * r) return false;
            h = -(r - std::sqrt(r * r - qx * qx));
            return true;
        }
        }
        return false;
    };

    cv::Mat clean(frame, CV_64FC1, cv::Scalar(wall));
    // The head, the sheet or the phone around the face; the wall beyond (the liveness check looks inside the box).
    const cv::Rect region = cv::Rect(face.x - face.width * 4 / 5, face.y - face.height * 4 / 5, face.width * 13 / 5,
                                     face.height * 13 / 5) & cv::Rect(0, 0, frame.width, frame.height);
    for (int v = region.y; v < region.br().y; ++v) {
        double *row = clean.ptr<double>(v);
        for (int u = region.x; u < region.br().x; ++u) {
            const cv::Vec3d ray((u - cam.cx) / cam.fx, (v - cam.cy) / cam.fy, 1.0);
            const cv::Vec3d a = back * ray;
            double t = b[2] / a[2], h = 0.0;
            bool hit = true;
            for (int k = 0; k < 8 && hit; ++k) {
                const double qx = t * a[0] - b[0], qy = t * a[1] - b[1];
                hit = height(qx, qy, h);
                t = 0.5 * t + 0.5 * (b[2] - h) / a[2];  // damped: steep sides converge too
            }
            if (hit) hit = height(t * a[0] - b[0], t * a[1] - b[1], h);
            if (!hit || t <= 0.0 || t > wall) continue;
            if (scene.kind == SceneKind::Screen) {
                const double xn = (t * a[0] - b[0]) / box_w, yn = (t * a[1] - b[1]) / box_h;
                if (std::abs(xn) <= 1.2 && std::abs(yn) <= 1.6) t = 0.0;  // the glass returns nothing
                else if (std::abs(xn) > 1.3 || std::abs(yn) > 1.7) continue;  // beyond the phone's frame
            }
            row[u] = t;  // the ray's z component is 1: t is the depth
        }
    }

    // Slant from the clean depth's slope in millimetres per millimetre; noise grows with it (at most 3 times).
    cv::Mat dzdu, dzdv;
    cv::Sobel(clean, dzdu, CV_64F, 1, 0, 1, 0.5);
    cv::Sobel(clean, dzdv, CV_64F, 0, 1, 1, 0.5);

    cv::RNG rng(scene.seed);
    cv::Mat noise(424, 512, CV_64FC1), missing(424, 512, CV_64FC1);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, 1.0);
    rng.fill(missing, cv::RNG::UNIFORM, 0.0, 1.0);
    cv::Mat picture(frame, CV_16UC1, cv::Scalar(0));
    for (int v = 0; v < frame.height; ++v) {
        const int j = static_cast<int>(std::lround((v - cam.cy) / cam.fy * kSceneDepthFocal + kSceneDepthCy));
        if (j < 0 || j >= 424) continue;
        for (int u = 0; u < frame.width; ++u) {
            const int i = static_cast<int>(std::lround((u - cam.cx) / cam.fx * kSceneDepthFocal + kSceneDepthCx));
            if (i < 0 || i >= 512) continue;
            const double z = clean.at<double>(v, u);
            if (z <= 0.0 || missing.at<double>(j, i) < scene.missing_share) continue;
            const double per_mm = cam.fx / z;
            const double sx = dzdu.at<double>(v, u) * per_mm, sy = dzdv.at<double>(v, u) * per_mm;
            const double slant = std::min(3.0, std::sqrt(1.0 + sx * sx + sy * sy));
            const double measured = z + noise.at<double>(j, i) * depth_noise_mm(z) * slant;
            picture.at<uint16_t>(v, u) = cv::saturate_cast<uint16_t>(std::lround(measured));
        }
    }
    return picture;
}

}  // namespace face_test

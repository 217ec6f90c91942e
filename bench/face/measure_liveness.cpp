// Measurement behind the liveness check of lumivar_face and lumivar_enroll (--liveness, --liveness-min-relief):
// the relief it measures for live heads and for attacks (photos facing, turned and bent, phone screens) from 0.6 to
// 3 m, through the simulated sensor's depth stream and registration exactly as the programs get it.
// Usage: face_measure_liveness WORK_DIR [trials per scene and distance, default 12] [limit in mm]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "core/liveness.h"
#include "core/names.h"
#include "depth_scenes.h"
#include "sensor/sensor.h"

namespace fs = std::filesystem;
using face_test::Scene;
using face_test::SceneKind;

namespace {

struct Case {
    std::string name;
    bool live;
    SceneKind kind;
    double yaw, pitch, roll, radius;
};

const std::vector<Case> kCases = {
    {"live head", true, SceneKind::LiveHead, 0, 0, 0, 0},
    {"photo facing", false, SceneKind::Photo, 0, 0, 0, 0},
    {"photo yaw 30", false, SceneKind::Photo, 30, 0, 0, 0},
    {"photo yaw 60", false, SceneKind::Photo, 60, 0, 0, 0},
    {"photo pitch 30", false, SceneKind::Photo, 0, 30, 0, 0},
    {"photo pitch 60", false, SceneKind::Photo, 0, 60, 0, 0},
    {"photo roll 60", false, SceneKind::Photo, 0, 0, 60, 0},
    {"photo bent r=300", false, SceneKind::BentPhoto, 0, 0, 0, 300},
    {"photo bent r=200", false, SceneKind::BentPhoto, 0, 0, 0, 200},
    {"photo bent r=150", false, SceneKind::BentPhoto, 0, 0, 0, 150},
    {"photo bent r=100", false, SceneKind::BentPhoto, 0, 0, 0, 100},
    {"phone screen", false, SceneKind::Screen, 0, 0, 0, 0},
};
const std::vector<double> kDistances = {500, 600, 800, 1000, 1250, 1500, 2000, 2500, 3000};

struct Trial {
    size_t scene, distance;
    cv::Rect box;
    LivenessCheck check;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s WORK_DIR [trials] [limit mm]\n", argv[0]);
        return 2;
    }
    const fs::path work = argv[1];
    const int trials = argc > 2 ? std::max(1, std::atoi(argv[2])) : 12;
    const double limit = argc > 3 ? std::atof(argv[3]) : Options().liveness_min_relief;
    const cv::Size frame(1920, 1080);
    fs::remove_all(work);
    fs::create_directories(work / "colour");
    fs::create_directories(work / "depth");
    cv::imwrite((work / "grey.png").string(), cv::Mat(frame, CV_8UC3, cv::Scalar(128, 128, 128)));

    // Every scene at every distance, the face somewhere in the depth camera's view, varied a little each time.
    cv::RNG rng(17);
    const face_test::SceneCamera camera = face_test::scene_camera(frame);
    std::vector<Trial> runs;
    for (size_t s = 0; s < kCases.size(); ++s) {
        for (size_t d = 0; d < kDistances.size(); ++d) {
            for (int t = 0; t < (kCases[s].live ? 3 * trials : trials); ++t) {
                Scene scene;
                scene.kind = kCases[s].kind;
                scene.distance_mm = kDistances[d] * rng.uniform(0.97, 1.03);
                const double sign = rng.uniform(0, 2) ? 1.0 : -1.0;
                scene.yaw_deg = sign * kCases[s].yaw;
                scene.pitch_deg = -sign * kCases[s].pitch;
                scene.roll_deg = kCases[s].roll;
                scene.bend_radius_mm = kCases[s].radius;
                if (kCases[s].live) {  // a person: turned a little, nose 20 to 28 mm
                    scene.yaw_deg = rng.uniform(-20.0, 20.0);
                    scene.pitch_deg = rng.uniform(-12.0, 12.0);
                    scene.nose_mm = rng.uniform(20.0, 28.0);
                }
                scene.seed = runs.size() + 1;
                const int side = static_cast<int>(camera.fx * face_test::kFaceBoxWidthMm / scene.distance_mm *
                                                  rng.uniform(0.92, 1.08));
                const int cx = static_cast<int>(frame.width / 2 + rng.uniform(-0.25, 0.25) * frame.width);
                const int cy = static_cast<int>(frame.height / 2 + rng.uniform(-0.15, 0.15) * frame.height);
                Trial trial{s, d, cv::Rect(cx - side / 2, cy - side / 2, side, side), {}};
                trial.box &= cv::Rect(0, 0, frame.width, frame.height);
                char name[32];
                std::snprintf(name, sizeof name, "scene_%05zu", runs.size());
                cv::imwrite((work / "depth" / (std::string(name) + ".png")).string(),
                            face_test::make_depth_picture(frame, trial.box, scene), {cv::IMWRITE_PNG_COMPRESSION, 1});
                fs::create_symlink(work / "grey.png", work / "colour" / (std::string(name) + ".png"));
                runs.push_back(trial);
            }
        }
    }

    // Through the simulated sensor: colour and depth streams, the registration, the liveness check.
    setenv("LUMIVAR_SIM_FRAMES", (work / "colour").c_str(), 1);
    setenv("LUMIVAR_SIM_DEPTH", (work / "depth").c_str(), 1);
    quieten_sensor_library();
    Logger logger;
    libfreenect2::Freenect2 context;
    libfreenect2::SyncMultiFrameListener listener(listened_frame_types(true));
    libfreenect2::FrameMap frames;
    libfreenect2::Freenect2Device *device = nullptr;
    if (start_colour_stream(context, listener, logger, device, true) != 0) return 1;
    DepthMapping mapping = start_depth_mapping(*device);
    for (Trial &trial : runs) {
        const libfreenect2::Frame *colour = wait_for_colour_frame(listener, frames, logger, true);
        if (colour == nullptr) return 1;
        const DepthView view = map_depth(mapping, *colour, *frames[libfreenect2::Frame::Depth]);
        trial.check = check_liveness(view, trial.box, limit);
        listener.release(frames);
    }
    stop_colour_stream(*device);

    std::printf("\nliveness limit %.1f mm; share of live heads passing, of attacks refused (n per cell: %d, live %d)\n",
                limit, trials, 3 * trials);
    std::printf("%-18s", "scene \\ distance");
    for (double d : kDistances) std::printf(" %6.2fm", d / 1000);
    std::printf("   relief mm: min / median / max\n");
    for (size_t s = 0; s < kCases.size(); ++s) {
        std::printf("%-18s", kCases[s].name.c_str());
        std::vector<double> reliefs;
        int no_depth = 0;
        for (size_t d = 0; d < kDistances.size(); ++d) {
            int n = 0, good = 0;
            for (const Trial &t : runs) {
                if (t.scene != s || t.distance != d) continue;
                ++n;
                const bool passed = t.check.reason == kReasonAccepted;
                good += kCases[s].live ? passed : !passed;
                if (t.check.reason == kReasonNoDepth) ++no_depth;
                else reliefs.push_back(t.check.relief);
            }
            std::printf(" %6.0f%%", n ? 100.0 * good / n : 0.0);
        }
        std::sort(reliefs.begin(), reliefs.end());
        if (reliefs.empty()) std::printf("   (no depth in all %d)\n", no_depth);
        else std::printf("   %.1f / %.1f / %.1f%s\n", reliefs.front(), reliefs[reliefs.size() / 2], reliefs.back(),
                         no_depth ? (" (" + std::to_string(no_depth) + " no_depth)").c_str() : "");
    }
    return 0;
}

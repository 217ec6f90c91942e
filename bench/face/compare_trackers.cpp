// Which way of following faces --track uses: on a stream of frames (bench/face/make_walk_stream.py), per-frame
// detection as the reference, then our tracking (core/face_tracking.h) and OpenCV's cv::DetectionBasedTracker,
// each in a pass of its own as fast as it goes, with the default detection settings.
// The stream's truth file says where its real faces are; a face counts as found when a reported rectangle
// overlaps it by at least a third of the smaller of the two. Prints for each pass: ms per frame; the share of
// frames in which every real face the reference finds is found too, leaving out for each face the frames from
// the reference's first finding of it to the pass's; that pick-up in frames; rectangles on no real face.
// Usage: face_compare_trackers FRAME_DIR TRUTH_FILE
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect/detection_based_tracker.hpp>

#include "core/face_tracking.h"
#include "core/frame_steps.h"

namespace fs = std::filesystem;
using Faces = std::vector<cv::Rect>;

namespace {

// OpenCV's detector interface for DetectionBasedTracker, on a cascade of our own.
struct CascadeDetector : cv::DetectionBasedTracker::IDetector {
    cv::CascadeClassifier cascade;
    explicit CascadeDetector(const std::string &path) : cascade(path) {}
    void detect(const cv::Mat &image, std::vector<cv::Rect> &objects) override {
        cascade.detectMultiScale(image, objects, scaleFactor, minNeighbours, 0, minObjSize, maxObjSize);
    }
};

bool same_face(const cv::Rect &a, const cv::Rect &b) { return (a & b).area() * 3 >= std::min(a.area(), b.area()); }

bool found_in(const cv::Rect &face, const Faces &faces) {
    for (const cv::Rect &f : faces)
        if (same_face(face, f)) return true;
    return false;
}

struct Pass {
    std::vector<Faces> faces;
    std::vector<bool> processed;  // at the sensor's pace some frames are skipped: no faces reported for them
    double ms_per_frame = 0;
};

template <typename FindFaces>
Pass run_pass(const std::vector<fs::path> &frames, FindFaces find) {
    Pass pass;
    const auto start = std::chrono::steady_clock::now();
    for (const fs::path &path : frames) {
        cv::Mat grey = cv::imread(path.string(), cv::IMREAD_GRAYSCALE);
        pass.faces.push_back(find(grey));
    }
    pass.processed.assign(frames.size(), true);
    pass.ms_per_frame = 1000.0 * seconds_since(start) / frames.size();
    return pass;
}

// As the sensor delivers them: frame i at i / fps seconds; a pass that falls behind takes the newest frame.
template <typename FindFaces>
Pass run_paced_pass(const std::vector<fs::path> &frames, double fps, FindFaces find) {
    Pass pass;
    pass.faces.assign(frames.size(), Faces());
    pass.processed.assign(frames.size(), false);
    const auto start = std::chrono::steady_clock::now();
    int processed = 0;
    for (size_t next = 0; next < frames.size();) {
        const size_t due = static_cast<size_t>(seconds_since(start) * fps);
        if (due < next) {
            std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(1e6 * (next - due) / fps / 4)));
            continue;
        }
        const size_t i = std::min(due, frames.size() - 1);
        cv::Mat grey = cv::imread(frames[i].string(), cv::IMREAD_GRAYSCALE);
        pass.faces[i] = find(grey);
        pass.processed[i] = true;
        ++processed;
        next = i + 1;
    }
    pass.ms_per_frame = 1000.0 * seconds_since(start) / processed;
    return pass;
}

// Per frame, the real faces (walker first).
std::vector<Faces> read_truth(const std::string &path) {
    std::vector<Faces> truth;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        int frame = 0;
        words >> frame;
        Faces faces;
        for (cv::Rect r; words >> r.x >> r.y >> r.width >> r.height;) faces.push_back(r);
        truth.push_back(faces);
    }
    return truth;
}

void report(const char *name, const std::vector<Faces> &truth, const Pass &reference, const Pass &pass) {
    const size_t n = std::min(truth.size(), reference.faces.size());
    std::vector<bool> picking_up(n, false);
    std::string pickups;
    for (size_t face = 0; face < 2; ++face) {
        size_t first = 0;
        while (first < n && !(face < truth[first].size() && found_in(truth[first][face], reference.faces[first])))
            ++first;
        if (first == n) continue;
        size_t seen = first;
        while (seen < n && !found_in(truth[seen][face], pass.faces[seen])) picking_up[seen++] = true;
        pickups += std::string(face ? " stranger" : " walker") + " found by the reference in frame " +
                   std::to_string(first + 1) + ", " +
                   (seen < n ? std::to_string(seen - first) + " frames later" : std::string("never"));
    }
    int judged = 0, covered = 0, false_faces = 0, processed = 0;
    for (size_t i = 0; i < n; ++i) {
        for (const cv::Rect &r : pass.faces[i]) false_faces += !found_in(r, truth[i]);
        processed += pass.processed[i];
        if (picking_up[i] || !pass.processed[i]) continue;
        ++judged;
        bool all = true;
        for (const cv::Rect &face : truth[i])
            if (found_in(face, reference.faces[i])) all = all && found_in(face, pass.faces[i]);
        covered += all;
    }
    std::printf("%-34s %7.1f ms/frame, %d of %zu frames processed; every face found in %d of %d frames (%.1f %%), pick-ups aside;%s; "
                "%d rectangles on no real face\n",
                name, pass.ms_per_frame, processed, n, covered, judged, judged ? 100.0 * covered / judged : 0.0, pickups.c_str(),
                false_faces);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s FRAME_DIR TRUTH_FILE\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> frames;
    for (const auto &entry : fs::directory_iterator(argv[1])) frames.push_back(entry.path());
    std::sort(frames.begin(), frames.end());
    Options options;
    options.track = true;
    const std::vector<Faces> truth = read_truth(argv[2]);
    cv::CascadeClassifier detector;
    if (frames.empty() || !load_detector(options.cascade_path, detector)) {
        std::fprintf(stderr, "no frames or no cascade\n");
        return 1;
    }

    const Pass reference = run_pass(frames, [&](cv::Mat &grey) { return find_faces(detector, grey, options); });
    report("per-frame detection", truth, reference, reference);

    Pass ours;
    {
        FaceTracker tracker;
        start_tracking(tracker, options);
        ours = run_pass(frames, [&](cv::Mat &grey) { return track_faces(tracker, detector, grey, options); });
    }
    report("--track", truth, reference, ours);
    {
        FaceTracker tracker;
        start_tracking(tracker, options);
        ours = run_paced_pass(frames, 30.0, [&](cv::Mat &grey) { return track_faces(tracker, detector, grey, options); });
    }
    report("--track, 30 fps", truth, reference, ours);

    const int side = detection_min_side(options.min_face_size, options.scale);
    auto make_detector = [&] {
        auto d = cv::makePtr<CascadeDetector>(options.cascade_path);
        d->setScaleFactor(static_cast<float>(options.scale_factor));
        d->setMinNeighbours(options.min_neighbors);
        d->setMinObjectSize(cv::Size(side, side));
        return d;
    };
    for (const double fps : {0.0, 30.0}) {
        cv::DetectionBasedTracker dbt(make_detector(), make_detector(), cv::DetectionBasedTracker::Parameters());
        dbt.run();
        auto find = [&](cv::Mat &grey) {
            dbt.process(detection_image(grey, options.scale));
            Faces found;
            dbt.getObjects(found);
            for (cv::Rect &face : found) face = map_to_frame(face, options.scale);
            return found;
        };
        const Pass theirs = fps > 0 ? run_paced_pass(frames, fps, find) : run_pass(frames, find);
        dbt.stop();
        report(fps > 0 ? "cv::DetectionBasedTracker, 30 fps" : "cv::DetectionBasedTracker", truth, reference, theirs);
    }
    return 0;
}

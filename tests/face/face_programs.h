#pragma once
// Running the face programs from a test: arguments, environment and working directory in, exit status and
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

#include "run_program.h"
#include "face_files.h"

namespace face_test {

using namespace lumivar_test;

struct RunRequest {
    std::vector<std::string> args;          // after the program name
    std::string cwd;                         // empty: inherit
    std::map<std::string, std::string> env;  // set in the child
    // Removed in the child before `env` applies, so the caller's environment cannot leak in.
    std::vector<std::string> unset_env{"LOGFILE",          "LUMIVAR_SIM_FRAMES",    "LUMIVAR_SIM_FORMAT",
                                       "LUMIVAR_SIM_FAIL", "LUMIVAR_SIM_LOOP",      "LUMIVAR_SIM_FPS",
                                       "LUMIVAR_SIM_REALTIME", "LUMIVAR_SIM_REPORT", "LUMIVAR_SIM_DEPTH",
                                       "LIBFREENECT2_LOGGER_LEVEL", "LIBFREENECT2_PIPELINE", "DISPLAY",
                                       "QT_QPA_PLATFORM"};
    // lumivar_face on the simulated sensor; start-up tests pass LUMIVAR_FACE_BIN, the program as installed.
    std::string program = LUMIVAR_FACE_SIM_BIN;
    int timeout_seconds = 180;
    bool as_nobody = false;  // drop root's right to read any directory
};

struct RunResult {
    int status = -1;  // exit status, 128 + signal number, or -1 when killed at the time-out
    std::string out;
    std::string err;
};

// A started program; its output goes to files that can be read while it runs.
struct Child {
    pid_t pid = -1;
    ScratchDir capture;
    fs::path out_path() const { return capture.path / "out"; }
    fs::path err_path() const { return capture.path / "err"; }
    std::string out() const { return read_file(out_path()); }
    ~Child() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            forget_child(pid);
        }
    }
};

inline void start_program(const RunRequest &request, Child &child) {
    SpawnOptions options;
    options.env = request.env;
    options.unset_env = request.unset_env;
    options.cwd = request.cwd;
    options.as_nobody = request.as_nobody;
    std::vector<std::string> args{request.program};
    args.insert(args.end(), request.args.begin(), request.args.end());
    child.pid = spawn_process(args, options, child.out_path().string(), child.err_path().string());
}

// Waits for the child to end; kills it once `timeout_seconds` have passed (status -1 then).
inline RunResult wait_program(Child &child, int timeout_seconds) {
    const int wstatus = wait_for_exit(child.pid, timeout_seconds);
    child.pid = -1;
    RunResult result;
    result.status = wstatus == -1 ? -1 : WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    result.out = read_file(child.out_path());
    result.err = read_file(child.err_path());
    return result;
}

// Runs the program to its end, or kills it when the request's time-out passes.
inline RunResult run_program(const RunRequest &request) {
    Child child;
    start_program(request, child);
    return wait_program(child, request.timeout_seconds);
}

// lumivar_face arguments every live-loop run needs: samples, model files inside the scratch directory, frames.
inline std::vector<std::string> base_args(const fs::path &samples, const ScratchDir &scratch, int frames) {
    return {"--samples-dir", samples.string(), "--model", (scratch / "model/face.yml").string(),
            "--labels", (scratch / "model/labels.txt").string(), "--frames", std::to_string(frames)};
}

}  // namespace face_test

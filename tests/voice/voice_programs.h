#pragma once
// Running programs from the vocrin tests: shell command lines with a bounded run time, and vocrin or arecord
// as a child process with its own environment, output files and a bounded wait.
#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "run_program.h"
#include "temp_files.h"

namespace voicetest {

using namespace lumivar_test;
using TempDir = ScratchDir;

// One shell word that the shell hands back unchanged.
inline std::string quote(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// A shell command line bounded to 60 s.
inline std::string bounded(const std::string &command) { return "timeout -k 5 60 sh -c " + quote(command); }

// Runs a shell command line, its output going where the test's goes; returns its exit code.
inline int shell(const std::string &command) { return exit_code(std::system(bounded(command).c_str())); }

// Runs a shell command line and returns its standard output; its exit code goes to *code.
inline std::string shell_output(const std::string &command, int *code = nullptr) {
    FILE *pipe = ::popen(bounded(command).c_str(), "r");
    if (pipe == nullptr) {
        throw std::runtime_error("popen failed: " + command);
    }
    std::string out;
    std::array<char, 4096> buffer{};
    size_t got;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        out.append(buffer.data(), got);
    }
    const int status = ::pclose(pipe);
    if (code != nullptr) {
        *code = exit_code(status);
    }
    return out;
}

// Starts argv[0] (looked up on PATH) with extra environment entries; in `cwd` when given.
inline pid_t spawn(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
                   const std::string &stdout_path, const std::string &stderr_path, const std::string &cwd = "") {
    SpawnOptions options;
    options.env = env;
    options.cwd = cwd;
    return spawn_process(args, options, stdout_path, stderr_path);
}

struct RunResult {
    int status = -1;  // exit code, -1 when the program did not exit within 60 s
    std::string out;
    std::string err;
};

// Runs a program in `cwd` with HOME set to `cwd`, capturing standard output and error apart.
inline RunResult run(const std::vector<std::string> &argv, const std::string &cwd) {
    TempDir capture;
    const pid_t pid = spawn(argv, {{"HOME", cwd}}, capture.file("out"), capture.file("err"), cwd);
    RunResult result;
    result.status = exit_code(wait_for_exit(pid, 60));
    result.out = read_file(capture.file("out"));
    result.err = read_file(capture.file("err"));
    return result;
}

// Whether the process exists and has not ended (a zombie that nobody reaped has ended).
inline bool process_running(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const auto close_paren = stat.rfind(')');
    return close_paren != std::string::npos && close_paren + 2 < stat.size() && stat[close_paren + 2] != 'Z' &&
           stat[close_paren + 2] != 'X';
}

// Whether the process has a handler installed for `signal` (SigCgt in /proc/PID/status).
inline bool catches(pid_t pid, int signal) {
    const std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    const auto at = status.find("SigCgt:");
    return at != std::string::npos && ((std::stoull(status.substr(at + 7), nullptr, 16) >> (signal - 1)) & 1) != 0;
}

}  // namespace voicetest

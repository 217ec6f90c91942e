#pragma once
// Running programs from the vocrin tests: shell command lines with a bounded run time, and child
// processes with their own environment, output files and bounded waits.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "temp_files.h"

extern char **environ;

namespace voicetest {

// One shell word that the shell hands back unchanged.
inline std::string quote(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// Exit code from a wait status, or -1 when the process did not exit by itself.
inline int exit_code(int wait_status) {
    return wait_status != -1 && WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

// Whether a wait status is a normal exit with `code` (>= 0).
inline bool exited_with(int wait_status, int code) { return exit_code(wait_status) == code; }

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

// Children started by spawn() and not yet reaped, so a failed test can stop what it started.
inline std::vector<pid_t> &running_children() {
    static std::vector<pid_t> pids;
    return pids;
}

inline void forget_child(pid_t pid) {
    auto &pids = running_children();
    pids.erase(std::remove(pids.begin(), pids.end(), pid), pids.end());
}

// Starts argv[0] (looked up on PATH) with extra environment entries, standard input from
// /dev/null and its output in files; in `cwd` when given.
inline pid_t spawn(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
                   const std::string &stdout_path, const std::string &stderr_path, const std::string &cwd = "") {
    std::vector<std::string> env_entries;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (env.count(name) == 0) {
            env_entries.push_back(text);
        }
    }
    for (const auto &[name, value] : env) {
        env_entries.push_back(name + "=" + value);
    }
    std::vector<char *> argv;
    for (const std::string &arg : args) {
        argv.push_back(const_cast<char *>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &entry : env_entries) {
        envp.push_back(const_cast<char *>(entry.c_str()));
    }
    envp.push_back(nullptr);
    const int out_fd = ::open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err_fd = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        const int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, 0);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) {
            ::_exit(127);
        }
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out_fd);
    ::close(err_fd);
    running_children().push_back(pid);
    return pid;
}

// Wait status of the child, or -1 after killing it when it outlives the bound.
inline int wait_for_exit(pid_t pid, double timeout_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            forget_child(pid);
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    forget_child(pid);
    return -1;
}

// Kills and reaps every child still running; a killed vocrin's arecord then ends on its closed pipe.
inline void stop_running_children() {
    for (pid_t pid : running_children()) {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    running_children().clear();
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

// Polls `ready` every 10 ms until it holds or the bound passes.
template <typename Ready>
bool wait_until(Ready ready, double timeout_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return ready();
}

// Pid of the direct child of `parent` whose command name is `name`, or -1.
inline pid_t child_named(pid_t parent, const std::string &name) {
    DIR *proc = ::opendir("/proc");
    if (proc == nullptr) {
        return -1;
    }
    pid_t found = -1;
    while (dirent *entry = ::readdir(proc)) {
        const std::string pid_text = entry->d_name;
        if (pid_text.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string stat = read_file("/proc/" + pid_text + "/stat");
        const auto open_paren = stat.find('(');
        const auto close_paren = stat.rfind(')');
        if (open_paren == std::string::npos || close_paren == std::string::npos) {
            continue;
        }
        const std::string comm = stat.substr(open_paren + 1, close_paren - open_paren - 1);
        std::istringstream rest(stat.substr(close_paren + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && comm == name) {
            found = static_cast<pid_t>(std::stol(pid_text));
            break;
        }
    }
    ::closedir(proc);
    return found;
}

}  // namespace voicetest

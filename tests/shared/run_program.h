#pragma once
// Running a program from a test: arguments, environment and working directory in, output into files, a
// bounded wait for its end; children still running when a test fails can be stopped.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "temp_files.h"

extern char **environ;

namespace lumivar_test {

// Exit code from a wait status, or -1 when the process did not exit by itself.
inline int exit_code(int wait_status) {
    return wait_status != -1 && WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
}

// Whether a wait status is a normal exit with `code` (>= 0).
inline bool exited_with(int wait_status, int code) { return exit_code(wait_status) == code; }

// Children started by spawn_process() and not yet reaped, so a failed test can stop what it started.
inline std::vector<pid_t> &running_children() {
    static std::vector<pid_t> pids;
    return pids;
}

inline void forget_child(pid_t pid) {
    auto &pids = running_children();
    pids.erase(std::remove(pids.begin(), pids.end(), pid), pids.end());
}

// What the child gets besides its arguments.
struct SpawnOptions {
    std::map<std::string, std::string> env;  // set in the child
    std::vector<std::string> unset_env;      // removed, so the caller's environment cannot leak in
    std::string cwd;                         // empty: inherit
    bool as_nobody = false;                  // drop root's right to read any directory
};

// The environment the child starts with: ours, less the removed and replaced names, plus the set ones.
inline std::vector<std::string> child_environment(const SpawnOptions &options) {
    const std::set<std::string> removed(options.unset_env.begin(), options.unset_env.end());
    std::vector<std::string> entries;
    for (char **entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        if (removed.count(name) == 0 && options.env.count(name) == 0) entries.push_back(text);
    }
    for (const auto &[name, value] : options.env) entries.push_back(name + "=" + value);
    return entries;
}

// Starts args[0] (looked up on PATH) with standard input from /dev/null and its output in files.
inline pid_t spawn_process(const std::vector<std::string> &args, const SpawnOptions &options,
                           const std::string &stdout_path, const std::string &stderr_path) {
    const std::vector<std::string> env_entries = child_environment(options);
    std::vector<char *> argv;
    for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (const std::string &entry : env_entries) envp.push_back(const_cast<char *>(entry.c_str()));
    envp.push_back(nullptr);
    const int out_fd = ::open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err_fd = ::open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out_fd < 0 || err_fd < 0) throw std::runtime_error("cannot create the output files of " + args.at(0));
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(out_fd, 1);
        ::dup2(err_fd, 2);
        ::signal(SIGINT, SIG_DFL);  // a test run as a background job must still be able to send Ctrl-C
        const int null_fd = ::open("/dev/null", O_RDONLY);
        ::dup2(null_fd, 0);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
        if (options.as_nobody && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(126);
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
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    forget_child(pid);
    return -1;
}

// Kills and reaps every child still running.
inline void stop_running_children() {
    for (pid_t pid : running_children()) {
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    running_children().clear();
}

// Polls `ready` every 10 ms until it holds or the bound passes.
template <typename Ready>
bool wait_until(Ready ready, double timeout_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) return true;
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

}  // namespace lumivar_test

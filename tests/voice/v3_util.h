#pragma once
// Helpers for the end-to-end tests of vocrin: temporary directories, the simulated 4-channel array
// that the real arecord captures from, child processes with bounded waits, and file contents.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "wav.h"

extern char **environ;

namespace v3 {

struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vocrin-v3-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    std::string file(const std::string &name) const { return path + "/" + name; }
};

inline std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<unsigned char> read_bytes(const std::string &path) {
    const std::string text = read_text(path);
    return std::vector<unsigned char>(text.begin(), text.end());
}

inline void write_bytes(const std::string &path, const std::vector<unsigned char> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline bool file_exists(const std::string &path) { return access(path.c_str(), F_OK) == 0; }

inline long file_size(const std::string &path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// ALSA's file plugin over the null plugin replaces the built-in "hw" PCM, so the production
// device name hw:1,0 "captures" the raw S32_LE bytes of $MIC4_INFILE.
inline void write_simulated_array_config(const std::string &home) {
    std::ofstream out(home + "/.asoundrc");
    out << "pcm.!hw {\n"
           "    @args [ CARD DEV SUBDEV ]\n"
           "    @args.CARD { type string default \"0\" }\n"
           "    @args.DEV { type integer default 0 }\n"
           "    @args.SUBDEV { type integer default -1 }\n"
           "    type file\n"
           "    slave.pcm \"null\"\n"
           "    file \"/dev/null\"\n"
           "    infile { @func getenv vars [ MIC4_INFILE ] default \"/nonexistent\" }\n"
           "    format \"raw\"\n"
           "}\n";
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

// Starts argv[0] (looked up on PATH) with extra environment entries and its output in files.
inline pid_t spawn(const std::vector<std::string> &args, const std::map<std::string, std::string> &env,
                   const std::string &stdout_path, const std::string &stderr_path) {
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
    const int out_fd = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int err_fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, 0);
        execvpe(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(out_fd);
    close(err_fd);
    running_children().push_back(pid);
    return pid;
}

// Wait status of the child, or -1 after killing it when it outlives the bound.
inline int wait_for_exit(pid_t pid, double timeout_seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            forget_child(pid);
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    forget_child(pid);
    return -1;
}

// Kills and reaps every child still running; a killed vocrin's arecord then ends on its closed pipe.
inline void stop_running_children() {
    for (pid_t pid : running_children()) {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
    }
    running_children().clear();
}

inline bool exited_with(int wait_status, int code) {
    return wait_status != -1 && WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == code;
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
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return -1;
    }
    pid_t found = -1;
    while (dirent *entry = readdir(proc)) {
        const std::string pid_text = entry->d_name;
        if (pid_text.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const std::string stat = read_text("/proc/" + pid_text + "/stat");
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
    closedir(proc);
    return found;
}

// The bundled recording (speech reaching channel k k samples late), made once per test program.
inline std::string demo_recording() {
    static std::unique_ptr<TempDir> dir;
    if (!dir) {
        dir = std::make_unique<TempDir>();
        const std::string command = "bash " + std::string(LUMIVAR_SOURCE_DIR) + "/scripts/make_demo_recording.sh " +
                                    dir->path + " >/dev/null 2>&1";
        if (std::system(command.c_str()) != 0) {
            throw std::runtime_error("make_demo_recording.sh failed");
        }
    }
    return dir->file("kinect_array_speech.wav");
}

// Interleaved 32-bit codes of a 4-channel record, repeated until `frames` frames are filled.
inline std::vector<int32_t> looped_codes(const WavData &audio, std::size_t frames) {
    std::vector<int32_t> codes;
    codes.reserve(frames * 4);
    const std::size_t length = audio.samples[0].size();
    for (std::size_t f = 0; f < frames; ++f) {
        for (int c = 0; c < 4; ++c) {
            const double code = std::round(audio.samples[c][f % length] * 2147483648.0);
            codes.push_back(static_cast<int32_t>(std::max(-2147483648.0, std::min(2147483647.0, code))));
        }
    }
    return codes;
}

inline std::vector<unsigned char> s32le_bytes(const std::vector<int32_t> &codes) {
    std::vector<unsigned char> bytes;
    bytes.reserve(codes.size() * 4);
    for (int32_t code : codes) {
        const uint32_t value = static_cast<uint32_t>(code);
        for (int shift = 0; shift < 32; shift += 8) {
            bytes.push_back(static_cast<unsigned char>((value >> shift) & 0xFF));
        }
    }
    return bytes;
}

// Frames [first, first + count) of interleaved 4-channel codes as the normalised record a reader builds.
inline WavData frames_as_audio(const std::vector<int32_t> &codes, std::size_t first, std::size_t count) {
    WavData audio;
    audio.sample_rate = 16000;
    audio.channels = 4;
    audio.bits_per_sample = 32;
    audio.samples.assign(4, std::vector<double>(count));
    for (std::size_t f = 0; f < count; ++f) {
        for (int c = 0; c < 4; ++c) {
            audio.samples[c][f] = codes[(first + f) * 4 + c] / 2147483648.0;
        }
    }
    return audio;
}

}  // namespace v3

#pragma once
// Test helpers for vocrin: temporary directories, byte-level WAV building, running real programs.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace v1 {

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/vocrin-test-XXXXXX";
        const char *made = ::mkdtemp(pattern);
        if (made == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = made;
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string &name) const { return path + "/" + name; }
};

inline std::string read_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline std::string quote(const std::string &text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

// Runs a shell command line and returns its exit code (-1 when it did not exit normally).
inline int shell(const std::string &command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// ---- WAV bytes ----

inline void put16(std::string &out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

inline void put32(std::string &out, uint32_t v) {
    for (int s = 0; s < 32; s += 8) {
        out += static_cast<char>((v >> s) & 0xFF);
    }
}

inline std::string chunk(const std::string &id, const std::string &payload, bool pad = true) {
    std::string out = id;
    put32(out, static_cast<uint32_t>(payload.size()));
    out += payload;
    if (pad && payload.size() % 2 == 1) {
        out += '\0';
    }
    return out;
}

inline std::string fmt_payload(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    std::string p;
    put16(p, tag);
    put16(p, channels);
    put32(p, rate);
    put32(p, rate * channels * (bits / 8));
    put16(p, static_cast<uint16_t>(channels * (bits / 8)));
    put16(p, bits);
    return p;
}

// "RIFF" + size + "WAVE" + the given chunks, in order.
inline std::string riff(const std::string &chunks) {
    std::string out = "RIFF";
    put32(out, static_cast<uint32_t>(4 + chunks.size()));
    return out + "WAVE" + chunks;
}

inline std::string pcm16(const std::vector<int16_t> &codes) {
    std::string out;
    for (int16_t c : codes) {
        put16(out, static_cast<uint16_t>(c));
    }
    return out;
}

inline std::string pcm32(const std::vector<int32_t> &codes) {
    std::string out;
    for (int32_t c : codes) {
        put32(out, static_cast<uint32_t>(c));
    }
    return out;
}

inline uint32_t get32(const std::string &bytes, size_t at) {
    return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24);
}

inline int16_t get16s(const std::string &bytes, size_t at) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint8_t>(bytes[at]) |
                                                      (static_cast<uint8_t>(bytes[at + 1]) << 8)));
}

// ---- running a program ----

struct RunResult {
    int status = -1;  // exit code, or -1 when killed
    std::string out;
    std::string err;
};

// Runs argv with extra environment entries, in `cwd`, capturing both streams; killed after `limit`.
inline RunResult run(const std::vector<std::string> &argv, const std::string &cwd,
                     const std::vector<std::pair<std::string, std::string>> &env = {},
                     std::chrono::seconds limit = std::chrono::seconds(60)) {
    TempDir capture;
    const std::string out_path = capture.file("out");
    const std::string err_path = capture.file("err");
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int out = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::chdir(cwd.c_str()) != 0) {
            ::_exit(127);
        }
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (const auto &entry : env) {
            ::setenv(entry.first.c_str(), entry.second.c_str(), 1);
        }
        std::vector<char *> args;
        for (const auto &a : argv) {
            args.push_back(const_cast<char *>(a.c_str()));
        }
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    RunResult result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = read_bytes(out_path);
    result.err = read_bytes(err_path);
    return result;
}

inline std::string join_lines(const std::vector<std::string> &lines) {
    std::string out;
    for (const auto &l : lines) {
        out += l + "\n";
    }
    return out;
}

// ALSA configuration that makes `arecord -D 'hw:1,0'` replay the raw file named by MIC4_INFILE.
inline void write_simulated_array_asoundrc(const std::string &home) {
    std::ofstream rc(home + "/.asoundrc");
    rc << "pcm.!hw {\n"
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

}  // namespace v1

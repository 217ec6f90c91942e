#pragma once
// Test helpers for vocrin: temporary directories, files, shell commands and WAV bytes.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace v1 {

struct TempDir {
    std::string path;
    TempDir() {
        char pattern[] = "/tmp/vocrin-test-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path = pattern;
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
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
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

// Runs a shell command line, bounded to 60 s, and returns its exit code (-1 if it did not exit).
inline int shell(const std::string &command) {
    const int status = std::system(("timeout -k 5 60 sh -c " + quote(command)).c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program in `cwd` with HOME set to `cwd`, capturing standard output and error apart.
inline RunResult run(const std::vector<std::string> &argv, const std::string &cwd) {
    TempDir capture;
    std::string command = "cd " + quote(cwd) + " && HOME=" + quote(cwd) + " exec";
    for (const auto &arg : argv) {
        command += " " + quote(arg);
    }
    RunResult result;
    result.status = shell(command + " >" + capture.file("out") + " 2>" + capture.file("err"));
    result.out = read_bytes(capture.file("out"));
    result.err = read_bytes(capture.file("err"));
    return result;
}

// ---- WAV bytes, little-endian ----

inline void put16(std::string &out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

inline void put32(std::string &out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v & 0xFFFF));
    put16(out, static_cast<uint16_t>(v >> 16));
}

inline uint32_t get32(const std::string &bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    }
    return v;
}

inline int16_t get16s(const std::string &bytes, size_t at) {
    return static_cast<int16_t>(static_cast<uint8_t>(bytes[at]) | (static_cast<uint8_t>(bytes[at + 1]) << 8));
}

// A chunk with its true size, and the pad byte when the payload is odd.
inline std::string chunk(const std::string &id, const std::string &payload) {
    std::string out = id;
    put32(out, static_cast<uint32_t>(payload.size()));
    return out + payload + (payload.size() % 2 ? std::string(1, '\0') : std::string());
}

inline std::string fmt_chunk(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    std::string p;
    put16(p, tag);
    put16(p, channels);
    put32(p, rate);
    put32(p, rate * channels * (bits / 8u));
    put16(p, static_cast<uint16_t>(channels * (bits / 8u)));
    put16(p, bits);
    return chunk("fmt ", p);
}

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

}  // namespace v1

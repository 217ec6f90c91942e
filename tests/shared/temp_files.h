#pragma once
// Scratch directories and whole-file reads and writes, for the tests of every program.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <ios>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace lumivar_test {

namespace fs = std::filesystem;

// A fresh directory under the temporary directory, removed with everything in it when the object goes.
struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "lumivar_test_XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    fs::path operator/(const std::string &rel) const { return path / rel; }
    std::string file(const std::string &name) const { return (path / name).string(); }
};

// The whole file as it is on disk (text or binary); empty when it cannot be read.
inline std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    try {
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure &) {
        return std::string();  // a read that failed, e.g. /proc/PID/stat of a process that just ended
    }
}

inline std::vector<unsigned char> read_bytes(const fs::path &path) {
    const std::string text = read_file(path);
    return std::vector<unsigned char>(text.begin(), text.end());
}

// Replaces the file with `bytes`, creating its parent directories; throws when it cannot be written.
inline void write_file(const fs::path &path, const std::string &bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

inline void write_file(const fs::path &path, const std::vector<unsigned char> &bytes) {
    write_file(path, std::string(bytes.begin(), bytes.end()));
}

inline bool file_exists(const fs::path &path) { return ::access(path.c_str(), F_OK) == 0; }

// Size in bytes, or -1 when the file does not exist.
inline long file_size(const fs::path &path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace lumivar_test

#pragma once
// Scratch directories and whole-file reads and writes for the vocrin tests.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace voicetest {

// A scratch directory, removed with everything in it when the object goes.
struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vocrin-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
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

// The whole file as it is on disk (text or binary); empty when it cannot be read.
inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::vector<unsigned char> read_bytes(const std::string &path) {
    const std::string text = read_file(path);
    return std::vector<unsigned char>(text.begin(), text.end());
}

// Replaces the file with `bytes`; throws when it cannot be written.
inline void write_file(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        throw std::runtime_error("cannot write " + path);
    }
}

inline void write_file(const std::string &path, const std::vector<unsigned char> &bytes) {
    write_file(path, std::string(bytes.begin(), bytes.end()));
}

inline bool file_exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

// Size in bytes, or -1 when the file does not exist.
inline long file_size(const std::string &path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : -1;
}

inline std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

}  // namespace voicetest

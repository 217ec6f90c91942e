#pragma once
// Scratch directories and the files the face tests write into them and read back.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <system_error>

#include <opencv2/imgcodecs.hpp>

namespace face_test {

namespace fs = std::filesystem;

// A fresh directory under the temporary directory, removed with everything in it at the end of the test.
struct ScratchDir {
    fs::path path;
    ScratchDir() {
        std::string pattern = (fs::temp_directory_path() / "lumivar_face_test_XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    fs::path operator/(const std::string &rel) const { return path / rel; }
};

// Writes `text` byte for byte, creating the parent directories.
inline void write_text(const fs::path &path, const std::string &text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

// The whole file, byte for byte; empty when it cannot be read.
inline std::string read_text(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes an image in the format its extension names, creating the parent directories.
inline void write_image(const fs::path &path, const cv::Mat &image) {
    fs::create_directories(path.parent_path());
    if (!cv::imwrite(path.string(), image)) throw std::runtime_error("cannot write image " + path.string());
}

}  // namespace face_test

#pragma once
// Files the face tests write and read back: the shared scratch directories and whole-file helpers, and images.
#include <filesystem>
#include <stdexcept>

#include <opencv2/imgcodecs.hpp>

#include "temp_files.h"

namespace face_test {

using namespace lumivar_test;
namespace fs = std::filesystem;

// Writes an image in the format its extension names, creating the parent directories.
inline void write_image(const fs::path &path, const cv::Mat &image) {
    fs::create_directories(path.parent_path());
    if (!cv::imwrite(path.string(), image)) throw std::runtime_error("cannot write image " + path.string());
}

// rwxr-xr-x: an unprivileged user the test switches to may look into `dir`.
inline void let_others_in(const fs::path &dir) {
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

}  // namespace face_test

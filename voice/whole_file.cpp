#include "whole_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "stop_signals.h"

namespace {

// The file that a chain of symbolic links ends at (it need not exist yet): the rename replaces
// that file, not the link.
std::string link_target(const std::string &path) {
    std::string current = path;
    constexpr int kMaxLinks = 40;  // as the kernel's own limit: a loop of links ends here
    for (int links = 0; links < kMaxLinks; ++links) {
        char target[PATH_MAX];
        const ssize_t length = ::readlink(current.c_str(), target, sizeof target - 1);
        if (length < 0) {
            break;
        }
        target[length] = '\0';
        const std::size_t slash = current.rfind('/');
        current = target[0] == '/' || slash == std::string::npos ? std::string(target)
                                                                 : current.substr(0, slash + 1) + target;
    }
    return current;
}

mode_t mode_for(const std::string &path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        return info.st_mode & 07777;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

bool close_checked(std::FILE *file) {
    const bool flushed = std::fflush(file) == 0;
    return std::fclose(file) == 0 && flushed;
}

}  // namespace

bool write_file_whole(const std::string &path, const std::function<bool(std::FILE *)> &write) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
        std::FILE *file = std::fopen(path.c_str(), "w");
        if (file == nullptr) {
            return false;
        }
        const bool written = write(file);
        return close_checked(file) && written;
    }
    const std::string target = link_target(path);
    if (::access(target.c_str(), W_OK) != 0 && errno != ENOENT) {
        return false;  // a file we may not write is not replaced either
    }
    const std::size_t slash = target.rfind('/');
    const std::size_t name = slash == std::string::npos ? 0 : slash + 1;
    std::string hidden = target.substr(0, name) + "." + target.substr(name) + ".XXXXXX";
    const int fd = ::mkostemp(&hidden[0], O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    set_file_to_remove(hidden.c_str());  // a second stop request ends the program: this goes too
    std::FILE *file = ::fdopen(fd, "w");
    bool whole = false;
    if (file == nullptr) {
        ::close(fd);
    } else {
        const bool written = ::fchmod(fd, mode_for(target)) == 0 && write(file);
        whole = close_checked(file) && written && ::rename(hidden.c_str(), target.c_str()) == 0;
    }
    if (!whole) {
        ::unlink(hidden.c_str());
    }
    set_file_to_remove(nullptr);
    return whole;
}

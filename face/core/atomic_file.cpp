#include "core/atomic_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace fs = std::filesystem;

namespace {

// The temporary file being written, for a signal handler to remove; only set while `pending_set` is 0.
char pending_path[PATH_MAX];
volatile sig_atomic_t pending_set = 0;

void remember_pending(const std::string &path) {
    pending_set = 0;
    if (path.size() >= sizeof pending_path) return;  // cannot be recorded; the normal path still removes it
    std::memcpy(pending_path, path.c_str(), path.size() + 1);
    pending_set = 1;
}

mode_t file_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

constexpr int kMaxLinkHops = 40;  // as the system's own limit on links in one lookup

}  // namespace

bool write_all(int fd, const char *data, size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            if (written == 0) errno = EIO;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

fs::path resolve_links(const fs::path &path) {
    fs::path current = path;
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        std::error_code ec;
        if (!fs::is_symlink(fs::symlink_status(current, ec))) return current;
        const fs::path target = fs::read_symlink(current, ec);
        if (ec) return current;
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    return current;  // a loop of links: writing there fails with the system's reason
}

bool write_temporary(const fs::path &final_path, const std::string &bytes, std::string &temporary) {
    std::string pattern = (final_path.parent_path() / ("." + final_path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) return false;
    remember_pending(pattern);
    temporary = pattern;
    // Best effort: file systems without permissions (FAT) refuse it, and the file is still written.
    (void)::fchmod(fd, file_mode());
    bool ok = write_all(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        finish_temporary(temporary, true);
        temporary.clear();
        errno = error;
    }
    return ok;
}

void finish_temporary(const std::string &temporary, bool remove) {
    pending_set = 0;
    if (remove && !temporary.empty()) ::unlink(temporary.c_str());
}

bool replace_file_atomically(const fs::path &path, const std::string &bytes, std::string &problem) {
    const fs::path target = resolve_links(path);
    std::string temporary;
    if (!write_temporary(target, bytes, temporary) || ::rename(temporary.c_str(), target.c_str()) != 0) {
        problem = std::strerror(errno);  // before the clean-up can change errno
        finish_temporary(temporary, true);
        return false;
    }
    finish_temporary(temporary, false);
    sync_directory(target.parent_path().empty() ? fs::path(".") : target.parent_path());
    return true;
}

void sync_directory(const fs::path &dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

void remove_pending_temporary() {
    if (pending_set) ::unlink(pending_path);
}

#include "core/atomic_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>

namespace fs = std::filesystem;

namespace {

// The temporary file being written and the file that depends on it (set_dependent_file), for a signal handler;
// each path is only read while its flag is 1.
char pending_path[PATH_MAX];
volatile sig_atomic_t pending_set = 0;
char dependent_path[PATH_MAX];
volatile sig_atomic_t dependent_set = 0;
// While the temporary is taking the dependent file's name (set_claimed_file): the file it is, so that a signal
// removes the name only once it names that file, never another run's file of the same name.
volatile sig_atomic_t claiming = 0;
dev_t claimed_device = 0;
ino_t claimed_inode = 0;

void remember(const std::string &path, char (&slot)[PATH_MAX], volatile sig_atomic_t &set) {
    set = 0;
    if (path.empty() || path.size() >= sizeof slot) return;  // cannot be recorded; the normal path still removes it
    std::memcpy(slot, path.c_str(), path.size() + 1);
    set = 1;
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

namespace {

// Creates ".NAME.XXXXXX" beside `final_path` as mkostemp does, but with the name recorded for the signal handler
// before the file exists: a signal right after its creation must find it. A name already taken makes it try
// another. The open descriptor, or -1 with errno set.
int create_temporary(const fs::path &final_path, std::string &temporary) {
    static const char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static std::mt19937_64 random(std::random_device{}() ^ static_cast<uint64_t>(::getpid()));
    const std::string stem = (final_path.parent_path() / ("." + final_path.filename().string() + ".")).string();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = stem;
        for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
        remember(name, pending_path, pending_set);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            temporary = name;
            return fd;
        }
        pending_set = 0;
        if (errno != EEXIST) return -1;
    }
    return -1;  // errno is EEXIST
}

// write_temporary, the new file taking the permissions and, where we may, the owner of `like` when it is given.
bool write_temporary_like(const fs::path &final_path, const std::string &bytes, const struct stat *like,
                          std::string &temporary) {
    const int fd = create_temporary(final_path, temporary);
    if (fd < 0) return false;
    // Best effort: only root may give a file away, and file systems without permissions (FAT) refuse both;
    // the file is still written. The owner first: a change of owner clears the set-id bits.
    if (like != nullptr) (void)::fchown(fd, like->st_uid, like->st_gid);
    (void)::fchmod(fd, like != nullptr ? like->st_mode & 07777 : file_mode());
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

// A device or FIFO named as the target (/dev/null for a file not wanted) takes the bytes; it is no file to replace.
bool write_in_place(const fs::path &target, const std::string &bytes) {
    // Without a reader a FIFO refuses at once (ENXIO) instead of waiting for one.
    const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = ::fcntl(fd, F_SETFL, 0) == 0 && write_all(fd, bytes.data(), bytes.size());
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    errno = error;
    return ok;
}

}  // namespace

bool write_temporary(const fs::path &final_path, const std::string &bytes, std::string &temporary) {
    return write_temporary_like(final_path, bytes, nullptr, temporary);
}

void finish_temporary(const std::string &temporary, bool remove) {
    pending_set = 0;
    if (remove && !temporary.empty()) ::unlink(temporary.c_str());
}

void set_dependent_file(const std::string &path) {
    claiming = 0;
    remember(path, dependent_path, dependent_set);
}

void set_claimed_file(const std::string &path, const std::string &temporary) {
    set_dependent_file("");
    struct stat info {};
    if (::stat(temporary.c_str(), &info) != 0) return;
    claimed_device = info.st_dev;
    claimed_inode = info.st_ino;
    claiming = 1;
    remember(path, dependent_path, dependent_set);
}

void end_claim() { claiming = 0; }

bool replace_file_atomically(const fs::path &path, const std::string &bytes, std::string &problem) {
    const fs::path target = resolve_links(path);
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode) && !S_ISDIR(existing.st_mode)) {
        if (write_in_place(target, bytes)) return true;
        problem = std::strerror(errno);
        return false;
    }
    if (exists && S_ISREG(existing.st_mode) && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        problem = std::strerror(errno);  // a read-only file stays read-only
        return false;
    }
    std::string temporary;
    if (!write_temporary_like(target, bytes, exists ? &existing : nullptr, temporary) ||
        ::rename(temporary.c_str(), target.c_str()) != 0) {
        problem = std::strerror(errno);  // before the clean-up can change errno
        finish_temporary(temporary, true);
        return false;
    }
    // The dependent file is named now: forgotten before the temporary, so that no signal in between removes it.
    set_dependent_file("");
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
    const bool had_temporary = pending_set;
    bool claimed = false;
    if (dependent_set && claiming) {
        struct stat info {};
        claimed = ::stat(dependent_path, &info) == 0 && info.st_dev == claimed_device && info.st_ino == claimed_inode;
    }
    // Removing the temporary decides: once it is gone, it can no longer take its name.
    const bool temporary_removed = had_temporary && ::unlink(pending_path) == 0;
    if (dependent_set && (claiming ? claimed : (!had_temporary || temporary_removed))) ::unlink(dependent_path);
}

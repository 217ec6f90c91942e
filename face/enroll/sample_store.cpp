#include "enroll/sample_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "core/atomic_file.h"
#include "core/samples.h"

namespace fs = std::filesystem;
using nlohmann::ordered_json;

namespace {

constexpr const char *kManifestName = "manifest.json";
constexpr const char *kJsonSpace = " \t\n\r";
constexpr const char *kLockSuffix = ".lock";

// The manifest as read: its text and what it holds.
struct ManifestRead {
    std::string text;  // empty when there is no manifest yet
    ordered_json entries = ordered_json::array();
};

std::string sample_id_for(const std::string &stage, int number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04d", number);
    return stage + "-" + digits;
}

// The number in "<stage>-<digits>", or 0 when `id` has another form.
int number_in_id(const std::string &id, const std::string &stage) {
    const std::string prefix = stage + "-";
    if (id.size() <= prefix.size() || id.size() > prefix.size() + 9 || id.compare(0, prefix.size(), prefix) != 0)
        return 0;
    int number = 0;
    for (size_t i = prefix.size(); i < id.size(); ++i) {
        if (id[i] < '0' || id[i] > '9') return 0;
        number = number * 10 + (id[i] - '0');
    }
    return number;
}

// One past the highest number the manifest's sample ids use for the stage.
int next_number_in_manifest(const ordered_json &entries, const std::string &stage) {
    int highest = 0;
    for (const ordered_json &entry : entries) {
        const auto id = entry.find("sample_id");
        if (id != entry.end() && id->is_string())
            highest = std::max(highest, number_in_id(id->get<std::string>(), stage));
    }
    return highest + 1;
}

// One past the highest number the stage's files on disk use.
int next_number_on_disk(const SampleStore &store) {
    int highest = 0;
    std::error_code ec;
    for (fs::directory_iterator it(store.samples_dir / store.stage, ec), end; !ec && it != end; it.increment(ec))
        highest = std::max(highest, number_in_id(it->path().stem().string(), store.stage));
    return highest + 1;
}

// `shown` is the manifest's path as the user gave it, for messages.
bool read_manifest(const fs::path &shown, ManifestRead &manifest, std::string &problem) {
    manifest = ManifestRead();
    std::error_code ec;
    const fs::file_status status = fs::status(shown, ec);
    if (status.type() == fs::file_type::not_found) return true;
    if (status.type() != fs::file_type::regular) {
        problem = "manifest is not a regular file: " + shown.string();
        return false;
    }
    std::ifstream in(shown, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in || in.bad()) {
        problem = "cannot read manifest: " + shown.string();
        return false;
    }
    manifest.text = text.str();
    if (manifest.text.find('\0') != std::string::npos) {
        // What a crash or a full disk leaves after the array: the JSON reading would stop there.
        problem = "manifest is damaged (it holds NUL bytes): " + shown.string();
        return false;
    }
    ordered_json document;
    bool usable = parse_json_manifest(manifest.text, document) && document.is_array();
    for (const ordered_json &entry : document) usable = usable && entry.is_object();
    if (!usable) {
        problem = "manifest is not a JSON array of objects: " + shown.string();
        return false;
    }
    manifest.entries = std::move(document);
    return true;
}

// Holds an exclusive flock on "<manifest>.lock" beside the real manifest while it lives. A lock file, not the
// directory, so that it works in a directory the user may write but not list; it stays, since removing it would
// let a run lock a file that a waiting run no longer finds under that name.
struct ManifestLock {
    int fd = -1;
    ManifestLock() = default;
    ManifestLock(const ManifestLock &) = delete;
    ManifestLock &operator=(const ManifestLock &) = delete;
    ~ManifestLock() {
        if (fd >= 0) ::close(fd);  // releases the lock
    }
};

fs::path lock_path_for(const fs::path &manifest) {
    const fs::path real = resolve_links(manifest);
    return real.parent_path() / (real.filename().string() + kLockSuffix);
}

// False with `problem` set when the lock file cannot be opened or locked: nothing is saved unlocked.
bool lock_manifest(const fs::path &manifest, ManifestLock &lock, std::string &problem) {
    const fs::path path = lock_path_for(manifest);
    lock.fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    int result = -1;
    while (lock.fd >= 0 && (result = ::flock(lock.fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (result == 0) return true;
    problem = "cannot lock manifest: " + path.string() + ": " + std::strerror(errno);
    return false;
}

bool make_directory(const fs::path &dir, std::string &problem) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) problem = "failed to write sample: " + dir.string() + ": " + ec.message();
    return !ec;
}

// Hard links refused by the file system (FAT, exFAT and the like), as opposed to a name already taken.
bool links_refused(int error) { return error == EPERM || error == EOPNOTSUPP || error == ENOSYS; }

// Gives the complete temporary file the name `target` unless that name is taken: by a hard link, or where the
// file system has none, by creating the name exclusively and renaming the file onto that empty placeholder.
// False with errno EEXIST when the name is taken.
bool claim_name(const std::string &temporary, const fs::path &target) {
    if (::link(temporary.c_str(), target.c_str()) == 0) {
        ::unlink(temporary.c_str());
        return true;
    }
    if (!links_refused(errno)) return false;
    const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    ::close(fd);
    if (::rename(temporary.c_str(), target.c_str()) == 0) return true;
    const int error = errno;
    ::unlink(target.c_str());  // our own empty placeholder
    errno = error;
    return false;
}

// Writes the PNG under the stage's next free number; a name already taken is never replaced.
bool write_sample_file(SampleStore &store, const std::string &png, SavedSample &saved, std::string &problem) {
    const fs::path stage_dir = store.samples_dir / store.stage;
    std::string temporary;
    const fs::path first = stage_dir / (sample_id_for(store.stage, store.next_number) + ".png");
    if (!write_temporary(first, png, temporary)) {
        problem = "failed to write sample: " + first.string() + ": " + std::strerror(errno);
        return false;
    }
    while (true) {
        const std::string id = sample_id_for(store.stage, store.next_number);
        const fs::path target = stage_dir / (id + ".png");
        set_claimed_file(target.string(), temporary);  // a signal from here on removes the name once it is ours
        if (claim_name(temporary, target)) {
            finish_temporary(temporary, false);
            end_claim();  // a sample until its manifest entry is in place
            sync_directory(stage_dir);
            saved.sample_id = id;
            saved.file = store.stage + "/" + id + ".png";
            ++store.next_number;
            return true;
        }
        if (errno != EEXIST) {
            problem = "failed to write sample: " + target.string() + ": " + std::strerror(errno);
            set_dependent_file("");
            finish_temporary(temporary, true);
            return false;
        }
        ++store.next_number;
    }
}

}  // namespace

fs::path manifest_path(const SampleStore &store) { return store.samples_dir / kManifestName; }

bool open_sample_store(const std::string &samples_dir, const std::string &stage, SampleStore &store,
                       std::string &problem) {
    if (samples_dir.empty()) {
        problem = "no samples directory given";
        return false;
    }
    store.samples_dir = samples_dir;
    store.stage = stage;
    std::error_code ec;
    const fs::file_status status = fs::status(store.samples_dir, ec);
    if (status.type() != fs::file_type::not_found && status.type() != fs::file_type::directory) {
        problem = "samples directory is not a directory: " + samples_dir;
        return false;
    }
    ManifestRead manifest;
    if (!read_manifest(manifest_path(store), manifest, problem)) return false;
    const fs::path real = resolve_links(manifest_path(store));
    if (fs::exists(real, ec) && ::faccessat(AT_FDCWD, real.c_str(), W_OK, AT_EACCESS) != 0) {
        problem = "cannot write manifest: " + manifest_path(store).string() + ": " + std::strerror(errno);
        return false;
    }
    store.entries_read = static_cast<int>(manifest.entries.size());
    store.next_number = std::max(next_number_on_disk(store), next_number_in_manifest(manifest.entries, stage));
    return true;
}

std::string with_entry_appended(const std::string &text, const std::string &entry) {
    if (text.empty()) return "[\n  " + entry + "\n]\n";
    const size_t close = text.find_last_not_of(kJsonSpace);  // the array's "]"
    const size_t last = text.find_last_not_of(kJsonSpace, close - 1);
    const std::string separator = text[last] == '[' ? "\n  " : ",\n  ";
    const std::string after = text[last] == '[' ? "\n" : "";
    return text.substr(0, last + 1) + separator + entry + after + text.substr(last + 1);
}

bool save_sample(SampleStore &store, const cv::Mat &image, SavedSample &saved, std::string &problem) {
    std::vector<uchar> encoded;
    if (!cv::imencode(".png", image, encoded)) {
        problem = "failed to encode sample";
        return false;
    }
    const fs::path manifest = manifest_path(store);
    const fs::path stage_dir = store.samples_dir / store.stage;
    // The samples directory first (the lock file may live there), the stage's own only under the lock.
    ManifestLock lock;
    if (!make_directory(store.samples_dir, problem) || !lock_manifest(manifest, lock, problem) ||
        !make_directory(stage_dir, problem))
        return false;
    ManifestRead current;  // again, under the lock: another run or an editor may have changed it
    if (!read_manifest(manifest, current, problem)) return false;
    store.next_number = std::max(store.next_number, next_number_in_manifest(current.entries, store.stage));

    if (!write_sample_file(store, std::string(encoded.begin(), encoded.end()), saved, problem)) return false;
    const ordered_json entry = {{"file", saved.file}, {"stage", store.stage}, {"sample_id", saved.sample_id}};
    std::string why;
    if (!replace_file_atomically(manifest, with_entry_appended(current.text, entry.dump()), why)) {
        problem = "failed to write manifest: " + manifest.string() + ": " + why;
        // The manifest on disk is still the previous one: take the sample back so the two agree.
        ::unlink((store.samples_dir / saved.file).c_str());
        set_dependent_file("");
        return false;
    }
    return true;
}

#include "enroll/sample_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include <opencv2/imgcodecs.hpp>

namespace fs = std::filesystem;
using nlohmann::ordered_json;

namespace {

constexpr const char *kManifestName = "manifest.json";
constexpr int kMaxManifestDepth = 100;

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

// One past the highest number used so far by the stage's files on disk and by the manifest's sample ids.
int next_sample_number(const SampleStore &store) {
    int highest = 0;
    std::error_code ec;
    for (fs::directory_iterator it(store.samples_dir / store.stage, ec), end; !ec && it != end; it.increment(ec))
        highest = std::max(highest, number_in_id(it->path().stem().string(), store.stage));
    for (const ordered_json &entry : store.manifest) {
        const auto id = entry.find("sample_id");
        if (id != entry.end() && id->is_string())
            highest = std::max(highest, number_in_id(id->get<std::string>(), store.stage));
    }
    return highest + 1;
}

bool read_manifest(const fs::path &path, ordered_json &manifest, std::string &problem) {
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (status.type() == fs::file_type::not_found) return true;
    if (status.type() != fs::file_type::regular) {
        problem = "manifest is not a regular file: " + path.string();
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in || in.bad()) {
        problem = "cannot read manifest: " + path.string();
        return false;
    }
    // Writing goes back through the library's recursive serialiser: deeper nesting than any sample entry
    // needs is refused rather than risked.
    bool too_deep = false;
    const ordered_json::parser_callback_t depth_limit = [&too_deep](int depth, ordered_json::parse_event_t,
                                                                    ordered_json &) {
        too_deep = too_deep || depth > kMaxManifestDepth;
        return !too_deep;
    };
    try {
        manifest = ordered_json::parse(text.str(), depth_limit);
    } catch (const ordered_json::exception &) {
        manifest = ordered_json();
    }
    if (too_deep) {
        problem = "manifest nests deeper than " + std::to_string(kMaxManifestDepth) + " levels: " + path.string();
        return false;
    }
    bool usable = manifest.is_array();
    for (const ordered_json &entry : manifest) usable = usable && entry.is_object();
    if (!usable) problem = "manifest is not a JSON array of objects: " + path.string();
    return usable;
}

std::string system_error_text() { return std::strerror(errno); }

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

mode_t file_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// A hidden temporary file beside `final_path`, written, flushed to disk and closed; on failure it is removed
// and errno tells why. Its name carries no image extension, so lumivar_face never reads one left behind.
bool write_temporary(const fs::path &final_path, const std::string &bytes, std::string &temporary) {
    std::string pattern = (final_path.parent_path() / ("." + final_path.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) return false;
    temporary = pattern;
    bool ok = ::fchmod(fd, file_mode()) == 0 && write_all(fd, bytes.data(), bytes.size()) && ::fsync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(temporary.c_str());
        temporary.clear();
        errno = error;
    }
    return ok;
}

// Makes the renames and links of a directory durable; a failure here loses nothing already written.
void sync_directory(const fs::path &dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// Writes the PNG under the stage's next free number; a name already taken is never replaced.
bool write_sample_file(SampleStore &store, const std::string &png, SavedSample &saved, std::string &problem) {
    const fs::path stage_dir = store.samples_dir / store.stage;
    std::error_code ec;
    fs::create_directories(stage_dir, ec);
    std::string temporary;
    const fs::path first = stage_dir / (sample_id_for(store.stage, store.next_number) + ".png");
    if (ec || !write_temporary(first, png, temporary)) {
        problem = "failed to write sample: " + first.string() + ": " + (ec ? ec.message() : system_error_text());
        return false;
    }
    while (true) {
        const std::string id = sample_id_for(store.stage, store.next_number);
        const fs::path target = stage_dir / (id + ".png");
        if (::link(temporary.c_str(), target.c_str()) == 0) {
            ::unlink(temporary.c_str());
            sync_directory(stage_dir);
            saved.sample_id = id;
            saved.file = store.stage + "/" + id + ".png";
            ++store.next_number;
            return true;
        }
        if (errno != EEXIST) {
            problem = "failed to write sample: " + target.string() + ": " + system_error_text();
            ::unlink(temporary.c_str());
            return false;
        }
        ++store.next_number;
    }
}

bool write_manifest(const SampleStore &store, std::string &problem) {
    const fs::path path = manifest_path(store);
    std::string temporary;
    if (!write_temporary(path, manifest_text(store.manifest), temporary) ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        problem = "failed to write manifest: " + path.string() + ": " + system_error_text();
        if (!temporary.empty()) ::unlink(temporary.c_str());
        return false;
    }
    sync_directory(store.samples_dir);
    return true;
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
    if (!read_manifest(manifest_path(store), store.manifest, problem)) return false;
    store.entries_read = static_cast<int>(store.manifest.size());
    store.next_number = next_sample_number(store);
    return true;
}

std::string manifest_text(const ordered_json &manifest) {
    if (manifest.empty()) return "[]\n";
    std::string text = "[\n";
    for (size_t i = 0; i < manifest.size(); ++i) {
        text += "  " + manifest[i].dump();
        text += i + 1 < manifest.size() ? ",\n" : "\n";
    }
    return text + "]\n";
}

bool save_sample(SampleStore &store, const cv::Mat &image, SavedSample &saved, std::string &problem) {
    std::vector<uchar> encoded;
    if (!cv::imencode(".png", image, encoded)) {
        problem = "failed to encode sample";
        return false;
    }
    if (!write_sample_file(store, std::string(encoded.begin(), encoded.end()), saved, problem)) return false;
    store.manifest.push_back({{"file", saved.file}, {"stage", store.stage}, {"sample_id", saved.sample_id}});
    if (!write_manifest(store, problem)) {
        // The manifest on disk is still the previous one: take the sample back so the two agree.
        store.manifest.erase(store.manifest.size() - 1);
        ::unlink((store.samples_dir / saved.file).c_str());
        return false;
    }
    return true;
}

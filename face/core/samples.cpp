#include "core/samples.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace fs = std::filesystem;

namespace {

using ManifestIndex = std::map<std::string, SampleMetadata>;

// White space as ECMAScript's \s sees it for plain chars.
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

size_t skip_spaces(const std::string &text, size_t pos) {
    while (pos < text.size() && is_space(text[pos])) ++pos;
    return pos;
}

// Entries run from a "{" to the first "}" after it; braces do not nest.
ManifestIndex scan_manifest(const std::string &text) {
    ManifestIndex index;
    size_t pos = 0;
    while (true) {
        const size_t open = text.find('{', pos);
        if (open == std::string::npos) break;
        const size_t close = text.find('}', open + 1);
        if (close == std::string::npos) break;
        const std::string entry = text.substr(open, close - open + 1);
        pos = close + 1;

        SampleMetadata meta;
        meta.file = regex_field(entry, "file");
        if (meta.file.empty()) continue;
        meta.stage = regex_field(entry, "stage");
        if (meta.stage.empty()) meta.stage = "unknown";
        meta.sample_id = regex_field(entry, "sample_id");
        meta.from_manifest = true;
        index[meta.file] = meta;
    }
    return index;
}

ManifestIndex read_manifest(const fs::path &samples_dir) {
    const fs::path manifest_path = samples_dir / "manifest.json";
    std::error_code ec;
    if (!fs::is_regular_file(manifest_path, ec)) return {};  // a FIFO would block the start-up
    std::ifstream in(manifest_path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    return scan_manifest(text.str());
}

bool is_image_name(const fs::path &path) {
    if (path.filename() == "manifest.json") return false;
    const std::string ext = path.extension().string();
    return ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".pgm";
}

cv::Mat read_sample_image(const fs::path &path) {
    cv::Mat image;
    try {
        image = cv::imread(path.string(), cv::IMREAD_GRAYSCALE);
        if (!image.empty() && (image.rows != kSampleSide || image.cols != kSampleSide)) {
            cv::resize(image, image, cv::Size(kSampleSide, kSampleSide), 0, 0, cv::INTER_AREA);
        }
    } catch (const cv::Exception &) {
        image.release();
    }
    return image;
}

// Key that ties an image to a manifest entry: its path below the samples directory, "/"-separated.
std::string relative_key(const fs::path &path, const fs::path &samples_dir) {
    std::error_code ec;
    fs::path rel = fs::relative(path, samples_dir, ec);
    if (ec || rel.empty()) rel = path.lexically_relative(samples_dir);
    return rel.generic_string();
}

SampleMetadata metadata_for(const fs::path &path, const std::string &key, const ManifestIndex &manifest) {
    const auto found = manifest.find(key);
    if (found != manifest.end()) return found->second;
    SampleMetadata meta;
    meta.file = key;
    meta.sample_id = path.stem().string();
    const fs::path parent = fs::path(key).parent_path();
    meta.stage = (!parent.empty() && parent != ".") ? parent.filename().string() : "flat";
    meta.from_manifest = false;
    return meta;
}

}  // namespace

bool list_image_files(const fs::path &dir, std::vector<fs::path> &paths) {
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, ec);
    if (ec) return false;
    for (const fs::recursive_directory_iterator end; it != end; it.increment(ec)) {
        if (ec) return false;
        std::error_code type_ec;
        if (it->is_regular_file(type_ec) && is_image_name(it->path())) paths.push_back(it->path());
    }
    if (ec) return false;
    std::sort(paths.begin(), paths.end());
    return true;
}

std::string regex_field(const std::string &entry, const std::string &key) {
    // Same matches as the pattern "key"\s*:\s*"([^"]*)" searched for its first match,
    // without the recursion of std::regex, which overflows the stack on long values.
    const std::string needle = "\"" + key + "\"";
    size_t start = entry.find(needle);
    while (start != std::string::npos) {
        size_t pos = skip_spaces(entry, start + needle.size());
        if (pos < entry.size() && entry[pos] == ':') {
            pos = skip_spaces(entry, pos + 1);
            if (pos < entry.size() && entry[pos] == '"') {
                const size_t close = entry.find('"', pos + 1);
                if (close == std::string::npos) return "";  // no later start can close either
                return entry.substr(pos + 1, close - pos - 1);
            }
        }
        start = entry.find(needle, start + 1);
    }
    return "";
}

bool load_veyra_samples(const std::string &samples_dir, std::vector<TrainingSample> &samples) {
    std::error_code ec;
    if (!fs::exists(samples_dir, ec)) return false;
    const fs::path root(samples_dir);
    const ManifestIndex manifest = read_manifest(root);

    std::vector<fs::path> paths;
    if (!list_image_files(root, paths)) return false;

    for (const fs::path &path : paths) {
        cv::Mat image = read_sample_image(path);
        if (image.empty()) continue;
        TrainingSample sample;
        sample.image = image;
        sample.label = 1;
        sample.metadata = metadata_for(path, relative_key(path, root), manifest);
        samples.push_back(sample);
    }
    return !samples.empty();
}

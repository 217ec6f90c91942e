#include "core/samples.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
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

// An entry as both readings keep it: none without a file, "unknown" for a missing stage.
void add_manifest_entry(const std::string &file, const std::string &stage, const std::string &sample_id,
                        ManifestIndex &index) {
    if (file.empty()) return;
    SampleMetadata meta;
    meta.file = file;
    meta.stage = stage.empty() ? "unknown" : stage;
    meta.sample_id = sample_id;
    meta.from_manifest = true;
    index[file] = meta;
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

        add_manifest_entry(regex_field(entry, "file"), regex_field(entry, "stage"), regex_field(entry, "sample_id"),
                           index);
    }
    return index;
}

// A string member of a manifest entry; other types count as absent, as an unquoted value does in the scan.
std::string string_member(const nlohmann::ordered_json &entry, const char *key) {
    const auto found = entry.find(key);
    return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
}

void index_json_entry(const nlohmann::ordered_json &entry, ManifestIndex &index) {
    add_manifest_entry(string_member(entry, "file"), string_member(entry, "stage"), string_member(entry, "sample_id"),
                       index);
}

// Entries are the objects of the top-level array; a top-level object is one entry when it has a "file", else
// the objects of the arrays it holds are (a list wrapped in an object).
ManifestIndex index_json_manifest(const nlohmann::ordered_json &document) {
    ManifestIndex index;
    auto index_objects_of = [&index](const nlohmann::ordered_json &array) {
        for (const auto &entry : array)
            if (entry.is_object()) index_json_entry(entry, index);
    };
    if (document.is_array()) {
        index_objects_of(document);
    } else if (document.is_object() && document.contains("file")) {
        index_json_entry(document, index);
    } else if (document.is_object()) {
        for (const auto &member : document)
            if (member.is_array()) index_objects_of(member);
    }
    return index;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Whether `token` is a number as JSON writes them: -?(0|[1-9][0-9]*)(.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(const std::string &token) {
    size_t i = 0;
    const size_t n = token.size();
    auto digits = [&] {
        const size_t from = i;
        while (i < n && is_digit(token[i])) ++i;
        return i > from;
    };
    if (i < n && token[i] == '-') ++i;
    if (i < n && token[i] == '0') {
        ++i;
    } else if (!digits()) {
        return false;
    }
    if (i < n && token[i] == '.' && (++i, !digits())) return false;
    if (i < n && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == n;
}

// The text with every number outside strings that overflows a double written as 0, padded to its length.
std::string with_overflowing_numbers_as_zero(std::string text) {
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
            continue;
        }
        if (c == '"') {
            in_string = true;
            continue;
        }
        if (c != '-' && !is_digit(c)) continue;
        size_t end = i;
        while (end < text.size() && (is_digit(text[end]) || std::strchr("+-.eE", text[end]) != nullptr)) ++end;
        const std::string token = text.substr(i, end - i);
        if (is_json_number(token) && !std::isfinite(std::strtod(token.c_str(), nullptr)))
            text.replace(i, token.size(), "0" + std::string(token.size() - 1, ' '));
        i = end - 1;
    }
    return text;
}

ManifestIndex read_manifest(const fs::path &samples_dir) {
    const fs::path manifest_path = samples_dir / "manifest.json";
    std::error_code ec;
    if (!fs::is_regular_file(manifest_path, ec)) return {};  // a FIFO would block the start-up
    std::ifstream in(manifest_path, std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    nlohmann::ordered_json document;
    if (parse_json_manifest(text.str(), document)) return index_json_manifest(document);
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

bool parse_json_manifest(const std::string &text, nlohmann::ordered_json &document) {
    // The JSON reader takes a NUL for the end of the text, and would take an array followed by the NULs a crash
    // leaves (and whatever follows them) for the whole manifest; no JSON text holds one.
    if (text.find('\0') != std::string::npos) return false;
    try {
        document = nlohmann::ordered_json::parse(text);
        return true;
    } catch (const nlohmann::ordered_json::out_of_range &) {
        // A number overflowed: valid JSON all the same.
    } catch (const nlohmann::ordered_json::exception &) {
        return false;
    }
    try {
        document = nlohmann::ordered_json::parse(with_overflowing_numbers_as_zero(text));
        return true;
    } catch (const nlohmann::ordered_json::exception &) {
        return false;
    }
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

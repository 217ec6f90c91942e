#include "calibrate/calibration_log.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string_view>


namespace {

constexpr size_t kLongestLine = 64 * 1024;  // far above any line of the program's; longer ones are cut
constexpr int kReportedMalformedLines = 10;

// Calls `on_line(text, number)` for every line without its newline, cut to kLongestLine. Reads in large
// blocks: a day's log runs to gigabytes. False on a read error.
template <class OnLine>
bool for_each_line(std::FILE *file, OnLine on_line) {
    constexpr size_t kBlock = 1 << 20;
    std::unique_ptr<char[]> block(new char[kBlock]);
    std::string carried;  // the start of a line that continues in the next block
    auto carry = [&](std::string_view piece) { carried.append(piece.substr(0, kLongestLine - carried.size())); };
    uint64_t number = 0;
    size_t got;
    while ((got = std::fread(block.get(), 1, kBlock, file)) > 0) {
        std::string_view rest(block.get(), got);
        for (size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
            if (carried.empty()) {
                on_line(rest.substr(0, std::min(end, kLongestLine)), ++number);
            } else {
                carry(rest.substr(0, end));
                on_line(std::string_view(carried), ++number);
                carried.clear();
            }
        }
        carry(rest);
    }
    if (std::ferror(file)) return false;
    if (!carried.empty()) on_line(std::string_view(carried), ++number);
    return true;
}

// Reads a line left to right against the expected pieces.
struct Cursor {
    std::string_view rest;

    bool literal(std::string_view text) {
        if (rest.substr(0, text.size()) != text) return false;
        rest.remove_prefix(text.size());
        return true;
    }
    bool whole(int &value) {
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (error != std::errc() || end == rest.data()) return false;
        rest.remove_prefix(static_cast<size_t>(end - rest.data()));
        return true;
    }
    bool real(double &value) {
        const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (error != std::errc() || end == rest.data() || !std::isfinite(value)) return false;
        rest.remove_prefix(static_cast<size_t>(end - rest.data()));
        return true;
    }
    // One of `names` followed by `next`; its index, or -1.
    template <size_t N>
    int one_of(const std::array<const char *, N> &names, std::string_view next) {
        for (size_t i = 0; i < N; ++i) {
            const std::string_view name = names[i];
            if (rest.substr(0, name.size()) == name && rest.substr(name.size(), next.size()) == next) {
                rest.remove_prefix(name.size());
                return static_cast<int>(i);
            }
        }
        return -1;
    }
};

// A start-up report line that carries a decision setting; false for a malformed value.
bool parse_report_line(std::string_view text, RunSettings &settings) {
    Cursor c{text};
    if (c.literal("samples_dir: ")) {
        settings.samples_dir = std::string(c.rest);
        return true;
    }
    double real = 0.0;
    int whole = 0;
    if (c.literal("candidate_threshold: ")) {
        if (!c.real(real) || !c.rest.empty() || real <= 0.0) return false;
        settings.candidate_threshold = real;
    } else if (c.literal("confirmed_threshold: ")) {
        if (!c.real(real) || !c.rest.empty() || real <= 0.0) return false;
        settings.confirmed_threshold = real;
    } else if (c.literal("confirm_window: ")) {
        if (!c.whole(whole) || !c.rest.empty() || whole <= 0) return false;
        settings.confirm_window = whole;
    } else if (c.literal("confirm_min_hits: ")) {
        if (!c.whole(whole) || !c.rest.empty() || whole <= 0) return false;
        settings.confirm_min_hits = whole;
    }
    return true;
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool is_report_line(std::string_view text) {
    for (std::string_view key :
         {"samples_dir: ", "candidate_threshold: ", "confirmed_threshold: ", "confirm_window: ", "confirm_min_hits: "})
        if (starts_with(text, key)) return true;
    return false;
}

// Window settings the log did not give take lumivar_face's defaults; thresholds come from the faces.
void complete_settings(LoggedRun &run, double first_candidate, double first_confirmed, Logger &logger) {
    RunSettings &s = run.settings;
    if (s.candidate_threshold <= 0.0) s.candidate_threshold = first_candidate;
    if (s.confirmed_threshold <= 0.0) s.confirmed_threshold = first_confirmed;
    if (s.confirm_window > 0 && s.confirm_min_hits > 0) return;
    const Options defaults;
    if (s.confirm_window <= 0) s.confirm_window = defaults.confirm_window;
    if (s.confirm_min_hits <= 0) s.confirm_min_hits = defaults.confirm_min_hits;
    logger.line("warning: " + run.name + ": no confirm_window or confirm_min_hits line; replaying with " +
                std::to_string(s.confirm_window) + " and " + std::to_string(s.confirm_min_hits));
}

}  // namespace

bool parse_calibration_line(std::string_view text, LoggedFace &face, double &candidate, double &confirmed) {
    Cursor c{text};
    int width = 0, height = 0, hits = 0, entries = 0;
    double sharpness = 0.0, brightness = 0.0, contrast = 0.0;
    if (!(c.literal("calibration frame=") && c.whole(face.frame) && c.literal(", confidence=") &&
          c.real(face.distance) && c.literal(", label=")))
        return false;
    const int label = c.one_of(kLabelNames, ", candidate_threshold=");
    if (label < 0) return false;
    face.label = static_cast<IdentityLabel>(label);
    if (!(c.literal(", candidate_threshold=") && c.real(candidate) && c.literal(", confirmed_threshold=") &&
          c.real(confirmed) && c.literal(", face_size=") && c.whole(width) && c.literal("x") && c.whole(height) &&
          c.literal(", sharpness=") && c.real(sharpness) && c.literal(", brightness=") && c.real(brightness) &&
          c.literal(", contrast=") && c.real(contrast) && c.literal(", quality=")))
        return false;
    const int reason = c.one_of(kCalibrationReasons, ", confirmation_hits=");
    if (reason < 0) return false;
    face.reason = static_cast<uint8_t>(reason);
    return c.literal(", confirmation_hits=") && c.whole(hits) && c.literal(", confirmation_window=") &&
           c.whole(entries) && c.literal(", best_profile_stage=") &&
           c.rest.find(", matched_sample=") != std::string_view::npos && face.distance >= 0.0 &&
           face.distance <= kLargestLoggedDistance && candidate > 0.0 && confirmed > 0.0;
}

LogReadOutcome read_run_log(const std::string &path, std::vector<LoggedRun> &runs, uint64_t &malformed_lines,
                            Logger &logger) {
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) {
        logger.line("error: cannot read log: " + path);
        return LogReadOutcome::unreadable;
    }
    std::vector<LoggedRun> file_runs(1);
    std::vector<std::pair<double, double>> first_thresholds(1);
    uint64_t malformed_here = 0;
    auto malformed = [&](uint64_t number, const char *what) {
        if (++malformed_here <= kReportedMalformedLines)
            logger.line("warning: " + path + ":" + std::to_string(number) + ": malformed " + what + " line");
    };

    const bool read = for_each_line(file.get(), [&](std::string_view text, uint64_t number) {
        if (!text.empty() && text.back() == '\r') text.remove_suffix(1);  // saved on another system
        if (starts_with(text, "calibration ")) {
            LoggedFace face;
            double candidate = 0.0, confirmed = 0.0;
            if (!parse_calibration_line(text, face, candidate, confirmed)) return malformed(number, "calibration");
            face.line = number;
            if (file_runs.back().faces.empty()) first_thresholds.back() = {candidate, confirmed};
            file_runs.back().faces.push_back(face);
        } else if (is_report_line(text)) {
            // A start-up report after faces begins the next run, appended to the same file.
            if (!file_runs.back().faces.empty()) {
                file_runs.emplace_back();
                first_thresholds.emplace_back();
            }
            if (!parse_report_line(text, file_runs.back().settings)) malformed(number, "start-up report");
        }
    });
    if (!read) {
        logger.line("error: cannot read log: " + path);
        return LogReadOutcome::unreadable;
    }
    if (malformed_here > kReportedMalformedLines)
        logger.line("warning: " + path + ": " + std::to_string(malformed_here - kReportedMalformedLines) +
                    " more malformed lines");
    malformed_lines += malformed_here;

    std::vector<size_t> with_faces;
    for (size_t i = 0; i < file_runs.size(); ++i)
        if (!file_runs[i].faces.empty()) with_faces.push_back(i);
    if (with_faces.empty()) {
        logger.line("error: no calibration lines in " + path + " (run lumivar_face with --calibration-log)");
        return LogReadOutcome::no_calibration_lines;
    }
    for (size_t n = 0; n < with_faces.size(); ++n) {
        LoggedRun &run = file_runs[with_faces[n]];
        run.name = with_faces.size() == 1 ? path : path + " (run " + std::to_string(n + 1) + ")";
        complete_settings(run, first_thresholds[with_faces[n]].first, first_thresholds[with_faces[n]].second,
                          logger);
        runs.push_back(std::move(run));
    }
    return LogReadOutcome::read;
}

#include "diagnostics.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

struct Levels {
    double rms = 0.0;
    double peak = 0.0;
    double noise_floor = 0.0;
};

// Mean of the q smallest window RMS values: q is a tenth of the windows, or 1 below 20 windows.
double quietest_mean(std::vector<double> &windows) {
    const size_t m = windows.size();
    const size_t q = m >= 20 ? m / 10 : 1;
    std::partial_sort(windows.begin(), windows.begin() + static_cast<std::ptrdiff_t>(q), windows.end());
    double sum = 0.0;
    for (size_t i = 0; i < q; ++i) {
        sum += windows[i];
    }
    return sum / static_cast<double>(q);
}

// Channels measured side by side: a record's channels all have one length.
constexpr size_t kSideBySide = 4;

// One pass over `count` channels of n samples each: RMS and peak of each channel, and the RMS
// of every whole 20 ms window for the noise floor; a channel shorter than one window is its own
// floor. Each channel keeps its own sums, added in sample order, so its figures equal a pass over
// that channel alone; side by side, the additions of different channels overlap in the processor.
void measure(const double *const *x, size_t count, size_t n, int32_t sample_rate, Levels *levels) {
    const size_t w = sample_rate / 50 > 0 ? static_cast<size_t>(sample_rate / 50) : 1;
    std::vector<double> windows[kSideBySide];
    double total[kSideBySide] = {};
    double peak[kSideBySide] = {};
    for (size_t c = 0; c < count; ++c) {
        windows[c].reserve(n / w);
    }
    size_t i = 0;
    for (; i + w <= n; i += w) {
        double window[kSideBySide] = {};
        for (size_t k = i; k < i + w; ++k) {
            for (size_t c = 0; c < count; ++c) {
                const double square = x[c][k] * x[c][k];
                total[c] += square;
                window[c] += square;
                peak[c] = std::max(peak[c], std::fabs(x[c][k]));
            }
        }
        for (size_t c = 0; c < count; ++c) {
            windows[c].push_back(std::sqrt(window[c] / static_cast<double>(w)));
        }
    }
    for (; i < n; ++i) {
        for (size_t c = 0; c < count; ++c) {
            total[c] += x[c][i] * x[c][i];
            peak[c] = std::max(peak[c], std::fabs(x[c][i]));
        }
    }
    for (size_t c = 0; c < count; ++c) {
        levels[c].rms = std::sqrt(total[c] / static_cast<double>(n));
        levels[c].peak = peak[c];
        levels[c].noise_floor = windows[c].empty() ? levels[c].rms : quietest_mean(windows[c]);
    }
}

// Levels of every channel; empty or missing channels stay at zero.
std::vector<Levels> measure_channels(const WavData &audio, size_t channels) {
    std::vector<Levels> levels(channels);
    const size_t present = std::min(channels, audio.samples.size());
    size_t first = 0;
    while (first < present) {
        const size_t n = audio.samples[first].size();
        size_t end = first + 1;
        while (end < present && end - first < kSideBySide && audio.samples[end].size() == n) {
            ++end;
        }
        if (n > 0) {
            const double *x[kSideBySide];
            for (size_t c = first; c < end; ++c) {
                x[c - first] = audio.samples[c].data();
            }
            measure(x, end - first, n, audio.sample_rate, &levels[first]);
        }
        first = end;
    }
    return levels;
}

}  // namespace

namespace {

// The silence and clipping warnings of measured levels, named with `label`.
void add_level_warnings(ChannelDiagnostics &result, const std::string &label) {
    for (size_t i = 0; i < result.rms.size(); ++i) {
        const std::string name = label + " " + std::to_string(i);
        if (result.rms[i] < 0.00005 || result.peak[i] < 0.0002) {
            result.warnings.push_back(name + " may be silent or dead");
        }
        if (result.peak[i] >= 0.999) {
            result.warnings.push_back(name + " may be clipping");
        }
    }
}

}  // namespace

ChannelDiagnostics diagnose_channels(const WavData &audio, const std::string &label) {
    ChannelDiagnostics result;
    const size_t channels = audio.channels > 0 ? static_cast<size_t>(audio.channels) : 0;
    const std::vector<Levels> levels = measure_channels(audio, channels);
    for (size_t i = 0; i < channels; ++i) {
        result.rms.push_back(levels[i].rms);
        result.peak.push_back(levels[i].peak);
        result.noise_floor.push_back(levels[i].noise_floor);
    }
    add_level_warnings(result, label);
    return result;
}

ChannelDiagnostics relabel_diagnostics(const ChannelDiagnostics &measured, const std::string &label) {
    ChannelDiagnostics result{measured.rms, measured.peak, measured.noise_floor, {}};
    add_level_warnings(result, label);
    return result;
}

void log_diagnostics(Logger &logger, const std::string &heading, const ChannelDiagnostics &diagnostics) {
    logger.line(heading + " diagnostics:");
    for (size_t i = 0; i < diagnostics.rms.size(); ++i) {
        const double peak = i < diagnostics.peak.size() ? diagnostics.peak[i] : 0.0;
        const double floor = i < diagnostics.noise_floor.size() ? diagnostics.noise_floor[i] : 0.0;
        logger.line("  channel " + std::to_string(i) + ": rms=" + format_fixed(diagnostics.rms[i], 8) +
                    ", peak=" + format_fixed(peak, 8) + ", noise_floor=" + format_fixed(floor, 8));
    }
}

bool speech_level_reached(const std::vector<double> &rms) {
    for (double level : rms) {
        if (level > 0.003) {
            return true;
        }
    }
    return false;
}

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

// One pass: RMS and peak of the channel, and the RMS of every whole 20 ms window for the noise
// floor; a channel shorter than one window is its own floor.
Levels measure(const std::vector<double> &x, int32_t sample_rate) {
    const size_t n = x.size();
    const size_t w = sample_rate / 50 > 0 ? static_cast<size_t>(sample_rate / 50) : 1;
    std::vector<double> windows;
    windows.reserve(n / w);
    double total = 0.0;
    double peak = 0.0;
    size_t i = 0;
    for (; i + w <= n; i += w) {
        double window = 0.0;
        for (size_t k = i; k < i + w; ++k) {
            const double square = x[k] * x[k];
            total += square;
            window += square;
            peak = std::max(peak, std::fabs(x[k]));
        }
        windows.push_back(std::sqrt(window / static_cast<double>(w)));
    }
    for (; i < n; ++i) {
        total += x[i] * x[i];
        peak = std::max(peak, std::fabs(x[i]));
    }
    Levels levels;
    levels.rms = std::sqrt(total / static_cast<double>(n));
    levels.peak = peak;
    levels.noise_floor = windows.empty() ? levels.rms : quietest_mean(windows);
    return levels;
}

}  // namespace

ChannelDiagnostics diagnose_channels(const WavData &audio, const std::string &label) {
    ChannelDiagnostics result;
    const size_t channels = audio.channels > 0 ? static_cast<size_t>(audio.channels) : 0;
    result.rms.assign(channels, 0.0);
    result.peak.assign(channels, 0.0);
    result.noise_floor.assign(channels, 0.0);
    for (size_t i = 0; i < channels; ++i) {
        if (i < audio.samples.size() && !audio.samples[i].empty()) {
            const Levels levels = measure(audio.samples[i], audio.sample_rate);
            result.rms[i] = levels.rms;
            result.peak[i] = levels.peak;
            result.noise_floor[i] = levels.noise_floor;
        }
        const std::string name = label + " " + std::to_string(i);
        if (result.rms[i] < 0.00005 || result.peak[i] < 0.0002) {
            result.warnings.push_back(name + " may be silent or dead");
        }
        if (result.peak[i] >= 0.999) {
            result.warnings.push_back(name + " may be clipping");
        }
    }
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

#include "diagnostics.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

double rms_of(const double *x, size_t n) {
    if (n == 0) {
        return 0.0;
    }
    double sum = 0.0;
    for (size_t i = 0; i < n; ++i) {
        sum += x[i] * x[i];
    }
    return std::sqrt(sum / static_cast<double>(n));
}

double peak_of(const std::vector<double> &x) {
    double peak = 0.0;
    for (double v : x) {
        peak = std::max(peak, std::fabs(v));
    }
    return peak;
}

// Mean RMS of the quietest tenth of the whole 20 ms windows (the quietest one when there are
// fewer than 20); a channel shorter than one window is its own floor.
double noise_floor_of(const std::vector<double> &x, int32_t sample_rate) {
    const size_t n = x.size();
    const size_t w = sample_rate / 50 > 0 ? static_cast<size_t>(sample_rate / 50) : 1;
    if (n < w) {
        return rms_of(x.data(), n);
    }
    std::vector<double> windows;
    windows.reserve(n / w);
    for (size_t start = 0; start + w <= n; start += w) {
        windows.push_back(rms_of(x.data() + start, w));
    }
    const size_t m = windows.size();
    const size_t q = m >= 20 ? m / 10 : 1;
    std::partial_sort(windows.begin(), windows.begin() + static_cast<std::ptrdiff_t>(q), windows.end());
    double sum = 0.0;
    for (size_t i = 0; i < q; ++i) {
        sum += windows[i];
    }
    return sum / static_cast<double>(q);
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
            const std::vector<double> &x = audio.samples[i];
            result.rms[i] = rms_of(x.data(), x.size());
            result.peak[i] = peak_of(x);
            result.noise_floor[i] = noise_floor_of(x, audio.sample_rate);
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

#include "gain.h"

#include <cmath>
#include <cstdint>

#include "run_log.h"

bool apply_input_gain_in_place(WavData &audio, double gain_db, std::vector<std::string> &warnings) {
    if (audio.channels <= 0 || audio.samples.empty()) {
        return false;
    }
    const double factor = std::pow(10.0, gain_db / 20.0);
    if (factor == 1.0) {
        return false;
    }
    std::vector<int32_t> clipped(audio.samples.size(), 0);
    bool any_clipped = false;
    for (size_t c = 0; c < audio.samples.size(); ++c) {
        int32_t count = 0;
        for (double &x : audio.samples[c]) {
            const double y = x * factor;
            if (y > 1.0) {
                x = 1.0;
                ++count;
            } else if (y < -1.0) {
                x = -1.0;
                ++count;
            } else {
                x = y;
            }
        }
        clipped[c] = count;
        any_clipped = any_clipped || count > 0;
    }
    if (!any_clipped) {
        return true;
    }
    std::string text = "input gain " + format_fixed(gain_db, 1) + " dB caused processed-signal clipping";
    for (size_t c = 0; c < clipped.size(); ++c) {
        if (clipped[c] > 0) {
            text += "; ch" + std::to_string(c) + " clipped_samples=" + std::to_string(clipped[c]);
        }
    }
    warnings.push_back(text);
    return true;
}

WavData apply_input_gain(const WavData &input, double gain_db, std::vector<std::string> &warnings) {
    WavData processed = input;
    apply_input_gain_in_place(processed, gain_db, warnings);
    return processed;
}

#include "speech_detection.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace {

constexpr double kFloorSeconds = 3.0;
constexpr double kAboveFloor = 1.9952623149688795;  // 3 dB, in power
// The library's verdict is asked for at its "low likelihood" (its default): it calls a frame
// voiced less readily than at "moderate" or "high".
constexpr auto kLikelihood = webrtc::VoiceDetection::kLowLikelihood;

// Frames of `processed` as their mean over the channels, in 16-bit codes.
std::vector<int16_t> mean_codes(const WavData &processed, double &power) {
    const std::size_t channels = processed.samples.size();
    const std::size_t n = channels == 0 ? 0 : processed.samples[0].size();
    std::vector<int16_t> codes(n);
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double mean = 0.0;
        for (const std::vector<double> &channel : processed.samples) mean += i < channel.size() ? channel[i] : 0.0;
        mean /= static_cast<double>(channels);
        sum += mean * mean;
        codes[i] = to_pcm16(mean);
    }
    power = n > 0 ? sum / static_cast<double>(n) : 0.0;
    return codes;
}

void check(int code, const char *what) {
    if (code != webrtc::AudioProcessing::kNoError) {
        throw std::runtime_error(std::string("WebRTC voice detection failed to ") + what + " (code " +
                                 std::to_string(code) + ")");
    }
}

}  // namespace

SpeechDetection start_speech_detection(std::size_t chunk_frames, int sample_rate) {
    SpeechDetection detection;
    if (chunk_frames > 0 && sample_rate > 0) {
        const double chunks = kFloorSeconds * sample_rate / static_cast<double>(chunk_frames);
        detection.floor_chunks = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(chunks)));
    }
    if (sample_rate != kProcessingRate) return detection;
    webrtc::Config config;
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
    detection.library.reset(webrtc::AudioProcessing::Create(config));
    if (!detection.library) throw std::runtime_error("WebRTC audio processing could not be created");
    check(detection.library->voice_detection()->set_likelihood(kLikelihood), "set the likelihood");
    check(detection.library->voice_detection()->Enable(true), "enable voice detection");
    return detection;
}

bool chunk_has_speech(SpeechDetection &detection, const WavData &processed) {
    double power = 0.0;
    const std::vector<int16_t> codes = mean_codes(processed, power);
    bool voiced = true;  // without the library the level decides alone
    if (detection.library) {
        std::vector<int16_t> &pending = detection.pending;
        pending.insert(pending.end(), codes.begin(), codes.end());
        int frames = 0, voiced_frames = 0;
        webrtc::AudioFrame frame;
        std::size_t first = 0;
        for (; first + kProcessingFrame <= pending.size(); first += kProcessingFrame) {
            frame.sample_rate_hz_ = kProcessingRate;
            frame.num_channels_ = 1;
            frame.samples_per_channel_ = kProcessingFrame;
            std::copy(pending.begin() + first, pending.begin() + first + kProcessingFrame, frame.data_);
            check(detection.library->ProcessStream(&frame), "process a frame");
            detection.last_frame_voiced = detection.library->voice_detection()->stream_has_voice();
            ++frames;
            voiced_frames += detection.last_frame_voiced ? 1 : 0;
        }
        pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(first));
        voiced = frames > 0 ? 2 * voiced_frames >= frames : detection.last_frame_voiced;
    }
    detection.recent_power.push_back(power);
    while (detection.recent_power.size() > detection.floor_chunks) detection.recent_power.pop_front();
    const double floor = *std::min_element(detection.recent_power.begin(), detection.recent_power.end());
    return voiced && power > 0.0 && power >= kAboveFloor * floor;
}

#include "beam_processing.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <iterator>
#include <numeric>
#include <stdexcept>

#include "run_log.h"
#include "wav.h"

namespace {

// Noise suppression's overlap-add holds its output back by this much (measured at 16 kHz).
constexpr int kNoiseSuppressionDelay = 96;
// Gain control as the library's documented defaults: a target 3 dB below full scale, 9 dB of
// compression gain, and the limiter on so that the gain never clips.
constexpr int kAgcTargetBelowFullScale = 3;
constexpr int kAgcCompressionGain = 9;

webrtc::NoiseSuppression::Level library_level(const std::string &name) {
    static const webrtc::NoiseSuppression::Level levels[] = {
        webrtc::NoiseSuppression::kLow, webrtc::NoiseSuppression::kModerate, webrtc::NoiseSuppression::kHigh,
        webrtc::NoiseSuppression::kVeryHigh};
    const auto found = std::find(std::begin(kDenoiseLevels), std::end(kDenoiseLevels), name);
    return levels[std::min<std::ptrdiff_t>(found - std::begin(kDenoiseLevels), 3)];
}

void check(int code, const char *what) {
    if (code != webrtc::AudioProcessing::kNoError) {
        throw std::runtime_error(std::string("WebRTC audio processing failed to ") + what + " (code " +
                                 std::to_string(code) + ")");
    }
}

// Whole frames of `samples` through the library, appended to `out` at full scale 1.0.
void run_frames(webrtc::AudioProcessing &library, const int16_t *samples, std::size_t count,
                std::vector<double> &out) {
    webrtc::AudioFrame frame;
    for (std::size_t first = 0; first + kProcessingFrame <= count; first += kProcessingFrame) {
        frame.sample_rate_hz_ = kProcessingRate;
        frame.num_channels_ = 1;
        frame.samples_per_channel_ = kProcessingFrame;
        std::copy(samples + first, samples + first + kProcessingFrame, frame.data_);
        check(library.ProcessStream(&frame), "process a frame");
        for (int i = 0; i < kProcessingFrame; ++i) out.push_back(frame.data_[i] / 32767.0);
    }
}

std::vector<int16_t> pcm16(const std::vector<double> &samples) {
    std::vector<int16_t> codes(samples.size());
    std::transform(samples.begin(), samples.end(), codes.begin(), to_pcm16);
    return codes;
}

// Chunks of n samples leave at most 160 - gcd(n, 160) of them short of a whole frame: a live stream
// starts that far behind, so that every chunk finds its full length ready.
int chunk_shortfall(int chunk_frames) { return kProcessingFrame - std::gcd(chunk_frames, kProcessingFrame); }

int library_delay(const Options &options) { return options.denoise.empty() ? 0 : kNoiseSuppressionDelay; }

void name_fixed_beam(BeamformResult &beam, const BeamProcessing &processing) {
    // Fewer than four channels are never steered, fixed or not: they keep the fallback's name.
    if (processing.fixed_angle_degrees && beam.lags.size() >= 4) beam.method = kFixedBeamMethod;
}

}  // namespace

void AudioProcessingRelease::operator()(webrtc::AudioProcessing *library) const { delete library; }

BeamProcessing start_beam_processing(const Options &options, int chunk_frames) {
    BeamProcessing processing;
    processing.fixed_angle_degrees = options.beam_angle_degrees;
    if (options.denoise.empty() && !options.agc) return processing;
    // The library's newer gain control steers a microphone volume we do not have and overrides the mode,
    // target and compression set below: off, so that adaptive digital is what runs.
    webrtc::Config config;
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
    processing.library.reset(webrtc::AudioProcessing::Create(config));
    if (!processing.library) throw std::runtime_error("WebRTC audio processing could not be created");
    webrtc::AudioProcessing &library = *processing.library;
    // A room's rumble below speech otherwise fills the noise estimate and the gain control's level.
    check(library.high_pass_filter()->Enable(true), "enable the high-pass filter");
    if (!options.denoise.empty()) {
        check(library.noise_suppression()->set_level(library_level(options.denoise)), "set the denoise level");
        check(library.noise_suppression()->Enable(true), "enable noise suppression");
    }
    if (options.agc) {
        webrtc::GainControl &gain = *library.gain_control();
        check(gain.set_mode(webrtc::GainControl::kAdaptiveDigital), "set the gain mode");
        check(gain.set_target_level_dbfs(kAgcTargetBelowFullScale), "set the gain target");
        check(gain.set_compression_gain_db(kAgcCompressionGain), "set the compression gain");
        check(gain.enable_limiter(true), "enable the limiter");
        check(gain.Enable(true), "enable gain control");
    }
    processing.library_delay = library_delay(options);
    if (chunk_frames > 0) processing.ready.assign(static_cast<std::size_t>(chunk_shortfall(chunk_frames)), 0.0);
    return processing;
}

std::vector<std::string> beam_processing_lines(const Options &options) {
    std::vector<std::string> lines;
    if (options.beam_angle_degrees) {
        lines.push_back("beam_fixed_angle_degrees: " + format_fixed(*options.beam_angle_degrees));
    }
    if (!options.denoise.empty()) lines.push_back("denoise: " + options.denoise + " (WebRTC noise suppression)");
    if (options.agc) lines.push_back("agc: adaptive digital (WebRTC gain control)");
    if ((!options.denoise.empty() || options.agc) && options.live) {
        lines.push_back("live processing_latency_samples: " +
                        std::to_string(chunk_shortfall(options.live_chunk_frames) + library_delay(options)));
    }
    return lines;
}

DirectionEstimate beam_steering(const DirectionEstimate &estimate, const BeamProcessing &processing) {
    if (!processing.fixed_angle_degrees) return estimate;
    DirectionEstimate fixed = estimate;
    fixed.angle_degrees = *processing.fixed_angle_degrees;
    fixed.low_confidence = false;
    return fixed;
}

void process_whole_beam(BeamformResult &beam, int sample_rate, BeamProcessing &processing) {
    name_fixed_beam(beam, processing);
    if (!processing.library) return;
    if (sample_rate != kProcessingRate) {
        throw std::runtime_error("--denoise and --agc need audio at 16000 Hz, not " + std::to_string(sample_rate) +
                                 " Hz");
    }
    // Zeros past the end carry the last samples out of the library's delay and fill the last frame.
    const std::size_t n = beam.samples.size();
    std::vector<int16_t> codes = pcm16(beam.samples);
    const std::size_t padded = n + static_cast<std::size_t>(processing.library_delay);
    codes.resize((padded + kProcessingFrame - 1) / kProcessingFrame * kProcessingFrame, 0);
    std::vector<double> out;
    out.reserve(codes.size());
    run_frames(*processing.library, codes.data(), codes.size(), out);
    beam.samples.assign(out.begin() + processing.library_delay, out.begin() + static_cast<std::ptrdiff_t>(padded));
}

void process_beam_chunk(BeamformResult &beam, BeamProcessing &processing) {
    name_fixed_beam(beam, processing);
    if (!processing.library) return;
    const std::vector<int16_t> codes = pcm16(beam.samples);
    processing.pending.insert(processing.pending.end(), codes.begin(), codes.end());
    const std::size_t whole = processing.pending.size() / kProcessingFrame * kProcessingFrame;
    run_frames(*processing.library, processing.pending.data(), whole, processing.ready);
    processing.pending.erase(processing.pending.begin(), processing.pending.begin() + static_cast<std::ptrdiff_t>(whole));
    // Only a short last chunk can find fewer samples ready than it brought: silence makes up the rest.
    const std::size_t n = beam.samples.size();
    const std::size_t taken = std::min(n, processing.ready.size());
    std::copy(processing.ready.begin(), processing.ready.begin() + static_cast<std::ptrdiff_t>(taken), beam.samples.begin());
    std::fill(beam.samples.begin() + static_cast<std::ptrdiff_t>(taken), beam.samples.end(), 0.0);
    processing.ready.erase(processing.ready.begin(), processing.ready.begin() + static_cast<std::ptrdiff_t>(taken));
}

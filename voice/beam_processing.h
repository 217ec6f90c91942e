#pragma once
// What happens to the beam besides steering it: held at a fixed angle (--beam-angle), noise
// suppression (--denoise) and adaptive digital gain control (--agc) by the WebRTC audio processing
// library, which works on 10 ms frames of 16-bit samples at 16 kHz.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "beamform.h"
#include "direction.h"
#include "options.h"

namespace webrtc {
class AudioProcessing;
}

constexpr int kProcessingRate = 16000;
constexpr int kProcessingFrame = kProcessingRate / 100;  // 10 ms
constexpr const char *kFixedBeamMethod = "fixed-angle delay-and-sum from processed samples";

struct AudioProcessingRelease {
    void operator()(webrtc::AudioProcessing *library) const;
};

// The run's beam processing, made once by start_beam_processing and handed to every chunk.
struct BeamProcessing {
    std::optional<double> fixed_angle_degrees;
    std::unique_ptr<webrtc::AudioProcessing, AudioProcessingRelease> library;  // null: no --denoise, no --agc
    int library_delay = 0;  // samples by which the library's output lags its input
    std::vector<int16_t> pending;  // live: input short of a whole frame
    std::vector<double> ready;     // live: processed samples not yet handed out
};

// `chunk_frames` > 0: live mode, chunks of that length; 0: whole recordings.
BeamProcessing start_beam_processing(const Options &options, int chunk_frames);

// The start-up lines naming what is on (none without the options), in live mode with the latency.
std::vector<std::string> beam_processing_lines(const Options &options);

// The estimate the beam steers by: the estimate itself, or one at the fixed angle.
DirectionEstimate beam_steering(const DirectionEstimate &estimate, const BeamProcessing &processing);

// A whole recording's beam, processed in place and still aligned with its input; the method named
// when the beam was fixed. Throws std::runtime_error at a rate the library cannot take.
void process_whole_beam(BeamformResult &beam, int sample_rate, BeamProcessing &processing);

// One live chunk's beam: as many samples come out as went in, the logged latency late.
void process_beam_chunk(BeamformResult &beam, BeamProcessing &processing);

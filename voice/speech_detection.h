#pragma once
// Whether a chunk holds speech (--directions-out): the voice activity detection of the WebRTC audio
// processing library on the mean of the processed channels, 10 ms frames at 16 kHz carried across
// chunks, and a level test against the chunks of the last few seconds.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "beam_processing.h"
#include "wav.h"

struct SpeechDetection {
    std::unique_ptr<webrtc::AudioProcessing, AudioProcessingRelease> library;  // null: not 16 kHz
    std::vector<int16_t> pending;  // input short of a whole 10 ms frame
    bool last_frame_voiced = false;
    std::deque<double> recent_power;  // mean power of the last chunks, oldest first
    std::size_t floor_chunks = 1;     // how many of them the noise floor looks back over
};

// For chunks of `chunk_frames` at `sample_rate`; the voice detection runs at 16000 Hz only, at any
// other rate the level test decides alone.
SpeechDetection start_speech_detection(std::size_t chunk_frames, int sample_rate);

// A chunk is speech when at least half of the 10 ms frames completed in it are voiced (none
// completed: the last frame's verdict) and its power is at least 3 dB above the quietest chunk of
// the last 3 s, itself included.
bool chunk_has_speech(SpeechDetection &detection, const WavData &processed);

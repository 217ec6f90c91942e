#pragma once
// RIFF/WAVE PCM: 16- or 32-bit files of any channel count in, 16-bit mono out.
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

// Samples are normalised so that full scale is 1.0 (16-bit: s / 32768, 32-bit: s / 2^31).
struct WavData {
    int32_t sample_rate = 0;
    int32_t channels = 0;
    int32_t bits_per_sample = 0;
    std::vector<std::vector<double>> samples;  // one vector per channel
};

// Throws std::runtime_error with a ready message on any failure.
WavData read_wav(const std::string &path);

void write_le32(std::ostream &out, uint32_t value);

// Writes a 16-bit mono WAV; throws std::runtime_error("failed to write WAV: " + path) on failure.
void write_beamformed_wav(const std::string &path, int32_t sample_rate, const std::vector<double> &samples);

// One normalised sample as a 16-bit code: clamped, scaled by 32767, halves away from zero (NaN gives 0).
int16_t to_pcm16(double sample);

// Samples as headerless signed 16-bit little-endian bytes (to_pcm16 each).
std::vector<unsigned char> encode_pcm16_le(const std::vector<double> &samples);

// Appends `frames` interleaved little-endian frames of 16- or 32-bit samples to `samples` (one
// vector per channel); values scaled to full scale 1.0 and clamped to [-1, 1].
void decode_pcm_frames(const uint8_t *bytes, size_t frames, int bits_per_sample,
                       std::vector<std::vector<double>> &samples);

// Room for `count` samples, without filling them: a buffer about to be written whole.
void reserve_samples(std::vector<double> &samples, size_t count);

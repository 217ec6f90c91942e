#pragma once
// The simulated 4-channel Kinect array for the vocrin tests: an ALSA configuration under which
// the real arecord captures from a raw file, and conversions between a recording and the
// interleaved 32-bit codes that file holds.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "wav.h"

namespace voicetest {

// ALSA's file plugin over the null plugin replaces the built-in "hw" PCM in `home`/.asoundrc, so
// the production device name hw:1,0 "captures" the raw S32_LE bytes of $MIC4_INFILE.
inline void write_simulated_array_config(const std::string &home) {
    std::ofstream out(home + "/.asoundrc");
    out << "pcm.!hw {\n"
           "    @args [ CARD DEV SUBDEV ]\n"
           "    @args.CARD { type string default \"0\" }\n"
           "    @args.DEV { type integer default 0 }\n"
           "    @args.SUBDEV { type integer default -1 }\n"
           "    type file\n"
           "    slave.pcm \"null\"\n"
           "    file \"/dev/null\"\n"
           "    infile { @func getenv vars [ MIC4_INFILE ] default \"/nonexistent\" }\n"
           "    format \"raw\"\n"
           "}\n";
}

// Interleaved 32-bit codes of a 4-channel record, repeated until `frames` frames are filled.
inline std::vector<int32_t> looped_codes(const WavData &audio, std::size_t frames) {
    std::vector<int32_t> codes;
    codes.reserve(frames * 4);
    const std::size_t length = audio.samples[0].size();
    for (std::size_t f = 0; f < frames; ++f) {
        for (int c = 0; c < 4; ++c) {
            const double code = std::round(audio.samples[c][f % length] * 2147483648.0);
            codes.push_back(static_cast<int32_t>(std::max(-2147483648.0, std::min(2147483647.0, code))));
        }
    }
    return codes;
}

// Frames [first, first + count) of interleaved 4-channel codes as the normalised record a reader builds.
inline WavData frames_as_audio(const std::vector<int32_t> &codes, std::size_t first, std::size_t count) {
    WavData audio;
    audio.sample_rate = 16000;
    audio.channels = 4;
    audio.bits_per_sample = 32;
    audio.samples.assign(4, std::vector<double>(count));
    for (std::size_t f = 0; f < count; ++f) {
        for (int c = 0; c < 4; ++c) {
            audio.samples[c][f] = codes[(first + f) * 4 + c] / 2147483648.0;
        }
    }
    return audio;
}

// `source` (16 kHz) as microphones at `mic_positions` (metres along the bar) hear a far talker from `angle_degrees`
// in free field: microphone k x_k sin(angle) / 343 seconds behind the bar's centre (a positive angle: the last
// microphone hears it later), by a Hann-windowed sinc 17 samples to each side, plus independent noise of
// `noise_sigma`.
inline WavData array_from_direction(const std::vector<double> &source, double angle_degrees,
                                    const std::vector<double> &mic_positions, double noise_sigma, unsigned seed) {
    constexpr int kHalfTaps = 16;
    WavData audio;
    audio.sample_rate = 16000;
    audio.channels = static_cast<int>(mic_positions.size());
    audio.bits_per_sample = 32;
    std::mt19937 gen(seed);
    std::normal_distribution<double> noise(0.0, noise_sigma > 0 ? noise_sigma : 1.0);
    const long n = static_cast<long>(source.size());
    for (double x : mic_positions) {
        const double delay = x * std::sin(angle_degrees * M_PI / 180.0) / 343.0 * audio.sample_rate;
        std::vector<double> channel(source.size());
        for (long i = 0; i < n; ++i) {
            const double at = static_cast<double>(i) - delay;
            const long nearest = static_cast<long>(std::floor(at));
            double sum = 0.0;
            for (long j = nearest - kHalfTaps; j <= nearest + kHalfTaps + 1; ++j) {
                const double t = at - static_cast<double>(j);
                if (j < 0 || j >= n || std::fabs(t) >= kHalfTaps + 1) continue;
                const double sinc = t == 0.0 ? 1.0 : std::sin(M_PI * t) / (M_PI * t);
                sum += source[static_cast<std::size_t>(j)] * sinc * 0.5 * (1.0 + std::cos(M_PI * t / (kHalfTaps + 1)));
            }
            channel[static_cast<std::size_t>(i)] = sum + (noise_sigma > 0 ? noise(gen) : 0.0);
        }
        audio.samples.push_back(std::move(channel));
    }
    return audio;
}

// A device that stops delivering: $MIC4_INFILE as a FIFO that holds `bytes` and then stays open
// with nothing more. The real arecord passes the bytes on and then blocks reading the device, where
// it notices neither a closed output pipe nor SIGTERM (it prints "Aborted by signal Terminated..."
// and goes on waiting): only SIGKILL ends it.
struct StalledArrayFeed {
    int fd = -1;
    StalledArrayFeed(const std::string &fifo, const std::vector<unsigned char> &bytes) {
        if (::mkfifo(fifo.c_str(), 0600) != 0 || (fd = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC)) < 0) {
            throw std::runtime_error("cannot make the FIFO " + fifo);
        }
        // Room for all of it, so that writing does not wait for arecord.
        if (::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(bytes.size())) < static_cast<int>(bytes.size()) ||
            ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            ::close(fd);
            throw std::runtime_error("cannot fill the FIFO " + fifo);
        }
    }
    StalledArrayFeed(const StalledArrayFeed &) = delete;
    StalledArrayFeed &operator=(const StalledArrayFeed &) = delete;
    ~StalledArrayFeed() { ::close(fd); }
};

}  // namespace voicetest

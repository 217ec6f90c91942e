#include "live.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>

#include "gain.h"
#include "pipeline.h"

namespace {

constexpr int kCaptureRate = 16000;
constexpr int kCaptureChannels = 4;
constexpr std::size_t kBytesPerSample = 4;
constexpr std::size_t kBytesPerFrame = kCaptureChannels * kBytesPerSample;
constexpr double kSpeechRms = 0.003;

// Status lines of a long run must reach a tailing reader without waiting for a full buffer.
void flush_log(Logger &logger) {
    std::cout.flush();
    if (logger.file.is_open()) {
        logger.file.flush();
    }
}

int32_t read_s32le(const unsigned char *bytes) {
    const uint32_t value = static_cast<uint32_t>(bytes[0]) | (static_cast<uint32_t>(bytes[1]) << 8) |
                           (static_cast<uint32_t>(bytes[2]) << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
    return static_cast<int32_t>(value);
}

double largest_magnitude(const std::vector<double> &samples) {
    double peak = 0.0;
    for (double u : samples) {
        peak = std::max(peak, std::abs(u));
    }
    return peak;
}

std::string yes_no(bool value) { return value ? "true" : "false"; }

void log_status(Logger &logger, const LiveCounters &counters, const LiveChunkResult &chunk) {
    const double rms0 = chunk.diagnostics.rms.empty() ? 0.0 : chunk.diagnostics.rms[0];
    logger.line("live chunk=" + std::to_string(counters.chunks_processed) +
                " processed_rms_ch0=" + format_fixed(rms0, 6) +
                " beam_peak=" + format_fixed(largest_magnitude(chunk.beam.samples), 6) +
                " direction_angle=" + format_fixed(chunk.direction.angle_degrees, 6) +
                " direction_confidence=" + format_fixed(chunk.direction.confidence, 6) +
                " low_confidence=" + yes_no(chunk.direction.low_confidence) +
                " speech_seen=" + yes_no(counters.speech_seen));
    for (const std::string &warning : chunk.gain_warnings) {
        logger.line("warning: " + warning);
    }
}

bool any_above(const std::vector<double> &values, double limit) {
    for (double v : values) {
        if (v > limit) {
            return true;
        }
    }
    return false;
}

// Runs `io` on the PCM output with SIGPIPE held back: a reader that left then shows as EPIPE
// instead of killing the program. Console and log writes keep the default disposition.
template <typename Io>
bool with_sigpipe_held(Io io, int &error) {
    sigset_t pipe_only;
    sigset_t previous;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe_only, &previous);
    errno = 0;
    const bool ok = io();
    error = errno;
    if (!ok && error == EPIPE) {
        // Consume the signal this write raised so that it does not arrive on unblocking.
        const timespec no_wait{0, 0};
        sigtimedwait(&pipe_only, nullptr, &no_wait);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    return ok;
}

// Whole chunk then one flush; false when the output no longer takes data.
bool write_chunk(std::FILE *output, const std::vector<unsigned char> &bytes, int &error) {
    return with_sigpipe_held(
        [&] { return std::fwrite(bytes.data(), 1, bytes.size(), output) == bytes.size() && std::fflush(output) == 0; },
        error);
}

}  // namespace

std::string live_capture_command(const Options &options) {
    return "arecord -D " + shell_quote(options.device) + " -f S32_LE -r " + std::to_string(kCaptureRate) +
           " -c " + std::to_string(kCaptureChannels) + " -t raw";
}

WavData live_chunk_audio(const unsigned char *interleaved_s32le, std::size_t frames) {
    WavData audio;
    audio.sample_rate = kCaptureRate;
    audio.channels = kCaptureChannels;
    audio.bits_per_sample = 32;
    audio.samples.assign(kCaptureChannels, std::vector<double>(frames));
    const double scale = 1.0 / 2147483648.0;
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t c = 0; c < static_cast<std::size_t>(kCaptureChannels); ++c) {
            const double value = read_s32le(interleaved_s32le + f * kBytesPerFrame + c * kBytesPerSample) * scale;
            audio.samples[c][f] = std::min(1.0, std::max(-1.0, value));
        }
    }
    return audio;
}

LiveChunkResult process_live_chunk(const WavData &chunk, double input_gain_db) {
    LiveChunkResult result;
    const WavData processed = apply_input_gain(chunk, input_gain_db, result.gain_warnings);
    result.diagnostics = diagnose_channels(processed, "live processed channel");
    result.direction = estimate_direction(processed, "processed-live");
    result.beam = beamform_delay_and_sum(processed, result.direction);
    return result;
}

std::vector<unsigned char> encode_pcm16_le(const std::vector<double> &samples) {
    std::vector<unsigned char> bytes;
    bytes.reserve(samples.size() * 2);
    for (double u : samples) {
        const uint16_t code = static_cast<uint16_t>(to_pcm16(u));
        bytes.push_back(static_cast<unsigned char>(code & 0xFF));
        bytes.push_back(static_cast<unsigned char>(code >> 8));
    }
    return bytes;
}

int run_live_mode(const Options &options, Logger &logger) {
    const std::string command = live_capture_command(options);
    logger.line("Vocrin live mode: raw Kinect mic array -> input gain -> beamforming -> mono s16le PCM");
    logger.line("live_pcm_output: " + options.pcm_output);
    logger.line("live_duration_seconds: " + std::to_string(options.live_duration_seconds));
    logger.line("live_chunk_frames: " + std::to_string(options.live_chunk_frames));
    logger.line("live capture command: " + command);
    flush_log(logger);

    std::FILE *capture = popen(command.c_str(), "r");
    if (capture == nullptr) {
        logger.line("error: failed to start arecord for live mode");
        return 30;
    }
    // Opening a FIFO waits here for its reader while the capture pipe fills.
    std::FILE *output = std::fopen(options.pcm_output.c_str(), "wb");
    if (output == nullptr) {
        logger.line("error: failed to open live PCM output: " + options.pcm_output);
        pclose(capture);
        return 31;
    }
    const std::size_t chunk_frames = static_cast<std::size_t>(options.live_chunk_frames);
    std::vector<unsigned char> buffer(chunk_frames * kBytesPerFrame, 0);
    const auto start = std::chrono::steady_clock::now();
    LiveCounters counters;
    bool output_failed = false;
    int output_errno = 0;

    while (true) {
        if (options.live_duration_seconds > 0) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(
                std::chrono::steady_clock::now() - start);
            if (elapsed.count() >= options.live_duration_seconds) {
                break;
            }
        }
        const std::size_t items = std::fread(buffer.data(), kBytesPerSample, chunk_frames * kCaptureChannels, capture);
        if (items == 0) {
            break;
        }
        // Trailing values that do not fill a frame are dropped.
        const std::size_t frames = items / kCaptureChannels;
        if (frames == 0) {
            continue;
        }
        const LiveChunkResult chunk = process_live_chunk(live_chunk_audio(buffer.data(), frames), options.input_gain_db);
        if (!write_chunk(output, encode_pcm16_le(chunk.beam.samples), output_errno)) {
            output_failed = true;
            break;
        }
        if (!counters.speech_seen && any_above(chunk.diagnostics.rms, kSpeechRms)) {
            counters.speech_seen = true;
        }
        if (chunk.direction.low_confidence) {
            ++counters.low_confidence_chunks;
        }
        ++counters.chunks_processed;
        if (counters.chunks_processed == 1 || counters.chunks_processed % 50 == 0) {
            log_status(logger, counters, chunk);
            flush_log(logger);
        }
    }

    // The output goes first so that a FIFO reader sees the end of the stream at once. After a
    // failed write, closing may try the rest of the buffer again.
    int close_error = 0;
    with_sigpipe_held([&] { return std::fclose(output) == 0; }, close_error);
    const int capture_status = pclose(capture);

    logger.line("live chunks_processed: " + std::to_string(counters.chunks_processed));
    logger.line("live low_confidence_chunks: " + std::to_string(counters.low_confidence_chunks));
    logger.line("live speech_detected: " + yes_no(counters.speech_seen));
    if (output_failed) {
        if (output_errno == EPIPE) {
            logger.line("error: live PCM output closed by reader: " + options.pcm_output);
        } else {
            logger.line("error: failed to write live PCM output: " + options.pcm_output);
        }
        return kLiveOutputClosedStatus;
    }
    if (counters.chunks_processed >= 1 && options.live_duration_seconds >= 1) {
        logger.line("live clean finite-duration exit");
        return 0;
    }
    logger.line("live clean exit");
    return capture_status != 0 ? 32 : 0;
}

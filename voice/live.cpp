#include "live.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <optional>

#include "direction_lines.h"
#include "gain.h"
#include "geometric_direction.h"
#include "names.h"
#include "pcm_output.h"
#include "recorder.h"
#include "speech_detection.h"
#include "stop_signals.h"

namespace {

constexpr std::size_t kBytesPerSample = 4;
constexpr std::size_t kBytesPerFrame = kCaptureChannels * kBytesPerSample;

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
                " speech_seen=" + yes_no(counters.speech_seen) +
                (chunk.direction.geometric ? " direction_delay_samples=" + format_fixed(chunk.direction.delay_samples, 6)
                                           : std::string()));
    for (const std::string &warning : chunk.gain_warnings) {
        logger.line("warning: " + warning);
    }
}

using Clock = std::chrono::steady_clock;

// Fills `buffer` from the capture pipe until it is full or the stream ends, as a blocking read
// would. It stops waiting, with what has arrived, when a stop is asked (SIGINT, SIGTERM), or,
// given a deadline, once the deadline has passed, setting `stalled`. Returns the bytes received.
std::size_t read_capture(int fd, unsigned char *buffer, std::size_t size,
                         const std::optional<Clock::time_point> &deadline, bool &stalled) {
    std::size_t filled = 0;
    while (filled < size && stop_signal() == 0) {
        int wait_ms = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) {
                stalled = true;
                break;
            }
            wait_ms = static_cast<int>(left);
        }
        pollfd ends[2] = {{fd, POLLIN, 0}, {stop_wake_fd(), POLLIN, 0}};
        const int ready = ::poll(ends, 2, wait_ms);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready == 0) {
            stalled = true;
            break;
        }
        if (ends[0].revents == 0) {
            continue;  // only the stop request: the loop condition ends the read
        }
        const ssize_t got = ::read(fd, buffer + filled, size - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;  // end of the stream; a failed read ends it too
        }
        filled += static_cast<std::size_t>(got);
    }
    return filled;
}

// Two chunks' time, at least 100 ms: what a recorder gets to notice the closed pipe by itself.
std::chrono::milliseconds recorder_grace(std::size_t chunk_frames) {
    const auto two_chunks = std::chrono::milliseconds(2 * 1000 * chunk_frames / kCaptureRate);
    return std::max(two_chunks, std::chrono::milliseconds(100));
}

// Whatever way the run is left, an exception included, the output is closed, the recorder
// stopped and reaped, and the signal handlers released.
struct LiveEnding {
    int &output;
    RecorderProcess &capture;
    std::chrono::milliseconds grace;
    ~LiveEnding() {
        if (output >= 0) {
            ::close(output);
        }
        stop_recorder(capture, grace);
        release_stop_signals();
    }
};

}  // namespace

std::string live_capture_command(const Options &options) {
    return arecord_capture_prefix(options.device) + " -t raw";
}

WavData live_chunk_audio(const unsigned char *interleaved_s32le, std::size_t frames) {
    WavData audio;
    audio.sample_rate = kCaptureRate;
    audio.channels = kCaptureChannels;
    audio.bits_per_sample = 32;
    audio.samples.assign(kCaptureChannels, std::vector<double>());
    for (std::vector<double> &channel : audio.samples) {
        reserve_samples(channel, frames);
    }
    decode_pcm_frames(interleaved_s32le, frames, 32, audio.samples);
    return audio;
}

LiveChunkResult process_live_chunk(WavData chunk, double input_gain_db, const std::vector<double> &mic_positions,
                                   DirectionHistory *history, BeamProcessing *processing, SpeechDetection *speech) {
    LiveChunkResult result;
    apply_input_gain_in_place(chunk, input_gain_db, result.gain_warnings);
    if (speech != nullptr) result.speech = chunk_has_speech(*speech, chunk);
    result.diagnostics = diagnose_channels(chunk, "live processed channel");
    result.direction = estimate_direction(chunk, "processed-live", mic_positions, history);
    BeamProcessing plain;
    BeamProcessing &run = processing != nullptr ? *processing : plain;
    result.beam = beamform_delay_and_sum(chunk, beam_steering(result.direction, run), mic_positions);
    process_beam_chunk(result.beam, run);
    return result;
}

int run_live_mode(const Options &options, Logger &logger) {
    const std::string command = live_capture_command(options);
    logger.line("Vocrin live mode: raw Kinect mic array -> input gain -> beamforming -> mono s16le PCM");
    logger.line("live_pcm_output: " + options.pcm_output);
    logger.line("live_duration_seconds: " + std::to_string(options.live_duration_seconds));
    logger.line("live_chunk_frames: " + std::to_string(options.live_chunk_frames));
    logger.line("live capture command: " + command);
    if (!options.mic_positions.empty()) {
        logger.line(std::string("live direction_method: ") + kGeometricDirectionMethod);
    }
    if (!options.directions_out.empty()) logger.line("live directions_out: " + options.directions_out);
    logger.flush();

    const std::size_t chunk_frames = static_cast<std::size_t>(options.live_chunk_frames);
    catch_stop_signals();
    RecorderProcess capture;
    int output = -1;
    const LiveEnding ending{output, capture, recorder_grace(chunk_frames)};
    if (!start_recorder(command, /*piped=*/true, capture)) {
        logger.line("error: failed to start arecord for live mode");
        return kLiveRecorderNotStartedStatus;
    }
    // A FIFO waits here for its reader, or a stop request, while the capture pipe fills.
    output = open_pcm_output(options.pcm_output, options.require_fifo);
    if (output < 0 && stop_signal() == 0) {
        logger.line((options.require_fifo && !is_fifo(options.pcm_output) ? "error: live PCM output is not a FIFO: "
                                                                          : "error: failed to open live PCM output: ") +
                    options.pcm_output);
        return kLiveOutputNotOpenedStatus;
    }
    LineOutput directions;
    if (!options.directions_out.empty() && !open_line_output(directions, options.directions_out) && stop_signal() == 0) {
        logger.line("error: failed to open directions output: " + options.directions_out);
        return kLiveOutputNotOpenedStatus;
    }
    SpeechDetection speech = start_speech_detection(directions.fd >= 0 ? chunk_frames : 0, kCaptureRate);
    std::vector<unsigned char> buffer(chunk_frames * kBytesPerFrame, 0);
    BeamProcessing processing = start_beam_processing(options, options.live_chunk_frames);
    const auto start = Clock::now();
    // A finite run waits for data at most one chunk's time past its duration, so a device that
    // stops delivering cannot hold it up.
    std::optional<Clock::time_point> deadline;
    if (options.live_duration_seconds > 0) {
        deadline = start + std::chrono::seconds(options.live_duration_seconds) +
                   std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(static_cast<double>(chunk_frames) / kCaptureRate));
    }
    LiveCounters counters;
    DirectionHistory direction_memory = direction_history(chunk_frames, kCaptureRate);
    bool output_failed = false;
    int output_errno = 0;
    bool capture_stalled = false;
    std::optional<double> chain_end;  // where the last chunk's samples ended, for the next chunk's time

    // A stop request ends the loop once the chunk in hand is written, or found no room (pcm_output.h).
    while (output >= 0 && stop_signal() == 0) {
        if (options.live_duration_seconds > 0) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
            if (elapsed.count() >= options.live_duration_seconds) {
                break;
            }
        }
        const std::size_t items =
            read_capture(capture.output_fd, buffer.data(), buffer.size(), deadline, capture_stalled) / kBytesPerSample;
        const auto read_at = std::chrono::system_clock::now();
        if (items == 0) {
            break;
        }
        // Trailing values that do not fill a frame are dropped.
        const std::size_t frames = items / kCaptureChannels;
        if (frames > 0) {
            const LiveChunkResult chunk =
                process_live_chunk(live_chunk_audio(buffer.data(), frames), options.input_gain_db, options.mic_positions,
                                   &direction_memory, &processing, directions.fd >= 0 ? &speech : nullptr);
            const ChunkDelivery delivery = write_pcm_chunk(output, encode_pcm16_le(chunk.beam.samples), output_errno);
            if (delivery != ChunkDelivery::delivered) {
                output_failed = delivery == ChunkDelivery::failed;
                counters.chunks_not_delivered += delivery == ChunkDelivery::stopped ? 1 : 0;
                break;
            }
            if (!counters.speech_seen && speech_level_reached(chunk.diagnostics.rms)) {
                counters.speech_seen = true;
            }
            if (chunk.direction.low_confidence) {
                ++counters.low_confidence_chunks;
            }
            ++counters.chunks_processed;
            if (directions.fd >= 0) {
                const double duration = static_cast<double>(frames) / kCaptureRate;
                const double first_sample = chunk_first_sample_time(
                    std::chrono::duration<double>(read_at.time_since_epoch()).count(), duration, chain_end);
                chain_end = first_sample + duration;
                send_direction_line(directions, direction_line_of(first_sample, counters.chunks_processed, chunk), logger);
            }
            if (counters.chunks_processed == 1 || counters.chunks_processed % 50 == 0) {
                log_status(logger, counters, chunk);
                logger.flush();  // a tailing reader sees each status line of a long run at once
            }
        }
        if (capture_stalled) {
            break;  // what arrived before the deadline is written; the recorder delivers nothing more
        }
    }

    // The output goes first so that a FIFO reader sees the end of the stream at once.
    if (output >= 0) {
        ::close(output);
        output = -1;
    }
    close_line_output(directions);
    const int capture_status = stop_recorder(capture, ending.grace);
    const int stopped_by = stop_signal();

    logger.line("live chunks_processed: " + std::to_string(counters.chunks_processed));
    logger.line("live low_confidence_chunks: " + std::to_string(counters.low_confidence_chunks));
    logger.line("live speech_detected: " + yes_no(counters.speech_seen));
    if (!options.directions_out.empty()) logger.line("live directions_dropped: " + std::to_string(directions.dropped));
    if (counters.chunks_not_delivered > 0) {
        logger.line("live chunks_not_delivered: " + std::to_string(counters.chunks_not_delivered));
    }
    if (stopped_by != 0) {
        logger.line("live stopped by signal: " + signal_name(stopped_by));
    }
    if (output_failed) {
        if (output_errno == EPIPE) {
            logger.line("error: live PCM output closed by reader: " + options.pcm_output);
        } else {
            logger.line("error: failed to write live PCM output: " + options.pcm_output);
        }
        return kLiveOutputClosedStatus;
    }
    // Asked to stop, the run ends as a continuous one normally does; the recorder's status is
    // then that of being stopped, not a capture fault.
    if (stopped_by != 0) {
        logger.line("live clean exit");
        return 0;
    }
    if (counters.chunks_processed >= 1 && options.live_duration_seconds >= 1) {
        logger.line("live clean finite-duration exit");
        return 0;
    }
    logger.line("live clean exit");
    return capture_status != 0 ? kLiveCaptureFailedStatus : 0;
}

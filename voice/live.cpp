#include "live.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <optional>
#include <thread>

#include "gain.h"
#include "pipeline.h"

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

using Clock = std::chrono::steady_clock;

// The capture program and the read end of its standard output.
struct CaptureProcess {
    pid_t pid = -1;
    int fd = -1;
};

// Runs `command` through /bin/sh like popen, but keeps the pid: the shell `exec`s the command, so
// the pid is arecord's own and a recorder that stalls can be stopped.
bool start_capture(const std::string &command, CaptureProcess &capture) {
    const std::string exec_command = "exec " + command;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        return false;
    }
    if (pid == 0) {
        ::dup2(ends[1], STDOUT_FILENO);
        ::execl("/bin/sh", "sh", "-c", exec_command.c_str(), static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(ends[1]);
    capture.pid = pid;
    capture.fd = ends[0];
    return true;
}

// Fills `buffer` from the capture pipe until it is full or the stream ends, as a blocking read
// would; with a deadline it stops waiting once the deadline has passed and sets `stalled`.
// Returns the bytes received.
std::size_t read_capture(int fd, unsigned char *buffer, std::size_t size,
                         const std::optional<Clock::time_point> &deadline, bool &stalled) {
    std::size_t filled = 0;
    while (filled < size) {
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            pollfd capture_end{fd, POLLIN, 0};
            const int ready = left > 0 ? ::poll(&capture_end, 1, static_cast<int>(left)) : 0;
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready == 0) {
                stalled = true;
                break;
            }
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

// Closes the pipe and returns the capture program's wait status, as pclose does. A recorder that
// stalled would never notice the closed pipe: it gets SIGTERM, and SIGKILL a second later.
int finish_capture(const CaptureProcess &capture, bool stalled) {
    ::close(capture.fd);
    bool polling = stalled;
    if (stalled) {
        ::kill(capture.pid, SIGTERM);
    }
    const auto kill_at = Clock::now() + std::chrono::seconds(1);
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(capture.pid, &status, polling ? WNOHANG : 0);
        if (done == capture.pid) {
            return status;
        }
        if (done < 0 && errno != EINTR) {
            return -1;
        }
        if (done == 0 && Clock::now() > kill_at) {
            ::kill(capture.pid, SIGKILL);
            polling = false;
        } else if (done == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

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

LiveChunkResult process_live_chunk(WavData chunk, double input_gain_db, const std::vector<double> &mic_positions) {
    LiveChunkResult result;
    apply_input_gain_in_place(chunk, input_gain_db, result.gain_warnings);
    result.diagnostics = diagnose_channels(chunk, "live processed channel");
    result.direction = mic_positions.empty()
                           ? estimate_direction(chunk, "processed-live")
                           : estimate_direction_geometric(chunk, "processed-live", mic_positions);
    result.beam = beamform_delay_and_sum(chunk, result.direction, mic_positions);
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
    logger.flush();

    CaptureProcess capture;
    if (!start_capture(command, capture)) {
        logger.line("error: failed to start arecord for live mode");
        return 30;
    }
    // Opening a FIFO waits here for its reader while the capture pipe fills.
    std::FILE *output = std::fopen(options.pcm_output.c_str(), "wb");
    if (output == nullptr) {
        logger.line("error: failed to open live PCM output: " + options.pcm_output);
        finish_capture(capture, false);
        return 31;
    }
    const std::size_t chunk_frames = static_cast<std::size_t>(options.live_chunk_frames);
    std::vector<unsigned char> buffer(chunk_frames * kBytesPerFrame, 0);
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
    bool output_failed = false;
    int output_errno = 0;
    bool capture_stalled = false;

    while (true) {
        if (options.live_duration_seconds > 0) {
            const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start);
            if (elapsed.count() >= options.live_duration_seconds) {
                break;
            }
        }
        const std::size_t items =
            read_capture(capture.fd, buffer.data(), buffer.size(), deadline, capture_stalled) / kBytesPerSample;
        if (items == 0) {
            break;
        }
        // Trailing values that do not fill a frame are dropped.
        const std::size_t frames = items / kCaptureChannels;
        if (frames > 0) {
            const LiveChunkResult chunk =
                process_live_chunk(live_chunk_audio(buffer.data(), frames), options.input_gain_db, options.mic_positions);
            if (!write_chunk(output, encode_pcm16_le(chunk.beam.samples), output_errno)) {
                output_failed = true;
                break;
            }
            if (!counters.speech_seen && speech_level_reached(chunk.diagnostics.rms)) {
                counters.speech_seen = true;
            }
            if (chunk.direction.low_confidence) {
                ++counters.low_confidence_chunks;
            }
            ++counters.chunks_processed;
            if (counters.chunks_processed == 1 || counters.chunks_processed % 50 == 0) {
                log_status(logger, counters, chunk);
                logger.flush();  // a tailing reader sees each status line of a long run at once
            }
        }
        if (capture_stalled) {
            break;  // what arrived before the deadline is written; the recorder delivers nothing more
        }
    }

    // The output goes first so that a FIFO reader sees the end of the stream at once. After a
    // failed write, closing may try the rest of the buffer again.
    int close_error = 0;
    with_sigpipe_held([&] { return std::fclose(output) == 0; }, close_error);
    const int capture_status = finish_capture(capture, capture_stalled);

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

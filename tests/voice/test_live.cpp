// Live mode end to end: the real arecord streams a simulated 4-channel array in raw mode, the
// program writes the beam of each chunk as s16le into a file, a FIFO, or a PulseAudio pipe source.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "beamform.h"
#include "diagnostics.h"
#include "direction.h"
#include "direction_lines.h"
#include "gain.h"
#include "live.h"
#include "options.h"
#include "run_log.h"
#include "voice_programs.h"
#include "signals.h"
#include "simulated_array.h"
#include "user_service.h"
#include "wav.h"
#include "wav_bytes.h"

using namespace voicetest;

namespace {

constexpr std::size_t kInfileFrames = 90 * 16000;

std::string yes_no(bool value) { return value ? "true" : "false"; }

// Ends a running parecord (it finishes its WAV header on SIGINT) and marks it gone.
void finish_recording(pid_t &recorder) {
    if (recorder > 0) {
        kill(recorder, SIGINT);
        EXPECT_TRUE(exited_with(wait_for_exit(recorder, 10), 0));
        recorder = -1;
    }
}

std::vector<std::string> startup_lines(const std::string &pcm_output, int duration, int chunk_frames) {
    return {"Vocrin v1.4.0 capture/live-global-mic/input-gain/direction/beamforming/event tool",
            "scope: Lumivar only; no Imbra integration; no system audio configuration changes",
            "device: hw:1,0",
            "Vocrin live mode: raw Kinect mic array -> input gain -> beamforming -> mono s16le PCM",
            "live_pcm_output: " + pcm_output,
            "live_duration_seconds: " + std::to_string(duration),
            "live_chunk_frames: " + std::to_string(chunk_frames),
            "live capture command: arecord -D 'hw:1,0' -f S32_LE -r 16000 -c 4 -t raw"};
}

// The stream and the log lines (status lines, their gain warnings, the summary) that chunking
// `frames` frames of `codes` into chunks of `chunk_frames` must give, from the analysis functions.
struct ExpectedStream {
    std::vector<unsigned char> pcm;
    std::vector<std::string> lines;
    int chunks = 0;
    int warning_lines = 0;
};

ExpectedStream expected_stream(const std::vector<int32_t> &codes, std::size_t frames, std::size_t chunk_frames,
                               double gain_db) {
    ExpectedStream expected;
    int low_confidence = 0;
    bool speech = false;
    for (std::size_t first = 0; first < frames; first += chunk_frames) {
        const std::size_t count = std::min(chunk_frames, frames - first);
        std::vector<std::string> warnings;
        const WavData processed = apply_input_gain(frames_as_audio(codes, first, count), gain_db, warnings);
        const ChannelDiagnostics levels = diagnose_channels(processed, "live processed channel");
        const DirectionEstimate direction = estimate_direction(processed, "processed-live");
        const BeamformResult beam = beamform_delay_and_sum(processed, direction);
        double peak = 0.0;
        for (double u : beam.samples) {
            const int16_t code = to_pcm16(u);
            expected.pcm.push_back(static_cast<unsigned char>(static_cast<uint16_t>(code) & 0xFF));
            expected.pcm.push_back(static_cast<unsigned char>(static_cast<uint16_t>(code) >> 8));
            peak = std::max(peak, std::fabs(u));
        }
        speech = speech || std::any_of(levels.rms.begin(), levels.rms.end(), [](double r) { return r > 0.003; });
        low_confidence += direction.low_confidence ? 1 : 0;
        ++expected.chunks;
        if (expected.chunks == 1 || expected.chunks % 50 == 0) {
            expected.lines.push_back("live chunk=" + std::to_string(expected.chunks) +
                                     " processed_rms_ch0=" + format_fixed(levels.rms[0], 6) +
                                     " beam_peak=" + format_fixed(peak, 6) +
                                     " direction_angle=" + format_fixed(direction.angle_degrees, 6) +
                                     " direction_confidence=" + format_fixed(direction.confidence, 6) +
                                     " low_confidence=" + yes_no(direction.low_confidence) +
                                     " speech_seen=" + yes_no(speech));
            for (const std::string &warning : warnings) {
                expected.lines.push_back("warning: " + warning);
                ++expected.warning_lines;
            }
        }
    }
    expected.lines.push_back("live chunks_processed: " + std::to_string(expected.chunks));
    expected.lines.push_back("live low_confidence_chunks: " + std::to_string(low_confidence));
    expected.lines.push_back("live speech_detected: " + yes_no(speech));
    return expected;
}

// The s16le samples from byte `first` on that are not 0, as unsigned codes.
std::vector<uint16_t> nonzero_samples(const std::vector<unsigned char> &bytes, std::size_t first) {
    std::vector<uint16_t> samples;
    for (std::size_t i = first; i + 1 < bytes.size(); i += 2) {
        const uint16_t code = static_cast<uint16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (code != 0) samples.push_back(code);
    }
    return samples;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> head(const std::vector<std::string> &lines, std::size_t n) {
    return std::vector<std::string>(lines.begin(), lines.begin() + std::min(n, lines.size()));
}

// Status lines of chunk numbers up to `chunks` (and the warnings after them).
std::vector<std::string> status_lines_up_to(const std::vector<std::string> &lines, int chunks) {
    std::vector<std::string> kept;
    bool keeping = false;
    for (const std::string &line : lines) {
        if (line.rfind("live chunk=", 0) == 0) {
            keeping = std::stoi(line.substr(11)) <= chunks;
        } else if (line.rfind("warning: ", 0) != 0) {
            keeping = false;
        }
        if (keeping) kept.push_back(line);
    }
    return kept;
}

TEST(LiveConversion, DecodesS32LeFramesAndEncodesTheBeamAsSymmetricS16Le) {
    // Two frames: channel c of frame f holds the code given below, little-endian.
    const std::vector<int32_t> codes = {INT32_MIN, 1073741824, -1, 0, INT32_MAX, -1073741824, 256, 1};
    const std::vector<unsigned char> bytes = s32le_bytes(codes);
    const WavData audio = live_chunk_audio(bytes.data(), 2);
    ASSERT_EQ(audio.samples.size(), 4u);
    EXPECT_EQ(audio.sample_rate, 16000);
    EXPECT_EQ(audio.bits_per_sample, 32);
    EXPECT_EQ(audio.samples[0], (std::vector<double>{-1.0, 2147483647.0 / 2147483648.0}));
    EXPECT_EQ(audio.samples[1], (std::vector<double>{0.5, -0.5}));
    EXPECT_EQ(audio.samples[2], (std::vector<double>{-1.0 / 2147483648.0, 256.0 / 2147483648.0}));

    // -1.0 gives -32767 (never -32768), halves round away from zero, out-of-range samples clamp.
    EXPECT_EQ(encode_pcm16_le({-1.0, 0.5, -0.5, 1.5, -3.0, 0.0}),
              (std::vector<unsigned char>{0x01, 0x80, 0x00, 0x40, 0x00, 0xC0, 0xFF, 0x7F, 0x01, 0x80, 0x00, 0x00}));
}

// A chunk's time as a reader that keeps the last chunk's end would get it, read at `read_at`.
double next_chunk_time(std::optional<double> &end, double read_at, double duration) {
    const double time = chunk_first_sample_time(read_at, duration, end);
    end = time + duration;
    return time;
}

// Chunks of 64 ms heard from t = 100 s on, chunk k ending at 100.064 (k + 1): a steady chain whatever the reader's
// delays, no later than each read allows, and started again from the clock once it lags by over a quarter second.
TEST(LiveChunkTimes, FollowOneAnotherThroughBurstsAndStartAgainAfterLostSamples) {
    const double d = 0.064;
    std::optional<double> end;
    // The first chunk: its read less its length, though it was read late.
    EXPECT_NEAR(next_chunk_time(end, 100.064 + 0.030, d), 100.030, 1e-9);
    // The second, in the same burst: no later than its own read allows, so the chain moves back to it.
    EXPECT_NEAR(next_chunk_time(end, 100.128 + 0.001, d), 100.065, 1e-9);
    // Read a little late by turns, then two in a burst 0.2 s late: each a chunk after the one before.
    for (const double late : {0.004, 0.002, 0.010, 0.200, 0.137}) {
        const double previous_end = *end;
        EXPECT_NEAR(next_chunk_time(end, previous_end + d + late, d), previous_end, 1e-9) << late;
    }
    EXPECT_NEAR(*end, 100.065 + 6 * d, 1e-9);
    // A chain lagging the clock by 0.24 s holds; by 0.26 s (samples lost, a device that stopped) it starts again.
    const double held = *end;
    EXPECT_NEAR(next_chunk_time(end, held + d + 0.24, d), held, 1e-9);
    const double lagging = *end;
    EXPECT_NEAR(next_chunk_time(end, lagging + d + 0.26, d), lagging + 0.26, 1e-9);
}

// A temporary HOME with the simulated array, streaming the bundled recording looped to 90 s.
struct LiveFixture : ::testing::Test {
    TempDir dir;
    std::vector<int32_t> codes;
    std::map<std::string, std::string> env;

    void SetUp() override {
        write_simulated_array_config(dir.path);
        codes = looped_codes(read_wav(demo_recording()), kInfileFrames);
        write_file(dir.file("array.raw"), s32le_bytes(codes));
        env = {{"HOME", dir.path}, {"MIC4_INFILE", dir.file("array.raw")}};
    }

    void TearDown() override { stop_running_children(); }

    pid_t start(const std::vector<std::string> &args) {
        std::vector<std::string> argv = {VOCRIN_BIN, "--live", "--log", dir.file("live.log")};
        argv.insert(argv.end(), args.begin(), args.end());
        return spawn(argv, env, dir.file("stdout.txt"), dir.file("stderr.txt"));
    }

    std::vector<std::string> log() const { return split_lines(read_file(dir.file("live.log"))); }

    std::string err() const { return read_file(dir.file("stderr.txt")); }

    // From here on arecord captures `frames` frames of the recording, then the device stalls.
    std::unique_ptr<StalledArrayFeed> stall_after(std::size_t frames) {
        auto feed = std::make_unique<StalledArrayFeed>(
            dir.file("array.fifo"), s32le_bytes(std::vector<int32_t>(codes.begin(), codes.begin() + 4 * frames)));
        env["MIC4_INFILE"] = dir.file("array.fifo");
        return feed;
    }

    // The program's arecord, once it runs (the shell execs it, so it is a direct child).
    static pid_t recorder_of(pid_t pid) {
        pid_t arecord = -1;
        wait_until([&] { return (arecord = child_named(pid, "arecord")) > 0; }, 30);
        return arecord;
    }

    // Whether the program, its arecord running, waits for its FIFO's reader: a poll on the wake-up pipe alone
    // (reading the capture polls two).
    static bool waits_for_reader(pid_t pid) {
        return wait_until(
            [&] {
                std::istringstream call(read_file("/proc/" + std::to_string(pid) + "/syscall"));
                long number = -1;
                std::string fds, count;
                call >> number >> fds >> count;
                return child_named(pid, "arecord") > 0 && number == SYS_poll && count == "0x1";
            },
            30);
    }

    // Past the end of its infile the simulated array repeats old data: only chunks that lie
    // wholly inside the infile have a known content.
    static int known_chunks(int chunks, std::size_t chunk_frames) {
        return std::min<int>(chunks, static_cast<int>(kInfileFrames / chunk_frames));
    }

    // A finite-duration run into `pcm`: the stream and the log agree with the analysis of each chunk.
    void expect_finite_stream(const std::vector<unsigned char> &pcm, const std::string &output, double gain_db) {
        ASSERT_GT(pcm.size(), 0u);
        ASSERT_EQ(pcm.size() % 2048, 0u) << "a finite run reads whole chunks only";
        const int chunks = static_cast<int>(pcm.size() / 2048);
        const int known = known_chunks(chunks, 1024);
        const ExpectedStream expected = expected_stream(codes, static_cast<std::size_t>(known) * 1024, 1024, gain_db);
        EXPECT_TRUE(std::equal(expected.pcm.begin(), expected.pcm.end(), pcm.begin()));
        const std::vector<std::string> lines = log();
        const std::vector<std::string> startup = startup_lines(output, 1, 1024);
        EXPECT_EQ(head(lines, startup.size()), startup);
        const std::vector<std::string> body(lines.begin() + std::min(startup.size(), lines.size()), lines.end());
        if (known == chunks) {
            EXPECT_EQ(body, concat(expected.lines, {"live clean finite-duration exit"}));
        } else {
            EXPECT_EQ(status_lines_up_to(body, known), status_lines_up_to(expected.lines, known));
            ASSERT_GE(body.size(), 4u);
            EXPECT_EQ(body[body.size() - 4], "live chunks_processed: " + std::to_string(chunks));
            EXPECT_EQ(body.back(), "live clean finite-duration exit");
        }
        EXPECT_EQ(read_file(dir.file("stdout.txt")), read_file(dir.file("live.log")));
    }
};

TEST_F(LiveFixture, StreamsEachChunksBeamIntoAFileForAFiniteDuration) {
    const std::string output = dir.file("mic.pcm");
    // +20 dB makes the speech clip: only the gain warnings of reported chunks are logged.
    const pid_t pid = start({"--live-duration", "1", "--input-gain-db", "20", "--pcm-output", output});
    ASSERT_TRUE(exited_with(wait_for_exit(pid, 60), 0)) << read_file(dir.file("stderr.txt"));
    expect_finite_stream(read_bytes(output), output, 20.0);
    const std::vector<std::string> lines = log();
    const auto warnings = std::count_if(lines.begin(), lines.end(),
                                        [](const std::string &l) { return l.rfind("warning: input gain 20.0 dB", 0) == 0; });
    EXPECT_GT(warnings, 0) << "the run should have covered a clipping chunk that was reported";
}

// Held at 0 degrees, every chunk's beam is the plain mean of its channels, as a whole recording's
// is: the live stream must be the batch beam of the same audio, the logged latency late, with each
// chunk's part of a 10 ms frame carried into the next. The status lines give the levels after it.
TEST_F(LiveFixture, DenoiseAndAgcCarryFramesAcrossChunksAndStreamTheBatchBeamLate) {
    const std::string output = dir.file("mic.pcm");
    const std::vector<std::string> processing = {"--mic-positions", "-0.113,0.036,0.076,0.113", "--beam-angle", "0",
                                                 "--denoise", "high", "--agc"};
    std::vector<std::string> args = {"--live-duration", "1", "--pcm-output", output};
    args.insert(args.end(), processing.begin(), processing.end());
    ASSERT_TRUE(exited_with(wait_for_exit(start(args), 60), 0)) << err();
    const std::vector<std::string> lines = log();
    ASSERT_GE(lines.size(), 7u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.begin() + 7),
              (std::vector<std::string>{"beam_fixed_angle_degrees: 0.000000", "denoise: high (WebRTC noise suppression)",
                                        "agc: adaptive digital (WebRTC gain control)",
                                        "live processing_latency_samples: 224"}));

    const std::vector<unsigned char> bytes = read_bytes(output);
    const std::string pcm(bytes.begin(), bytes.end());
    ASSERT_GT(pcm.size(), 0u);
    ASSERT_EQ(pcm.size() % 2048, 0u) << "every chunk gives as many samples as it brought";
    // The simulated array is not paced: a fast build streams past the input, where the array repeats old data.
    // The stream is compared as far as it is known; the input's length, a whole number of 10 ms frames, also
    // ends a frame of the processing.
    const std::size_t frames = std::min(pcm.size() / 2, kInfileFrames);
    static_assert(kInfileFrames % 160 == 0);
    const std::vector<unsigned char> raw = s32le_bytes(std::vector<int32_t>(codes.begin(), codes.begin() + 4 * frames));
    write_file(dir.file("same.wav"), riff(fmt_chunk(1, 4, 16000, 32) + chunk("data", std::string(raw.begin(), raw.end()))));
    std::vector<std::string> batch = {VOCRIN_BIN, "--input-wav", dir.file("same.wav"), "--beamformed",
                                      dir.file("beam.wav"), "--event", dir.file("event.json"), "--log", ""};
    batch.insert(batch.end(), processing.begin(), processing.end());
    ASSERT_EQ(run(batch, dir.path).status, 0);
    const std::string wav = read_file(dir.file("beam.wav"));
    ASSERT_EQ(wav.size(), 44 + 2 * frames);
    std::size_t differing = 0;
    for (std::size_t t = 224; t < frames; ++t) differing += get16s(pcm, 2 * t) != get16s(wav, 44 + 2 * (t - 224));
    EXPECT_EQ(differing, 0u);
    int peak = 0;
    for (std::size_t t = 0; t < 1024; ++t) peak = std::max(peak, std::abs(static_cast<int>(get16s(pcm, 2 * t))));
    const auto first = std::find_if(lines.begin(), lines.end(), [](const std::string &l) { return l.rfind("live chunk=1 ", 0) == 0; });
    ASSERT_NE(first, lines.end());
    EXPECT_NE(first->find(" beam_peak=" + format_fixed(peak / 32767.0, 6) + " "), std::string::npos) << *first;
}

TEST_F(LiveFixture, EndsWhenTheCaptureStreamEndsAndKeepsTheShortLastChunk) {
    const std::string output = dir.file("mic.pcm");
    const int chunk = 300;  // unrelated to arecord's period size, so the last read is usually short
    const pid_t pid = start({"--live-chunk-frames", std::to_string(chunk), "--pcm-output", output});
    ASSERT_TRUE(wait_until([&] { return file_size(output) >= 20 * chunk * 2; }, 30));
    // popen's shell may run arecord as its own child rather than exec it.
    pid_t arecord = child_named(pid, "arecord");
    if (arecord < 0) arecord = child_named(child_named(pid, "sh"), "arecord");
    ASSERT_GT(arecord, 0);
    kill(arecord, SIGTERM);  // as if the device went away: arecord exits with status 1
    ASSERT_TRUE(exited_with(wait_for_exit(pid, 60), 32)) << read_file(dir.file("stderr.txt"));

    const std::vector<unsigned char> pcm = read_bytes(output);
    const std::size_t frames = pcm.size() / 2;
    ASSERT_LE(frames, kInfileFrames) << "arecord was stopped too late to know what it delivered";
    const ExpectedStream expected = expected_stream(codes, frames, chunk, 0.0);
    EXPECT_EQ(pcm, expected.pcm);
    EXPECT_EQ(log(), concat(concat(startup_lines(output, 0, chunk), expected.lines), {"live clean exit"}));
}

TEST_F(LiveFixture, ReportsAnOutputThatFailsAndACaptureThatNeverDelivers) {
    {  // the output directory does not exist: 31, and arecord is closed again; batch options are ignored
        const std::string output = dir.file("missing/mic.pcm");
        const pid_t pid = start({"--pcm-output", output, "--input-wav", demo_recording(), "--beamformed",
                                 dir.file("beam.wav"), "--event", dir.file("event.json")});
        EXPECT_TRUE(exited_with(wait_for_exit(pid, 60), 31));
        EXPECT_EQ(log(), concat(startup_lines(output, 0, 1024), {"error: failed to open live PCM output: " + output}));
        EXPECT_FALSE(file_exists(dir.file("beam.wav")));
        EXPECT_FALSE(file_exists(dir.file("event.json")));
    }
    {  // an output that refuses the data (a full disk) ends the stream instead of dropping it silently
        const pid_t pid = start({"--pcm-output", "/dev/full"});
        EXPECT_TRUE(exited_with(wait_for_exit(pid, 60), 33));
        EXPECT_EQ(log(), concat(startup_lines("/dev/full", 0, 1024),
                                {"live chunks_processed: 0", "live low_confidence_chunks: 0",
                                 "live speech_detected: false", "error: failed to write live PCM output: /dev/full"}));
    }
    {  // no such device: arecord fails, no chunk, 32 even with a finite duration
        env.erase("HOME");
        env["HOME"] = dir.file("empty-home");
        mkdir(env["HOME"].c_str(), 0755);
        const std::string output = dir.file("mic.pcm");
        const pid_t pid = start({"--live-duration", "1", "--pcm-output", output});
        EXPECT_TRUE(exited_with(wait_for_exit(pid, 60), 32));
        EXPECT_EQ(log(), concat(startup_lines(output, 1, 1024),
                                {"live chunks_processed: 0", "live low_confidence_chunks: 0",
                                 "live speech_detected: false", "live clean exit"}));
        EXPECT_EQ(file_size(output), 0);
        EXPECT_NE(read_file(dir.file("stderr.txt")).find("audio open error"), std::string::npos);
    }
}

// A recorder that delivers some audio and then nothing, without closing its output, as a device
// that stops delivering: a finite run still ends, writes what arrived and stops the recorder.
TEST_F(LiveFixture, AFiniteRunEndsOnTimeWhenTheDeviceStopsDelivering) {
    const std::string bin = dir.file("bin");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    write_file(bin + "/arecord",
               "#!/bin/sh\necho $$ > \"$STALL_PID\"\nhead -c \"$STALL_BYTES\" \"$MIC4_INFILE\"\nexec sleep 120\n");
    ASSERT_EQ(chmod((bin + "/arecord").c_str(), 0755), 0);
    env["PATH"] = bin + ":" + std::getenv("PATH");
    env["STALL_PID"] = dir.file("arecord.pid");
    const std::string output = dir.file("mic.pcm");
    for (const std::size_t frames : {std::size_t{3 * 1024 + 5}, std::size_t{0}}) {
        env["STALL_BYTES"] = std::to_string(frames * 16);
        const pid_t pid = start({"--live-duration", "1", "--pcm-output", output});
        const int status = wait_for_exit(pid, 30);
        ASSERT_NE(status, -1) << "the run did not end while the recorder stalled";
        const ExpectedStream expected = expected_stream(codes, frames, 1024, 0.0);
        EXPECT_EQ(read_bytes(output), expected.pcm);
        if (frames > 0) {
            EXPECT_TRUE(exited_with(status, 0));
            EXPECT_EQ(log(), concat(concat(startup_lines(output, 1, 1024), expected.lines),
                                    {"live clean finite-duration exit"}));
        } else {
            EXPECT_TRUE(exited_with(status, 32));
            EXPECT_EQ(log(), concat(concat(startup_lines(output, 1, 1024), expected.lines), {"live clean exit"}));
        }
        const pid_t recorder = static_cast<pid_t>(std::stol(read_file(dir.file("arecord.pid"))));
        EXPECT_NE(kill(recorder, 0), 0) << "the stalled recorder was left running";
    }
}

TEST_F(LiveFixture, FeedsAFifoReaderEveryChunk) {
    const std::string fifo = dir.file("mic.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t reader = spawn({"cat", fifo}, {}, dir.file("heard.pcm"), dir.file("cat.err"));
    const pid_t pid = start({"--live-duration", "1", "--pcm-output", fifo});
    ASSERT_TRUE(exited_with(wait_for_exit(pid, 60), 0)) << read_file(dir.file("stderr.txt"));
    ASSERT_TRUE(exited_with(wait_for_exit(reader, 30), 0));
    expect_finite_stream(read_bytes(dir.file("heard.pcm")), fifo, 0.0);
}

TEST_F(LiveFixture, EndsWithStatus33WhenTheFifoReaderLeaves) {
    const std::string fifo = dir.file("mic.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::size_t taken = 100000;
    const pid_t reader =
        spawn({"head", "-c", std::to_string(taken), fifo}, {}, dir.file("heard.pcm"), dir.file("head.err"));
    const pid_t pid = start({"--pcm-output", fifo});  // continuous: only the reader can end it
    const int status = wait_for_exit(pid, 60);
    ASSERT_NE(status, -1) << "the program kept running after its reader left";
    ASSERT_FALSE(WIFSIGNALED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_TRUE(exited_with(status, 33));
    ASSERT_TRUE(exited_with(wait_for_exit(reader, 30), 0));

    const std::vector<unsigned char> heard = read_bytes(dir.file("heard.pcm"));
    ASSERT_EQ(heard.size(), taken);
    const std::size_t chunks_heard = (taken + 2047) / 2048;
    const ExpectedStream expected = expected_stream(codes, chunks_heard * 1024, 1024, 0.0);
    EXPECT_TRUE(std::equal(heard.begin(), heard.end(), expected.pcm.begin()));

    const std::vector<std::string> lines = log();
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.back(), "error: live PCM output closed by reader: " + fifo);
    const int processed = std::stoi(lines[lines.size() - 4].substr(std::string("live chunks_processed: ").size()));
    EXPECT_GE(processed, static_cast<int>(taken / 2048));
    EXPECT_EQ(lines[lines.size() - 3].rfind("live low_confidence_chunks: ", 0), 0u);
    EXPECT_EQ(lines[lines.size() - 2], "live speech_detected: true");
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "live clean exit"), lines.end());
}

// The stream goes into a pipe or nowhere: a FIFO removed while the program waits for its reader (a sound server
// that stopped) fails the open, and the service's command (--require-fifo) takes nothing but an existing FIFO;
// neither leaves a regular file where the pipe belongs. The service's load step clears a pipe or file left at the
// pipe's path, and its stop step removes the pipe a server that is gone left behind (pactl here is a stand-in
// that makes the pipe as the server's pipe source does, and fails where a file is in the way).
TEST_F(LiveFixture, TheStreamGoesIntoAPipeOrNowhereAndTheServiceLeavesNoFileWhereItsPipeBelongs) {
    const std::string fifo = dir.file("q.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid = start({"--pcm-output", fifo});
    ASSERT_TRUE(waits_for_reader(pid));
    ASSERT_EQ(unlink(fifo.c_str()), 0);
    EXPECT_TRUE(exited_with(wait_for_exit(pid, 30), 31));
    EXPECT_FALSE(file_exists(fifo)) << "a file was made where the pipe was";
    EXPECT_EQ(log(), concat(startup_lines(fifo, 0, 1024), {"error: failed to open live PCM output: " + fifo}));

    const std::string runtime = dir.file("runtime");
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    const ServiceCommands service = read_service_commands(std::string(LUMIVAR_SOURCE_DIR) + "/package/vocrin-mic.service.in",
                                                          {VOCRIN_BIN, std::string(LUMIVAR_SOURCE_DIR) + "/package",
                                                           runtime, dir.file("config")});
    const std::string pipe = runtime + "/vocrin-mic.fifo";
    const std::string stale = "what an older run left\n";
    for (const bool file_in_the_way : {false, true}) {
        if (file_in_the_way) write_file(pipe, stale);
        const int status = wait_for_exit(spawn(service.start, env, dir.file("stdout.txt"), dir.file("stderr.txt")), 30);
        EXPECT_TRUE(exited_with(status, 31)) << "wait status " << status << "\n" << err();
        const std::vector<std::string> out = split_lines(read_file(dir.file("stdout.txt")));
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(), "error: live PCM output is not a FIFO: " + pipe);
        EXPECT_EQ(file_exists(pipe), file_in_the_way);
        if (file_in_the_way) {
            EXPECT_EQ(read_file(pipe), stale) << "the file in the way was written";
        }
    }

    const std::string bin = dir.file("bin");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    write_file(bin + "/pactl", "#!/bin/sh\n[ -z \"$PACTL_GONE\" ] || exit 1\n"
                               "case \"$1\" in load-module) for a; do case \"$a\" in file=*) exec mkfifo -- \"${a#file=}\";; "
                               "esac; done;; esac\n");
    ASSERT_EQ(chmod((bin + "/pactl").c_str(), 0755), 0);
    std::map<std::string, std::string> helper_env = {{"PATH", bin + ":" + std::getenv("PATH")}};
    auto helper = [&](const std::vector<std::string> &command) {
        return wait_for_exit(spawn(command, helper_env, dir.file("helper.out"), dir.file("helper.err")), 30);
    };
    struct stat info {};
    EXPECT_TRUE(exited_with(helper(service.start_pre), 0)) << read_file(dir.file("helper.err"));
    EXPECT_TRUE(stat(pipe.c_str(), &info) == 0 && S_ISFIFO(info.st_mode)) << "the file in the way was kept";
    EXPECT_TRUE(exited_with(helper(service.start_pre), 0)) << "a pipe left by a server that was killed is in the way";
    helper_env["PACTL_GONE"] = "1";
    EXPECT_FALSE(exited_with(helper(service.stop_post), 0)) << "the stop step found a server";
    EXPECT_FALSE(file_exists(pipe)) << "the stop step left the pipe";
}

using SteadyClock = std::chrono::steady_clock;

double seconds_between(SteadyClock::time_point from, SteadyClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

std::size_t count_of(const std::string &text, const std::string &part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// Ctrl-C, or a service manager's SIGTERM, ends a continuous run as its own end would: the chunk in
// hand is written, the output closed (a FIFO reader sees the end), arecord stopped by the closed
// pipe within its grace and reaped, then the summary, the signal's name, "live clean exit" and
// status 0, also while a FIFO output still waits for its reader. A second Ctrl-C while stopping
// (here: a stalled device) ends the program at once.
TEST_F(LiveFixture, SigintOrSigtermEndsAContinuousRunInOrder) {
    for (const int signal : {SIGINT, SIGTERM}) {
        const std::string name = signal == SIGINT ? "SIGINT" : "SIGTERM";
        const bool to_fifo = signal == SIGTERM;
        const std::string output = dir.file(name + (to_fifo ? ".fifo" : ".pcm"));
        const std::string received = to_fifo ? dir.file("heard.pcm") : output;
        pid_t reader = -1;
        if (to_fifo) {
            ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
            reader = spawn({"cat", output}, {}, received, dir.file("cat.err"));
        }
        const pid_t pid = start({"--pcm-output", output});
        ASSERT_TRUE(wait_until([&] { return file_size(received) >= 20 * 2048; }, 30)) << name;
        const pid_t arecord = recorder_of(pid);
        ASSERT_GT(arecord, 0);
        kill(pid, signal);
        const int status = wait_for_exit(pid, 30);
        ASSERT_TRUE(exited_with(status, 0)) << name << " ended the run with wait status " << status;
        if (to_fifo) {
            EXPECT_TRUE(exited_with(wait_for_exit(reader, 10), 0)) << "the FIFO reader never saw the end";
        }
        EXPECT_NE(kill(arecord, 0), 0) << "arecord was left running or unreaped";
        EXPECT_EQ(err().find("Aborted by signal"), std::string::npos) << "arecord had no time to end by itself";

        const std::vector<unsigned char> pcm = read_bytes(received);
        const std::size_t frames = pcm.size() / 2;
        ASSERT_LE(frames, kInfileFrames) << "stopped too late to know what arecord delivered";
        const ExpectedStream expected = expected_stream(codes, frames, 1024, 0.0);
        EXPECT_EQ(pcm, expected.pcm);
        EXPECT_EQ(log(), concat(concat(startup_lines(output, 0, 1024), expected.lines),
                                {"live stopped by signal: " + name, "live clean exit"}));
        EXPECT_EQ(read_file(dir.file("stdout.txt")), read_file(dir.file("live.log")));
    }

    {  // asked to stop while the FIFO waits for a reader: no chunk, the same closing lines
        const std::string fifo = dir.file("unread.fifo");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const pid_t pid = start({"--pcm-output", fifo});
        ASSERT_TRUE(waits_for_reader(pid));
        kill(pid, SIGTERM);
        ASSERT_TRUE(exited_with(wait_for_exit(pid, 30), 0));
        EXPECT_EQ(log(), concat(startup_lines(fifo, 0, 1024),
                                {"live chunks_processed: 0", "live low_confidence_chunks: 0", "live speech_detected: false",
                                 "live stopped by signal: SIGTERM", "live clean exit"}));
        // Asked as soon as the handlers are in place, before the open has begun (arecord is
        // being started): the wait for a reader must not begin, or must end, all the same.
        for (int attempt = 0; attempt < 3; ++attempt) {
            const pid_t early = start({"--pcm-output", fifo});
            const auto bound = SteadyClock::now() + std::chrono::seconds(30);
            while (!catches(early, SIGTERM) && SteadyClock::now() < bound) {
            }
            kill(early, SIGTERM);
            ASSERT_TRUE(exited_with(wait_for_exit(early, 10), 0)) << "attempt " << attempt;
            EXPECT_EQ(log().back(), "live clean exit");
        }
    }

    const auto feed = stall_after(2 * 1024);
    const pid_t pid = start({"--pcm-output", dir.file("stalled.pcm")});
    ASSERT_TRUE(wait_until([&] { return file_size(dir.file("stalled.pcm")) >= 2048; }, 30));
    const pid_t arecord = recorder_of(pid);
    kill(pid, SIGINT);
    // Stopping: the stalled arecord has had its SIGTERM and waits for the SIGKILL a second later.
    ASSERT_TRUE(wait_until([&] { return err().find("Aborted by signal Terminated") != std::string::npos; }, 30));
    kill(pid, SIGINT);
    const int status = wait_for_exit(pid, 30);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << "wait status " << status;
    EXPECT_FALSE(process_running(arecord)) << "the second Ctrl-C left arecord running";
    const std::vector<std::string> lines = log();
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "live clean exit"), lines.end());
}

// A reader that holds the FIFO open and never reads (a paused or hung sound server): once the FIFO
// is full the chunk in hand finds no room, and a stop request still ends the run in order. What the
// FIFO took is the stream as the analysis gives it, the chunk it had no room for is reported.
TEST_F(LiveFixture, AStopEndsARunWhoseFifoReaderStoppedReading) {
    const std::string fifo = dir.file("paused.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // read only at the end
    ASSERT_GE(reader, 0);
    const int capacity = fcntl(reader, F_GETPIPE_SZ);
    const pid_t pid = start({"--pcm-output", fifo});
    int queued = 0;
    ASSERT_TRUE(wait_until([&] { return ioctl(reader, FIONREAD, &queued) == 0 && queued >= capacity; }, 30));
    const pid_t arecord = recorder_of(pid);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the next chunk waits for room
    kill(pid, SIGTERM);
    const int status = wait_for_exit(pid, 10);
    std::vector<unsigned char> heard(static_cast<std::size_t>(capacity) + 1);
    const ssize_t got = read(reader, heard.data(), heard.size());
    close(reader);
    ASSERT_TRUE(exited_with(status, 0)) << "wait status " << status << " (-1: still blocked after 10 s)";
    EXPECT_NE(kill(arecord, 0), 0) << "arecord was left running or unreaped";
    ASSERT_EQ(got, capacity);
    heard.resize(static_cast<std::size_t>(got));
    const ExpectedStream expected = expected_stream(codes, heard.size() / 2, 1024, 0.0);
    EXPECT_EQ(heard, expected.pcm);
    EXPECT_EQ(log(), concat(concat(startup_lines(fifo, 0, 1024), expected.lines),
                            {"live chunks_not_delivered: 1", "live stopped by signal: SIGTERM", "live clean exit"}));
}

// A job started with & from a script has SIGINT ignored: it keeps streaming through a SIGINT, and
// SIGTERM still ends it in order.
TEST_F(LiveFixture, ARunStartedWithSigintIgnoredKeepsRunningOnSigintAndStopsOnSigterm) {
    const std::string output = dir.file("mic.pcm");
    const pid_t pid = spawn({"sh", "-c", "trap '' INT; exec \"$0\" \"$@\"", VOCRIN_BIN, "--live", "--log",
                             dir.file("live.log"), "--pcm-output", output},
                            env, dir.file("stdout.txt"), dir.file("stderr.txt"));
    ASSERT_TRUE(wait_until([&] { return file_size(output) >= 10 * 2048 && catches(pid, SIGTERM); }, 30));
    EXPECT_FALSE(catches(pid, SIGINT));
    kill(pid, SIGINT);
    const long after_sigint = file_size(output);
    EXPECT_TRUE(wait_until([&] { return file_size(output) >= after_sigint + 10 * 2048; }, 30))
        << "the stream stopped on the ignored SIGINT";
    ASSERT_TRUE(process_running(pid));
    kill(pid, SIGTERM);
    ASSERT_TRUE(exited_with(wait_for_exit(pid, 30), 0));
    const std::vector<std::string> lines = log();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "live stopped by signal: SIGTERM");
    EXPECT_EQ(lines.back(), "live clean exit");
}

// A stalled device leaves the real arecord blocked on it, deaf to the closed pipe and to SIGTERM.
// Every end of a run, the duration's, an output failure's and a stop request's, gives it the grace
// (two chunks' time, at least 100 ms), then SIGTERM, then SIGKILL a second later, and reaps it.
TEST_F(LiveFixture, AStalledRecorderGetsItsGraceThenSigtermThenSigkillOnEveryEnd) {
    struct Case {
        std::string end;
        std::vector<std::string> args;
        int stop_signal;
        int status;
        std::string last_line;
        double term_not_before;  // seconds after the start, or after the stop request
        std::size_t frames_fed;  // all of them reach the program before it ends or is asked to stop
    };
    const std::string output = dir.file("mic.pcm");
    // 8000-frame chunks last 0.5 s: a grace of 1 s, and a finite run that waits for data until 1.5 s.
    const std::vector<Case> cases = {
        {"duration", {"--live-duration", "1", "--live-chunk-frames", "8000", "--pcm-output", output}, 0, 0,
         "live clean finite-duration exit", 1.5 + 1.0, 2 * 8000},
        {"output failure", {"--live-chunk-frames", "8000", "--pcm-output", "/dev/full"}, 0, 33,
         "error: failed to write live PCM output: /dev/full", 1.0, 8000},
        {"stop request", {"--pcm-output", output}, SIGTERM, 0, "live clean exit", 0.1, 4 * 1024},
    };
    for (const Case &c : cases) {
        std::remove(output.c_str());
        const auto feed = stall_after(c.frames_fed);
        const auto started = SteadyClock::now();
        const pid_t pid = start(c.args);
        const pid_t arecord = recorder_of(pid);
        ASSERT_GT(arecord, 0) << c.end;
        auto asked = started;
        if (c.stop_signal != 0) {
            ASSERT_TRUE(wait_until([&] { return file_size(output) >= static_cast<long>(2 * c.frames_fed); }, 30));
            asked = SteadyClock::now();
            kill(pid, c.stop_signal);
        }
        int status = -1;
        auto terminated = SteadyClock::time_point::max();
        wait_until(
            [&] {
                if (terminated == SteadyClock::time_point::max() &&
                    err().find("Aborted by signal Terminated") != std::string::npos) {
                    terminated = SteadyClock::now();
                }
                return waitpid(pid, &status, WNOHANG) == pid;
            },
            30);
        const auto ended = SteadyClock::now();
        forget_child(pid);
        ASSERT_TRUE(exited_with(status, c.status)) << c.end << ": wait status " << status;
        EXPECT_EQ(log().back(), c.last_line) << c.end;
        ASSERT_NE(terminated, SteadyClock::time_point::max()) << c.end << ": the stalled arecord got no SIGTERM";
        EXPECT_EQ(count_of(err(), "Aborted by signal"), 1u) << c.end;
        EXPECT_GE(seconds_between(asked, terminated), c.term_not_before) << c.end << ": SIGTERM before the grace";
        EXPECT_GE(seconds_between(terminated, ended), 0.5) << c.end << ": SIGKILL without a second after SIGTERM";
        EXPECT_NE(kill(arecord, 0), 0) << c.end << ": arecord was left running or unreaped";
        std::remove(dir.file("array.fifo").c_str());
    }
}

// A private PulseAudio server whose pipe source reads the FIFO, and parecord recording from it,
// exactly as a user's application would use the virtual microphone.
TEST_F(LiveFixture, PulseAudioPipeSourceDeliversTheStreamToARecorder) {
    const std::string pa = dir.file("pa");
    const std::string home = pa + "/home";
    const std::string xdg = pa + "/xdg";
    ASSERT_EQ(shell("mkdir -p " + quote(home) + " " + quote(xdg) + " && chmod 700 " + quote(xdg)), 0);
    write_simulated_array_config(home);
    env["HOME"] = home;
    env["XDG_RUNTIME_DIR"] = xdg;
    env["PULSE_SERVER"] = "unix:" + pa + "/pa.sock";
    const std::string fifo = pa + "/vmic.fifo";
    const pid_t server = spawn(
        {"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
         "--disable-shm=yes", "--log-target=file:" + pa + "/pa.log",
         "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + pa + "/pa.sock",
         "-L", "module-null-sink sink_name=dummy",
         "-L", "module-pipe-source source_name=vmic file=" + fifo + " format=s16le rate=16000 channels=1"},
        env, pa + "/pa.out", pa + "/pa.err");
    auto succeeds = [&](const std::vector<std::string> &args, const std::string &out) {
        return exited_with(wait_for_exit(spawn(args, env, out, pa + "/probe.err"), 10), 0);
    };
    pid_t recorder = -1;
    auto stop = [&] {
        finish_recording(recorder);
        kill(server, SIGTERM);
        wait_for_exit(server, 10);
    };
    if (!wait_until([&] { return succeeds({"pactl", "info"}, pa + "/info.txt"); }, 15)) {
        stop();
        FAIL() << "the private PulseAudio server did not start: " << read_file(pa + "/pa.log");
    }
    const std::string recorded = pa + "/recorded.wav";
    recorder = spawn({"parecord", "-d", "vmic", "--rate=16000", "--channels=1", "--format=s16le",
                      "--file-format=wav", recorded},
                     env, pa + "/parecord.out", pa + "/parecord.err");
    const bool connected = wait_until(
        [&] {
            return succeeds({"pactl", "list", "short", "source-outputs"}, pa + "/outputs.txt") &&
                   !read_file(pa + "/outputs.txt").empty();
        },
        15);

    int program_status = -1;
    if (connected) {
        program_status = wait_for_exit(start({"--live-duration", "1", "--pcm-output", fifo}), 60);
    }
    std::size_t streamed = 0;
    const std::vector<std::string> lines = log();
    for (const std::string &line : lines) {
        if (line.rfind("live chunks_processed: ", 0) == 0) streamed = std::stoul(line.substr(23)) * 2048;
    }
    wait_until([&] { return file_size(recorded) >= static_cast<long>(44 + streamed); }, 30);
    stop();
    ASSERT_TRUE(connected) << "parecord never connected to the pipe source";
    ASSERT_TRUE(exited_with(program_status, 0)) << read_file(dir.file("stderr.txt"));

    const WavData heard = read_wav(recorded);
    ASSERT_EQ(heard.channels, 1);
    EXPECT_EQ(heard.sample_rate, 16000);
    ASSERT_EQ(heard.samples[0].size() * 2, streamed);
    std::vector<unsigned char> pcm;
    for (double x : heard.samples[0]) {
        const uint16_t code = static_cast<uint16_t>(static_cast<int16_t>(std::lround(x * 32768.0)));
        pcm.push_back(static_cast<unsigned char>(code & 0xFF));
        pcm.push_back(static_cast<unsigned char>(code >> 8));
    }
    expect_finite_stream(pcm, fifo, 0.0);
}

// The user service's own start and stop commands (package/vocrin-mic.service.in, with the user's environment file)
// against a private PipeWire: pipewire, its PulseAudio server and WirePlumber under a session bus of their own.
// The source loads, vocrin streams the beam into it until SIGTERM, parecord records "vocrin_mic" and hears the
// beam's samples, and the stop command unloads the source.
TEST_F(LiveFixture, PipeWireUserServiceDeliversTheBeamToARecorderAndUnloadsOnStop) {
    for (const char *tool : {"pipewire", "pipewire-pulse", "wireplumber", "dbus-run-session", "pactl", "parecord"}) {
        if (shell(std::string("command -v ") + tool + " >/dev/null") != 0) {
            GTEST_SKIP() << tool << " is not installed (Debian: pipewire, pipewire-pulse, wireplumber, dbus, "
                                    "pulseaudio-utils): the PipeWire run is skipped";
        }
    }
    const std::string pw = dir.file("pw");
    const std::string home = pw + "/home";
    const std::string xdg = pw + "/xdg";
    const std::string config = home + "/.config";
    ASSERT_EQ(shell("mkdir -p " + quote(config + "/pipewire/pipewire.conf.d") + " " + quote(config + "/vocrin") + " " +
                    quote(xdg) + " && chmod 700 " + quote(xdg)),
              0);
    write_simulated_array_config(home);
    // The graph runs at the stream's rate, so nothing is resampled on the way and the samples arrive unchanged.
    write_file(config + "/pipewire/pipewire.conf.d/rate.conf",
               "context.properties = { default.clock.rate = 16000 default.clock.allowed-rates = [ 16000 ] }\n");
    write_file(config + "/vocrin/vocrin-mic.env",
               "# the user's settings\nVOCRIN_GAIN_DB=6\nVOCRIN_LOG=" + dir.file("live.log") +
                   "\nVOCRIN_OPTIONS=--live-chunk-frames 512\n");
    const ServiceCommands service = read_service_commands(
        std::string(LUMIVAR_SOURCE_DIR) + "/package/vocrin-mic.service.in",
        {VOCRIN_BIN, std::string(LUMIVAR_SOURCE_DIR) + "/package", xdg, config});
    const std::string fifo = xdg + "/vocrin-mic.fifo";
    ASSERT_EQ(service.start,
              (std::vector<std::string>{VOCRIN_BIN, "--live", "--pcm-output", fifo, "--require-fifo", "--device", "hw:1,0",
                                        "--input-gain-db", "6", "--log", dir.file("live.log"), "--live-chunk-frames",
                                        "512"}));

    SpawnOptions options;
    options.env = env;
    options.env["HOME"] = home;
    options.env["XDG_RUNTIME_DIR"] = xdg;
    options.env["XDG_CONFIG_HOME"] = config;
    options.unset_env = {"PULSE_SERVER", "PIPEWIRE_REMOTE", "DBUS_SESSION_BUS_ADDRESS", "XDG_DATA_DIRS"};
    write_file(pw + "/servers.sh",
               "pipewire & echo $! > pids\npipewire-pulse & echo $! >> pids\nwireplumber & echo $! >> pids\nwait\n");
    const pid_t session = spawn_process({"dbus-run-session", "--", "sh", pw + "/servers.sh"}, {options.env, options.unset_env, pw},
                                        pw + "/servers.out", pw + "/servers.err");
    auto run = [&](const std::vector<std::string> &args, const std::string &name) {
        return wait_for_exit(spawn_process(args, options, pw + "/" + name + ".out", pw + "/" + name + ".err"), 20);
    };
    auto source_line = [&] {  // vocrin_mic's line of the server's sources; empty when it has none
        if (exited_with(run({"pactl", "list", "short", "sources"}, "sources"), 0)) {
            for (const std::string &line : split_lines(read_file(pw + "/sources.out")))
                if (line.find("\tvocrin_mic\t") != std::string::npos) return line;
        }
        return std::string();
    };
    pid_t recorder = -1;
    auto stop = [&] {
        finish_recording(recorder);
        for (const std::string &pid : split_lines(read_file(pw + "/pids"))) kill(std::stoi(pid), SIGTERM);
        if (wait_for_exit(session, 10) == -1) {  // a server deaf to SIGTERM
            for (const std::string &pid : split_lines(read_file(pw + "/pids"))) kill(std::stoi(pid), SIGKILL);
        }
    };
    if (!wait_until([&] { return exited_with(run({"pactl", "info"}, "info"), 0); }, 20)) {
        stop();
        GTEST_SKIP() << "PipeWire cannot run on this machine: " << read_file(pw + "/servers.err");
    }

    const int loaded = run(service.start_pre, "start_pre");
    const bool listed = !source_line().empty();
    const std::string recorded = pw + "/recorded.wav";
    // Linked by WirePlumber, the source runs and reads the FIFO; before that, a full FIFO would hold vocrin up. A
    // recorder that came before WirePlumber was ready may stay unlinked: it is started again, three times at most.
    bool connected = false;
    for (int attempt = 0; attempt < 3 && !connected; ++attempt) {
        if (recorder > 0) {
            kill(recorder, SIGKILL);
            wait_for_exit(recorder, 10);
        }
        recorder = spawn_process({"parecord", "-d", "vocrin_mic", "--rate=16000", "--channels=1", "--format=s16le",
                                  "--file-format=wav", recorded},
                                 options, pw + "/parecord.out", pw + "/parecord.err");
        connected = wait_until([&] { return source_line().find("RUNNING") != std::string::npos; }, 10);
    }
    auto chunks_streamed = [&] {
        int chunks = 0;
        for (const std::string &line : log()) {
            if (line.rfind("live chunks_processed: ", 0) == 0) chunks = std::stoi(line.substr(23));
        }
        return chunks;
    };
    // PipeWire's pipe source plays silence while the FIFO holds too little for a cycle (before the stream and when a
    // busy machine delays a chunk), and on a busy machine it may skip a chunk's worth, so each whole chunk's samples
    // that are not 0 are looked for in the recording's, in order: at least 9 in 10 chunks must be there unchanged.
    // The last chunk, cut short by the stop, has a beam of its own and is left out.
    std::vector<std::vector<uint16_t>> sent;
    std::size_t sent_samples = 0;
    auto heard = [&] { return nonzero_samples(read_bytes(recorded), 44); };
    int program_status = -1;
    if (listed && connected) {
        const pid_t program = spawn_process(service.start, options, dir.file("stdout.txt"), dir.file("stderr.txt"));
        // 50 chunks of 512 frames (1.6 s), then the stop systemd sends; then the recorder hears the rest.
        wait_until([&] { return read_file(dir.file("live.log")).find("live chunk=50 ") != std::string::npos; }, 30);
        kill(program, SIGTERM);
        program_status = wait_for_exit(program, 20);
        const std::size_t whole_chunks = static_cast<std::size_t>(std::max(chunks_streamed() - 1, 0));
        const std::vector<unsigned char> beam = expected_stream(codes, whole_chunks * 512, 512, 6.0).pcm;
        for (std::size_t first = 0; first < beam.size(); first += 1024) {
            sent.push_back(nonzero_samples(std::vector<unsigned char>(beam.begin() + first, beam.begin() + first + 1024), 0));
            sent_samples += sent.back().size();
        }
        wait_until([&] { return heard().size() >= sent_samples * 9 / 10 + 1024; }, 30);
    }
    const int unloaded = run(service.stop_post, "stop_post");
    const bool left_behind = !source_line().empty();
    stop();
    ASSERT_TRUE(exited_with(loaded, 0)) << read_file(pw + "/start_pre.err");
    ASSERT_TRUE(listed) << "no source vocrin_mic after the start command: " << read_file(pw + "/sources.out");
    ASSERT_TRUE(connected) << "vocrin_mic never ran for parecord: " << read_file(pw + "/parecord.err");
    ASSERT_TRUE(exited_with(program_status, 0)) << read_file(dir.file("stderr.txt"));
    EXPECT_TRUE(exited_with(unloaded, 0)) << read_file(pw + "/stop_post.err");
    EXPECT_FALSE(left_behind) << "the stop command left the source: " << read_file(pw + "/sources.out");

    const std::vector<std::string> lines = log();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "live stopped by signal: SIGTERM");
    EXPECT_EQ(lines.back(), "live clean exit");
    const int chunks = chunks_streamed();
    ASSERT_GE(chunks, 50);
    const std::vector<uint16_t> recording = heard();
    ASSERT_GT(sent_samples, static_cast<std::size_t>(chunks - 1) * 512 / 2) << "a beam of mostly silence tells nothing";
    std::size_t found = 0;
    auto at = recording.begin();
    for (const std::vector<uint16_t> &chunk : sent) {
        const auto match = std::search(at, recording.end(), chunk.begin(), chunk.end());
        if (match == recording.end()) continue;
        ++found;
        at = match + static_cast<long>(chunk.size());
    }
    EXPECT_GE(found * 10, sent.size() * 9) << found << " of " << sent.size() << " chunks heard: "
        << "the recording does not hold the beam's samples";
}

}  // namespace

namespace {

// The lines of a directions output with their time taken out, and the times apart.
std::vector<std::string> without_time(const std::vector<std::string> &lines, std::vector<double> *times = nullptr) {
    std::vector<std::string> rest;
    for (const std::string &line : lines) {
        nlohmann::ordered_json json = nlohmann::ordered_json::parse(line);
        if (times != nullptr) times->push_back(json["time"].get<double>());
        json.erase("time");
        rest.push_back(json.dump());
    }
    return rest;
}

int logged_count(const std::vector<std::string> &lines, const std::string &key) {
    for (const std::string &line : lines) {
        if (line.rfind(key, 0) == 0) return std::stoi(line.substr(key.size()));
    }
    return -1;
}

}  // namespace

// --directions-out in live mode. Into a file: a line per chunk, each the line a batch run gives the
// same audio, its time the wall clock of the chunk's first sample. Into a FIFO whose reader takes
// nothing: the loop goes on, the lines that find no room are dropped and counted, the rest arrive
// whole. Into a FIFO whose reader leaves: one warning, and the beam's stream goes on to its end.
TEST_F(LiveFixture, DirectionsOutFollowsEveryChunkAndNeverHoldsUpTheStream) {
    const std::string mics = "-0.113,0.036,0.076,0.113";
    const std::string lines_path = dir.file("lines.jsonl");
    const double before = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    ASSERT_TRUE(exited_with(wait_for_exit(start({"--live-duration", "1", "--pcm-output", dir.file("mic.pcm"),
                                                 "--mic-positions", mics, "--directions-out", lines_path}),
                                          60),
                            0))
        << err();
    const double after = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::vector<std::string> logged = log();
    ASSERT_GE(logged.size(), 10u);
    EXPECT_EQ(logged[9], "live directions_out: " + lines_path);
    const int chunks = logged_count(logged, "live chunks_processed: ");
    EXPECT_EQ(logged[logged.size() - 2], "live directions_dropped: 0");
    std::vector<double> times;
    const std::vector<std::string> live_lines = without_time(split_lines(read_file(lines_path)), &times);
    ASSERT_EQ(static_cast<int>(live_lines.size()), chunks);
    for (double t : times) EXPECT_TRUE(t >= before - 1.0 && t <= after) << std::fixed << t << " " << before;

    const int known = known_chunks(chunks, 1024);
    const std::vector<unsigned char> raw = s32le_bytes(std::vector<int32_t>(codes.begin(), codes.begin() + 4 * 1024 * known));
    write_file(dir.file("same.wav"), riff(fmt_chunk(1, 4, 16000, 32) + chunk("data", std::string(raw.begin(), raw.end()))));
    ASSERT_EQ(run({VOCRIN_BIN, "--input-wav", dir.file("same.wav"), "--beamformed", dir.file("beam.wav"), "--event",
                   dir.file("event.json"), "--log", "", "--mic-positions", mics, "--directions-out", dir.file("batch.jsonl")},
                  dir.path)
                  .status,
              0);
    const std::vector<std::string> batch_lines = without_time(split_lines(read_file(dir.file("batch.jsonl"))));
    ASSERT_EQ(batch_lines.size(), static_cast<std::size_t>(known));
    EXPECT_TRUE(std::equal(batch_lines.begin(), batch_lines.end(), live_lines.begin()));

    const std::string fifo = dir.file("lines.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    {  // a reader that holds the FIFO open and reads nothing until the run is over
        const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        ASSERT_GE(fcntl(reader, F_SETPIPE_SZ, 4096), 4096);
        ASSERT_TRUE(exited_with(wait_for_exit(start({"--live-duration", "1", "--pcm-output", dir.file("mic.pcm"),
                                                     "--directions-out", fifo}),
                                              60),
                                0))
            << err();
        std::string taken;
        char buffer[4096];
        for (ssize_t got; (got = ::read(reader, buffer, sizeof buffer)) > 0;) taken.append(buffer, buffer + got);
        ::close(reader);
        ASSERT_FALSE(taken.empty());
        EXPECT_EQ(taken.back(), '\n');
        const std::vector<std::string> heard = split_lines(taken);
        logged = log();
        const int dropped = logged_count(logged, "live directions_dropped: ");
        EXPECT_GT(dropped, 0);
        EXPECT_EQ(static_cast<int>(heard.size()) + dropped, logged_count(logged, "live chunks_processed: "));
        int previous = 0;
        for (const std::string &line : heard) {
            const int number = nlohmann::json::parse(line)["chunk"].get<int>();
            EXPECT_GT(number, previous);
            previous = number;
        }
        EXPECT_EQ(file_size(dir.file("mic.pcm")) / 2048, logged_count(logged, "live chunks_processed: "));
    }
    {  // a reader that takes three lines and leaves
        const pid_t reader = spawn({"head", "-n", "3", fifo}, {}, dir.file("three.jsonl"), dir.file("head.err"));
        ASSERT_TRUE(exited_with(wait_for_exit(start({"--live-duration", "1", "--pcm-output", dir.file("mic.pcm"),
                                                     "--directions-out", fifo}),
                                              60),
                                0))
            << err();
        ASSERT_TRUE(exited_with(wait_for_exit(reader, 30), 0));
        EXPECT_EQ(split_lines(read_file(dir.file("three.jsonl"))).size(), 3u);
        logged = log();
        EXPECT_EQ(std::count(logged.begin(), logged.end(), "warning: directions output closed by reader: " + fifo), 1);
        EXPECT_EQ(logged.back(), "live clean finite-duration exit");
        EXPECT_EQ(file_size(dir.file("mic.pcm")) / 2048, logged_count(logged, "live chunks_processed: "));
    }
    {  // a recorder that hands over two chunks at once every two chunks' time: the times still lie a chunk apart
        const std::string bin = dir.file("bin");
        ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
        write_file(bin + "/arecord", "#!/bin/sh\nwhile head -c 32768; do sleep 0.128; done <\"$MIC4_INFILE\"\n");
        ASSERT_EQ(chmod((bin + "/arecord").c_str(), 0755), 0);
        env["PATH"] = bin + ":" + std::getenv("PATH");
        ASSERT_TRUE(exited_with(wait_for_exit(start({"--live-duration", "1", "--pcm-output", dir.file("mic.pcm"),
                                                     "--directions-out", lines_path}),
                                              60),
                                0))
            << err();
        std::vector<double> paired;
        without_time(split_lines(read_file(lines_path)), &paired);
        ASSERT_GE(paired.size(), 8u);
        int chunk_apart = 0;
        for (std::size_t i = 1; i < paired.size(); ++i)
            chunk_apart += std::fabs(paired[i] - paired[i - 1] - 0.064) < 0.0015;  // times are to the millisecond
        // The first two come at once before any chunk was read on time; a busy machine may hold up a few more.
        EXPECT_GE(4 * chunk_apart, 3 * static_cast<int>(paired.size() - 1)) << read_file(lines_path);
    }
}

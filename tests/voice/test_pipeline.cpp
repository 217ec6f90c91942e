// The batch mode end to end: the real arecord against a simulated 4-channel array, the bundled
// recording, the manifest read back by a real JSON parser, and the failure statuses.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "beamform.h"
#include "diagnostics.h"
#include "direction.h"
#include "gain.h"
#include "options.h"
#include "run_log.h"
#include "pipeline.h"
#include "recorder.h"
#include "voice_programs.h"
#include "signals.h"
#include "simulated_array.h"
#include "wav.h"
#include "wav_bytes.h"

using namespace voicetest;

namespace {

const std::vector<std::string> kStartup = {
    "Vocrin v1.4.0 capture/live-global-mic/input-gain/direction/beamforming/event tool",
    "scope: Lumivar only; no Imbra integration; no system audio configuration changes",
    "device: hw:1,0",
};

std::string fixed8(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.8f", value);
    return text;
}

std::string lags_text(const std::vector<int> &lags) {
    std::string text = "[";
    for (std::size_t i = 0; i < lags.size(); ++i) {
        text += (i ? ", " : "") + std::to_string(lags[i]);
    }
    return text + "]";
}

void add_block(std::vector<std::string> &lines, const std::string &heading, const ChannelDiagnostics &d) {
    lines.push_back(heading + " diagnostics:");
    for (std::size_t i = 0; i < d.rms.size(); ++i) {
        lines.push_back("  channel " + std::to_string(i) + ": rms=" + fixed8(d.rms[i]) + ", peak=" +
                        fixed8(d.peak[i]) + ", noise_floor=" + fixed8(d.noise_floor[i]));
    }
}

struct ExpectedAnalysis {
    std::vector<std::string> lines;  // from "sample_rate: " to "clean exit"
    std::vector<std::string> warnings;
    BeamformResult beam;
};

// What a batch run over `raw` must log, built from the analysis functions and the fixed texts.
ExpectedAnalysis expected_analysis(const WavData &raw, double gain_db, const std::string &raw_path,
                                   const std::string &beam_path, const std::string &event_path) {
    ExpectedAnalysis expected;
    std::vector<std::string> &w = expected.warnings;
    if (raw.sample_rate != 16000) w.push_back("sample rate differs from expected 16000 Hz");
    if (raw.channels != 4) w.push_back("channel count differs from expected Kinect v2 4-channel capture");
    const ChannelDiagnostics raw_d = diagnose_channels(raw, "raw channel");
    w.insert(w.end(), raw_d.warnings.begin(), raw_d.warnings.end());
    const WavData processed = apply_input_gain(raw, gain_db, w);
    const ChannelDiagnostics processed_d = diagnose_channels(processed, "processed channel");
    w.insert(w.end(), processed_d.warnings.begin(), processed_d.warnings.end());
    const DirectionEstimate direction = estimate_direction(processed, "processed");
    if (direction.low_confidence) w.push_back("direction confidence is low; angle should be treated as a weak hint only");
    expected.beam = beamform_delay_and_sum(processed, direction);
    WavData beam_audio{raw.sample_rate, 1, 16, {expected.beam.samples}};
    const ChannelDiagnostics beam_d = diagnose_channels(beam_audio, "beamformed channel");
    w.insert(w.end(), beam_d.warnings.begin(), beam_d.warnings.end());

    const double duration = raw.samples[0].size() / static_cast<double>(raw.sample_rate);
    std::vector<std::string> &l = expected.lines;
    l = {"sample_rate: " + std::to_string(raw.sample_rate), "channels: " + std::to_string(raw.channels),
         "duration_seconds: " + format_fixed(duration), "input_gain_db: " + format_fixed(gain_db),
         "raw audio is preserved unchanged; gain is applied only to processed analysis/beamforming samples"};
    add_block(l, "raw 4-channel levels (unmodified capture)", raw_d);
    add_block(l, "processed 4-channel levels (after input gain)", processed_d);
    add_block(l, "beamformed mono levels (from processed audio)", beam_d);
    l.push_back("direction_angle_degrees: " + format_fixed(direction.angle_degrees));
    l.push_back("direction_confidence: " + format_fixed(direction.confidence));
    l.push_back("direction_method: processed multi-pair centered cross-correlation");
    l.push_back("direction_samples_source: processed");
    l.push_back(std::string("direction_low_confidence: ") + (direction.low_confidence ? "true" : "false"));
    l.push_back("direction_lag_samples_ch0_to_ch3: " + std::to_string(direction.lag_samples));
    l.push_back("direction_peak_correlation: " + format_fixed(direction.peak_correlation));
    l.push_back("direction_lag_consistency: " + format_fixed(direction.lag_consistency));
    l.push_back("beamforming_method: " + expected.beam.method);
    l.push_back("beamforming_lags: " + lags_text(expected.beam.lags));
    for (const std::string &warning : w) l.push_back("warning: " + warning);
    l.push_back("raw_wav: " + raw_path);
    l.push_back("beamformed_wav: " + beam_path);
    l.push_back("event_json: " + event_path);
    l.push_back("clean exit");
    return expected;
}

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The beam file the program must leave: the expected beam through the WAV writer.
std::vector<unsigned char> expected_beam_file(const TempDir &dir, const std::vector<double> &samples) {
    write_beamformed_wav(dir.file("expected-beam.wav"), 16000, samples);
    return read_bytes(dir.file("expected-beam.wav"));
}

// A 16-bit PCM WAV with a plain 44-byte header; `codes` is interleaved.
void write_wav16(const std::string &path, int rate, int channels, const std::vector<int16_t> &codes) {
    write_file(path, riff(fmt_chunk(1, static_cast<uint16_t>(channels), static_cast<uint32_t>(rate), 16) +
                          chunk("data", pcm16(codes))));
}

// Top-level members of a JSON document as "key=<compact JSON value>", in document order.
std::vector<std::string> manifest_members(const TempDir &dir, const std::string &path) {
    const std::string script = dir.file("members.py");
    std::ofstream(script) << "import collections, json, sys\n"
                             "doc = json.load(open(sys.argv[1]), object_pairs_hook=collections.OrderedDict)\n"
                             "for key, value in doc.items():\n"
                             "    print(key + '=' + json.dumps(value, separators=(',', ':')))\n";
    const std::string out = dir.file("members.txt");
    EXPECT_EQ(shell("python3 " + quote(script) + " " + quote(path) + " > " + quote(out) + " 2>&1"), 0)
        << read_file(out);
    return split_lines(read_file(out));
}

struct ProgramRun {
    int status;
    std::vector<std::string> log;
    std::string out;
    std::string err;
};

ProgramRun run_vocrin(const TempDir &dir, const std::vector<std::string> &args,
               const std::map<std::string, std::string> &env = {}) {
    std::vector<std::string> argv = {VOCRIN_BIN, "--log", dir.file("run.log")};
    argv.insert(argv.end(), args.begin(), args.end());
    const pid_t pid = spawn(argv, env, dir.file("stdout.txt"), dir.file("stderr.txt"));
    const int status = wait_for_exit(pid, 120);
    return {status, split_lines(read_file(dir.file("run.log"))), read_file(dir.file("stdout.txt")),
            read_file(dir.file("stderr.txt"))};
}

TEST(ShellQuote, MakesOneWordThatTheShellHandsBackUnchanged) {
    EXPECT_EQ(shell_quote(""), "''");
    EXPECT_EQ(shell_quote("hw:1,0"), "'hw:1,0'");
    EXPECT_EQ(shell_quote("it's.wav"), "'it'\\''s.wav'");
    const std::vector<std::string> texts = {"it's a \"file\".wav", "two\nlines\tand $HOME `id` \\ ;|&", "'", "''x''"};
    TempDir dir;
    for (const std::string &text : texts) {
        const std::string command = "printf %s " + shell_quote(text) + " > " + dir.file("echo.txt");
        ASSERT_EQ(std::system(command.c_str()), 0) << text;
        EXPECT_EQ(read_file(dir.file("echo.txt")), text);
    }
}

TEST(BatchCapture, RecordsWithTheRealArecordAndAnalysesWhatItWrote) {
    TempDir dir;
    write_simulated_array_config(dir.path);
    const WavData demo = read_wav(demo_recording());
    const std::vector<unsigned char> infile = s32le_bytes(looped_codes(demo, 2 * 16000));
    write_file(dir.file("array.raw"), infile);
    // A blank and a quote in the path must reach arecord as one word.
    const std::string raw_path = dir.file("it's raw.wav");
    const ProgramRun run = run_vocrin(dir,
                               {"--duration", "1", "--output", raw_path, "--beamformed", dir.file("beam.wav"),
                                "--event", dir.file("event.json")},
                               {{"HOME", dir.path}, {"MIC4_INFILE", dir.file("array.raw")}});
    ASSERT_TRUE(exited_with(run.status, 0)) << run.out << run.err;

    // arecord's WAV: a 44-byte header, then exactly one second of the infile's bytes.
    const std::vector<unsigned char> recorded = read_bytes(raw_path);
    ASSERT_EQ(recorded.size(), 44u + 16000u * 16u);
    EXPECT_TRUE(std::equal(recorded.begin() + 44, recorded.end(), infile.begin()));
    const WavData raw = read_wav(raw_path);
    EXPECT_EQ(raw.bits_per_sample, 32);

    const ExpectedAnalysis expected =
        expected_analysis(raw, 0.0, raw_path, dir.file("beam.wav"), dir.file("event.json"));
    std::vector<std::string> lines = kStartup;
    lines.push_back("capture command: arecord -D 'hw:1,0' -f S32_LE -r 16000 -c 4 -d 1 -t wav '" + dir.path.string() +
                    "/it'\\''s raw.wav'");
    EXPECT_EQ(run.log, concat(lines, expected.lines));
    EXPECT_EQ(run.out, read_file(dir.file("run.log")));
    EXPECT_EQ(read_bytes(dir.file("beam.wav")), expected_beam_file(dir, expected.beam.samples));
}

TEST(BatchCapture, ReportsTheRawStatusWhenThereIsNoCard) {
    TempDir dir;  // a HOME without the simulated array: hw:1,0 does not exist
    const ProgramRun run = run_vocrin(dir,
                               {"--duration", "1", "--output", dir.file("raw.wav"), "--beamformed",
                                dir.file("beam.wav"), "--event", dir.file("event.json")},
                               {{"HOME", dir.path}});
    EXPECT_TRUE(exited_with(run.status, 10)) << run.out;
    const std::vector<std::string> expected = concat(
        kStartup, {"capture command: arecord -D 'hw:1,0' -f S32_LE -r 16000 -c 4 -d 1 -t wav '" + dir.file("raw.wav") + "'",
                   "error: arecord capture failed with status 256"});
    EXPECT_EQ(run.log, expected);
    EXPECT_NE(run.err.find("audio open error"), std::string::npos) << run.err;
    EXPECT_FALSE(file_exists(dir.file("raw.wav")));
    EXPECT_FALSE(file_exists(dir.file("beam.wav")));
    EXPECT_FALSE(file_exists(dir.file("event.json")));
}

// SIGINT or SIGTERM while arecord records: it is stopped (here a stalled device makes it wait for
// the SIGKILL) and reaped, the log names the signal, nothing is analysed or written, and the
// program ends by that signal, since the clip it was asked for is incomplete.
TEST(BatchCapture, ASignalDuringTheCaptureStopsArecordAndEndsTheProgramByIt) {
    for (const int signal : {SIGINT, SIGTERM}) {
        TempDir dir;
        write_simulated_array_config(dir.path);
        const StalledArrayFeed feed(dir.file("array.fifo"),
                                    s32le_bytes(looped_codes(read_wav(demo_recording()), 1000)));
        const std::string raw = dir.file("raw.wav");
        const pid_t pid = spawn({VOCRIN_BIN, "--log", dir.file("run.log"), "--duration", "5", "--output", raw,
                                 "--beamformed", dir.file("beam.wav"), "--event", dir.file("event.json")},
                                {{"HOME", dir.path}, {"MIC4_INFILE", dir.file("array.fifo")}},
                                dir.file("stdout.txt"), dir.file("stderr.txt"));
        pid_t arecord = -1;
        // system()'s shell may run arecord as its own child rather than exec it.
        ASSERT_TRUE(wait_until(
            [&] {
                arecord = child_named(pid, "arecord");
                return arecord > 0 || (arecord = child_named(child_named(pid, "sh"), "arecord")) > 0;
            },
            30));
        kill(pid, signal);
        const int status = wait_for_exit(pid, 30);
        ASSERT_NE(status, -1) << "the program did not end";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "wait status " << status;
        EXPECT_NE(kill(arecord, 0), 0) << "arecord was left running or unreaped";
        EXPECT_EQ(split_lines(read_file(dir.file("run.log"))),
                  concat(kStartup, {"capture command: arecord -D 'hw:1,0' -f S32_LE -r 16000 -c 4 -d 5 -t wav '" +
                                        raw + "'",
                                    std::string("capture stopped by signal: ") +
                                        (signal == SIGINT ? "SIGINT" : "SIGTERM")}));
        EXPECT_FALSE(file_exists(dir.file("beam.wav")));
        EXPECT_FALSE(file_exists(dir.file("event.json")));
    }
}

// SIGINT or SIGTERM once the capture is over, while a long clip is analysed: the run stops
// before its next file, says which signal asked and ends by it. The beam and the manifest of an
// earlier run stay as they were, and no hidden file is left beside them.
TEST(BatchAnalysis, ASignalDuringTheAnalysisEndsTheProgramByItWithNoFileHalfWritten) {
    TempDir dir;
    const std::string wav = dir.file("long.wav");
    ASSERT_EQ(shell("sox -R -r 16000 -c 4 -n -t wavpcm -b 32 -e signed-integer " + quote(wav) +
                    " synth 40 sine 300 sine 500 sine 700 sine 900 vol 0.5"),
              0);
    for (const int signal : {SIGINT, SIGTERM}) {
        const std::string name = signal == SIGINT ? "SIGINT" : "SIGTERM";
        const std::string out = dir.file(name);
        ASSERT_EQ(shell("mkdir " + quote(out)), 0);
        write_file(out + "/beam.wav", std::string("earlier beam"));
        write_file(out + "/event.json", std::string("{}\n"));
        const pid_t pid = spawn({VOCRIN_BIN, "--input-wav", wav, "--log", out + "/run.log", "--beamformed",
                                 out + "/beam.wav", "--event", out + "/event.json"},
                                {}, dir.file("stdout.txt"), dir.file("stderr.txt"));
        ASSERT_TRUE(wait_until([&] { return catches(pid, signal); }, 30)) << name << " is not caught";
        kill(pid, signal);
        const int status = wait_for_exit(pid, 30);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << name << ": wait status " << status;
        const std::vector<std::string> lines = split_lines(read_file(out + "/run.log"));
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "analysis stopped by signal: " + name);
        EXPECT_EQ(read_file(out + "/beam.wav"), "earlier beam");
        EXPECT_EQ(read_file(out + "/event.json"), "{}\n");
        EXPECT_EQ(shell("test -z \"$(ls -A " + quote(out) + " | grep -v -x -e beam.wav -e event.json -e run.log)\""), 0)
            << "files left: " << shell_output("ls -A " + quote(out));
    }
}

TEST(BatchBundledRecording, FindsTheSpeakerAndWritesBeamLogAndManifest) {
    TempDir dir;
    const std::string input = demo_recording();
    const ProgramRun run = run_vocrin(dir, {"--input-wav", input, "--beamformed", dir.file("beam.wav"), "--event",
                                     dir.file("event.json"), "--device", "hw:2,0 \"front\\mic\""});
    ASSERT_TRUE(exited_with(run.status, 0)) << run.out << run.err;

    const WavData raw = read_wav(input);
    const ExpectedAnalysis expected = expected_analysis(raw, 0.0, input, dir.file("beam.wav"), dir.file("event.json"));
    std::vector<std::string> lines = {kStartup[0], kStartup[1], "device: hw:2,0 \"front\\mic\"",
                                      "capture skipped; analyzing input WAV: " + input};
    EXPECT_EQ(run.log, concat(lines, expected.lines));
    // The speech reaches channel k k samples late: outer lag +3, steered, not a weak hint.
    EXPECT_NE(std::find(run.log.begin(), run.log.end(), "direction_lag_samples_ch0_to_ch3: 3"), run.log.end());
    EXPECT_NE(std::find(run.log.begin(), run.log.end(), "direction_angle_degrees: 22.024313"), run.log.end());
    EXPECT_NE(std::find(run.log.begin(), run.log.end(), "beamforming_lags: [0, 1, 2, 3]"), run.log.end());
    EXPECT_TRUE(expected.warnings.empty());
    EXPECT_EQ(read_bytes(dir.file("beam.wav")), expected_beam_file(dir, expected.beam.samples));

    const std::vector<std::string> members = manifest_members(dir, dir.file("event.json"));
    ASSERT_EQ(members.size(), 23u);
    EXPECT_EQ(members[0].rfind("timestamp=\"", 0), 0u);
    EXPECT_EQ(members[1], "device=\"hw:2,0 \\\"front\\\\mic\\\"\"");
    EXPECT_EQ(members[2], "sample_rate=16000");
    EXPECT_EQ(members[3], "channels=4");
    EXPECT_EQ(members[5], "raw_wav=\"" + input + "\"");
    EXPECT_EQ(members[6], "beamformed_wav=\"" + dir.file("beam.wav") + "\"");
    EXPECT_EQ(members[14], "direction_angle=22.02");
    EXPECT_EQ(members[15], "direction_angle_degrees=22.02");
    EXPECT_EQ(members[19], "direction_low_confidence=false");
    EXPECT_EQ(members[20], "detected_speech=true");
    EXPECT_EQ(members[21].rfind("diagnostics={\"format\":\"PCM S32_LE\"", 0), 0u) << members[21];
    EXPECT_NE(members[21].find("\"beamforming_lags\":[0,1,2,3]"), std::string::npos) << members[21];
    EXPECT_EQ(members[22], "warnings=[]");
}

TEST(BatchWarnings, AreLoggedAndWrittenInTheirFixedOrder) {
    TempDir dir;
    // Stereo 44.1 kHz 16-bit: channel 0 a loud tone that clips at +12 dB, channel 1 silent.
    std::vector<int16_t> codes;
    for (int i = 0; i < 4410; ++i) {
        codes.push_back(static_cast<int16_t>(std::lround(20000 * std::sin(i * 0.05))));
        codes.push_back(0);
    }
    write_wav16(dir.file("stereo.wav"), 44100, 2, codes);
    // --skip-capture analyses --output as it is.
    const ProgramRun run = run_vocrin(dir, {"--skip-capture", "--output", dir.file("stereo.wav"), "--input-gain-db", "12",
                                     "--beamformed", dir.file("beam.wav"), "--event", dir.file("event.json")});
    ASSERT_TRUE(exited_with(run.status, 0)) << run.out << run.err;

    const ExpectedAnalysis expected = expected_analysis(read_wav(dir.file("stereo.wav")), 12.0, dir.file("stereo.wav"),
                                                        dir.file("beam.wav"), dir.file("event.json"));
    EXPECT_EQ(run.log, concat(concat(kStartup, {"capture skipped; analyzing output WAV path: " + dir.file("stereo.wav")}),
                              expected.lines));
    const std::vector<std::string> order = {
        "sample rate differs from expected 16000 Hz",
        "channel count differs from expected Kinect v2 4-channel capture",
        "raw channel 1 may be silent or dead",
        "input gain 12.0 dB caused processed-signal clipping; ch0 clipped_samples=",
        "processed channel 0 may be clipping",
        "processed channel 1 may be silent or dead",
        "direction confidence is low; angle should be treated as a weak hint only",
    };
    ASSERT_GE(expected.warnings.size(), order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(expected.warnings[i].rfind(order[i], 0), 0u) << i << ": " << expected.warnings[i];
    }

    std::string array = "warnings=[";
    for (std::size_t i = 0; i < expected.warnings.size(); ++i) {
        array += (i ? ",\"" : "\"") + expected.warnings[i] + "\"";
    }
    const std::vector<std::string> members = manifest_members(dir, dir.file("event.json"));
    ASSERT_EQ(members.size(), 23u);
    EXPECT_EQ(members[22], array + "]");
    EXPECT_EQ(members[21].rfind("diagnostics={\"format\":\"PCM S16_LE\"", 0), 0u) << members[21];

    // At 0 dB no sample changes: the processed levels are the raw ones, their warnings named as processed.
    const ProgramRun plain = run_vocrin(dir, {"--skip-capture", "--output", dir.file("stereo.wav"), "--beamformed",
                                              dir.file("beam.wav"), "--event", dir.file("event.json")});
    ASSERT_TRUE(exited_with(plain.status, 0)) << plain.out << plain.err;
    const ExpectedAnalysis unchanged = expected_analysis(read_wav(dir.file("stereo.wav")), 0.0, dir.file("stereo.wav"),
                                                         dir.file("beam.wav"), dir.file("event.json"));
    EXPECT_EQ(plain.log, concat(concat(kStartup, {"capture skipped; analyzing output WAV path: " + dir.file("stereo.wav")}),
                                unchanged.lines));
    EXPECT_NE(std::find(unchanged.warnings.begin(), unchanged.warnings.end(), "processed channel 1 may be silent or dead"),
              unchanged.warnings.end());
}

TEST(BatchFailures, EndWithStatus20AndNoCleanExit) {
    TempDir dir;
    const std::string input = demo_recording();
    {  // the manifest cannot be completely written: an error, the beam stays on disk
        const ProgramRun run = run_vocrin(dir, {"--input-wav", input, "--beamformed", dir.file("beam.wav"), "--event",
                                         "/dev/full"});
        EXPECT_TRUE(exited_with(run.status, 20)) << run.out;
        ASSERT_FALSE(run.log.empty());
        EXPECT_EQ(run.log.back(), "error: failed to write event JSON: /dev/full");
        EXPECT_EQ(std::find(run.log.begin(), run.log.end(), "clean exit"), run.log.end());
        EXPECT_TRUE(file_exists(dir.file("beam.wav")));
    }
    {  // a manifest directory that does not exist
        const std::string event = dir.file("missing/event.json");
        const ProgramRun run = run_vocrin(dir, {"--input-wav", input, "--beamformed", dir.file("beam2.wav"), "--event", event});
        EXPECT_TRUE(exited_with(run.status, 20)) << run.out;
        ASSERT_FALSE(run.log.empty());
        EXPECT_EQ(run.log.back(), "error: failed to write event JSON: " + event);
    }
    {  // a missing input: nothing is written
        const std::string missing = dir.file("nowhere.wav");
        const ProgramRun run = run_vocrin(dir, {"--input-wav", missing, "--beamformed", dir.file("beam3.wav"), "--event",
                                         dir.file("event3.json")});
        EXPECT_TRUE(exited_with(run.status, 20)) << run.out;
        EXPECT_EQ(run.log, concat(kStartup, {"capture skipped; analyzing input WAV: " + missing,
                                             "error: failed to open WAV: " + missing}));
        EXPECT_FALSE(file_exists(dir.file("beam3.wav")));
        EXPECT_FALSE(file_exists(dir.file("event3.json")));
    }
    {  // the beam cannot be written
        const std::string beam = dir.file("missing/beam.wav");
        const ProgramRun run = run_vocrin(dir, {"--input-wav", input, "--beamformed", beam, "--event", dir.file("event4.json")});
        EXPECT_TRUE(exited_with(run.status, 20)) << run.out;
        ASSERT_FALSE(run.log.empty());
        EXPECT_EQ(run.log.back(), "error: failed to write WAV: " + beam);
        EXPECT_FALSE(file_exists(dir.file("event4.json")));
    }
}

// The batch outputs must not change when the analysis is made faster. These SHA-256 digests
// (sha256sum of the beam WAV, of the manifest without its "timestamp" line, and of the log) are
// those of the program before that work (commit 659fd47), run in the inputs' directory with the
// arguments below. The inputs come from the bundled recording, which espeak-ng and sox make
// byte for byte the same on every run: the recording, the recording looped to 60 s the way
// bench/voice/bench_batch.sh does (also with 12 dB of gain, which clips), and channels 1 and 4
// as 16-bit stereo, which takes the fallback beam.
TEST(BatchReferenceOutputs, BeamManifestAndLogAreByteForByteThoseOfThePreviousProgram) {
    TempDir dir;
    const std::string in_dir = "cd " + quote(dir.path) + " && ";
    ASSERT_EQ(shell(in_dir + "bash " LUMIVAR_SOURCE_DIR "/scripts/make_demo_recording.sh . >/dev/null && "
                             "mv kinect_array_speech.wav rec.wav && "
                             "sox -D rec.wav -t wavpcm long.wav repeat 9 && "
                             "sox -D long.wav -t wavpcm long60.wav trim 0 60 && "
                             "sox -D rec.wav -t wavpcm -b 16 stereo16.wav remix 1 4"),
              0);
    const auto digest = [&](const std::string &command) { return shell_output(in_dir + command + " | cut -c1-64"); };
    ASSERT_EQ(digest("sha256sum rec.wav long60.wav stereo16.wav"),
              "2f537c947e02555afe2a09cafe8a6faefe42bb18a8632aff620b83f45222bbc0\n"
              "5f144ba1d992ae9e4484ace1744dbd081a0b079d814532f412965de4d6df61a5\n"
              "44fd9c6e2a1fbb4d8de44ebec7a5d5fab15dd7860710e96d292841dbd5302bdf\n")
        << "these inputs are not the ones the reference digests were made from (another espeak-ng or sox?)";

    struct Case {
        std::string name, input, gain_db, beam, manifest, log;
    };
    const std::vector<Case> cases = {
        {"rec", "rec.wav", "0", "fbd9eb3d4a56b230f93b013a305f64a7a17a941f75741cb56e42c53d54cd25c5",
         "c5cf8530af50b4e508eff389e36766e887dbc6acf00ae2c65ae261ff97558e4e",
         "85e1d30b81f32d4512c5b813b0fa7ac20e09575729d7a25b48a86d9eb111729c"},
        {"long", "long60.wav", "0", "678cd9635da335bf98ab67be3e2fb851296c633d61259dea2057f24fc921dafb",
         "563eca4a64e25b2b41217a56e2395dcae8190427a3b07d6ef27a807e1804a295",
         "8e281dd1739f244748b1f42c0e02ce52970016b6bdf44518ff379efd07047ba6"},
        {"long12", "long60.wav", "12", "6a3d40c57669f9b4f4941cbd7af98a254c49599134754deb259a56dd805f2ea6",
         "298149f7816ca0519827bd531daa4884216c828ce8ded361fb842a8ed54d30c9",
         "d60cd9cbf5d430f05054cf4ee7fcab65035b9469f2206052cc2b2d710bb39c6d"},
        {"stereo", "stereo16.wav", "0", "3ffed6cfba2b4d79a1b56907158550fa8bb441e31a7068a740c01cd9116bc426",
         "81d614e7883a413ca1ec4901bf1803a5acc49190f59765313edb37af9eea5718",
         "429baf0f6ec78192f380d59559620774fef85cbfae6662e2a1a140272734c599"},
    };
    for (const Case &c : cases) {
        const RunResult r = run({VOCRIN_BIN, "--input-wav", c.input, "--input-gain-db", c.gain_db, "--beamformed",
                                 c.name + ".beam.wav", "--event", c.name + ".event.json", "--log", c.name + ".log"},
                                dir.path);
        ASSERT_EQ(r.status, 0) << c.name << "\n" << r.out << r.err;
        EXPECT_EQ(digest("sha256sum " + c.name + ".beam.wav"), c.beam + "\n") << c.name;
        EXPECT_EQ(digest("grep -v '^  \"timestamp\": ' " + c.name + ".event.json | sha256sum"), c.manifest + "\n")
            << c.name << "\n" << read_file(dir.file(c.name + ".event.json"));
        EXPECT_EQ(digest("sha256sum " + c.name + ".log"), c.log + "\n") << c.name << "\n" << r.out;
    }
}

}  // namespace

// --directions-out on a recording: one line per chunk of --live-chunk-frames (the last one short),
// its keys in order, the time of each chunk's first sample from the recording's start, and
// `speech` on the talker's chunks, not on the silence around them. Channel k hears the talker k
// samples late, so the angle of every speech chunk left unflagged is asin(3 / 8).
TEST(BatchDirectionsOut, WritesOneLinePerChunkWithItsTimeAngleAndSpeech) {
    TempDir dir;
    speak_to_wav(dir, "the microphone array hears one talker in the room", dir.file("talker.wav"));
    const std::vector<double> words = read_wav(dir.file("talker.wav")).samples[0];
    const std::size_t lead = 16000, tail = 24000, margin = 16;
    std::vector<double> source(lead + margin, 0.0);
    source.insert(source.end(), words.begin(), words.end());
    source.resize(source.size() + tail + margin, 0.0);
    const WavData scene = delayed_array(source, {0, 1, 2, 3}, 3e-4, 35);
    const std::size_t frames = scene.samples[0].size(), chunk_frames = 500;
    const std::vector<unsigned char> data = s32le_bytes(looped_codes(scene, frames));
    write_file(dir.file("scene.wav"), riff(fmt_chunk(1, 4, 16000, 32) + chunk("data", std::string(data.begin(), data.end()))));
    const std::string lines_path = dir.file("lines.jsonl");
    const ProgramRun run = run_vocrin(dir, {"--input-wav", dir.file("scene.wav"), "--beamformed", dir.file("beam.wav"),
                                            "--event", dir.file("event.json"), "--live-chunk-frames", "500",
                                            "--directions-out", lines_path});
    ASSERT_TRUE(exited_with(run.status, 0)) << run.out << run.err;
    ASSERT_GE(run.log.size(), 2u);
    EXPECT_EQ(run.log[run.log.size() - 2], "directions_out: " + lines_path);
    EXPECT_EQ(run.log.back(), "clean exit");

    const std::vector<std::string> lines = split_lines(read_file(lines_path));
    ASSERT_EQ(lines.size(), (frames + chunk_frames - 1) / chunk_frames);
    const std::vector<std::string> keys = {"time", "chunk", "angle_degrees", "confidence", "low_confidence", "speech",
                                           "rms"};
    int talker_chunks = 0, talker_speech = 0, unflagged = 0;
    double loudest_silence = 0.0, quietest_talk = 1.0;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const nlohmann::ordered_json line = nlohmann::ordered_json::parse(lines[i]);
        std::vector<std::string> found;
        for (const auto &member : line.items()) found.push_back(member.key());
        ASSERT_EQ(found, keys) << lines[i];
        EXPECT_EQ(line["chunk"].get<int>(), static_cast<int>(i + 1));
        EXPECT_EQ(line["time"].get<double>(), std::round(i * chunk_frames / 16.0) / 1000.0) << lines[i];
        EXPECT_TRUE(line["low_confidence"].is_boolean() && line["speech"].is_boolean()) << lines[i];
        const double confidence = line["confidence"].get<double>();
        EXPECT_TRUE(confidence >= 0.0 && confidence <= 1.0) << lines[i];
        const bool speech = line["speech"].get<bool>();
        const double rms = line["rms"].get<double>();
        const std::size_t first = i * chunk_frames, end = std::min(frames, first + chunk_frames);
        if (end <= lead) {  // silence before the talker
            EXPECT_FALSE(speech) << lines[i];
            loudest_silence = std::max(loudest_silence, rms);
        } else if (first >= lead + words.size() + 8000) {  // half a second after the last word
            EXPECT_FALSE(speech) << lines[i];
            loudest_silence = std::max(loudest_silence, rms);
        } else if (first >= lead && end <= lead + words.size() && power(std::vector<double>(
                       source.begin() + margin + first, source.begin() + margin + end)) > 1e-4) {
            ++talker_chunks, talker_speech += speech ? 1 : 0;
            quietest_talk = std::min(quietest_talk, rms);
        }
        if (speech && !line["low_confidence"].get<bool>()) {
            ++unflagged;
            EXPECT_NEAR(line["angle_degrees"].get<double>(), 22.02, 0.005) << lines[i];
        }
    }
    EXPECT_GE(talker_chunks, 20);
    EXPECT_GE(talker_speech, talker_chunks * 8 / 10) << talker_speech << " of " << talker_chunks;
    EXPECT_GT(unflagged, talker_chunks / 2);
    EXPECT_GT(quietest_talk, 3 * loudest_silence);

    // A FIFO waits for its reader once the rest is done, with the log out for all to see meanwhile.
    const std::string fifo = dir.file("lines.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const pid_t pid = spawn({VOCRIN_BIN, "--log", "", "--input-wav", dir.file("scene.wav"), "--beamformed",
                             dir.file("beam.wav"), "--event", dir.file("event.json"), "--live-chunk-frames", "500",
                             "--directions-out", fifo},
                            {}, dir.file("fifo.out"), dir.file("fifo.err"));
    EXPECT_TRUE(wait_until([&] { return read_file(dir.file("fifo.out")).find("event_json: ") != std::string::npos; }, 30));
    EXPECT_EQ(read_file(dir.file("fifo.out")).find("directions_out: "), std::string::npos);
    const pid_t reader = spawn({"cat", fifo}, {}, dir.file("heard.jsonl"), dir.file("cat.err"));
    ASSERT_TRUE(exited_with(wait_for_exit(pid, 60), 0));
    ASSERT_TRUE(exited_with(wait_for_exit(reader, 30), 0));
    EXPECT_EQ(read_file(dir.file("heard.jsonl")), read_file(lines_path));

    // A run that fails before its lines leaves no file behind.
    const ProgramRun failed = run_vocrin(dir, {"--input-wav", dir.file("missing.wav"), "--directions-out",
                                               dir.file("none.jsonl")});
    EXPECT_TRUE(exited_with(failed.status, 20));
    EXPECT_FALSE(file_exists(dir.file("none.jsonl")));
}

// vocrin's command line end to end: the built program, its streams, its log file and its status.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "voice_programs.h"
#include "wav_bytes.h"

using namespace voicetest;

namespace {

const std::string kBin = VOCRIN_BIN;

const std::string kStartup =
    "Vocrin v1.4.0 capture/live-global-mic/input-gain/direction/beamforming/event tool\n"
    "scope: Lumivar only; no Imbra integration; no system audio configuration changes\n";

std::string usage() {
    return "Usage: " + kBin +
           " [options]\n"
           "  --duration N       Capture duration in seconds. Default: 5.\n"
           "  --device NAME      ALSA capture device. Default: hw:1,0.\n"
           "  --output PATH      Raw 4-channel WAV output. Default: build/vocrin_raw.wav.\n"
           "  --beamformed PATH  Beamformed mono WAV output. Default: build/vocrin_beamformed.wav.\n"
           "  --event PATH       JSON event manifest output. Default: build/vocrin_event.json.\n"
           "  --log PATH         Text log output. Default: build/vocrin.log.\n"
           "  --input-gain-db DB Apply processing gain after raw capture. Default: 0.0 dB.\n"
           "  --live             Stream processed mono s16le PCM for a virtual microphone.\n"
           "  --pcm-output PATH  Live PCM output path or FIFO. Default: /tmp/vocrin-beamformed-mic.pcm.\n"
           "  --live-duration N  Live duration in seconds; 0 means continuous. Default: 0.\n"
           "  --live-chunk-frames N Frames per live processing chunk. Default: 1024.\n"
           "  --input-wav PATH   Analyze an existing raw 4-channel WAV instead of capturing.\n"
           "  --skip-capture     Analyze --output PATH without running arecord.\n";
}

// Each run gets a fresh working directory with a "build" directory, as the defaults expect,
// and a HOME of its own so no user ALSA configuration leaks in.
struct Sandbox {
    TempDir dir;
    Sandbox() { std::filesystem::create_directory(dir.file("build")); }
    RunResult vocrin(std::vector<std::string> args) const {
        args.insert(args.begin(), kBin);
        return run(args, dir.path);
    }
    std::string file(const std::string &name) const { return dir.file(name); }
    bool exists(const std::string &name) const { return std::filesystem::exists(dir.file(name)); }
};

std::string make_wav(const Sandbox &box, const std::string &name, const std::string &rate_and_channels,
                     const std::string &encoding, double seconds) {
    const std::string path = box.file(name);
    const int rc = shell("sox -R " + rate_and_channels + " -n " + encoding + " " + quote(path) + " synth " +
                         std::to_string(seconds) + " sine 300 vol 0.5");
    EXPECT_EQ(rc, 0);
    return path;
}

// ---- rejected command lines and help ----

TEST(CommandLine, HelpPrintsUsageAndStopsEvenAfterOtherOptions) {
    Sandbox box;
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"--duration", "5", "--help", "--bogus"}, {"--live", "-h", "--duration", "0"}}) {
        const RunResult r = box.vocrin(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, usage());
        EXPECT_EQ(r.err, "");
    }
    EXPECT_FALSE(box.exists("build/vocrin.log"));
}

TEST(CommandLine, RejectedArgumentsGiveTheirMessageThenUsageAndStatus2) {
    Sandbox box;
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string gain = "--input-gain-db must be finite and between -60 and +36 dB\n";
    const std::string mics =
        "--mic-positions must be four finite positions in metres, strictly increasing or decreasing, 0.01 to 5 m "
        "from first to last\n";
    const std::string angle = "--beam-angle must be a number of degrees from -90 to 90\n";
    const std::string denoise = "--denoise must be one of low moderate high very-high\n";
    const std::vector<Case> cases = {
        {{"--bogus", "--help"}, "Unknown argument: --bogus\n"},
        {{"--duration", "3", "--log"}, "--log requires a value\n"},
        {{"--duration", "0"}, ""},
        {{"--duration", "abc"}, ""},
        {{"--live-duration", "99999999999"}, ""},
        {{"--live-chunk-frames", "16001"}, ""},
        {{"--input-gain-db", "36.0001"}, gain},
        {{"--input-gain-db", "loud"}, gain},
        {{"--mic-positions"}, "--mic-positions requires a value\n"},
        {{"--mic-positions", "-0.113,0.036,0.113"}, mics},
        {{"--mic-positions", "-0.113,0.036,0.076,0.113,0.2"}, mics},
        {{"--mic-positions", "-0.113,0.076,0.036,0.113"}, mics},
        {{"--mic-positions", "0,0.036,0.036,0.113"}, mics},
        {{"--mic-positions", "0,0.003,0.006,0.009"}, mics},
        {{"--mic-positions", "-0.113,0.036,0.076,nan"}, mics},
        {{"--mic-positions", "-0.113,0.036,0.076,0.113m"}, mics},
        {{"--mic-positions", "-0.113,,0.076,0.113"}, mics},
        {{"--mic-positions", "-1e308,-1e307,1e307,1e308"}, mics},  // the span overflows
        {{"--mic-positions", "0,1,2,5.001"}, mics},
        {{"--mic-positions", "-0.113,0.036, ,0.113"}, mics},
        {{"--mic-positions", "-0.113,0.036,0.076,0.113", "--beam-angle"}, "--beam-angle requires a value\n"},
        {{"--mic-positions", "-0.113,0.036,0.076,0.113", "--beam-angle", "90.5"}, angle},
        {{"--mic-positions", "-0.113,0.036,0.076,0.113", "--beam-angle", "-91"}, angle},
        {{"--mic-positions", "-0.113,0.036,0.076,0.113", "--beam-angle", "nan"}, angle},
        {{"--mic-positions", "-0.113,0.036,0.076,0.113", "--beam-angle", "40deg"}, angle},
        {{"--mic-positions", "-0.113,0.036,0.076,0.113", "--beam-angle", ""}, angle},
        {{"--beam-angle", "40"}, "--beam-angle needs --mic-positions\n"},
        {{"--denoise", "max"}, denoise},
        {{"--denoise", "High"}, denoise},
        {{"--denoise", ""}, denoise},
        {{"--agc", "--denoise"}, "--denoise requires a value\n"},
        {{"--directions-out", box.file("build")},
         "--directions-out cannot be written: " + box.file("build") + ": Is a directory\n"},
        {{"--live", "--directions-out", box.file("missing/lines.jsonl")},
         "--directions-out cannot be written: " + box.file("missing/lines.jsonl") + ": No such file or directory\n"},
    };
    for (const Case &c : cases) {
        const RunResult r = box.vocrin(c.args);
        EXPECT_EQ(r.status, 2) << c.args.back();
        EXPECT_EQ(r.err, c.err) << c.args.back();
        EXPECT_EQ(r.out, usage()) << c.args.back();
    }
    EXPECT_FALSE(box.exists("build/vocrin.log"));
}

TEST(CommandLine, RejectedRunLeavesAnExistingLogAlone) {
    Sandbox box;
    write_file(box.file("build/vocrin.log"), "previous run\n");
    const RunResult r = box.vocrin({"--live-chunk-frames", "16001"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(read_file(box.file("build/vocrin.log")), "previous run\n");
}

// Compared as files, not as spellings: a longer path, a hard link, a file not there yet.
TEST(CommandLine, TwoOptionsNamingOneFileAreRefusedBeforeAnythingIsWritten) {
    Sandbox box;
    const std::string take = make_wav(box, "take.wav", "-r 16000 -c 4", "-t wavpcm -b 32 -e signed-integer", 0.2);
    const std::string take_bytes = read_file(take);
    write_file(box.file("build/vocrin.log"), "previous run\n");
    write_file(box.file("beam.wav"), "previous beam");
    ASSERT_EQ(::link(box.file("beam.wav").c_str(), box.file("beam-link.json").c_str()), 0);
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--input-wav", "take.wav", "--beamformed", "./build/../take.wav"},
         "--beamformed must not name the same file as --input-wav\n"},
        {{"--device", "hw:9,0", "--output", "raw.wav", "--beamformed", "raw.wav"},
         "--beamformed must not name the same file as --output\n"},
        {{"--input-wav", "take.wav", "--log", box.file("take.wav")}, "--log must not name the same file as --input-wav\n"},
        {{"--input-wav", "take.wav", "--event", "build/vocrin.log"}, "--log must not name the same file as --event\n"},
        {{"--input-wav", "take.wav", "--beamformed", "beam.wav", "--event", "beam-link.json"},
         "--event must not name the same file as --beamformed\n"},
        {{"--live", "--pcm-output", "build/vocrin.log"}, "--log must not name the same file as --pcm-output\n"},
        {{"--live", "--directions-out", "./build/vocrin.log"}, "--directions-out must not name the same file as --log\n"},
        {{"--input-wav", "take.wav", "--directions-out", "take.wav"},
         "--directions-out must not name the same file as --input-wav\n"},
    };
    for (const Case &c : cases) {
        const RunResult r = box.vocrin(c.args);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, usage()) << c.err;
    }
    EXPECT_EQ(read_file(take), take_bytes);
    EXPECT_EQ(read_file(box.file("build/vocrin.log")), "previous run\n");
    EXPECT_EQ(read_file(box.file("beam.wav")), "previous beam");
    EXPECT_FALSE(box.exists("raw.wav"));
    // An empty log names no file, and a character device takes every writer.
    const RunResult r = box.vocrin({"--input-wav", "take.wav", "--log", "", "--beamformed", "/dev/null", "--event",
                                    "/dev/null"});
    EXPECT_EQ(r.status, 0) << r.err;
}

// A symbolic link counts as the file it names, also before that file exists (a dangling link) and
// through a chain of links: otherwise the manifest would overwrite the beam through the link.
TEST(CommandLine, LinksToAFileNotWrittenYetAreThatFile) {
    Sandbox box;
    make_wav(box, "take.wav", "-r 16000 -c 4", "-t wavpcm -b 32 -e signed-integer", 0.2);
    ASSERT_EQ(::symlink("beam.wav", box.file("event-link.json").c_str()), 0);
    ASSERT_EQ(::symlink(box.file("event-link.json").c_str(), box.file("chain.json").c_str()), 0);
    std::filesystem::create_directory(box.file("out"));
    ASSERT_EQ(::symlink("../build/live.log", box.file("out/log-link").c_str()), 0);
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"--input-wav", "take.wav", "--beamformed", "beam.wav", "--event", "event-link.json"},
         "--event must not name the same file as --beamformed\n"},
        {{"--input-wav", "take.wav", "--beamformed", "chain.json", "--event", box.file("beam.wav")},
         "--event must not name the same file as --beamformed\n"},
        {{"--live", "--pcm-output", "build/live.log", "--log", "out/log-link"},
         "--log must not name the same file as --pcm-output\n"},
    };
    for (const Case &c : cases) {
        const RunResult r = box.vocrin(c.args);
        EXPECT_EQ(r.status, 2) << c.err;
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_FALSE(box.exists("beam.wav"));
    EXPECT_FALSE(box.exists("build/live.log"));
    // A dangling link to a file of its own is written through, and the run is clean.
    const RunResult r = box.vocrin({"--input-wav", "take.wav", "--beamformed", "other.wav", "--event", "chain.json"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(read_file(box.file("beam.wav")).substr(0, 1), "{");
    EXPECT_EQ(read_file(box.file("other.wav")).substr(0, 4), "RIFF");
}

// ---- start-up lines, run log and the error guard ----

TEST(RunLog, RuntimeErrorIsLoggedAndEndsWithStatus20) {
    Sandbox box;
    write_file(box.file("build/vocrin.log"), std::string(5000, 'o'));  // truncated, not appended to
    const RunResult r = box.vocrin({"--device", "plughw:3,0", "--input-wav", "missing take.wav"});
    const std::string expected = kStartup +
                                 "device: plughw:3,0\n"
                                 "capture skipped; analyzing input WAV: missing take.wav\n"
                                 "error: failed to open WAV: missing take.wav\n";
    EXPECT_EQ(r.status, 20);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(box.file("build/vocrin.log")), expected);
    EXPECT_FALSE(box.exists("build/vocrin_beamformed.wav"));
    EXPECT_FALSE(box.exists("build/vocrin_event.json"));
}

TEST(RunLog, EmptyOrUnopenableLogPathRunsOnTheConsoleOnly) {
    Sandbox box;
    const std::string expected = kStartup +
                                 "device: hw:1,0\n"
                                 "capture skipped; analyzing output WAV path: build/vocrin_raw.wav\n"
                                 "error: failed to open WAV: build/vocrin_raw.wav\n";
    for (const std::string &log : {std::string(""), std::string("no/such/dir/run.log")}) {
        const RunResult r = box.vocrin({"--log", log, "--skip-capture"});
        EXPECT_EQ(r.status, 20) << log;
        EXPECT_EQ(r.out, expected) << log;
        EXPECT_EQ(r.err, "") << log;
    }
    EXPECT_FALSE(box.exists("build/vocrin.log"));
    EXPECT_FALSE(box.exists("no"));
}

TEST(RunLog, ReaderMessagesReachTheLog) {
    Sandbox box;
    const std::string hostile = box.file("hostile.wav");
    std::string data = "data";
    put32(data, 0xFFFFFFF0u);
    data += std::string(16, '\x7f');
    write_file(hostile, riff(fmt_chunk(1, 4, 16000, 32) + data));
    const std::string floating = make_wav(box, "float.wav", "-r 16000 -c 4", "-b 32 -e floating-point", 0.05);

    struct Case {
        std::string path;
        std::string error;
    };
    for (const Case &c : {Case{hostile, "truncated WAV chunk: data"},
                          Case{floating, "unsupported WAV encoding; expected PCM"},
                          Case{box.dir.path.string(), "failed to open WAV: " + box.dir.path.string()}}) {
        const RunResult r = box.vocrin({"--log", "run.log", "--input-wav", c.path});
        EXPECT_EQ(r.status, 20) << c.path;
        const std::vector<std::string> lines = split_lines(r.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "error: " + c.error);
        EXPECT_EQ(read_file(box.file("run.log")), r.out);
    }
}

TEST(RunLog, AudioReportFollowsTheCaptureLine) {
    Sandbox box;
    const std::string wav = make_wav(box, "stereo.wav", "-r 44100 -c 2", "-b 16 -e signed-integer", 0.5);
    const RunResult r = box.vocrin({"--input-gain-db", "-3.5", "--input-wav", wav, "--event", "ev.json"});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::vector<std::string> lines = split_lines(r.out);
    ASSERT_GE(lines.size(), 9u);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 3, lines.begin() + 9),
              (std::vector<std::string>{
                  "capture skipped; analyzing input WAV: " + wav, "sample_rate: 44100", "channels: 2",
                  "duration_seconds: 0.500000", "input_gain_db: -3.500000",
                  "raw audio is preserved unchanged; gain is applied only to processed analysis/beamforming samples"}));
    EXPECT_EQ(lines.back(), "clean exit");
    EXPECT_EQ(read_file(box.file("build/vocrin.log")), r.out);
    // The input is only ever read.
    EXPECT_EQ(shell("test \"$(soxi -s " + quote(wav) + ")\" = 22050"), 0);
}

TEST(RunLog, FullDiskForTheBeamIsAnErrorNotSuccess) {
    Sandbox box;
    const std::string wav = make_wav(box, "array.wav", "-r 16000 -c 4", "-t wavpcm -b 32 -e signed-integer", 0.5);
    const RunResult r = box.vocrin({"--input-wav", wav, "--beamformed", "/dev/full"});
    EXPECT_EQ(r.status, 20);
    const std::vector<std::string> lines = split_lines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "error: failed to write WAV: /dev/full");
    EXPECT_EQ(r.out.find("clean exit"), std::string::npos);
    EXPECT_FALSE(box.exists("build/vocrin_event.json"));
}

TEST(RunLog, ALogFileThatLosesLinesIsNamedOnStandardErrorAndTheStatusStands) {
    Sandbox box;
    const std::string wav = make_wav(box, "array.wav", "-r 16000 -c 4", "-t wavpcm -b 32 -e signed-integer", 0.2);
    const RunResult clean = box.vocrin({"--input-wav", wav, "--log", "/dev/full"});
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(split_lines(clean.out).back(), "clean exit");
    EXPECT_EQ(clean.err, "failed to write log: /dev/full\n");
    const RunResult failed = box.vocrin({"--input-wav", "missing.wav", "--log", "/dev/full"});
    EXPECT_EQ(failed.status, 20);
    EXPECT_EQ(failed.err, "failed to write log: /dev/full\n");
}

// A device name, a path and a chunk identifier that try to forge log lines: every line stays one
// line, control characters escaped; backslashes and UTF-8 stay as they are.
TEST(RunLog, ControlCharactersFromPathsDevicesAndFilesAreEscaped) {
    Sandbox box;
    std::string odd_chunk = "d\x01\n\x7f";
    put32(odd_chunk, 0xFFFFFFF0u);
    write_file(box.file("x\nerror: injected.wav"), riff(fmt_chunk(1, 4, 16000, 32) + odd_chunk));
    const RunResult r = box.vocrin({"--device", "hw:1,0\r\tc\xC3\xA4rd\\", "--input-wav", "x\nerror: injected.wav"});
    EXPECT_EQ(r.status, 20);
    EXPECT_EQ(r.out, kStartup + "device: hw:1,0\\r\\tc\xC3\xA4rd\\\n"
                                "capture skipped; analyzing input WAV: x\\nerror: injected.wav\n"
                                "error: truncated WAV chunk: d\\x01\\n\\x7F\n");
    EXPECT_EQ(read_file(box.file("build/vocrin.log")), r.out);
}

TEST(RunLog, BundledRecordingRunsCleanAndLogEqualsConsole) {
    Sandbox box;
    ASSERT_EQ(shell("bash " LUMIVAR_SOURCE_DIR "/scripts/make_demo_recording.sh " + quote(box.file("demo"))), 0);
    const std::string wav = box.file("demo/kinect_array_speech.wav");
    const RunResult r = box.vocrin({"--input-wav", wav});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(box.file("build/vocrin.log")), r.out);
    const std::vector<std::string> lines = split_lines(r.out);
    ASSERT_GE(lines.size(), 9u);
    EXPECT_EQ(lines[4], "sample_rate: 16000");
    EXPECT_EQ(lines[5], "channels: 4");
    EXPECT_EQ(lines[6].substr(0, 20), "duration_seconds: 7.");
    EXPECT_EQ(r.out.find("warning: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\ndirection_lag_samples_ch0_to_ch3: 3\n"), std::string::npos) << r.out;
    EXPECT_EQ(lines.back(), "clean exit");
    EXPECT_TRUE(box.exists("build/vocrin_beamformed.wav"));
    EXPECT_TRUE(box.exists("build/vocrin_event.json"));
}

TEST(RunLog, LiveModeWritesTheStartUpLinesFirstAndSkipsTheBatch) {
    Sandbox box;
    // No sound card here: arecord fails at once and the stream ends with no chunk.
    const RunResult r =
        box.vocrin({"--input-wav", "x.wav", "--device", "hw:9,0", "--live", "--pcm-output", box.file("out.pcm")});
    const std::string head = kStartup + "device: hw:9,0\n";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_EQ(r.out.find("capture skipped"), std::string::npos);
    EXPECT_EQ(read_file(box.file("build/vocrin.log")), r.out);
    EXPECT_FALSE(box.exists("build/vocrin_event.json"));
    EXPECT_EQ(r.status, 32);
}

}  // namespace

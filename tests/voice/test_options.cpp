// Command-line parsing, usage text, run log and number formatting of vocrin.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "options.h"
#include "v1_util.h"

namespace {

struct Parsed {
    bool ok = false;
    Options options;
    std::string err;
};

Parsed parse(std::vector<std::string> words) {
    words.insert(words.begin(), "vocrin");
    std::vector<char *> argv;
    for (auto &w : words) {
        argv.push_back(&w[0]);
    }
    argv.push_back(nullptr);
    Parsed parsed;
    testing::internal::CaptureStderr();
    parsed.ok = parse_args(static_cast<int>(words.size()), argv.data(), parsed.options);
    parsed.err = testing::internal::GetCapturedStderr();
    return parsed;
}

const char *const kGainMessage = "--input-gain-db must be finite and between -60 and +36 dB\n";

TEST(ParseArgs, NoArgumentsKeepsEveryDefault) {
    const Parsed p = parse({});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.duration_seconds, 5);
    EXPECT_EQ(p.options.device, "hw:1,0");
    EXPECT_EQ(p.options.output_path, "build/vocrin_raw.wav");
    EXPECT_EQ(p.options.beamformed_path, "build/vocrin_beamformed.wav");
    EXPECT_EQ(p.options.event_path, "build/vocrin_event.json");
    EXPECT_EQ(p.options.log_path, "build/vocrin.log");
    EXPECT_EQ(p.options.input_wav, "");
    EXPECT_EQ(p.options.input_gain_db, 0.0);
    EXPECT_FALSE(p.options.skip_capture);
    EXPECT_FALSE(p.options.live);
    EXPECT_EQ(p.options.live_duration_seconds, 0);
    EXPECT_EQ(p.options.live_chunk_frames, 1024);
    EXPECT_EQ(p.options.pcm_output, "/tmp/vocrin-beamformed-mic.pcm");
    EXPECT_EQ(p.err, "");
}

TEST(ParseArgs, StringOptionsStoreValuesVerbatim) {
    const Parsed p = parse({"--device", "plughw:2,0", "--output", "a b.wav", "--beamformed", "", "--event", "it's.json",
                            "--log", "", "--pcm-output", "/tmp/fifo", "--live"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.device, "plughw:2,0");
    EXPECT_EQ(p.options.output_path, "a b.wav");
    EXPECT_EQ(p.options.beamformed_path, "");
    EXPECT_EQ(p.options.event_path, "it's.json");
    EXPECT_EQ(p.options.log_path, "");
    EXPECT_EQ(p.options.pcm_output, "/tmp/fifo");
    EXPECT_TRUE(p.options.live);
    EXPECT_FALSE(p.options.skip_capture);
}

TEST(ParseArgs, ValueIsTakenEvenWhenItLooksLikeAnOption) {
    const Parsed p = parse({"--device", "--live", "--output", "--help"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.device, "--live");
    EXPECT_EQ(p.options.output_path, "--help");
    EXPECT_FALSE(p.options.live);
}

TEST(ParseArgs, InputWavAlsoSkipsCapture) {
    Parsed p = parse({"--input-wav", "take.wav"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.input_wav, "take.wav");
    EXPECT_TRUE(p.options.skip_capture);

    p = parse({"--skip-capture"});
    ASSERT_TRUE(p.ok);
    EXPECT_TRUE(p.options.skip_capture);
    EXPECT_EQ(p.options.input_wav, "");
}

TEST(ParseArgs, RepeatedOptionKeepsLastValue) {
    const Parsed p = parse({"--duration", "3", "--device", "a", "--duration", "9", "--device", "b"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.duration_seconds, 9);
    EXPECT_EQ(p.options.device, "b");
}

TEST(ParseArgs, EveryValueOptionWithoutValueNamesItself) {
    for (const char *name : {"--duration", "--device", "--output", "--beamformed", "--event", "--log",
                             "--input-gain-db", "--pcm-output", "--live-duration", "--live-chunk-frames",
                             "--input-wav"}) {
        const Parsed p = parse({"--live", name});
        EXPECT_FALSE(p.ok) << name;
        EXPECT_EQ(p.err, std::string(name) + " requires a value\n");
    }
}

TEST(ParseArgs, UnknownWordsAreRejectedByName) {
    for (const char *word : {"--Duration", "--duration=5", "-d", "--dur", "extra", "", "-help"}) {
        const Parsed p = parse({"--live", word, "--duration", "0"});
        EXPECT_FALSE(p.ok) << word;
        EXPECT_EQ(p.err, std::string("Unknown argument: ") + word + "\n");
    }
}

TEST(ParseArgs, IntegersReadLikeStoi) {
    Parsed p = parse({"--duration", "7s", "--live-duration", "  +12", "--live-chunk-frames", "512frames"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.duration_seconds, 7);
    EXPECT_EQ(p.options.live_duration_seconds, 12);
    EXPECT_EQ(p.options.live_chunk_frames, 512);

    p = parse({"--duration", "2147483647", "--live-duration", "0"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.duration_seconds, 2147483647);
    EXPECT_EQ(p.options.live_duration_seconds, 0);
}

TEST(ParseArgs, IntegerRangesRejectSilently) {
    const std::vector<std::vector<std::string>> rejected = {
        {"--duration", "0"},          {"--duration", "-3"},          {"--live-duration", "-1"},
        {"--live-chunk-frames", "127"}, {"--live-chunk-frames", "16001"}, {"--live-chunk-frames", "-5"}};
    for (const auto &args : rejected) {
        const Parsed p = parse(args);
        EXPECT_FALSE(p.ok) << args[0] << " " << args[1];
        EXPECT_EQ(p.err, "") << args[0] << " " << args[1];
    }
    for (const char *edge : {"128", "16000"}) {
        const Parsed p = parse({"--live-chunk-frames", edge});
        EXPECT_TRUE(p.ok) << edge;
        EXPECT_EQ(p.options.live_chunk_frames, std::stoi(edge));
    }
}

TEST(ParseArgs, MalformedOrOversizedIntegersAreRejectedWithoutThrowing) {
    for (const char *value : {"abc", "", " ", "s5", "2147483648", "-2147483649", "99999999999999999999999"}) {
        for (const char *name : {"--duration", "--live-duration", "--live-chunk-frames"}) {
            Parsed p;
            EXPECT_NO_THROW(p = parse({name, value})) << name << " " << value;
            EXPECT_FALSE(p.ok) << name << " '" << value << "'";
            EXPECT_EQ(p.err, "");
        }
    }
}

TEST(ParseArgs, GainBoundsAreInclusive) {
    for (const auto &accepted : std::vector<std::pair<std::string, double>>{
             {"36", 36.0}, {"-60", -60.0}, {"1.5e1", 15.0}, {"-6.5", -6.5}, {"3dB", 3.0}, {"0", 0.0}}) {
        const Parsed p = parse({"--input-gain-db", accepted.first});
        EXPECT_TRUE(p.ok) << accepted.first;
        EXPECT_EQ(p.options.input_gain_db, accepted.second);
        EXPECT_EQ(p.err, "");
    }
}

TEST(ParseArgs, GainOutsideRangeOrUnconvertibleGetsTheGainMessage) {
    for (const char *value : {"36.0001", "-60.5", "inf", "-inf", "nan", "1e999", "abc", "", "dB3"}) {
        Parsed p;
        EXPECT_NO_THROW(p = parse({"--input-gain-db", value})) << value;
        EXPECT_FALSE(p.ok) << value;
        EXPECT_EQ(p.err, kGainMessage) << value;
    }
}

TEST(ParseArgs, StopsAtFirstRejectedArgument) {
    const Parsed p = parse({"--bogus", "--input-gain-db", "99"});
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.err, "Unknown argument: --bogus\n");
}

TEST(Usage, ListsEveryOptionWithTheProgramNameAsGiven) {
    testing::internal::CaptureStdout();
    print_usage("./bin/my vocrin");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Usage: ./bin/my vocrin [options]\n"
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
              "  --skip-capture     Analyze --output PATH without running arecord.\n");
}

TEST(Logger, WritesEachLineToConsoleAndOpenFile) {
    v1::TempDir dir;
    const std::string path = dir.file("run.log");
    testing::internal::CaptureStdout();
    {
        Logger logger;
        logger.file.open(path, std::ios::out | std::ios::trunc);
        logger.line("device: hw:1,0");
        logger.line("");
        logger.line("warning: x");
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "device: hw:1,0\n\nwarning: x\n");
    EXPECT_EQ(v1::read_bytes(path), "device: hw:1,0\n\nwarning: x\n");
}

TEST(Logger, WithoutFileWritesConsoleOnly) {
    testing::internal::CaptureStdout();
    Logger logger;
    logger.line("clean exit");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "clean exit\n");
    EXPECT_FALSE(logger.file.is_open());
}

TEST(FormatFixed, FollowsPrintfFixedNotation) {
    EXPECT_EQ(format_fixed(0.0), "0.000000");
    EXPECT_EQ(format_fixed(5.0), "5.000000");
    EXPECT_EQ(format_fixed(7.2470625), "7.247063");
    EXPECT_EQ(format_fixed(-12.5, 1), "-12.5");
    EXPECT_EQ(format_fixed(12.0, 1), "12.0");
    EXPECT_EQ(format_fixed(0.0123456789, 8), "0.01234568");
    EXPECT_EQ(format_fixed(1e300).size(), 301u + 7u);  // no truncation of very large values
}

}  // namespace

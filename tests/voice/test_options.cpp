// Command-line parsing, run log and number formatting of vocrin (usage text: see test_cli).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"
#include "run_log.h"
#include "voice_programs.h"

using namespace voicetest;

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

TEST(ParseArgs, StringOptionsTakeTheNextWordVerbatimAndTheLastOneWins) {
    const Parsed p = parse({"--device", "--live", "--output", "a b.wav", "--beamformed", "", "--event", "it's.json",
                            "--log", "", "--pcm-output", "/tmp/fifo", "--device", "plughw:2,0", "--input-wav", "t.wav"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.device, "plughw:2,0");
    EXPECT_FALSE(p.options.live);  // "--live" above was --device's value
    EXPECT_EQ(p.options.output_path, "a b.wav");
    EXPECT_EQ(p.options.beamformed_path, "");
    EXPECT_EQ(p.options.event_path, "it's.json");
    EXPECT_EQ(p.options.log_path, "");
    EXPECT_EQ(p.options.pcm_output, "/tmp/fifo");
    EXPECT_EQ(p.options.input_wav, "t.wav");
    EXPECT_TRUE(p.options.skip_capture);  // implied by --input-wav

    const Parsed flags = parse({"--skip-capture", "--live"});
    ASSERT_TRUE(flags.ok);
    EXPECT_TRUE(flags.options.skip_capture && flags.options.live);
    EXPECT_EQ(flags.options.input_wav, "");
}

TEST(ParseArgs, EveryValueOptionWithoutValueNamesItself) {
    for (const char *name : {"--duration", "--device", "--output", "--beamformed", "--event", "--log",
                             "--input-gain-db", "--pcm-output", "--live-duration", "--live-chunk-frames",
                             "--input-wav"}) {
        const Parsed p = parse({"--live", name});
        EXPECT_FALSE(p.ok) << name;
        EXPECT_EQ(p.err, std::string(name) + " requires a value\n");
    }
    const Parsed p = parse({"--duration=5", "--bogus"});
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.err, "Unknown argument: --duration=5\n");  // the first rejected word ends parsing
}

TEST(ParseArgs, IntegersReadLikeStoiWithinTheirRanges) {
    Parsed p = parse({"--duration", "7s", "--live-duration", "  +12", "--live-chunk-frames", "128frames"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.duration_seconds, 7);
    EXPECT_EQ(p.options.live_duration_seconds, 12);
    EXPECT_EQ(p.options.live_chunk_frames, 128);

    p = parse({"--duration", "2147483647", "--live-duration", "0", "--live-chunk-frames", "16000"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.duration_seconds, 2147483647);
    EXPECT_EQ(p.options.live_chunk_frames, 16000);
}

TEST(ParseArgs, BadIntegersAreRejectedSilentlyWithoutThrowing) {
    const std::vector<std::pair<std::string, std::string>> rejected = {
        {"--duration", "0"}, {"--duration", "-3"}, {"--live-duration", "-1"}, {"--live-chunk-frames", "127"},
        {"--live-chunk-frames", "16001"}, {"--live-chunk-frames", "-5"}};
    for (const auto &r : rejected) {
        const Parsed p = parse({r.first, r.second});
        EXPECT_FALSE(p.ok) << r.first << " " << r.second;
        EXPECT_EQ(p.err, "");
    }
    for (const char *value : {"abc", "", " ", "s5", "2147483648", "-2147483649", "99999999999999999999999"}) {
        for (const char *name : {"--duration", "--live-duration", "--live-chunk-frames"}) {
            Parsed p;
            EXPECT_NO_THROW(p = parse({name, value})) << name << " " << value;
            EXPECT_FALSE(p.ok) << name << " '" << value << "'";
            EXPECT_EQ(p.err, "");
        }
    }
}

TEST(ParseArgs, GainIsFiniteWithinMinus60AndPlus36Inclusive) {
    for (const auto &accepted : std::vector<std::pair<std::string, double>>{
             {"36", 36.0}, {"-60", -60.0}, {"1.5e1", 15.0}, {"-6.5", -6.5}, {"3dB", 3.0}}) {
        const Parsed p = parse({"--input-gain-db", accepted.first});
        EXPECT_TRUE(p.ok) << accepted.first;
        EXPECT_EQ(p.options.input_gain_db, accepted.second);
    }
    for (const char *value : {"36.0001", "-60.5", "inf", "-inf", "nan", "1e999", "abc", "", "dB3"}) {
        Parsed p;
        EXPECT_NO_THROW(p = parse({"--input-gain-db", value})) << value;
        EXPECT_FALSE(p.ok) << value;
        EXPECT_EQ(p.err, "--input-gain-db must be finite and between -60 and +36 dB\n") << value;
    }
}

TEST(ParseArgs, MicPositionsTakeBlanksAroundEachNumberAndASpanUpTo5Metres) {
    const std::vector<double> kinect = {-0.113, 0.036, 0.076, 0.113};
    for (const char *text : {"-0.113,0.036,0.076,0.113", " -0.113,0.036,0.076,0.113", "-0.113,0.036,0.076,0.113 ",
                             " -0.113 , 0.036,\t0.076 ,0.113  "}) {
        const Parsed p = parse({"--mic-positions", text});
        EXPECT_TRUE(p.ok) << "'" << text << "'";
        EXPECT_EQ(p.options.mic_positions, kinect) << "'" << text << "'";
    }
    // The span's bounds are inclusive: 5 m from first to last, from any origin, in either order.
    EXPECT_TRUE(parse({"--mic-positions", "1000,1001,1002,1005"}).ok);
    EXPECT_TRUE(parse({"--mic-positions", "5,2,1,0"}).ok);
    EXPECT_FALSE(parse({"--mic-positions", "-1e308,-1e307,1e307,1e308"}).ok);
    EXPECT_FALSE(parse({"--mic-positions", "-2.6,0,1,2.6"}).ok);
}

TEST(Logger, WritesEachLineToConsoleAndOpenFile) {
    TempDir dir;
    testing::internal::CaptureStdout();
    {
        Logger with_file;
        with_file.file.open(dir.file("run.log"));
        with_file.line("device: hw:1,0");
        with_file.line("");
        Logger console_only;
        console_only.line("clean exit");
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "device: hw:1,0\n\nclean exit\n");
    EXPECT_EQ(read_file(dir.file("run.log")), "device: hw:1,0\n\n");
}

TEST(FormatFixed, FollowsPrintfFixedNotation) {
    EXPECT_EQ(format_fixed(0.0), "0.000000");
    EXPECT_EQ(format_fixed(7.2470625), "7.247063");
    EXPECT_EQ(format_fixed(12.0, 1), "12.0");
    EXPECT_EQ(format_fixed(0.0123456789, 8), "0.01234568");
    EXPECT_EQ(format_fixed(1e300).size(), 308u);  // no truncation of very large values
    // Longer than the first buffer: written again in one of the right size, without its terminator.
    const std::string longest = format_fixed(1e308, 250);
    ASSERT_EQ(longest.size(), 560u);
    EXPECT_EQ(longest.substr(0, 5), "10000");
    EXPECT_EQ(longest.substr(309), "." + std::string(250, '0'));
}

}  // namespace

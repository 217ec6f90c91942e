// Command line of lumivar_face: values, ranges, cross-checks, diagnostics; number format; run log.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/options.h"
#include "core/run_log.h"
#include "face_files.h"

namespace {

struct Parsed {
    bool ok = false;
    Options options;
    std::string err;
};

Parsed parse(std::vector<std::string> words) {
    words.insert(words.begin(), "lumivar_face");
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    Parsed result;
    testing::internal::CaptureStderr();
    result.ok = parse_args(static_cast<int>(words.size()), argv.data(), result.options);
    result.err = testing::internal::GetCapturedStderr();
    return result;
}

// Accepted when `ok`; a rejected value is silent on standard error.
void expect_value(const std::string &option, const std::string &value, bool ok) {
    const Parsed p = parse({option, value});
    EXPECT_EQ(p.ok, ok) << option << " " << value;
    if (!ok) {
        EXPECT_EQ(p.err, "") << option << " " << value;
    }
}

TEST(CommandLineValues, EveryOptionReachesItsField) {
    const Parsed p = parse({"--frames", "7", "--samples-dir", "s", "--model", "m.yml", "--labels", "l.txt",
                            "--cascade", "c.xml", "--candidate-threshold", "70.5", "--confirmed-threshold", "50",
                            "--confirm-window", "12", "--confirm-min-hits", "3", "--scale", "0.25",
                            "--scale-factor", "1.3", "--min-neighbors", "0", "--min-face-size", "40",
                            "--quality-min-face-size", "90", "--quality-min-sharpness", "0",
                            "--quality-min-brightness", "-10", "--quality-max-brightness", "200",
                            "--quality-min-contrast", "0", "--calibration-log", "--log-every", "15"});
    ASSERT_TRUE(p.ok) << p.err;
    const Options &o = p.options;
    EXPECT_EQ(o.frames, 7);
    EXPECT_EQ(o.samples_dir, "s");
    EXPECT_EQ(o.model_path, "m.yml");
    EXPECT_EQ(o.labels_path, "l.txt");
    EXPECT_EQ(o.cascade_path, "c.xml");
    EXPECT_EQ(o.candidate_threshold, 70.5);
    EXPECT_EQ(o.confirmed_threshold, 50.0);
    EXPECT_EQ(o.confirm_window, 12);
    EXPECT_EQ(o.confirm_min_hits, 3);
    EXPECT_EQ(o.scale, 0.25);
    EXPECT_EQ(o.scale_factor, 1.3);
    EXPECT_EQ(o.min_neighbors, 0);
    EXPECT_EQ(o.min_face_size, 40);
    EXPECT_EQ(o.quality_min_face_size, 90);
    EXPECT_EQ(o.quality_min_sharpness, 0.0);
    EXPECT_EQ(o.quality_min_brightness, -10.0);
    EXPECT_EQ(o.quality_max_brightness, 200.0);
    EXPECT_EQ(o.quality_min_contrast, 0.0);
    EXPECT_TRUE(o.calibration_log);
    EXPECT_EQ(o.log_every, 15);
}

TEST(CommandLineValues, NumbersAreReadLikeTheStandardConversions) {
    EXPECT_EQ(parse({"--frames", "12abc"}).options.frames, 12);
    EXPECT_EQ(parse({"--frames", "  +8"}).options.frames, 8);
    EXPECT_EQ(parse({"--frames", "3.9"}).options.frames, 3);
    EXPECT_EQ(parse({"--log-every", "2147483647"}).options.log_every, 2147483647);
    EXPECT_EQ(parse({"--candidate-threshold", "65.5xyz"}).options.candidate_threshold, 65.5);
    EXPECT_EQ(parse({"--candidate-threshold", "1e2"}).options.candidate_threshold, 100.0);
    EXPECT_EQ(parse({"--quality-min-brightness", " -5.25"}).options.quality_min_brightness, -5.25);
}

TEST(CommandLineValues, RangesFollowTheTableIncludingTheirEdges) {
    expect_value("--frames", "0", false);
    expect_value("--frames", "1", true);
    expect_value("--scale", "1.5", false);
    expect_value("--scale", "1", true);
    expect_value("--scale", "0", false);
    expect_value("--scale-factor", "1", false);
    expect_value("--scale-factor", "1.01", true);
    expect_value("--min-neighbors", "-1", false);
    expect_value("--min-neighbors", "0", true);
    expect_value("--min-face-size", "0", false);
    expect_value("--quality-min-face-size", "0", false);
    expect_value("--quality-min-contrast", "-0.5", false);
    expect_value("--quality-min-sharpness", "0", true);
    expect_value("--quality-min-sharpness", "-0.1", false);
    expect_value("--quality-min-brightness", "-10", true);
    expect_value("--candidate-threshold", "0", false);
    expect_value("--confirmed-threshold", "-3", false);
    expect_value("--confirm-window", "0", false);
    expect_value("--confirm-min-hits", "0", false);
    expect_value("--log-every", "0", false);
    EXPECT_TRUE(parse({"--quality-min-brightness", "-50", "--quality-max-brightness", "-1"}).ok);
}

// Steps nearer 1 than 1.01 multiply the detector's time and memory without bound; far above 100
// its window size overflows and it never finishes a frame.
TEST(CommandLineValues, ScaleFactorIsLimitedToStepsTheDetectorFinishes) {
    for (const char *accepted : {"1.01", "1.1", "2", "100"}) expect_value("--scale-factor", accepted, true);
    for (const char *rejected : {"1.0000000001", "1.0001", "1.00999", "100.001", "1e8", "1e300"})
        expect_value("--scale-factor", rejected, false);
}

TEST(CommandLineValues, UnusableNumbersAreRejectedNotThrown) {
    for (const char *option : {"--frames", "--confirm-window", "--min-neighbors", "--log-every"}) {
        expect_value(option, "abc", false);
        expect_value(option, "", false);
        expect_value(option, "2147483648", false);
        expect_value(option, "-99999999999", false);
    }
    for (const char *option : {"--candidate-threshold", "--scale", "--quality-min-brightness",
                               "--quality-max-brightness", "--quality-min-contrast"}) {
        expect_value(option, "x1", false);
        expect_value(option, "1e999", false);
        expect_value(option, "nan", false);
        expect_value(option, "inf", false);
    }
    expect_value("--quality-min-brightness", "-inf", false);
}

TEST(CommandLineWalk, ValueOptionsTakeTheNextWordWhateverItIs) {
    const Parsed p = parse({"--model", "--frames"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.model_path, "--frames");
    EXPECT_EQ(p.options.frames, 300);
}

TEST(CommandLineWalk, TheFirstFailureEndsTheWalk) {
    const Parsed missing = parse({"--frames", "5", "--samples-dir"});
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.err, "--samples-dir requires a value\n");

    const Parsed flag = parse({"--calibration-log", "5", "--bogus"});
    EXPECT_FALSE(flag.ok);
    EXPECT_EQ(flag.err, "Unknown argument: 5\n");  // the flag takes no value

    const Parsed range = parse({"--frames", "0", "--nonsense"});
    EXPECT_FALSE(range.ok);
    EXPECT_EQ(range.err, "");  // the later unknown word is never reached
}

TEST(CommandLineWalk, RepeatedOptionsAndTheThresholdAliasKeepTheLastValue) {
    EXPECT_EQ(parse({"--threshold", "70", "--candidate-threshold", "65"}).options.candidate_threshold, 65.0);
    EXPECT_EQ(parse({"--candidate-threshold", "65", "--threshold", "70"}).options.candidate_threshold, 70.0);
    EXPECT_EQ(parse({"--frames", "3", "--frames", "9"}).options.frames, 9);
}

TEST(CommandLineWalk, HelpPrintsUsageAndEndsWithZero) {
    std::vector<std::string> words{"prog-name", "-h", "--frames", "0"};
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    Options options;
    EXPECT_EXIT(parse_args(4, argv.data(), options), testing::ExitedWithCode(0), "");
}

// The messages themselves are checked end to end; here the order and the edges.
TEST(CommandLineCrossChecks, EqualValuesPassAndOnlyTheFirstFailureIsReported) {
    EXPECT_TRUE(parse({"--confirm-window", "5"}).ok);
    EXPECT_FALSE(parse({"--confirm-window", "4"}).ok);
    EXPECT_TRUE(parse({"--candidate-threshold", "55"}).ok);
    EXPECT_FALSE(parse({"--candidate-threshold", "54.999"}).ok);
    EXPECT_TRUE(parse({"--quality-min-brightness", "220"}).ok);
    EXPECT_FALSE(parse({"--quality-min-brightness", "220.001"}).ok);
    // Checked on the final values: a later option can repair an earlier inconsistency.
    EXPECT_TRUE(parse({"--confirm-window", "3", "--confirm-min-hits", "3"}).ok);

    EXPECT_EQ(parse({"--quality-min-brightness", "240", "--candidate-threshold", "50"}).err,
              "--confirmed-threshold must be <= --candidate-threshold because LBPH confidence is lower-is-better\n");
    EXPECT_EQ(parse({"--quality-min-brightness", "240", "--candidate-threshold", "50", "--confirm-window", "1"}).err,
              "--confirm-min-hits must be <= --confirm-window\n");
}

// The command lines other programs recommend are checked by lumivar_face's own reading: the same verdict, and
// the message lumivar_face gives, or one naming the refused value where it prints only its usage.
TEST(CommandLineCrossChecks, ARecommendedCommandIsRefusedExactlyWhenLumivarFaceRefusesIt) {
    const std::vector<std::vector<std::string>> commands = {
        {"--candidate-threshold", "78.14", "--confirmed-threshold", "78.14", "--confirm-window", "4",
         "--confirm-min-hits", "4"},
        {"--candidate-threshold", "78.14", "--confirmed-threshold", "78.15"},
        {"--confirm-window", "3", "--confirm-min-hits", "4"},
        {"--confirm-window", "0", "--confirm-min-hits", "1"},
        {"--confirm-min-hits", "2147483648"},
        {"--confirmed-threshold", "nan"},
        {"--bogus"},
        {"--confirm-window"}};
    for (const std::vector<std::string> &words : commands) {
        const Parsed p = parse(words);
        const std::string why = face_command_refusal(words);
        EXPECT_EQ(why.empty(), p.ok) << words[0] << " " << why;
        if (!p.err.empty()) {
            EXPECT_EQ(why + "\n", p.err);
        }
    }
    EXPECT_EQ(face_command_refusal({"--confirm-window", "0"}), "--confirm-window does not take 0");
}

TEST(NumberFormat, RealsHaveSixDecimalsLikePercentF) {
    EXPECT_EQ(format_real(60), "60.000000");
    EXPECT_EQ(format_real(0.5), "0.500000");
    EXPECT_EQ(format_real(-5.25), "-5.250000");
    EXPECT_EQ(format_real(1e-7), "0.000000");
    EXPECT_EQ(format_real(2.0000005), "2.000001");
    const std::string huge = format_real(1e300);
    EXPECT_EQ(huge.size(), 301u + 7u);  // every digit of a 301-digit number, then ".000000"
    EXPECT_EQ(huge.substr(huge.size() - 7), ".000000");
}

TEST(RunLog, LinesGoToStandardOutputAndTheOpenFile) {
    face_test::ScratchDir dir;
    const auto log_path = dir / "run.log";
    {
        Logger logger;
        testing::internal::CaptureStdout();
        logger.line("before the file");
        logger.file.open(log_path);
        logger.line("error: x");
        logger.line("");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "before the file\nerror: x\n\n");
        // Flushed per line: the file already holds both lines while the logger is alive.
        EXPECT_EQ(face_test::read_file(log_path), "error: x\n\n");
    }
}

}  // namespace

// The event manifest: escaping, number formats, the exact layout, a real JSON parser's view
// of it, and files that cannot be written.
#include <gtest/gtest.h>

#include <ctime>
#include <fstream>
#include <cctype>
#include <sstream>

#include "event_json.h"
#include "voice_programs.h"

using namespace voicetest;

namespace {

// Everything one batch run hands to the manifest writer, with realistic values.
struct Fixture {
    Options options;
    WavData raw{16000, 4, 32, {std::vector<double>(80000), {}, {}, {}}};
    ChannelDiagnostics raw_diag{{0.01, 0.02, 0.5, 0.0}, {0.1, 0.2, 0.999, 0.0}, {0.001, 0.002, 0.003, 0.0}, {}};
    ChannelDiagnostics processed_diag{{0.002, 0.0031, 0.003, 0.0}, {0.125, 0.5, 1.0, 0.0}, {1e-9, 0.25, 0.5, 0.0}, {}};
    ChannelDiagnostics beam_diag{{0.0123456789}, {0.75}, {0.001}, {}};
    DirectionEstimate direction;
    BeamformResult beam{{}, {0, 1, 2, 3}, "direction-guided delay-and-sum from processed samples"};
    std::vector<std::string> warnings{"raw channel 3 may be silent or dead", "raw channel 2 may be clipping"};

    Fixture() {
        direction.angle_degrees = 22.02431283704217;
        direction.confidence = 0.87654;
        direction.lag_samples = 3;
        direction.peak_correlation = 0.987654321;
        direction.second_correlation = 0.5;
        direction.lag_consistency = 1.0;
        direction.samples_source = "processed";
        direction.low_confidence = false;
    }
    EventReport report() const {
        return EventReport{options, raw, 5.0, raw_diag, processed_diag, beam_diag, direction, beam, warnings};
    }
};

// One jq filter over the file, raw output.
std::string jq(const std::string &path, const std::string &filter) {
    int status = 0;
    std::string out = shell_output("jq -r " + quote(filter) + " " + quote(path) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << "jq rejected the manifest: " << out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

bool python_parses(const std::string &path) {
    int status = 0;
    shell_output("python3 -c 'import json,sys; json.load(open(sys.argv[1], encoding=\"utf-8\"))' " + quote(path) +
                     " 2>/dev/null",
                 &status);
    return status == 0;
}

}  // namespace

// ---------------------------------------------------------------- text pieces

TEST(JsonText, EscapesQuotesBackslashesAndLineBreaks) {
    EXPECT_EQ(json_escape("hw:\"1\",0\\x"), "hw:\\\"1\\\",0\\\\x");
    EXPECT_EQ(json_escape("a\nb\rc\td"), "a\\nb\\rc\\td");
    EXPECT_EQ(json_escape(""), "");
}

TEST(JsonText, OtherControlCharactersBecomeUpperCaseUnicodeEscapes) {
    EXPECT_EQ(json_escape(std::string("\x01\x1f\x0b", 3)), "\\u0001\\u001F\\u000B");
    EXPECT_EQ(json_escape(std::string("a\0b", 3)), "a\\u0000b");
    EXPECT_EQ(json_escape("bell\x07"), "bell\\u0007");
}

TEST(JsonText, PrintableAndHighBytesPassUnchanged) {
    EXPECT_EQ(json_escape("caf\xc3\xa9 /x\x7f' <>"), "caf\xc3\xa9 /x\x7f' <>");
    EXPECT_EQ(json_escape("\xff\x80"), "\xff\x80");
}

TEST(JsonText, ArraysOfDoublesUseEightDecimalsAndIntegersPlainDecimal) {
    EXPECT_EQ(vector_json({}), "[]");
    EXPECT_EQ(vector_json({0.5}), "[0.50000000]");
    EXPECT_EQ(vector_json({0.0123456789, -1.0, 1e-9}), "[0.01234568, -1.00000000, 0.00000000]");
    EXPECT_EQ(int_vector_json({}), "[]");
    EXPECT_EQ(int_vector_json({0, -3, -5, -8}), "[0, -3, -5, -8]");
}

// ---------------------------------------------------------------- the document

TEST(EventManifest, LayoutKeyOrderAndNumberFormatsAreExact) {
    TempDir dir;
    Fixture f;
    const std::string path = dir.file("event.json");
    const std::time_t before = std::time(nullptr);
    write_event_json(path, f.report());
    const std::time_t after = std::time(nullptr);
    const std::string text = read_file(path);

    const std::string head = "{\n  \"timestamp\": \"";
    ASSERT_EQ(text.compare(0, head.size(), head), 0) << text;
    const std::string stamp_text = text.substr(head.size(), 20);
    EXPECT_EQ(text.substr(head.size() + 20, 3), "\",\n");
    const std::string shape = "dddd-dd-ddTdd:dd:ddZ";
    for (std::size_t i = 0; i < shape.size(); ++i)
        EXPECT_TRUE(shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(stamp_text[i])) != 0
                                    : stamp_text[i] == shape[i])
            << stamp_text;
    std::tm tm{};
    ASSERT_NE(strptime(stamp_text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &tm), nullptr);
    const std::time_t stamp = timegm(&tm);
    EXPECT_GE(stamp, before) << "taken when the manifest is written, in UTC";
    EXPECT_LE(stamp, after);

    const std::string expected_rest =
        "  \"device\": \"hw:1,0\",\n"
        "  \"sample_rate\": 16000,\n"
        "  \"channels\": 4,\n"
        "  \"duration_seconds\": 5.000,\n"
        "  \"raw_wav\": \"build/vocrin_raw.wav\",\n"
        "  \"beamformed_wav\": \"build/vocrin_beamformed.wav\",\n"
        "  \"input_gain_db\": 0.00,\n"
        "  \"channel_rms\": [0.01000000, 0.02000000, 0.50000000, 0.00000000],\n"
        "  \"channel_peak\": [0.10000000, 0.20000000, 0.99900000, 0.00000000],\n"
        "  \"channel_noise_floor\": [0.00100000, 0.00200000, 0.00300000, 0.00000000],\n"
        "  \"processed_channel_rms\": [0.00200000, 0.00310000, 0.00300000, 0.00000000],\n"
        "  \"processed_channel_peak\": [0.12500000, 0.50000000, 1.00000000, 0.00000000],\n"
        "  \"processed_channel_noise_floor\": [0.00000000, 0.25000000, 0.50000000, 0.00000000],\n"
        "  \"direction_angle\": 22.02,\n"
        "  \"direction_angle_degrees\": 22.02,\n"
        "  \"direction_confidence\": 0.877,\n"
        "  \"direction_method\": \"processed multi-pair centered cross-correlation\",\n"
        "  \"direction_samples_source\": \"processed\",\n"
        "  \"direction_low_confidence\": false,\n"
        "  \"detected_speech\": true,\n"
        "  \"diagnostics\": {\n"
        "    \"format\": \"PCM S32_LE\",\n"
        "    \"beamformed_rms\": [0.01234568],\n"
        "    \"beamformed_peak\": [0.75000000],\n"
        "    \"direction_peak_correlation\": 0.98765,\n"
        "    \"direction_second_correlation\": 0.50000,\n"
        "    \"direction_lag_consistency\": 1.00000,\n"
        "    \"beamforming_lags\": [0, 1, 2, 3],\n"
        "    \"beamforming_method\": \"direction-guided delay-and-sum from processed samples\"\n"
        "  },\n"
        "  \"warnings\": [\"raw channel 3 may be silent or dead\", \"raw channel 2 may be clipping\"]\n"
        "}\n";
    EXPECT_EQ(text.substr(head.size() + 23), expected_rest);
}

TEST(EventManifest, RealParsersReadBackTheValuesInOrder) {
    TempDir dir;
    Fixture f;
    f.options.device = "plug:\"kinect\\array\"";
    f.options.output_path = "/tmp/it's here.wav";
    f.options.input_gain_db = -12.25;
    f.raw.bits_per_sample = 16;
    f.direction.angle_degrees = -61.04497562814782;
    f.direction.low_confidence = true;
    f.warnings = {"tab\there", std::string("nul\0and\x1f unit", 13), "line\nbreak \"quoted\" \\"};
    const std::string path = dir.file("event.json");
    write_event_json(path, f.report());

    EXPECT_TRUE(python_parses(path));
    EXPECT_EQ(jq(path, "keys_unsorted | join(\",\")"),
              "timestamp,device,sample_rate,channels,duration_seconds,raw_wav,beamformed_wav,input_gain_db,"
              "channel_rms,channel_peak,channel_noise_floor,processed_channel_rms,processed_channel_peak,"
              "processed_channel_noise_floor,direction_angle,direction_angle_degrees,direction_confidence,"
              "direction_method,direction_samples_source,direction_low_confidence,detected_speech,diagnostics,"
              "warnings");
    EXPECT_EQ(jq(path, ".diagnostics | keys_unsorted | join(\",\")"),
              "format,beamformed_rms,beamformed_peak,direction_peak_correlation,direction_second_correlation,"
              "direction_lag_consistency,beamforming_lags,beamforming_method");
    EXPECT_EQ(jq(path, ".device"), f.options.device);
    EXPECT_EQ(jq(path, ".raw_wav"), f.options.output_path);
    EXPECT_EQ(jq(path, ".input_gain_db"), "-12.25");
    EXPECT_EQ(jq(path, ".direction_angle == .direction_angle_degrees"), "true");
    EXPECT_EQ(jq(path, ".direction_low_confidence"), "true");
    EXPECT_EQ(jq(path, ".diagnostics.format"), "PCM S16_LE");
    EXPECT_EQ(jq(path, ".channel_rms | length"), "4");
    EXPECT_EQ(jq(path, ".diagnostics.beamforming_lags | map(tostring) | join(\" \")"), "0 1 2 3");
    EXPECT_EQ(jq(path, ".warnings | length"), "3");
    // Control characters survive the round trip through a parser, byte for byte.
    EXPECT_EQ(jq(path, ".warnings[1] | explode | map(tostring) | join(\",\")"),
              "110,117,108,0,97,110,100,31,32,117,110,105,116");
    EXPECT_EQ(jq(path, ".warnings[2]"), f.warnings[2]);
    EXPECT_EQ(jq(path, ".warnings[0]"), "tab\there");
}

TEST(EventManifest, SpeechFlagNeedsAProcessedLevelStrictlyAboveThreshold) {
    TempDir dir;
    Fixture f;
    const std::string path = dir.file("event.json");
    const std::vector<std::pair<std::vector<double>, std::string>> cases{
        {{0.003, 0.003, 0.003, 0.003}, "false"}, {{0.003, 0.0031, 0.0, 0.0}, "true"}, {{}, "false"}};
    for (const auto &[rms, expected] : cases) {
        f.processed_diag.rms = rms;
        f.raw_diag.rms = {0.5, 0.5, 0.5, 0.5};  // raw levels do not count
        write_event_json(path, f.report());
        EXPECT_EQ(jq(path, ".detected_speech"), expected);
    }
}

TEST(EventManifest, NoWarningsGiveAnEmptyArrayAndTheFileEndsWithOneNewline) {
    TempDir dir;
    Fixture f;
    f.warnings.clear();
    const std::string path = dir.file("event.json");
    // A longer file already there is truncated, not overwritten in part.
    std::ofstream(path) << std::string(10000, 'x');
    write_event_json(path, f.report());
    const std::string text = read_file(path);
    EXPECT_NE(text.find("\n  \"warnings\": []\n}\n"), std::string::npos);
    ASSERT_GE(text.size(), 4u);
    EXPECT_EQ(text.substr(text.size() - 4), "]\n}\n");
    EXPECT_EQ(text.find('x'), std::string::npos);
    EXPECT_TRUE(python_parses(path));
}

// ---------------------------------------------------------------- failures

TEST(EventManifestFailure, UnopenableOrUnwritableFileRaisesTheWriteError) {
    TempDir dir;
    Fixture f;
    for (const std::string &path : {dir.file("missing-dir/event.json"), std::string("/dev/full"), dir.path.string()}) {
        try {
            write_event_json(path, f.report());
            ADD_FAILURE() << "no error for " << path;
        } catch (const std::runtime_error &e) {
            EXPECT_EQ(std::string(e.what()), "failed to write event JSON: " + path);
        }
    }
}

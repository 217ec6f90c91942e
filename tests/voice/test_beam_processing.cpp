// --beam-angle, --denoise and --agc end to end through vocrin, on short simulated 4-channel clips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "signals.h"
#include "simulated_array.h"
#include "voice_programs.h"
#include "wav.h"
#include "wav_bytes.h"

using namespace voicetest;

namespace {

const std::string kKinect = "-0.113,0.036,0.076,0.113";
constexpr std::size_t kLead = 32000;  // 2 s of noise alone before the speech

// `lead` samples of silence, then the words `times` times at `scale` of espeak-ng's level.
std::vector<double> speech_after(const TempDir &dir, std::size_t lead, double scale, int times = 1) {
    speak_to_wav(dir, "Turn on the kitchen light and read me the weather", dir.file("words.wav"));
    std::vector<double> source(lead + 16, 0.0);
    const WavData words = read_wav(dir.file("words.wav"));
    for (int i = 0; i < times; ++i)
        for (double v : words.samples[0]) source.push_back(scale * v);
    source.resize(source.size() + 16, 0.0);
    return source;
}

// The clip as a 4-channel 32-bit WAV: channel k hears the source delays[k] samples late, with its own noise.
std::string write_clip(const TempDir &dir, const std::string &name, const std::vector<double> &source,
                       const std::vector<int> &delays, double noise_sigma, uint32_t rate = 16000) {
    const WavData audio = delayed_array(source, delays, noise_sigma, 7);
    const std::vector<int32_t> codes = looped_codes(audio, audio.samples[0].size());
    const std::vector<unsigned char> pcm = s32le_bytes(codes);
    write_file(dir.file(name), riff(fmt_chunk(1, 4, rate, 32) + chunk("data", std::string(pcm.begin(), pcm.end()))));
    return dir.file(name);
}

struct BatchRun {
    RunResult result;
    std::vector<double> beam;
    std::string manifest;
};

// vocrin on `input` with the log on the console; the beam and the manifest read back.
BatchRun run_batch(const TempDir &dir, const std::string &input, const std::vector<std::string> &extra) {
    std::vector<std::string> argv = {VOCRIN_BIN, "--input-wav", input, "--beamformed", dir.file("beam.wav"),
                                     "--event", dir.file("event.json"), "--log", ""};
    argv.insert(argv.end(), extra.begin(), extra.end());
    BatchRun run{voicetest::run(argv, dir.path), {}, {}};
    if (run.result.status == 0) {
        run.beam = read_wav(dir.file("beam.wav")).samples.at(0);
        run.manifest = read_file(dir.file("event.json"));
    }
    return run;
}

double level_db(const std::vector<double> &x, std::size_t from, std::size_t to) {
    return 10.0 * std::log10(power(std::vector<double>(x.begin() + from, x.begin() + to)) + 1e-30);
}

double peak_of(const std::vector<double> &x, std::size_t from, std::size_t to) {
    double peak = 0;
    for (std::size_t i = from; i < to; ++i) peak = std::max(peak, std::fabs(x[i]));
    return peak;
}

bool has_line(const std::string &out, const std::string &line) {
    const std::vector<std::string> lines = split_lines(out);
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The lag, within +-max_lag, at which b lines up best with a.
int best_alignment(const std::vector<double> &a, const std::vector<double> &b, std::size_t from, std::size_t to,
                   int max_lag) {
    int best = 0;
    double best_sum = -1e300;
    for (int lag = -max_lag; lag <= max_lag; ++lag) {
        double sum = 0;
        for (std::size_t i = from; i < to; ++i) sum += a[i] * b[static_cast<std::size_t>(static_cast<long>(i) + lag)];
        if (sum > best_sum) best_sum = sum, best = lag;
    }
    return best;
}

}  // namespace

TEST(Denoise, CutsTheNoiseKeepsTheSpeechAndStaysAlignedWithTheInput) {
    TempDir dir;
    const std::string clip = write_clip(dir, "clip.wav", speech_after(dir, kLead, 1.0), {0, 1, 2, 3}, 0.01);
    const BatchRun plain = run_batch(dir, clip, {"--mic-positions", kKinect});
    const BatchRun denoised = run_batch(dir, clip, {"--mic-positions", kKinect, "--denoise", "high"});
    ASSERT_EQ(plain.result.status, 0) << plain.result.err;
    ASSERT_EQ(denoised.result.status, 0) << denoised.result.err;
    EXPECT_EQ(split_lines(denoised.result.out).at(3), "denoise: high (WebRTC noise suppression)");
    EXPECT_NE(denoised.manifest.find("    \"beam_denoise\": \"high\",\n"), std::string::npos);

    ASSERT_EQ(denoised.beam.size(), plain.beam.size());
    const std::size_t end = plain.beam.size();
    // The suppression has settled after a second of noise alone.
    EXPECT_LT(level_db(denoised.beam, 16000, kLead), level_db(plain.beam, 16000, kLead) - 10.0);
    EXPECT_NEAR(level_db(denoised.beam, kLead, end), level_db(plain.beam, kLead, end), 3.0);
    EXPECT_EQ(best_alignment(plain.beam, denoised.beam, kLead, end - 200, 150), 0)
        << "the library's own delay is taken out of a batch beam";

    // A higher level suppresses more: `low` stops about 12 dB short of `high` on steady noise.
    const BatchRun low = run_batch(dir, clip, {"--mic-positions", kKinect, "--denoise", "low"});
    ASSERT_EQ(low.result.status, 0) << low.result.err;
    EXPECT_LT(level_db(denoised.beam, 16000, kLead), level_db(low.beam, 16000, kLead) - 6.0);
    EXPECT_LT(level_db(low.beam, 16000, kLead), level_db(plain.beam, 16000, kLead) - 3.0);

    // The library takes 16 kHz only: another rate is an error before any beam is written.
    const std::string fast = write_clip(dir, "fast.wav", speech_after(dir, 1600, 1.0), {0, 1, 2, 3}, 0.01, 48000);
    ASSERT_EQ(std::remove(dir.file("beam.wav").c_str()), 0);
    const BatchRun other_rate = run_batch(dir, fast, {"--denoise", "high"});
    EXPECT_EQ(other_rate.result.status, 20);
    EXPECT_NE(other_rate.result.out.find("\nerror: --denoise and --agc need audio at 16000 Hz, not 48000 Hz\n"),
              std::string::npos)
        << other_rate.result.out;
    EXPECT_FALSE(file_exists(dir.file("beam.wav")));
}

TEST(Agc, BringsAQuietBeamUpWithoutClippingAndTheLevelsReportedAreThoseAfterIt) {
    TempDir dir;
    const std::string clip = write_clip(dir, "quiet.wav", speech_after(dir, 8000, 0.05, 12), {0, 1, 2, 3}, 0.0002);
    const BatchRun plain = run_batch(dir, clip, {});
    const BatchRun agc = run_batch(dir, clip, {"--agc"});
    ASSERT_EQ(plain.result.status, 0) << plain.result.err;
    ASSERT_EQ(agc.result.status, 0) << agc.result.err;
    EXPECT_EQ(split_lines(agc.result.out).at(3), "agc: adaptive digital (WebRTC gain control)");
    EXPECT_NE(agc.manifest.find("    \"beam_agc\": true,\n"), std::string::npos);

    const std::size_t end = plain.beam.size();
    // The gain control adapts over seconds: in the second half of the half minute it has settled, the
    // talker's peaks near the target 3 dB below full scale (0.71; they reach 0.73 to 0.88 here, 0.38 to 0.45
    // with a 9 dB target, 0.54 with 6 dB), none clipped.
    EXPECT_GT(level_db(agc.beam, 3 * end / 4, end), level_db(plain.beam, 3 * end / 4, end) + 10.0);
    for (std::size_t quarter = 2; quarter < 4; ++quarter) {
        const double peak = peak_of(agc.beam, quarter * end / 4, (quarter + 1) * end / 4);
        EXPECT_GT(peak, 0.6) << "quarter " << quarter + 1;
        EXPECT_LT(peak, 0.95) << "quarter " << quarter + 1;
    }
    EXPECT_LT(peak_of(agc.beam, 0, end), 0.99);
    // The beam's level lines are measured on what was written (the WAV reads codes / 32768).
    const double rms = std::sqrt(power(agc.beam)) * 32768.0 / 32767.0;
    const std::vector<std::string> lines = split_lines(agc.result.out);
    const auto block = std::find(lines.begin(), lines.end(), "beamformed mono levels (from processed audio) diagnostics:");
    ASSERT_NE(block, lines.end());
    const std::string logged = block[1].substr(block[1].find("rms=") + 4, 10);
    EXPECT_NEAR(std::stod(logged), rms, 1e-6) << block[1];
    EXPECT_NE(agc.manifest.find("\"beamformed_rms\": [" + logged + "]"), std::string::npos);

    // A microphone's DC offset is filtered out before the gain control, not raised with the speech.
    std::vector<double> offset_source = speech_after(dir, 8000, 0.05, 2);
    for (double &v : offset_source) v += 0.05;
    const std::string offset = write_clip(dir, "offset.wav", offset_source, {0, 1, 2, 3}, 0.0002);
    const BatchRun agc_offset = run_batch(dir, offset, {"--agc"});
    ASSERT_EQ(agc_offset.result.status, 0) << agc_offset.result.err;
    const std::vector<double> &beam = agc_offset.beam;  // the input's mean is 0.05
    EXPECT_LT(std::fabs(std::accumulate(beam.begin() + beam.size() / 2, beam.end(), 0.0) / (beam.size() / 2)), 0.002);

    // An input gain that clips is still reported, whatever level the gain control brings the beam to.
    const BatchRun clipped = run_batch(dir, clip, {"--agc", "--input-gain-db", "36"});
    ASSERT_EQ(clipped.result.status, 0) << clipped.result.err;
    const std::string out = clipped.result.out;
    EXPECT_LT(peak_of(clipped.beam, 0, clipped.beam.size()), 0.99)
        << "the limiter keeps a clipped input's beam off full scale";
    EXPECT_NE(out.find("\nwarning: input gain 36.0 dB caused processed-signal clipping; ch0 clipped_samples="),
              std::string::npos)
        << out;
}

TEST(BeamAngle, HoldsTheBeamWhereToldWhileTheDirectionIsStillEstimated) {
    TempDir dir;
    // Whole-sample delays of a talker at +40 degrees on the Kinect row.
    const std::string clip = write_clip(dir, "talker.wav", speech_after(dir, 1600, 1.0), {0, 4, 6, 7}, 0.002);
    // Blanks around the number are taken on either side, as --mic-positions takes them.
    const BatchRun toward = run_batch(dir, clip, {"--mic-positions", kKinect, "--beam-angle", "40 "});
    const BatchRun away = run_batch(dir, clip, {"--mic-positions", kKinect, "--beam-angle", " -40"});
    const BatchRun end_on = run_batch(dir, clip, {"--mic-positions", kKinect, "--beam-angle", "-90"});
    for (const BatchRun *run : {&toward, &away, &end_on}) ASSERT_EQ(run->result.status, 0) << run->result.err;

    const std::vector<std::string> lines = split_lines(toward.result.out);
    EXPECT_EQ(lines.at(3), "beam_fixed_angle_degrees: 40.000000");
    EXPECT_TRUE(has_line(toward.result.out, "beamforming_method: fixed-angle delay-and-sum from processed samples"));
    // The results say the beam was held, right after its lags.
    const auto lags = std::find(lines.begin(), lines.end(), "beamforming_lags: [0, 4, 6, 7]");
    ASSERT_NE(lags, lines.end());
    EXPECT_EQ(lags[1], "beam_fixed_angle_degrees: 40.000000");
    EXPECT_TRUE(has_line(away.result.out, "beamforming_lags: [0, -4, -6, -7]"));
    EXPECT_TRUE(has_line(end_on.result.out, "beamforming_lags: [0, -7, -9, -11]"));
    EXPECT_NE(toward.manifest.find("    \"beam_fixed_angle_degrees\": 40.00,\n"), std::string::npos);
    EXPECT_NE(away.manifest.find("    \"beam_fixed_angle_degrees\": -40.00,\n"), std::string::npos);

    // The estimate still follows the talker, whichever way the beam is held.
    const auto angle = [](const std::string &out) {
        const std::size_t at = out.find("direction_angle_degrees: ");
        return at == std::string::npos ? 0.0 : std::stod(out.substr(at + 25));
    };
    EXPECT_NEAR(angle(toward.result.out), 40.0, 5.0);
    EXPECT_EQ(angle(away.result.out), angle(toward.result.out));
    // Held at the talker the beam keeps the speech whole; held away, it loses its higher frequencies.
    EXPECT_GT(power(toward.beam), 1.5 * power(away.beam));

    // Noise alone leaves the estimate unsure: the beam is held all the same, not aligned on the noise.
    const std::string noise = write_clip(dir, "noise.wav", std::vector<double>(16032, 0.0), {0, 0, 0, 0}, 0.05);
    const BatchRun unsure = run_batch(dir, noise, {"--mic-positions", kKinect, "--beam-angle", "40"});
    ASSERT_EQ(unsure.result.status, 0) << unsure.result.err;
    EXPECT_TRUE(has_line(unsure.result.out, "direction_low_confidence: true")) << unsure.result.out;
    EXPECT_TRUE(has_line(unsure.result.out, "beamforming_lags: [0, 4, 6, 7]")) << unsure.result.out;

    // A recording of other than four channels has no array to hold the beam with: refused before any file is
    // written, as a runtime error.
    const std::vector<unsigned char> pcm = s32le_bytes(std::vector<int32_t>(3 * 1600, 1 << 20));
    for (const int channels : {1, 3}) {
        const std::string name = std::to_string(channels) + "ch.wav";
        write_file(dir.file(name), riff(fmt_chunk(1, static_cast<uint16_t>(channels), 16000, 32) +
                                        chunk("data", std::string(pcm.begin(), pcm.end()))));
        std::remove(dir.file("event.json").c_str());
        std::remove(dir.file("beam.wav").c_str());
        const BatchRun refused = run_batch(dir, dir.file(name), {"--mic-positions", kKinect, "--beam-angle", "30"});
        EXPECT_EQ(refused.result.status, 20) << refused.result.out;
        const std::vector<std::string> out = split_lines(refused.result.out);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(out.back(), "error: --beam-angle needs a 4-channel recording, not a " + std::to_string(channels) +
                                  "-channel one: " + dir.file(name));
        EXPECT_FALSE(file_exists(dir.file("event.json")));
        EXPECT_FALSE(file_exists(dir.file("beam.wav")));
    }
}

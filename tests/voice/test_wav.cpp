// Reading RIFF/WAVE PCM files (from sox, arecord and hostile bytes) and writing the 16-bit mono beam.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "v1_util.h"
#include "wav.h"

namespace {

using v1::chunk;
using v1::fmt_payload;
using v1::pcm16;
using v1::pcm32;
using v1::quote;
using v1::riff;

std::string read_error(const std::string &path) {
    try {
        read_wav(path);
    } catch (const std::runtime_error &error) {
        return error.what();
    }
    return "(no error)";
}

// Reads the raw little-endian codes that sox exports for a WAV, channel-interleaved.
template <typename Code>
std::vector<Code> sox_raw_codes(const v1::TempDir &dir, const std::string &wav) {
    const std::string raw = dir.file("export.raw");
    const std::string type = sizeof(Code) == 2 ? "s16" : "s32";
    EXPECT_EQ(v1::shell("sox " + quote(wav) + " -t " + type + " " + quote(raw)), 0);
    const std::string bytes = v1::read_bytes(raw);
    std::vector<Code> codes(bytes.size() / sizeof(Code));
    for (size_t i = 0; i < codes.size(); ++i) {
        codes[i] = sizeof(Code) == 2 ? static_cast<Code>(v1::get16s(bytes, 2 * i))
                                     : static_cast<Code>(static_cast<int32_t>(v1::get32(bytes, 4 * i)));
    }
    return codes;
}

template <typename Code>
void expect_samples_match_codes(const WavData &wav, const std::vector<Code> &codes, double scale) {
    const size_t channels = static_cast<size_t>(wav.channels);
    ASSERT_EQ(wav.samples.size(), channels);
    ASSERT_EQ(codes.size() % channels, 0u);
    const size_t frames = codes.size() / channels;
    for (size_t c = 0; c < channels; ++c) {
        ASSERT_EQ(wav.samples[c].size(), frames) << "channel " << c;
        for (size_t f = 0; f < frames; ++f) {
            ASSERT_EQ(wav.samples[c][f], codes[f * channels + c] * scale) << "channel " << c << " frame " << f;
        }
    }
}

std::string fmt16(uint16_t channels = 1, uint32_t rate = 16000) {
    return chunk("fmt ", fmt_payload(1, channels, rate, 16));
}

// ---- files written by real tools ----

TEST(ReadWavFromTools, PlainFourChannel32BitFileFromSox) {
    v1::TempDir dir;
    const std::string wav = dir.file("array.wav");
    ASSERT_EQ(v1::shell("sox -R -r 16000 -c 4 -n -t wavpcm -b 32 -e signed-integer " + quote(wav) +
                        " synth 0.25 sine 300 sine 500 square 700 sawtooth 900 vol 0.9"),
              0);
    const WavData data = read_wav(wav);
    EXPECT_EQ(data.sample_rate, 16000);
    EXPECT_EQ(data.channels, 4);
    EXPECT_EQ(data.bits_per_sample, 32);
    ASSERT_EQ(data.samples.size(), 4u);
    EXPECT_EQ(data.samples[0].size(), 4000u);
    expect_samples_match_codes(data, sox_raw_codes<int32_t>(dir, wav), 1.0 / 2147483648.0);
}

TEST(ReadWavFromTools, SixteenBitStereoAt44100FromSox) {
    v1::TempDir dir;
    const std::string wav = dir.file("stereo.wav");
    ASSERT_EQ(v1::shell("sox -R -r 44100 -c 2 -n -b 16 -e signed-integer " + quote(wav) +
                        " synth 0.1 sine 440 sine 1000"),
              0);
    const WavData data = read_wav(wav);
    EXPECT_EQ(data.sample_rate, 44100);
    EXPECT_EQ(data.channels, 2);
    EXPECT_EQ(data.bits_per_sample, 16);
    EXPECT_EQ(data.samples[1].size(), 4410u);
    expect_samples_match_codes(data, sox_raw_codes<int16_t>(dir, wav), 1.0 / 32768.0);
}

TEST(ReadWavFromTools, OddSizedListChunksAroundFmtAreSkipped) {
    v1::TempDir dir;
    const std::string plain = dir.file("plain.wav");
    ASSERT_EQ(v1::shell("sox -R -r 16000 -c 2 -n -b 16 -e signed-integer " + quote(plain) + " synth 0.05 sine 440"),
              0);
    const std::string bytes = v1::read_bytes(plain);
    ASSERT_EQ(bytes.substr(36, 4), "data");
    // LIST/INFO chunks of odd length, as tagging tools write them, before and after "fmt ".
    const std::string list = chunk("LIST", std::string("INFOICMT\x05\0\0\0odd!\0", 17));
    ASSERT_EQ(v1::get32(list, 4) % 2, 1u);
    const std::string tagged = riff(list + bytes.substr(12, 24) + list + bytes.substr(36));
    const std::string tagged_path = dir.file("tagged.wav");
    v1::write_bytes(tagged_path, tagged);

    const WavData expected = read_wav(plain);
    const WavData got = read_wav(tagged_path);
    EXPECT_EQ(got.channels, 2);
    EXPECT_EQ(got.sample_rate, 16000);
    EXPECT_EQ(got.samples, expected.samples);
}

TEST(ReadWavFromTools, EncodingsOtherThanPlainPcmAreRefused) {
    v1::TempDir dir;
    struct Case {
        const char *format;
        const char *message;
    };
    const Case cases[] = {
        // sox writes the extensible tag for more than 2 channels or more than 16 bits.
        {"-c 4 -b 32 -e signed-integer", "unsupported WAV encoding; expected PCM"},
        {"-c 1 -t wavpcm -b 32 -e floating-point", "unsupported WAV encoding; expected PCM"},
        {"-c 1 -b 8 -e a-law", "unsupported WAV encoding; expected PCM"},
        {"-c 1 -b 8 -e unsigned-integer", "unsupported PCM layout; expected 16-bit or 32-bit interleaved"},
        {"-c 1 -t wavpcm -b 24 -e signed-integer", "unsupported PCM layout; expected 16-bit or 32-bit interleaved"},
    };
    for (const Case &c : cases) {
        const std::string wav = dir.file("refused.wav");
        ASSERT_EQ(v1::shell(std::string("sox -R -r 16000 -n ") + c.format + " " + quote(wav) + " synth 0.01 sine 440"),
                  0)
            << c.format;
        EXPECT_EQ(read_error(wav), c.message) << c.format;
    }
}

TEST(ReadWavFromTools, ArecordCaptureThroughSimulatedArray) {
    v1::TempDir home;
    v1::write_simulated_array_asoundrc(home.path);
    const std::string infile = home.file("array.raw");
    ASSERT_EQ(v1::shell("sox -R -r 16000 -c 4 -n -t s32 " + quote(infile) +
                        " synth 2 sine 200 sine 400 sine 600 sine 800 vol 0.5"),
              0);
    const std::string out = home.file("capture.wav");
    const std::string command = "HOME=" + quote(home.path) + " MIC4_INFILE=" + quote(infile) +
                                " arecord -q -D 'hw:1,0' -f S32_LE -r 16000 -c 4 -d 1 -t wav " + quote(out);
    ASSERT_EQ(v1::shell(command), 0);

    const WavData data = read_wav(out);
    EXPECT_EQ(data.sample_rate, 16000);
    EXPECT_EQ(data.channels, 4);
    EXPECT_EQ(data.bits_per_sample, 32);
    ASSERT_EQ(data.samples.size(), 4u);
    ASSERT_EQ(data.samples[3].size(), 16000u);
    // The capture is the infile's first second, byte for byte.
    const std::string raw = v1::read_bytes(infile);
    for (size_t f = 0; f < 16000; f += 97) {
        for (size_t c = 0; c < 4; ++c) {
            const int32_t code = static_cast<int32_t>(v1::get32(raw, (f * 4 + c) * 4));
            ASSERT_EQ(data.samples[c][f], code / 2147483648.0) << "frame " << f << " channel " << c;
        }
    }
}

// ---- sample scale and frame counting ----

TEST(ReadWavSamples, ExtremeCodesMapToTheUnitRange) {
    v1::TempDir dir;
    v1::write_bytes(dir.file("16.wav"), riff(fmt16(2) + chunk("data", pcm16({-32768, 32767, 0, 16384}))));
    const WavData a = read_wav(dir.file("16.wav"));
    ASSERT_EQ(a.samples.size(), 2u);
    EXPECT_EQ(a.samples[0], (std::vector<double>{-1.0, 0.0}));
    EXPECT_EQ(a.samples[1], (std::vector<double>{32767.0 / 32768.0, 0.5}));

    v1::write_bytes(dir.file("32.wav"), riff(chunk("fmt ", fmt_payload(1, 1, 16000, 32)) +
                                             chunk("data", pcm32({INT32_MIN, INT32_MAX, -1}))));
    const WavData b = read_wav(dir.file("32.wav"));
    ASSERT_EQ(b.samples.size(), 1u);
    EXPECT_EQ(b.samples[0][0], -1.0);
    EXPECT_LT(b.samples[0][1], 1.0);
    EXPECT_GT(b.samples[0][1], 0.9999999995);
    EXPECT_EQ(b.samples[0][2], -1.0 / 2147483648.0);
}

TEST(ReadWavSamples, PartialTrailingFrameIsIgnored) {
    v1::TempDir dir;
    const std::string ten_frames = pcm32(std::vector<int32_t>(20, 1 << 20)) + std::string("\x01\x02\x03", 3);
    v1::write_bytes(dir.file("a.wav"), riff(chunk("fmt ", fmt_payload(1, 2, 16000, 32)) + chunk("data", ten_frames)));
    const WavData a = read_wav(dir.file("a.wav"));
    ASSERT_EQ(a.samples.size(), 2u);
    EXPECT_EQ(a.samples[0].size(), 10u);
    EXPECT_EQ(a.samples[1].size(), 10u);

    // Less than one frame: empty channels, no error.
    v1::write_bytes(dir.file("b.wav"),
                    riff(chunk("fmt ", fmt_payload(1, 4, 16000, 32)) + chunk("data", std::string(15, '\x11'))));
    const WavData b = read_wav(dir.file("b.wav"));
    ASSERT_EQ(b.samples.size(), 4u);
    for (const auto &channel : b.samples) {
        EXPECT_TRUE(channel.empty());
    }
}

// ---- chunk walk ----

TEST(ReadWavChunks, UnknownChunkBeforeFmtAndOddPaddingAreSkipped) {
    v1::TempDir dir;
    const std::string junk = chunk("JUNK", std::string(3, 'j'));  // odd: 3 bytes + 1 pad
    v1::write_bytes(dir.file("a.wav"), riff(junk + fmt16() + junk + chunk("data", pcm16({100, -100}))));
    const WavData a = read_wav(dir.file("a.wav"));
    EXPECT_EQ(a.samples[0], (std::vector<double>{100 / 32768.0, -100 / 32768.0}));
}

TEST(ReadWavChunks, LastFmtAndLastDataWin) {
    v1::TempDir dir;
    const std::string bytes = riff(chunk("fmt ", fmt_payload(1, 1, 8000, 32)) + chunk("data", pcm16({1, 2})) +
                                   fmt16(1, 22050) + chunk("data", pcm16({3, 4, 5})));
    v1::write_bytes(dir.file("a.wav"), bytes);
    const WavData a = read_wav(dir.file("a.wav"));
    EXPECT_EQ(a.sample_rate, 22050);
    EXPECT_EQ(a.bits_per_sample, 16);
    EXPECT_EQ(a.samples[0].size(), 3u);
    EXPECT_EQ(a.samples[0][2], 5 / 32768.0);
}

TEST(ReadWavChunks, TrailingBytesTooShortForAHeaderEndTheWalk) {
    v1::TempDir dir;
    v1::write_bytes(dir.file("a.wav"), riff(fmt16() + chunk("data", pcm16({9, 9, 9, 9}))) + "LIST\xff");
    EXPECT_EQ(read_wav(dir.file("a.wav")).samples[0].size(), 4u);
}

TEST(ReadWavChunks, RiffSizeFieldIsNotExamined) {
    v1::TempDir dir;
    std::string bytes = riff(fmt16() + chunk("data", pcm16({1, 2, 3, 4})));
    bytes.replace(4, 4, "\xff\xff\xff\x7f");
    v1::write_bytes(dir.file("a.wav"), bytes);
    EXPECT_EQ(read_wav(dir.file("a.wav")).samples[0].size(), 4u);
}

TEST(ReadWavChunks, ChunkRunningPastTheEndIsTruncated) {
    v1::TempDir dir;
    std::string data = chunk("data", pcm16({1, 2, 3, 4}));
    data.replace(4, 4, std::string("\x09\0\0\0", 4));  // claims 9 bytes, holds 8
    v1::write_bytes(dir.file("a.wav"), riff(fmt16() + data));
    EXPECT_EQ(read_error(dir.file("a.wav")), "truncated WAV chunk: data");

    // A damaged chunk behind the data still fails the read.
    std::string list = chunk("LIST", "abcd");
    list.replace(4, 4, std::string("\x40\0\0\0", 4));
    v1::write_bytes(dir.file("b.wav"), riff(fmt16() + chunk("data", pcm16({1, 2})) + list));
    EXPECT_EQ(read_error(dir.file("b.wav")), "truncated WAV chunk: LIST");
}

TEST(ReadWavChunks, SizesNearTwoToThe32DoNotWrapPastTheBoundsCheck) {
    v1::TempDir dir;
    // At offset 36 these sizes would wrap a 32-bit end position back inside the file.
    for (uint32_t size : {0xFFFFFFFFu, 0xFFFFFFF0u, 0xFFFFFFDCu, 0x80000000u}) {
        std::string hostile_data = "data";
        v1::put32(hostile_data, size);
        hostile_data += pcm16({1, 2, 3, 4, 5, 6});
        v1::write_bytes(dir.file("a.wav"), riff(fmt16() + hostile_data));
        EXPECT_EQ(read_error(dir.file("a.wav")), "truncated WAV chunk: data") << std::hex << size;

        std::string hostile_list = "LIST";
        v1::put32(hostile_list, size);
        hostile_list += std::string(8, 'x');
        v1::write_bytes(dir.file("b.wav"), riff(hostile_list + fmt16() + chunk("data", pcm16({1, 2, 3, 4}))));
        EXPECT_EQ(read_error(dir.file("b.wav")), "truncated WAV chunk: LIST") << std::hex << size;
    }
}

TEST(ReadWavChunks, StructuralFaultsHaveTheirOwnMessages) {
    v1::TempDir dir;
    const std::string data = chunk("data", pcm16({1, 2, 3, 4, 5, 6, 7, 8}));
    struct Case {
        std::string bytes;
        std::string message;
    };
    const Case cases[] = {
        {riff(chunk("fmt ", fmt_payload(1, 1, 16000, 16).substr(0, 14)) + data + chunk("LIST", "xxxx")),
         "invalid fmt chunk"},
        {riff(chunk("LIST", std::string(20, 'x')) + data), "missing fmt or data chunk"},
        {riff(fmt16() + chunk("LIST", std::string(20, 'x'))), "missing fmt or data chunk"},
        {riff(chunk("fmt ", fmt_payload(3, 1, 16000, 32)) + data), "unsupported WAV encoding; expected PCM"},
        {riff(chunk("fmt ", fmt_payload(0xFFFE, 1, 16000, 16)) + data), "unsupported WAV encoding; expected PCM"},
        {riff(chunk("fmt ", fmt_payload(1, 0, 16000, 16)) + data),
         "unsupported PCM layout; expected 16-bit or 32-bit interleaved"},
        {riff(chunk("fmt ", fmt_payload(1, 1, 16000, 24)) + data),
         "unsupported PCM layout; expected 16-bit or 32-bit interleaved"},
    };
    for (const Case &c : cases) {
        v1::write_bytes(dir.file("a.wav"), c.bytes);
        EXPECT_EQ(read_error(dir.file("a.wav")), c.message);
    }
}

TEST(ReadWavFile, UnreadableOrForeignFilesNameThePath) {
    v1::TempDir dir;
    EXPECT_EQ(read_error(dir.file("missing.wav")), "failed to open WAV: " + dir.file("missing.wav"));
    EXPECT_EQ(read_error(dir.path), "failed to open WAV: " + dir.path);

    const std::string good = riff(fmt16() + chunk("data", pcm16({1, 2, 3, 4})));
    ASSERT_EQ(good.size(), 52u);
    const std::string path = dir.file("x.wav");
    const std::vector<std::string> foreign = {
        "",
        good.substr(0, 43),
        "RIFX" + good.substr(4),
        good.substr(0, 8) + "AVI " + good.substr(12),
        std::string(64, '\0'),
    };
    for (const auto &bytes : foreign) {
        v1::write_bytes(path, bytes);
        EXPECT_EQ(read_error(path), "not a RIFF/WAVE file: " + path) << bytes.size();
    }
}

TEST(ReadWavFile, ReadsFromAPipeAsWell) {
    v1::TempDir dir;
    const std::string wav = dir.file("a.wav");
    v1::write_bytes(wav, riff(fmt16(2) + chunk("data", pcm16({1, -1, 2, -2, 3, -3}))));
    // /dev/fd/N of a pipe is not seekable; the reader must not depend on seeking.
    FILE *pipe = ::popen(("cat " + quote(wav)).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    const WavData data = read_wav("/dev/fd/" + std::to_string(::fileno(pipe)));
    ::pclose(pipe);
    ASSERT_EQ(data.samples.size(), 2u);
    EXPECT_EQ(data.samples[1], (std::vector<double>{-1 / 32768.0, -2 / 32768.0, -3 / 32768.0}));
}

// ---- writing ----

TEST(WriteLe32, LeastSignificantByteFirst) {
    std::ostringstream out;
    write_le32(out, 0x11223344u);
    write_le32(out, 0xFFFFFFFFu);
    EXPECT_EQ(out.str(), std::string("\x44\x33\x22\x11\xff\xff\xff\xff", 8));
}

TEST(WriteBeamformedWav, EmptyBeamGivesTheBare44ByteHeader) {
    v1::TempDir dir;
    write_beamformed_wav(dir.file("a.wav"), 16000, {});
    std::string expected = "RIFF";
    v1::put32(expected, 36);
    expected += "WAVEfmt ";
    v1::put32(expected, 16);
    v1::put16(expected, 1);
    v1::put16(expected, 1);
    v1::put32(expected, 16000);
    v1::put32(expected, 32000);
    v1::put16(expected, 2);
    v1::put16(expected, 16);
    expected += "data";
    v1::put32(expected, 0);
    EXPECT_EQ(v1::read_bytes(dir.file("a.wav")), expected);
}

TEST(WriteBeamformedWav, SamplesAreScaledBy32767AndClamped) {
    v1::TempDir dir;
    const std::vector<double> beam = {-1.0, 0.0, 0.5, 1.0, 1.2, -3.0, -0.5, 0.25, 1e-6,
                                      std::numeric_limits<double>::quiet_NaN()};
    const std::vector<int16_t> codes = {-32767, 0, 16384, 32767, 32767, -32767, -16384, 8192, 0, 0};
    write_beamformed_wav(dir.file("a.wav"), 44100, beam);
    const std::string bytes = v1::read_bytes(dir.file("a.wav"));
    ASSERT_EQ(bytes.size(), 44u + 2 * beam.size());
    EXPECT_EQ(v1::get32(bytes, 4), 36u + 2 * beam.size());
    EXPECT_EQ(v1::get32(bytes, 24), 44100u);
    EXPECT_EQ(v1::get32(bytes, 28), 88200u);
    EXPECT_EQ(v1::get32(bytes, 40), 2 * beam.size());
    for (size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(v1::get16s(bytes, 44 + 2 * i), codes[i]) << "sample " << i;
        EXPECT_EQ(to_pcm16(beam[i]), codes[i]) << "sample " << i;
    }
}

TEST(WriteBeamformedWav, OutputIsReadableBySoxAndByOurReader) {
    v1::TempDir dir;
    std::vector<double> beam(1600);
    for (size_t i = 0; i < beam.size(); ++i) {
        beam[i] = 0.8 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / 16000.0);
    }
    const std::string path = dir.file("beam.wav");
    write_beamformed_wav(path, 16000, beam);
    const std::string q = quote(path);
    EXPECT_EQ(v1::shell("test \"$(soxi -r " + q + ") $(soxi -c " + q + ") $(soxi -b " + q + ") $(soxi -s " + q +
                        ")\" = '16000 1 16 1600'"),
              0);
    const WavData back = read_wav(path);
    ASSERT_EQ(back.samples.size(), 1u);
    ASSERT_EQ(back.samples[0].size(), beam.size());
    for (size_t i = 0; i < beam.size(); ++i) {
        ASSERT_NEAR(back.samples[0][i], beam[i], 2.0 / 32768.0) << i;
    }
}

TEST(WriteBeamformedWav, ReplacesALongerExistingFile) {
    v1::TempDir dir;
    const std::string path = dir.file("a.wav");
    v1::write_bytes(path, std::string(1000, 'z'));
    write_beamformed_wav(path, 16000, {0.5});
    EXPECT_EQ(v1::read_bytes(path).size(), 46u);
}

TEST(WriteBeamformedWav, FailuresAtOpenOrOnAFullDiskAreReported) {
    v1::TempDir dir;
    const std::string missing_dir = dir.file("no/such/dir/beam.wav");
    try {
        write_beamformed_wav(missing_dir, 16000, {0.1});
        ADD_FAILURE() << "no error for a missing directory";
    } catch (const std::runtime_error &error) {
        EXPECT_EQ(std::string(error.what()), "failed to write WAV: " + missing_dir);
    }
    // /dev/full opens fine and fails only when the data reaches it.
    for (size_t n : {size_t{1}, size_t{100000}}) {
        try {
            write_beamformed_wav("/dev/full", 16000, std::vector<double>(n, 0.1));
            ADD_FAILURE() << "no error on a full device, " << n << " samples";
        } catch (const std::runtime_error &error) {
            EXPECT_EQ(std::string(error.what()), "failed to write WAV: /dev/full");
        }
    }
}

}  // namespace

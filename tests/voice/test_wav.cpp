// Reading RIFF/WAVE PCM files (from sox, arecord and hostile bytes) and writing the 16-bit mono beam.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "voice_programs.h"
#include "simulated_array.h"
#include "wav.h"
#include "wav_bytes.h"

using namespace voicetest;

namespace {

std::string read_error(const std::string &path) {
    try {
        read_wav(path);
    } catch (const std::runtime_error &error) {
        return error.what();
    }
    return "(no error)";
}

std::string write_error(const std::string &path, size_t samples) {
    try {
        write_beamformed_wav(path, 16000, std::vector<double>(samples, 0.1));
    } catch (const std::runtime_error &error) {
        return error.what();
    }
    return "(no error)";
}

std::string pcm32(const std::vector<int32_t> &codes) {
    std::string out;
    for (int32_t c : codes) {
        put32(out, static_cast<uint32_t>(c));
    }
    return out;
}

// Every sample of `wav` equals the interleaved little-endian code in `raw`, scaled to full scale 1.0.
void expect_matches_raw(const WavData &wav, const std::string &raw, size_t frames) {
    const size_t channels = static_cast<size_t>(wav.channels);
    const size_t width = static_cast<size_t>(wav.bits_per_sample / 8);
    ASSERT_EQ(wav.samples.size(), channels);
    for (size_t c = 0; c < channels; ++c) {
        ASSERT_EQ(wav.samples[c].size(), frames) << "channel " << c;
        for (size_t f = 0; f < frames; ++f) {
            const size_t at = (f * channels + c) * width;
            const double expected =
                width == 2 ? get16s(raw, at) / 32768.0 : static_cast<int32_t>(get32(raw, at)) / 2147483648.0;
            ASSERT_EQ(wav.samples[c][f], expected) << "channel " << c << " frame " << f;
        }
    }
}

// ---- files written by real tools ----

TEST(ReadWavFromTools, PcmFromSoxInBothWidthsAndInTheExtensibleHeader) {
    TempDir dir;
    struct Case {
        std::string input, output, raw_type;
        int rate, channels, bits;
        size_t frames;
        uint16_t tag;
    };
    const Case cases[] = {
        {"-r 16000 -c 4", "-t wavpcm -b 32 -e signed-integer", "s32", 16000, 4, 32, 4000, 1},
        {"-r 44100 -c 2", "-b 16 -e signed-integer", "s16", 44100, 2, 16, 11025, 1},
        // Past 2 channels or 16 bits sox writes the extensible header, sub-format PCM.
        {"-r 16000 -c 4", "-b 32 -e signed-integer", "s32", 16000, 4, 32, 4000, 0xFFFE},
    };
    for (const Case &c : cases) {
        const std::string wav = dir.file("in.wav");
        const std::string raw = dir.file("in.raw");
        ASSERT_EQ(shell("sox -R " + c.input + " -n " + c.output + " " + quote(wav) +
                        " synth 0.25 sine 300 square 700 sine 500 sawtooth 900 vol 0.9 && sox " + quote(wav) +
                        " -t " + c.raw_type + " " + quote(raw)),
                  0);
        EXPECT_EQ(static_cast<uint16_t>(get32(read_file(wav), 20)), c.tag) << c.output;
        const WavData data = read_wav(wav);
        EXPECT_EQ(data.sample_rate, c.rate);
        EXPECT_EQ(data.channels, c.channels);
        EXPECT_EQ(data.bits_per_sample, c.bits);
        expect_matches_raw(data, read_file(raw), c.frames);
    }
}

TEST(ReadWavFromTools, OddSizedListChunksAroundFmtAreSkipped) {
    TempDir dir;
    const std::string plain = dir.file("plain.wav");
    ASSERT_EQ(shell("sox -R -r 16000 -c 2 -n -b 16 " + quote(plain) + " synth 0.05 sine 440"), 0);
    const std::string bytes = read_file(plain);
    ASSERT_EQ(bytes.substr(36, 4), "data");
    // Tagging tools add LIST/INFO chunks; this one has an odd payload and so a pad byte.
    const std::string list = chunk("LIST", std::string("INFOICMT\x05\0\0\0odd!\0", 17));
    write_file(dir.file("tagged.wav"), riff(list + bytes.substr(12, 24) + list + bytes.substr(36)));
    EXPECT_EQ(read_wav(dir.file("tagged.wav")).samples, read_wav(plain).samples);
}

TEST(ReadWavFromTools, EncodingsOtherThanPlainPcmAreRefused) {
    TempDir dir;
    const std::string encoding = "unsupported WAV encoding; expected PCM";
    const std::string layout = "unsupported PCM layout; expected 16-bit or 32-bit interleaved";
    const std::pair<std::string, std::string> cases[] = {
        {"-c 4 -b 24 -e signed-integer", layout},  // extensible, sub-format PCM, 24 bits
        {"-c 1 -t wavpcm -b 32 -e floating-point", encoding},
        {"-c 1 -b 8 -e a-law", encoding},
        {"-c 1 -b 8 -e unsigned-integer", layout},
        {"-c 1 -t wavpcm -b 24 -e signed-integer", layout},
    };
    for (const auto &c : cases) {
        const std::string wav = dir.file("refused.wav");
        ASSERT_EQ(shell("sox -R -r 16000 -n " + c.first + " " + quote(wav) + " synth 0.01 sine 440"), 0);
        EXPECT_EQ(read_error(wav), c.second) << c.first;
    }
    // An extensible header whose sub-format is not PCM (here IEEE float), or that is too short to
    // hold one, is refused like the plain tags.
    const std::string wav = dir.file("extensible.wav");
    ASSERT_EQ(shell("sox -R -r 16000 -n -c 4 -b 32 -e signed-integer " + quote(wav) + " synth 0.01 sine 440"), 0);
    const std::string extensible = read_file(wav);
    ASSERT_EQ(extensible.substr(44, 2), std::string("\x01\x00", 2));
    std::string as_float = extensible;
    as_float[44] = 3;
    write_file(wav, as_float);
    EXPECT_EQ(read_error(wav), encoding);
    std::string no_sub_format = extensible;
    no_sub_format[16] = 24;  // fmt ends before the sub-format, whose last 8 bytes become a JUNK chunk
    no_sub_format.replace(44, 4, "JUNK");
    no_sub_format.replace(48, 4, std::string("\x08\x00\x00\x00", 4));
    write_file(wav, no_sub_format);
    EXPECT_EQ(read_error(wav), encoding);
}

TEST(ReadWavFromTools, ArecordCaptureThroughSimulatedArray) {
    TempDir home;
    // The `file` plugin over `null` replays MIC4_INFILE as the capture of "hw:1,0".
    write_simulated_array_config(home.path);
    const std::string infile = home.file("array.raw");
    const std::string out = home.file("capture.wav");
    ASSERT_EQ(shell("sox -R -r 16000 -c 4 -n -t s32 " + quote(infile) +
                    " synth 2 sine 200 sine 400 sine 600 sine 800 vol 0.5 && HOME=" + quote(home.path.string()) +
                    " MIC4_INFILE=" + quote(infile) + " arecord -q -D 'hw:1,0' -f S32_LE -r 16000 -c 4 -d 1 -t wav " +
                    quote(out)),
              0);
    const WavData data = read_wav(out);
    EXPECT_EQ(data.sample_rate, 16000);
    EXPECT_EQ(data.channels, 4);
    EXPECT_EQ(data.bits_per_sample, 32);
    expect_matches_raw(data, read_file(infile), 16000);  // the infile's first second
}

// ---- samples, frames and the chunk walk on hand-built files ----

TEST(ReadWavBytes, ExtremeCodesMapToTheUnitRange) {
    TempDir dir;
    write_file(dir.file("16.wav"), riff(fmt_chunk(1, 2, 16000, 16) + chunk("data", pcm16({-32768, 32767, 0, 16384}))));
    const WavData a = read_wav(dir.file("16.wav"));
    EXPECT_EQ(a.samples, (std::vector<std::vector<double>>{{-1.0, 0.0}, {32767.0 / 32768.0, 0.5}}));

    write_file(dir.file("32.wav"), riff(fmt_chunk(1, 1, 16000, 32) + chunk("data", pcm32({INT32_MIN, INT32_MAX, -1}))));
    const WavData b = read_wav(dir.file("32.wav"));
    EXPECT_EQ(b.samples[0][0], -1.0);
    EXPECT_LT(b.samples[0][1], 1.0);
    EXPECT_GT(b.samples[0][1], 0.9999999995);
    EXPECT_EQ(b.samples[0][2], -1.0 / 2147483648.0);
}

TEST(ReadWavBytes, OnlyWholeFramesAreDecoded) {
    TempDir dir;
    const std::string ten_frames = pcm32(std::vector<int32_t>(20, 1 << 20)) + "\x01\x02\x03";
    write_file(dir.file("a.wav"), riff(fmt_chunk(1, 2, 16000, 32) + chunk("data", ten_frames)));
    const WavData a = read_wav(dir.file("a.wav"));
    EXPECT_EQ(a.samples, std::vector<std::vector<double>>(2, std::vector<double>(10, 1.0 / 2048)));

    write_file(dir.file("b.wav"), riff(fmt_chunk(1, 4, 16000, 32) + chunk("data", std::string(15, '\x11'))));
    EXPECT_EQ(read_wav(dir.file("b.wav")).samples, std::vector<std::vector<double>>(4));
}

TEST(ReadWavBytes, ChunkWalkSkipsPadsOtherChunksAndKeepsTheLastFmtAndData) {
    TempDir dir;
    const std::string junk = chunk("JUNK", "jjj");  // odd: 3 bytes and a pad byte
    std::string riff_size_garbage = riff(junk + fmt_chunk(1, 1, 8000, 32) + junk + chunk("data", pcm16({1, 2})) +
                                         fmt_chunk(1, 1, 22050, 16) + chunk("data", pcm16({3, 4, 5}))) +
                                    "LIST\xff";  // a header that does not fit ends the walk
    riff_size_garbage.replace(4, 4, "\xff\xff\xff\x7f");  // the RIFF size is not examined
    write_file(dir.file("a.wav"), riff_size_garbage);
    const WavData a = read_wav(dir.file("a.wav"));
    EXPECT_EQ(a.sample_rate, 22050);
    EXPECT_EQ(a.bits_per_sample, 16);
    EXPECT_EQ(a.samples, (std::vector<std::vector<double>>{{3 / 32768.0, 4 / 32768.0, 5 / 32768.0}}));
}

TEST(ReadWavBytes, ChunksRunningPastTheEndAreTruncatedWhatEverTheirSize) {
    TempDir dir;
    const std::string fmt = fmt_chunk(1, 1, 16000, 16);
    // Sizes near 2^32 would wrap a 32-bit end position back inside the file.
    for (uint32_t size : {9u, 0x80000000u, 0xFFFFFFDCu, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
        std::string data = "data";
        put32(data, size);
        write_file(dir.file("a.wav"), riff(fmt + data + pcm16({1, 2, 3, 4})));
        EXPECT_EQ(read_error(dir.file("a.wav")), "truncated WAV chunk: data") << std::hex << size;

        if (size < 0x80000000u) {
            continue;
        }
        // Also before "fmt ", and behind a good "data" chunk.
        std::string list = "LIST";
        put32(list, size);
        list += "xxxxxxxx";
        write_file(dir.file("b.wav"), riff(list + fmt + chunk("data", pcm16({1, 2, 3, 4}))));
        EXPECT_EQ(read_error(dir.file("b.wav")), "truncated WAV chunk: LIST") << std::hex << size;
        write_file(dir.file("c.wav"), riff(fmt + chunk("data", pcm16({1, 2, 3, 4})) + list));
        EXPECT_EQ(read_error(dir.file("c.wav")), "truncated WAV chunk: LIST") << std::hex << size;
    }
}

TEST(ReadWavBytes, StructuralFaultsHaveTheirOwnMessages) {
    TempDir dir;
    const std::string data = chunk("data", pcm16({1, 2, 3, 4, 5, 6, 7, 8}));
    const std::string layout = "unsupported PCM layout; expected 16-bit or 32-bit interleaved";
    const std::pair<std::string, std::string> cases[] = {
        {riff(chunk("fmt ", std::string(14, '\x01')) + data), "invalid fmt chunk"},
        {riff(chunk("LIST", std::string(20, 'x')) + data), "missing fmt or data chunk"},
        {riff(fmt_chunk(1, 1, 16000, 16) + chunk("LIST", std::string(20, 'x'))), "missing fmt or data chunk"},
        {riff(fmt_chunk(3, 1, 16000, 32) + data), "unsupported WAV encoding; expected PCM"},
        {riff(fmt_chunk(1, 0, 16000, 16) + data), layout},
        {riff(fmt_chunk(1, 1, 16000, 24) + data), layout},
    };
    for (const auto &c : cases) {
        write_file(dir.file("a.wav"), c.first);
        EXPECT_EQ(read_error(dir.file("a.wav")), c.second);
    }
}

TEST(ReadWavBytes, SampleRatesThatDoNotFitAnIntAreRefused) {
    TempDir dir;
    const std::string data = chunk("data", pcm16({1, 2, 3, 4}));
    for (const uint32_t rate : {0x80000000u, 0xFFFFFFFFu}) {
        write_file(dir.file("a.wav"), riff(fmt_chunk(1, 1, rate, 16) + data));
        EXPECT_EQ(read_error(dir.file("a.wav")),
                  "unsupported sample rate " + std::to_string(rate) + " Hz; expected 0 to 2147483647");
    }
    // End to end: status 20 and no beam with a wrapped byte rate.
    const pid_t pid = spawn({VOCRIN_BIN, "--log", "", "--input-wav", dir.file("a.wav"), "--beamformed",
                             dir.file("beam.wav"), "--event", dir.file("event.json")},
                            {}, dir.file("out"), dir.file("err"));
    EXPECT_TRUE(exited_with(wait_for_exit(pid, 60), 20));
    EXPECT_FALSE(file_exists(dir.file("beam.wav")));
    write_file(dir.file("a.wav"), riff(fmt_chunk(1, 1, 0x7FFFFFFFu, 16) + data));
    EXPECT_EQ(read_wav(dir.file("a.wav")).sample_rate, 2147483647);
}

// A rate of 0 loses nothing: the file reads, lasts 0 seconds, and the run says so and ends clean.
TEST(ReadWavBytes, ARateOfZeroReadsAsAFileOfNoDuration) {
    TempDir dir;
    write_file(dir.file("a.wav"), riff(fmt_chunk(1, 2, 0, 16) + chunk("data", pcm16({-32768, 16384, 2, 3}))));
    const WavData wav = read_wav(dir.file("a.wav"));
    EXPECT_EQ(wav.sample_rate, 0);
    EXPECT_EQ(wav.samples, (std::vector<std::vector<double>>{{-1.0, 2.0 / 32768}, {0.5, 3.0 / 32768}}));

    const pid_t pid = spawn({VOCRIN_BIN, "--log", dir.file("run.log"), "--input-wav", dir.file("a.wav"),
                             "--beamformed", dir.file("beam.wav"), "--event", dir.file("event.json")},
                            {}, dir.file("out"), dir.file("err"));
    EXPECT_TRUE(exited_with(wait_for_exit(pid, 60), 0)) << read_file(dir.file("out"));
    const std::vector<std::string> lines = split_lines(read_file(dir.file("run.log")));
    for (const char *line : {"sample_rate: 0", "channels: 2", "duration_seconds: 0.000000",
                                    "warning: sample rate differs from expected 16000 Hz", "clean exit"}) {
        EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
    }
    const std::string manifest = read_file(dir.file("event.json"));
    EXPECT_NE(manifest.find("\"sample_rate\": 0,"), std::string::npos) << manifest;
    EXPECT_NE(manifest.find("\"duration_seconds\": 0.000,"), std::string::npos) << manifest;
    EXPECT_EQ(file_size(dir.file("beam.wav")), 44 + 2 * 2);
}

TEST(ReadWavFile, UnreadableOrForeignFilesNameThePath) {
    TempDir dir;
    EXPECT_EQ(read_error(dir.file("missing.wav")), "failed to open WAV: " + dir.file("missing.wav"));
    EXPECT_EQ(read_error(dir.path), "failed to open WAV: " + dir.path.string());

    const std::string good = riff(fmt_chunk(1, 1, 16000, 16) + chunk("data", pcm16({1, 2, 3, 4})));
    const std::string path = dir.file("x.wav");
    for (const std::string &bytes : {std::string(), good.substr(0, 43), "RIFX" + good.substr(4),
                                     good.substr(0, 8) + "AVI " + good.substr(12), std::string(64, '\0')}) {
        write_file(path, bytes);
        EXPECT_EQ(read_error(path), "not a RIFF/WAVE file: " + path) << bytes.size();
    }
    // A pipe cannot be seeked but reads all the same (e.g. --input-wav <(...)).
    write_file(path, good);
    FILE *pipe = ::popen(("cat " + quote(path)).c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    const WavData piped = read_wav("/dev/fd/" + std::to_string(::fileno(pipe)));
    ::pclose(pipe);
    EXPECT_EQ(piped.samples, read_wav(path).samples);
}

// A pipe or device that never ends is refused as soon as its first bytes are not a RIFF/WAVE header.
TEST(ReadWavFile, EndlessStreamsThatAreNotWavAreRefusedAtOnce) {
    TempDir dir;
    const std::string fifo = dir.file("endless.fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR);  // held open: the stream never ends
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::write(writer, "RIFF\0\0\0\0WAVX", 12), 12);
    for (const std::string &source : {fifo, std::string("/dev/zero"), std::string("/dev/urandom")}) {
        const pid_t pid = spawn({VOCRIN_BIN, "--log", "", "--input-wav", source}, {}, dir.file("out"), dir.file("err"));
        EXPECT_TRUE(exited_with(wait_for_exit(pid, 20), 20)) << source;
        const std::vector<std::string> lines = split_lines(read_file(dir.file("out")));
        ASSERT_FALSE(lines.empty()) << source;
        EXPECT_EQ(lines.back(), "error: not a RIFF/WAVE file: " + source);
    }
    ::close(writer);
}

// ---- writing ----

TEST(WriteBeamformedWav, HeaderAndCodesScaledBy32767) {
    TempDir dir;
    std::ostringstream le;
    write_le32(le, 0x11223344u);
    EXPECT_EQ(le.str(), "\x44\x33\x22\x11");

    // A bare 44-byte header for an empty beam: RIFF size 36, data size 0.
    write_beamformed_wav(dir.file("empty.wav"), 16000, {});
    EXPECT_EQ(read_file(dir.file("empty.wav")), riff(fmt_chunk(1, 1, 16000, 16) + chunk("data", "")));

    const std::vector<double> beam = {-1.0, 0.0, 0.5, 1.0, 1.2, -3.0, -0.5, 0.25, 1e-6,
                                      std::numeric_limits<double>::quiet_NaN()};
    const std::vector<int16_t> codes = {-32767, 0, 16384, 32767, 32767, -32767, -16384, 8192, 0, 0};
    write_beamformed_wav(dir.file("a.wav"), 44100, beam);
    EXPECT_EQ(read_file(dir.file("a.wav")), riff(fmt_chunk(1, 1, 44100, 16) + chunk("data", pcm16(codes))));
    for (size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(to_pcm16(beam[i]), codes[i]) << "sample " << i;
    }
}

TEST(WriteBeamformedWav, SoxAndOurReaderReadItBack) {
    TempDir dir;
    std::vector<double> beam(1600);
    for (size_t i = 0; i < beam.size(); ++i) {
        beam[i] = 0.8 * std::sin(2 * M_PI * 440.0 * static_cast<double>(i) / 16000.0);
    }
    const std::string path = dir.file("beam.wav");
    write_file(path, std::string(100000, 'z'));  // a longer old file is replaced
    write_beamformed_wav(path, 16000, beam);
    const std::string q = quote(path);
    EXPECT_EQ(shell("test \"$(soxi -r " + q + ") $(soxi -c " + q + ") $(soxi -b " + q + ") $(soxi -s " + q +
                        ")\" = '16000 1 16 1600'"),
              0);
    const WavData back = read_wav(path);
    ASSERT_EQ(back.samples.size(), 1u);
    ASSERT_EQ(back.samples[0].size(), beam.size());
    for (size_t i = 0; i < beam.size(); ++i) {
        ASSERT_NEAR(back.samples[0][i], beam[i], 2.0 / 32768.0) << i;
    }
}

// The beam goes to a hidden file that a rename puts in place: a disk that fills half-way leaves an
// earlier file as it was with nothing hidden beside it. A replaced file keeps its mode, a link keeps
// naming the file it points to, and a device is written, never replaced.
TEST(WriteBeamformedWav, ReplacesAFileWholeOrLeavesItAsItWas) {
    TempDir dir;
    const std::vector<double> beam(48000, 0.25);  // 96 kB of samples
    const std::string kept = dir.file("kept.wav");
    write_file(kept, std::string("earlier"));
    ASSERT_EQ(chmod(kept.c_str(), 0640), 0);
    write_beamformed_wav(kept, 16000, beam);
    EXPECT_EQ(read_wav(kept).samples[0], std::vector<double>(beam.size(), 8192.0 / 32768.0));
    struct stat info {};
    ASSERT_EQ(stat(kept.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);

    const std::string link = dir.file("link.wav");
    ASSERT_EQ(symlink("target.wav", link.c_str()), 0);
    write_beamformed_wav(link, 16000, beam);
    ASSERT_EQ(lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(read_file(dir.file("target.wav")), read_file(kept));

    write_beamformed_wav("/dev/null", 16000, beam);
    ASSERT_EQ(stat("/dev/null", &info), 0);
    EXPECT_TRUE(S_ISCHR(info.st_mode));
    EXPECT_EQ(shell_output("ls -A " + quote(dir.path)), "kept.wav\nlink.wav\ntarget.wav\n");

    // New files take the caller's umask, the second as the first.
    const mode_t previous_mask = umask(022);
    write_beamformed_wav(dir.file("new1.wav"), 16000, beam);
    write_beamformed_wav(dir.file("new2.wav"), 16000, beam);
    umask(previous_mask);
    for (const char *name : {"new1.wav", "new2.wav"}) {
        ASSERT_EQ(stat(dir.file(name).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u) << name;
    }

    // A file its user may not write is refused, not replaced, even in a directory they may write.
    if (geteuid() == 0) {
        const std::string locked = dir.file("locked.wav");
        write_file(locked, std::string("earlier"));
        ASSERT_EQ(chown(locked.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
        ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
        const pid_t child = fork();
        if (child == 0) {
            const bool refused = setgid(65534) == 0 && setuid(65534) == 0 &&
                                 write_error(locked, 1) == "failed to write WAV: " + locked;
            _exit(refused ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        EXPECT_EQ(read_file(locked), "earlier");
    }

    const std::string disk = dir.file("disk");
    ASSERT_EQ(mkdir(disk.c_str(), 0700), 0);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "cannot mount a small tmpfs here";
    struct Unmount {
        std::string at;
        ~Unmount() { umount(at.c_str()); }
    } unmount{disk};
    const std::string full = disk + "/beam.wav";
    write_file(full, std::string("earlier"));
    EXPECT_EQ(write_error(full, beam.size()), "failed to write WAV: " + full);
    EXPECT_EQ(read_file(full), "earlier");
    EXPECT_EQ(shell_output("ls -A " + quote(disk)), "beam.wav\n");
}

TEST(WriteBeamformedWav, FailuresAtOpenOrOnAFullDiskAreReported) {
    TempDir dir;
    EXPECT_EQ(write_error(dir.file("no/dir/beam.wav"), 1), "failed to write WAV: " + dir.file("no/dir/beam.wav"));
    // /dev/full opens fine and fails only when the data reaches it.
    EXPECT_EQ(write_error("/dev/full", 1), "failed to write WAV: /dev/full");
    EXPECT_EQ(write_error("/dev/full", 100000), "failed to write WAV: /dev/full");
}

}  // namespace

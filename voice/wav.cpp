#include "wav.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#include "whole_file.h"

namespace {

// Read-only view of the input file. Regular files are read in place with pread, so the
// decoder never holds a second copy of the audio; pipes and devices are slurped whole.
struct ByteSource {
    int fd = -1;
    uint64_t size = 0;
    std::vector<uint8_t> slurped;
    bool in_memory = false;

    ByteSource() = default;
    ByteSource(const ByteSource &) = delete;
    ByteSource &operator=(const ByteSource &) = delete;
    ~ByteSource() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

bool read_all(int fd, uint8_t *dst, size_t count, uint64_t offset, bool positioned) {
    while (count > 0) {
        const ssize_t got = positioned ? ::pread(fd, dst, count, static_cast<off_t>(offset)) : ::read(fd, dst, count);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        dst += got;
        offset += static_cast<uint64_t>(got);
        count -= static_cast<size_t>(got);
    }
    return true;
}

// No RIFF file is longer than its 8-byte header plus the 32-bit size that follows it.
constexpr uint64_t kLargestRiffFile = 8 + uint64_t{0xFFFFFFFF};

// Whether the bytes so far can still begin "RIFF", any 4 bytes, "WAVE".
bool may_be_riff_wave(const std::vector<uint8_t> &bytes) {
    static const char kHeader[] = "RIFF????WAVE";
    for (size_t i = 0; i < bytes.size() && i < 12; ++i) {
        if (kHeader[i] != '?' && bytes[i] != static_cast<uint8_t>(kHeader[i])) {
            return false;
        }
    }
    return true;
}

// A pipe or device is read into memory, but not blindly: one that does not begin like a RIFF/WAVE
// file (/dev/zero, /dev/urandom) is refused at once, and none is read past the largest RIFF file.
void slurp_stream(ByteSource &source, const std::string &path) {
    uint8_t block[65536];
    for (;;) {
        const ssize_t got = ::read(source.fd, block, sizeof block);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            throw std::runtime_error("failed to open WAV: " + path);
        }
        if (got == 0) {
            break;
        }
        source.slurped.insert(source.slurped.end(), block, block + got);
        if (!may_be_riff_wave(source.slurped) || source.slurped.size() > kLargestRiffFile) {
            throw std::runtime_error("not a RIFF/WAVE file: " + path);
        }
    }
    source.in_memory = true;
    source.size = source.slurped.size();
}

void open_source(const std::string &path, ByteSource &source) {
    source.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (source.fd < 0 || ::fstat(source.fd, &info) != 0 || S_ISDIR(info.st_mode)) {
        throw std::runtime_error("failed to open WAV: " + path);
    }
    if (S_ISREG(info.st_mode)) {
        source.size = static_cast<uint64_t>(info.st_size);
        return;
    }
    slurp_stream(source, path);
}

// Callers only ask for ranges already checked against the file size.
void read_at(const ByteSource &source, uint64_t offset, uint8_t *dst, size_t count, const std::string &path) {
    if (source.in_memory) {
        std::memcpy(dst, source.slurped.data() + offset, count);
        return;
    }
    if (!read_all(source.fd, dst, count, offset, true)) {
        throw std::runtime_error("failed to open WAV: " + path);
    }
}

uint16_t le16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

constexpr uint16_t kFormatPcm = 1;
constexpr uint16_t kFormatExtensible = 0xFFFE;
constexpr size_t kExtensibleFmtBytes = 40;
// The extensible header's sub-format for integer PCM: the PCM tag in the GUID every tag shares.
constexpr uint8_t kPcmSubFormat[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct ChunkLayout {
    bool have_fmt = false;
    bool have_data = false;
    bool pcm = false;
    int32_t channels = 0;
    uint32_t sample_rate = 0;  // as stored; read_wav refuses what does not fit an int32_t
    int32_t bits_per_sample = 0;
    uint64_t data_offset = 0;
    uint64_t data_size = 0;
};

// Positions and sizes are 64-bit so a size field near 2^32 cannot wrap past the bounds check.
ChunkLayout walk_chunks(const ByteSource &source, const std::string &path) {
    ChunkLayout layout;
    uint64_t pos = 12;
    while (pos + 8 <= source.size) {
        uint8_t header[8];
        read_at(source, pos, header, sizeof header, path);
        const std::string id(reinterpret_cast<const char *>(header), 4);
        const uint64_t payload_size = le32(header + 4);
        const uint64_t payload = pos + 8;
        if (payload + payload_size > source.size) {
            throw std::runtime_error("truncated WAV chunk: " + id);
        }
        if (id == "fmt ") {
            if (payload_size < 16) {
                throw std::runtime_error("invalid fmt chunk");
            }
            uint8_t fmt[kExtensibleFmtBytes];
            const bool extended = payload_size >= kExtensibleFmtBytes;
            read_at(source, payload, fmt, extended ? kExtensibleFmtBytes : 16, path);
            layout.have_fmt = true;
            // Past 2 channels or 16 bits, sox, ffmpeg and audio editors write the extensible
            // header, whose sub-format names the encoding.
            layout.pcm = le16(fmt) == kFormatPcm || (le16(fmt) == kFormatExtensible && extended &&
                                                     std::memcmp(fmt + 24, kPcmSubFormat, 16) == 0);
            layout.channels = le16(fmt + 2);
            layout.sample_rate = le32(fmt + 4);
            layout.bits_per_sample = le16(fmt + 14);
        } else if (id == "data") {
            layout.have_data = true;
            layout.data_offset = payload;
            layout.data_size = payload_size;
        }
        pos = payload + payload_size + (payload_size & 1);
    }
    return layout;
}

constexpr double k16BitScale = 1.0 / 32768.0;
constexpr double k32BitScale = 1.0 / 2147483648.0;

double clamp_unit(double x) { return std::min(std::max(x, -1.0), 1.0); }

template <size_t SampleBytes>
double decode_sample(const uint8_t *p) {
    if (SampleBytes == 2) {
        return clamp_unit(static_cast<int16_t>(le16(p)) * k16BitScale);
    }
    return clamp_unit(static_cast<int32_t>(le32(p)) * k32BitScale);
}

// Interleaved frames appended to the channel vectors, one channel and a cache-sized run at a time.
template <size_t SampleBytes>
void decode_block(const uint8_t *bytes, size_t frames, std::vector<std::vector<double>> &samples) {
    constexpr size_t kRun = 1024;
    const size_t channels = samples.size();
    const size_t frame_bytes = channels * SampleBytes;
    double decoded[kRun];
    for (size_t first = 0; first < frames; first += kRun) {
        const size_t count = std::min(kRun, frames - first);
        for (size_t c = 0; c < channels; ++c) {
            const uint8_t *p = bytes + first * frame_bytes + c * SampleBytes;
            for (size_t f = 0; f < count; ++f, p += frame_bytes) {
                decoded[f] = decode_sample<SampleBytes>(p);
            }
            samples[c].insert(samples[c].end(), decoded, decoded + count);
        }
    }
}

void decode_frames(const ByteSource &source, const ChunkLayout &layout, WavData &wav, const std::string &path) {
    const size_t channels = static_cast<size_t>(layout.channels);
    const size_t sample_bytes = static_cast<size_t>(layout.bits_per_sample / 8);
    const size_t frame_bytes = channels * sample_bytes;
    const uint64_t frames = layout.data_size / frame_bytes;

    wav.samples.assign(channels, std::vector<double>());
    for (auto &channel : wav.samples) {
        reserve_samples(channel, static_cast<size_t>(frames));
    }

    const size_t frames_per_block = std::max<size_t>(1, (size_t{1} << 16) / frame_bytes);
    std::vector<uint8_t> block(frames_per_block * frame_bytes);
    for (uint64_t first = 0; first < frames; first += frames_per_block) {
        const size_t count = static_cast<size_t>(std::min<uint64_t>(frames_per_block, frames - first));
        read_at(source, layout.data_offset + first * frame_bytes, block.data(), count * frame_bytes, path);
        decode_pcm_frames(block.data(), count, layout.bits_per_sample, wav.samples);
    }
}

void put_le16(std::vector<char> &out, uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void put_le32(std::vector<char> &out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

}  // namespace

WavData read_wav(const std::string &path) {
    ByteSource source;
    open_source(path, source);

    uint8_t head[12];
    if (source.size < 44) {
        throw std::runtime_error("not a RIFF/WAVE file: " + path);
    }
    read_at(source, 0, head, sizeof head, path);
    if (std::memcmp(head, "RIFF", 4) != 0 || std::memcmp(head + 8, "WAVE", 4) != 0) {
        throw std::runtime_error("not a RIFF/WAVE file: " + path);
    }

    const ChunkLayout layout = walk_chunks(source, path);
    if (!layout.have_fmt || !layout.have_data) {
        throw std::runtime_error("missing fmt or data chunk");
    }
    if (!layout.pcm) {
        throw std::runtime_error("unsupported WAV encoding; expected PCM");
    }
    if (layout.channels <= 0 || (layout.bits_per_sample != 16 && layout.bits_per_sample != 32)) {
        throw std::runtime_error("unsupported PCM layout; expected 16-bit or 32-bit interleaved");
    }
    // A rate of 2^31 or more would turn negative here and wrap the beam's byte rate. A rate of 0
    // reads: the file then lasts 0 seconds, and the run says so.
    if (layout.sample_rate > static_cast<uint32_t>(INT32_MAX)) {
        throw std::runtime_error("unsupported sample rate " + std::to_string(layout.sample_rate) +
                                 " Hz; expected 0 to 2147483647");
    }

    WavData wav;
    wav.sample_rate = static_cast<int32_t>(layout.sample_rate);
    wav.channels = layout.channels;
    wav.bits_per_sample = layout.bits_per_sample;
    decode_frames(source, layout, wav, path);
    return wav;
}

void decode_pcm_frames(const uint8_t *bytes, size_t frames, int bits_per_sample,
                       std::vector<std::vector<double>> &samples) {
    if (bits_per_sample == 16) {
        decode_block<2>(bytes, frames, samples);
    } else {
        decode_block<4>(bytes, frames, samples);
    }
}

void reserve_samples(std::vector<double> &samples, size_t count) {
    samples.reserve(count);
    // Filling a fresh buffer of megabytes page by page costs one page fault per 4 kB. The
    // buffer is about to be written whole, so its pages are asked for at once, as 2 MB pages
    // where the system has them. Only whole pages inside the buffer are advised; both are hints.
    constexpr uintptr_t kPage = 4096;
    constexpr size_t kLargeBuffer = size_t{4} << 20;
    const size_t bytes = count * sizeof(double);
    if (bytes >= kLargeBuffer) {
        const uintptr_t begin = (reinterpret_cast<uintptr_t>(samples.data()) + kPage - 1) & ~(kPage - 1);
        const uintptr_t end = (reinterpret_cast<uintptr_t>(samples.data()) + bytes) & ~(kPage - 1);
        ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_HUGEPAGE);
        ::madvise(reinterpret_cast<void *>(begin), end - begin, MADV_POPULATE_WRITE);
    }
}

void write_le32(std::ostream &out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.put(static_cast<char>((value >> shift) & 0xFF));
    }
}

int16_t to_pcm16(double sample) {
    if (std::isnan(sample)) {
        return 0;
    }
    // Scale 32767, not 32768, so -1.0 and +1.0 map to codes of equal size.
    const double scaled = clamp_unit(sample) * 32767.0;
    // Halves away from zero, as std::round, without its library call: cutting off the whole part
    // leaves the exact fraction.
    const int32_t whole = static_cast<int32_t>(scaled);
    const double fraction = scaled - whole;
    return static_cast<int16_t>(whole + (fraction >= 0.5) - (fraction <= -0.5));
}

namespace {

// The s16le codes of `count` samples, two bytes each, into `out`.
void put_pcm16_le(const double *samples, size_t count, unsigned char *out) {
    for (size_t i = 0; i < count; ++i) {
        const uint16_t code = static_cast<uint16_t>(to_pcm16(samples[i]));
        out[2 * i] = static_cast<unsigned char>(code & 0xFF);
        out[2 * i + 1] = static_cast<unsigned char>(code >> 8);
    }
}

}  // namespace

std::vector<unsigned char> encode_pcm16_le(const std::vector<double> &samples) {
    std::vector<unsigned char> bytes(samples.size() * 2);
    put_pcm16_le(samples.data(), samples.size(), bytes.data());
    return bytes;
}

void write_beamformed_wav(const std::string &path, int32_t sample_rate, const std::vector<double> &samples) {
    const uint32_t data_bytes = static_cast<uint32_t>(2u * samples.size());
    const uint32_t rate = static_cast<uint32_t>(sample_rate);
    std::vector<char> header;
    header.insert(header.end(), {'R', 'I', 'F', 'F'});
    put_le32(header, 36u + data_bytes);
    header.insert(header.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put_le32(header, 16);
    put_le16(header, 1);
    put_le16(header, 1);
    put_le32(header, rate);
    put_le32(header, rate * 2u);
    put_le16(header, 2);
    put_le16(header, 16);
    header.insert(header.end(), {'d', 'a', 't', 'a'});
    put_le32(header, data_bytes);

    // The samples go out a block at a time, so the file is never held whole in memory.
    const bool whole = write_file_whole(path, [&](std::FILE *out) {
        bool written = std::fwrite(header.data(), 1, header.size(), out) == header.size();
        constexpr size_t kBlockSamples = 32768;
        unsigned char block[2 * kBlockSamples];
        for (size_t first = 0; written && first < samples.size(); first += kBlockSamples) {
            const size_t count = std::min(kBlockSamples, samples.size() - first);
            put_pcm16_le(samples.data() + first, count, block);
            written = std::fwrite(block, 1, 2 * count, out) == 2 * count;
        }
        return written;
    });
    if (!whole) {
        throw std::runtime_error("failed to write WAV: " + path);
    }
}

#pragma once
// Hand-built audio bytes for the vocrin tests: little-endian codes, RIFF/WAVE chunks and raw
// interleaved PCM.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace voicetest {

inline void put16(std::string &out, uint16_t v) {
    out += static_cast<char>(v & 0xFF);
    out += static_cast<char>(v >> 8);
}

inline void put32(std::string &out, uint32_t v) {
    put16(out, static_cast<uint16_t>(v & 0xFFFF));
    put16(out, static_cast<uint16_t>(v >> 16));
}

inline uint32_t get32(const std::string &bytes, size_t at) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = (v << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    }
    return v;
}

inline int16_t get16s(const std::string &bytes, size_t at) {
    return static_cast<int16_t>(static_cast<uint8_t>(bytes[at]) | (static_cast<uint8_t>(bytes[at + 1]) << 8));
}

// A chunk with its true size, and the pad byte when the payload is odd.
inline std::string chunk(const std::string &id, const std::string &payload) {
    std::string out = id;
    put32(out, static_cast<uint32_t>(payload.size()));
    return out + payload + (payload.size() % 2 ? std::string(1, '\0') : std::string());
}

inline std::string fmt_chunk(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits) {
    std::string p;
    put16(p, tag);
    put16(p, channels);
    put32(p, rate);
    put32(p, rate * channels * (bits / 8u));
    put16(p, static_cast<uint16_t>(channels * (bits / 8u)));
    put16(p, bits);
    return chunk("fmt ", p);
}

inline std::string riff(const std::string &chunks) {
    std::string out = "RIFF";
    put32(out, static_cast<uint32_t>(4 + chunks.size()));
    return out + "WAVE" + chunks;
}

inline std::string pcm16(const std::vector<int16_t> &codes) {
    std::string out;
    for (int16_t c : codes) {
        put16(out, static_cast<uint16_t>(c));
    }
    return out;
}

// Raw S32_LE bytes of interleaved codes, as arecord reads them from the simulated array.
inline std::vector<unsigned char> s32le_bytes(const std::vector<int32_t> &codes) {
    std::string out;
    out.reserve(codes.size() * 4);
    for (int32_t c : codes) {
        put32(out, static_cast<uint32_t>(c));
    }
    return std::vector<unsigned char>(out.begin(), out.end());
}

}  // namespace voicetest

// A fuzz harness without libFuzzer, for the test suite: every seed file once, then a fixed number of
// inputs made from the seeds by mutations drawn from a fixed seed, so every run replays the same
// inputs. A harness that aborts or trips a sanitizer on one of them fails the test.
//   fuzz_replay_HARNESS SEED_DIR COUNT
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

// xorshift64: the same draws on every machine.
struct Draws {
    uint64_t state = 0x9E3779B97F4A7C15ull;
    uint64_t next() {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    }
    size_t below(size_t n) { return n == 0 ? 0 : static_cast<size_t>(next() % n); }
};

// Headers hold the fields a reader trusts, so most edits land in the first 64 bytes.
size_t offset_in(Draws &draws, const Bytes &input) {
    const size_t span = draws.below(4) == 0 ? input.size() : std::min<size_t>(input.size(), 64);
    return draws.below(span);
}

void mutate_once(Draws &draws, Bytes &input) {
    static const uint32_t kWords[] = {0, 1, 2, 3, 16, 32, 0xFFFE, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF};
    static const uint8_t kBytes[] = {0x00, 0x01, 0x7F, 0x80, 0xFF};
    if (input.empty()) {
        input.push_back(static_cast<uint8_t>(draws.next()));
        return;
    }
    const size_t at = offset_in(draws, input);
    switch (draws.below(5)) {
        case 0:
            input[at] ^= static_cast<uint8_t>(1u << draws.below(8));
            break;
        case 1:
            input[at] = kBytes[draws.below(sizeof kBytes)];
            break;
        case 2: {
            const uint32_t word = kWords[draws.below(sizeof kWords / sizeof kWords[0])];
            for (size_t i = 0; i < 4 && at + i < input.size(); ++i) {
                input[at + i] = static_cast<uint8_t>(word >> (8 * i));
            }
            break;
        }
        case 3:
            input.resize(at);
            break;
        default: {  // a slice repeated in place, as a duplicated chunk
            const size_t length = 1 + draws.below(std::min<size_t>(input.size() - at, 32));
            input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), input.begin() + static_cast<std::ptrdiff_t>(at),
                         input.begin() + static_cast<std::ptrdiff_t>(at + length));
            break;
        }
    }
}

std::vector<Bytes> read_seeds(const std::string &directory) {
    std::vector<std::filesystem::path> paths;
    for (const auto &entry : std::filesystem::directory_iterator(directory)) {
        paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());  // the same order, so the same inputs, everywhere
    std::vector<Bytes> seeds;
    for (const auto &path : paths) {
        std::ifstream in(path, std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return seeds;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s SEED_DIR COUNT\n", argv[0]);
        return 2;
    }
    const std::vector<Bytes> seeds = read_seeds(argv[1]);
    const long count = std::strtol(argv[2], nullptr, 10);
    if (seeds.empty() || count < 0) {
        std::fprintf(stderr, "no seeds in %s, or a bad count\n", argv[1]);
        return 2;
    }
    for (const Bytes &seed : seeds) {
        LLVMFuzzerTestOneInput(seed.data(), seed.size());
    }
    Draws draws;
    for (long i = 0; i < count; ++i) {
        Bytes input = seeds[static_cast<size_t>(i) % seeds.size()];
        for (size_t edits = 1 + draws.below(4); edits > 0; --edits) {
            mutate_once(draws, input);
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("%zu seeds and %ld mutated inputs passed\n", seeds.size(), count);
    return 0;
}

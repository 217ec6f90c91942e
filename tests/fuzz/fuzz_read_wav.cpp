// libFuzzer harness for the WAV reader: every input is a file that read_wav must either decode into
// equal-length channels within [-1, 1] or refuse with its runtime error; anything else (a crash, a
// sanitizer report, another exception, an endless read) is a finding. How to build and run it:
// README.md, "Fuzzing the WAV reader".
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "wav.h"

namespace {

// One in-memory file, rewritten for every input and read back through its /proc path.
int input_file() {
    static const int fd = ::memfd_create("fuzz_read_wav", 0);
    if (fd < 0) std::abort();
    return fd;
}

// What read_wav promises. A rate of 0 is read on purpose (a file of no duration); a negative one never is.
void check(const WavData &wav) {
    if (wav.channels <= 0 || wav.sample_rate < 0 || wav.samples.size() != static_cast<size_t>(wav.channels)) {
        std::abort();
    }
    if (wav.bits_per_sample != 16 && wav.bits_per_sample != 32) std::abort();
    for (const auto &channel : wav.samples) {
        if (channel.size() != wav.samples[0].size()) std::abort();
        for (const double x : channel) {
            if (!(x >= -1.0 && x <= 1.0)) std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int fd = input_file();
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) std::abort();
    try {
        check(read_wav("/proc/self/fd/" + std::to_string(fd)));
    } catch (const std::runtime_error &) {
        // a refused file, with its message
    }
    return 0;
}

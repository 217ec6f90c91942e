// The simulated sensor (LUMIVAR_SIM_* as for the programs) with a program that takes each frame and gives it back
// at once: frames taken per second and the process's user and system time over its wall time, that is what the
// sensor's own reading and decoding cost a program that keeps up with it.
// Usage: face_sensor_pace [frames, default 300]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <libfreenect2/frame_listener_impl.h>
#include <libfreenect2/libfreenect2.hpp>

namespace {

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

}  // namespace

int main(int argc, char **argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 300;
    libfreenect2::Freenect2 context;
    libfreenect2::Freenect2Device *device =
        context.enumerateDevices() > 0 ? context.openDevice(context.getDefaultDeviceSerialNumber()) : nullptr;
    if (device == nullptr) {
        std::fprintf(stderr, "no simulated sensor (set LUMIVAR_SIM_FRAMES)\n");
        return 1;
    }
    libfreenect2::SyncMultiFrameListener listener(libfreenect2::Frame::Color);
    libfreenect2::FrameMap taken;
    device->setColorFrameListener(&listener);
    if (!device->startStreams(true, false)) return 1;
    const double cpu_start = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    int count = 0;
    for (; count < frames && listener.waitForNewFrame(taken, 10000); ++count) listener.release(taken);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = cpu_seconds() - cpu_start;
    device->stop();
    device->close();
    std::printf("%d frames in %.2f s: %.1f frames a second, %.2f of a core (%.1f ms of CPU a frame)\n", count, wall,
                count / wall, cpu / wall, 1000 * cpu / count);
    return 0;
}

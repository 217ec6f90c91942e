// Simulated sensor: frames and the synchronous listener.
#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

#include <libfreenect2/frame_listener_impl.h>

#include "sim_internal.h"

namespace libfreenect2 {

Frame::Frame(size_t width_, size_t height_, size_t bytes_per_pixel_, unsigned char *data_)
    : width(width_), height(height_), bytes_per_pixel(bytes_per_pixel_), data(data_), timestamp(0), sequence(0),
      exposure(0.f), gain(0.f), gamma(0.f), status(0), format(Frame::Invalid), rawdata(nullptr) {
    if (data) return;
    // As the library does: 64 spare bytes so that the pixels start on a 64-byte boundary, even for an empty frame.
    constexpr uintptr_t kAlignment = 64;
    rawdata = new unsigned char[width * height * bytes_per_pixel + kAlignment];
    const uintptr_t address = reinterpret_cast<uintptr_t>(rawdata);
    data = rawdata + ((kAlignment - address % kAlignment) % kAlignment);
}

Frame::~Frame() { delete[] rawdata; }

FrameListener::~FrameListener() = default;

class SyncMultiFrameListenerImpl {
public:
    unsigned int subscribed = 0;
    std::mutex mutex;
    std::condition_variable arrived;
    FrameMap next_frames;
    unsigned int ready_types = 0;
    // Between a wait that delivered and the release, the library refuses every new frame.
    bool current_released = true;

    bool complete() const { return subscribed != 0 && (ready_types & subscribed) == subscribed; }
};

namespace {

// The wait of a listener fed by a stream of the simulated device. A negative time limit checks without
// waiting, as the library's timed wait does; `forever` is the untimed wait.
bool wait_on_stream(sim::ColourStream &stream, SyncMultiFrameListenerImpl &impl, FrameMap &frame, int milliseconds,
                    bool forever) {
    if (!impl.current_released) {
        // The real listener refuses frames until the held ones are released, so this wait can only time out
        // (the untimed one would never return).
        sim::log(Logger::Error, "[SimFreenect2] waitForNewFrame called before the previous frame set was released");
        if (!forever) std::this_thread::sleep_for(std::chrono::milliseconds(std::max(milliseconds, 0)));
        return false;
    }
    const auto wait_start = std::chrono::steady_clock::now();
    Frame *colour = sim::pull_colour_frame(stream, forever ? -1 : std::max(milliseconds, 0));
    if (!colour) return false;
    frame = FrameMap{{Frame::Color, colour}};
    if (impl.subscribed & Frame::Depth) {
        if (!stream.depth_on || stream.config.fail_depth) {
            // The set is never complete: the wait lasts its whole time (the untimed one would never return).
            delete colour;
            frame.clear();
            if (!forever)
                std::this_thread::sleep_until(wait_start + std::chrono::milliseconds(std::max(milliseconds, 0)));
            return false;
        }
        const cv::Size picture(static_cast<int>(colour->width), static_cast<int>(colour->height));
        frame[Frame::Depth] = sim::depth_frame_for_last_colour(stream, picture, colour->sequence);
    }
    impl.current_released = false;
    return true;
}

// The wait of a listener fed through onNewFrame.
bool wait_on_pushed(SyncMultiFrameListenerImpl &impl, FrameMap &frame, int milliseconds, bool forever) {
    std::unique_lock<std::mutex> lock(impl.mutex);
    auto ready = [&] { return impl.complete(); };
    if (forever) {
        impl.arrived.wait(lock, ready);
    } else if (!impl.arrived.wait_for(lock, std::chrono::milliseconds(std::max(milliseconds, 0)), ready)) {
        return false;
    }
    frame = impl.next_frames;
    impl.next_frames.clear();
    impl.ready_types = 0;
    impl.current_released = false;
    return true;
}

}  // namespace

SyncMultiFrameListener::SyncMultiFrameListener(unsigned int frame_types) : impl_(new SyncMultiFrameListenerImpl) {
    impl_->subscribed = frame_types;
}

SyncMultiFrameListener::~SyncMultiFrameListener() {
    sim::detach_stream(this);
    for (auto &entry : impl_->next_frames) delete entry.second;
    delete impl_;
}

bool SyncMultiFrameListener::hasNewFrame() const {
    if (sim::ColourStream *stream = sim::attached_stream(this))
        return impl_->current_released && sim::colour_frame_ready(*stream);
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->complete();
}

bool SyncMultiFrameListener::waitForNewFrame(FrameMap &frame, int milliseconds) {
    if (sim::ColourStream *stream = sim::attached_stream(this))
        return wait_on_stream(*stream, *impl_, frame, milliseconds, false);
    return wait_on_pushed(*impl_, frame, milliseconds, false);
}

void SyncMultiFrameListener::waitForNewFrame(FrameMap &frame) {
    sim::ColourStream *stream = sim::attached_stream(this);
    if (!(stream ? wait_on_stream(*stream, *impl_, frame, -1, true) : wait_on_pushed(*impl_, frame, -1, true))) {
        sim::log(Logger::Error, "[SimFreenect2] no frame left to wait for");
    }
}

void SyncMultiFrameListener::release(FrameMap &frame) {
    for (auto &entry : frame) {
        delete entry.second;
        entry.second = nullptr;
    }
    frame.clear();
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->current_released = true;
    }
    if (sim::ColourStream *stream = sim::attached_stream(this)) sim::colour_frames_released(*stream);
}

bool SyncMultiFrameListener::onNewFrame(Frame::Type type, Frame *frame) {
    if ((impl_->subscribed & static_cast<unsigned int>(type)) == 0) return false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        // Refused while the application holds frames: the caller keeps this one.
        if (!impl_->current_released) return false;
        // A frame nobody took yet is replaced by the newer one.
        Frame *&slot = impl_->next_frames[type];
        delete slot;
        slot = frame;
        impl_->ready_types |= static_cast<unsigned int>(type);
    }
    impl_->arrived.notify_one();
    return true;
}

}  // namespace libfreenect2

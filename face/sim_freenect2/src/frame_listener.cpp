// Simulated sensor: frames and the synchronous listener.
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include <libfreenect2/frame_listener_impl.h>

#include "sim_internal.h"

namespace libfreenect2 {

Frame::Frame(size_t width_, size_t height_, size_t bytes_per_pixel_, unsigned char *data_)
    : width(width_), height(height_), bytes_per_pixel(bytes_per_pixel_), data(data_), timestamp(0), sequence(0),
      exposure(0.f), gain(0.f), gamma(0.f), status(0), format(Frame::Invalid), rawdata(nullptr) {
    if (data) return;
    const size_t bytes = width * height * bytes_per_pixel;
    if (bytes == 0) return;
    rawdata = new unsigned char[bytes];
    data = rawdata;
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
    bool current_held = false;

    bool complete() const { return subscribed != 0 && (ready_types & subscribed) == subscribed; }
};

SyncMultiFrameListener::SyncMultiFrameListener(unsigned int frame_types) : impl_(new SyncMultiFrameListenerImpl) {
    impl_->subscribed = frame_types;
}

SyncMultiFrameListener::~SyncMultiFrameListener() {
    sim::detach_stream(this);
    for (auto &entry : impl_->next_frames) delete entry.second;
    delete impl_;
}

bool SyncMultiFrameListener::hasNewFrame() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->complete();
}

bool SyncMultiFrameListener::waitForNewFrame(FrameMap &frame, int milliseconds) {
    if (impl_->current_held) {
        sim::log(Logger::Warning, "[SimFreenect2] waitForNewFrame called before the previous frame set was released");
    }
    if (sim::ColourStream *stream = sim::attached_stream(this)) {
        Frame *colour = sim::pull_colour_frame(*stream, milliseconds);
        if (!colour) return false;
        frame[Frame::Color] = colour;
        impl_->current_held = true;
        return true;
    }
    std::unique_lock<std::mutex> lock(impl_->mutex);
    auto ready = [&] { return impl_->complete(); };
    if (milliseconds < 0) {
        impl_->arrived.wait(lock, ready);
    } else if (!impl_->arrived.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
        return false;
    }
    for (auto &entry : impl_->next_frames) frame[entry.first] = entry.second;
    impl_->next_frames.clear();
    impl_->ready_types = 0;
    impl_->current_held = true;
    return true;
}

void SyncMultiFrameListener::waitForNewFrame(FrameMap &frame) {
    if (!waitForNewFrame(frame, -1)) {
        sim::log(Logger::Error, "[SimFreenect2] no frame left to wait for");
    }
}

void SyncMultiFrameListener::release(FrameMap &frame) {
    for (auto &entry : frame) {
        delete entry.second;
        entry.second = nullptr;
    }
    frame.clear();
    impl_->current_held = false;
}

bool SyncMultiFrameListener::onNewFrame(Frame::Type type, Frame *frame) {
    if ((impl_->subscribed & static_cast<unsigned int>(type)) == 0) return false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
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

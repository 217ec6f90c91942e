#pragma once
// Simulated sensor: the synchronous multi-frame listener.
#include <map>

#include <libfreenect2/frame_listener.hpp>

namespace libfreenect2 {

typedef std::map<Frame::Type, Frame *> FrameMap;

class SyncMultiFrameListenerImpl;

class SyncMultiFrameListener : public FrameListener {
public:
    SyncMultiFrameListener(unsigned int frame_types);
    virtual ~SyncMultiFrameListener();

    SyncMultiFrameListener(const SyncMultiFrameListener &) = delete;
    SyncMultiFrameListener &operator=(const SyncMultiFrameListener &) = delete;

    bool hasNewFrame() const;
    // False when no frame set arrived within `milliseconds`.
    bool waitForNewFrame(FrameMap &frame, int milliseconds);
    void waitForNewFrame(FrameMap &frame);
    // Deletes the frames of the map and clears it.
    void release(FrameMap &frame);

    virtual bool onNewFrame(Frame::Type type, Frame *frame);

private:
    SyncMultiFrameListenerImpl *impl_;
};

}  // namespace libfreenect2

#include "time_join.h"

#include <cmath>

const FaceFrame *nearest_frame(const FaceTimeline &timeline, double time) {
    const FaceFrame *nearest = nullptr;
    double nearest_gap = kJoinWindowSeconds;
    for (const FaceFrame &frame : timeline.frames) {
        const double gap = std::fabs(frame.time - time);
        if (gap <= nearest_gap && (nearest == nullptr || gap < nearest_gap)) {
            nearest = &frame;
            nearest_gap = gap;
        }
    }
    return nearest;
}

bool join_ready(const FaceTimeline &timeline, double time) {
    return timeline.ended || (!timeline.frames.empty() && timeline.frames.back().time >= time + kJoinWindowSeconds);
}

void forget_frames_before(FaceTimeline &timeline, double time) {
    while (!timeline.frames.empty() && timeline.frames.front().time < time - kJoinWindowSeconds)
        timeline.frames.pop_front();
}

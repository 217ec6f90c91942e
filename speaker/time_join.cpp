#include "time_join.h"

#include <algorithm>
#include <cmath>

const FaceFrame *nearest_frame(const FaceTimeline &timeline, double time) {
    // The frames are in the order of time: the nearest is the first at or after `time`, or the one before it.
    const auto after = std::lower_bound(timeline.frames.begin(), timeline.frames.end(), time,
                                        [](const FaceFrame &frame, double t) { return frame.time < t; });
    const FaceFrame *nearest = nullptr;
    if (after != timeline.frames.begin()) nearest = &*(after - 1);
    if (after != timeline.frames.end() && (nearest == nullptr || after->time - time < time - nearest->time))
        nearest = &*after;
    return nearest && std::fabs(nearest->time - time) <= kJoinWindowSeconds ? nearest : nullptr;
}

bool join_ready(const FaceTimeline &timeline, double time) {
    return timeline.ended || (!timeline.frames.empty() && timeline.frames.back().time >= time + kJoinWindowSeconds);
}

void forget_frames_before(FaceTimeline &timeline, double time) {
    while (!timeline.frames.empty() && timeline.frames.front().time < time - kJoinWindowSeconds)
        timeline.frames.pop_front();
}

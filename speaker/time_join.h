#pragma once
// Each voice chunk meets the face frame nearest to it in time. The face stream runs at the detector's pace (a few
// frames a second without --track) and the voice at 15 chunks a second, so a chunk waits until no frame still to
// come can be nearer.
#include <deque>

#include "lines.h"

// A frame further than this from a chunk's time is no picture of it: at 3.5 frames a second the nearest frame
// is at most 0.15 s away, and a frame older than a quarter second shows where people were, not are.
constexpr double kJoinWindowSeconds = 0.25;

struct FaceTimeline {
    std::deque<FaceFrame> frames;  // in the order read, which is the order of time
    bool ended = false;            // no frame will come any more
};

// The frame nearest to `time` within the window (the earlier one of two as near), or null.
const FaceFrame *nearest_frame(const FaceTimeline &timeline, double time);

// True once the frame for `time` can be chosen: the stream ended, or a frame at or past time + window was read.
bool join_ready(const FaceTimeline &timeline, double time);

// Drops the frames that no chunk from `time` on can be joined with.
void forget_frames_before(FaceTimeline &timeline, double time);

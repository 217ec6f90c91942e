#pragma once
// What lumivar_enroll makes of one frame or photo: whether its face becomes a sample and, if not, why; the
// run's counts and report lines; the preview overlay.
#include <array>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/objdetect.hpp>

#include "enroll/enroll_options.h"
#include "core/names.h"
#include "core/run_log.h"
#include "core/liveness.h"
#include "core/quality.h"
#include "enroll/sample_store.h"

constexpr const char *kEnrollWindowTitle = "Lumivar Enrolment";



// Samples are saved as the recogniser's probes are built (equalised) or as the trainer reads plain images.
enum class SampleTone { Plain, Equalised };
constexpr SampleTone kSavedSampleTone = SampleTone::Equalised;

// The 160 x 160 grey sample of a face crop.
cv::Mat sample_from_crop(const cv::Mat &crop, SampleTone tone);

// How much two samples differ: the root-mean-square grey-level difference (0 to 255) of the two reduced to
// 20 x 20 by area interpolation, so that sensor noise and a shift of a pixel or two hardly count.
double sample_change(const cv::Mat &a, const cv::Mat &b);

// The last sample saved in a run and the rectangle of the frame it was cut from.
struct SavedFace {
    cv::Mat sample;  // empty until the first sample is saved
    cv::Rect clipped;
};

struct EnrollVerdict {
    std::vector<cv::Rect> faces;  // as detected, full-frame coordinates
    cv::Rect clipped;             // the one face, clipped to the frame
    FaceQuality quality;
    cv::Mat sample;               // set when the face passed the gate
    bool compared = false;        // a previous sample existed to measure the change against
    double change = 0.0;          // sample_change from the previous sample, both cut at its rectangle
    bool save = false;
    std::string reason;           // "accepted" when `save`, else one of kSkipReasons
};

// Detects faces in `grey` as the recognition loop does; one face goes through the gate and, when accepted,
// becomes a sample in `tone`. It is saved when the picture changed by at least `min_change` since the last
// saved sample: the previous rectangle is cut from this picture and compared with that sample, so the
// detector's jitter from frame to frame does not count as a change, while movement, expression and light do.
// With --liveness the face must also pass the liveness check on `depth` (core/liveness.h).
EnrollVerdict judge_picture(cv::CascadeClassifier &detector, cv::Mat &grey, const EnrollOptions &options,
                            const SavedFace &last, SampleTone tone = kSavedSampleTone,
                            const DepthView *depth = nullptr);

// The same for faces already found in `grey` (full-frame coordinates), by detection or by tracking.
EnrollVerdict judge_faces(const std::vector<cv::Rect> &faces, const cv::Mat &grey, const EnrollOptions &options,
                          const SavedFace &last, SampleTone tone = kSavedSampleTone,
                          const DepthView *depth = nullptr);

struct EnrollStats {
    int looked_at = 0;  // frames or photos
    int saved = 0;
    std::array<int, kSkipReasons.size()> skipped{};  // in the order of kSkipReasons
    std::array<int, kLivenessReasons.size()> liveness_skipped{};  // in the order of kLivenessReasons
    double seconds = 0.0;
};

void count_skip(EnrollStats &stats, const std::string &reason);

// Saves the verdict's sample when it has one and logs the "saved ..." or "skipped ..." line; `where` names
// the frame or photo ("frame=12", "image=PATH"). False after a failed write, with the error line logged.
bool record_verdict(const EnrollVerdict &verdict, const std::string &where, SampleStore &store,
                    EnrollStats &stats, SavedFace &last, Logger &logger);

// With `liveness` the liveness skips follow the others.
std::string enroll_summary_line(const EnrollStats &stats, int count, bool liveness = false);

// The face rectangles in the colour of their verdict (green saved, yellow too similar, orange rejected),
// the reason for a face that saved nothing and the count saved so far.
void draw_enroll_overlay(cv::Mat &colour, const EnrollVerdict &verdict, const EnrollStats &stats, int count);

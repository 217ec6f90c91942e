#pragma once
// One colour frame's work, free of the sensor: conversion, detection, per-face decisions, overlay, report lines.
#include <chrono>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/face.hpp>
#include <opencv2/objdetect.hpp>

#include "core/identity.h"
#include "core/liveness.h"
#include "core/options.h"
#include "core/run_log.h"
#include "core/quality.h"
#include "core/samples.h"

constexpr const char *kPreviewWindowTitle = "Lumivar Face Recognition";

struct FrameImages {
    cv::Mat colour;  // 8-bit BGR, drawn on and shown; empty when there is nothing to show it in
    cv::Mat grey;    // 8-bit, full resolution; faces are cut from it
    DepthView depth;  // with --liveness: the depth frame mapped onto this one
};

// A colour frame the loop can handle: non-empty, with data, 4 bytes per pixel.
bool is_supported_frame(size_t width, size_t height, const unsigned char *data, size_t bytes_per_pixel);

// `wrapped` is the sensor's 4-byte frame; the fourth byte of each pixel is ignored. The colour image is made
// only `with_colour`.
FrameImages convert_frame(const cv::Mat &wrapped, bool rgbx, bool with_colour = true);

// Side of the square minimum face size on the detection image: min_face_size x scale, truncated, at least 1.
int detection_min_side(int min_face_size, double scale);

// The grey image reduced by `scale` (area interpolation) when scale < 1, else the grey image itself;
// equalised in place either way. Empty when the reduced size rounds to zero.
cv::Mat detection_image(cv::Mat &grey, double scale);

// Each coordinate multiplied by 1/scale and truncated toward zero on its own.
cv::Rect map_to_frame(const cv::Rect &detected, double scale);

// detectMultiScale with the user's step and neighbour count, flags 0, for faces from `min_size` up to
// `max_size` (empty: no limit); rectangles in `image`'s own coordinates.
std::vector<cv::Rect> run_cascade(cv::CascadeClassifier &detector, const cv::Mat &image, const Options &options,
                                  cv::Size min_size, cv::Size max_size = cv::Size());

// Rectangles in full-frame coordinates, in the detector's order; none on an empty detection image.
std::vector<cv::Rect> detect_faces(cv::CascadeClassifier &detector, const cv::Mat &detection, const Options &options);

// detection_image then detect_faces: the faces of a grey frame as the loop finds them.
std::vector<cv::Rect> find_faces(cv::CascadeClassifier &detector, cv::Mat &grey, const Options &options);

// The detector loaded from `path`; false when the file is missing or not a cascade.
bool load_detector(const std::string &path, cv::CascadeClassifier &detector);

// One detection clipped to the grey frame, its crop and the gate's verdict on it.
struct GatedFace {
    cv::Rect clipped;  // empty when the detection lies wholly outside the frame: nothing cut or measured
    cv::Mat crop;      // deep copy of the grey frame inside `clipped`
    FaceQuality quality;
};

// With --liveness a face the gate accepted must also pass the liveness check on `depth` (none: no_depth).
GatedFace gate_face(const cv::Mat &grey, const cv::Rect &face, const Options &options,
                    const DepthView *depth = nullptr);

struct FaceOutcome {
    cv::Rect clipped;  // empty when the detection lies wholly outside the frame
    FaceQuality quality;
    IdentityDecision decision;
};

// Updates the frame counters, then gates, identifies and draws each face that overlaps the frame (drawn when
// there is a colour image).
std::vector<FaceOutcome> handle_faces(const std::vector<cv::Rect> &faces, FrameImages &images,
                                      const cv::face::FaceRecognizer &recognizer,
                                      const std::vector<TrainingSample> &samples, const Options &options,
                                      ConfirmationWindow &window, RunStats &stats, Logger &logger);

// Overlay colours, blue-green-red.
extern const cv::Scalar kOverlayGreen;
extern const cv::Scalar kOverlayYellow;
extern const cv::Scalar kOverlayOrange;

// Overlay text: simplex Hershey font, 8-connected lines, anchored at its bottom-left.
void put_overlay_text(cv::Mat &image, const std::string &text, cv::Point origin, double font_scale,
                      const cv::Scalar &colour, int thickness);

// Blue-green-red colour of a label: green for ConfirmedVeyra, yellow for CandidateVeyra, orange otherwise.
cv::Scalar label_colour(const std::string &label);

// Baseline of a face text placed `offset` pixels above the face's top, never above y = 30.
int text_baseline(int face_top, int offset);

void draw_face(cv::Mat &colour, const cv::Rect &clipped, const IdentityDecision &decision, const RunStats &stats,
               const Options &options);
void draw_frame_texts(cv::Mat &colour, int visible_faces, const RunStats &stats);

// "q", "Q" or Escape.
bool is_stop_key(int key);

std::string status_line(const RunStats &stats, int visible_faces, const ConfirmationWindow &window);
// "error: failed to process RGB frame: " and what OpenCV reported; the loop then shuts down as usual.
std::string frame_failure_line(const cv::Exception &error);
std::string summary_line(const RunStats &stats, double fps, const ConfirmationWindow &window);
// Appended to the status and summary lines with --liveness: the limit, and in the summary the rejections by
// reason. Empty without it.
std::string liveness_status_pieces(const Options &options);
std::string liveness_summary_pieces(const Options &options, const RunStats &stats);

// Wall time since `start` in seconds, from the steady clock's nanoseconds.
double seconds_since(std::chrono::steady_clock::time_point start);

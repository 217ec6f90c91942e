#include "calibration.h"

#include <algorithm>
#include <cmath>

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

Place place_of(const std::vector<CalibrationSample> &run) {
    std::vector<double> bearings, distances, angles;
    for (const CalibrationSample &sample : run) {
        bearings.push_back(sample.bearing_degrees);
        distances.push_back(sample.distance_m);
        angles.push_back(sample.voice_angle_degrees);
    }
    Place place;
    place.chunks = static_cast<int>(run.size());
    place.bearing_degrees = median(bearings);
    place.distance_m = median(distances);
    place.voice_angle_degrees = median(angles);
    return place;
}

bool same_place(const Place &a, const Place &b) {
    return std::fabs(a.bearing_degrees - b.bearing_degrees) <= kPlaceBearingDegrees &&
           std::fabs(a.distance_m - b.distance_m) <= kPlaceDistanceShare * std::min(a.distance_m, b.distance_m);
}

// Root mean square of the places' voice angles less their face angles.
double residual(const std::vector<Place> &places, const ArrayGeometry &geometry) {
    double sum = 0.0;
    for (const Place &place : places) {
        const double error =
            place.voice_angle_degrees - array_angle_degrees(place.bearing_degrees, place.distance_m, geometry);
        sum += error * error;
    }
    return std::sqrt(sum / places.size());
}

}  // namespace

std::vector<Place> find_places(const std::vector<CalibrationSample> &samples) {
    std::vector<std::vector<CalibrationSample>> runs;
    double run_sum = 0.0;
    for (const CalibrationSample &sample : samples) {
        if (runs.empty() ||
            std::fabs(sample.bearing_degrees - run_sum / runs.back().size()) > kPlaceBearingDegrees) {
            runs.emplace_back();
            run_sum = 0.0;
        }
        runs.back().push_back(sample);
        run_sum += sample.bearing_degrees;
    }
    std::vector<Place> places;
    std::vector<std::vector<CalibrationSample>> members;
    for (const std::vector<CalibrationSample> &run : runs) {
        const Place spot = place_of(run);
        const auto visited = std::find_if(places.begin(), places.end(),
                                          [&](const Place &place) { return same_place(place, spot); });
        if (visited == places.end()) {
            places.push_back(spot);
            members.push_back(run);
        } else {
            std::vector<CalibrationSample> &all = members[visited - places.begin()];
            all.insert(all.end(), run.begin(), run.end());
            *visited = place_of(all);
        }
    }
    std::vector<Place> kept;
    for (const Place &place : places)
        if (place.chunks >= kPlaceMinChunks) kept.push_back(place);
    return kept;
}

GeometryFit fit_geometry(const std::vector<Place> &places) {
    GeometryFit best;
    if (places.empty()) return best;
    best.residual_degrees = residual(places, best.geometry);
    const int steps = static_cast<int>(std::lround(kLargestFittedOffsetM * 1000.0));
    // Offsets from zero outwards, the default sign first: of fits as good, the simplest is kept.
    for (const int sign : {1, -1}) {
        for (int step = 0; step <= 2 * steps; ++step) {
            const int mm = step % 2 ? (step + 1) / 2 : -step / 2;
            const ArrayGeometry geometry{sign, mm / 1000.0};
            const double r = residual(places, geometry);
            if (r < best.residual_degrees - 1e-9) best = GeometryFit{geometry, r, 0.0};
        }
    }
    double mean = 0.0;
    for (const Place &place : places) mean += place.voice_angle_degrees;
    mean /= places.size();
    double spread = 0.0;
    for (const Place &place : places) spread += std::pow(place.voice_angle_degrees - mean, 2);
    const double unexplained = best.residual_degrees * best.residual_degrees * places.size();
    best.explained = spread > 0.0 ? 1.0 - unexplained / spread : 0.0;
    return best;
}

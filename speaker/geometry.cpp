#include "geometry.h"

#include <cmath>

namespace {
constexpr double kPi = 3.14159265358979323846;
}

double array_angle_degrees(double bearing_degrees, double distance_m, const ArrayGeometry &geometry) {
    const double sideways = distance_m * std::tan(bearing_degrees * kPi / 180.0);
    return geometry.sign * std::atan2(sideways - geometry.offset_m, distance_m) * 180.0 / kPi;
}

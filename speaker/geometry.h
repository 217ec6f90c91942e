#pragma once
// Where a face is as the microphone array hears it. The colour camera gives the face's bearing (atan((u - cx) / fx),
// positive to the image's right) and a rough distance Z; sideways the face is X = Z * tan(bearing) to the image's
// right. The array, `offset_m` to the image's right of the camera, hears it at sign * atan2(X - offset_m, Z):
// `sign` 1 when a positive voice angle is toward the image's right, -1 when the channel order or a mirrored image
// turns it round.
struct ArrayGeometry {
    int sign = 1;
    double offset_m = 0.0;
};

// Degrees, in the voice angle's own convention.
double array_angle_degrees(double bearing_degrees, double distance_m, const ArrayGeometry &geometry);

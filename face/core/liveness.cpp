#include "core/liveness.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "core/names.h"

namespace {

// Samples per side of the face rectangle: about one per depth pixel for a face at 1 m.
constexpr int kGridSide = 40;
// Share of the samples that must carry depth; a face partly outside the depth camera's view has less.
constexpr double kMinValidShare = 0.6;
// Samples each of the two regions needs after the fit.
constexpr int kMinRegionPoints = 8;
// Depth of the surface around the face that counts: the background behind a face or a cut-out photo lies
// further from the fitted plane and is left out.
constexpr double kSurfaceBandMm = 60.0;
// Points the first fit uses: within this of the median depth, so a far background does not tilt it.
constexpr double kFirstFitBandMm = 250.0;
// The fit's trimming: residuals beyond this many robust deviations, never closer than the floor (sensor noise
// and millimetre steps must not trim a flat photo down to nothing).
constexpr double kTrimDeviations = 2.5;
constexpr double kTrimFloorMm = 6.0;
constexpr int kFitRounds = 4;

struct DepthPoint {
    cv::Vec3d metric;  // millimetres, colour camera frame
    double across;     // 0 at the rectangle's left edge, 1 at its right
    double down;       // 0 at its top, 1 at its bottom
};

double median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    const size_t middle = values.size() / 2;
    std::nth_element(values.begin(), values.begin() + middle, values.end());
    return values[middle];
}

std::vector<DepthPoint> sample_face(const DepthView &depth, const cv::Rect &face, int &sampled) {
    std::vector<DepthPoint> points;
    const int columns = std::min(kGridSide, face.width), rows = std::min(kGridSide, face.height);
    sampled = columns * rows;
    points.reserve(static_cast<size_t>(sampled));
    const ColourCamera &c = depth.camera;
    for (int j = 0; j < rows; ++j) {
        const double down = (j + 0.5) / rows;
        const int v = face.y + static_cast<int>(down * face.height);
        if (v < 0 || v + 1 >= depth.bigdepth.rows) continue;
        const float *line = depth.bigdepth.ptr<float>(v + 1);  // one blank row above the colour rows
        for (int i = 0; i < columns; ++i) {
            const double across = (i + 0.5) / columns;
            const int u = face.x + static_cast<int>(across * face.width);
            if (u < 0 || u >= depth.bigdepth.cols) continue;
            const double z = line[u];
            if (!(z > 0.0) || !std::isfinite(z)) continue;
            points.push_back({cv::Vec3d((u - c.cx) * z / c.fx, (v - c.cy) * z / c.fy, z), across, down});
        }
    }
    return points;
}

// Least squares plane z = a x + b y + c through the chosen points; false when they do not span one.
bool fit_plane(const std::vector<DepthPoint> &points, const std::vector<bool> &use, cv::Vec3d &plane) {
    cv::Matx33d normal = cv::Matx33d::zeros();
    cv::Vec3d rhs(0, 0, 0);
    int count = 0;
    for (size_t k = 0; k < points.size(); ++k) {
        if (!use[k]) continue;
        const cv::Vec3d row(points[k].metric[0], points[k].metric[1], 1.0);
        normal += row * row.t();
        rhs += row * points[k].metric[2];
        ++count;
    }
    if (count < 3) return false;
    cv::Vec3d solution;
    if (!cv::solve(normal, rhs, solution, cv::DECOMP_CHOLESKY)) return false;
    plane = solution;
    return std::isfinite(plane[0]) && std::isfinite(plane[1]) && std::isfinite(plane[2]);
}

// Positive when a point lies nearer the camera than the plane.
double residual(const cv::Vec3d &plane, const DepthPoint &p) {
    return plane[0] * p.metric[0] + plane[1] * p.metric[1] + plane[2] - p.metric[2];
}

// A plane through the face's surface: first the points near the median depth, then repeatedly those near the
// plane, with a band from the residuals' median absolute deviation.
bool robust_plane(const std::vector<DepthPoint> &points, cv::Vec3d &plane) {
    std::vector<double> depths;
    for (const DepthPoint &p : points) depths.push_back(p.metric[2]);
    const double middle = median(depths);
    std::vector<bool> use(points.size());
    for (size_t k = 0; k < points.size(); ++k) use[k] = std::abs(points[k].metric[2] - middle) <= kFirstFitBandMm;
    if (!fit_plane(points, use, plane)) return false;
    for (int round = 0; round < kFitRounds; ++round) {
        std::vector<double> spread;
        for (size_t k = 0; k < points.size(); ++k)
            if (use[k]) spread.push_back(std::abs(residual(plane, points[k])));
        const double band = std::max(kTrimDeviations * 1.4826 * median(spread), kTrimFloorMm);
        for (size_t k = 0; k < points.size(); ++k) use[k] = std::abs(residual(plane, points[k])) <= band;
        if (!fit_plane(points, use, plane)) return false;
    }
    return true;
}

// The middle: nose, inner eyes and cheeks. The sides: the outer fifth on the left and on the right.
bool in_middle(const DepthPoint &p) { return std::abs(p.across - 0.5) <= 0.2 && p.down >= 0.3 && p.down <= 0.75; }
bool in_sides(const DepthPoint &p) { return std::abs(p.across - 0.5) >= 0.3; }

}  // namespace

LivenessCheck check_liveness(const DepthView &depth, const cv::Rect &face, double min_relief) {
    LivenessCheck check;
    check.reason = kReasonNoDepth;
    if (depth.bigdepth.empty() || depth.bigdepth.type() != CV_32FC1 || face.empty() || !(depth.camera.fx > 0.0) ||
        !(depth.camera.fy > 0.0))
        return check;
    const std::vector<DepthPoint> points = sample_face(depth, face, check.sampled_points);
    check.valid_points = static_cast<int>(points.size());
    if (check.valid_points < kMinValidShare * check.sampled_points) return check;

    cv::Vec3d plane;
    if (!robust_plane(points, plane)) return check;
    std::vector<double> middle, sides;
    for (const DepthPoint &p : points) {
        const double r = residual(plane, p);
        if (std::abs(r) > kSurfaceBandMm) continue;
        if (in_middle(p)) middle.push_back(r);
        if (in_sides(p)) sides.push_back(r);
    }
    if (static_cast<int>(middle.size()) < kMinRegionPoints || static_cast<int>(sides.size()) < kMinRegionPoints)
        return check;
    check.relief = median(middle) - median(sides);
    check.reason = check.relief >= min_relief ? kReasonAccepted : kReasonFlat;
    return check;
}

void log_liveness_settings(const Options &options, Logger &logger) {
    if (!options.liveness) return;
    logger.line("liveness: enabled");
    logger.line("liveness_min_relief: " + format_real(options.liveness_min_relief));
}

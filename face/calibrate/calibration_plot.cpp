#include "calibrate/calibration_plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "calibrate/calibrate_options.h"
#include "core/atomic_file.h"

namespace {

constexpr int kWidth = 1000, kHeight = 600;
constexpr double kLeft = 80, kRight = 960, kTop = 130, kBottom = 530;  // the plot area

// Colours in blue-green-red order, as OpenCV takes them.
const cv::Scalar kEnrolledColour(60, 160, 0), kOthersColour(40, 60, 220), kCurrentColour(90, 90, 90),
    kRecommendedColour(200, 90, 0), kInk(30, 30, 30), kGrid(225, 225, 225);

// One drawing primitive; both renderers draw the same list.
struct Shape {
    enum Kind { box, line, text } kind = line;
    cv::Point2d a, b;  // box corners, line ends; a text's anchor on its baseline
    cv::Scalar colour;
    double opacity = 1.0;
    bool dashed = false;
    int thickness = 1;
    std::string label;
    double size = 14;  // text height in pixels, as an SVG font size
    int align = -1;    // text: -1 starts at the anchor, 0 centres on it, 1 ends at it
};

Shape text_at(double x, double y, const std::string &label, double size, int align = -1,
              cv::Scalar colour = kInk) {
    Shape s;
    s.kind = Shape::text;
    s.a = {x, y};
    s.label = label;
    s.size = size;
    s.align = align;
    s.colour = colour;
    return s;
}

Shape line_from(cv::Point2d a, cv::Point2d b, cv::Scalar colour, int thickness = 1, bool dashed = false) {
    Shape s;
    s.a = a;
    s.b = b;
    s.colour = colour;
    s.thickness = thickness;
    s.dashed = dashed;
    return s;
}

Shape box_from(cv::Point2d a, cv::Point2d b, cv::Scalar colour, double opacity) {
    Shape s = line_from(a, b, colour);
    s.kind = Shape::box;
    s.opacity = opacity;
    return s;
}

// The smallest of 1, 2 and 5 times a power of ten that is at least `x`.
double nice_step(double x) {
    const double power = std::pow(10.0, std::floor(std::log10(x)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * power >= x) return m * power;
    return 10.0 * power;
}

std::string number(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
    return buffer;
}

int decimals_for(double step) { return step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step))); }

// The distance axis: whole bins from below the lowest value to above the highest, about 50 of them.
struct Axis {
    double lo = 0.0, hi = 1.0, bin = 1.0;
    size_t bins = 1;
    double to_x(double distance) const { return kLeft + (distance - lo) / (hi - lo) * (kRight - kLeft); }
};

Axis distance_axis(const GroupSummary &enrolled, const GroupSummary &others, const std::vector<PlotMarker> &markers) {
    double lo = std::min(enrolled.distances.front(), others.distances.front());
    double hi = std::max(enrolled.distances.back(), others.distances.back());
    for (const PlotMarker &m : markers) {
        lo = std::min(lo, m.distance);
        hi = std::max(hi, m.distance);
    }
    // Never narrower than a millionth of the values, so bins stay wider than their rounding.
    const double span = std::max({hi - lo, 1e-3, 1e-6 * std::fabs(hi)});
    Axis axis;
    axis.bin = nice_step(span / 50.0);
    axis.lo = std::floor(lo / axis.bin) * axis.bin - axis.bin;
    axis.hi = std::ceil(hi / axis.bin) * axis.bin + axis.bin;
    axis.bins = static_cast<size_t>(std::clamp(std::llround((axis.hi - axis.lo) / axis.bin), 1LL, 200LL));
    return axis;
}

// Share of the group's faces in each bin.
std::vector<double> bin_shares(const std::vector<double> &distances, const Axis &axis) {
    std::vector<double> shares(axis.bins, 0.0);
    const double last = static_cast<double>(axis.bins - 1);
    for (double d : distances)
        shares[static_cast<size_t>(std::clamp(std::floor((d - axis.lo) / axis.bin), 0.0, last))] += 1.0;
    for (double &s : shares) s /= static_cast<double>(distances.size());
    return shares;
}

void add_histogram(std::vector<Shape> &shapes, const Axis &axis, const std::vector<double> &shares,
                   double top_share, cv::Scalar colour) {
    for (size_t i = 0; i < shares.size(); ++i) {
        if (shares[i] <= 0.0) continue;
        const double x0 = axis.to_x(axis.lo + axis.bin * i), x1 = axis.to_x(axis.lo + axis.bin * (i + 1));
        const double y = kBottom - shares[i] / top_share * (kBottom - kTop);
        shapes.push_back(box_from({x0, y}, {x1, kBottom}, colour, 0.55));
    }
}

std::vector<Shape> layout(const GroupSummary &enrolled, const GroupSummary &others,
                          const std::vector<PlotMarker> &markers) {
    const Axis axis = distance_axis(enrolled, others, markers);
    const std::vector<double> mine = bin_shares(enrolled.distances, axis);
    const std::vector<double> theirs = bin_shares(others.distances, axis);
    const double y_step = nice_step(std::max(*std::max_element(mine.begin(), mine.end()),
                                             *std::max_element(theirs.begin(), theirs.end())) / 5.0);
    const double top_share = y_step * 5.0 * 1.1;  // headroom for the marker labels

    std::vector<Shape> shapes;
    shapes.push_back(text_at(kLeft, 32, "LBPH distance of each accepted face (lower = more like the enrolled person)", 20));
    // Grid and axes.
    for (int i = 0; i <= 5; ++i) {
        const double y = kBottom - i * y_step / top_share * (kBottom - kTop);
        shapes.push_back(line_from({kLeft, y}, {kRight, y}, kGrid));
        shapes.push_back(text_at(kLeft - 8, y + 5, number(i * y_step * 100, decimals_for(y_step * 100)) + "%", 13, 1));
    }
    const double x_step = nice_step((axis.hi - axis.lo) / 10.0);
    const double first_tick = std::ceil(axis.lo / x_step) * x_step;
    for (int i = 0; i <= 10 && first_tick + i * x_step <= axis.hi; ++i) {
        const double x = first_tick + i * x_step;
        shapes.push_back(line_from({axis.to_x(x), kBottom}, {axis.to_x(x), kBottom + 6}, kInk));
        shapes.push_back(text_at(axis.to_x(x), kBottom + 22, number(x, decimals_for(x_step)), 13, 0));
    }
    shapes.push_back(text_at((kLeft + kRight) / 2, kBottom + 50, "LBPH distance", 15, 0));
    shapes.push_back(text_at(kLeft, kTop - 10, "share of the group's accepted faces", 13));

    add_histogram(shapes, axis, theirs, top_share, kOthersColour);
    add_histogram(shapes, axis, mine, top_share, kEnrolledColour);
    shapes.push_back(line_from({kLeft, kBottom}, {kRight, kBottom}, kInk));
    shapes.push_back(line_from({kLeft, kTop}, {kLeft, kBottom}, kInk));

    // Legend.
    const std::pair<cv::Scalar, std::string> groups[] = {
        {kEnrolledColour, "enrolled person: " + std::to_string(enrolled.accepted) + " faces"},
        {kOthersColour, "others: " + std::to_string(others.accepted) + " faces"}};
    double x = kLeft;
    for (const auto &[colour, label] : groups) {
        shapes.push_back(box_from({x, 52}, {x + 18, 66}, colour, 0.55));
        shapes.push_back(text_at(x + 24, 65, label, 14));
        x += 270;
    }
    shapes.push_back(line_from({x, 59}, {x + 30, 59}, kCurrentColour, 2, true));
    shapes.push_back(text_at(x + 36, 65, "current", 14));
    shapes.push_back(line_from({x + 120, 59}, {x + 150, 59}, kRecommendedColour, 3));
    shapes.push_back(text_at(x + 156, 65, "recommended", 14));

    // Thresholds, then one label row each on a light box, so no line crosses a label.
    for (const PlotMarker &m : markers)
        shapes.push_back(line_from({axis.to_x(m.distance), kTop}, {axis.to_x(m.distance), kBottom},
                                   m.recommended ? kRecommendedColour : kCurrentColour, m.recommended ? 3 : 2,
                                   !m.recommended));
    for (size_t i = 0; i < markers.size(); ++i) {
        const PlotMarker &m = markers[i];
        const double mx = axis.to_x(m.distance);
        const double width = 0.62 * 14 * static_cast<double>(m.text.size());  // wide enough for either font
        const bool left = m.label_left ? mx - width - 6 > kLeft : mx + width + 6 > kRight;
        const double x0 = left ? mx - width - 8 : mx + 4, y = kTop + 20 + 22 * static_cast<double>(i);
        shapes.push_back(box_from({x0, y - 15}, {x0 + width + 4, y + 5}, cv::Scalar::all(255), 0.85));
        shapes.push_back(text_at(left ? mx - 6 : mx + 6, y, m.text, 14, left ? 1 : -1,
                                 m.recommended ? kRecommendedColour : kCurrentColour));
    }
    return shapes;
}

// --- PNG, drawn with OpenCV ---

constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;
double font_scale(double size) { return size / 30.0; }

void draw_dashed(cv::Mat &image, cv::Point2d a, cv::Point2d b, cv::Scalar colour, int thickness) {
    const double length = cv::norm(b - a);
    for (double at = 0; at < length; at += 13) {
        const double end = std::min(length, at + 8);
        cv::line(image, a + (b - a) * (at / length), a + (b - a) * (end / length), colour, thickness, cv::LINE_AA);
    }
}

cv::Mat render_png(const std::vector<Shape> &shapes) {
    cv::Mat image(kHeight, kWidth, CV_8UC3, cv::Scalar::all(255));
    for (const Shape &s : shapes) {
        if (s.kind == Shape::box) {
            const cv::Rect area = cv::Rect(cv::Point(cvRound(s.a.x), cvRound(s.a.y)),
                                           cv::Point(cvRound(s.b.x), cvRound(s.b.y))) &
                                  cv::Rect(0, 0, kWidth, kHeight);
            if (area.empty()) continue;
            cv::Mat region = image(area);
            cv::addWeighted(region, 1.0 - s.opacity, cv::Mat(region.size(), region.type(), s.colour), s.opacity, 0,
                            region);
        } else if (s.kind == Shape::line) {
            if (s.dashed) {
                draw_dashed(image, s.a, s.b, s.colour, s.thickness);
            } else {
                cv::line(image, s.a, s.b, s.colour, s.thickness, cv::LINE_AA);
            }
        } else {
            int baseline = 0;
            const cv::Size size = cv::getTextSize(s.label, kFont, font_scale(s.size), 1, &baseline);
            const double x = s.a.x - (s.align + 1) * size.width / 2.0;
            cv::putText(image, s.label, cv::Point(cvRound(x), cvRound(s.a.y)), kFont, font_scale(s.size), s.colour, 1,
                        cv::LINE_AA);
        }
    }
    return image;
}

// --- SVG, written as text ---

std::string svg_colour(const cv::Scalar &bgr) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "rgb(%d,%d,%d)", static_cast<int>(bgr[2]), static_cast<int>(bgr[1]),
                  static_cast<int>(bgr[0]));
    return buffer;
}

std::string svg_escaped(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else out += c;
    }
    return out;
}

std::string render_svg(const std::vector<Shape> &shapes) {
    auto n = [](double v) { return number(v, 1); };
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + std::to_string(kWidth) + "\" height=\"" +
                      std::to_string(kHeight) + "\" font-family=\"sans-serif\">\n<rect width=\"100%\" "
                      "height=\"100%\" fill=\"white\"/>\n";
    for (const Shape &s : shapes) {
        if (s.kind == Shape::box) {
            svg += "<rect x=\"" + n(s.a.x) + "\" y=\"" + n(s.a.y) + "\" width=\"" + n(s.b.x - s.a.x) + "\" height=\"" +
                   n(s.b.y - s.a.y) + "\" fill=\"" + svg_colour(s.colour) + "\" fill-opacity=\"" + number(s.opacity, 2) + "\"/>\n";
        } else if (s.kind == Shape::line) {
            svg += "<line x1=\"" + n(s.a.x) + "\" y1=\"" + n(s.a.y) + "\" x2=\"" + n(s.b.x) + "\" y2=\"" + n(s.b.y) +
                   "\" stroke=\"" + svg_colour(s.colour) + "\" stroke-width=\"" + std::to_string(s.thickness) + "\"" +
                   (s.dashed ? " stroke-dasharray=\"8,5\"" : "") + "/>\n";
        } else {
            const char *anchor = s.align < 0 ? "start" : s.align == 0 ? "middle" : "end";
            svg += "<text x=\"" + n(s.a.x) + "\" y=\"" + n(s.a.y) + "\" font-size=\"" + n(s.size) +
                   "\" text-anchor=\"" + anchor + "\" fill=\"" + svg_colour(s.colour) + "\">" + svg_escaped(s.label) +
                   "</text>\n";
        }
    }
    return svg + "</svg>\n";
}

}  // namespace

bool write_distance_plot(const std::string &path, const GroupSummary &enrolled, const GroupSummary &others,
                         const std::vector<PlotMarker> &markers, Logger &logger) {
    const std::vector<Shape> shapes = layout(enrolled, others, markers);
    std::string bytes;
    if (is_svg_path(path)) {
        bytes = render_svg(shapes);
    } else {
        std::vector<uchar> png;
        if (!cv::imencode(".png", render_png(shapes), png)) {
            logger.line("error: failed to encode plot: " + path);
            return false;
        }
        bytes.assign(png.begin(), png.end());
    }
    std::string why;  // the log line keeps its documented form
    if (!replace_file_atomically(path, bytes, why)) {
        logger.line("error: failed to write plot: " + path);
        return false;
    }
    logger.line("plot: " + path);
    return true;
}

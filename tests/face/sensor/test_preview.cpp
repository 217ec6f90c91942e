// The preview window as a person sees it: a real X server (Xvfb), a screenshot of the window, and keys typed
// into it.
#include <poll.h>

#include <gtest/gtest.h>

#include "program_output.h"
#include "sensor/preview_display.h"
#include "face_programs.h"
#include "sensor_frames.h"
#include "test_photos.h"

namespace {

using face_test::fs::path;

// An Xvfb server on a free display, stopped at the end of the test. Its log lists each client's connection and
// disconnection (-audit 4).
struct VirtualDisplay {
    pid_t pid = -1;
    std::string name;

    std::string log_path;
    int number_pipe = -1;

    // `resets`: the server resets when its last client leaves, as xvfb-run's and a kiosk's do.
    VirtualDisplay(const std::string &log, const std::string &screen, bool resets) : log_path(log) {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
        pid = fork();
        if (pid < 0) throw std::runtime_error("fork failed");
        if (pid == 0) {
            close(fds[0]);
            const int quiet = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(quiet, 1);
            dup2(quiet, 2);
            const std::string fd = std::to_string(fds[1]);
            execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp",
                   "-audit", "4", resets ? "-reset" : "-noreset", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        pollfd ready{fds[0], POLLIN, 0};
        char buffer[16] = {};
        if (poll(&ready, 1, 20000) == 1 && read(fds[0], buffer, sizeof buffer - 1) > 0)
            name = ":" + std::to_string(std::atoi(buffer));
        number_pipe = fds[0];  // kept open while the server runs
    }
    ~VirtualDisplay() {
        close(number_pipe);
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
};

// How often the server was left without a client (and so reset, where it resets) since it started.
int times_left_without_clients(const VirtualDisplay &display) {
    int open = 0, emptied = 0;
    for (const std::string &line : face_test::split_lines(face_test::read_file(display.log_path))) {
        if (line.find(": client ") == std::string::npos) continue;
        if (line.find(" connected from ") != std::string::npos) ++open;
        if (line.size() >= 13 && line.compare(line.size() - 13, 13, " disconnected") == 0 && --open == 0) ++emptied;
    }
    return emptied;
}

face_test::RunResult x_tool(const VirtualDisplay &display, const std::string &program, std::vector<std::string> args) {
    face_test::RunRequest request;
    request.program = program;
    request.args = std::move(args);
    request.env["DISPLAY"] = display.name;
    request.timeout_seconds = 30;
    return face_test::run_program(request);
}

std::string window_id(const VirtualDisplay &display) {
    std::string id;
    face_test::wait_until(
        [&] {
            const face_test::RunResult found =
                x_tool(display, "/usr/bin/xdotool", {"search", "--name", "^Lumivar Face Recognition$"});
            id = found.status == 0 && !found.out.empty() ? face_test::split_lines(found.out).front() : "";
            return !id.empty();
        },
        60);
    return id;
}

// Where the window lies on the screen.
cv::Rect window_geometry(const VirtualDisplay &display, const std::string &id) {
    const face_test::RunResult geometry = x_tool(display, "/usr/bin/xdotool", {"getwindowgeometry", "--shell", id});
    std::map<std::string, int> g;
    for (const std::string &line : face_test::split_lines(geometry.out)) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) g[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
    }
    return cv::Rect(g["X"], g["Y"], g["WIDTH"], g["HEIGHT"]);
}

// The window's pixels that are on the screen, cut from a screenshot of the whole screen.
cv::Mat screenshot_of_window(const VirtualDisplay &display, const std::string &id, const path &scratch) {
    const cv::Rect geometry = window_geometry(display, id);
    const path file = scratch / "screen.png";
    x_tool(display, "/usr/bin/import", {"-window", "root", file.string()});
    const cv::Mat screen = cv::imread(file.string(), cv::IMREAD_COLOR);
    if (screen.empty() || geometry.width <= 0) return {};
    return screen(geometry & cv::Rect(0, 0, screen.cols, screen.rows)).clone();
}

struct Shown {
    double scale = 0;
    cv::Point offset;
    double score = -1;
};

// Where, and at which scale, the window shows the frame: the best match of the scaled frame, coarse then fine.
Shown locate_frame(const cv::Mat &window, const cv::Mat &frame) {
    Shown best;
    const double coarse = 0.25;
    cv::Mat small_window;
    cv::resize(window, small_window, cv::Size(), coarse, coarse, cv::INTER_AREA);
    for (double s = 0.4; s <= 1.3001; s += 0.005) {
        cv::Mat t;
        cv::resize(frame, t, cv::Size(), s * coarse, s * coarse, cv::INTER_AREA);
        if (t.cols > small_window.cols || t.rows > small_window.rows) continue;
        cv::Mat result;
        cv::matchTemplate(small_window, t, result, cv::TM_CCOEFF_NORMED);
        double score = 0;
        cv::Point at;
        cv::minMaxLoc(result, nullptr, &score, nullptr, &at);
        if (score > best.score) best = {s, at / coarse, score};
    }
    const Shown rough = best;
    best.score = -1;
    for (double s = rough.scale - 0.006; s <= rough.scale + 0.0061; s += 0.001) {
        cv::Mat t;
        cv::resize(frame, t, cv::Size(), s, s, cv::INTER_AREA);
        const cv::Rect area = cv::Rect(rough.offset - cv::Point(10, 10), t.size() + cv::Size(20, 20)) &
                              cv::Rect(0, 0, window.cols, window.rows);
        if (area.width < t.cols || area.height < t.rows) continue;
        cv::Mat result;
        cv::matchTemplate(window(area), t, result, cv::TM_CCOEFF_NORMED);
        double score = 0;
        cv::Point at;
        cv::minMaxLoc(result, nullptr, &score, nullptr, &at);
        if (score > best.score) best = {s, at + area.tl(), score};
    }
    return best;
}

bool near_colour(const cv::Vec3b &pixel, const cv::Scalar &bgr, int tolerance = 60) {
    for (int c = 0; c < 3; ++c)
        if (std::abs(pixel[c] - static_cast<int>(bgr[c])) > tolerance) return false;
    return true;
}

// Whether a pixel of that colour lies within `reach` pixels of `p`.
bool colour_near(const cv::Mat &image, cv::Point p, const cv::Scalar &bgr, int reach = 4) {
    for (int dy = -reach; dy <= reach; ++dy)
        for (int dx = -reach; dx <= reach; ++dx) {
            const cv::Point q(p.x + dx, p.y + dy);
            if (cv::Rect(0, 0, image.cols, image.rows).contains(q) && near_colour(image.at<cv::Vec3b>(q), bgr))
                return true;
        }
    return false;
}

// All four sides of the face's rectangle carry the label colour, and its middle does not.
void expect_rectangle(const cv::Mat &window, const Shown &shown, const cv::Rect &face, const cv::Scalar &colour,
                      const std::string &what) {
    auto on_screen = [&](double x, double y) {
        return cv::Point(shown.offset.x + static_cast<int>(x * shown.scale + 0.5),
                         shown.offset.y + static_cast<int>(y * shown.scale + 0.5));
    };
    const double cx = face.x + face.width / 2.0, cy = face.y + face.height / 2.0;
    EXPECT_TRUE(colour_near(window, on_screen(face.x + 1, cy), colour)) << what << " left side";
    EXPECT_TRUE(colour_near(window, on_screen(face.br().x - 2, cy), colour)) << what << " right side";
    EXPECT_TRUE(colour_near(window, on_screen(cx, face.y + 1), colour)) << what << " top side";
    EXPECT_TRUE(colour_near(window, on_screen(cx, face.br().y - 2), colour)) << what << " bottom side";
    EXPECT_FALSE(colour_near(window, on_screen(cx, cy), colour, 2)) << what << " is an outline, not a patch";
}

const cv::Scalar kGreen(0, 255, 0), kYellow(0, 255, 255), kOrange(0, 165, 255);

struct PreviewRun {
    face_test::ScratchDir scratch;
    cv::Mat frame;
    cv::Rect enrolled_face, other_face;
    int faces = 0;  // detections in the frame
    VirtualDisplay display;
    face_test::Child program;

    // The enrolled person and another person on one frame, shown on a screen of `screen` (Xvfb's WxHxD) whose
    // server `resets` or not when its last client leaves.
    PreviewRun(cv::Size frame_size = {1280, 720}, cv::Point enrolled_at = {120, 60}, cv::Point other_at = {700, 100},
               const std::string &screen = "1920x1200x24", bool resets = false)
        : display((scratch / "xvfb.log").string(), screen, resets) {
        const cv::Mat enrolled = face_test::read_photo(face_test::kEnrolledPhoto);
        face_test::write_samples_from_photo(enrolled, scratch / "samples", "veyra");
        const cv::Mat head = enrolled(cv::Rect(0, 0, enrolled.cols, 460));
        frame = face_test::compose_frame(frame_size,
                                         {{head, enrolled_at}, {face_test::read_photo(face_test::kOtherPhoto), other_at}});
        face_test::write_image(scratch / "frames/frame.png", frame);
        const std::vector<cv::Rect> detected = face_test::default_detections(frame);
        for (const cv::Rect &face : detected)
            ((face & cv::Rect(enrolled_at, head.size())) == face ? enrolled_face : other_face) = face;
        faces = static_cast<int>(detected.size());
    }

    // `fps`: the sensor's pace; empty: frames as fast as the loop asks for them.
    void start(const std::string &log_every = "10", const std::string &fps = "") {
        face_test::RunRequest request;
        request.args = face_test::base_args(scratch / "samples", scratch, 1000000);
        request.args.insert(request.args.end(), {"--log-every", log_every, "--calibration-log"});
        request.env = {{"DISPLAY", display.name},
                    {"LUMIVAR_SIM_FRAMES", (scratch / "frames").string()},
                    {"LUMIVAR_SIM_LOOP", "1"}};
        if (!fps.empty()) request.env["LUMIVAR_SIM_FPS"] = fps;
        face_test::start_program(request, program);
    }

    int status_lines() const {
        return static_cast<int>(face_test::lines_starting(program.out(), "processed frames: ").size());
    }
    bool wait_for_status_lines(int count) {
        return face_test::wait_until([&] { return status_lines() >= count; }, 180);
    }
    void type(const std::string &id, const std::string &key) {
        x_tool(display, "/usr/bin/xdotool", {"windowfocus", "--sync", id, "key", key});
    }
};

// The label the loop last gave a face, from the calibration lines: faces of one frame come in detector order,
// so the last lines with a confidence below or above `split` belong to each person.
std::string last_label(const std::string &out, bool enrolled, double split = 60.0) {
    std::string label;
    for (const std::string &line : face_test::lines_starting(out, "calibration frame=")) {
        const double confidence = std::stod(face_test::field(line, "confidence"));
        if ((confidence <= split && confidence > 0) == enrolled) label = face_test::field(line, "label");
    }
    return label;
}

TEST(Preview, ShowsEachFaceInItsLabelColourWhereItIsAndStopsOnQ) {
    PreviewRun run;
    ASSERT_FALSE(run.display.name.empty()) << "Xvfb did not start";
    ASSERT_EQ(run.faces, 2) << "the test frame should hold exactly two faces";
    run.start();
    ASSERT_TRUE(run.wait_for_status_lines(3)) << run.program.out();
    const std::string id = window_id(run.display);
    ASSERT_FALSE(id.empty()) << "no window titled Lumivar Face Recognition on " << run.display.name << "\n"
                             << run.program.out() << face_test::read_file(run.program.err_path())
                             << face_test::read_file(run.scratch / "xvfb.log");

    const cv::Mat window = screenshot_of_window(run.display, id, run.scratch.path);
    ASSERT_FALSE(window.empty());
    const Shown shown = locate_frame(window, run.frame);
    ASSERT_GT(shown.score, 0.6) << "the frame is not visible in the window";
    // A screen with room for the frame shows it at its own size, neither tiny nor enlarged.
    EXPECT_NEAR(shown.scale, 1.0, 0.01);

    const std::string out = run.program.out();
    EXPECT_EQ(face_test::lines_starting(out, "warning: no display").size(), 0u);
    EXPECT_EQ(last_label(out, false), "Unknown");
    const std::string enrolled_label = last_label(out, true);
    ASSERT_TRUE(enrolled_label == "CandidateVeyra" || enrolled_label == "ConfirmedVeyra") << out;
    expect_rectangle(window, shown, run.enrolled_face, enrolled_label == "ConfirmedVeyra" ? kGreen : kYellow, "enrolled");
    expect_rectangle(window, shown, run.other_face, kOrange, "other person");
    // "Visible faces: 2" in green at (30, 60), the "Last:" line in yellow at (30, 110).
    EXPECT_TRUE(colour_near(window, shown.offset + cv::Point(int(40 * shown.scale), int(45 * shown.scale)), kGreen, 8));
    EXPECT_TRUE(colour_near(window, shown.offset + cv::Point(int(40 * shown.scale), int(100 * shown.scale)), kYellow, 8));

    // Any other key is ignored; q stops after the current frame.
    const int before = run.status_lines();
    run.type(id, "x");
    EXPECT_TRUE(run.wait_for_status_lines(before + 2)) << "the loop stopped on a key other than q";
    run.type(id, "q");
    const face_test::RunResult result = face_test::wait_program(run.program, 120);
    EXPECT_EQ(result.status, 0) << result.err;
    const std::vector<std::string> lines = face_test::split_lines(result.out);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[lines.size() - 4], "stop requested by keyboard");
    EXPECT_EQ(lines[lines.size() - 3], "stopped RGB stream");
    EXPECT_EQ(lines[lines.size() - 2].rfind("summary: frames=", 0), 0u);
    EXPECT_EQ(lines.back(), "clean exit");
}

TEST(Preview, OnALaptopScreenTheWholeSensorFrameAndEveryFaceAreVisible) {
    // A sensor-sized frame with the enrolled person near its right edge, on a 1366 x 768 screen. The frames come
    // late, as from a sensor that is starting up: the loop waits for each one with the window's events unhandled.
    // The server has no other client and resets when its last one leaves (xvfb-run's does): a connection the
    // program closes before it opens the next, or before Qt has its own, can meet the reset: the screen's size
    // went unread and the window got the frame's own size.
    PreviewRun run(cv::Size(1920, 1080), {1350, 300}, {200, 250}, "1366x768x24", true);
    ASSERT_FALSE(run.display.name.empty()) << "Xvfb did not start";
    ASSERT_EQ(run.faces, 2) << "the test frame should hold exactly two faces";
    run.start("1", "2");
    ASSERT_TRUE(run.wait_for_status_lines(8)) << run.program.out();
    const std::string id = window_id(run.display);
    ASSERT_FALSE(id.empty()) << run.program.out() << face_test::read_file(run.program.err_path());
    EXPECT_EQ(times_left_without_clients(run.display), 0) << "the server reset under the running program\n"
                                                          << face_test::read_file(run.display.log_path);

    // The window fits the screen and leaves room for a panel and a title bar.
    const cv::Rect geometry = window_geometry(run.display, id);
    EXPECT_TRUE((geometry & cv::Rect(0, 0, 1366, 768 - 60)) == geometry) << geometry;
    const cv::Mat window = screenshot_of_window(run.display, id, run.scratch.path);
    ASSERT_FALSE(window.empty());
    const Shown shown = locate_frame(window, run.frame);
    ASSERT_GT(shown.score, 0.6) << "the frame is not visible in the window";
    EXPECT_TRUE((cv::Rect(shown.offset, cv::Size(1920 * shown.scale, 1080 * shown.scale)) &
                 cv::Rect(0, 0, window.cols, window.rows)).area() >= 0.99 * 1920 * 1080 * shown.scale * shown.scale)
        << "part of the frame lies outside the window";
    EXPECT_GT(shown.scale, 0.5) << "the frame is not shown as large as the screen allows";

    const std::string out = run.program.out();
    const std::string enrolled_label = last_label(out, true);
    ASSERT_TRUE(enrolled_label == "CandidateVeyra" || enrolled_label == "ConfirmedVeyra") << out;
    expect_rectangle(window, shown, run.enrolled_face, enrolled_label == "ConfirmedVeyra" ? kGreen : kYellow,
                     "enrolled");
    expect_rectangle(window, shown, run.other_face, kOrange, "other person");

    // Once the window has kept its size it is the user's: a size given to it stays over the next frames.
    x_tool(run.display, "/usr/bin/xdotool", {"windowsize", "--sync", id, "900", "560"});
    ASSERT_TRUE(run.wait_for_status_lines(run.status_lines() + 3)) << run.program.out();
    EXPECT_EQ(window_geometry(run.display, id).size(), cv::Size(900, 560));
}

TEST(Preview, EscapeStopsTheLoopToo) {
    PreviewRun run;
    ASSERT_FALSE(run.display.name.empty()) << "Xvfb did not start";
    run.start();
    ASSERT_TRUE(run.wait_for_status_lines(1)) << run.program.out();
    const std::string id = window_id(run.display);
    ASSERT_FALSE(id.empty()) << run.display.name << "\n"
                             << run.program.out() << face_test::read_file(run.scratch / "xvfb.log");
    // The check benchmarks skip by: a reachable display, or Qt's display-less platform.
    setenv("DISPLAY", run.display.name.c_str(), 1);
    unsetenv("QT_QPA_PLATFORM");
    EXPECT_TRUE(preview_display_available());
    unsetenv("DISPLAY");
    EXPECT_FALSE(preview_display_available());
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    EXPECT_TRUE(preview_display_available());
    unsetenv("QT_QPA_PLATFORM");
    run.type(id, "Escape");
    const face_test::RunResult result = face_test::wait_program(run.program, 120);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(face_test::lines_starting(result.out, "stop requested by keyboard").size(), 1u) << result.out;
    EXPECT_EQ(face_test::split_lines(result.out).back(), "clean exit");
}

}  // namespace

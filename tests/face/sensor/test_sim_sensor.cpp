// The simulated sensor behind the libfreenect2 API: what it serves, in which order and layout, and how it fails.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include <gtest/gtest.h>
#include <libfreenect2/frame_listener_impl.h>
#include <libfreenect2/libfreenect2.hpp>
#include <libfreenect2/logger.h>
#include <libfreenect2/packet_pipeline.h>
#include <libfreenect2/registration.h>
#include <opencv2/videoio.hpp>

#include "face_files.h"

using libfreenect2::Frame;
using libfreenect2::FrameMap;

namespace {

void set_sim_env(const std::map<std::string, std::string> &values) {
    for (const char *name : {"LUMIVAR_SIM_FRAMES", "LUMIVAR_SIM_FORMAT", "LUMIVAR_SIM_FAIL", "LUMIVAR_SIM_LOOP",
                             "LUMIVAR_SIM_FPS", "LUMIVAR_SIM_REALTIME", "LUMIVAR_SIM_REPORT", "LUMIVAR_SIM_DEPTH"})
        unsetenv(name);
    for (const auto &[name, value] : values) setenv(name.c_str(), value.c_str(), 1);
}

// Solid 8 x 6 pictures whose colours tell them apart.
const cv::Vec3b kBlue(200, 10, 20), kGreen(30, 180, 40), kRed(50, 60, 220);

void write_solid(const face_test::fs::path &path, const cv::Vec3b &bgr) {
    face_test::write_image(path, cv::Mat(6, 8, CV_8UC3, cv::Scalar(bgr[0], bgr[1], bgr[2])));
}

// A started colour stream on the simulated device; stops and closes it at the end.
struct Stream {
    libfreenect2::Freenect2 context;
    libfreenect2::Freenect2Device *device = nullptr;
    libfreenect2::SyncMultiFrameListener listener{Frame::Color};
    FrameMap frames;
    bool started = false;

    Stream() {
        if (context.enumerateDevices() == 0) return;
        device = context.openDevice(context.getDefaultDeviceSerialNumber());
        if (!device) return;
        device->setColorFrameListener(&listener);
        started = device->startStreams(true, false);
    }
    ~Stream() {
        listener.release(frames);
        if (device) {
            device->stop();
            device->close();
        }
    }
    // The next frame's sequence number, or -1 on a time-out; the frame is released.
    long next_sequence(int milliseconds = 1000) {
        if (!listener.waitForNewFrame(frames, milliseconds)) return -1;
        const long sequence = frames[Frame::Color]->sequence;
        listener.release(frames);
        return sequence;
    }
    // The first pixel's four bytes of the next frame, or an empty vector on a time-out.
    std::vector<int> next_first_pixel(int milliseconds = 1000) {
        if (!listener.waitForNewFrame(frames, milliseconds)) return {};
        const Frame *f = frames[Frame::Color];
        std::vector<int> bytes(f->data, f->data + f->bytes_per_pixel);
        listener.release(frames);
        return bytes;
    }
};

std::vector<int> bgrx(const cv::Vec3b &c) { return {c[0], c[1], c[2]}; }
std::vector<int> first3(std::vector<int> bytes) {
    if (bytes.size() > 3) bytes.resize(3);
    return bytes;
}

class SimSensor : public ::testing::Test {
protected:
    void TearDown() override { set_sim_env({}); }
    face_test::ScratchDir scratch;
};

TEST_F(SimSensor, WithoutFramesNoSensorIsConnectedAndNothingOpens) {
    set_sim_env({});
    libfreenect2::Freenect2 context;
    EXPECT_EQ(context.enumerateDevices(), 0);
    EXPECT_EQ(context.getDefaultDeviceSerialNumber(), "");
    EXPECT_EQ(context.openDevice(context.getDefaultDeviceSerialNumber()), nullptr);

    setenv("LUMIVAR_SIM_FRAMES", "", 1);
    libfreenect2::Freenect2 empty_value;
    EXPECT_EQ(empty_value.enumerateDevices(), 0);
}

TEST_F(SimSensor, ServesDirectoryImagesInNameOrderAsBgrxThenRunsDry) {
    write_solid(scratch / "c.png", kRed);
    write_solid(scratch / "a.png", kBlue);
    write_solid(scratch / "b.bmp", kGreen);
    std::ofstream(scratch / "notes.txt") << "not a frame";
    set_sim_env({{"LUMIVAR_SIM_FRAMES", scratch.path.string()}});

    Stream stream;
    ASSERT_TRUE(stream.started);
    EXPECT_FALSE(stream.device->getSerialNumber().empty());
    ASSERT_TRUE(stream.listener.waitForNewFrame(stream.frames, 1000));
    const Frame *frame = stream.frames[Frame::Color];
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->width, 8u);
    EXPECT_EQ(frame->height, 6u);
    EXPECT_EQ(frame->bytes_per_pixel, 4u);
    EXPECT_EQ(frame->format, Frame::BGRX);
    EXPECT_EQ(std::vector<int>(frame->data, frame->data + 3), bgrx(kBlue));
    stream.listener.release(stream.frames);
    EXPECT_TRUE(stream.frames.empty());

    EXPECT_EQ(first3(stream.next_first_pixel()), bgrx(kGreen));
    EXPECT_EQ(first3(stream.next_first_pixel()), bgrx(kRed));
    // After the last frame the wait answers at once, however long it may wait.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(stream.next_first_pixel(60000).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(30));
}

TEST_F(SimSensor, RgbxSwapsRedAndBlueAndBadHasThreeBytesPerPixel) {
    write_solid(scratch / "a.png", kRed);
    set_sim_env({{"LUMIVAR_SIM_FRAMES", scratch.path.string()}, {"LUMIVAR_SIM_FORMAT", "rgbx"}});
    {
        Stream stream;
        ASSERT_TRUE(stream.listener.waitForNewFrame(stream.frames, 1000));
        const Frame *frame = stream.frames[Frame::Color];
        EXPECT_EQ(frame->format, Frame::RGBX);
        EXPECT_EQ(std::vector<int>(frame->data, frame->data + 3), (std::vector<int>{kRed[2], kRed[1], kRed[0]}));
    }
    setenv("LUMIVAR_SIM_FORMAT", "bad", 1);
    {
        Stream stream;
        ASSERT_TRUE(stream.listener.waitForNewFrame(stream.frames, 1000));
        EXPECT_EQ(stream.frames[Frame::Color]->bytes_per_pixel, 3u);
        EXPECT_EQ(std::vector<int>(stream.frames[Frame::Color]->data, stream.frames[Frame::Color]->data + 3),
                  bgrx(kRed));
    }
}

TEST_F(SimSensor, LoopServesTheFramesAgainAndAgain) {
    write_solid(scratch / "1.png", kBlue);
    write_solid(scratch / "2.png", kGreen);
    set_sim_env({{"LUMIVAR_SIM_FRAMES", scratch.path.string()}, {"LUMIVAR_SIM_LOOP", "1"}});
    Stream stream;
    for (const cv::Vec3b &expected : {kBlue, kGreen, kBlue, kGreen, kBlue})
        EXPECT_EQ(first3(stream.next_first_pixel()), bgrx(expected));
}

TEST_F(SimSensor, ServesTheFramesOfAVideoFile) {
    const std::string video = (scratch / "clip.avi").string();
    {
        cv::VideoWriter writer(video, cv::CAP_OPENCV_MJPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 10,
                               cv::Size(64, 48));
        ASSERT_TRUE(writer.isOpened());
        for (const cv::Vec3b &c : {kBlue, kGreen, kRed}) writer.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar(c[0], c[1], c[2])));
    }
    set_sim_env({{"LUMIVAR_SIM_FRAMES", video}});
    Stream stream;
    ASSERT_TRUE(stream.started);
    for (const cv::Vec3b &expected : {kBlue, kGreen, kRed}) {
        const std::vector<int> got = first3(stream.next_first_pixel());
        ASSERT_EQ(got.size(), 3u);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(got[c], expected[c], 12) << "channel " << c;  // JPEG coding
    }
    EXPECT_TRUE(stream.next_first_pixel().empty());
}

TEST_F(SimSensor, FailsToOpenOrStartOnRequestOrWhenTheFramesAreMissing) {
    write_solid(scratch / "a.png", kBlue);
    set_sim_env({{"LUMIVAR_SIM_FRAMES", scratch.path.string()}, {"LUMIVAR_SIM_FAIL", "open"}});
    {
        libfreenect2::Freenect2 context;
        EXPECT_EQ(context.enumerateDevices(), 1);
        EXPECT_EQ(context.openDevice(context.getDefaultDeviceSerialNumber()), nullptr);
    }
    setenv("LUMIVAR_SIM_FAIL", "start", 1);
    {
        Stream stream;
        ASSERT_NE(stream.device, nullptr);
        EXPECT_FALSE(stream.started);
    }
    set_sim_env({{"LUMIVAR_SIM_FRAMES", (scratch / "no_such_dir").string()}});
    {
        libfreenect2::Freenect2 context;
        EXPECT_EQ(context.openDevice(context.getDefaultDeviceSerialNumber()), nullptr);
    }
}

TEST_F(SimSensor, PacedFramesArriveNoFasterThanAsked) {
    write_solid(scratch / "a.png", kBlue);
    write_solid(scratch / "b.png", kGreen);
    set_sim_env({{"LUMIVAR_SIM_FRAMES", scratch.path.string()}, {"LUMIVAR_SIM_FPS", "2"}});
    Stream stream;
    EXPECT_EQ(first3(stream.next_first_pixel()), bgrx(kBlue));
    // The next frame is due half a second later: a short wait times out and loses nothing.
    EXPECT_TRUE(stream.next_first_pixel(20).empty());
    EXPECT_EQ(first3(stream.next_first_pixel(5000)), bgrx(kGreen));
}

TEST_F(SimSensor, BehavesLikeTheLibraryWhereAProgramCouldTellTheDifference) {
    write_solid(scratch / "a.png", kBlue);
    write_solid(scratch / "b.png", kGreen);
    set_sim_env({{"LUMIVAR_SIM_FRAMES", scratch.path.string()}});
    {
        libfreenect2::Freenect2 context;
        // The device takes the pipeline even when opening fails (LeakSanitizer would see it otherwise).
        EXPECT_EQ(context.openDevice("no such serial", new libfreenect2::CpuPacketPipeline()), nullptr);
        libfreenect2::Freenect2Device *device =
            context.openDevice(context.getDefaultDeviceSerialNumber(), new libfreenect2::CpuPacketPipeline());
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->getFirmwareVersion(), "<unknown>");
        libfreenect2::SyncMultiFrameListener listener(Frame::Color);
        device->setColorFrameListener(&listener);
        ASSERT_TRUE(device->startStreams(true, false));
        EXPECT_NE(device->getFirmwareVersion(), "<unknown>");
        EXPECT_FALSE(device->startStreams(true, false)) << "already streaming";

        FrameMap frames;
        ASSERT_TRUE(listener.waitForNewFrame(frames, 1000));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(frames[Frame::Color]->data) % 64, 0u);
        // While the program holds a frame set, new frames are refused: the wait can only time out.
        FrameMap second;
        EXPECT_FALSE(listener.waitForNewFrame(second, 50));
        listener.release(frames);
        ASSERT_TRUE(listener.waitForNewFrame(frames, 1000));
        EXPECT_EQ(std::vector<int>(frames[Frame::Color]->data, frames[Frame::Color]->data + 3), bgrx(kGreen));
        listener.release(frames);

        EXPECT_TRUE(device->stop());
        EXPECT_TRUE(device->close());
        EXPECT_TRUE(device->close()) << "a second close";
        EXPECT_FALSE(device->startStreams(true, false)) << "closed";
    }
    const Frame empty(0, 0, 4);
    EXPECT_NE(empty.data, nullptr);

    // A negative time limit looks without waiting: the next paced frame is two seconds away.
    setenv("LUMIVAR_SIM_FPS", "0.5", 1);
    Stream paced;
    ASSERT_NE(paced.next_sequence(), -1);
    const auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(paced.listener.waitForNewFrame(paced.frames, -1));
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(1000));
}

TEST_F(SimSensor, InRealTimeFramesComeAtTheSensorsPaceAndOnlyTheNewestIsKept) {
    const int pictures = 40;
    for (int i = 0; i < pictures; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%02d.png", i);
        write_solid(scratch / name, cv::Vec3b(static_cast<uchar>(5 * i), 0, 0));
    }
    set_sim_env({{"LUMIVAR_SIM_FRAMES", scratch.path.string()}, {"LUMIVAR_SIM_REALTIME", "1"},
                 {"LUMIVAR_SIM_FPS", "20"}, {"LUMIVAR_SIM_LOOP", "1"}});
    Stream stream;
    ASSERT_TRUE(stream.listener.waitForNewFrame(stream.frames, 1000));
    const long held = stream.frames[Frame::Color]->sequence;
    // Frames that come while the program holds one are dropped, not queued.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stream.listener.release(stream.frames);
    ASSERT_TRUE(stream.listener.waitForNewFrame(stream.frames, 1000));
    const Frame *after_hold = stream.frames[Frame::Color];
    const long resumed = after_hold->sequence;
    EXPECT_GE(resumed, held + 5);
    // The picture is the one the sensor saw at that moment: sequence n shows picture n.
    EXPECT_EQ(after_hold->data[0], 5 * (resumed % pictures));
    stream.listener.release(stream.frames);
    // A program that is slow to come back gets the newest frame, not the oldest unread one.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_GE(stream.next_sequence(), resumed + 5);
}

TEST_F(SimSensor, DepthFramesComeWithTheirColourFramesAndRegisterOntoThemAsTheLibraryDoes) {
    // Two 1920 x 1080 frames: the first with a depth picture (1 m inside a rectangle, nothing elsewhere).
    const face_test::fs::path colour = scratch / "colour", depth = scratch / "depth";
    face_test::write_image(colour / "a.png", cv::Mat(1080, 1920, CV_8UC3, cv::Scalar(10, 20, 30)));
    face_test::write_image(colour / "b.png", cv::Mat(1080, 1920, CV_8UC3, cv::Scalar(10, 20, 30)));
    cv::Mat aligned(1080, 1920, CV_16UC1, cv::Scalar(0));
    aligned(cv::Rect(800, 400, 300, 200)) = 1000;
    aligned(cv::Rect(1300, 0, 100, 1080)) = 1500;  // all rows
    face_test::write_image(depth / "a.png", aligned);
    set_sim_env({{"LUMIVAR_SIM_FRAMES", colour.string()}, {"LUMIVAR_SIM_DEPTH", depth.string()}});

    libfreenect2::Freenect2 context;
    libfreenect2::Freenect2Device *device = context.openDevice(context.getDefaultDeviceSerialNumber());
    ASSERT_NE(device, nullptr);
    libfreenect2::SyncMultiFrameListener listener(Frame::Color | Frame::Depth);
    device->setColorFrameListener(&listener);
    device->setIrAndDepthFrameListener(&listener);
    ASSERT_TRUE(device->startStreams(true, true));
    const libfreenect2::Registration registration(device->getIrCameraParams(), device->getColorCameraParams());
    EXPECT_NEAR(device->getColorCameraParams().fx, 1081.37, 0.01);
    Frame undistorted(512, 424, 4), registered(512, 424, 4), bigdepth(1920, 1082, 4), small(1920, 1080, 4);
    cv::Mat big(1082, 1920, CV_32FC1, bigdepth.data);

    FrameMap frames;
    std::vector<int> valid_depth_pixels;
    for (int k = 0; k < 2; ++k) {
        ASSERT_TRUE(listener.waitForNewFrame(frames, 1000));
        const Frame *d = frames[Frame::Depth];
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->width, 512u);
        EXPECT_EQ(d->height, 424u);
        EXPECT_EQ(d->bytes_per_pixel, 4u);
        EXPECT_EQ(d->format, Frame::Float);
        const cv::Mat mm(424, 512, CV_32FC1, d->data);
        valid_depth_pixels.push_back(cv::countNonZero(mm));
        registration.apply(frames[Frame::Color], d, &undistorted, &registered, true, &bigdepth);
        if (k == 0) {
            // One blank row above and below; colour row r is row r + 1; +infinity where no depth landed.
            EXPECT_TRUE(std::isinf(big.at<float>(0, 950)));
            EXPECT_EQ(big.at<float>(1, 1350), 1500.0f);
            EXPECT_EQ(big.at<float>(1079, 1350), 1500.0f);
            // Colour rows 400 to 599 hold 1 m: bigdepth rows one lower (the depth pixels nearest the edges land on
            // colour rows 402 and 597, each spread one row up and down).
            std::vector<int> rows;
            for (int r = 0; r < big.rows; ++r)
                if (big.at<float>(r, 950) == 1000.0f) rows.push_back(r);
            ASSERT_FALSE(rows.empty());
            EXPECT_EQ(rows.front(), 402);
            EXPECT_EQ(rows.back(), 599);
            EXPECT_EQ(big.at<float>(501, 950), 1000.0f);
            EXPECT_TRUE(std::isinf(big.at<float>(1081, 950)));
            EXPECT_TRUE(std::isinf(big.at<float>(401 + 300, 950)));
            const cv::Mat landed = big(cv::Rect(700, 300, 500, 400)) == 1000.0f;
            const double colour_per_depth =
                cv::countNonZero(landed) / static_cast<double>(cv::countNonZero(mm == 1000.0f));
            EXPECT_GT(colour_per_depth, 7.0);  // about 3 x 3 colour pixels per depth pixel
            EXPECT_LT(colour_per_depth, 11.0);
            // A wrong output size: nothing is written.
            big = 5.0f;
            registration.apply(frames[Frame::Color], d, &undistorted, &registered, true, &small);
            EXPECT_EQ(big.at<float>(501, 950), 5.0f);
        }
        listener.release(frames);
    }
    EXPECT_GT(valid_depth_pixels[0], 5000);
    EXPECT_EQ(valid_depth_pixels[1], 0);  // no depth picture for b.png
    device->stop();
    device->close();

    // The depth camera sees only the middle of the colour frame's width: a face at its left edge has no depth.
    const libfreenect2::Freenect2Device::IrCameraParams ir = device->getIrCameraParams();
    const libfreenect2::Freenect2Device::ColorCameraParams rgb = device->getColorCameraParams();
    const double leftmost = rgb.cx - rgb.fx * ir.cx / ir.fx;
    EXPECT_GT(leftmost, 0.09 * 1920);
    EXPECT_LT(leftmost, 0.13 * 1920);
}

TEST_F(SimSensor, AWaitForColourAndDepthTimesOutWhenDepthNeverComes) {
    write_solid(scratch / "a.png", kBlue);
    set_sim_env({{"LUMIVAR_SIM_FRAMES", scratch.path.string()}, {"LUMIVAR_SIM_FAIL", "depth"}});
    libfreenect2::Freenect2 context;
    libfreenect2::Freenect2Device *device = context.openDevice(context.getDefaultDeviceSerialNumber());
    ASSERT_NE(device, nullptr);
    libfreenect2::SyncMultiFrameListener listener(Frame::Color | Frame::Depth);
    device->setColorFrameListener(&listener);
    device->setIrAndDepthFrameListener(&listener);
    ASSERT_TRUE(device->startStreams(true, true));
    FrameMap frames;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(listener.waitForNewFrame(frames, 300));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_TRUE(frames.empty());
    device->stop();
    device->close();
}

TEST(SimSensorLogging, InformationGoesToStandardOutputUnlessTheLevelIsLowered) {
    face_test::ScratchDir scratch;
    set_sim_env({});
    unsetenv("LIBFREENECT2_LOGGER_LEVEL");
    libfreenect2::setGlobalLogger(libfreenect2::createConsoleLoggerWithDefaultLevel());
    ::testing::internal::CaptureStdout();
    { libfreenect2::Freenect2().enumerateDevices(); }
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("[Info] "), std::string::npos);

    libfreenect2::setGlobalLogger(libfreenect2::createConsoleLogger(libfreenect2::Logger::Warning));
    ::testing::internal::CaptureStdout();
    { libfreenect2::Freenect2().enumerateDevices(); }
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

    setenv("LIBFREENECT2_LOGGER_LEVEL", "error", 1);
    EXPECT_EQ(libfreenect2::Logger::getDefaultLevel(), libfreenect2::Logger::Error);
    setenv("LIBFREENECT2_LOGGER_LEVEL", "DeBuG", 1);
    EXPECT_EQ(libfreenect2::Logger::getDefaultLevel(), libfreenect2::Logger::Debug);
    // Like the library: anything it does not know, the empty value included, means Info.
    for (const char *unknown : {"", "verbose", "warn"}) {
        setenv("LIBFREENECT2_LOGGER_LEVEL", unknown, 1);
        EXPECT_EQ(libfreenect2::Logger::getDefaultLevel(), libfreenect2::Logger::Info) << unknown;
    }
    unsetenv("LIBFREENECT2_LOGGER_LEVEL");
    libfreenect2::setGlobalLogger(libfreenect2::createConsoleLoggerWithDefaultLevel());
}

}  // namespace

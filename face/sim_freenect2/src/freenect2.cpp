// Simulated sensor: the context and its one device, configured from the environment.
#include <algorithm>
#include <memory>
#include <vector>

#include <libfreenect2/libfreenect2.hpp>

#include "sim_internal.h"

namespace libfreenect2 {

namespace {

const char *const kSimSerial = "000000000000";
const char *const kSimFirmware = "0.0.0.0-simulated";

}  // namespace

class Freenect2Impl {
public:
    sim::SimConfig config = sim::read_sim_config();
    std::vector<Freenect2Device *> open_devices;

    bool has_sensor() const { return !config.frames.empty(); }
    void forget(Freenect2Device *device) {
        open_devices.erase(std::remove(open_devices.begin(), open_devices.end(), device), open_devices.end());
    }
    // Takes ownership of `pipeline` whatever happens, as the library does.
    Freenect2Device *open(int idx, const PacketPipeline *pipeline, const std::string &origin);
};

namespace {

class SimDevice : public Freenect2Device {
public:
    SimDevice(Freenect2Impl &context, const sim::SimConfig &config, std::unique_ptr<const PacketPipeline> pipeline,
              cv::Size picture)
        : context_(context), pipeline_(std::move(pipeline)), picture_(picture) {
        stream_.config = config;
    }

    ~SimDevice() override {
        close();
        context_.forget(this);
    }

    std::string getSerialNumber() override { return kSimSerial; }
    // The sensor reports its firmware only once it streams.
    std::string getFirmwareVersion() override { return firmware_read_ ? kSimFirmware : "<unknown>"; }

    ColorCameraParams getColorCameraParams() override { return sim::colour_camera(picture_); }
    IrCameraParams getIrCameraParams() override { return sim::depth_camera(); }

    void setColorFrameListener(FrameListener *listener) override { colour_listener_ = listener; }
    void setIrAndDepthFrameListener(FrameListener *listener) override { ir_depth_listener_ = listener; }

    bool start() override { return startStreams(true, true); }

    bool startStreams(bool rgb, bool depth) override {
        if (state_ != State::open) return false;  // streaming already, or closed
        if (stream_.config.fail_start) {
            sim::log(Logger::Error, "[SimFreenect2] failed to start streams (LUMIVAR_SIM_FAIL=start)");
            return false;
        }
        // Depth frames go to the colour frames' listener, each with the colour frame it arrived with.
        stream_.depth_on = depth && ir_depth_listener_ != nullptr;
        if (depth && ir_depth_listener_ != nullptr && ir_depth_listener_ != colour_listener_)
            sim::log(Logger::Warning, "[SimFreenect2] depth frames go only to the colour frames' listener");
        if (rgb && colour_listener_) {
            const std::string problem = sim::open_frame_source(stream_.config.frames, stream_.source);
            if (!problem.empty()) {
                sim::log(Logger::Error, "[SimFreenect2] " + problem);
                return false;
            }
            stream_.pending.release();
            sim::start_stream_clock(stream_);
            sim::attach_stream(colour_listener_, &stream_);
            sim::log(Logger::Info, "[SimFreenect2] streaming colour frames from " + stream_.config.frames);
        }
        state_ = State::streaming;
        firmware_read_ = true;
        return true;
    }

    bool stop() override {
        if (state_ != State::streaming) return false;
        if (colour_listener_) sim::detach_stream(colour_listener_);
        sim::stop_stream(stream_);
        state_ = State::open;
        sim::log(Logger::Info, "[SimFreenect2] streams stopped");
        return true;
    }

    bool close() override {
        if (state_ == State::closed) return true;
        stop();
        state_ = State::closed;
        sim::log(Logger::Info, "[SimFreenect2] device closed");
        return true;
    }

private:
    enum class State { open, streaming, closed };

    Freenect2Impl &context_;
    std::unique_ptr<const PacketPipeline> pipeline_;
    cv::Size picture_;  // the colour camera's image size
    sim::ColourStream stream_;
    FrameListener *colour_listener_ = nullptr;
    FrameListener *ir_depth_listener_ = nullptr;
    State state_ = State::open;
    bool firmware_read_ = false;
};

}  // namespace

Freenect2Device *Freenect2Impl::open(int idx, const PacketPipeline *pipeline, const std::string &origin) {
    std::unique_ptr<const PacketPipeline> owned(pipeline);
    sim::report(config, "openDevice: " + sim::pipeline_kind(pipeline) + ", " + origin);
    if (!has_sensor() || idx != 0) {
        sim::log(Logger::Error, "[SimFreenect2] the requested device is not connected");
        return nullptr;
    }
    if (config.fail_open) {
        sim::log(Logger::Error, "[SimFreenect2] failed to open device (LUMIVAR_SIM_FAIL=open)");
        return nullptr;
    }
    sim::FrameSource probe;
    const std::string problem = sim::open_frame_source(config.frames, probe);
    if (!problem.empty()) {
        sim::log(Logger::Error, "[SimFreenect2] " + problem);
        return nullptr;
    }
    // The colour camera's size is that of the first picture (the real sensor's when there is none).
    cv::Mat first;
    const cv::Size picture = sim::next_picture(probe, false, first) ? first.size() : cv::Size(1920, 1080);
    if (!open_devices.empty()) {
        sim::log(Logger::Error, "[SimFreenect2] device already open");
        return nullptr;
    }
    Freenect2Device *device = new SimDevice(*this, config, std::move(owned), picture);
    open_devices.push_back(device);
    sim::log(Logger::Info, "[SimFreenect2] opened simulated device " + std::string(kSimSerial));
    return device;
}

Freenect2Device::~Freenect2Device() = default;

Freenect2::Freenect2(void *) : impl_(new Freenect2Impl) {}

Freenect2::~Freenect2() {
    // A device never outlives its context.
    while (!impl_->open_devices.empty()) delete impl_->open_devices.back();
    delete impl_;
}

int Freenect2::enumerateDevices() {
    sim::log(Logger::Info, "[SimFreenect2] enumerating devices...");
    const int count = impl_->has_sensor() ? 1 : 0;
    sim::log(Logger::Info, "[SimFreenect2] " + std::to_string(count) + " devices connected");
    // A build without libfreenect2 sees no sensor at all: the user is told what the program talks to instead.
    if (count == 0) {
        sim::log(Logger::Error, "[SimFreenect2] this program was built on the simulated sensor, not on libfreenect2: "
                                "it shows the pictures named by LUMIVAR_SIM_FRAMES (a folder of pictures or a video "
                                "file), and LUMIVAR_SIM_FRAMES is empty or not set");
    }
    return count;
}

std::string Freenect2::getDeviceSerialNumber(int idx) { return impl_->has_sensor() && idx == 0 ? kSimSerial : ""; }

std::string Freenect2::getDefaultDeviceSerialNumber() { return getDeviceSerialNumber(0); }

// Without a pipeline the default one is built first, before the device is looked for.
Freenect2Device *Freenect2::openDevice(int idx) {
    return impl_->open(idx, sim::create_default_pipeline(), "the library's default");
}

Freenect2Device *Freenect2::openDevice(int idx, const PacketPipeline *factory) {
    return impl_->open(idx, factory, "given by the application");
}

Freenect2Device *Freenect2::openDevice(const std::string &serial) {
    const PacketPipeline *pipeline = sim::create_default_pipeline();
    const int idx = impl_->has_sensor() && serial == kSimSerial ? 0 : -1;
    return impl_->open(idx, pipeline, "the library's default");
}

Freenect2Device *Freenect2::openDevice(const std::string &serial, const PacketPipeline *factory) {
    const int idx = impl_->has_sensor() && serial == kSimSerial ? 0 : -1;
    return impl_->open(idx, factory, "given by the application");
}

Freenect2Device *Freenect2::openDefaultDevice() { return openDevice(0); }

Freenect2Device *Freenect2::openDefaultDevice(const PacketPipeline *factory) { return openDevice(0, factory); }

}  // namespace libfreenect2

// Simulated sensor: the context and its one device, configured from the environment.
#include <algorithm>
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
};

namespace {

class SimDevice : public Freenect2Device {
public:
    SimDevice(Freenect2Impl &context, const sim::SimConfig &config) : context_(context) { stream_.config = config; }

    ~SimDevice() override {
        close();
        context_.forget(this);
    }

    std::string getSerialNumber() override { return kSimSerial; }
    std::string getFirmwareVersion() override { return kSimFirmware; }

    void setColorFrameListener(FrameListener *listener) override { colour_listener_ = listener; }
    void setIrAndDepthFrameListener(FrameListener *listener) override { ir_depth_listener_ = listener; }

    bool start() override { return startStreams(true, true); }

    bool startStreams(bool rgb, bool depth) override {
        if (stream_.config.fail_start) {
            sim::log(Logger::Error, "[SimFreenect2] failed to start streams (LUMIVAR_SIM_FAIL=start)");
            return false;
        }
        if (depth) sim::log(Logger::Warning, "[SimFreenect2] the simulated sensor has no depth stream");
        if (rgb && colour_listener_ && !streaming_) {
            const std::string problem = sim::open_frame_source(stream_.config.frames, stream_.source);
            if (!problem.empty()) {
                sim::log(Logger::Error, "[SimFreenect2] " + problem);
                return false;
            }
            sim::attach_stream(colour_listener_, &stream_);
            streaming_ = true;
            sim::log(Logger::Info, "[SimFreenect2] streaming colour frames from " + stream_.config.frames);
        }
        return true;
    }

    bool stop() override {
        if (!streaming_) return false;
        sim::detach_stream(colour_listener_);
        streaming_ = false;
        sim::log(Logger::Info, "[SimFreenect2] streams stopped");
        return true;
    }

    bool close() override {
        if (closed_) return false;
        stop();
        closed_ = true;
        sim::log(Logger::Info, "[SimFreenect2] device closed");
        return true;
    }

private:
    Freenect2Impl &context_;
    sim::ColourStream stream_;
    FrameListener *colour_listener_ = nullptr;
    FrameListener *ir_depth_listener_ = nullptr;
    bool streaming_ = false;
    bool closed_ = false;
};

}  // namespace

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
    return count;
}

std::string Freenect2::getDeviceSerialNumber(int idx) { return impl_->has_sensor() && idx == 0 ? kSimSerial : ""; }

std::string Freenect2::getDefaultDeviceSerialNumber() { return getDeviceSerialNumber(0); }

Freenect2Device *Freenect2::openDevice(int idx) { return openDevice(idx, nullptr); }

Freenect2Device *Freenect2::openDevice(int idx, const PacketPipeline *) {
    if (!impl_->has_sensor() || idx != 0) {
        sim::log(Logger::Error, "[SimFreenect2] requested device " + std::to_string(idx) + " is not connected");
        return nullptr;
    }
    if (impl_->config.fail_open) {
        sim::log(Logger::Error, "[SimFreenect2] failed to open device (LUMIVAR_SIM_FAIL=open)");
        return nullptr;
    }
    sim::FrameSource probe;
    const std::string problem = sim::open_frame_source(impl_->config.frames, probe);
    if (!problem.empty()) {
        sim::log(Logger::Error, "[SimFreenect2] " + problem);
        return nullptr;
    }
    if (!impl_->open_devices.empty()) {
        sim::log(Logger::Error, "[SimFreenect2] device already open");
        return nullptr;
    }
    Freenect2Device *device = new SimDevice(*impl_, impl_->config);
    impl_->open_devices.push_back(device);
    sim::log(Logger::Info, "[SimFreenect2] opened simulated device " + std::string(kSimSerial));
    return device;
}

Freenect2Device *Freenect2::openDevice(const std::string &serial) { return openDevice(serial, nullptr); }

Freenect2Device *Freenect2::openDevice(const std::string &serial, const PacketPipeline *factory) {
    if (!impl_->has_sensor() || serial != kSimSerial) {
        sim::log(Logger::Error, "[SimFreenect2] no device with serial '" + serial + "'");
        return nullptr;
    }
    return openDevice(0, factory);
}

Freenect2Device *Freenect2::openDefaultDevice() { return openDevice(0, nullptr); }

Freenect2Device *Freenect2::openDefaultDevice(const PacketPipeline *factory) { return openDevice(0, factory); }

}  // namespace libfreenect2

// Simulated sensor: configuration, the pictures it serves and its colour stream.
#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "sim_internal.h"

namespace fs = std::filesystem;

namespace libfreenect2 {
namespace sim {

namespace {

// FFmpeg reads every video file there is to replay. Left to try every backend, OpenCV would have
// its camera backends probe the host's USB devices whenever a file is damaged (and leak doing so).
constexpr int kVideoBackend = cv::CAP_FFMPEG;

// Decoded pictures of a directory are kept for looping until this budget is spent.
constexpr size_t kCacheBudgetBytes = 512u * 1024u * 1024u;

std::string env_text(const char *name) {
    const char *value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool is_image_name(const fs::path &path) {
    static const char *const kExtensions[] = {".png", ".jpg", ".jpeg", ".bmp", ".ppm", ".pgm",
                                              ".pnm", ".tif", ".tiff", ".webp"};
    const std::string ext = lower(path.extension().string());
    return std::any_of(std::begin(kExtensions), std::end(kExtensions),
                       [&](const char *known) { return ext == known; });
}

cv::Mat as_bgr(const cv::Mat &picture) {
    if (picture.channels() == 3) return picture;
    cv::Mat bgr;
    cv::cvtColor(picture, bgr, picture.channels() == 4 ? cv::COLOR_BGRA2BGR : cv::COLOR_GRAY2BGR);
    return bgr;
}

bool next_image(FrameSource &source, cv::Mat &bgr) {
    while (source.next_index < source.image_files.size()) {
        const size_t index = source.next_index++;
        source.current_name = fs::path(source.image_files[index]).stem().string();
        if (index < source.cache.size() && !source.cache[index].empty()) {
            bgr = source.cache[index];
            return true;
        }
        cv::Mat picture = cv::imread(source.image_files[index], cv::IMREAD_COLOR);
        if (picture.empty()) {
            log(Logger::Warning, "[SimFreenect2] skipping unreadable image " + source.image_files[index]);
            continue;
        }
        const size_t bytes = picture.total() * picture.elemSize();
        if (source.cached_bytes + bytes <= kCacheBudgetBytes) {
            if (source.cache.size() < source.image_files.size()) source.cache.resize(source.image_files.size());
            source.cache[index] = picture;
            source.cached_bytes += bytes;
        }
        bgr = picture;
        return true;
    }
    return false;
}

bool next_video_frame(FrameSource &source, cv::Mat &bgr) {
    cv::Mat picture;
    if (!source.video.read(picture) || picture.empty()) return false;
    bgr = as_bgr(picture);
    source.current_name.clear();
    ++source.next_index;
    return true;
}

bool rewind(FrameSource &source) {
    source.next_index = 0;
    if (!source.is_video) return true;
    source.video.release();
    return source.video.open(source.path, kVideoBackend);
}

void fill_ignored_byte(cv::Mat &four_channel) {
    // The fourth byte carries no colour: fill it with a pattern so that a reader using it stands out.
    for (int y = 0; y < four_channel.rows; ++y) {
        auto *row = four_channel.ptr<unsigned char>(y);
        for (int x = 0; x < four_channel.cols; ++x) row[4 * x + 3] = static_cast<unsigned char>(x * 7 + y * 13);
    }
}

std::map<const FrameListener *, ColourStream *> &attachments() {
    static std::map<const FrameListener *, ColourStream *> table;
    return table;
}

}  // namespace

SimConfig read_sim_config() {
    SimConfig config;
    config.frames = env_text("LUMIVAR_SIM_FRAMES");
    const std::string format = lower(env_text("LUMIVAR_SIM_FORMAT"));
    if (format == "rgbx") {
        config.layout = PixelLayout::rgbx;
    } else if (format == "bad") {
        config.layout = PixelLayout::bad;
    } else if (!format.empty() && format != "bgrx") {
        log(Logger::Warning, "[SimFreenect2] unknown LUMIVAR_SIM_FORMAT '" + format + "', using bgrx");
    }
    const std::string fail = lower(env_text("LUMIVAR_SIM_FAIL"));
    config.fail_open = fail == "open";
    config.fail_start = fail == "start";
    config.fail_depth = fail == "depth";
    config.depth_dir = env_text("LUMIVAR_SIM_DEPTH");
    config.loop = env_text("LUMIVAR_SIM_LOOP") == "1";
    config.realtime = env_text("LUMIVAR_SIM_REALTIME") == "1";
    config.report = env_text("LUMIVAR_SIM_REPORT");
    const std::string fps = env_text("LUMIVAR_SIM_FPS");
    if (!fps.empty()) {
        char *end = nullptr;
        const double value = std::strtod(fps.c_str(), &end);
        if (end != fps.c_str() && *end == '\0' && value > 0.0 && value <= 1000.0) {
            config.fps = value;
        } else {
            log(Logger::Warning, "[SimFreenect2] ignoring LUMIVAR_SIM_FPS '" + fps + "' (expected 0 < N <= 1000)");
        }
    }
    return config;
}

std::string open_frame_source(const std::string &path, FrameSource &source) {
    source = FrameSource();
    source.path = path;
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        for (const auto &entry : fs::directory_iterator(path, ec)) {
            if (entry.is_regular_file(ec) && is_image_name(entry.path())) source.image_files.push_back(entry.path().string());
        }
        if (ec) return "cannot list " + path + ": " + ec.message();
        std::sort(source.image_files.begin(), source.image_files.end());
        return "";
    }
    if (!fs::is_regular_file(path, ec)) return "no such directory or video file: " + path;
    source.is_video = true;
    if (!source.video.open(path, kVideoBackend)) return "cannot open video file " + path;
    return "";
}

bool next_picture(FrameSource &source, bool loop, cv::Mat &bgr) {
    if (source.finished) return false;
    auto step = [&]() { return source.is_video ? next_video_frame(source, bgr) : next_image(source, bgr); };
    if (step()) return true;
    // A pass that started at the beginning and yielded nothing would loop forever.
    if (loop && source.next_index > 0 && rewind(source) && step()) return true;
    source.finished = true;
    return false;
}

Frame *make_colour_frame(const cv::Mat &bgr, PixelLayout layout, uint32_t sequence) {
    const size_t bytes_per_pixel = layout == PixelLayout::bad ? 3 : 4;
    Frame *frame = new Frame(static_cast<size_t>(bgr.cols), static_cast<size_t>(bgr.rows), bytes_per_pixel);
    if (layout == PixelLayout::bad) {
        cv::Mat target(bgr.rows, bgr.cols, CV_8UC3, frame->data);
        bgr.copyTo(target);
        frame->format = Frame::BGRX;
    } else {
        cv::Mat target(bgr.rows, bgr.cols, CV_8UC4, frame->data);
        cv::cvtColor(bgr, target, layout == PixelLayout::rgbx ? cv::COLOR_BGR2RGBA : cv::COLOR_BGR2BGRA);
        fill_ignored_byte(target);
        frame->format = layout == PixelLayout::rgbx ? Frame::RGBX : Frame::BGRX;
    }
    frame->sequence = sequence;
    frame->timestamp = sequence * 333;  // the sensor counts in 0.1 ms at 30 frames per second
    return frame;
}

namespace {

using Clock = std::chrono::steady_clock;

Clock::duration frame_period(double fps) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
}

Clock::duration realtime_period(const SimConfig &config) {
    return frame_period(config.fps > 0.0 ? config.fps : kSensorFps);
}

// Sleeps until `due` when that lies within the wait allowed from `wait_start` (negative: no limit);
// otherwise sleeps the whole wait and returns false.
bool sleep_until_due(Clock::time_point due, Clock::time_point wait_start, int milliseconds) {
    const auto limit = wait_start + std::chrono::milliseconds(milliseconds);
    if (milliseconds >= 0 && due > limit) {
        std::this_thread::sleep_until(limit);
        return false;
    }
    std::this_thread::sleep_until(due);
    return true;
}

// The next picture and its name into `pending`.
bool take_next_picture(ColourStream &stream) {
    if (!next_picture(stream.source, stream.config.loop, stream.pending)) return false;
    stream.pending_name = stream.source.current_name;
    return true;
}

bool have_pending(ColourStream &stream) { return !stream.pending.empty() || take_next_picture(stream); }

Frame *deliver_pending(ColourStream &stream, uint32_t sequence) {
    Frame *frame = make_colour_frame(stream.pending, stream.config.layout, sequence);
    stream.pending.release();
    stream.delivered_name = stream.pending_name;
    stream.have_delivered = true;
    stream.last_delivery = Clock::now();
    return frame;
}

// Replay: every picture in order, no faster than LUMIVAR_SIM_FPS when that is set.
Frame *pull_replayed_frame(ColourStream &stream, int milliseconds) {
    const auto wait_start = Clock::now();
    // An exhausted source answers at once; pacing only ever delays a picture that exists.
    if (!have_pending(stream)) return nullptr;
    if (stream.config.fps > 0.0 && stream.have_delivered &&
        !sleep_until_due(stream.last_delivery + frame_period(stream.config.fps), wait_start, milliseconds))
        return nullptr;
    return deliver_pending(stream, stream.sequence++);
}

uint64_t ticks_before(const ColourStream &stream, Clock::time_point t, Clock::duration period) {
    return static_cast<uint64_t>((t - stream.started) / period);
}

// Real time, on the stream's own thread: frame k is made at `started` + k periods from picture k, and kept when the
// application holds no frame (replacing an older one nobody took); made while it holds one, it is dropped. A thread
// that falls behind the clock passes over the pictures it missed, as the sensor goes on without it.
void make_realtime_frames(ColourStream &stream) {
    pthread_setname_np(pthread_self(), "sensor decoding");
    const Clock::duration period = realtime_period(stream.config);
    for (uint64_t tick = 0;; ++tick) {
        {
            std::unique_lock<std::mutex> lock(stream.mutex);
            const Clock::time_point due = stream.started + period * static_cast<int64_t>(tick);
            if (stream.changed.wait_until(lock, due, [&] { return stream.stopping; })) return;
        }
        const uint64_t now = ticks_before(stream, Clock::now(), period);
        if (now > tick) {
            skip_pictures(stream.source, stream.config.loop, now - tick);
            tick = now;
        }
        cv::Mat picture;
        if (!next_picture(stream.source, stream.config.loop, picture)) {
            std::lock_guard<std::mutex> lock(stream.mutex);
            stream.ended = true;
            stream.changed.notify_all();
            return;
        }
        Frame *colour = make_colour_frame(picture, stream.config.layout, static_cast<uint32_t>(tick));
        colour->timestamp = static_cast<uint32_t>((period * static_cast<int64_t>(tick)) / std::chrono::microseconds(100));
        Frame *depth = stream.depth_on && !stream.config.fail_depth
                           ? depth_frame_for(stream, stream.source.current_name, picture.size(), colour->sequence)
                           : nullptr;
        std::lock_guard<std::mutex> lock(stream.mutex);
        if (stream.accepting) {
            std::swap(stream.newest, colour);
            std::swap(stream.newest_depth, depth);
            stream.newest_name = stream.source.current_name;
            stream.changed.notify_all();
        }
        delete colour;
        delete depth;
    }
}

Frame *pull_realtime_frame(ColourStream &stream, int milliseconds) {
    std::unique_lock<std::mutex> lock(stream.mutex);
    const auto ready = [&] { return stream.newest != nullptr || stream.ended; };
    if (milliseconds < 0) stream.changed.wait(lock, ready);
    else stream.changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
    if (stream.newest == nullptr) return nullptr;
    Frame *frame = stream.newest;
    stream.newest = nullptr;
    delete stream.delivered_depth;
    stream.delivered_depth = stream.newest_depth;
    stream.newest_depth = nullptr;
    stream.delivered_name = stream.newest_name;
    stream.accepting = false;
    return frame;
}

}  // namespace

void skip_pictures(FrameSource &source, bool loop, uint64_t count) {
    if (count == 0 || source.finished) return;
    if (!source.is_video) {
        const size_t files = source.image_files.size();
        const uint64_t index = source.next_index + count;
        source.next_index = index < files ? index : (loop && files > 0 ? index % files : files);
        return;
    }
    for (uint64_t i = 0; i < count; ++i) {
        if (!source.video.grab()) {
            // A pass that started at the beginning and yielded nothing would loop forever.
            if (!loop || source.next_index == 0 || !rewind(source) || !source.video.grab()) {
                source.finished = true;
                return;
            }
        }
        ++source.next_index;
    }
}

void start_stream_clock(ColourStream &stream) {
    stream.started = Clock::now();
    if (!stream.config.realtime) return;
    stream.accepting = true;
    stream.ended = false;
    stream.stopping = false;
    stream.maker = std::thread(make_realtime_frames, std::ref(stream));
}

void stop_stream(ColourStream &stream) {
    if (stream.maker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(stream.mutex);
            stream.stopping = true;
        }
        stream.changed.notify_all();
        stream.maker.join();
    }
    for (Frame **frame : {&stream.newest, &stream.newest_depth, &stream.delivered_depth}) {
        delete *frame;
        *frame = nullptr;
    }
}

Frame *pull_colour_frame(ColourStream &stream, int milliseconds) {
    return stream.config.realtime ? pull_realtime_frame(stream, milliseconds) : pull_replayed_frame(stream, milliseconds);
}

bool colour_frame_ready(ColourStream &stream) {
    if (stream.config.realtime) {
        std::lock_guard<std::mutex> lock(stream.mutex);
        return stream.newest != nullptr;
    }
    if (!have_pending(stream)) return false;
    return stream.config.fps <= 0.0 || !stream.have_delivered ||
           stream.last_delivery + frame_period(stream.config.fps) <= Clock::now();
}

void colour_frames_released(ColourStream &stream) {
    std::lock_guard<std::mutex> lock(stream.mutex);
    stream.accepting = true;
}

void report(const SimConfig &config, const std::string &line) {
    if (config.report.empty()) return;
    std::ofstream out(config.report, std::ios::app);
    out << line << '\n';
}

std::mutex &attach_mutex() {
    static std::mutex mutex;
    return mutex;
}

void attach_stream(const FrameListener *listener, ColourStream *stream) {
    std::lock_guard<std::mutex> lock(attach_mutex());
    attachments()[listener] = stream;
}

void detach_stream(const FrameListener *listener) {
    std::lock_guard<std::mutex> lock(attach_mutex());
    attachments().erase(listener);
}

ColourStream *attached_stream(const FrameListener *listener) {
    std::lock_guard<std::mutex> lock(attach_mutex());
    const auto found = attachments().find(listener);
    return found == attachments().end() ? nullptr : found->second;
}

}  // namespace sim
}  // namespace libfreenect2

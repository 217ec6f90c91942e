#include "direction_lines.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

#include "direction_history.h"
#include "speech_detection.h"

namespace {

// To `per_unit` steps of a unit: divided last, so the value is the double nearest the decimal and
// prints as it.
double rounded(double value, double per_unit) { return std::round(value * per_unit) / per_unit; }

double combined_rms(const std::vector<double> &rms) {
    double power = 0.0;
    for (double level : rms) power += level * level;
    return rms.empty() ? 0.0 : std::sqrt(power / static_cast<double>(rms.size()));
}

}  // namespace

double chunk_first_sample_time(double read_at, double duration, std::optional<double> previous_end) {
    const double by_clock = read_at - duration;
    const double chained = previous_end.value_or(by_clock);  // the first chunk has no chain yet
    return chained < by_clock - kChunkChainResyncSeconds ? by_clock : std::min(by_clock, chained);
}

DirectionLine direction_line_of(double time, long chunk, const LiveChunkResult &result) {
    DirectionLine line;
    line.time = time;
    line.chunk = chunk;
    line.angle_degrees = result.direction.angle_degrees;
    line.confidence = result.direction.confidence;
    line.low_confidence = result.direction.low_confidence;
    line.speech = result.speech;
    line.rms = combined_rms(result.diagnostics.rms);
    return line;
}

std::string direction_line_json(const DirectionLine &line) {
    nlohmann::ordered_json json;
    json["time"] = rounded(line.time, 1e3);
    json["chunk"] = line.chunk;
    json["angle_degrees"] = rounded(line.angle_degrees, 1e2);
    json["confidence"] = rounded(line.confidence, 1e3);
    json["low_confidence"] = line.low_confidence;
    json["speech"] = line.speech;
    json["rms"] = rounded(line.rms, 1e6);
    return json.dump() + "\n";
}

std::string recording_direction_lines(const WavData &processed, const Options &options) {
    const std::size_t chunk_frames = static_cast<std::size_t>(options.live_chunk_frames);
    const std::size_t frames = processed.samples.empty() ? 0 : processed.samples[0].size();
    DirectionHistory history = direction_history(chunk_frames, processed.sample_rate);
    SpeechDetection speech = start_speech_detection(chunk_frames, processed.sample_rate);
    std::string text;
    long number = 0;
    for (std::size_t first = 0; first < frames; first += chunk_frames) {
        const std::size_t count = std::min(chunk_frames, frames - first);
        WavData chunk;
        chunk.sample_rate = processed.sample_rate;
        chunk.channels = processed.channels;
        chunk.bits_per_sample = processed.bits_per_sample;
        for (const std::vector<double> &channel : processed.samples) {
            const std::size_t end = std::min(channel.size(), first + count);
            chunk.samples.emplace_back(channel.begin() + static_cast<std::ptrdiff_t>(std::min(first, end)),
                                       channel.begin() + static_cast<std::ptrdiff_t>(end));
        }
        const LiveChunkResult result =
            process_live_chunk(std::move(chunk), 0.0, options.mic_positions, &history, nullptr, &speech);
        const double time = processed.sample_rate > 0 ? static_cast<double>(first) / processed.sample_rate : 0.0;
        text += direction_line_json(direction_line_of(time, ++number, result));
    }
    return text;
}

void send_direction_line(LineOutput &output, const DirectionLine &line, Logger &logger) {
    if (output.gone || output.fd < 0) return;
    if (!write_line_now(output, direction_line_json(line))) {
        logger.line("warning: " + line_output_failure(output, "directions"));
    }
}

#include "event_json.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "run_log.h"
#include "whole_file.h"

namespace {

std::string quoted(const std::string &text) { return "\"" + json_escape(text) + "\""; }

std::string utc_timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return buffer;
}

std::string event_document(const EventReport &r) {
    const Options &o = r.options;
    const DirectionEstimate &d = r.direction;
    const std::string angle = format_fixed(d.angle_degrees, 2);
    std::string warnings = "[";
    for (std::size_t i = 0; i < r.warnings.size(); ++i) warnings += (i ? ", " : "") + quoted(r.warnings[i]);
    warnings += "]";

    std::string doc = "{\n";
    auto member = [&doc](const char *key, const std::string &value) {
        doc += "  \"" + std::string(key) + "\": " + value + ",\n";
    };
    auto nested = [&doc](const char *key, const std::string &value, bool last = false) {
        doc += "    \"" + std::string(key) + "\": " + value + (last ? "\n" : ",\n");
    };
    member("timestamp", "\"" + utc_timestamp() + "\"");
    member("device", quoted(o.device));
    member("sample_rate", std::to_string(r.raw.sample_rate));
    member("channels", std::to_string(r.raw.channels));
    member("duration_seconds", format_fixed(r.duration_seconds, 3));
    member("raw_wav", quoted(o.output_path));
    member("beamformed_wav", quoted(o.beamformed_path));
    member("input_gain_db", format_fixed(o.input_gain_db, 2));
    member("channel_rms", vector_json(r.raw_diagnostics.rms));
    member("channel_peak", vector_json(r.raw_diagnostics.peak));
    member("channel_noise_floor", vector_json(r.raw_diagnostics.noise_floor));
    member("processed_channel_rms", vector_json(r.processed_diagnostics.rms));
    member("processed_channel_peak", vector_json(r.processed_diagnostics.peak));
    member("processed_channel_noise_floor", vector_json(r.processed_diagnostics.noise_floor));
    member("direction_angle", angle);
    member("direction_angle_degrees", angle);
    member("direction_confidence", format_fixed(d.confidence, 3));
    member("direction_method", quoted(d.method));
    member("direction_samples_source", quoted(d.samples_source));
    member("direction_low_confidence", d.low_confidence ? "true" : "false");
    // Speech is judged on the processed levels, so the gain setting counts.
    member("detected_speech", speech_level_reached(r.processed_diagnostics.rms) ? "true" : "false");
    doc += "  \"diagnostics\": {\n";
    nested("format", "\"PCM S" + std::to_string(r.raw.bits_per_sample) + "_LE\"");
    nested("beamformed_rms", vector_json(r.beam_diagnostics.rms));
    nested("beamformed_peak", vector_json(r.beam_diagnostics.peak));
    nested("direction_peak_correlation", format_fixed(d.peak_correlation, 5));
    nested("direction_second_correlation", format_fixed(d.second_correlation, 5));
    nested("direction_lag_consistency", format_fixed(d.lag_consistency, 5));
    if (d.geometric) nested("direction_delay_samples", format_fixed(d.delay_samples, 5));
    if (o.beam_angle_degrees) nested("beam_fixed_angle_degrees", format_fixed(*o.beam_angle_degrees, 2));
    if (!o.denoise.empty()) nested("beam_denoise", quoted(o.denoise));
    if (o.agc) nested("beam_agc", "true");
    nested("beamforming_lags", int_vector_json(r.beam.lags));
    nested("beamforming_method", quoted(r.beam.method), true);
    doc += "  },\n";
    doc += "  \"warnings\": " + warnings + "\n";
    doc += "}\n";
    return doc;
}

}  // namespace

std::string json_escape(const std::string &text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                // JSON forbids raw control characters inside strings; bytes from 0x80 pass as they are.
                if (byte < 0x20) {
                    out += "\\u00";
                    out += hex[byte >> 4];
                    out += hex[byte & 0x0F];
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::string vector_json(const std::vector<double> &values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + format_fixed(values[i], 8);
    return out + "]";
}

std::string int_vector_json(const std::vector<int> &values) {
    std::string out = "[";
    for (std::size_t i = 0; i < values.size(); ++i) out += (i ? ", " : "") + std::to_string(values[i]);
    return out + "]";
}

void write_event_json(const std::string &path, const EventReport &report) {
    const std::string document = event_document(report);
    // A manifest that is only partly on disk is a failure, not a clean exit.
    const bool whole = write_file_whole(path, [&](std::FILE *file) {
        return std::fwrite(document.data(), 1, document.size(), file) == document.size();
    });
    if (!whole) throw std::runtime_error("failed to write event JSON: " + path);
}

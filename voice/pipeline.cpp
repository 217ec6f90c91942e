#include "pipeline.h"

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "beam_processing.h"
#include "beamform.h"
#include "diagnostics.h"
#include "direction.h"
#include "direction_lines.h"
#include "event_json.h"
#include "gain.h"
#include "names.h"
#include "recorder.h"
#include "stop_signals.h"
#include "wav.h"

namespace {

std::string capture_command(const Options &options) {
    return arecord_capture_prefix(options.device) + " -d " + std::to_string(options.duration_seconds) + " -t wav " +
           shell_quote(options.output_path);
}

// Grace for an arecord that was asked to stop too (Ctrl-C reaches the terminal's whole process
// group) to finish its WAV header before SIGTERM.
constexpr auto kCaptureStopGrace = std::chrono::milliseconds(100);

// Runs the capture command to its end like system(), but a SIGINT or SIGTERM meanwhile stops and
// reaps arecord, names the signal and ends the program by it: the clip is incomplete and nothing
// has been analysed or written, so the run must not look like a finished one.
int run_capture(const std::string &command, Logger &logger) {
    catch_stop_signals();
    RecorderProcess recorder;
    int status = -1;
    if (start_recorder(command, /*piped=*/false, recorder) && !wait_for_recorder(recorder, status)) {
        stop_recorder(recorder, kCaptureStopGrace);
        logger.line("capture stopped by signal: " + signal_name(stop_signal()));
        logger.flush();
        end_by_signal(stop_signal());
    }
    release_stop_signals();
    return status;
}

// A SIGINT or SIGTERM during the analysis takes effect before the next file is written: those
// written so far are whole (whole_file.h), the rest are not started, and the program ends by that
// signal. While the WAV is read (from a terminal, perhaps) the signals keep their usual effect.
void end_if_asked_to_stop(Logger &logger) {
    const int signal = stop_signal();
    if (signal != 0) {
        logger.line("analysis stopped by signal: " + signal_name(signal));
        logger.flush();
        end_by_signal(signal);
    }
}

double duration_of(const WavData &audio) {
    if (audio.samples.empty() || audio.sample_rate <= 0) {
        return 0.0;
    }
    return static_cast<double>(audio.samples[0].size()) / static_cast<double>(audio.sample_rate);
}

void append(std::vector<std::string> &warnings, const std::vector<std::string> &more) {
    warnings.insert(warnings.end(), more.begin(), more.end());
}

void log_audio_report(Logger &logger, const Options &options, const WavData &raw, double duration) {
    logger.line("sample_rate: " + std::to_string(raw.sample_rate));
    logger.line("channels: " + std::to_string(raw.channels));
    logger.line("duration_seconds: " + format_fixed(duration));
    logger.line("input_gain_db: " + format_fixed(options.input_gain_db));
    logger.line("raw audio is preserved unchanged; gain is applied only to processed analysis/beamforming samples");
}

std::vector<std::string> format_warnings(const WavData &raw) {
    std::vector<std::string> warnings;
    if (raw.sample_rate != kCaptureRate) {
        warnings.push_back("sample rate differs from expected 16000 Hz");
    }
    if (raw.channels != kCaptureChannels) {
        warnings.push_back("channel count differs from expected Kinect v2 4-channel capture");
    }
    return warnings;
}

void log_results(Logger &logger, const DirectionEstimate &direction, const BeamformResult &beam,
                 const BeamProcessing &processing) {
    logger.line("direction_angle_degrees: " + format_fixed(direction.angle_degrees));
    logger.line("direction_confidence: " + format_fixed(direction.confidence));
    logger.line("direction_method: " + direction.method);
    logger.line("direction_samples_source: " + direction.samples_source);
    logger.line(std::string("direction_low_confidence: ") + (direction.low_confidence ? "true" : "false"));
    logger.line("direction_lag_samples_ch0_to_ch3: " + std::to_string(direction.lag_samples));
    if (direction.geometric) {
        logger.line("direction_delay_samples_ch0_to_ch3: " + format_fixed(direction.delay_samples));
    }
    logger.line("direction_peak_correlation: " + format_fixed(direction.peak_correlation));
    logger.line("direction_lag_consistency: " + format_fixed(direction.lag_consistency));
    logger.line("beamforming_method: " + beam.method);
    logger.line("beamforming_lags: " + int_vector_json(beam.lags));
    if (processing.fixed_angle_degrees) {
        logger.line("beam_fixed_angle_degrees: " + format_fixed(*processing.fixed_angle_degrees));
    }
}

// A FIFO waits here for its reader; a reader that leaves, or a full disk, costs the lines, not the run.
void write_direction_lines(const std::string &path, const std::string &lines, Logger &logger) {
    logger.flush();
    LineOutput output;
    if (!open_line_output(output, path)) {
        end_if_asked_to_stop(logger);
        throw std::runtime_error("failed to open directions output: " + path);
    }
    const bool written = write_text_waiting(output, lines);
    close_line_output(output);
    end_if_asked_to_stop(logger);
    if (!written) logger.line("warning: " + line_output_failure(output, "directions"));
    logger.line("directions_out: " + path);
}

}  // namespace

int run_batch_pipeline(Options &options, Logger &logger) {
    if (options.skip_capture) {
        if (!options.input_wav.empty()) {
            options.output_path = options.input_wav;
            logger.line("capture skipped; analyzing input WAV: " + options.output_path);
        } else {
            logger.line("capture skipped; analyzing output WAV path: " + options.output_path);
        }
    } else {
        const std::string command = capture_command(options);
        logger.line("capture command: " + command);
        logger.flush();  // our lines first, before arecord's own on the same console
        // The raw wait status, as system() returns it, not decoded: arecord's exit code 1 reads 256.
        const int status = run_capture(command, logger);
        if (status != 0) {
            logger.line("error: arecord capture failed with status " + std::to_string(status));
            return kCaptureFailedStatus;
        }
    }

    // Once its levels are taken, the raw record becomes the processed one: the gain works in
    // place, so the run holds the audio once, not twice. The raw file on disk is never touched.
    WavData processed = read_wav(options.output_path);
    catch_stop_signals();
    const WavData &raw = processed;  // raw until the gain below; its format fields never change
    const double duration = duration_of(raw);
    log_audio_report(logger, options, raw, duration);
    // The fixed angle becomes delays through the four microphones' positions: another recording would
    // get the fallback's beam under the angle's name.
    if (options.beam_angle_degrees && raw.channels != kCaptureChannels) {
        throw std::runtime_error("--beam-angle needs a 4-channel recording, not a " + std::to_string(raw.channels) +
                                 "-channel one: " + options.output_path);
    }

    std::vector<std::string> warnings = format_warnings(raw);
    const ChannelDiagnostics raw_diagnostics = diagnose_channels(raw, "raw channel");
    append(warnings, raw_diagnostics.warnings);

    std::vector<std::string> gain_warnings;
    const bool gain_changed_samples = apply_input_gain_in_place(processed, options.input_gain_db, gain_warnings);
    append(warnings, gain_warnings);

    // Unchanged samples have the raw levels: measured once.
    const ChannelDiagnostics processed_diagnostics = gain_changed_samples
                                                         ? diagnose_channels(processed, "processed channel")
                                                         : relabel_diagnostics(raw_diagnostics, "processed channel");
    append(warnings, processed_diagnostics.warnings);

    const DirectionEstimate direction = estimate_direction(processed, "processed", options.mic_positions);
    if (direction.low_confidence) {
        warnings.push_back("direction confidence is low; angle should be treated as a weak hint only");
    }

    const std::string direction_lines =
        options.directions_out.empty() ? std::string() : recording_direction_lines(processed, options);

    // The processed channels are not needed past this point: channel 0's storage takes the beam.
    BeamProcessing processing = start_beam_processing(options, 0);
    BeamformResult beam = beamform_in_place(processed, beam_steering(direction, processing), options.mic_positions);
    process_whole_beam(beam, raw.sample_rate, processing);
    end_if_asked_to_stop(logger);
    write_beamformed_wav(options.beamformed_path, raw.sample_rate, beam.samples);

    // The manifest needs the beam's lags and method only, so its samples move into the record.
    WavData beam_audio;
    beam_audio.sample_rate = raw.sample_rate;
    beam_audio.channels = 1;
    beam_audio.bits_per_sample = 16;
    beam_audio.samples.push_back(std::move(beam.samples));
    const ChannelDiagnostics beam_diagnostics = diagnose_channels(beam_audio, "beamformed channel");
    append(warnings, beam_diagnostics.warnings);

    log_diagnostics(logger, "raw 4-channel levels (unmodified capture)", raw_diagnostics);
    log_diagnostics(logger, "processed 4-channel levels (after input gain)", processed_diagnostics);
    log_diagnostics(logger, "beamformed mono levels (from processed audio)", beam_diagnostics);
    log_results(logger, direction, beam, processing);
    for (const std::string &warning : warnings) {
        logger.line("warning: " + warning);
    }

    // Throws when the manifest cannot be completely written: that run is an error, not a clean exit.
    const EventReport report{options,          raw,       duration, raw_diagnostics, processed_diagnostics,
                             beam_diagnostics, direction, beam,     warnings};
    end_if_asked_to_stop(logger);
    write_event_json(options.event_path, report);
    logger.line("raw_wav: " + options.output_path);
    logger.line("beamformed_wav: " + options.beamformed_path);
    logger.line("event_json: " + options.event_path);
    if (!options.directions_out.empty()) write_direction_lines(options.directions_out, direction_lines, logger);
    logger.line("clean exit");
    return 0;
}

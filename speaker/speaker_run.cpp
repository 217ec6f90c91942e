#include "speaker_run.h"

#include <sys/stat.h>

#include <deque>
#include <functional>
#include <iostream>

#include "calibration.h"
#include "input_streams.h"
#include "line_output.h"
#include "names.h"
#include "output.h"
#include "stop_signals.h"
#include "time_join.h"

namespace {

// Both inputs and what has been read of them but not yet used.
struct Session {
    InputStream faces, voice;
    FaceTimeline timeline;
    std::deque<VoiceChunk> pending;  // read, waiting for the frames that may be nearer
    BadLines bad_faces{"faces"}, bad_voice{"voice"};
    long long face_frames = 0;
};

using ChunkHandler = std::function<void(const VoiceChunk &, const FaceFrame *)>;

bool open_inputs(const SpeakerOptions &options, Session &session) {
    for (auto [stream, option, path] : {std::make_tuple(&session.faces, "--faces", &options.faces),
                                        std::make_tuple(&session.voice, "--voice", &options.voice)}) {
        if (const std::string why = open_input(*path, options.follow, *stream); !why.empty()) {
            std::cout << "error: cannot read " << option << " " << *path << ": " << why << std::endl;
            return false;
        }
    }
    return true;
}

void read_faces(Session &session) {
    std::vector<InputLine> lines;
    read_available(session.faces, lines);
    for (const InputLine &line : lines) {
        FaceFrame frame;
        const std::string why = line.whole ? read_face_line(line.text, frame) : "cut off";
        if (!why.empty()) {
            note_bad_line(session.bad_faces, line.number, why, std::cerr);
            continue;
        }
        ++session.face_frames;
        session.timeline.frames.push_back(std::move(frame));
    }
    if (session.faces.ended) session.timeline.ended = true;
}

void read_voice(Session &session) {
    std::vector<InputLine> lines;
    read_available(session.voice, lines);
    for (const InputLine &line : lines) {
        VoiceChunk chunk;
        const std::string why = line.whole ? read_voice_line(line.text, chunk) : "cut off";
        if (!why.empty()) note_bad_line(session.bad_voice, line.number, why, std::cerr);
        else session.pending.push_back(chunk);
    }
}

void hand_over_ready_chunks(Session &session, const ChunkHandler &handle) {
    while (!session.pending.empty() && join_ready(session.timeline, session.pending.front().time)) {
        const VoiceChunk chunk = session.pending.front();
        session.pending.pop_front();
        forget_frames_before(session.timeline, chunk.time);
        handle(chunk, nearest_frame(session.timeline, chunk.time));
    }
}

// Reads both streams until the voice ends and its last chunk is handled, or a stop signal; then every chunk still
// waiting is handled with the frames read so far.
void join_streams(Session &session, const ChunkHandler &handle) {
    for (;;) {
        read_faces(session);
        read_voice(session);
        if (stop_signal() != 0) break;
        hand_over_ready_chunks(session, handle);
        if (session.voice.ended && session.pending.empty()) break;
        wait_for_input({&session.faces, &session.voice});
    }
    session.timeline.ended = true;
    hand_over_ready_chunks(session, handle);
    close_input(session.faces);
    close_input(session.voice);
}

bool same_file(const std::string &a, const std::string &b) {
    struct stat first {}, second {};
    return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

void log_stop(int status_signal) {
    if (status_signal != 0) std::cout << "stop requested by signal " << stop_signal_name(status_signal) << std::endl;
}

}  // namespace

int run_speaker(const SpeakerOptions &options) {
    Session session;
    if (!open_inputs(options, session)) return kInputUnreadableStatus;
    LineOutput out;
    if (!options.out.empty()) {
        std::string why;
        if (same_file(options.out, options.faces) || same_file(options.out, options.voice))
            why = "it is one of the inputs, which are never written";
        else
            why = open_line_output(options.out, out);
        if (!why.empty()) {
            std::cerr << "--out cannot be written: " << options.out << ": " << why << "\n";
            print_speaker_usage("lumivar_speaker");
            close_input(session.faces);
            close_input(session.voice);
            return kRejectedCommandLineStatus;
        }
    }

    const ArrayGeometry geometry{options.sign, options.offset_m};
    MatchState state;
    SpeakerTally tally;
    join_streams(session, [&](const VoiceChunk &chunk, const FaceFrame *picture) {
        std::vector<ArrayFace> faces;
        if (picture) faces = array_faces(*picture, geometry);
        const ChunkMatch match = match_chunk(state, chunk, picture ? &faces : nullptr);
        if (match.changed) std::cout << change_line(state.current) << std::endl;
        if (!options.out.empty()) write_line(out, chunk_line(chunk, picture, match));
        count_chunk(tally, chunk, picture != nullptr, match);
    });
    close_line_output(out);
    log_stop(stop_signal());
    tally.face_frames = session.face_frames;
    tally.bad_face_lines = session.bad_faces.count;
    tally.bad_voice_lines = session.bad_voice.count;
    tally.out_dropped = out.dropped;
    std::cout << summary_line(tally) << "\n" << speech_seconds_line(tally) << std::endl;
    return 0;
}

int run_calibration(const SpeakerOptions &options) {
    Session session;
    if (!open_inputs(options, session)) return kInputUnreadableStatus;
    std::vector<CalibrationSample> samples;
    long long voice_chunks = 0, speech_chunks = 0, crowded_chunks = 0, first_crowded_frame = 0;
    join_streams(session, [&](const VoiceChunk &chunk, const FaceFrame *picture) {
        ++voice_chunks;
        if (chunk.speech) ++speech_chunks;
        if (!chunk.speech || !chunk.has_angle || chunk.low_confidence || !picture || picture->faces.empty()) return;
        if (picture->faces.size() > 1) {
            if (crowded_chunks++ == 0) first_crowded_frame = picture->frame;
            return;
        }
        const SeenFace &face = picture->faces.front();
        samples.push_back(CalibrationSample{chunk.time, chunk.angle_degrees, face.bearing_degrees, face.distance_m});
    });
    log_stop(stop_signal());
    const std::vector<Place> places = find_places(samples);
    std::cout << "calibration: voice_chunks=" << voice_chunks << ", speech_chunks=" << speech_chunks
              << ", face_frames=" << session.face_frames << ", one_face_chunks=" << samples.size()
              << ", two_face_chunks=" << crowded_chunks << ", places=" << places.size()
              << ", bad_face_lines=" << session.bad_faces.count << ", bad_voice_lines=" << session.bad_voice.count
              << std::endl;
    for (size_t i = 0; i < places.size(); ++i) {
        const Place &place = places[i];
        std::cout << "place: " << i + 1 << ", chunks=" << place.chunks
                  << ", face_bearing_degrees=" << fixed(place.bearing_degrees, 2)
                  << ", distance_m=" << fixed(place.distance_m, 3)
                  << ", voice_angle_degrees=" << fixed(place.voice_angle_degrees, 2) << std::endl;
    }
    // One chunk in ten with another face in view: the walk was not made alone.
    if (crowded_chunks * 10 > crowded_chunks + static_cast<long long>(samples.size())) {
        std::cout << "error: two faces at once in " << crowded_chunks << " of "
                  << crowded_chunks + static_cast<long long>(samples.size())
                  << " chunks of speech (the first in frame " << first_crowded_frame
                  << "): calibrate with one person alone in the picture" << std::endl;
        return kTwoFacesStatus;
    }
    if (static_cast<int>(places.size()) < kMinPlaces) {
        std::cout << "error: speech matched to the face at " << places.size() << " place(s); " << kMinPlaces
                  << " or more are needed, each with " << kPlaceMinChunks
                  << " or more chunks of confident speech: talk from places at least " << kPlaceBearingDegrees
                  << " degrees apart in the picture" << std::endl;
        return kTooFewPlacesStatus;
    }
    const GeometryFit fit = fit_geometry(places);
    std::cout << "fit: sign=" << fit.geometry.sign << ", offset_m=" << fixed(fit.geometry.offset_m, 3)
              << ", residual_degrees=" << fixed(fit.residual_degrees, 2) << ", explained=" << fixed(fit.explained, 3)
              << std::endl;
    if (fit.explained < kMinExplained) {
        std::cout << "error: the fit explains nothing: explained=" << fixed(fit.explained, 3) << ", "
                  << fixed(kMinExplained, 1)
                  << " or more needed (was the person the only one talking, and are the places far enough apart?)"
                  << std::endl;
        return kFitExplainsNothingStatus;
    }
    std::cout << "use: lumivar_speaker --sign " << fit.geometry.sign << " --offset "
              << fixed(fit.geometry.offset_m, 3) << std::endl;
    return 0;
}

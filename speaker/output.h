#pragma once
// What lumivar_speaker writes: a JSON line per voice chunk (--out), a line on standard output each time the
// speaker changes, and the summary at the end.
#include <string>
#include <utility>
#include <vector>

#include "lines.h"
#include "matching.h"

// {"time", "chunk", "speech", "voice_angle_degrees", "speaker" (label, "unseen" or null), "frame" (the picture's,
// or null), "face_box" {x, y, width, height}, "face_angle_degrees", "difference_degrees"}; the last three null
// unless the speaker's face is in the picture.
// `value` with `decimals` digits after the point, as every printed figure is written.
std::string fixed(double value, int decimals);

std::string chunk_line(const VoiceChunk &chunk, const FaceFrame *picture, const ChunkMatch &match);

// "speaker: LABEL at X degrees", "speaker: unseen at X degrees" or "speaker: none".
std::string change_line(const Speaker &speaker);

// The run's counts for the summary.
struct SpeakerTally {
    long long voice_chunks = 0, speech_chunks = 0, face_frames = 0, chunks_without_picture = 0;
    long long speaker_changes = 0, bad_face_lines = 0, bad_voice_lines = 0, out_dropped = 0;
    // Speech chunks per speaker: labels in the order first given, then unseen, then nobody.
    std::vector<std::pair<std::string, long long>> speech_by_speaker;
    std::vector<double> chunk_steps;  // seconds between consecutive chunks
    bool any_chunk = false;
    double last_chunk_time = 0.0;
};

void count_chunk(SpeakerTally &tally, const VoiceChunk &chunk, bool has_picture, const ChunkMatch &match);

// "summary: voice_chunks=N, speech_chunks=N, face_frames=N, chunks_without_picture=N, speaker_changes=N,
// bad_face_lines=N, bad_voice_lines=N, out_dropped=N"
std::string summary_line(const SpeakerTally &tally);

// "speech_seconds: LABEL=S, ..., unseen=S, nobody=S": speech chunks times the chunks' usual length (the median step
// between consecutive chunks), two decimals.
std::string speech_seconds_line(const SpeakerTally &tally);

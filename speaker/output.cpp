#include "output.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "names.h"

namespace {

using nlohmann::ordered_json;

// Divided by a whole number of units: 0.01 has no exact double, so -706 * 0.01 would print as -7.0600000000000005.
double rounded(double value, double per_unit) { return std::round(value * per_unit) / per_unit; }

// The name speech is counted under.
std::string speaker_name(const ChunkMatch &match) {
    if (!match.attributed) return kNobody;
    if (match.speaker.kind == SpeakerKind::unseen) return kUnseenSpeaker;
    return match.speaker.label;
}

double chunk_seconds(std::vector<double> steps) {
    if (steps.empty()) return 0.0;
    std::sort(steps.begin(), steps.end());
    return steps[steps.size() / 2];
}

}  // namespace

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string chunk_line(const VoiceChunk &chunk, const FaceFrame *picture, const ChunkMatch &match) {
    ordered_json line;
    line["time"] = rounded(chunk.time, 1e3);
    line["chunk"] = chunk.chunk;
    line["speech"] = chunk.speech;
    line["voice_angle_degrees"] = chunk.has_angle ? ordered_json(rounded(chunk.angle_degrees, 1e2)) : nullptr;
    if (!match.attributed) line["speaker"] = nullptr;
    else line["speaker"] = speaker_name(match);
    line["frame"] = picture ? ordered_json(picture->frame) : nullptr;
    if (match.has_face) {
        const SeenFace &face = match.face.face;
        line["face_box"] = {{"x", face.x}, {"y", face.y}, {"width", face.width}, {"height", face.height}};
        line["face_angle_degrees"] = rounded(match.face.angle_degrees, 1e2);
        line["difference_degrees"] = rounded(match.difference_degrees, 1e2);
    } else {
        line["face_box"] = nullptr;
        line["face_angle_degrees"] = nullptr;
        line["difference_degrees"] = nullptr;
    }
    return line.dump();
}

std::string change_line(const Speaker &speaker) {
    switch (speaker.kind) {
    case SpeakerKind::nobody:
        return "speaker: none";
    case SpeakerKind::unseen:
        return std::string("speaker: ") + kUnseenSpeaker + " at " + fixed(speaker.angle_degrees, 1) + " degrees";
    case SpeakerKind::face:
        break;
    }
    return "speaker: " + speaker.label + " at " + fixed(speaker.angle_degrees, 1) + " degrees";
}

void count_chunk(SpeakerTally &tally, const VoiceChunk &chunk, bool has_picture, const ChunkMatch &match) {
    ++tally.voice_chunks;
    if (tally.any_chunk && chunk.time > tally.last_chunk_time) tally.chunk_steps.push_back(chunk.time - tally.last_chunk_time);
    tally.any_chunk = true;
    tally.last_chunk_time = chunk.time;
    if (!has_picture) ++tally.chunks_without_picture;
    if (match.changed) ++tally.speaker_changes;
    if (!chunk.speech) return;
    ++tally.speech_chunks;
    const std::string name = speaker_name(match);
    auto entry = std::find_if(tally.speech_by_speaker.begin(), tally.speech_by_speaker.end(),
                              [&](const auto &pair) { return pair.first == name; });
    if (entry == tally.speech_by_speaker.end()) {
        tally.speech_by_speaker.emplace_back(name, 0);
        entry = tally.speech_by_speaker.end() - 1;
    }
    ++entry->second;
}

std::string summary_line(const SpeakerTally &tally) {
    return "summary: voice_chunks=" + std::to_string(tally.voice_chunks) +
           ", speech_chunks=" + std::to_string(tally.speech_chunks) +
           ", face_frames=" + std::to_string(tally.face_frames) +
           ", chunks_without_picture=" + std::to_string(tally.chunks_without_picture) +
           ", speaker_changes=" + std::to_string(tally.speaker_changes) +
           ", bad_face_lines=" + std::to_string(tally.bad_face_lines) +
           ", bad_voice_lines=" + std::to_string(tally.bad_voice_lines) +
           ", out_dropped=" + std::to_string(tally.out_dropped);
}

std::string speech_seconds_line(const SpeakerTally &tally) {
    const double seconds = chunk_seconds(tally.chunk_steps);
    auto count_of = [&](const std::string &name) -> long long {
        for (const auto &[speaker, chunks] : tally.speech_by_speaker)
            if (speaker == name) return chunks;
        return 0;
    };
    std::string line = "speech_seconds: ";
    for (const auto &[speaker, chunks] : tally.speech_by_speaker) {
        if (speaker == kUnseenSpeaker || speaker == kNobody) continue;
        line += speaker + "=" + fixed(chunks * seconds, 2) + ", ";
    }
    line += std::string(kUnseenSpeaker) + "=" + fixed(count_of(kUnseenSpeaker) * seconds, 2) + ", ";
    line += std::string(kNobody) + "=" + fixed(count_of(kNobody) * seconds, 2);
    return line;
}

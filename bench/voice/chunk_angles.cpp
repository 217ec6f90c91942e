// Live mode's direction chunk by chunk on a recording, with and without the half second of
// history (run by bench/voice/direction_accuracy.py --live): one line per chunk,
//   CHUNK ANGLE_ALONE LOW_ALONE ANGLE_WITH_HISTORY LOW_WITH_HISTORY CONFIDENCE_WITH_HISTORY SPEECH
// where each chunk goes through the live chain's own step (process_live_chunk), the last two as
// --directions-out gives them (run by bench/voice/live_confidence.py).
//
//   voice_chunk_angles RECORDING.wav CHUNK_FRAMES X0,X1,X2,X3
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

#include "direction_history.h"
#include "live.h"
#include "speech_detection.h"
#include "wav.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s RECORDING.wav CHUNK_FRAMES X0,X1,X2,X3\n", argv[0]);
        return 2;
    }
    try {
        const WavData audio = read_wav(argv[1]);
        const std::size_t chunk_frames = std::stoul(argv[2]);
        std::vector<double> mics;
        std::stringstream list(argv[3]);
        for (std::string x; std::getline(list, x, ',');) mics.push_back(std::stod(x));
        DirectionHistory history = direction_history(chunk_frames, audio.sample_rate);
        SpeechDetection speech = start_speech_detection(chunk_frames, audio.sample_rate);
        const std::size_t frames = audio.samples.at(0).size();
        for (std::size_t start = 0, i = 1; chunk_frames > 0 && start + chunk_frames <= frames; start += chunk_frames, ++i) {
            WavData chunk = audio;
            for (std::vector<double> &channel : chunk.samples) {
                channel.assign(channel.begin() + static_cast<std::ptrdiff_t>(start),
                               channel.begin() + static_cast<std::ptrdiff_t>(start + chunk_frames));
            }
            const LiveChunkResult alone = process_live_chunk(chunk, 0.0, mics);
            const LiveChunkResult remembered = process_live_chunk(chunk, 0.0, mics, &history, nullptr, &speech);
            std::printf("%zu %.6f %d %.6f %d %.6f %d\n", i, alone.direction.angle_degrees,
                        alone.direction.low_confidence ? 1 : 0, remembered.direction.angle_degrees,
                        remembered.direction.low_confidence ? 1 : 0, remembered.direction.confidence,
                        remembered.speech ? 1 : 0);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}

// lumivar_speaker as a user runs it: two people in view taking turns, a sound from outside the picture, pauses,
// lines it cannot use; FIFOs whose writers come and go; a stop signal; inputs and outputs it refuses.
#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "number_text.h"
#include "speaker_lines.h"

namespace {

using namespace speaker_test;

constexpr double kStart = 1700000000.0;
constexpr double kChunk = 0.064;

// A scene in two files: faces at 3.5 frames a second (Veyra at -20 degrees, a stranger at +25), and chunks of
// voice: a pause, Veyra, a pause, the stranger, a pause, a sound from -55 degrees where no one is.
struct Scene {
    std::string faces, voice;
    int chunks = 0;
    std::vector<int> turn_chunks{0, 0, 0};  // speech chunks of each turn
};

Scene make_scene(double seconds = 8.5) {
    Scene scene;
    const std::vector<Face> people{{"ConfirmedVeyra", -20.0, 1.5, 620}, {"Unknown", 25.0, 2.0, 1300}};
    for (int frame = 0; frame * 0.285 < seconds + 0.5; ++frame)
        scene.faces += face_line(kStart + frame * 0.285, frame + 1, people);
    for (int i = 0; i * kChunk < seconds; ++i) {
        const double t = i * kChunk;
        int turn = -1;
        double angle = 3.0;
        if (t >= 1.0 && t < 3.0) turn = 0, angle = -19.0;
        else if (t >= 4.0 && t < 6.0) turn = 1, angle = 24.0;
        else if (t >= 7.0) turn = 2, angle = -55.0;
        if (turn >= 0) ++scene.turn_chunks[turn];
        scene.voice += voice_line(kStart + t, i + 1, turn >= 0, angle, turn >= 0 ? 0.8 : 0.2);
        ++scene.chunks;
    }
    return scene;
}

TEST(SpeakerProgram, TurnsPausesAndAnUnseenSoundWithBadAndCutLinesCountedOnce) {
    ScratchDir dir;
    const Scene scene = make_scene();
    // Bad lines: not JSON, a line of 2.5 MiB and a face without its bearing; chunks without "speech" or "chunk"
    // and a last chunk cut off.
    std::string faces = scene.faces;
    faces.insert(faces.find('\n', 2000) + 1, "not json at all\n" + std::string(5 << 19, 'x') + "\n");
    faces += "{\"time\":1700000099.0,\"frame\":99,\"faces\":[{\"x\":1,\"y\":1,\"width\":9,\"height\":9,"
             "\"label\":\"Unknown\",\"distance_m\":1.0}]}\n";
    const std::string voice = scene.voice + "{\"time\":1700000010.0,\"chunk\":999,\"angle_degrees\":0,"
                                            "\"confidence\":1,\"low_confidence\":false}\n{\"time\":1700000010.05,"
                                            "\"angle_degrees\":0,\"confidence\":1,\"low_confidence\":false,"
                                            "\"speech\":true,\"rms\":0.1}\n{\"time\":1700000010.1,\"ch";
    write_file(dir / "faces.jsonl", faces);
    write_file(dir / "voice.jsonl", voice);
    const SpeakerRun run = run_speaker({"--faces", dir.file("faces.jsonl"), "--voice", dir.file("voice.jsonl"), "--out",
                                 dir.file("out.jsonl")},
                                dir);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::vector<std::string> lines = split_lines(run.out);
    ASSERT_EQ(lines.size(), 7u) << run.out;
    EXPECT_EQ(lines[0], "speaker: ConfirmedVeyra at -20.0 degrees");
    EXPECT_EQ(lines[1], "speaker: none");
    EXPECT_EQ(lines[2], "speaker: Unknown at 25.0 degrees");
    EXPECT_EQ(lines[3], "speaker: none");
    EXPECT_EQ(lines[4], "speaker: unseen at -55.0 degrees");
    const int speech = scene.turn_chunks[0] + scene.turn_chunks[1] + scene.turn_chunks[2];
    EXPECT_EQ(lines[5], "summary: voice_chunks=" + std::to_string(scene.chunks) +
                            ", speech_chunks=" + std::to_string(speech) + ", face_frames=" +
                            std::to_string(std::count(scene.faces.begin(), scene.faces.end(), '\n')) +
                            ", chunks_without_picture=0, speaker_changes=5, bad_face_lines=3, bad_voice_lines=3, "
                            "out_dropped=0");
    // Each turn's first chunk waits for the second, so it is nobody's; the seconds are chunks of 0.064 s.
    auto seconds = [](int chunks) { return fixed(chunks * kChunk, 2); };
    EXPECT_EQ(lines[6], "speech_seconds: ConfirmedVeyra=" + seconds(scene.turn_chunks[0] - 1) +
                            ", Unknown=" + seconds(scene.turn_chunks[1] - 1) +
                            ", unseen=" + seconds(scene.turn_chunks[2] - 1) + ", nobody=" + seconds(3));
    // Reported once per stream, on standard error.
    EXPECT_EQ(split_lines(run.err).size(), 2u) << run.err;
    EXPECT_NE(run.err.find("warning: faces line "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(": not JSON; skipped"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(": no speech; skipped"), std::string::npos) << run.err;

    // One JSON line per chunk: Veyra's with her box, angle and the difference; pauses with no speaker.
    const std::vector<std::string> out = split_lines(read_file(dir / "out.jsonl"));
    ASSERT_EQ(static_cast<int>(out.size()), scene.chunks);
    // Times to the millisecond, angles to the hundredth, and printed so.
    for (const std::string &line : out) EXPECT_FALSE(test_text::has_long_fraction(line)) << line;
    const nlohmann::json veyra = nlohmann::json::parse(out[static_cast<size_t>(2.0 / kChunk)]);
    EXPECT_EQ(veyra["speaker"], "ConfirmedVeyra");
    EXPECT_EQ(veyra["speech"], true);
    EXPECT_EQ(veyra["voice_angle_degrees"], -19.0);
    EXPECT_EQ(veyra["face_box"]["x"], 620);
    EXPECT_EQ(veyra["face_box"]["width"], 100);
    EXPECT_EQ(veyra["face_angle_degrees"], -20.0);
    EXPECT_EQ(veyra["difference_degrees"], 1.0);
    EXPECT_EQ(veyra["frame"], 8);  // the chunk at 1.984 s: frame 8 is at 1.995 s, frame 7 at 1.71 s
    const nlohmann::json pause = nlohmann::json::parse(out[static_cast<size_t>(3.5 / kChunk)]);
    EXPECT_TRUE(pause["speaker"].is_null());
    EXPECT_TRUE(pause["face_box"].is_null());
    EXPECT_EQ(pause["chunk"], static_cast<int>(3.5 / kChunk) + 1);
    const nlohmann::json unseen = nlohmann::json::parse(out.back());
    EXPECT_EQ(unseen["speaker"], "unseen");
    EXPECT_TRUE(unseen["difference_degrees"].is_null());
}

// The write end of a FIFO, once the program has opened it for reading; -1 after `seconds`.
int open_writer(const std::string &fifo, double seconds) {
    int fd = -1;
    wait_until([&] { return (fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }, seconds);
    if (fd >= 0) ::fcntl(fd, F_SETFL, 0);
    return fd;
}

bool write_all(int fd, const std::string &text) { return ::write(fd, text.data(), text.size()) == ssize_t(text.size()); }

// The first `count` lines of `text`.
std::string first_lines(const std::string &text, int count) {
    size_t end = 0;
    for (int i = 0; i < count && end != std::string::npos; ++i) end = text.find('\n', end) + 1;
    return text.substr(0, end);
}

TEST(SpeakerProgram, FifoLinesAreUsedAsTheyComeAndAStreamEndsAtItsLastWholeLineOrOnSigterm) {
    ScratchDir dir;
    const Scene scene = make_scene();
    const std::string faces_fifo = dir.file("faces.fifo"), voice_fifo = dir.file("voice.fifo");
    ASSERT_EQ(::mkfifo(faces_fifo.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(voice_fifo.c_str(), 0600), 0);
    const pid_t pid = spawn_process({LUMIVAR_SPEAKER_BIN, "--faces", faces_fifo, "--voice", voice_fifo, "--follow"},
                                    {}, dir.file("stdout"), dir.file("stderr"));
    const int faces = open_writer(faces_fifo, 30), voice = open_writer(voice_fifo, 30);
    ASSERT_GE(faces, 0);
    ASSERT_GE(voice, 0);
    // Veyra's turn, while both writers stay: the answer comes before either stream ends.
    ASSERT_TRUE(write_all(faces, first_lines(scene.faces, 14)));        // frames to 3.7 s
    ASSERT_TRUE(write_all(voice, first_lines(scene.voice, 50)));        // chunks to 3.1 s: all of her turn
    EXPECT_TRUE(wait_until([&] { return read_file(dir / "stdout").find("speaker: ConfirmedVeyra") != std::string::npos; },
                           60))
        << read_file(dir / "stdout");
    // The voice writer goes away in the middle of a line: the stream ends at the line before.
    ASSERT_TRUE(write_all(voice, "{\"time\":1700000003.2,\"chunk\":51,\"spe"));
    ::close(voice);
    ::close(faces);
    const int status = exit_code(wait_for_exit(pid, 60));
    const std::string out = read_file(dir / "stdout");
    EXPECT_EQ(status, 0) << out << read_file(dir / "stderr");
    EXPECT_NE(out.find("summary: voice_chunks=50, speech_chunks=" + std::to_string(scene.turn_chunks[0]) +
                       ", face_frames=14, chunks_without_picture=0, speaker_changes=1, bad_face_lines=0, "
                       "bad_voice_lines=1, out_dropped=0\n"),
              std::string::npos)
        << out;
    EXPECT_NE(read_file(dir / "stderr").find("warning: voice line 51: cut off; skipped"), std::string::npos);

    // Regular files followed past their end: only a stop signal ends the run, in order, with the summary.
    write_file(dir / "faces.jsonl", scene.faces);
    write_file(dir / "voice.jsonl", scene.voice);
    const pid_t follower = spawn_process({LUMIVAR_SPEAKER_BIN, "--faces", dir.file("faces.jsonl"), "--voice",
                                          dir.file("voice.jsonl"), "--follow"},
                                         {}, dir.file("stdout2"), dir.file("stderr2"));
    EXPECT_TRUE(wait_until([&] { return read_file(dir / "stdout2").find("speaker: unseen") != std::string::npos; }, 60));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int still = 0;
    EXPECT_EQ(::waitpid(follower, &still, WNOHANG), 0) << "a followed file ended the run";
    ::kill(follower, SIGTERM);
    EXPECT_EQ(exit_code(wait_for_exit(follower, 60)), 0);
    const std::vector<std::string> stopped = split_lines(read_file(dir / "stdout2"));
    ASSERT_EQ(stopped.size(), 8u) << read_file(dir / "stdout2");
    EXPECT_EQ(stopped[5], "stop requested by signal SIGTERM");
    EXPECT_EQ(stopped[6].rfind("summary: voice_chunks=" + std::to_string(scene.chunks) + ", ", 0), 0u) << stopped[6];
    EXPECT_EQ(stopped[7].rfind("speech_seconds: ConfirmedVeyra=", 0), 0u);
}

TEST(SpeakerProgram, RefusesToWriteItsInputsAndSaysWhichInputCannotBeRead) {
    ScratchDir dir;
    const Scene scene = make_scene(2.0);
    write_file(dir / "faces.jsonl", scene.faces);
    write_file(dir / "voice.jsonl", scene.voice);
    const std::string faces = dir.file("faces.jsonl"), voice = dir.file("voice.jsonl");
    ASSERT_EQ(::link(voice.c_str(), dir.file("also_voice.jsonl").c_str()), 0);

    SpeakerRun run = run_speaker({"--faces", faces, "--voice", voice, "--out", dir.file("also_voice.jsonl")}, dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--out cannot be written: " + dir.file("also_voice.jsonl") +
                           ": it is one of the inputs, which are never written"),
              std::string::npos)
        << run.err;
    EXPECT_EQ(read_file(voice), scene.voice);
    EXPECT_NE(run.out.find("Usage: "), std::string::npos);
    run = run_speaker({"--faces", faces, "--voice", voice, "--out", dir.path.string()}, dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("Is a directory"), std::string::npos) << run.err;

    run = run_speaker({"--faces", dir.file("missing.jsonl"), "--voice", voice}, dir);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "error: cannot read --faces " + dir.file("missing.jsonl") + ": No such file or directory\n");
    run = run_speaker({"--faces", faces, "--voice", dir.path.string()}, dir);
    EXPECT_EQ(run.status, 3);
    EXPECT_EQ(run.out, "error: cannot read --voice " + dir.path.string() + ": Is a directory\n");

    for (const std::vector<std::string> &words :
         {std::vector<std::string>{"--faces", faces, "--voice", voice, "--sign", "2"},
          {"--faces", faces, "--voice", voice, "--offset", "0.05m"},
          {"--faces", faces, "--voice", voice, "--offset", "1.5"},
          {"--faces", faces},
          {"--calibrate", "--faces", faces, "--voice", voice, "--sign", "-1"},
          {"--faces", faces, "--voice", voice, "--out"}}) {
        run = run_speaker(words, dir);
        EXPECT_EQ(run.status, 2) << words.back();
        EXPECT_EQ(split_lines(run.err).size(), 1u) << run.err;
    }
    run = run_speaker({"--faces", faces, "--voice", voice, "--loud"}, dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "Unknown argument: --loud\n");
}

}  // namespace

// Training sample discovery: tree walk, order, image reading, stages, the manifest and hostile trees.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <sys/stat.h>
#include <unistd.h>

// GCC 12 warns inside <regex> at -O2; the reference matcher is test-only.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/samples.h"
#include "synthetic_images.h"
#include "face_files.h"

namespace {

namespace fs = std::filesystem;
using face_test::ScratchDir;

std::vector<TrainingSample> load(const fs::path &dir, bool *found = nullptr) {
    std::vector<TrainingSample> samples;
    const bool ok = load_veyra_samples(dir.string(), samples);
    if (found) *found = ok;
    return samples;
}

std::vector<std::string> files_of(const std::vector<TrainingSample> &samples) {
    std::vector<std::string> files;
    for (const TrainingSample &s : samples) files.push_back(s.metadata.file);
    return files;
}

void put_image(const ScratchDir &dir, const std::string &rel, int seed = 1) {
    face_test::write_image(dir / rel, face_test::noise_image(160, 160, seed));
}

// The matcher the manifest scan must agree with, as the pattern reads.
std::string reference_field(const std::string &entry, const std::string &key) {
    const std::regex pattern("\"" + key + "\"\\s*:\\s*\"([^\"]*)\"", std::regex::ECMAScript);
    std::smatch match;
    return std::regex_search(entry, match, pattern) ? match[1].str() : "";
}

TEST(ManifestField, AgreesWithTheRegularExpressionOnATableOfCases) {
    const std::vector<std::string> entries = {
        R"({"file": "a.png"})",
        R"({"file":"a.png"})",
        "{\"file\" \t\n\v\f\r: \r\n \"a b.png\"}",
        R"({"file": ""})",
        R"({"file": 12})",
        R"({"file": null, "file": "second.png"})",
        R"({"File": "upper.png"})",
        R"({"xfile": "x.png", "file": "real.png"})",
        R"({"sample_file": "s.png"})",
        R"({"file": "unterminated)",
        R"({"file" "missing-colon.png"})",
        R"({"file":: "two-colons.png"})",
        R"({"file": "esc\"aped.png"})",
        R"({"stage": "day", "file": "d/a.png", "sample_id": "id-1"})",
        R"({"file"  :  "a.png"  , "file": "b.png"})",
        "{\"file\":\n\"multi\nline\"}",
        R"("file": "no braces")",
        R"({"file": "a", "file": "b)",
        R"({"file""file": "x"})",
        R"({""file": "y"})",
        "{\"file\": \xc2\xa0\"nbsp-is-not-space\"}",
        "",
    };
    for (const std::string &entry : entries) {
        for (const std::string key : {"file", "stage", "sample_id"}) {
            EXPECT_EQ(regex_field(entry, key), reference_field(entry, key)) << "entry: " << entry << " key: " << key;
        }
    }
    // A few of those pinned down, so both matchers cannot be wrong together.
    EXPECT_EQ(regex_field(R"({"file": null, "file": "second.png"})", "file"), "second.png");
    EXPECT_EQ(regex_field(R"({"file": "esc\"aped.png"})", "file"), "esc\\");
    EXPECT_EQ(regex_field(R"({"file": 12})", "file"), "");
    EXPECT_EQ(regex_field(R"({"xfile": "x.png", "file": "real.png"})", "file"), "real.png");
}

TEST(ManifestField, LongValuesAreReadWhole) {
    const std::string value(3 * 1024 * 1024, 'v');
    const std::string entry = "{\"sample_id\": \"" + value + "\", \"file\": \"a.png\"}";
    EXPECT_EQ(regex_field(entry, "sample_id"), value);
    EXPECT_EQ(regex_field(entry, "file"), "a.png");
    // Many near misses before the real value, and a value that never closes.
    std::string near_misses;
    for (int i = 0; i < 100000; ++i) near_misses += "\"file\":    12, ";
    EXPECT_EQ(regex_field(near_misses + "\"file\": \"last.png\"", "file"), "last.png");
    EXPECT_EQ(regex_field("\"file\": \"" + value, "file"), "");
}

TEST(SampleDiscovery, FlatAndStagedImagesGetStageFileAndStem) {
    ScratchDir dir;
    put_image(dir, "a.png", 1);
    face_test::write_image(dir / "day/b.jpg", face_test::noise_image(160, 160, 2));
    bool found = false;
    const auto samples = load(dir.path, &found);
    ASSERT_TRUE(found);
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].metadata.file, "a.png");
    EXPECT_EQ(samples[0].metadata.stage, "flat");
    EXPECT_EQ(samples[0].metadata.sample_id, "a");
    EXPECT_FALSE(samples[0].metadata.from_manifest);
    EXPECT_EQ(samples[1].metadata.file, "day/b.jpg");
    EXPECT_EQ(samples[1].metadata.stage, "day");
    EXPECT_EQ(samples[1].metadata.sample_id, "b");
    EXPECT_FALSE(samples[1].metadata.from_manifest);
    for (const TrainingSample &s : samples) {
        EXPECT_EQ(s.label, 1);
        EXPECT_EQ(s.image.type(), CV_8UC1);
    }
}

TEST(SampleDiscovery, NearestDirectoryNamesTheStageAtAnyDepth) {
    ScratchDir dir;
    put_image(dir, "x/y/c.pgm");
    put_image(dir, "x/top.jpeg");
    const auto samples = load(dir.path);
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].metadata.file, "x/top.jpeg");
    EXPECT_EQ(samples[0].metadata.stage, "x");
    EXPECT_EQ(samples[1].metadata.file, "x/y/c.pgm");
    EXPECT_EQ(samples[1].metadata.stage, "y");
}

TEST(SampleDiscovery, OrderIsElementWiseByteOrderOfPaths) {
    ScratchDir dir;
    for (const std::string rel : {"a.png", "a/z.png", "b.png", "Z.png", "a-b.png", "a/a.png", ".hidden.png"})
        put_image(dir, rel);
    // "a/..." before "a-b.png" and "a.png": the directory element "a" is a leading part of the others.
    EXPECT_EQ(files_of(load(dir.path)),
              (std::vector<std::string>{".hidden.png", "Z.png", "a/a.png", "a/z.png", "a-b.png", "a.png", "b.png"}));
}

TEST(SampleDiscovery, OnlyTheFourLowerCaseExtensionsAreImages) {
    ScratchDir dir;
    put_image(dir, "upper.PNG");
    put_image(dir, ".png");
    face_test::write_file(dir / "notes.txt", "x");
    face_test::write_file(dir / "sub/manifest.json", "{}");
    put_image(dir, "ok.png");
    put_image(dir, "ok.jpg");
    put_image(dir, "ok.jpeg");
    put_image(dir, "ok.pgm");
    EXPECT_EQ(files_of(load(dir.path)), (std::vector<std::string>{"ok.jpeg", "ok.jpg", "ok.pgm", "ok.png"}));
}

TEST(SampleDiscovery, ImagesBecomeGrey160SquareWithAreaInterpolation) {
    ScratchDir dir;
    const cv::Mat colour = face_test::noise_image(320, 240, 5, CV_8UC3);
    face_test::write_image(dir / "wide.png", colour);
    const cv::Mat exact = face_test::noise_image(160, 160, 6);
    face_test::write_image(dir / "exact.png", exact);
    const auto samples = load(dir.path);
    ASSERT_EQ(samples.size(), 2u);

    cv::Mat expected;
    cv::resize(cv::imread((dir / "wide.png").string(), cv::IMREAD_GRAYSCALE), expected, cv::Size(160, 160), 0, 0,
               cv::INTER_AREA);
    const cv::Mat &wide = samples[1].image;
    ASSERT_EQ(wide.size(), cv::Size(160, 160));
    ASSERT_EQ(wide.type(), CV_8UC1);
    EXPECT_EQ(cv::norm(wide, expected, cv::NORM_INF), 0.0);

    ASSERT_EQ(samples[0].image.size(), cv::Size(160, 160));
    EXPECT_EQ(cv::norm(samples[0].image, exact, cv::NORM_INF), 0.0);  // used as read
}

TEST(SampleDiscovery, MissingEmptyOrUnusableDirectoriesFindNothing) {
    ScratchDir dir;
    std::vector<TrainingSample> samples(1);  // a missing directory leaves the list untouched
    EXPECT_FALSE(load_veyra_samples((dir / "missing").string(), samples));
    EXPECT_EQ(samples.size(), 1u);
    EXPECT_FALSE(load_veyra_samples("", samples));

    bool found = true;
    EXPECT_TRUE(load(dir.path, &found).empty());
    EXPECT_FALSE(found);

    face_test::write_file(dir / "plain-file", "not a directory");
    EXPECT_TRUE(load(dir / "plain-file", &found).empty());
    EXPECT_FALSE(found);
}

TEST(SampleDiscovery, UnreadableImagesAreSkippedSilently) {
    ScratchDir dir;
    face_test::write_file(dir / "junk.png", "this is text, not an image");
    face_test::write_file(dir / "empty.jpg", "");
    fs::create_directories(dir / "dir.png");  // a directory named like an image
    ASSERT_EQ(mkfifo((dir / "fifo.png").c_str(), 0644), 0);  // reading it would block the start-up
    put_image(dir, "cut.png", 3);
    const std::string whole = face_test::read_file(dir / "cut.png");
    face_test::write_file(dir / "cut.png", whole.substr(0, 40));  // header only, no pixel data

    bool found = true;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(load(dir.path, &found).empty());
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(found);

    put_image(dir, "zz_good.png");
    EXPECT_EQ(files_of(load(dir.path)), std::vector<std::string>{"zz_good.png"});
}

TEST(SampleDiscovery, FileLinksCountDirectoryLinksAreNotDescended) {
    ScratchDir outside;
    put_image(outside, "elsewhere/linked_dir_image.png");
    put_image(outside, "target.png");

    ScratchDir dir;
    put_image(dir, "day/real.png");
    fs::create_symlink(dir / "day/real.png", dir / "alias.png");
    fs::create_directory_symlink(outside / "elsewhere", dir / "linkdir");
    fs::create_symlink(dir / "nowhere.png", dir / "broken.png");
    fs::create_symlink(dir / "loop.png", dir / "loop.png");

    const auto samples = load(dir.path);
    ASSERT_EQ(samples.size(), 2u);
    // The key is made from canonical paths, so a link is keyed by the file it resolves to;
    // its sample id is the link's own stem.
    EXPECT_EQ(samples[0].metadata.file, "day/real.png");
    EXPECT_EQ(samples[0].metadata.sample_id, "alias");
    EXPECT_EQ(samples[0].metadata.stage, "day");
    EXPECT_EQ(samples[1].metadata.file, "day/real.png");
    EXPECT_EQ(samples[1].metadata.sample_id, "real");
}

TEST(SampleDiscovery, DeepNestingIsWalkedAndImagesBeyondPathLimitsAreSkipped) {
    ScratchDir dir;
    std::string rel;
    for (int i = 0; i < 60; ++i) rel += "level" + std::to_string(i) + "/";
    put_image(dir, rel + "deep.png");
    auto samples = load(dir.path);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].metadata.stage, "level59");
    EXPECT_EQ(samples[0].metadata.file, rel + "deep.png");

    // Deeper than any path the system accepts: built with relative steps, an image at the bottom.
    ScratchDir too_deep;
    put_image(too_deep, "shallow.png");
    const std::string png = face_test::read_file(too_deep / "shallow.png");
    const std::string name(200, 'd');
    int fd = open(too_deep.path.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(mkdirat(fd, name.c_str(), 0755), 0);
        const int next = openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    const int image = openat(fd, "bottom.png", O_WRONLY | O_CREAT, 0644);
    close(fd);
    ASSERT_GE(image, 0);
    ASSERT_EQ(write(image, png.data(), png.size()), static_cast<ssize_t>(png.size()));
    close(image);

    samples = load(too_deep.path);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].metadata.file, "shallow.png");
    // remove_all cannot reach that depth by path either; rm works from the inside.
    ASSERT_EQ(system(("cd '" + too_deep.path.string() + "' && rm -rf " + name).c_str()), 0);
}

// Run as an unprivileged user, since root reads any directory whatever its mode.
TEST(SampleDiscovery, ASubdirectoryThatCannotBeOpenedFailsTheWholeDiscovery) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    ScratchDir dir;
    put_image(dir, "a.png");
    put_image(dir, "locked/b.png");
    face_test::let_others_in(dir.path);
    fs::permissions(dir / "locked", fs::perms::owner_all);
    const std::string path = dir.path.string();
    EXPECT_EXIT(
        {
            if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
            std::vector<TrainingSample> samples;
            const bool found = load_veyra_samples(path, samples);
            _exit(found ? 1 : (samples.empty() ? 3 : 2));
        },
        testing::ExitedWithCode(3), "");
}

TEST(Manifest, SuppliesMetadataAndAMissingStageBecomesUnknown) {
    ScratchDir dir;
    put_image(dir, "a.png");
    put_image(dir, "day/b.jpg");
    face_test::write_file(dir / "manifest.json", R"([{"file": "day/b.jpg", "sample_id": "x7"}])");
    const auto samples = load(dir.path);
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_FALSE(samples[0].metadata.from_manifest);
    EXPECT_EQ(samples[1].metadata.file, "day/b.jpg");
    EXPECT_EQ(samples[1].metadata.stage, "unknown");
    EXPECT_EQ(samples[1].metadata.sample_id, "x7");
    EXPECT_TRUE(samples[1].metadata.from_manifest);
}

TEST(Manifest, KeysMustMatchTheRelativePathExactly) {
    ScratchDir dir;
    put_image(dir, "day/b.jpg");
    put_image(dir, "c.png");
    face_test::write_file(dir / "manifest.json",
                          "{\"file\": \"./day/b.jpg\", \"stage\": \"dot\"}\n"
                          "{\"file\": \"" + (dir / "c.png").string() + "\", \"stage\": \"absolute\"}\n"
                          "{\"file\": \"gone.png\", \"stage\": \"ghost\"}\n");
    const auto samples = load(dir.path);
    ASSERT_EQ(samples.size(), 2u);  // the manifest never adds images
    for (const TrainingSample &s : samples) EXPECT_FALSE(s.metadata.from_manifest) << s.metadata.file;
}

TEST(Manifest, LaterEntryReplacesTheEarlierOneWhole) {
    ScratchDir dir;
    put_image(dir, "a.png");
    face_test::write_file(
        dir / "manifest.json",
        R"({"file": "a.png", "stage": "first", "sample_id": "one"} {"file": "a.png", "stage": "second"})");
    const auto samples = load(dir.path);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_EQ(samples[0].metadata.stage, "second");
    EXPECT_EQ(samples[0].metadata.sample_id, "");
    EXPECT_TRUE(samples[0].metadata.from_manifest);
}

TEST(Manifest, BracesDoNotNestAndAnUnclosedEntryEndsTheScan) {
    ScratchDir dir;
    for (const std::string name : {"a.png", "b.png", "c.png", "d.png", "e.png"}) put_image(dir, name);
    // The outer "{" starts the first entry early; text after an inner "}" belongs to no entry;
    // an entry without a file value is ignored; the last "{" has no "}" and ends the scan.
    face_test::write_file(dir / "manifest.json",
                          "{\"samples\": [\n"
                          "  {\"file\": \"a.png\", \"stage\": \"s1\"},\n"
                          "  {\"file\": \"b.png\", \"extra\": {\"stage\": \"inner\"}, \"sample_id\": \"lost\"},\n"
                          "  {\"stage\": \"no-file\"},\n"
                          "  {\"file\": \"\", \"stage\": \"empty-file\"},\n"
                          "  {\"file\": \"c.png\", \"stage\": \"s3\", \"sample_id\": \"c-id\"}\n"
                          "], \"file\": \"d.png\", \"stage\": \"outside\"}\n"
                          "{\"file\": \"e.png\", \"stage\": \"never closed\"\n");
    const auto samples = load(dir.path);
    ASSERT_EQ(samples.size(), 5u);
    EXPECT_EQ(samples[0].metadata.stage, "s1");
    EXPECT_EQ(samples[1].metadata.stage, "inner");  // the nested "{" is ordinary text of b's entry
    EXPECT_EQ(samples[1].metadata.sample_id, "");
    EXPECT_EQ(samples[2].metadata.stage, "s3");
    EXPECT_EQ(samples[2].metadata.sample_id, "c-id");
    EXPECT_FALSE(samples[3].metadata.from_manifest);  // d.png: after an inner "}", in no entry
    EXPECT_FALSE(samples[4].metadata.from_manifest);  // e.png: its entry never closes
    EXPECT_EQ(samples[4].metadata.stage, "flat");
}

TEST(Manifest, HugeManifestWithLongValuesIsReadCorrectly) {
    ScratchDir dir;
    put_image(dir, "day/a.png", 1);
    put_image(dir, "day/b.png", 2);
    std::string text = "[\n";
    const std::string padding(4000, 'p');
    for (int i = 0; i < 1500; ++i)  // about 6 MB of entries for files that do not exist
        text += "{\"file\": \"missing/" + std::to_string(i) + ".png\", \"note\": \"" + padding + "\"},\n";
    const std::string long_id(200 * 1024, 'i');
    text += "{\"note\": \"" + padding + "\", \"file\": \"day/a.png\", \"stage\": \"S\", \"sample_id\": \"" + long_id +
            "\"},\n";
    text += "{\"file\": \"day/b.png\", \"sample_id\": \"short\"}\n]\n";
    ASSERT_GT(text.size(), 6u * 1000 * 1000);
    face_test::write_file(dir / "manifest.json", text);

    const auto samples = load(dir.path);
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0].metadata.stage, "S");
    EXPECT_EQ(samples[0].metadata.sample_id, long_id);
    EXPECT_EQ(samples[1].metadata.stage, "unknown");
    EXPECT_EQ(samples[1].metadata.sample_id, "short");
}

TEST(Manifest, ValidJsonIsReadAsJsonWithEscapesNestingAnyKeyOrderAndHugeNumbers) {
    ScratchDir dir;
    for (const std::string name : {"day/a.png", "day/b.png", "c.png", "d.png", "e.png"}) put_image(dir, name);
    // Nested values before the stage, an escaped quote and accent, the keys in any order, a number beyond
    // the range of a double, non-string values counted as absent, and a later entry replacing an earlier one.
    face_test::write_file(dir / "manifest.json",
                          R"([{"file":"day/b.png","meta":{"k":"v", "stage": "inner"},"stage":"evening","sample_id":"v-17"},)"
                          R"( {"sample_id": "q\"1", "stage": "caf\u00e9", "file": "day/a.png", "n": 1e400},)"
                          R"( {"file": "c.png", "stage": 7, "sample_id": null}, {"file": "d.png", "stage": "old"},)"
                          R"( {"file": "d.png", "stage": "new"}, "not an entry", {"file": "e\u002epng"}])");
    auto samples = load(dir.path);
    ASSERT_EQ(samples.size(), 5u);
    const auto meta = [&](size_t i) { return samples[i].metadata; };
    EXPECT_EQ(meta(0).file, "c.png");
    EXPECT_EQ(meta(0).stage, "unknown");
    EXPECT_EQ(meta(0).sample_id, "");
    EXPECT_TRUE(meta(0).from_manifest);
    EXPECT_EQ(meta(1).stage, "new");
    EXPECT_EQ(meta(2).file, "day/a.png");
    EXPECT_EQ(meta(2).stage, "caf\xc3\xa9");
    EXPECT_EQ(meta(2).sample_id, "q\"1");
    EXPECT_EQ(meta(3).file, "day/b.png");
    EXPECT_EQ(meta(3).stage, "evening");
    EXPECT_EQ(meta(3).sample_id, "v-17");
    EXPECT_TRUE(meta(4).from_manifest);  // "e\u002epng" is e.png

    // A list wrapped in an object, or one object alone, is read as JSON too.
    face_test::write_file(dir / "manifest.json",
                          R"({"samples": [{"stage": {"x": 1}, "file": "c.png", "sample_id": "w"}], "note": {"file": "d.png"}})");
    samples = load(dir.path);
    EXPECT_EQ(samples[0].metadata.sample_id, "w");
    EXPECT_EQ(samples[0].metadata.stage, "unknown");
    EXPECT_FALSE(samples[1].metadata.from_manifest);  // d.png: named only inside a nested value
    face_test::write_file(dir / "manifest.json", R"({"stage": "solo", "file": "e.png"})");
    samples = load(dir.path);
    EXPECT_EQ(samples[4].metadata.stage, "solo");

    // NUL bytes after the array (a crash, a full disk) make it no JSON: the entries are scanned for by hand, the
    // one after the padding too.
    face_test::write_file(dir / "manifest.json", R"([{"file": "c.png", "stage": "a"}])" + std::string(8, '\0') +
                                                     R"(, {"file": "d.png", "stage": "b"}])");
    samples = load(dir.path);
    EXPECT_EQ(samples[0].metadata.stage, "a");
    EXPECT_EQ(samples[1].metadata.stage, "b") << samples[1].metadata.file << " " << samples.size();
}

TEST(Manifest, AManifestThatIsNotARegularFileIsIgnored) {
    ScratchDir dir;
    put_image(dir, "a.png");
    ASSERT_EQ(mkfifo((dir / "manifest.json").c_str(), 0644), 0);  // would block if opened
    auto samples = load(dir.path);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_FALSE(samples[0].metadata.from_manifest);

    ScratchDir other;
    put_image(other, "a.png");
    fs::create_directories(other / "manifest.json");
    samples = load(other.path);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_FALSE(samples[0].metadata.from_manifest);
}

}  // namespace

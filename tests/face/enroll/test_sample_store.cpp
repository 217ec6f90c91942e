// The sample store as the user's files see it: the manifest keeps every byte it had, a name already taken is
// never replaced (on FAT too, which has no hard links), and runs saving at once keep each other's entries.
#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/mount.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/imgcodecs.hpp>

#include "enroll/sample_store.h"
#include "face_files.h"
#include "face_programs.h"
#include "program_output.h"
#include "test_photos.h"

namespace {

namespace fs = std::filesystem;
using face_test::ScratchDir;

const cv::Mat kSample(160, 160, CV_8UC1, cv::Scalar(90));

// Files whose name starts with a dot: temporary files left behind.
std::vector<std::string> hidden_files(const fs::path &dir) {
    std::vector<std::string> found;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().filename().string().rfind(".", 0) == 0) found.push_back(it->path().string());
    return found;
}

// A FAT file system mounted on a directory for the test's length: by the kernel where it can, else by FUSE.
struct FatMount {
    ScratchDir dir;
    fs::path at = dir / "fat";
    bool mounted = false;
    std::string why_not;
    FatMount() {
        const std::string image = (dir / "fat.img").string();
        fs::create_directories(at);
        if (std::system(("truncate -s 8M " + image + " && mkfs.vfat " + image + " >/dev/null 2>&1").c_str()) != 0) {
            why_not = "mkfs.vfat (dosfstools) is not installed";
            return;
        }
        mounted = std::system(("mount -o loop " + image + " " + at.string() + " >/dev/null 2>&1").c_str()) == 0 ||
                  std::system(("fusefat -o rw+ " + image + " " + at.string() + " >/dev/null 2>&1").c_str()) == 0;
        if (!mounted) why_not = "this machine can mount no FAT image (neither mount -o loop nor fusefat)";
    }
    ~FatMount() {
        if (mounted && ::umount(at.c_str()) != 0) std::system(("fusermount -u " + at.string()).c_str());
    }
};

TEST(SampleStoreManifest, NewEntriesAreAppendedAndEveryExistingByteStaysThroughASymlink) {
    ScratchDir dir;
    // Numbers, escapes, a duplicate key and a number beyond a double's range: a rewrite would change them all.
    const std::string original = "[\r\n\t{\"file\": \"own.png\", \"w\": 1.50, \"s\": \"\\u00e9\", \"k\": 1, \"k\": 2},"
                                 "{\"big\": 1e400, \"sample_id\": \"enrol-0041\"}  \r\n]  \n";
    face_test::write_file(dir / "user/real.json", original);
    fs::create_directories(dir / "samples");
    fs::create_symlink("../user/real.json", dir / "samples/manifest.json");

    SampleStore store;
    std::string problem;
    ASSERT_TRUE(open_sample_store((dir / "samples").string(), "enrol", store, problem)) << problem;
    EXPECT_EQ(store.entries_read, 2);
    SavedSample first, second;
    ASSERT_TRUE(save_sample(store, kSample, first, problem)) << problem;
    ASSERT_TRUE(save_sample(store, kSample, second, problem)) << problem;
    EXPECT_EQ(first.file, "enrol/enrol-0042.png");  // numbering goes on from the manifest's ids
    EXPECT_EQ(second.sample_id, "enrol-0043");

    EXPECT_TRUE(fs::is_symlink(dir / "samples/manifest.json"));
    const std::string text = face_test::read_file(dir / "user/real.json");
    const std::string added = ",\n  {\"file\":\"enrol/enrol-0042.png\",\"stage\":\"enrol\",\"sample_id\":\"enrol-0042\"}"
                              ",\n  {\"file\":\"enrol/enrol-0043.png\",\"stage\":\"enrol\",\"sample_id\":\"enrol-0043\"}";
    const size_t at = original.rfind('}') + 1;
    EXPECT_EQ(text, original.substr(0, at) + added + original.substr(at));
    EXPECT_TRUE(hidden_files(dir.path).empty());

    // An empty list and a manifest not yet written take the same layout.
    const std::string entry = "{\"file\":\"a\"}";
    EXPECT_EQ(with_entry_appended("[]\n", entry), "[\n  {\"file\":\"a\"}\n]\n");
    EXPECT_EQ(with_entry_appended("", entry), "[\n  {\"file\":\"a\"}\n]\n");
    EXPECT_EQ(with_entry_appended(" [ ] ", entry), " [\n  {\"file\":\"a\"}\n ] ");
}

TEST(SampleStoreNames, AClashKeepsTheUsersFileAndTakesTheNextFreeNameAlsoOnFat) {
    FatMount fat;
    ScratchDir plain;
    std::vector<fs::path> places{plain.path};
    if (fat.mounted) places.push_back(fat.at);
    for (const fs::path &place : places) {
        SCOPED_TRACE(place.string());
        SampleStore store;
        std::string problem;
        ASSERT_TRUE(open_sample_store((place / "samples").string(), "enrol", store, problem)) << problem;
        // The user's own file appears under the name this run was about to use.
        face_test::write_file(place / "samples/enrol/enrol-0001.png", "the user's own bytes");
        SavedSample saved;
        ASSERT_TRUE(save_sample(store, kSample, saved, problem)) << problem;
        EXPECT_EQ(saved.file, "enrol/enrol-0002.png");
        EXPECT_EQ(face_test::read_file(place / "samples/enrol/enrol-0001.png"), "the user's own bytes");
        EXPECT_EQ(cv::norm(cv::imread((place / "samples" / saved.file).string(), cv::IMREAD_UNCHANGED), kSample,
                           cv::NORM_INF),
                  0.0);
        ASSERT_TRUE(save_sample(store, kSample, saved, problem)) << problem;
        EXPECT_EQ(saved.file, "enrol/enrol-0003.png");
        const auto manifest = nlohmann::json::parse(face_test::read_file(place / "samples/manifest.json"));
        ASSERT_EQ(manifest.size(), 2u);
        EXPECT_EQ(manifest[1]["file"], "enrol/enrol-0003.png");
        EXPECT_TRUE(hidden_files(place / "samples").empty());
    }
    if (!fat.mounted) GTEST_SKIP() << "checked on this file system only: " << fat.why_not;
}

// The lock is an flock on "manifest.json.lock" beside the real manifest (docs/lumivar_enroll.md): the test holds it
// as another run would, and the run under test must wait for it before it saves.
struct HeldLock {
    int fd = -1;
    explicit HeldLock(const fs::path &lock_file) {
        fd = ::open(lock_file.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0 && ::flock(fd, LOCK_EX) != 0) release();
    }
    void release() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    ~HeldLock() { release(); }
};

// Starts lumivar_enroll on one photo while `lock` is held; true when it saved nothing for a second and a half.
bool waits_for_lock(face_test::Child &child, const fs::path &samples, const fs::path &photos, bool as_nobody) {
    face_test::RunRequest request;
    request.program = LUMIVAR_ENROLL_SIM_BIN;
    request.args = {"--samples-dir", samples.string(), "--images", photos.string(), "--quality-min-sharpness", "20"};
    request.as_nobody = as_nobody;
    face_test::start_program(request, child);
    if (!face_test::wait_until([&] { return child.out().find("manifest: ") != std::string::npos; }, 60)) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    return child.out().find("saved ") == std::string::npos;
}

TEST(SampleStoreLock, ARunWaitsForTheLockOfTheRealManifestWhereverItIsAndNeverSavesUnlocked) {
    ScratchDir dir;
    if (!face_test::one_still_in(dir.path)) GTEST_SKIP() << "test photos missing: run scripts/fetch_test_faces.sh";
    const fs::path samples = dir / "samples";
    const std::string user = "[{\"file\": \"mine.png\"}]\n";
    face_test::write_file(samples / "manifest.json", user);

    HeldLock lock(samples / "manifest.json.lock");
    ASSERT_GE(lock.fd, 0);
    face_test::Child child;
    EXPECT_TRUE(waits_for_lock(child, samples, dir / "photos", false)) << child.out();
    EXPECT_EQ(face_test::read_file(samples / "manifest.json"), user);
    // An editor saves the manifest (write and rename) while the run waits.
    const std::string edited = "[{\"file\": \"mine.png\"}, {\"file\": \"edited.png\"}]\n";
    face_test::write_file(samples / "edit.tmp", edited);
    fs::rename(samples / "edit.tmp", samples / "manifest.json");
    lock.release();
    face_test::RunResult r = face_test::wait_program(child, 120);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(face_test::read_file(samples / "manifest.json"),
              "[{\"file\": \"mine.png\"}, {\"file\": \"edited.png\"},\n"
              "  {\"file\":\"enrol/enrol-0001.png\",\"stage\":\"enrol\",\"sample_id\":\"enrol-0001\"}]\n");

    // manifest.json a link into another directory: a run through the link waits for the lock a run in that
    // directory takes, the one beside the real manifest.
    face_test::write_file(dir / "shared/manifest.json", user);
    fs::create_directories(dir / "linked");
    fs::create_symlink("../shared/manifest.json", dir / "linked/manifest.json");
    HeldLock shared(dir / "shared/manifest.json.lock");
    face_test::Child through_link;
    EXPECT_TRUE(waits_for_lock(through_link, dir / "linked", dir / "photos", false)) << through_link.out();
    shared.release();
    r = face_test::wait_program(through_link, 120);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(nlohmann::json::parse(face_test::read_file(dir / "shared/manifest.json")).size(), 2u);
    EXPECT_FALSE(fs::exists(dir / "linked/manifest.json.lock"));

    if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    // A directory the user may write but not list.
    const fs::path blind = dir / "blind";
    face_test::write_file(blind / "manifest.json", user);
    HeldLock blind_lock(blind / "manifest.json.lock");
    ASSERT_EQ(::chown(blind.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chown((blind / "manifest.json").c_str(), 65534, 65534), 0);
    fs::permissions(blind, fs::perms::owner_write | fs::perms::owner_exec | fs::perms::group_write |
                               fs::perms::group_exec | fs::perms::others_write | fs::perms::others_exec);
    face_test::Child unlisted;
    EXPECT_TRUE(waits_for_lock(unlisted, blind, dir / "photos", true)) << unlisted.out();
    blind_lock.release();
    r = face_test::wait_program(unlisted, 120);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(nlohmann::json::parse(face_test::read_file(blind / "manifest.json")).size(), 2u);

    // A lock that cannot be taken (its file unreadable for this user): refused, nothing saved.
    ASSERT_EQ(::chmod((blind / "manifest.json.lock").c_str(), 0600), 0);
    const std::string before = face_test::read_file(blind / "manifest.json");
    face_test::RunRequest request;
    request.program = LUMIVAR_ENROLL_SIM_BIN;
    request.args = {"--samples-dir", blind.string(), "--images", (dir / "photos").string(), "--stage", "other",
                    "--quality-min-sharpness", "20"};
    request.as_nobody = true;
    r = face_test::run_program(request);
    EXPECT_EQ(r.status, 10) << r.out;
    EXPECT_EQ(face_test::lines_starting(r.out, "error: cannot lock manifest: " + (blind / "manifest.json.lock").string() +
                                                   ": Permission denied").size(),
              1u)
        << r.out;
    EXPECT_EQ(face_test::read_file(blind / "manifest.json"), before);
    EXPECT_FALSE(fs::exists(blind / "other"));
}

}  // namespace

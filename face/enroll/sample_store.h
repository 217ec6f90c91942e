#pragma once
// Where lumivar_enroll puts samples: numbered image files in the stage's subdirectory, never replacing a file,
// and manifest.json, read with the JSON reading lumivar_face uses and extended by appending entries to its text.
#include <filesystem>
#include <string>

#include <opencv2/core.hpp>

struct SampleStore {
    std::filesystem::path samples_dir;
    std::string stage;
    int entries_read = 0;
    int next_number = 1;  // of the stage's sample ids, "<stage>-0001" on
};

// Reads `samples_dir`/manifest.json (absent: an empty list) and finds where the stage's numbering goes on.
// False with `problem` set when the samples directory is not a directory, or when the manifest exists and
// is not a readable JSON array of objects (NUL bytes a crash left after it included) or not writable for this
// user; nothing is written then.
bool open_sample_store(const std::string &samples_dir, const std::string &stage, SampleStore &store,
                       std::string &problem);

std::filesystem::path manifest_path(const SampleStore &store);

struct SavedSample {
    std::string file;  // relative to the samples directory, "/"-separated
    std::string sample_id;
};

// Writes `image` as the stage's next sample (PNG), then adds its entry to the manifest. The manifest is read
// again and extended under an advisory lock (flock) on "manifest.json.lock" beside the real manifest (a link's
// target), so runs saving into one manifest keep each other's entries; every byte already in it stays as it
// is, and a manifest that is a symbolic link is written through to its target. Each file is written completely
// and flushed to disk before it takes its name; a stop signal that ends the program before the entry is in
// place removes the sample too. False with `problem` set when either cannot be written, the lock cannot be
// taken, or the manifest has become unusable meanwhile; then neither the sample file nor its entry remains.
bool save_sample(SampleStore &store, const cv::Mat &image, SavedSample &saved, std::string &problem);

// The manifest's text with one entry (a JSON object's text) added at the end of its array: the bytes before
// and after the insertion stay as they were. `text` is a JSON array, or empty for a manifest not yet written.
std::string with_entry_appended(const std::string &text, const std::string &entry);

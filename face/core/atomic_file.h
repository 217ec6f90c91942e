#pragma once
// Files the face programs write are written whole or not at all: the bytes go to a hidden temporary file
// beside the target, are flushed to disk, and only then take the target's name.
#include <filesystem>
#include <string>

// Writes `size` bytes to `fd`, going on after interrupted or short writes. False with errno set on failure.
bool write_all(int fd, const char *data, size_t size);

// The file a path names once its symbolic links are followed (dangling ones included), so that replacing it
// replaces the user's file and keeps the link. The path itself when it is no link.
std::filesystem::path resolve_links(const std::filesystem::path &path);

// A hidden temporary file (".NAME.XXXXXX") beside `final_path`, holding `bytes`, flushed to disk and closed. Its
// name carries no image extension, so lumivar_face never reads one left behind. On failure it is removed and
// errno tells why. Until it is renamed or removed (finish_temporary), a stop signal that ends the program at once
// removes it.
bool write_temporary(const std::filesystem::path &final_path, const std::string &bytes, std::string &temporary);

// Removes the temporary file when it still exists and forgets it.
void finish_temporary(const std::string &temporary, bool remove);

// Writes `bytes` to the file `path` names (through its links), replacing it in one step. A file already there
// keeps its permissions and, where the system lets us, its owner and group; one we may not write is refused
// (EACCES) like a file in a directory we may not write. The replacement is a new file under the old name: other
// hard links to the old file keep the old bytes. A device or FIFO is written as it is, never replaced. False with
// `problem` set (the system's reason); a file already there is then left as it was.
bool replace_file_atomically(const std::filesystem::path &path, const std::string &bytes, std::string &problem);

// A file that must not outlive a stop signal unless the next replace_file_atomically takes effect: a sample
// whose manifest entry is being written. The signal removes it unless that rename is already done; a successful
// replace forgets it. `path` empty: forget it.
void set_dependent_file(const std::string &path);

// The name `path` that the temporary file is about to take by a link or rename of its own (a sample's number):
// until end_claim, a signal removes `path` only if it is already that file. end_claim then makes it the
// dependent file, as set_dependent_file does; call it after finish_temporary.
void set_claimed_file(const std::string &path, const std::string &temporary);
void end_claim();

// Makes the renames and links of a directory durable; a failure here loses nothing already written.
void sync_directory(const std::filesystem::path &dir);

// For a signal handler: removes the temporary file being written, if any, and the dependent file when the
// temporary had not taken its name yet. Async-signal-safe.
void remove_pending_temporary();

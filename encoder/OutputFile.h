// Outputs that appear whole or not at all: a private temporary name, a judgement, then a rename into place.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>

// A file's identity on its file system: links and other spellings of one file share it (the
// device and inode numbers; on Windows the volume serial number and the file index).
struct FileId {
  uint64_t device = 0;
  uint64_t inode = 0;
  auto operator<=>(const FileId&) const = default;
};

// The identity of `path` (following a final link when `follow`), or nothing when it has no status.
std::optional<FileId> FileIdOf(const std::string& path, bool follow);

// Whether `path` can be read as a regular file without waiting: it is opened without blocking
// (a FIFO would otherwise wait for a writer forever) and its type checked on the descriptor.
// Empty when it can; else why not ("is a FIFO, not a regular file", the OS's cause, …).
std::string WhyNotRegularFile(const std::string& path);

// Whether anything has the name `path`, a link to nothing included (a final link is not followed).
bool PathEntryExists(const std::string& path);

// The file an encoder writes for one row: created exclusively under a hidden name in the
// output folder, so that concurrent runs and rows never write the same file, and locked
// while it lives, so that a later run can tell an abandoned one. Removed on destruction
// unless committed. (On Windows the name starts with a dot as well but the file is not marked
// hidden: an encoder that recreates its output cannot open a hidden file that way.)
class PendingOutput {
 public:
  PendingOutput() = default;
  ~PendingOutput() { Discard(); }
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  // Creates the temporary file for `finalPath` in its folder. False with the OS's cause in
  // `error` when the folder cannot take it.
  bool Create(const std::string& finalPath, std::string* error);

  // The name the encoder writes to, or empty.
  const std::string& TemporaryPath() const { return temporary_; }
  const std::string& FinalPath() const { return final_; }

  // Renames the temporary file to the final name. With `replace` false an existing entry at
  // the final name is kept and the commit fails; with `replace` true it is replaced (a link
  // is replaced, never followed), unless it is one of `keep`. False with the reason in `error`;
  // the temporary file is removed either way.
  bool Commit(bool replace, const std::set<FileId>& keep, std::string* error);

  // Removes the temporary file, if any. Safe to call again.
  void Discard();

 private:
  std::string temporary_;
  std::string final_;
  intptr_t handle_ = -1;  // the descriptor (Windows: the handle) that holds the lock marking the file in use
};

// Removes temporary outputs in `folder` left by runs that ended without cleaning up (killed,
// power loss): names of ours whose lock nobody holds. Returns how many were removed.
int RemoveAbandonedOutputs(const std::string& folder);

// Why the finished file at `path` is not a whole output: empty when it reads back (with our
// own probe) as a file of the chosen container (`outputType` 0 MP4, 1 AVI, 2 MKV) playing at
// least 90 % of `sourceSeconds` (not checked when that is 0 or less).
std::string JudgeFinishedOutput(const std::string& path, int outputType, int sourceSeconds);

// For the system's part of the above: a fresh candidate for the temporary file of `finalPath`
// (in its folder, a random part in its name), and whether a folder entry's name is one of them.
std::string TemporaryOutputCandidate(const std::string& finalPath);
bool IsTemporaryOutputName(const std::string& name);
// The folder part of `path`: "." when it has none.
std::string FolderOfPath(const std::string& path);

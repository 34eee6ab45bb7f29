// zelvora encode --manifest FILE: one JSON line per finished file, for job runners and scripts.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <optional>

#include "encoder/BatchRun.h"
#include "encoder/Display.h"
#include "encoder/FileList.h"
#include "support/InterfaceTexts.h"

struct ManifestEntry {
  std::string source;
  std::string output;       // empty when no output was written
  std::string status;       // "done" or "failed"
  double seconds = 0;       // wall-clock time the conversion took
  int64_t sourceBytes = -1;  // -1 when the file cannot be read
  int64_t outputBytes = -1;
  std::string command;      // the encoder command line that ran, or empty
  std::string message;      // why it failed, or empty
};

// A manifest shared by the shards of one batch. Each line goes out in one write() on a file
// opened with O_APPEND, so lines of processes appending side by side never interleave (on a
// local or cluster file system that honours O_APPEND; plain NFS does not promise it).
class Manifest {
 public:
  Manifest() = default;
  ~Manifest();
  Manifest(const Manifest&) = delete;
  Manifest& operator=(const Manifest&) = delete;

  // Opens (creating when missing) the file for appending; sets `error` when it cannot.
  bool Open(const std::string& path, const std::string& commandLine, std::string& error);
  bool IsOpen() const { return fd_ >= 0; }
  // Appends one line; false (and a note on stderr once) when the write failed.
  bool Write(const ManifestEntry& entry);

  // The JSON line of an entry, with its newline.
  std::string Line(const ManifestEntry& entry) const;

 private:
  int fd_ = -1;
  std::string path_;
  std::string invocation_;
  std::string host_;
  bool warned_ = false;
  std::mutex mutex_;
};

// The manifest entry of a list row whose work has ended: done, or failed (by the encoder or
// because it could not be read at all). A row back to waiting (cancelled) has not finished: none.
std::optional<ManifestEntry> EntryForRow(const FileList& list, size_t row, const InterfaceTexts& texts,
                                         const RowOutcome& outcome, double seconds);

// The command line as typed, quoted where needed for the system's shell (a POSIX shell, or the
// C runtime's rules on Windows).
std::string ShellCommandLine(int argc, char** argv);

// Passes every call on to the real display and notices when the batch moves to another row:
// the row it left is finished then (its status is final before the next row is selected).
// `Finish()` ends the last row once the run has ended.
class RowTimingDisplay final : public BatchDisplay {
 public:
  using RowFinished = std::function<void(size_t row, double seconds)>;
  RowTimingDisplay(BatchDisplay& inner, RowFinished finished) : inner_(inner), finished_(std::move(finished)) {}

  void SetText(DisplayText which, const std::string& text) override { inner_.SetText(which, text); }
  void SetBar(DisplayBar which, int percent) override { inner_.SetBar(which, percent); }
  void SelectRow(int row) override;
  void SetControlsEnabled(bool enabled) override { inner_.SetControlsEnabled(enabled); }
  void SetTrayAnimation(bool running) override { inner_.SetTrayAnimation(running); }
  void EndOfUpdate() override { inner_.EndOfUpdate(); }

  void Finish();

 private:
  BatchDisplay& inner_;
  RowFinished finished_;
  std::mutex mutex_;
  int row_ = -1;
  std::chrono::steady_clock::time_point started_;
};

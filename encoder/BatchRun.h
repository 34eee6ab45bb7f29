// The batch run: encodes every waiting row of the file list, one file after another, on a worker thread.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "encoder/CommandLine.h"
#include "encoder/Display.h"
#include "encoder/EncoderArgs.h"
#include "encoder/EncodingSettings.h"
#include "encoder/FileList.h"
#include "encoder/OutputFile.h"
#include "encoder/OutputMonitor.h"
#include "platform/PowerOff.h"
#include "support/InterfaceTexts.h"

// One source of a batch split over several runs: its full path, and its row in this run's list
// (-1 when another run converts it).
struct BatchSource {
  std::string path;
  long row = -1;
};

// What the batch run works on; everything is owned by the caller and outlives the run.
struct BatchEnvironment {
  EncodingSettings* settings = nullptr;  // adjusted in place for incompatible codec choices
  StoredPaths* paths = nullptr;
  FileList* list = nullptr;
  const InterfaceTexts* texts = nullptr;
  BatchDisplay* display = nullptr;
  PowerControl* power = nullptr;  // null: the system's
  // The sources of the whole batch, in its order, when this run converts only a share of it
  // (one shard of several): a row whose output an earlier source of the batch also has fails,
  // whichever run owns that source, as it would if one run held them all. Only sources that
  // can be converted (that would wait in a list) belong here. Null: the list is the batch.
  const std::vector<BatchSource>* batchSources = nullptr;
};

// The output file name of a row: the prefix, the source's file name without its extension, and
// the container's extension.
std::string OutputFileName(const std::string& sourceFileName, const EncodingSettings& settings);

// Appends one record to the error log at `logPath` (month-stamped as every log), making its
// folder when it is missing. False when it cannot be written.
bool WriteErrorLog(const std::string& logPath, const std::string& text);

// Whether the file system of `folder` takes names that differ in letter case alone for one
// file (FAT and exFAT media, case-insensitive ext4 folders, SMB shares, Windows). Found out by
// creating a file there; false when nothing can be created.
bool FolderFoldsCase(const std::string& folder);

// How one row ended, for callers that report per file (the CLI).
struct RowOutcome {
  std::string outputPath;  // the file written (or that would have been)
  std::string message;     // the last error-log text of the row, or empty
  std::string cause;       // why a failed row failed, in words (the encoder's last error line or the
                           // probe's verdict); empty for a row that did not fail or gave no reason
  std::string failure;       // for a failed row: the error-log record that closed it, then " : " and
                             // the cause (when the record does not hold it already)
  std::string substitution;  // what replaced the chosen encoder or codec, or empty
  std::string command;       // the encoder command line of the last attempt, or empty
};

class CBatchRun {
 public:
  explicit CBatchRun(BatchEnvironment env);
  ~CBatchRun();
  CBatchRun(const CBatchRun&) = delete;
  CBatchRun& operator=(const CBatchRun&) = delete;

  // The start button: cancels a running batch, or starts one when some row waits.
  // Returns 1 when a run was started, -1 when one was cancelled, 0 when nothing happened.
  // A start sets the shutdown-after-run flag to `shutdownAfterRun` before the worker runs, so
  // a caller that asks for the power-off up front cannot lose it to a short run.
  int OnStartButton(bool shutdownAfterRun = false);
  // The window is closing: the worker leaves at its next check; then it is joined.
  void RequestExit();
  // Waits for the worker thread to end (the worker always leaves within a poll step after
  // a cancel or exit, since stopping its encoder is bounded).
  void JoinThread();
  bool IsRunning() const { return m_zFLAG.bRunEncoding.load(); }

  // Toggled by the menu during a run; every start sets it to what the start was given.
  void SetShutdownAfterRun(bool on) { m_bShutdownAfterRun = on; }
  bool ShutdownAfterRun() const { return m_bShutdownAfterRun; }
  // What the end of the last run did about the power-off: -1 not asked for, 0 refused, 1 requested.
  int PowerOffResult() const { return m_iPowerOff.load(); }

  // The outcome of row `index` in the last run.
  RowOutcome Outcome(size_t index) const;
  // Whether the last run was stopped by the user.
  bool WasStopped() const { return m_bStopped; }

  // The command line a row would run with the current settings, for dry runs; `error` is set
  // when the row cannot be run. Applies the same codec adjustments as a run.
  std::string DryRunCommand(size_t index, std::string* error);

  // Process id (and process group) of the encoder running now, or -1; lets a caller that
  // must end at once take the encoder with it.
  int ActiveChildPid() const { return m_iChildPid.load(); }

  // The program must end now (a second Ctrl-C, SIGTERM, the terminal gone): stops the
  // encoder's process group and removes the output being written, so that nothing partial
  // is left. The worker starts nothing more; the caller then exits without joining it.
  void Abandon();

  // The error log file that records go to now (the stored path with its month stamp).
  std::string ErrorLogFile() const;

  RunFlags m_zFLAG;
  OutputMonitor m_monitor;

 private:
  struct Prepared;  // one attempt's encoder choice, options and paths

  void Thread4Run();
  void RunBatch();
  int EncodingFileOne(size_t row);
  int EncodingRun(size_t row, const Prepared& job);
  bool Prepare(size_t row, Prepared& job, bool forDryRun);
  CommandLine CommandFor(const Prepared& job, const std::string& writePath) const;
  // Why the row's output cannot be written at all, checked before any encoder runs; empty when it can.
  std::string OutputRefusal(const Prepared& job) const;
  // Judges the finished attempt's output and renames it into place; empty when the row is done,
  // else why not.
  std::string FinishOutput(size_t row, int sourceSeconds);
  void DiscardOutput();
  void SummariseSettings(size_t row, bool withSubtitle);
  void ErrorLog(size_t row, const std::string& text, bool closing = false);
  // Logs "SOURCE => problem" and keeps the problem as the row's cause, when it has none yet.
  void RowProblem(size_t row, const std::string& source, const std::string& problem);
  // Why a failed row failed, in words, from what its attempts left behind.
  std::string FailureCause(size_t row, const std::string& notWhole);
  // For every waiting row, the earlier source of the batch that has the same output, if any.
  void ClaimOutputs();
  std::string StatusText(int which) const;

  BatchEnvironment m_env;
  std::thread m_worker;
  std::atomic<bool> m_bShutdownAfterRun{false};
  std::atomic<bool> m_bStopped{false};
  std::atomic<int> m_iChildPid{-1};
  std::atomic<int> m_iPowerOff{-1};
  std::string m_outputFolder;
  std::string m_outputFolderError;  // why the output folder cannot be used, for every row
  std::set<FileId> m_sourceIds;     // every source of the list: no output may replace one
  std::map<std::string, size_t> m_writtenOutputs;  // outputs this run has put in place, by row
  std::set<FileId> m_writtenIds;                   // the same outputs as files
  std::map<size_t, std::string> m_claimedBy;       // rows whose output an earlier source has: that source
  bool m_bFoldsCase = false;                       // the output folder takes "A" and "a" for one name
  std::set<std::string> m_loggedSubstitutions;
  std::string m_encoderEndProblem;  // how the last attempt's encoder ended, when that spoils its output
  int m_sourceSeconds = 0;          // play time of the row's source by our probe, 0 unknown
  bool m_bSourceRecognised = true;  // our probe knows the row's source
  mutable std::mutex m_pendingMutex;  // the output being written; the signal watcher removes it
  PendingOutput m_pending;
  bool m_bAbandoned = false;  // guarded by m_pendingMutex
  mutable std::mutex m_outcomeMutex;
  std::map<size_t, RowOutcome> m_outcomes;
  std::set<std::string> m_rowLogged;  // the error-log lines of the row being converted
};

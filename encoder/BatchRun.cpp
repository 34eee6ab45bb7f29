// The batch run: encoder choice, subtitles, output names, attempts, judgement and the error log.
#include "encoder/BatchRun.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <strings.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "encoder/CommandLine.h"
#include "encoder/EncoderCaps.h"
#include "encoder/EncoderSystem.h"
#include "encoder/PathText.h"
#include "encoder/Redirect.h"
#include "encoder/SamiToSrt.h"
#include "encoder/SettingsFields.h"
#include "encoder/Subtitles.h"
#include "encoder/WorkFolder.h"
#include "support/AsciiText.h"
#include "support/DebugLog.h"
#include "support/FileUtils.h"

namespace fs = std::filesystem;

namespace {

constexpr int kMaxAttempts = 10;
constexpr int kDonePercent = 90;
constexpr size_t kMaxFileNameBytes = 255;  // NAME_MAX of the usual file systems

enum StatusKind { kWaiting, kInProgress, kDone, kError, kFailed };

int ToInt(const std::string& text) { return std::atoi(text.c_str()); }

std::string OutputExtension(int outputType) { return outputType == 1 ? ".avi" : outputType == 2 ? ".mkv" : ".mp4"; }

// The same file for the case-insensitive comparison of the stored paths, or for the file
// system (a link or another spelling of the same file): never write over a source.
bool SameFile(const std::string& output, const std::string& source) {
  if (strcasecmp(output.c_str(), source.c_str()) == 0) return true;
  std::error_code ec;
  return fs::exists(FsPath(output), ec) && fs::equivalent(FsPath(output), FsPath(source), ec);
}

int64_t FileSizeOf(const std::string& path) {
  int64_t size = 0;
  return GetFileStatus(path, nullptr, &size) ? size : 0;
}

// The subtitle and font for burning a subtitle in with ffmpeg: the UTF-8 SAMI or SubRip text is
// rewritten as SubRip in the row's work folder (the form the subtitles filter reads reliably);
// the font is the one configured for subtitles. `error` says why when it cannot be prepared.
BurnInSubtitle PrepareBurnIn(const std::string& subtitle, const EncodingSettings& s, RowWorkFolder& work,
                             std::string& error) {
  BurnInSubtitle burnIn;
  if (subtitle.empty()) return burnIn;
  std::string folder = work.Path(&error);
  if (folder.empty()) return burnIn;
  std::string srt = JoinPath(folder, "burn-in.srt");
  if (ConvertSubtitleToSrt(subtitle, srt, &error) <= 0) return burnIn;
  burnIn.file = srt;
  if (!s.font_path.empty() && FileExists(s.font_path)) {
    burnIn.fontsDir = Utf8Path(FsPath(s.font_path).parent_path());
    burnIn.fontFamily = FontFamilyOfFile(s.font_path);
  }
  return burnIn;
}

// The subtitle beside a source as the encoder gets it: the file itself when it is UTF-8, else a
// UTF-8 copy in the row's work folder (named by its kind only, so no source name is too long
// for it). One that is to be burned in must hold timed text. Empty with `error` set when the
// subtitle cannot be used: the row then fails rather than running without it.
std::string PrepareRowSubtitle(const std::string& found, bool burnIn, RowWorkFolder& work, std::string& error) {
  std::string copyName = "subtitle" + Utf8Path(FsPath(found).extension());
  std::string subtitle;
  if (IsUtf8SubtitleFile(found)) {
    subtitle = found;
  } else {
    std::string folder = work.Path(&error);
    if (folder.empty()) return {};
    subtitle = PrepareSubtitle(found, folder, &error, copyName);
    if (subtitle.empty()) return {};
  }
  if (burnIn && ReadSubtitleCues(subtitle, &error).empty()) return {};
  return subtitle;
}

std::string FileNameOf(const std::string& path) { return Utf8Path(FsPath(path).filename()); }

}  // namespace

std::string OutputFileName(const std::string& sourceFileName, const EncodingSettings& settings) {
  std::string name = sourceFileName;
  size_t dot = name.rfind('.');
  if (dot != std::string::npos) name.resize(dot);
  return settings.fn_prefix + name + OutputExtension(settings.output_type);
}

bool FolderFoldsCase(const std::string& folder) {
#ifdef _WIN32
  (void)folder;
  return true;
#else
  // A name of our own with a lower-case letter at its end; the same name with that letter in
  // upper case is then asked for. The hidden prefix is the one abandoned outputs carry.
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string base = ".zelvora_case-" + std::to_string(::getpid()) + "-" + std::to_string(attempt) + "-";
    std::string lower = JoinPath(folder, base + "a"), upper = JoinPath(folder, base + "A");
    std::FILE* f = std::fopen(lower.c_str(), "wx");
    if (!f) {
      if (errno == EEXIST) continue;
      return false;
    }
    std::fclose(f);
    std::error_code ec;
    const bool folds = fs::exists(FsPath(upper), ec);
    fs::remove(FsPath(lower), ec);
    return folds;
  }
  return false;
#endif
}

struct CBatchRun::Prepared {
  std::unique_ptr<RowWorkFolder> work;  // subtitle copies of this attempt, removed with it
  std::string source;
  std::string outputName;
  std::string outputPath;
  std::string options;
  std::string subtitle;
  bool useAlternative = false;  // the alternative encoder runs (not its ffmpeg stand-in)
  std::string substitution;     // what replaced the chosen encoder or codec, for the error log
  std::string error;            // why the row cannot run
  bool sameFile = false;        // the output would be the source itself
  std::string refusal;          // why the output may not be written (a source, taken, kept)
  size_t row = 0;
  int sourceSeconds = 0;        // the source's play time by our probe, 0 when unknown
  bool sourceRecognised = true;  // our probe knows the source (false: its container is unknown or broken)
};

CBatchRun::CBatchRun(BatchEnvironment env) : m_monitor(*env.display), m_env(env) {}

CBatchRun::~CBatchRun() {
  RequestExit();
  JoinThread();
}

std::string CBatchRun::StatusText(int which) const {
  const InterfaceTexts& t = *m_env.texts;
  switch (which) {
    case kWaiting: return t.status_waiting;
    case kInProgress: return t.status_in_progress;
    case kDone: return t.status_done;
    case kError: return t.status_error;
    default: return t.status_failed;
  }
}

int CBatchRun::OnStartButton(bool shutdownAfterRun) {
  if (m_zFLAG.bRunEncoding) {
    m_zFLAG.bRunEncoding = false;
    return -1;
  }
  if (!m_env.list->any(kColStatus, StatusText(kWaiting))) return 0;
  JoinThread();
  m_zFLAG.bExit = false;
  m_zFLAG.bRunEncoding = true;
  m_env.display->SetControlsEnabled(false);
  m_env.display->SetText(DisplayText::kStartButton, m_env.texts->cancel_button);
  m_env.display->SetTrayAnimation(true);
  m_bShutdownAfterRun = shutdownAfterRun;
  m_iPowerOff = -1;
  m_worker = std::thread([this] { Thread4Run(); });
  DebugLog("", "Created ThreadForRun(MainDLG)");
  return 1;
}

void CBatchRun::RequestExit() { m_zFLAG.bExit = true; }

void CBatchRun::JoinThread() {
  if (m_worker.joinable()) m_worker.join();
}

RowOutcome CBatchRun::Outcome(size_t index) const {
  std::lock_guard lock(m_outcomeMutex);
  auto it = m_outcomes.find(index);
  return it == m_outcomes.end() ? RowOutcome{} : it->second;
}

bool WriteErrorLog(const std::string& log, const std::string& text) {
  if (DebugLog(log.c_str(), "%s", text.c_str())) return true;
  // The default log lives in a state folder that may not exist yet.
  if (LastPathSeparator(log) == std::string::npos) return false;
  MakeFolderPath(Utf8Path(FsPath(log).parent_path()));
  return DebugLog(log.c_str(), "%s", text.c_str());
}

void CBatchRun::ErrorLog(size_t row, const std::string& text, bool closing) {
  WriteErrorLog(m_env.paths->error_log_path, text);
  std::lock_guard lock(m_outcomeMutex);
  m_rowLogged.insert(text);
  // The record that closes a failed file is generic; the reason logged before it says more.
  std::string& message = m_outcomes[row].message;
  if (!closing || message.empty()) message = text;
}

void CBatchRun::RowProblem(size_t row, const std::string& source, const std::string& problem) {
  ErrorLog(row, source + " => " + problem);
  std::lock_guard lock(m_outcomeMutex);
  std::string& cause = m_outcomes[row].cause;
  if (cause.empty()) cause = problem;
}

std::string CBatchRun::FailureCause(size_t row, const std::string& notWhole) {
  if (!notWhole.empty()) return notWhole;
  if (std::string explicitCause = Outcome(row).cause; !explicitCause.empty()) return explicitCause;
  const RowMonitorState& rv = m_monitor.m_zRowVal;
  if (std::string complaint = rv.szComplaint.Get(); !complaint.empty()) return complaint;
  if (!m_bSourceRecognised && rv.iPercent <= 0) return "not a recognised media file";
  if (rv.iBadAspectCnt > 0) return "Invalid pixel aspect ratio";
  if (rv.iSamePosCnt > SAMEPOSCNT_BREAK)
    return "the encoder stalled: frame " + std::to_string(rv.iLastFrame.load()) + " came again and again";
  std::string last = EncoderComplaint(rv.szLastError.Get());
  if (last.empty()) last = rv.szLastError.Get();
  if (int percent = rv.iPercent; percent > 0)
    return "the encoder stopped after " + std::to_string(percent) + " % of the source" +
           (last.empty() ? std::string() : " (its last error: " + last + ")");
  if (!last.empty()) return last;
  return "the encoder ended without converting anything";
}

void CBatchRun::ClaimOutputs() {
  m_claimedBy.clear();
  const FileList& list = *m_env.list;
  const std::string waiting = StatusText(kWaiting);
  std::vector<BatchSource> fromList;
  if (!m_env.batchSources) {
    for (size_t i = 0; i < list.size(); ++i)
      if (list.text(i, kColStatus) == waiting) fromList.push_back({list.text(i, kColFullPath), static_cast<long>(i)});
  }
  const std::vector<BatchSource>& batch = m_env.batchSources ? *m_env.batchSources : fromList;
  // The first source of the batch with an output name keeps it; every later one fails, in
  // whichever run it is, so the outcome does not depend on how the batch was split.
  std::map<std::string, std::string> first;
  for (const BatchSource& source : batch) {
    const bool mine = source.row >= 0 && static_cast<size_t>(source.row) < list.size();
    if (mine && list.text(static_cast<size_t>(source.row), kColStatus) != waiting) continue;
    std::string name = OutputFileName(mine ? list.text(static_cast<size_t>(source.row), kColFileName)
                                           : FileNameOf(source.path),
                                      *m_env.settings);
    if (m_bFoldsCase)
      for (char& c : name) c = AsciiLower(c);
    auto [it, inserted] = first.emplace(name, source.path);
    if (!inserted && mine) m_claimedBy[static_cast<size_t>(source.row)] = it->second;
  }
}

void CBatchRun::Thread4Run() {
  DebugLog(kDebugTarget, "Thread Start(Thread4Run - CMainDLG)");
  RunBatch();
  DebugLog(kDebugTarget, "Thread End(Thread4Run - CMainDLG)");
}

std::string CBatchRun::ErrorLogFile() const {
  return ResolveLogPath(m_env.paths->error_log_path, static_cast<long long>(std::time(nullptr)));
}

void CBatchRun::Abandon() {
  m_zFLAG.bExit = true;
  m_zFLAG.bRunEncoding = false;
  StopEncoderAtOnce(m_iChildPid.load());
  std::lock_guard lock(m_pendingMutex);
  m_bAbandoned = true;
  m_pending.Discard();
}

void CBatchRun::DiscardOutput() {
  std::lock_guard lock(m_pendingMutex);
  m_pending.Discard();
}

void CBatchRun::RunBatch() {
  BatchDisplay& display = *m_env.display;
  FileList& list = *m_env.list;
  const InterfaceTexts& texts = *m_env.texts;
  m_outputFolder = m_env.paths->output_folder;
  m_outputFolderError.clear();
  if (!MakeFolderPath(m_outputFolder)) {
    // Ask once more to learn the system's reason; the folder maker only says yes or no.
    std::error_code ec;
    fs::file_status st = fs::status(FsPath(m_outputFolder), ec);
    if (fs::exists(st) && !fs::is_directory(st))
      m_outputFolderError = "the output folder " + m_outputFolder + " is a file, not a folder";
    else if (!fs::create_directory(FsPath(m_outputFolder), ec) && ec)
      m_outputFolderError = "cannot make the output folder " + m_outputFolder + ": " + ec.message();
  }
  if (m_outputFolderError.empty()) RemoveAbandonedOutputs(m_outputFolder);
  m_bFoldsCase = m_outputFolderError.empty() && FolderFoldsCase(m_outputFolder);
  m_sourceIds.clear();
  for (size_t i = 0; i < list.size(); ++i)
    if (std::optional<FileId> id = FileIdOf(list.text(i, kColFullPath), true)) m_sourceIds.insert(*id);
  m_writtenOutputs.clear();
  m_writtenIds.clear();
  m_loggedSubstitutions.clear();
  {
    std::lock_guard lock(m_outcomeMutex);
    m_outcomes.clear();
  }
  ClaimOutputs();

  m_monitor.ResetProgress(1);
  int64_t totalKbytes = 0;
  for (size_t i = 0; i < list.size(); ++i)
    if (list.text(i, kColStatus) == StatusText(kWaiting)) totalKbytes += FileSizeOf(list.text(i, kColFullPath)) / 1024;
  m_monitor.StartRun(totalKbytes);

  bool stopped = false, anyFailed = false;
  int doneCount = 0;
  for (size_t i = 0; i < list.size() && !m_zFLAG.bExit; ++i) {
    if (!m_zFLAG.bRunEncoding || m_zFLAG.bExit) {
      stopped = true;
      break;
    }
    if (list.text(i, kColStatus) != StatusText(kWaiting)) {
      WaitStep(0);
      continue;
    }
    display.SetText(DisplayText::kCurrentFile, list.text(i, kColFileName));
    list.setText(i, kColStatus, StatusText(kInProgress));
    display.SelectRow(static_cast<int>(i));
    display.SetText(DisplayText::kStatusLine, texts.analysing);
    m_monitor.SetStatusOnProgress(texts.converting);

    RowMonitorState& rowVal = m_monitor.m_zRowVal;
    rowVal.Clear();
    rowVal.iCodecOverride = -1;
    int attempts = 0;
    m_sourceSeconds = 0;
    m_bSourceRecognised = true;
    {
      std::lock_guard lock(m_outcomeMutex);
      m_rowLogged.clear();
    }
    while (attempts < kMaxAttempts) {
      ++attempts;
      if (!EncodingFileOne(i)) break;
      if (ContainsIgnoringCase(rowVal.szLastError.Get(), "Error while opening encoder ") &&
          m_env.settings->video_compress == 2 && rowVal.iCodecOverride == -1) {
        rowVal.iCodecOverride = 1;  // mp4v refused: xvid writes the same MPEG-4 part 2
        rowVal.szLastError.Clear();
      } else if (rowVal.iBadAspectCnt == 0) {
        break;
      }
    }
    DebugLog(kDebugTarget, "After EncodingFileOne:%d,%d", rowVal.iPercent.load(), attempts - 1);

    const std::string source = list.text(i, kColFullPath);
    // The encoder's word is not enough: the output must read back whole before it takes its name.
    std::string notWhole;
    const bool finished = rowVal.iPercent > kDonePercent && m_zFLAG.bRunEncoding && !m_zFLAG.bExit;
    if (finished) notWhole = FinishOutput(i, m_sourceSeconds);
    DiscardOutput();
    RowOutcome outcome = Outcome(i);
    if (finished && notWhole.empty()) {
      list.setText(i, kColStatus, StatusText(kDone));
      ++doneCount;
    } else {
      // A file stopped by the user (the stop button, or quitting during the run) did not fail:
      // it waits for the next run and leaves no record in the error log.
      const bool stoppedHere = !m_zFLAG.bRunEncoding || m_zFLAG.bExit;
      if (!stoppedHere) anyFailed = true;
      if (stoppedHere) {
        list.setText(i, kColStatus, StatusText(kWaiting));
      } else {
        // What replaced the chosen encoder or codec may explain the failure.
        if (!outcome.substitution.empty())
          DebugLog(m_env.paths->error_log_path.c_str(), "%s => %s", source.c_str(), outcome.substitution.c_str());
        char record[4096];
        if (!notWhole.empty())
          std::snprintf(record, sizeof record, "Failed encoding media file, %s : %s", source.c_str(), notWhole.c_str());
        else if (rowVal.iBadAspectCnt > 0)
          std::snprintf(record, sizeof record, "Failed encoding Media file, %s : \"Invalid pixel aspect ratio\" (%dx%d) - %s",
                        source.c_str(), m_env.settings->size_w, m_env.settings->size_h, texts.xvid_aspect);
        else if (!m_bSourceRecognised && rowVal.iPercent <= 0)  // rows not probed before the run
          std::snprintf(record, sizeof record, "Failed encoding media file, %s : not a recognised media file",
                        source.c_str());
        else if (rowVal.iSamePosCnt > SAMEPOSCNT_BREAK)
          std::snprintf(record, sizeof record, "Failed encoding Media file, %s - %s", source.c_str(), texts.srt_timing);
        else
          std::snprintf(record, sizeof record, "Failed encoding media file, %s", source.c_str());
        const std::string cause = FailureCause(i, notWhole);
        ErrorLog(i, record, true);
        // The record says that the file failed; the line after it says why, unless the record
        // or a line of this file said so already.
        const std::string causeLine = source + " => " + cause;
        bool logged;
        {
          std::lock_guard lock(m_outcomeMutex);
          logged = m_rowLogged.count(causeLine) > 0;
        }
        if (!cause.empty() && std::strstr(record, cause.c_str()) == nullptr && !logged)
          WriteErrorLog(m_env.paths->error_log_path, causeLine);
        {
          std::lock_guard lock(m_outcomeMutex);
          RowOutcome& row = m_outcomes[i];
          row.cause = cause;
          row.failure = std::string(record);
          if (!cause.empty() && row.failure.find(cause) == std::string::npos) row.failure += " : " + cause;
          if (!cause.empty() && row.message.find(cause) == std::string::npos) row.message += " : " + cause;
        }
        list.setText(i, kColStatus, StatusText(kError));
      }
    }
    if (!m_zFLAG.bRunEncoding || m_zFLAG.bExit) {
      stopped = true;
      break;
    }
    m_monitor.FinishFile();
    WaitStep(0);
  }

  m_zFLAG.bRunEncoding = false;
  for (DisplayText field : {DisplayText::kCurrentFile, DisplayText::kOutputName, DisplayText::kVideoSummary,
                            DisplayText::kAudioSummary})
    display.SetText(field, "");
  m_monitor.ResetProgress(0);
  m_monitor.ResetProgress(1);
  // The run's times are over with it: none stays shown as if it were still counting.
  for (DisplayText field : {DisplayText::kEstimatedTotalTime, DisplayText::kElapsedTime, DisplayText::kRemainingTime})
    display.SetText(field, "00:00:00");
  m_monitor.SetStatusOnProgress({});
  display.SetText(DisplayText::kStartButton, texts.start_button);

  m_bStopped = stopped;
  if (stopped) {
    display.SetText(DisplayText::kStatusLine, texts.stopped_by_user);
  } else if (anyFailed) {
    display.SetText(DisplayText::kStatusLine, std::string(texts.errors_occurred) + " " + ErrorLogFile());
  } else {
    display.SetText(DisplayText::kStatusLine, texts.conversion_done);
  }
  PowerControl& power = m_env.power ? *m_env.power : CurrentPowerControl();
  if (!stopped && doneCount > 0 && m_bShutdownAfterRun)
    m_iPowerOff = power.EnableShutdownPrivilege() && power.PowerOff() ? 1 : 0;
  display.SetControlsEnabled(true);
  display.SetTrayAnimation(false);
}

bool CBatchRun::Prepare(size_t row, Prepared& job, [[maybe_unused]] bool forDryRun) {
  EncodingSettings& s = *m_env.settings;
  const StoredPaths& paths = *m_env.paths;
  std::optional<RowTexts> texts = m_env.list->row(row);
  if (!texts) return false;
  job.source = (*texts)[kColFullPath];
  job.row = row;
  // A record that no settings check would have let through is never turned into a command.
  const std::string rangeProblem = SettingsRangeProblem(s);

  // A dry run prepares the subtitle as a run does, so that it prints the very paths a run
  // uses and fails where a run would; the work folder goes with the prepared attempt.
  std::string subtitleError, found;
  job.work = std::make_unique<RowWorkFolder>(job.source);
  if (s.pindex_opti == 0 && s.origin_vdo == 0 && s.sub_mapping == 1) {
    found = FindSubtitleFile(job.source, s.output_type);
    // Any subtitle except the .srt ffmpeg carries as an MKV stream is drawn into the picture.
    bool burnIn = s.output_type != 2 || s.video_compress == 3;
    if (!found.empty()) {
      job.subtitle = PrepareRowSubtitle(found, burnIn, *job.work, subtitleError);
      if (job.subtitle.empty())
        subtitleError = "the subtitle " + found + " cannot be used: " + subtitleError;
    }
  }

  bool alternative = s.output_type == 1 || (!job.subtitle.empty() && s.output_type != 2) || s.video_compress == 3;

  // Codec choices the container cannot hold are changed in the record itself.
  if (s.output_type == 1 && s.video_compress == 3) s.video_compress = 0;
  if (s.output_type != 2 && s.audio_compress == 3) s.audio_compress = 0;
  if (s.output_type == 0 && s.audio_compress == 1) s.audio_compress = 0;
  if (s.output_type == 1 && s.audio_compress == 0) s.audio_compress = 1;

  job.outputName = OutputFileName((*texts)[kColFileName], s);
  job.outputPath = JoinPath(m_outputFolder, job.outputName);
  // Nothing else is worth preparing for a row that would write over its own source.
  job.sameFile = SameFile(job.outputPath, job.source);
  if (job.sameFile) return true;
  // Nor for a row whose output may not be written; a long list of such rows is refused quickly.
  if (!forDryRun) {
    job.refusal = OutputRefusal(job);
    if (!job.refusal.empty()) return true;
  }

  BuildInput in;
  in.settings = &s;
  in.row.fullPath = job.source;
  in.row.typeText = (*texts)[kColType];
  in.row.sampleRateText = (*texts)[kColSampleRate];
  in.row.width = ToInt((*texts)[kColWidth]);
  in.row.height = ToInt((*texts)[kColHeight]);
  in.subtitlePath = job.subtitle;
  in.probe = ProbeSource(job.source);
  job.sourceSeconds = in.probe.result > 0 ? in.probe.summary.duration_s : 0;
  job.sourceRecognised = in.probe.result > 0;
  in.processors = GetProcessorCount();
  EncoderCapabilities ffmpegCaps = GetFfmpegCapabilities(paths.encoder_path_a);
  in.ffmpeg = &ffmpegCaps;

  RowMonitorState& rv = m_monitor.m_zRowVal;
  BuildRowInput rowInput{rv.ulProbeDuration.load(), rv.iCodecOverride.load(), rv.iBadAspectCnt.load()};

  BuiltOptions built;
  job.useAlternative = false;
  if (alternative) {
    EncoderCapabilities mencoder = GetMencoderCapabilities(paths.encoder_path_b, paths.encoder_path_a);
    std::string problem;
    if (!mencoder.runnable)
      problem = mencoder.error.empty() ? "mencoder cannot be run" : mencoder.error;
    else if (mencoder.testDrive < 0)
      problem = mencoder.testDriveText;
    else
      problem = MencoderJobProblem(mencoder, s);
    if (problem.empty()) {
      job.useAlternative = true;
      built = BuildMencoderArgs(in, rowInput);
    } else {
      std::string burnError;
      BurnInSubtitle burnIn = PrepareBurnIn(job.subtitle, s, *job.work, burnError);
      if (!burnError.empty() && subtitleError.empty())
        subtitleError = "the subtitle " + found + " cannot be burned in: " + burnError;
      built = BuildFfmpegFallbackArgs(in, rowInput, burnIn, problem);
    }
  } else {
    built = BuildFfmpegArgs(in, rowInput);
  }
  rv.ulProbeDuration = rowInput.ulProbeDuration;
  job.options = built.text;
  job.error = !rangeProblem.empty() ? rangeProblem : !subtitleError.empty() ? subtitleError : built.error;
  // The probe found sound and no picture: a video converter has nothing to convert, and an
  // output without the video the settings ask for would pass for a converted file. A "wma" row
  // is read for its sound only, so its missing picture says nothing.
  if (job.error.empty() && s.pindex_opti == 0 && s.origin_vdo == 0 && in.probe.result > 0 &&
      strcasecmp(in.row.typeText.c_str(), "wma") != 0 &&
      (*texts)[kColVideo].empty() && in.row.width == 0 && in.row.height == 0 && !(*texts)[kColAudio].empty())
    job.error = "no video stream";
  // The prefix and the new extension can push a long source name past what a folder entry
  // holds; say so plainly instead of letting the encoder fail to open its output.
  if (job.error.empty() && job.outputName.size() > kMaxFileNameBytes)
    job.error = "the output file name is longer than " + std::to_string(kMaxFileNameBytes) +
                " bytes: " + job.outputName;
  for (const std::string& change : built.substitutions)
    job.substitution += (job.substitution.empty() ? "" : "; ") + change;
  DebugLog("", "sFilePath:%s,%s", job.source.c_str(), job.subtitle.c_str());

  return true;
}

int CBatchRun::EncodingFileOne(size_t row) {
  {
    // Only regular files are encoded: a FIFO or a device would block or feed the encoder forever.
    const std::string source = m_env.list->text(row, kColFullPath);
    std::string notRegular = WhyNotRegularFile(source);
    if (!notRegular.empty()) {
      RowProblem(row, source, notRegular);
      return 0;
    }
  }
  Prepared job;
  if (!Prepare(row, job, false)) return 0;
  m_sourceSeconds = job.sourceSeconds;
  m_bSourceRecognised = job.sourceRecognised;
  m_monitor.m_bUseAlternative = job.useAlternative;
  m_env.display->SetText(DisplayText::kOutputName, job.outputName);
  {
    std::lock_guard lock(m_outcomeMutex);
    RowOutcome& outcome = m_outcomes[row];
    outcome.outputPath = job.outputPath;
    // Substitutions are how this machine's encoders are, not errors: noted once per run in the
    // diagnostic log, kept with the row, and written to the error log only when the row fails.
    if (!job.substitution.empty() && outcome.substitution.empty()) {
      outcome.substitution = job.substitution;
      if (m_loggedSubstitutions.insert(job.substitution).second)
        DebugLog(kDebugTarget, "Substitution: %s", job.substitution.c_str());
    }
  }
  if (job.sameFile) {
    RowProblem(row, job.source, m_env.texts->same_file);
    return 0;
  }
  if (!job.refusal.empty()) {
    RowProblem(row, job.source, job.refusal);
    return 0;
  }
  SummariseSettings(row, !job.subtitle.empty());
  int result = EncodingRun(row, job);
  DebugLog("", "EncodingRun:%d", result);
  return result;
}

// The one place that turns a prepared attempt into its command line, so a dry run shows exactly
// what a run starts.
CommandLine CBatchRun::CommandFor(const Prepared& job, const std::string& writePath) const {
  const StoredPaths& paths = *m_env.paths;
  return BuildCommandLine(job.useAlternative ? EncoderKind::Mencoder : EncoderKind::Ffmpeg,
                          job.useAlternative ? paths.encoder_path_b : paths.encoder_path_a, job.source, job.options,
                          m_env.settings->optional, writePath);
}

std::string CBatchRun::OutputRefusal(const Prepared& job) const {
  if (!m_outputFolderError.empty()) return m_outputFolderError;
  for (bool follow : {false, true}) {
    std::optional<FileId> there = FileIdOf(job.outputPath, follow);
    if (there && m_sourceIds.count(*there))
      return std::string(m_env.texts->same_file) + " (" + job.outputPath + " is a source file of this list; it is kept)";
  }
  if (auto it = m_claimedBy.find(job.row); it != m_claimedBy.end())
    return "the output " + job.outputPath + " is also the output of an earlier file of this batch (" + it->second +
           "); only that file is converted to it";
  if (auto it = m_writtenOutputs.find(job.outputPath); it != m_writtenOutputs.end())
    return "the output " + job.outputPath + " was already written by an earlier file of this run (" +
           m_env.list->text(it->second, kColFullPath) + "); it is kept";
  // Another spelling of an output of this run (letter case on a folder that folds it).
  if (std::optional<FileId> there = FileIdOf(job.outputPath, false); there && m_writtenIds.count(*there))
    return "the output " + job.outputPath + " is a file this run has written already under another name; it is kept";
  if (m_env.settings->fn_prefix.empty() && PathEntryExists(job.outputPath))
    return "a file already exists at " + job.outputPath + "; it is kept (an empty file name prefix never replaces a file)";
  return {};
}

std::string CBatchRun::FinishOutput(size_t row, int sourceSeconds) {
  std::lock_guard lock(m_pendingMutex);
  if (m_bAbandoned) return "the program was ended";
  const std::string written = m_pending.TemporaryPath();
  if (written.empty() || FileSizeOf(written) <= 0) return "no output file " + Outcome(row).outputPath;
  if (std::string line = m_monitor.m_zRowVal.szWriteError.Get(); !line.empty())
    return "the encoder could not write the output: " + line;
  if (!m_encoderEndProblem.empty()) return m_encoderEndProblem;
  if (std::string why = JudgeFinishedOutput(written, m_env.settings->output_type, sourceSeconds); !why.empty())
    return why;
  std::string error;
  const std::string finalPath = m_pending.FinalPath();
  if (!m_pending.Commit(!m_env.settings->fn_prefix.empty(), m_sourceIds, &error)) return error;
  m_writtenOutputs.emplace(finalPath, row);
  if (std::optional<FileId> id = FileIdOf(finalPath, false)) m_writtenIds.insert(*id);
  return {};
}

int CBatchRun::EncodingRun(size_t row, const Prepared& job) {
  RowMonitorState& rv = m_monitor.m_zRowVal;
  m_monitor.ClearOutput();
  m_monitor.ResetProgress(0);
  m_monitor.StartFile(FileSizeOf(job.source) / 1024);

  if (!job.error.empty()) {
    RowProblem(row, job.source, job.error);
    return 0;
  }
  // The encoder writes a private file of this attempt; it takes the output's name only when
  // judged whole, so a failed, cancelled or killed run leaves nothing under that name.
  std::string writePath, createError;
  {
    std::lock_guard lock(m_pendingMutex);
    if (m_bAbandoned) return 0;
    if (m_pending.Create(job.outputPath, &createError)) writePath = m_pending.TemporaryPath();
  }
  if (writePath.empty()) {
    RowProblem(row, job.source, createError);
    return 0;
  }
  CommandLine command = CommandFor(job, writePath);
  if (!command.error.empty()) {
    RowProblem(row, job.source, command.error);
    return 0;
  }
  DebugLog(kDebugTarget, "%s", command.text.c_str());
  m_encoderEndProblem.clear();
  rv.szWriteError.Clear();
  {
    std::lock_guard lock(m_outcomeMutex);
    m_outcomes[row].command = command.text;
  }

  rv.bOutputDone = false;
  CRedir redir(&m_monitor, OutputMonitor::OnEncoderOutput, OutputMonitor::OnEncoderTerminate);
  if (!redir.StartChildProcess(command.text, 0, 0)) {
    RowProblem(row, job.source, m_env.texts->no_process);
    return 0;
  }

  m_iChildPid = redir.ChildPid();
  int result = 1;
  bool announced = false;
  while (redir.IsChildRunning()) {
    if (m_zFLAG.bExit || !m_zFLAG.bRunEncoding) {
      DebugLog(kDebugTarget, "m_zFLAG.bExit:%d || !m_zFLAG.bRunEncoding:%d", m_zFLAG.bExit.load(),
               !m_zFLAG.bRunEncoding.load());
      result = 0;
      break;
    }
    if (rv.iSamePosCnt > SAMEPOSCNT_BREAK) {
      DebugLog(kDebugTarget, "m_zRowVal.iSamePosCnt:%d > SAMEPOSCNT_BREAK:%d", rv.iSamePosCnt.load(),
               SAMEPOSCNT_BREAK);
      result = 0;
      break;
    }
    if (!announced && rv.iPercent > 0) {
      m_env.display->SetText(DisplayText::kStatusLine, m_env.texts->converting);
      m_env.display->SelectRow(static_cast<int>(row));
      announced = true;
    }
    // Wakes at once when the encoder ends, so a finished file costs no extra poll step.
    redir.WaitForChildEnd(std::chrono::milliseconds(50));
  }
  std::string lastError = rv.szLastError.Get();
  DebugLog(kDebugTarget, "xRedir.IsChildRunning():%d,%s", redir.IsChildRunning(), lastError.c_str());
  // Only our own encoder is ever stopped; other programs' encoders are left alone.
  redir.TerminateChildProcess();
  m_iChildPid = -1;
  // An encoder ended by something we did not do (a signal such as SIGXFSZ for a file size
  // limit, a crash) left a cut file.
  if (std::optional<platform::ExitInfo> exit = redir.ChildExit(); result == 1 && exit) {
    m_encoderEndProblem = UnexpectedEncoderEnd(*exit);
    if (!m_encoderEndProblem.empty()) RowProblem(row, job.source, m_encoderEndProblem);
  }
  if (!lastError.empty()) ErrorLog(row, job.source + " => " + lastError);
  return result;
}

void CBatchRun::SummariseSettings(size_t row, bool withSubtitle) {
  const EncodingSettings& s = *m_env.settings;
  std::optional<RowTexts> texts = m_env.list->row(row);
  if (!texts) return;
  static const char* const kVideoNames[] = {"x264(H.264)", "xvid(MPEG4)", "mp4v(MPEG4)", ""};
  static const char* const kFps[] = {"15.0", "23.976", "24.0", "25.0", "29.97", "30.0"};
  static const char* const kAudioNames[] = {"aac", "mp3", "mp2", "vorbis"};
  static const char* const kRates[] = {"22050", "24000", "32000", "44100", "48000", "64000"};
  static const char* const kKbps[] = {"48", "64", "128", "192", "256", "320"};
  auto pick = [](const char* const* table, int size, int index) -> std::string {
    return index >= 0 && index < size ? table[index] : "";
  };
  char buf[256];

  const bool videoEncoded = s.pindex_opti == 0 && s.origin_vdo == 0;
  std::string video;
  if (videoEncoded) {
    int codec = m_monitor.m_zRowVal.iCodecOverride >= 0 ? m_monitor.m_zRowVal.iCodecOverride.load() : s.video_compress;
    video = pick(kVideoNames, 4, codec);
  } else {
    video = (*texts)[kColVideo];
  }
  int w = (!videoEncoded || s.size_opt == 1) ? ToInt((*texts)[kColWidth]) : s.size_w;
  int h = (!videoEncoded || s.size_opt == 1) ? ToInt((*texts)[kColHeight]) : s.size_h;
  if (static_cast<int64_t>(w) * h > 0) {
    std::snprintf(buf, sizeof buf, " + %dx%d", w, h);
    video += buf;
  }
  if (videoEncoded) {
    if (s.video_bitrate < 1024)
      std::snprintf(buf, sizeof buf, " + %dkbps", s.video_bitrate);
    else
      std::snprintf(buf, sizeof buf, " + %1.2fmbps", s.video_bitrate / 1024.0);
    video += buf;
    if (s.fps_opt == 0) video += " + " + pick(kFps, 6, s.fps) + "fps";
    // Only a subtitle that goes to the encoder is announced.
    if (s.sub_mapping == 1 && withSubtitle) video += std::string(" + ") + m_env.texts->subtitles_included;
  }
  m_env.display->SetText(DisplayText::kVideoSummary, video);

  const bool audioEncoded = s.pindex_opti == 0 && s.origin_ado == 0;
  std::string audio = audioEncoded ? pick(kAudioNames, 4, s.audio_compress) : (*texts)[kColAudio];
  auto add = [&audio](const std::string& part) { audio += (audio.empty() ? "" : " + ") + part; };
  if (audioEncoded) {
    std::string rate = s.sample_rate_opt ? (*texts)[kColSampleRate] : pick(kRates, 6, s.sample_rate);
    if (ToInt(rate) > 0) add(rate + "Hz");
    add(pick(kKbps, 6, s.audio_bitrate) + "Kbps");
    add(s.channle_mode == 3 ? "mono" : "stereo");
  }
  m_env.display->SetText(DisplayText::kAudioSummary, audio);
}

std::string CBatchRun::DryRunCommand(size_t index, std::string* error) {
  m_outputFolder = m_env.paths->output_folder;
  m_monitor.m_zRowVal.Clear();
  m_monitor.m_zRowVal.iCodecOverride = -1;
  Prepared job;
  if (!Prepare(index, job, true)) {
    if (error) *error = "no such row";
    return {};
  }
  CommandLine command = CommandFor(job, job.outputPath);
  std::string why = !job.error.empty() ? job.error : command.error;
  if (job.sameFile) why = m_env.texts->same_file;
  if (error) *error = why;
  return command.text;
}

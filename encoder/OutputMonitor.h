// Reading an encoder's output: lines, progress, duration, stalls, errors, and the progress display they drive.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "encoder/Display.h"
#include "encoder/OutputBuffer.h"

// The run flags shared by the window, the batch worker and the monitor (`m_zFLAG`).
struct RunFlags {
  std::atomic<bool> bExit{false};         // the window is closing: leave at the next check
  std::atomic<bool> bRunEncoding{false};  // a run is active; clearing it cancels the run
};

// An attempt ends when more than this many progress lines repeat one frame number.
inline constexpr int SAMEPOSCNT_BREAK = 10;

// Longest line the monitor waits for: longer output is cut into lines of this size,
// so the buffer never grows without bound.
inline constexpr size_t kMaxOutputLine = 20479;

// Longest error line kept.
inline constexpr size_t kMaxLastError = 1023;

// A text that one thread writes while another reads it.
class SharedText {
 public:
  std::string Get() const {
    std::lock_guard lock(mutex_);
    return text_;
  }
  void Set(std::string_view text, size_t limit) {
    std::lock_guard lock(mutex_);
    text_.assign(text.substr(0, limit));
  }
  void Clear() {
    std::lock_guard lock(mutex_);
    text_.clear();
  }
  bool Empty() const {
    std::lock_guard lock(mutex_);
    return text_.empty();
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

// What the monitor knows about the file being encoded (`m_zRowVal`). Written on the
// encoder's reader thread, polled by the batch worker.
struct RowMonitorState {
  std::atomic<uint32_t> ulDuration{0};       // source duration in seconds, from the encoder or the probe
  std::atomic<uint32_t> ulProbeDuration{0};  // duration from the probe summary, set by the ffmpeg options
  std::atomic<uint64_t> ulDurationMs{0};     // the encoder's "Duration: " to the millisecond, 0 unknown
  std::atomic<int> iPercent{0};              // progress in percent; may pass 100 in the encoder's count
  std::atomic<int> iBadAspectCnt{0};         // "Invalid pixel aspect ratio" lines before any progress
  std::atomic<int> iSamePosCnt{0};           // consecutive "frame=" lines repeating the last frame number
  std::atomic<int> iLastFrame{0};            // frame number of the last "frame=" line
  SharedText szLastError;                    // last line holding "error " (at most 1023 characters)
  SharedText szWriteError;                   // first line saying the output could not be written
  SharedText szComplaint;                    // first complaint since the last progress line, as words
  std::atomic<bool> bOutputDone{false};      // every complete line received so far is processed
  std::atomic<int> iCodecOverride{-1};       // video codec forced for the next attempt, -1 for none

  // The state of a file not yet tried: everything zero, no codec override.
  void Clear();
};

// What one encoder line says. The monitor decides what of it applies.
struct EncoderLine {
  std::optional<uint32_t> duration;  // "Duration: " value in seconds (0 for N/A)
  bool bad_aspect = false;           // holds "Invalid pixel aspect ratio" (any case)
  std::optional<uint32_t> time;      // " time=" value in seconds
  uint64_t duration_ms = 0;          // the same values to the millisecond: progress is judged on
  uint64_t time_ms = 0;              // these, since whole seconds put a short file's end below 90 %
  std::optional<int> frame;          // number after a leading "frame="
  bool error = false;                // holds "error " (any case)
  std::optional<int> percent;        // the alternative encoder's "Pos:" percentage
  bool write_error = false;          // says that the output could not be written (disk full, size limit)
};

// Whether an encoder line says that writing the output failed. Encoders may still exit with
// success after such a line (ffmpeg on a full disk), leaving a cut file.
bool IsWriteErrorLine(std::string_view line);

// What an encoder line complains about, in words: the line without ffmpeg's "[name @ 0x…] "
// source tag, when it says that something failed, is missing or is invalid; else empty.
// Indented lines (the banner, stream and metadata listings) and the closing "Conversion
// failed!" say nothing of the cause and give nothing.
std::string EncoderComplaint(std::string_view line);

// A line of ffmpeg's output.
EncoderLine ParseFfmpegLine(std::string_view line);
// A line of the alternative encoder's (mencoder's) output.
EncoderLine ParseMencoderLine(std::string_view line);

// "[[hours:]minutes:]seconds[.fraction]" in whole seconds. Empty text, 128 characters
// or more, or three ':' and more give 0; so do negative totals. Saturates at 2^32-1.
uint32_t ReadTimeText(std::string_view text);
// The same time to the millisecond (the fraction's first three digits count); 0 where
// ReadTimeText gives 0 for a malformed or negative time.
uint64_t ReadTimeMillis(std::string_view text);

// The progress figures kept over one run.
struct ProgressState {
  int64_t total_kbytes = 0;     // KiB of the files waiting at the start of the run
  int64_t finished_kbytes = 0;  // KiB of the files already finished in this run
  double run_start = 0;         // seconds on the monitor's clock
  int last_file_percent = 0;    // last per-file percentage shown
  int last_total_percent = 0;   // last overall percentage shown
  int64_t ulCurKbytes = 0;      // KiB of the file being encoded
  double file_start = 0;
};

// The display changes one progress value causes; unset members stay as they are.
struct ProgressView {
  std::optional<int> file_bar;
  std::optional<std::string> file_label;
  std::optional<int> total_bar;
  std::optional<std::string> total_label;
  std::optional<std::string> estimated_total_time;
  std::optional<std::string> elapsed_time;
  std::optional<std::string> remaining_time;
};

// Applies one progress value at time `now` (seconds on the run's clock) to `state` and
// returns what to show. The time estimates assume a constant throughput in KiB of
// source per second over the whole run.
ProgressView ComputeProgress(ProgressState& state, int percent, double now);

// Collects the encoder's output chunks into lines, reads them for whichever encoder
// runs, keeps `m_zRowVal` and drives the progress display. Used as the output and
// termination callbacks of the CRedir of each attempt, with the monitor as user pointer.
class OutputMonitor {
 public:
  explicit OutputMonitor(BatchDisplay& display);

  // CRedir callbacks; `user` is the OutputMonitor.
  static void OnEncoderOutput(void* user, std::string_view text);
  static void OnEncoderTerminate(void* user);

  // Appends a chunk and processes every complete line in it.
  void ProcessChunk(std::string_view text);
  // Processes what is left after the encoder's last line end as a final line.
  void FlushOutput();
  // Empties the output buffer, before each attempt.
  void ClearOutput();
  // What waits in the output buffer for its line end, and the buffer's capacity.
  std::string BufferedOutput();
  size_t OutputCapacity();

  void UpdateProgress(int percent);
  // 1: the overall display and figures; 0: the current file's.
  void ResetProgress(int overall);
  // The run's total KiB; the run starts now.
  void StartRun(int64_t totalKbytes);
  // The current file's KiB; the file starts now.
  void StartFile(int64_t curKbytes);
  // Counts the current file's KiB as finished.
  void FinishFile();
  ProgressState Progress() const;

  // Seconds used for the time estimates; a steady clock unless a test sets another.
  void SetClock(std::function<double()> clock);

  RowMonitorState m_zRowVal;
  // Which encoder runs: set by the batch run for every file, read for every line.
  std::atomic<bool> m_bUseAlternative{false};

 private:
  void ProcessLine(std::string_view line);
  // Keeps the first complaint after the last progress line.
  void NoteComplaint(std::string_view line, bool progress);
  void Show(const ProgressView& view);

  BatchDisplay& m_display;
  std::mutex m_outputMutex;  // the buffer and the line handling
  OutputRingBuffer m_output;
  size_t m_outputSearched = 0;  // leading bytes of m_output known to hold no line end
  mutable std::mutex m_progressMutex;
  ProgressState m_progress;
  std::function<double()> m_clock;
};

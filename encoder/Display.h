// What the batch run shows while it works, as calls on an interface: the main window, the CLI and tests implement it.
#pragma once

#include <string>

// The texts the batch run sets.
enum class DisplayText {
  kStatusLine,          // the status line under the list
  kCurrentFile,         // name of the file being encoded
  kOutputName,          // name of the file being written
  kVideoSummary,        // what the video is turned into
  kAudioSummary,        // what the audio is turned into
  kFilePercent,         // percentage label of the current file
  kTotalPercent,        // percentage label of the whole run
  kEstimatedTotalTime,  // estimated time of the whole run
  kElapsedTime,         // time since the run started
  kRemainingTime,       // estimated time left
  kStartButton,         // the start button's caption (start or cancel)
};

// The two progress bars, 0 to 100.
enum class DisplayBar { kFile, kTotal };

// Calls arrive on the batch worker and on the encoder's reader thread, one at a time
// for a given run. An implementation may block until its own thread has shown the
// change (the main window does), but must not call back into the batch run or the
// output monitor from inside a call.
class BatchDisplay {
 public:
  virtual ~BatchDisplay() = default;

  virtual void SetText(DisplayText which, const std::string& text) = 0;
  virtual void SetBar(DisplayBar which, int percent) = 0;
  // Makes `row` of the file list the only selected row, focused and visible.
  virtual void SelectRow(int row) = 0;
  // Enables or disables what must not change during a run: the window's buttons other
  // than the start button, and the output-folder field.
  virtual void SetControlsEnabled(bool enabled) = 0;
  // Starts or stops the tray icon's animation.
  virtual void SetTrayAnimation(bool running) = 0;
  // Every change that one progress value causes has been set (bars, percentages, times):
  // a display that prints whole lines prints them now, so that they never mix old and new.
  virtual void EndOfUpdate() {}
};

// A stable name for each text, for logs, terminals and tests.
inline const char* DisplayTextName(DisplayText which) {
  switch (which) {
    case DisplayText::kStatusLine: return "status";
    case DisplayText::kCurrentFile: return "current_file";
    case DisplayText::kOutputName: return "output_name";
    case DisplayText::kVideoSummary: return "video_summary";
    case DisplayText::kAudioSummary: return "audio_summary";
    case DisplayText::kFilePercent: return "file_percent";
    case DisplayText::kTotalPercent: return "total_percent";
    case DisplayText::kEstimatedTotalTime: return "estimated_total_time";
    case DisplayText::kElapsedTime: return "elapsed_time";
    case DisplayText::kRemainingTime: return "remaining_time";
    case DisplayText::kStartButton: return "start_button";
  }
  return "?";
}

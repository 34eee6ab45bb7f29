// The batch run's display on a terminal: two progress bars with the time estimates, or plain lines.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "encoder/Display.h"

class TerminalDisplay final : public BatchDisplay {
 public:
  // `live`: redraw one status line in place (a terminal); otherwise print plain lines.
  TerminalDisplay(std::FILE* out, bool live);
  ~TerminalDisplay() override;

  void SetText(DisplayText which, const std::string& text) override;
  void SetBar(DisplayBar which, int percent) override;
  void SelectRow(int) override {}
  void SetControlsEnabled(bool) override {}
  void SetTrayAnimation(bool) override {}
  void EndOfUpdate() override;

  // Clears the live line so that other output starts on a clean line.
  void Finish();

 private:
  void Redraw();
  void PlainLine(const std::string& line);

  std::mutex mutex_;
  std::FILE* out_;
  bool live_;
  bool drawn_ = false;
  int filePercent_ = 0;
  int totalPercent_ = 0;
  int lastPlainFile_ = -1;
  bool plainLinePending_ = false;  // a progress line waits for the rest of its update
  std::string currentFile_, status_, estimated_ = "00:00:00", elapsed_ = "00:00:00", remaining_ = "00:00:00";
};

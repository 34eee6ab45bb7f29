// TerminalDisplay: redraws one line with \r on a terminal, prints changes as lines elsewhere.
#include "cli/TerminalDisplay.h"

namespace {

std::string Bar(int percent, int width) {
  int filled = std::max(0, std::min(width, percent * width / 100));
  return std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '.');
}

}  // namespace

TerminalDisplay::TerminalDisplay(std::FILE* out, bool live) : out_(out), live_(live) {}

TerminalDisplay::~TerminalDisplay() { Finish(); }

void TerminalDisplay::Finish() {
  std::lock_guard lock(mutex_);
  if (live_ && drawn_) {
    std::fputs("\r\033[K", out_);
    std::fflush(out_);
    drawn_ = false;
  }
}

void TerminalDisplay::PlainLine(const std::string& line) {
  if (live_ && drawn_) std::fputs("\r\033[K", out_);
  std::fprintf(out_, "%s\n", line.c_str());
  drawn_ = false;
}

void TerminalDisplay::SetText(DisplayText which, const std::string& text) {
  std::lock_guard lock(mutex_);
  switch (which) {
    case DisplayText::kCurrentFile:
      if (!text.empty() && text != currentFile_) PlainLine("▶ " + text);
      currentFile_ = text;
      lastPlainFile_ = -1;
      break;
    case DisplayText::kStatusLine:
      if (!text.empty() && text != status_) PlainLine(text);
      status_ = text;
      break;
    case DisplayText::kVideoSummary:
    case DisplayText::kAudioSummary:
      if (!text.empty()) PlainLine(std::string("  ") + (which == DisplayText::kVideoSummary ? "video: " : "audio: ") + text);
      break;
    case DisplayText::kOutputName:
      if (!text.empty()) PlainLine("  → " + text);
      break;
    case DisplayText::kEstimatedTotalTime: estimated_ = text; break;
    case DisplayText::kElapsedTime: elapsed_ = text; break;
    case DisplayText::kRemainingTime: remaining_ = text; break;
    default: break;
  }
  if (live_ && !currentFile_.empty()) Redraw();
}

void TerminalDisplay::SetBar(DisplayBar which, int percent) {
  std::lock_guard lock(mutex_);
  (which == DisplayBar::kFile ? filePercent_ : totalPercent_) = percent;
  if (live_) {
    if (!currentFile_.empty()) Redraw();
  } else if (which == DisplayBar::kFile && percent / 10 != lastPlainFile_ / 10 && percent > 0) {
    // The total and the times of this update arrive after the file's bar: the line is
    // printed when the update is complete.
    lastPlainFile_ = percent;
    plainLinePending_ = true;
  }
}

void TerminalDisplay::EndOfUpdate() {
  std::lock_guard lock(mutex_);
  if (live_ || !plainLinePending_) return;
  plainLinePending_ = false;
  char line[256];
  std::snprintf(line, sizeof line, "  file %3d%%  total %3d%%  elapsed %s  remaining %s  (estimated %s)",
                std::min(filePercent_, 99), std::min(totalPercent_, 99), elapsed_.c_str(), remaining_.c_str(),
                estimated_.c_str());
  PlainLine(line);
}

void TerminalDisplay::Redraw() {
  char line[512];
  std::snprintf(line, sizeof line, "\r\033[K  file [%s] %3d%%  total [%s] %3d%%  %s elapsed, %s left of %s",
                Bar(filePercent_, 20).c_str(), std::min(filePercent_, 99), Bar(totalPercent_, 20).c_str(),
                std::min(totalPercent_, 99), elapsed_.c_str(), remaining_.c_str(), estimated_.c_str());
  std::fputs(line, out_);
  std::fflush(out_);
  drawn_ = true;
}

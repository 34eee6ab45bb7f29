// The encoder output monitor: line assembly, line parsing for ffmpeg and mencoder, progress and time estimates.
#include "encoder/OutputMonitor.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

#include "support/AsciiText.h"
#include "support/TextFormat.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Leading blanks, an optional sign, then digits up to the first other character, as
// atoi reads them; saturates instead of overflowing, and no digits read as 0.
int64_t ReadLeadingInteger(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  constexpr int64_t kCap = 1'000'000'000'000;
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) value = std::min(kCap, value * 10 + (text[i] - '0'));
  return negative ? -value : value;
}

int ToInt(int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, INT_MIN, INT_MAX)); }

// "%02d:%02d:%02d" of whole seconds; none for a negative (or absurd) value, which leaves the field as it is.
std::optional<std::string> ClockText(int64_t seconds) {
  std::string out;
  if (!FormatDuration(seconds, out, ':')) return std::nullopt;
  return out;
}

std::optional<int64_t> WholeSeconds(double seconds) {
  if (!(seconds > -1e12 && seconds < 1e12)) return std::nullopt;
  return static_cast<int64_t>(std::trunc(seconds));
}

std::string PercentText(int percent) { return std::to_string(std::min(percent, 99)) + "%"; }

double SteadySeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

// ---------------------------------------------------------------- parsing

uint32_t ReadTimeText(std::string_view text) {
  if (text.empty() || text.size() >= 128) return 0;
  const auto colons = std::count(text.begin(), text.end(), ':');
  if (colons >= 3) return 0;
  int64_t fields[3] = {0, 0, 0};  // hours, minutes, seconds
  int field = 3 - static_cast<int>(colons) - 1;
  for (size_t start = 0; field < 3; ++field) {
    size_t end = std::min(text.find(':', start), text.size());
    // The fraction after '.' goes with the digits: reading stops there.
    fields[field] = ReadLeadingInteger(text.substr(start, end - start));
    start = end + 1;
  }
  const int64_t total = fields[0] * 3600 + fields[1] * 60 + fields[2];
  return static_cast<uint32_t>(std::clamp<int64_t>(total, 0, UINT32_MAX));
}

uint64_t ReadTimeMillis(std::string_view text) {
  if (text.size() >= 128 || std::count(text.begin(), text.end(), ':') >= 3) return 0;
  const uint64_t seconds = ReadTimeText(text);
  uint64_t millis = seconds * 1000;
  const size_t lastColon = text.rfind(':');
  const size_t dot = text.find('.', lastColon == std::string_view::npos ? 0 : lastColon + 1);
  if (TrimBlanks(text).starts_with('-') || dot == std::string_view::npos) return millis;
  if (seconds == 0 && ReadLeadingInteger(text) < 0) return 0;
  uint64_t scale = 100;
  for (size_t i = dot + 1; i < text.size() && scale > 0 && text[i] >= '0' && text[i] <= '9'; ++i, scale /= 10)
    millis += static_cast<uint64_t>(text[i] - '0') * scale;
  return millis;
}

bool IsWriteErrorLine(std::string_view line) {
  for (const char* cause : {"No space left on device", "File too large", "Disk quota exceeded", "Input/output error",
                            "Error writing trailer", "Error writing file"})
    if (ContainsIgnoringCase(line, cause)) return true;
  return false;
}

std::string EncoderComplaint(std::string_view line) {
  if (line.empty() || line[0] == ' ' || line[0] == '\t') return {};
  // "[mov,mp4,m4a,3gp,3g2,mj2 @ 0x55c245e321c0] moov atom not found": the tag names the part of
  // the encoder that speaks and the address of its instance, nothing a user can act on.
  if (line[0] == '[') {
    size_t close = line.find("] ");
    if (close != std::string_view::npos && line.substr(0, close).find(" @ ") != std::string_view::npos)
      line = line.substr(close + 2);
  }
  line = TrimBlanks(line);
  if (line.empty() || ContainsIgnoringCase(line, "Conversion failed!")) return {};
  for (const char* word : {"error", "invalid", "not found", "no such", "failed", "unable", "cannot", "could not",
                           "not supported", "unsupported", "unknown encoder", "permission denied", "no space",
                           "does not contain any stream", "matches no streams", "fatal"})
    if (ContainsIgnoringCase(line, word)) return std::string(line.substr(0, kMaxLastError));
  return {};
}

EncoderLine ParseFfmpegLine(std::string_view line) {
  EncoderLine r;
  if (size_t d = line.find("Duration: "); d != std::string_view::npos) {
    std::string_view value = line.substr(d + 10);
    size_t comma = value.find(',');
    if (comma != std::string_view::npos && comma >= 1) {
      value = value.substr(0, comma);
      r.duration_ms = ReadTimeMillis(value);
      if (size_t dot = value.find('.'); dot != std::string_view::npos && dot >= 1) value = value.substr(0, dot);
      r.duration = ReadTimeText(value);
    }
  }
  r.bad_aspect = ContainsIgnoringCase(line, "invalid pixel aspect ratio");
  if (size_t t = line.find(" time="); t != std::string_view::npos) {
    std::string_view value = line.substr(t + 6);
    size_t blank = value.find(' ');
    if (blank != std::string_view::npos && blank >= 1) {
      r.time = ReadTimeText(value.substr(0, blank));
      r.time_ms = ReadTimeMillis(value.substr(0, blank));
    }
  }
  if (line.starts_with("frame=")) {
    std::string_view value = TrimBlanks(line.substr(6));
    size_t blank = value.find_first_of(" \t");
    if (blank != std::string_view::npos) r.frame = ToInt(ReadLeadingInteger(value.substr(0, blank)));
  }
  r.error = ContainsIgnoringCase(line, "error ");
  r.write_error = IsWriteErrorLine(line);
  return r;
}

EncoderLine ParseMencoderLine(std::string_view line) {
  EncoderLine r;
  r.write_error = IsWriteErrorLine(line);
  // Frame drops are reported between progress lines; they say nothing about progress.
  if (line == "Skipping frame!" || !line.starts_with("Pos:")) return r;
  size_t open = line.find('(');
  if (open == std::string_view::npos) return r;
  size_t percent = line.find('%', open + 1);
  r.percent = percent == std::string_view::npos ? 0 : ToInt(ReadLeadingInteger(line.substr(open + 1, percent - open - 1)));
  return r;
}

// ---------------------------------------------------------------- progress

void RowMonitorState::Clear() {
  ulDuration = 0;
  ulDurationMs = 0;
  ulProbeDuration = 0;
  iPercent = 0;
  iBadAspectCnt = 0;
  iSamePosCnt = 0;
  iLastFrame = 0;
  szLastError.Clear();
  szWriteError.Clear();
  szComplaint.Clear();
  bOutputDone = false;
  iCodecOverride = -1;
}

ProgressView ComputeProgress(ProgressState& state, int percent, double now) {
  ProgressView view;
  percent = std::clamp(percent, 0, 100);
  if (percent == state.last_file_percent) return view;
  state.last_file_percent = percent;
  view.file_bar = percent;
  // A finished file shows 99% until the next reset, so 100% never shows before the end.
  view.file_label = PercentText(percent);

  const auto part = static_cast<int64_t>(std::trunc(static_cast<double>(state.ulCurKbytes) * percent / 100.0));
  const int64_t done = part + state.finished_kbytes;
  if (part > 0 && state.total_kbytes > 0) {
    const int overall = static_cast<int>(std::min<int64_t>(done * 100 / state.total_kbytes, 100));
    if (overall != state.last_total_percent) {
      state.last_total_percent = overall;
      view.total_bar = overall;
      view.total_label = PercentText(overall);
    }
  }
  if (done > 0) {
    const double elapsed = now - state.run_start;
    const double estimated = elapsed * static_cast<double>(state.total_kbytes) / static_cast<double>(done);
    auto total_s = WholeSeconds(estimated);
    auto elapsed_s = WholeSeconds(elapsed);
    if (total_s) view.estimated_total_time = ClockText(*total_s);
    if (elapsed_s) view.elapsed_time = ClockText(*elapsed_s);
    // From the two shown values, so that the three fields always add up.
    if (total_s && elapsed_s) view.remaining_time = ClockText(*total_s - *elapsed_s);
  }
  return view;
}

// ---------------------------------------------------------------- monitor

OutputMonitor::OutputMonitor(BatchDisplay& display) : m_display(display), m_clock(SteadySeconds) {}

void OutputMonitor::SetClock(std::function<double()> clock) {
  std::lock_guard lock(m_progressMutex);
  m_clock = std::move(clock);
}

void OutputMonitor::OnEncoderOutput(void* user, std::string_view text) {
  static_cast<OutputMonitor*>(user)->ProcessChunk(text);
}

void OutputMonitor::OnEncoderTerminate(void* user) { static_cast<OutputMonitor*>(user)->FlushOutput(); }

void OutputMonitor::ProcessChunk(std::string_view text) {
  std::lock_guard lock(m_outputMutex);
  m_output.Append(text);
  for (;;) {
    // ffmpeg redraws its progress line with a bare CR, so CR ends a line as LF does
    // (CR LF thus gives a line and an empty line).
    // Bytes already searched are not searched again, so output without line ends costs
    // time in proportion to its length rather than to its length times the chunk count.
    std::string line;
    size_t end = m_output.FindLineEnd(kMaxOutputLine, m_outputSearched);
    if (end != std::string::npos) {
      line = m_output.Peek(end);
      m_output.Remove(end + 1);
    } else if (m_output.Size() >= kMaxOutputLine) {
      // No line end in sight: the first part counts as a line rather than piling up.
      line = m_output.Peek(kMaxOutputLine);
      m_output.Remove(kMaxOutputLine);
    } else {
      m_outputSearched = m_output.Size();
      break;
    }
    m_outputSearched = 0;
    ProcessLine(line);
  }
  m_zRowVal.bOutputDone = true;
}

void OutputMonitor::FlushOutput() {
  std::lock_guard lock(m_outputMutex);
  if (m_output.Size() > 0) {
    std::string line = m_output.Peek(m_output.Size());
    m_output.Clear();
    m_outputSearched = 0;
    ProcessLine(line);
  }
  m_zRowVal.bOutputDone = true;
}

void OutputMonitor::ClearOutput() {
  std::lock_guard lock(m_outputMutex);
  m_output.Clear();
  m_outputSearched = 0;
}

std::string OutputMonitor::BufferedOutput() {
  std::lock_guard lock(m_outputMutex);
  return m_output.Peek(m_output.Size());
}

size_t OutputMonitor::OutputCapacity() {
  std::lock_guard lock(m_outputMutex);
  return m_output.Capacity();
}

void OutputMonitor::ProcessLine(std::string_view line) {
  RowMonitorState& row = m_zRowVal;
  if (m_bUseAlternative) {
    EncoderLine parsed = ParseMencoderLine(line);
    if (parsed.write_error && row.szWriteError.Empty()) row.szWriteError.Set(line, kMaxLastError);
    NoteComplaint(line, parsed.percent.has_value());
    if (parsed.percent) {
      UpdateProgress(*parsed.percent);
      row.iPercent = *parsed.percent;
    }
    return;
  }
  EncoderLine parsed = ParseFfmpegLine(line);
  if (parsed.duration && row.ulDuration == 0) {
    row.ulDuration = *parsed.duration;
    row.ulDurationMs = parsed.duration_ms;
  }
  if (parsed.bad_aspect && row.iPercent <= 0) ++row.iBadAspectCnt;
  if (parsed.time) {
    if (row.ulDuration == 0) row.ulDuration = row.ulProbeDuration.load();
    // To the millisecond: a 2 s clip whose last frame starts at 1.96 s is at 98 %, not at the
    // 50 % that whole seconds (1 of 2) would make of it.
    const uint64_t durationMs = row.ulDurationMs != 0 ? row.ulDurationMs.load() : uint64_t{row.ulDuration} * 1000;
    if (durationMs > 0) {
      const int percent = ToInt(static_cast<int64_t>(std::min<uint64_t>(parsed.time_ms * 100 / durationMs, INT_MAX)));
      UpdateProgress(percent);
      row.iPercent = percent;
      row.iBadAspectCnt = 0;
    }
  }
  if (parsed.frame) {
    // ffmpeg repeats "frame=    0" while its encoder fills its look-ahead at the start; that is
    // slow progress, not a stalled file, so only a number that stopped moving counts.
    if (*parsed.frame == row.iLastFrame && *parsed.frame != 0)
      ++row.iSamePosCnt;
    else
      row.iSamePosCnt = 0;
    row.iLastFrame = *parsed.frame;
  }
  if (parsed.error) row.szLastError.Set(line, kMaxLastError);
  if (parsed.write_error && row.szWriteError.Empty()) row.szWriteError.Set(line, kMaxLastError);
  NoteComplaint(line, parsed.time.has_value() || parsed.frame.has_value());
}

void OutputMonitor::NoteComplaint(std::string_view line, bool progress) {
  RowMonitorState& row = m_zRowVal;
  // An encoder names the cause first and its consequences after it ("moov atom not found",
  // then "Invalid data found when processing input"); complaints before progress went on
  // were got over.
  if (progress) {
    row.szComplaint.Clear();
  } else if (row.szComplaint.Empty()) {
    if (std::string complaint = EncoderComplaint(line); !complaint.empty()) row.szComplaint.Set(complaint, kMaxLastError);
  }
}

void OutputMonitor::UpdateProgress(int percent) {
  ProgressView view;
  {
    std::lock_guard lock(m_progressMutex);
    view = ComputeProgress(m_progress, percent, m_clock());
  }
  // Shown outside the lock: a display may wait for its own thread.
  Show(view);
}

void OutputMonitor::Show(const ProgressView& view) {
  if (view.file_bar) m_display.SetBar(DisplayBar::kFile, *view.file_bar);
  if (view.file_label) m_display.SetText(DisplayText::kFilePercent, *view.file_label);
  if (view.total_bar) m_display.SetBar(DisplayBar::kTotal, *view.total_bar);
  if (view.total_label) m_display.SetText(DisplayText::kTotalPercent, *view.total_label);
  if (view.estimated_total_time) m_display.SetText(DisplayText::kEstimatedTotalTime, *view.estimated_total_time);
  if (view.elapsed_time) m_display.SetText(DisplayText::kElapsedTime, *view.elapsed_time);
  if (view.remaining_time) m_display.SetText(DisplayText::kRemainingTime, *view.remaining_time);
  if (view.file_bar) m_display.EndOfUpdate();
}

void OutputMonitor::ResetProgress(int overall) {
  {
    std::lock_guard lock(m_progressMutex);
    if (overall) {
      m_progress.total_kbytes = 0;
      m_progress.finished_kbytes = 0;
      m_progress.run_start = 0;
      m_progress.last_total_percent = 0;
    } else {
      m_progress.last_file_percent = 0;
      m_progress.file_start = 0;
      m_progress.ulCurKbytes = 0;
    }
  }
  m_display.SetText(overall ? DisplayText::kTotalPercent : DisplayText::kFilePercent, "00%");
  m_display.SetBar(overall ? DisplayBar::kTotal : DisplayBar::kFile, 0);
}

void OutputMonitor::StartRun(int64_t totalKbytes) {
  std::lock_guard lock(m_progressMutex);
  m_progress.total_kbytes = totalKbytes;
  m_progress.run_start = m_clock();
}

void OutputMonitor::StartFile(int64_t curKbytes) {
  std::lock_guard lock(m_progressMutex);
  m_progress.ulCurKbytes = curKbytes;
  m_progress.file_start = m_clock();
}

void OutputMonitor::FinishFile() {
  std::lock_guard lock(m_progressMutex);
  m_progress.finished_kbytes += m_progress.ulCurKbytes;
}

ProgressState OutputMonitor::Progress() const {
  std::lock_guard lock(m_progressMutex);
  return m_progress;
}

// The manifest of finished files and the display wrapper that times each file.
#include "cli/Manifest.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <unistd.h>

#include "cli/Console.h"
#include "cli/TextOutput.h"
#include "encoder/PathText.h"
#include "probe/ListRow.h"

#ifdef _WIN32
#include "platform/win32/CommandLine.h"
#include "support/WideText.h"
#endif

namespace {

std::string Utc() {
  std::tm tm = UtcTime(std::time(nullptr));
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

int64_t SizeOf(const std::string& path) {
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(FsPath(path), ec)) return -1;
  std::uintmax_t size = std::filesystem::file_size(FsPath(path), ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

}  // namespace

std::optional<ManifestEntry> EntryForRow(const FileList& list, size_t row, const InterfaceTexts& texts,
                                         const RowOutcome& outcome, double seconds) {
  std::string status = list.text(row, kColStatus);
  ManifestEntry e;
  if (status == texts.status_done) {
    e.status = "done";
  } else if (status == texts.status_error || status == texts.status_failed) {
    e.status = "failed";
  } else {
    return std::nullopt;
  }
  e.source = list.text(row, kColFullPath);
  e.sourceBytes = SizeOf(e.source);
  if (e.status == "done") {
    e.output = outcome.outputPath;
    e.outputBytes = SizeOf(e.output);
  }
  e.seconds = seconds;
  e.command = outcome.command;
  e.message = outcome.failure.empty() ? outcome.message : outcome.failure;
  if (e.status == "failed" && e.message.empty()) e.message = status;
  return e;
}

std::string ShellCommandLine(int argc, char** argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (!line.empty()) line += ' ';
#ifdef _WIN32
    // Quoted by the rules the C runtime splits a command line by: a program started with this
    // line gets these arguments back.
    line += Utf8FromWide(platform::win32::QuoteArgument(WideFromUtf8(a)));
#else
    bool plain = !a.empty() && a.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                   "0123456789-_./=:,+%@") == std::string::npos;
    if (plain) {
      line += a;
    } else {
      line += '\'';
      for (char c : a) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
      line += '\'';
    }
#endif
  }
  return line;
}

Manifest::~Manifest() {
  if (fd_ >= 0) ::close(fd_);
}

bool Manifest::Open(const std::string& path, const std::string& commandLine, std::string& error) {
  std::string why;
  int fd = OpenForAppending(path, why);
  if (fd < 0) {
    error = "cannot open manifest '" + TerminalSafe(path) + "': " + why;
    return false;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  path_ = path;
  invocation_ = commandLine;
  host_ = HostName();
  return true;
}

std::string Manifest::Line(const ManifestEntry& e) const {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f", e.seconds);
  auto bytes = [](int64_t n) { return n < 0 ? std::string("null") : std::to_string(n); };
  std::string line = "{\"source\":" + JsonString(e.source) + ",\"output\":" +
                     (e.output.empty() ? std::string("null") : JsonString(e.output)) +
                     ",\"status\":" + JsonString(e.status) + ",\"duration\":" + seconds +
                     ",\"source_bytes\":" + bytes(e.sourceBytes) + ",\"output_bytes\":" + bytes(e.outputBytes) +
                     ",\"command\":" + JsonString(e.command) + ",\"message\":" + JsonString(e.message) +
                     ",\"invocation\":" + JsonString(invocation_) + ",\"host\":" + JsonString(host_) +
                     ",\"finished\":" + JsonString(Utc()) + "}\n";
  return line;
}

bool Manifest::Write(const ManifestEntry& entry) {
  std::lock_guard lock(mutex_);
  if (fd_ < 0) return false;
  std::string line = Line(entry);
  size_t done = 0;
  while (done < line.size()) {
    ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (!warned_) std::fprintf(stderr, "zelvora encode: cannot write manifest '%s': %s\n",
                                 TerminalSafe(path_).c_str(), std::strerror(errno));
      warned_ = true;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

void RowTimingDisplay::SelectRow(int row) {
  inner_.SelectRow(row);
  int left = -1;
  double seconds = 0;
  {
    std::lock_guard lock(mutex_);
    if (row == row_) return;
    auto now = std::chrono::steady_clock::now();
    if (row_ >= 0) {
      left = row_;
      seconds = std::chrono::duration<double>(now - started_).count();
    }
    row_ = row;
    started_ = now;
  }
  if (left >= 0) finished_(static_cast<size_t>(left), seconds);
}

void RowTimingDisplay::Finish() {
  int left = -1;
  double seconds = 0;
  {
    std::lock_guard lock(mutex_);
    if (row_ >= 0) {
      left = row_;
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }
    row_ = -1;
  }
  if (left >= 0) finished_(static_cast<size_t>(left), seconds);
}

// Diagnostic log writer: stateless, lock-free, one open/append/close per record.
#include "support/DebugLog.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "support/FileUtils.h"
#include "support/WideText.h"
#ifdef _WIN32
#include <io.h>
#endif

namespace {

constexpr size_t kMaxText = 4095;
#ifdef _WIN32
constexpr const char* kSeparators = "/\\";  // Windows takes both slashes in a path
constexpr const char* kJoin = "\\";
#else
constexpr const char* kSeparators = "/";
constexpr const char* kJoin = "/";
#endif

std::tm LocalTime(long long when) {
  std::time_t t = static_cast<std::time_t>(when);
  std::tm tm{};
#ifdef _WIN32
  localtime_s(&tm, &t);
#else
  localtime_r(&t, &tm);
#endif
  return tm;
}

#ifndef _WIN32
// An XDG folder variable counts only when it holds an absolute path, as for the other folders.
std::string EnvOr(const char* name, const char* homeRelative) {
  const char* v = std::getenv(name);
  if (v && *v == '/') return v;
  const char* home = std::getenv("HOME");
  return std::string(home ? home : "") + homeRelative;
}
#endif

// Appends one whole line with a single write, so concurrent records never interleave.
bool AppendLine(const std::string& path, const std::string& line) {
#ifdef _WIN32
  // Append-only handles do not keep concurrent writes whole everywhere (Wine), so every
  // writer, in this process or another, takes a lock on one byte far past any real end first.
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  OVERLAPPED lockAt{};
  lockAt.Offset = 0xFFFFFFF0;
  lockAt.OffsetHigh = 0x7FFFFFFF;
  if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &lockAt)) {
    ::CloseHandle(h);
    return false;
  }
  LARGE_INTEGER zero{};
  DWORD written = 0;
  BOOL ok = ::SetFilePointerEx(h, zero, nullptr, FILE_END) &&
            ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  ::UnlockFileEx(h, 0, 1, 0, &lockAt);
  ::CloseHandle(h);
  return ok && written == line.size();
#else
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  ssize_t n = ::write(fd, line.data(), line.size());
  ::close(fd);
  return n == static_cast<ssize_t>(line.size());
#endif
}

bool WriteRecord(const char* target, std::string text, bool allowStdout) {
  if (text.size() > 2 && text.back() == '\n') text.pop_back();
  if (text.empty()) return false;
  if (allowStdout && std::strcmp(target, "stdout") == 0) {
    std::string out = text + "\n";
    return std::fwrite(out.data(), 1, out.size(), stdout) == out.size();
  }
  if (text.size() > 1 && text.back() == '\n') text.pop_back();
  long long now = static_cast<long long>(std::time(nullptr));
  std::string line = LogTimestamp(now) + " " + text + "\r\n";
  return AppendLine(ResolveLogPath(target, now), line);
}

std::string FormatText(const char* prefix, const char* format, va_list args) {
  char buffer[kMaxText + 1] = {};
  size_t used = 0;
  if (prefix) {
    used = std::min(std::strlen(prefix), kMaxText);
    std::memcpy(buffer, prefix, used);
  }
  if (format) std::vsnprintf(buffer + used, sizeof buffer - used, format, args);
  return std::string(buffer, strnlen(buffer, kMaxText));
}

}  // namespace

#ifdef _WIN32
std::string DebugLogFolder() {
  // The wide variable: the narrow copy holds the ANSI code page's rendering of the name.
  const wchar_t* moved = ::_wgetenv(L"ZELVORA_DEBUG_LOG_FOLDER");
  return moved && *moved ? Utf8FromWide(moved) : std::string("C:\\debug_logs");
}

std::string DefaultErrorLogPath() {
  std::string folder = RunningExecutablePath();
  size_t cut = folder.find_last_of(kSeparators);
  folder = cut == std::string::npos ? std::string(".") : folder.substr(0, cut);
  return folder + "\\error_log.txt";
}
#else
std::string DebugLogFolder() { return EnvOr("XDG_STATE_HOME", "/.local/state") + "/zelvora/debug_logs"; }

std::string DefaultErrorLogPath() { return EnvOr("XDG_STATE_HOME", "/.local/state") + "/zelvora/error_log.txt"; }
#endif

std::string LogTimestamp(long long when) {
  static const char* const kDays[] = {"Su", "Mo", "Tu", "We", "Th", "Fr", "Sa"};
  std::tm tm = LocalTime(when);
  char out[40];
  std::snprintf(out, sizeof out, "%04d.%02d.%02d %s %02d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1,
                tm.tm_mday, kDays[tm.tm_wday % 7], tm.tm_hour, tm.tm_min, tm.tm_sec);
  return out;
}

std::string ResolveLogPath(const std::string& target, long long when) {
  if (target.find_first_of(kSeparators) == std::string::npos) return DebugLogFolder() + kJoin + target;
  // The stamp goes before the extension of the file name only: a dot in a folder name
  // (~/.local, v1.2/) must not move the record into a folder that does not exist.
  size_t nameStart = target.find_last_of(kSeparators) + 1;
  size_t dot = target.rfind('.');
  if (dot == std::string::npos || dot <= nameStart) return target;
  std::tm tm = LocalTime(when);
  char stamp[32];
  std::string separated = target;
  for (char& c : separated)
    if (std::strchr(kSeparators, c)) c = '/';
  if (separated.find("/time_logs/") != std::string::npos)
    std::snprintf(stamp, sizeof stamp, "%d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour);
  else
    std::snprintf(stamp, sizeof stamp, "%d%02d", tm.tm_year + 1900, tm.tm_mon + 1);
  return target.substr(0, dot) + "_" + stamp + target.substr(dot);
}

bool DebugLog(const char* target, const char* format, ...) {
  if (!target || !*target) return false;
  va_list args;
  va_start(args, format);
  std::string text = FormatText(nullptr, format, args);
  va_end(args);
  return WriteRecord(target, std::move(text), true);
}

bool DebugLogPrefixed(const char* prefix, const char* target, const char* format, ...) {
  if (!target || !*target) return false;
  va_list args;
  va_start(args, format);
  std::string text = FormatText(prefix, format, args);
  va_end(args);
  return WriteRecord(target, std::move(text), false);
}

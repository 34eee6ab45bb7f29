// Diagnostic log: one-line records appended to a file that exists only when support switched it on.
#pragma once

#include <string>

// Target of the program's own diagnostic records.
inline constexpr const char* kDebugTarget = "debug.log";

// Formats one record and appends it to `target`:
//  - null or empty: dropped;
//  - "stdout": printed with a newline;
//  - a bare name: the file of that name in the diagnostic folder (never created by us);
//  - a path: that file with a month stamp (an hour stamp below a "time_logs" folder)
//    inserted before the extension of its file name.
// Every record is one write on an O_APPEND descriptor, so records of concurrent
// threads never mix inside a line. Returns whether a record was written.
bool DebugLog(const char* target, const char* format, ...) __attribute__((format(printf, 2, 3)));

// As DebugLog, with `prefix` in front of the text; "stdout" is a plain file name here.
bool DebugLogPrefixed(const char* prefix, const char* target, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// The folder that receives bare-name targets: $XDG_STATE_HOME/zelvora/debug_logs
// (default ~/.local/state/zelvora/debug_logs). On Windows the fixed folder C:\debug_logs, or
// the one ZELVORA_DEBUG_LOG_FOLDER names (test programs that run side by side each use their
// own, since creating and removing the folder switches the log on and off).
std::string DebugLogFolder();

// The batch run's error log when no path is stored: $XDG_STATE_HOME/zelvora/error_log.txt
// (default ~/.local/state/zelvora/error_log.txt), month-stamped like every path target. Never
// beside the program, which an installed copy cannot write. On Windows, where the program's
// folder is where its users look for it, error_log.txt beside the program.
std::string DefaultErrorLogPath();

// The file a path target resolves to at local time `when` (seconds since 1970).
std::string ResolveLogPath(const std::string& target, long long when);

// "YYYY.MM.DD Ww hh:mm:ss" in local time.
std::string LogTimestamp(long long when);

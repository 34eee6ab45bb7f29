// What the zelvora command asks of the system it runs on: its arguments and output as UTF-8,
// stop requests from the user or the system, the terminal, append-only files, the host name.
// cli/posix/ and cli/win32/ implement it.
#pragma once

#include <cstdio>
#include <ctime>
#include <functional>
#include <string>

// Readies the process before anything else runs. POSIX: a write past a file size limit fails
// like a full disk instead of ending the process. Windows: the arguments are taken again from
// the wide command line as UTF-8 (argc and argv then describe them), the console shows UTF-8
// output, and standard output and standard error write line ends as "\n" alone, as on POSIX.
void PrepareProcess(int& argc, char**& argv);

// Whether `stream` is an interactive terminal that takes the line redraw sequences ("\r", ESC [K).
bool IsLiveTerminal(std::FILE* stream);

// A request to stop, from the user or the system.
struct StopRequest {
  bool interrupt = false;  // Ctrl-C: the first one cancels, a second one quits
  int exitStatus = 0;      // the exit status when the program quits for it
  std::string name;        // how the user is told ("Ctrl-C", "TERM", "the console was closed")
};

// From now on stop requests go to `onStop` on a thread of the watcher's own, one at a time;
// `onStop` returns true to go on, false to end the process at once with the request's exit
// status. POSIX: SIGINT, SIGTERM and SIGHUP (blocked in this thread and the threads it starts
// later; exit status 128 + the signal number). Windows: Ctrl-C (130, as SIGINT), the console
// closed (129, as SIGHUP), Ctrl-Break, log-off and shut-down (143, as SIGTERM).
void WatchStopRequests(std::function<bool(const StopRequest&)> onStop);

// Opens `path` for appending (created when missing): a descriptor for write(), or -1 with the
// reason in `error`.
int OpenForAppending(const std::string& path, std::string& error);

// This machine's name, or empty.
std::string HostName();

// The UTC calendar time of `when` (all zero when the system cannot tell).
std::tm UtcTime(std::time_t when);

// Starting helper programs and ending running copies of a program file (programs are found
// with platform::FindExecutable).
#pragma once

#include <string>
#include <vector>

// Runs argv (argv[0] found with platform::FindExecutable), no shell, stdin and stderr on
// /dev/null, and waits for it. Its standard output is collected into *output (at most
// `maxOutput` bytes are kept) when given. A child still running after `timeoutMs` is killed.
// Returns the exit status, or -1 when it could not be started, was killed or timed out.
int RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr, int timeoutMs = 10000,
               size_t maxOutput = 1 << 20);

// Starts argv without waiting for it (no shell; argv[0] found like every program we start);
// it is reaped in the background.
// Returns true when the program was started.
bool SpawnDetached(const std::vector<std::string>& argv);

// Counts the running processes of the current user whose executable is the file `exePath`
// (the same file, not merely the same name: the copy of another user or another folder is
// never touched; this process itself is never counted). With `terminate` each is asked to end
// (SIGTERM, then SIGKILL) and waited for up to 2000 ms; it counts when the signal was delivered.
// Returns 0 when the process list cannot be read.
int KillProcessByName(const std::string& exePath, bool terminate);

// Opens `url` in the user's web browser through xdg-open (no shell).
// Returns 1 when xdg-open was started, 0 otherwise.
int OpenWebPage(const std::string& url);

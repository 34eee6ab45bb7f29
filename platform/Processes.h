// Starting detached helper programs and ending running copies of a program file. (Programs are
// found with platform::FindExecutable; short helpers whose output is wanted run through
// RunAndCapture.)
#pragma once

#include <string>
#include <vector>

// Starts argv without waiting for it (no shell; argv[0] found like every program we start);
// it is reaped in the background.
// Returns true when the program was started.
bool SpawnDetached(const std::vector<std::string>& argv);

// Counts the running processes of the current user whose executable is the file `exePath`
// (the same file, not merely the same name: the copy of another user or another folder is
// never touched; this process itself is never counted). With `terminate` each is asked to end
// (SIGTERM, then SIGKILL; on Windows TerminateProcess, which asks nothing) and waited for up to
// 2000 ms; it counts when the signal was delivered.
// Returns 0 when the process list cannot be read.
int KillProcessByName(const std::string& exePath, bool terminate);

// Opens `url` in the user's web browser through xdg-open (no shell); on Windows through the
// shell's "open", which runs programs too, so there only http:// and https:// addresses.
// Returns 1 when xdg-open (the shell) took the address, 0 otherwise.
int OpenWebPage(const std::string& url);

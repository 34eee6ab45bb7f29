// Runs a short helper command (an encoder's listing, a test conversion) and collects its output.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct CaptureResult {
  bool started = false;   // the program could be started at all
  bool timedOut = false;  // it was ended after the time limit
  int exitStatus = -1;    // its exit status; -1 when it did not exit normally
  std::string output;     // standard output and error together, cut at the output limit
  std::string error;      // why it could not be started or did not end normally
};

// Runs argv through the process layer (no shell; stdout and stderr on one pipe; a process group
// of its own). Waits at most `timeoutMs`, then stops the group. Keeps at most `maxOutput` bytes.
CaptureResult RunAndCapture(const std::vector<std::string>& argv, int timeoutMs, size_t maxOutput = 1 << 20);

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

// Starts argv[0] (searched on PATH when it holds no '/') with argv, without any shell, stdin on
// /dev/null and stdout+stderr on one pipe, in a process group of its own. Waits at most
// `timeoutMs`, then kills the group. Keeps at most `maxOutput` bytes of output.
CaptureResult RunAndCapture(const std::vector<std::string>& argv, int timeoutMs, size_t maxOutput = 1 << 20);

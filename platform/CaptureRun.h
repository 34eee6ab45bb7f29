// Runs a short helper command (an encoder's listing, a test conversion, fc-match) and collects its output.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct CaptureResult {
  bool started = false;   // the program could be started at all
  bool timedOut = false;  // it was ended after the time limit
  int exitStatus = -1;    // its exit status; -1 when it did not exit normally
  std::string output;     // what it wrote (see CaptureStreams), cut at the output limit
  std::string error;      // why it could not be started or did not end normally
};

// Which of the helper's streams are collected.
enum class CaptureStreams {
  kOutputAndErrors,  // standard output and standard error together, in the order written
  kOutputOnly,       // standard error goes to /dev/null: for helpers whose answer is their output
};

// Runs argv through the process layer (no shell; argv[0] found with platform::FindExecutable;
// a process group of its own; normal priority). Waits at most `timeoutMs`, then stops the
// group; the child is always reaped, and the call never waits for anything the helper left
// behind. Keeps at most `maxOutput` bytes and discards the rest.
CaptureResult RunAndCapture(const std::vector<std::string>& argv, int timeoutMs, size_t maxOutput = 1 << 20,
                            CaptureStreams streams = CaptureStreams::kOutputAndErrors);

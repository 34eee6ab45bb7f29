// Short helper commands through the process layer: one reader thread, a time limit, a bounded output.
#include "platform/CaptureRun.h"

#include <algorithm>
#include <array>
#include <thread>

#include "platform/Process.h"

CaptureResult RunAndCapture(const std::vector<std::string>& argv, int timeoutMs, size_t maxOutput,
                            CaptureStreams streams) {
  CaptureResult result;
  platform::ProcessOptions options;
  options.below_normal_priority = false;
  options.discard_error_output = streams == CaptureStreams::kOutputOnly;
  std::unique_ptr<platform::ChildProcess> child = platform::ChildProcess::Start(argv, options, result.error);
  if (!child) {
    if (result.error.empty()) result.error = "cannot start " + (argv.empty() ? std::string("(nothing)") : argv[0]);
    return result;
  }
  result.started = true;
  std::array<char, 8192> buffer;
  auto keep = [&](size_t bytes) {
    size_t room = maxOutput - std::min(maxOutput, result.output.size());
    result.output.append(buffer.data(), std::min(room, bytes));
  };
  platform::WakeEvent ended;
  std::thread reader([&] {
    for (;;) {
      platform::ReadResult r = child->ReadOutput(buffer, &ended);
      if (r.status != platform::ReadStatus::kData) break;
      keep(r.bytes);
    }
  });
  auto status = child->WaitForExit(std::chrono::milliseconds(timeoutMs));
  result.timedOut = status != platform::WaitStatus::kExited;
  // Also ends whatever the helper left behind in its group.
  platform::ExitInfo exit = child->Terminate(std::chrono::milliseconds(0));
  ended.Set();
  reader.join();
  // The child has ended, so all it wrote is in the pipe: take the rest without waiting for the
  // end of the pipe, which a process it started in a session of its own may still hold open
  // (and write to: so only while there is room to keep it).
  while (result.output.size() < maxOutput) {
    platform::ReadResult r = child->ReadAvailable(buffer);
    if (r.status != platform::ReadStatus::kData) break;
    keep(r.bytes);
  }
  if (result.timedOut)
    result.error = argv[0] + " did not finish within " + std::to_string(timeoutMs / 1000) + " s";
  else if (exit.signalled)
    result.error = argv[0] + " was ended by signal " + std::to_string(exit.code);
  else
    result.exitStatus = exit.code;
  return result;
}

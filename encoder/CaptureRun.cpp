// Short helper commands through the process layer: one reader thread, a time limit, a bounded output.
#include "encoder/CaptureRun.h"

#include <algorithm>
#include <array>
#include <thread>

#include "platform/Process.h"

CaptureResult RunAndCapture(const std::vector<std::string>& argv, int timeoutMs, size_t maxOutput) {
  CaptureResult result;
  platform::ProcessOptions options;
  options.below_normal_priority = false;
  std::unique_ptr<platform::ChildProcess> child = platform::ChildProcess::Start(argv, options, result.error);
  if (!child) {
    if (result.error.empty()) result.error = "cannot start " + (argv.empty() ? std::string("(nothing)") : argv[0]);
    return result;
  }
  result.started = true;
  std::thread reader([&] {
    std::array<char, 8192> buffer;
    for (;;) {
      platform::ReadResult r = child->ReadOutput(buffer);
      if (r.status != platform::ReadStatus::kData) break;
      size_t room = maxOutput - std::min(maxOutput, result.output.size());
      result.output.append(buffer.data(), std::min(room, r.bytes));
    }
  });
  auto status = child->WaitForExit(std::chrono::milliseconds(timeoutMs));
  result.timedOut = status != platform::WaitStatus::kExited;
  // Also ends whatever the helper left behind, so that the reader sees the end of the output.
  platform::ExitInfo exit = child->Terminate(std::chrono::milliseconds(0));
  reader.join();
  if (result.timedOut)
    result.error = argv[0] + " did not finish within " + std::to_string(timeoutMs / 1000) + " s";
  else if (exit.signalled)
    result.error = argv[0] + " was ended by signal " + std::to_string(exit.code);
  else
    result.exitStatus = exit.code;
  return result;
}

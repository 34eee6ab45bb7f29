// Power-off through logind: asked with busctl, done with systemctl.
#include "platform/PowerOff.h"

#include <cstdlib>
#include <string>

#include "platform/CaptureRun.h"
#include "platform/Process.h"

namespace {

// ZELVORA_POWER_OFF_PROGRAM names a program that stands in for logind: asked with
// "can-power-off" and told "power-off", exit status 0 meaning yes. The test suite points it at
// programs of its own so that no test can ever power the machine off.
std::string PowerOffProgram() {
  const char* program = std::getenv("ZELVORA_POWER_OFF_PROGRAM");
  return program ? program : "";
}

bool AskPowerOffProgram(const std::string& program, const char* what) {
  return RunAndCapture({program, what}, 60000, 4096, CaptureStreams::kOutputOnly).exitStatus == 0;
}

}  // namespace

int SystemPowerControl::EnableShutdownPrivilege() {
  if (const std::string program = PowerOffProgram(); !program.empty())
    return AskPowerOffProgram(program, "can-power-off") ? 1 : 0;
  // There is no privilege to switch on here: logind decides per request. Ask it whether it
  // would allow this user a power-off, so that a refusal is known before the run ends.
  if (platform::FindExecutable("busctl").empty()) return platform::FindExecutable("systemctl").empty() ? 0 : 1;
  CaptureResult r = RunAndCapture({"busctl", "call", "org.freedesktop.login1", "/org/freedesktop/login1",
                                   "org.freedesktop.login1.Manager", "CanPowerOff"},
                                  10000, 4096, CaptureStreams::kOutputOnly);
  if (r.exitStatus != 0) return 0;
  const std::string& answer = r.output;
  return answer.find("\"yes\"") != std::string::npos || answer.find("\"challenge\"") != std::string::npos ? 1 : 0;
}

int SystemPowerControl::PowerOff() {
  if (const std::string program = PowerOffProgram(); !program.empty())
    return AskPowerOffProgram(program, "power-off") ? 1 : 0;
  return RunAndCapture({"systemctl", "poweroff"}, 60000, 4096, CaptureStreams::kOutputOnly).exitStatus == 0 ? 1 : 0;
}

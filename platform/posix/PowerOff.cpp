// Power-off through logind: asked with busctl, done with systemctl.
#include "platform/PowerOff.h"

#include <atomic>
#include <string>

#include "platform/Process.h"
#include "platform/Processes.h"

int SystemPowerControl::EnableShutdownPrivilege() {
  // There is no privilege to switch on here: logind decides per request. Ask it whether it
  // would allow this user a power-off, so that a refusal is known before the run ends.
  if (platform::FindExecutable("busctl").empty()) return platform::FindExecutable("systemctl").empty() ? 0 : 1;
  std::string answer;
  if (RunProgram({"busctl", "call", "org.freedesktop.login1", "/org/freedesktop/login1",
                  "org.freedesktop.login1.Manager", "CanPowerOff"},
                 &answer, 10000, 4096) != 0)
    return 0;
  return answer.find("\"yes\"") != std::string::npos || answer.find("\"challenge\"") != std::string::npos ? 1 : 0;
}

int SystemPowerControl::PowerOff() { return RunProgram({"systemctl", "poweroff"}, nullptr, 60000) == 0 ? 1 : 0; }

namespace {

SystemPowerControl gSystemPower;
std::atomic<PowerControl*> gPowerControl{nullptr};

}  // namespace

PowerControl& CurrentPowerControl() {
  PowerControl* c = gPowerControl.load();
  return c ? *c : gSystemPower;
}

void SetPowerControl(PowerControl* control) { gPowerControl.store(control); }

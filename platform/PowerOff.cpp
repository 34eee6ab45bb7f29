// The power control in use: the system's own unless a test installed another.
#include "platform/PowerOff.h"

#include <atomic>

namespace {

SystemPowerControl gSystemPower;
std::atomic<PowerControl*> gPowerControl{nullptr};

}  // namespace

PowerControl& CurrentPowerControl() {
  PowerControl* c = gPowerControl.load();
  return c ? *c : gSystemPower;
}

void SetPowerControl(PowerControl* control) { gPowerControl.store(control); }

// Powering the machine off after a batch run, behind an interface so that tests never do it.
#pragma once

class PowerControl {
 public:
  virtual ~PowerControl() = default;
  // 1 when this user may ask for a power-off, 0 when it is known to be refused.
  virtual int EnableShutdownPrivilege() = 0;
  // Asks the system to power off; 1 when the request was accepted.
  virtual int PowerOff() = 0;
};

// The real one: logind through systemctl (no shell); on Windows the process token's shutdown
// privilege and ExitWindowsEx.
class SystemPowerControl final : public PowerControl {
 public:
  int EnableShutdownPrivilege() override;
  int PowerOff() override;
};

// Records the calls and answers with fixed results.
class FakePowerControl final : public PowerControl {
 public:
  int privilegeResult = 1;
  int powerOffResult = 1;
  int privilegeCalls = 0;
  int powerOffCalls = 0;
  int EnableShutdownPrivilege() override {
    ++privilegeCalls;
    return privilegeResult;
  }
  int PowerOff() override {
    ++powerOffCalls;
    return powerOffResult;
  }
};

// The power control the program uses: the system one unless a test installed another.
PowerControl& CurrentPowerControl();
// Replaces it (nullptr restores the system one); the caller keeps ownership.
void SetPowerControl(PowerControl* control);

// Power-off through ExitWindowsEx, after switching on the shutdown privilege of the process token.
#include "platform/PowerOff.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

// ZELVORA_POWER_OFF_PROGRAM names a program that stands in for the system: asked with
// "can-power-off" and told "power-off", exit status 0 meaning yes. The test suite points it at
// programs of its own so that no test can ever power the machine off.
std::wstring PowerOffProgram() {
  const wchar_t* program = ::_wgetenv(L"ZELVORA_POWER_OFF_PROGRAM");
  return program ? program : L"";
}

// Runs the stand-in with one argument and waits for it (a minute at most). A program that
// cannot be started, does not end or ends with another status answers no.
bool AskPowerOffProgram(const std::wstring& program, const wchar_t* what) {
  // The program's path cannot hold a double quote, so quoting it whole is enough.
  std::wstring commandLine = L"\"" + program + L"\" " + what;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process))
    return false;
  ::CloseHandle(process.hThread);
  DWORD status = 1;
  if (::WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
    ::TerminateProcess(process.hProcess, 1);
    ::WaitForSingleObject(process.hProcess, 5000);
  } else if (!::GetExitCodeProcess(process.hProcess, &status)) {
    status = 1;
  }
  ::CloseHandle(process.hProcess);
  return status == 0;
}

}  // namespace

int SystemPowerControl::EnableShutdownPrivilege() {
  if (const std::wstring program = PowerOffProgram(); !program.empty())
    return AskPowerOffProgram(program, L"can-power-off") ? 1 : 0;
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return 0;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  DWORD error = ERROR_INVALID_FUNCTION;
  if (::LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
    // The call succeeds even when the token lacks the privilege: only the error it leaves
    // (ERROR_NOT_ALL_ASSIGNED then) tells whether the privilege is on.
    ::SetLastError(ERROR_SUCCESS);
    ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    error = ::GetLastError();
  }
  ::CloseHandle(token);
  return error == ERROR_SUCCESS ? 1 : 0;
}

int SystemPowerControl::PowerOff() {
  if (const std::wstring program = PowerOffProgram(); !program.empty())
    return AskPowerOffProgram(program, L"power-off") ? 1 : 0;
  // Hung programs are ended rather than waited for: nobody is at the machine to answer them.
  return ::ExitWindowsEx(EWX_POWEROFF | EWX_FORCEIFHUNG,
                         SHTDN_REASON_MAJOR_OTHER | SHTDN_REASON_MINOR_OTHER | SHTDN_REASON_FLAG_PLANNED)
             ? 1
             : 0;
}

// The zelvora command's system side on Windows: UTF-8 arguments and console output, the console
// control handler for stop requests, append-only files through the wide calls.
#include "cli/Console.h"

#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <mutex>
#include <vector>

#include "encoder/SystemError.h"
#include "support/WideText.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace {

UINT gConsoleCodePage = 0;  // the console's output code page before ours, restored at the end

void RestoreConsoleCodePage() {
  if (gConsoleCodePage) ::SetConsoleOutputCP(gConsoleCodePage);
}

std::mutex gStopMutex;
std::function<bool(const StopRequest&)> gOnStop;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  StopRequest request;
  switch (event) {
    case CTRL_C_EVENT:
      request = {true, 130, "Ctrl-C"};
      break;
    case CTRL_CLOSE_EVENT:
      request = {false, 129, "the console was closed"};
      break;
    case CTRL_BREAK_EVENT:
      request = {false, 143, "Ctrl-Break"};
      break;
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      request = {false, 143, event == CTRL_LOGOFF_EVENT ? "log-off" : "shut-down"};
      break;
    default:
      return FALSE;
  }
  std::lock_guard lock(gStopMutex);
  if (!gOnStop || gOnStop(request)) return TRUE;
  std::fflush(stdout);
  std::fflush(stderr);
  RestoreConsoleCodePage();
  // At once, as _exit does on POSIX: nothing of the other threads' state is cleaned up.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(request.exitStatus));
  return TRUE;
}

}  // namespace

void PrepareProcess(int& argc, char**& argv) {
  // The narrow arguments the C runtime made are in the ANSI code page, which cannot hold every
  // name; the wide command line can.
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  int count = 0;
  if (wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count)) {
    texts.clear();
    for (int i = 0; i < count; ++i) texts.push_back(Utf8FromWide(wide[i]));
    ::LocalFree(wide);
    pointers.clear();
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
  }
  const UINT codePage = ::GetConsoleOutputCP();
  if (codePage != 0 && codePage != CP_UTF8 && ::SetConsoleOutputCP(CP_UTF8)) {
    gConsoleCodePage = codePage;
    std::atexit(RestoreConsoleCodePage);
  }
  ::_setmode(::_fileno(stdout), _O_BINARY);
  ::_setmode(::_fileno(stderr), _O_BINARY);
}

bool IsLiveTerminal(std::FILE* stream) {
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  DWORD mode = 0;
  if (h == INVALID_HANDLE_VALUE || !::GetConsoleMode(h, &mode)) return false;
  // A console that cannot take the redraw sequences (before Windows 10) gets plain lines.
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) || ::SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

void WatchStopRequests(std::function<bool(const StopRequest&)> onStop) {
  {
    std::lock_guard lock(gStopMutex);
    gOnStop = std::move(onStop);
  }
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int OpenForAppending(const std::string& path, std::string& error) {
  // Append-only access: every write goes to the end, also beside other writers.
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = SystemErrorText(LastSystemError());
    return -1;
  }
  int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_APPEND);
  if (fd < 0) {
    error = "no descriptor for the file";
    ::CloseHandle(h);
  }
  return fd;
}

std::string HostName() {
  wchar_t name[256] = {};
  DWORD size = 255;
  return ::GetComputerNameExW(ComputerNameDnsHostname, name, &size) ? Utf8FromWide(name) : std::string();
}

std::tm UtcTime(std::time_t when) {
  std::tm tm{};
  gmtime_s(&tm, &when);
  return tm;
}

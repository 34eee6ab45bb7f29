// A child program for the Windows process tests: it runs its arguments as a list of actions, left
// to right, and says what it saw on its standard output (raw bytes, no text-mode translation).
//   out:TEXT / err:TEXT   TEXT and a line break on standard output / standard error
//   korean                a fixed Korean line in UTF-8
//   bytes:N               N bytes 'x'
//   args ...              every later argument as "[arg]" lines, then whether two parsers agree
//   priority              priority:below, priority:normal or priority:other
//   handle:HEX            handle:open when the handle value is valid here, else handle:closed
//   stdin                 stdin:end when standard input is at its end at once
//   wait:PATH             blocks until the file PATH exists (folder change notifications)
//   write:PATH            creates the file PATH
//   grandchild            starts a copy of itself that prints grandchild-ready and hangs, and
//                         prints grandchild:PID; the copy inherits our output
//   start:DIE             starts a copy that hangs through platform::ChildProcess, with
//                         die_with_parent = DIE (0 or 1), and prints started:PID
//   hang                  blocks until ended from outside
//   exit:N                ends with exit code N
#include <windows.h>
#include <shellapi.h>
// shellapi.h names FindExecutableW so; ours is platform::FindExecutable.
#undef FindExecutable

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "support/WideText.h"

namespace {

void Write(DWORD which, const std::string& text) {
  HANDLE h = ::GetStdHandle(which);
  size_t done = 0;
  while (done < text.size()) {
    DWORD n = 0;
    if (!::WriteFile(h, text.data() + done, static_cast<DWORD>(text.size() - done), &n, nullptr) || n == 0) return;
    done += n;
  }
}

void Out(const std::string& text) { Write(STD_OUTPUT_HANDLE, text); }

std::wstring OwnPath() {
  std::wstring path(32768, L'\0');
  DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
  path.resize(n);
  return path;
}

bool Exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void WaitForFile(const std::wstring& path) {
  std::wstring folder = path.substr(0, path.find_last_of(L"\\/"));
  HANDLE change = ::FindFirstChangeNotificationW(folder.c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  // Checked after the watch is in place: a file made in between is seen by the check.
  while (!Exists(path)) {
    if (change == INVALID_HANDLE_VALUE) std::exit(90);
    ::WaitForSingleObject(change, INFINITE);
    ::FindNextChangeNotification(change);
  }
  if (change != INVALID_HANDLE_VALUE) ::FindCloseChangeNotification(change);
}

void StartGrandchild() {
  std::wstring self = OwnPath();
  std::wstring line = L"\"" + self + L"\" out:grandchild-ready hang";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
  si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(self.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
    std::exit(91);
  Out("grandchild:" + std::to_string(pi.dwProcessId) + "\n");
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Started as the update module: its first argument is recorded whole in the file that
  // ZELVORA_CHILD_RECORD names (written aside, then moved, so a reader never sees half of it).
  if (const wchar_t* record = ::_wgetenv(L"ZELVORA_CHILD_RECORD"); record && *record) {
    const std::wstring target = record;
    const std::wstring aside = target + L".tmp";
    const std::string text = argc > 1 ? Utf8FromWide(argv[1]) : std::string();
    HANDLE f = ::CreateFileW(aside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 92;
    DWORD written = 0;
    const bool ok = ::WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) && written == text.size();
    ::CloseHandle(f);
    return ok && ::MoveFileExW(aside.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 93;
  }
  // The C runtime split the command line; CommandLineToArgvW splits it again by its own rules.
  int count = 0;
  wchar_t** second = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = Utf8FromWide(argv[i]);
    const size_t colon = arg.find(':');
    const std::string action = arg.substr(0, colon);
    const std::string value = colon == std::string::npos ? std::string() : arg.substr(colon + 1);
    if (action == "out") {
      Out(value + "\n");
    } else if (action == "err") {
      Write(STD_ERROR_HANDLE, value + "\n");
    } else if (action == "korean") {
      Out("한글 출력 줄\n");
    } else if (action == "bytes") {
      Out(std::string(std::strtoul(value.c_str(), nullptr, 10), 'x'));
    } else if (action == "args") {
      bool agree = second && count == argc;
      for (int j = i + 1; j < argc; ++j) {
        Out("[" + Utf8FromWide(argv[j]) + "]\n");
        agree = agree && std::wstring(argv[j]) == second[j];
      }
      Out(agree ? "parsers agree\n" : "parsers differ\n");
      break;
    } else if (action == "priority") {
      DWORD p = ::GetPriorityClass(::GetCurrentProcess());
      Out(p == BELOW_NORMAL_PRIORITY_CLASS ? "priority:below\n" : p == NORMAL_PRIORITY_CLASS ? "priority:normal\n" : "priority:other\n");
    } else if (action == "handle") {
      HANDLE h = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(std::strtoull(value.c_str(), nullptr, 16)));
      DWORD flags = 0;
      Out(::GetHandleInformation(h, &flags) ? "handle:open\n" : "handle:closed\n");
    } else if (action == "stdin") {
      char c;
      DWORD n = 0;
      BOOL ok = ::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), &c, 1, &n, nullptr);
      Out(!ok || n == 0 ? "stdin:end\n" : "stdin:data\n");
    } else if (action == "wait") {
      WaitForFile(WideFromUtf8(value));
    } else if (action == "write") {
      HANDLE f = ::CreateFileW(WideFromUtf8(value).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
      if (f == INVALID_HANDLE_VALUE) return 92;
      ::CloseHandle(f);
    } else if (action == "grandchild") {
      StartGrandchild();
    } else if (action == "start") {
      platform::ProcessOptions options;
      options.die_with_parent = value == "1";
      std::string error;
      // Leaked on purpose: this program only ever ends from outside or by exit.
      auto* child = platform::ChildProcess::Start({Utf8FromWide(OwnPath()), "hang"}, options, error).release();
      if (!child) {
        Out("cannot start: " + error + "\n");
        return 93;
      }
      Out("started:" + std::to_string(child->Pid()) + "\n");
    } else if (action == "hang") {
      ::Sleep(INFINITE);
    } else if (action == "exit") {
      return std::atoi(value.c_str());
    } else {
      Out("unknown action: " + arg + "\n");
      return 94;
    }
  }
  return 0;
}

// Detached helper programs through CreateProcessW (never a shell), ending copies of a program file
// found by its file identity, and web pages through the shell's "open".
#include "platform/Processes.h"

#include <windows.h>
#include <shellapi.h>
// shellapi.h names FindExecutableW so; ours is platform::FindExecutable.
#undef FindExecutable
#include <tlhelp32.h>

#include <chrono>
#include <memory>

#include "platform/Process.h"
#include "platform/win32/CommandLine.h"
#include "platform/win32/SystemError.h"
#include "support/WideText.h"

namespace {

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// Where a file lives: the volume and the file's index on it. Two paths with the same identity
// name the same file (a hard link, another spelling, 8.3 names, "Z:" and its unix path).
struct FileIdentity {
  DWORD volume = 0;
  DWORD high = 0;
  DWORD low = 0;
  bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(const std::wstring& path) {
  // No access asked beyond the attributes: a running program's file is open without write sharing.
  UniqueHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
}

// The user a process runs as, as the bytes of its SID.
std::optional<std::string> UserOf(HANDLE process) {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(process, TOKEN_QUERY, &raw)) return std::nullopt;
  UniqueHandle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(raw, TokenUser, nullptr, 0, &size);
  if (size == 0) return std::nullopt;
  std::string buffer(size, '\0');
  if (!::GetTokenInformation(raw, TokenUser, buffer.data(), size, &size)) return std::nullopt;
  PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
  if (!::IsValidSid(sid)) return std::nullopt;
  return std::string(static_cast<const char*>(sid), ::GetLengthSid(sid));
}

std::optional<std::wstring> ImageOf(HANDLE process) {
  std::wstring path(32768, L'\0');
  DWORD size = static_cast<DWORD>(path.size());
  if (!::QueryFullProcessImageNameW(process, 0, path.data(), &size)) return std::nullopt;
  path.resize(size);
  return path;
}

}  // namespace

bool SpawnDetached(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0].empty()) return false;
  const std::string program = platform::FindExecutable(argv[0]);
  if (program.empty() || platform::win32::IsBatchName(program)) return false;
  std::string error;
  std::optional<std::wstring> line = platform::win32::BuildCommandLine(argv, error);
  if (!line) return false;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  // Nothing of ours is inherited, and the helper has no console of ours: it outlives us freely.
  if (!::CreateProcessW(WidePath(program).c_str(), line->data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi))
    return false;
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return true;
}

int KillProcessByName(const std::string& exePath, bool terminate) {
  const std::optional<FileIdentity> target = IdentityOf(WidePath(exePath));
  if (!target) return 0;
  const std::optional<std::string> me = UserOf(::GetCurrentProcess());
  if (!me) return 0;
  UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (snapshot.get() == INVALID_HANDLE_VALUE) return 0;
  const DWORD own = ::GetCurrentProcessId();
  int count = 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more; more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == own || entry.th32ProcessID == 0) continue;
    // The handle is held from the check to the end: the id cannot pass to another process meanwhile.
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE | (terminate ? PROCESS_TERMINATE : 0),
                                       FALSE, entry.th32ProcessID));
    if (!process) continue;  // ended since the snapshot, or not ours to open
    if (UserOf(process.get()) != me) continue;
    std::optional<std::wstring> image = ImageOf(process.get());
    if (!image || IdentityOf(*image) != target) continue;
    if (!terminate) {
      ++count;
      continue;
    }
    // A copy that ended between the check and the request is ended all the same.
    if (::TerminateProcess(process.get(), 1) || ::WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0) {
      ++count;
      ::WaitForSingleObject(process.get(), 2000);
    }
  }
  return count;
}

int OpenWebPage(const std::string& url) {
  // The shell's "open" runs programs and opens files as readily as it shows pages: only web
  // addresses are handed to it.
  std::string lower = url.substr(0, 8);
  for (char& c : lower)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (!(lower.rfind("http://", 0) == 0 || lower.rfind("https://", 0) == 0)) return 0;
  std::optional<std::wstring> wide = StrictWideFromUtf8(url);
  if (!wide) return 0;
  HINSTANCE r = ::ShellExecuteW(nullptr, L"open", wide->c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(r) > 32 ? 1 : 0;
}

// The update client's file calls over wide Win32 calls, with long paths.
#include "update/SkyFiles.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "update/win32/WidePath.h"

namespace skyfiles {

namespace {

HANDLE AsHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

std::atomic<unsigned> gFolderCounter{0};

}  // namespace

// The temporary name was deleted just before; CREATE_ALWAYS with FILE_FLAG_OPEN_REPARSE_POINT
// works on a link planted there since, not on what it points to.
FileHandle CreateTemp(const std::string& path) {
  const std::wstring wide = widepath::Long(path);
  if (wide.empty()) return kNoFile;
  const DWORD old = ::GetFileAttributesW(wide.c_str());
  if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_REPARSE_POINT)) return kNoFile;
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  return h == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(h);
}

bool Write(FileHandle file, const char* data, size_t size) {
  while (size > 0) {
    const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD wrote = 0;
    if (!::WriteFile(AsHandle(file), data, want, &wrote, nullptr) || wrote == 0) return false;
    data += wrote;
    size -= wrote;
  }
  return true;
}

bool Close(FileHandle file) { return ::CloseHandle(AsHandle(file)) != 0; }

// An MZ image (a program or a library) or a script with a "#!" line.
bool LooksExecutable(const std::string& path) {
  HANDLE h = ::CreateFileW(widepath::Long(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  char head[2] = {};
  DWORD n = 0;
  const bool read = ::ReadFile(h, head, sizeof head, &n, nullptr) != 0;
  ::CloseHandle(h);
  return read && n == 2 && ((head[0] == 'M' && head[1] == 'Z') || (head[0] == '#' && head[1] == '!'));
}

// Windows keeps one permission bit: a read-only file it replaces makes the new one read-only too.
void TakeInstallMode(const std::string& target, const std::string& received) {
  const DWORD a = ::GetFileAttributesW(widepath::Long(target).c_str());
  if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) && (a & FILE_ATTRIBUTE_READONLY))
    ::SetFileAttributesW(widepath::Long(received).c_str(), FILE_ATTRIBUTE_READONLY);
}

// MoveFileExW replaces a link at the target (it renames onto the name), and with
// MOVEFILE_COPY_ALLOWED it copies across volumes. A read-only file at the target would refuse
// to be replaced, so its bit is cleared first: the update replaces it all the same.
bool MoveInto(const std::string& from, const std::string& to) {
  const std::wstring source = widepath::Long(from);
  const std::wstring target = widepath::Long(to);
  if (source.empty() || target.empty()) return false;
  const DWORD a = ::GetFileAttributesW(target.c_str());
  if (a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) && (a & FILE_ATTRIBUTE_READONLY))
    ::SetFileAttributesW(target.c_str(), a & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  return ::MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

bool IsRegularFile(const std::string& path) {
  const DWORD a = ::GetFileAttributesW(widepath::Long(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && !(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
}

// CreateDirectoryW fails on a name that exists, so a folder it makes is ours alone.
std::string MakeUniqueFolder(const std::string& parent, const std::string& prefix) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = parent + "/" + prefix + std::to_string(::GetCurrentProcessId()) + "-" +
                             std::to_string(::GetTickCount64() & 0xffffff) + "-" + std::to_string(gFolderCounter++);
    const std::wstring wide = widepath::Long(name);
    if (wide.empty()) return {};
    if (::CreateDirectoryW(wide.c_str(), nullptr)) return name;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return {};
  }
  return {};
}

// The LocalSystem account, whose well-known SID is S-1-5-18.
bool UserIsSystem() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  std::vector<char> buffer(512);
  DWORD size = 0;
  bool system = false;
  if (::GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size)) {
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    system = ::IsWellKnownSid(user->User.Sid, WinLocalSystemSid) != FALSE;
  }
  ::CloseHandle(token);
  return system;
}

std::string RunningExecutable() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      return widepath::Narrow(path);
    }
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

}  // namespace skyfiles

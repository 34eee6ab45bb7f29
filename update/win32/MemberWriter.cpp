// MemberWriter over wide Win32 calls: every folder on the way is checked to be a real folder
// (not a junction or a symbolic link) before anything is made inside it, files are created
// new under a temporary name without following a reparse point, and put in place with
// MoveFileExW, which replaces a link at the final name rather than writing through it.
#include "update/MemberWriter.h"

#include <windows.h>

#include <atomic>

#include "update/win32/WidePath.h"

namespace {

std::atomic<unsigned> gTempCounter{0};

std::string Reason(const char* what, const std::string& name, DWORD error = ::GetLastError()) {
  return std::string(what) + " " + name + ": " + widepath::ErrorText(error);
}

void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  size_t slash = path.rfind('/');
  folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

HANDLE AsHandle(std::intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

// A real folder: present, a directory, and not a reparse point that could lead elsewhere.
bool IsPlainFolder(const std::wstring& path) {
  const DWORD a = ::GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Seconds since 1970 as the 100 ns ticks since 1601 that Windows keeps.
FILETIME ToFileTime(std::time_t t) {
  const unsigned long long ticks = (static_cast<unsigned long long>(t) + 11644473600ULL) * 10000000ULL;
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

}  // namespace

MemberWriter::MemberWriter(const std::string& base) {
  const std::wstring wide = widepath::Long(base);
  if (wide.empty()) return;
  // Create the missing parents from the top down; the volume root ("\\?\C:\") stops the walk.
  for (size_t at = wide.find(L'\\', 4); at != std::wstring::npos; at = wide.find(L'\\', at + 1))
    ::CreateDirectoryW(wide.substr(0, at).c_str(), nullptr);
  ::CreateDirectoryW(wide.c_str(), nullptr);
  // The base itself may be reached through a link, as the caller chose it; only what lies
  // below it is held to plain folders.
  const DWORD a = ::GetFileAttributesW(wide.c_str());
  if (a == INVALID_FILE_ATTRIBUTES || !(a & FILE_ATTRIBUTE_DIRECTORY)) return;
  m_basePath = widepath::Narrow(wide);
  m_base = 0;
}

MemberWriter::~MemberWriter() = default;

int MemberWriter::OpenFolder(const std::string& path, bool create, unsigned, std::string& error, std::string* folderPath) {
  if (m_base < 0) {
    error = "cannot use folder .: no destination";
    return -1;
  }
  std::wstring current = widepath::Widen(m_basePath);
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::wstring part = widepath::Widen(path.substr(start, end - start));
    start = end + 1;
    if (part.empty()) {
      error = "cannot open folder " + path + ": the name is not valid UTF-8";
      return -1;
    }
    current += L"\\" + part;
    if (create && ::GetFileAttributesW(current.c_str()) == INVALID_FILE_ATTRIBUTES &&
        !::CreateDirectoryW(current.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
      error = Reason("cannot create folder", path);
      return -1;
    }
    if (!IsPlainFolder(current)) {
      // A link, a junction or a file stands where a folder should be.
      error = "cannot open folder " + path + ": not a plain folder";
      return -1;
    }
  }
  if (folderPath) *folderPath = widepath::Narrow(current);
  return 0;
}

bool MemberWriter::MakeFolders(const std::string& path, unsigned mode, std::string& error) {
  return OpenFolder(path, true, mode, error) >= 0;
}

bool MemberWriter::Exists(const std::string& path) {
  std::string folder, name, error, folderPath;
  SplitPath(path, folder, name);
  if (OpenFolder(folder, false, 0, error, &folderPath) < 0) return false;
  return ::GetFileAttributesW(widepath::Widen(folderPath + "\\" + name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MemberWriter::Begin(const std::string& path, Pending& file, std::string& error) {
  std::string folder;
  SplitPath(path, folder, file.name);
  if (OpenFolder(folder, true, 0755, error, &file.folderPath) < 0) return false;
  DWORD failure = ERROR_SUCCESS;
  for (int attempt = 0; attempt < 100 && file.fd < 0; ++attempt) {
    file.temp = ".zvtmp-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(gTempCounter++);
    HANDLE h = ::CreateFileW(widepath::Widen(file.folderPath + "\\" + file.temp).c_str(), GENERIC_WRITE, 0, nullptr,
                             CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      file.fd = reinterpret_cast<std::intptr_t>(h);
      break;
    }
    failure = ::GetLastError();
    if (failure != ERROR_FILE_EXISTS && failure != ERROR_ALREADY_EXISTS) break;
  }
  if (file.fd < 0) {
    error = Reason("cannot create", path, failure);
    return false;
  }
  return true;
}

bool MemberWriter::Write(Pending& file, const char* data, size_t size) {
  while (size > 0) {
    const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD wrote = 0;
    if (!::WriteFile(AsHandle(file.fd), data, want, &wrote, nullptr) || wrote == 0) return false;
    data += wrote;
    size -= wrote;
  }
  return true;
}

bool MemberWriter::Commit(Pending& file, unsigned mode, std::optional<std::time_t> mtime, std::string& error) {
  const std::wstring temp = widepath::Widen(file.folderPath + "\\" + file.temp);
  const std::wstring target = widepath::Widen(file.folderPath + "\\" + file.name);
  bool ok = true;
  if (mtime) {
    const FILETIME written = ToFileTime(*mtime);
    ok = ::SetFileTime(AsHandle(file.fd), nullptr, nullptr, &written) != 0;
    if (!ok) error = Reason("cannot set attributes of", file.name);
  }
  if (!::CloseHandle(AsHandle(file.fd)) && ok) {
    ok = false;
    error = Reason("cannot write", file.name);
  }
  file.fd = -1;
  // Windows keeps one permission bit: read-only, when nobody may write the member.
  if (ok && !(mode & 0222) && !::SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_READONLY)) {
    ok = false;
    error = Reason("cannot set attributes of", file.name);
  }
  if (ok) {
    // A read-only file at the name refuses to be replaced; an update replaces it all the same.
    const DWORD old = ::GetFileAttributesW(target.c_str());
    if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY) && !(old & FILE_ATTRIBUTE_DIRECTORY))
      ::SetFileAttributesW(target.c_str(), old & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    if (!::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      ok = false;
      error = Reason("cannot put in place", file.name);
    }
  }
  if (!ok) {
    ::SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(temp.c_str());
  }
  return ok;
}

void MemberWriter::Abort(Pending& file) {
  if (file.fd >= 0) ::CloseHandle(AsHandle(file.fd));
  if (!file.temp.empty() && !file.folderPath.empty())
    ::DeleteFileW(widepath::Widen(file.folderPath + "\\" + file.temp).c_str());
  file.fd = -1;
}

bool MemberWriter::Finish(Pending& file, unsigned mode, std::optional<std::time_t> mtime, std::string& error) {
  const std::wstring temp = widepath::Widen(file.folderPath + "\\" + file.temp);
  bool ok = true;
  if (mtime) {
    const FILETIME written = ToFileTime(*mtime);
    ok = ::SetFileTime(AsHandle(file.fd), nullptr, nullptr, &written) != 0;
    if (!ok) error = Reason("cannot set attributes of", file.name);
  }
  if (!::CloseHandle(AsHandle(file.fd)) && ok) {
    ok = false;
    error = Reason("cannot write", file.name);
  }
  file.fd = -1;
  if (ok && !(mode & 0222) && !::SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_READONLY)) {
    ok = false;
    error = Reason("cannot set attributes of", file.name);
  }
  if (!ok) {
    ::SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(temp.c_str());
    file.temp.clear();
  }
  return ok;
}

bool MemberWriter::Place(Pending& file, std::string& error) {
  if (file.temp.empty()) return false;
  const std::wstring temp = widepath::Widen(file.folderPath + "\\" + file.temp);
  const std::wstring target = widepath::Widen(file.folderPath + "\\" + file.name);
  const DWORD old = ::GetFileAttributesW(target.c_str());
  if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY) && !(old & FILE_ATTRIBUTE_DIRECTORY))
    ::SetFileAttributesW(target.c_str(), old & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  const bool ok = ::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
  if (!ok) {
    error = Reason("cannot put in place", file.name);
    ::SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::DeleteFileW(temp.c_str());
  }
  file.temp.clear();
  return ok;
}

void MemberWriter::Discard(Pending& file) {
  if (file.fd >= 0) return Abort(file);
  if (file.temp.empty() || file.folderPath.empty()) return;
  const std::wstring temp = widepath::Widen(file.folderPath + "\\" + file.temp);
  ::SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileW(temp.c_str());
  file.temp.clear();
}

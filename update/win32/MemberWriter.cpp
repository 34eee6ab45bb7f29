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
  // What is made here is remembered, so that a failed install can take exactly that away.
  for (size_t at = wide.find(L'\\', 4); at != std::wstring::npos; at = wide.find(L'\\', at + 1))
    if (::CreateDirectoryW(wide.substr(0, at).c_str(), nullptr)) m_createdAbove.push_back(widepath::Narrow(wide.substr(0, at)));
  if (::CreateDirectoryW(wide.c_str(), nullptr)) m_createdAbove.push_back(widepath::Narrow(wide));
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
    if (create && ::GetFileAttributesW(current.c_str()) == INVALID_FILE_ATTRIBUTES) {
      if (::CreateDirectoryW(current.c_str(), nullptr)) {
        m_createdBelow.push_back(path.substr(0, end));
      } else if (::GetLastError() != ERROR_ALREADY_EXISTS) {
        error = Reason("cannot create folder", path);
        return -1;
      }
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
  // Only a file or a link is ever replaced: a folder at the name would make the install fail
  // half-way.
  const DWORD present = ::GetFileAttributesW(widepath::Widen(file.folderPath + "\\" + file.name).c_str());
  if (present != INVALID_FILE_ATTRIBUTES && (present & FILE_ATTRIBUTE_DIRECTORY) && !(present & FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = "cannot replace " + path + ": it is not a file";
    return false;
  }
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

namespace {

std::wstring TempPath(const MemberWriter::Pending& file) { return widepath::Widen(file.folderPath + "\\" + file.temp); }
std::wstring NamePath(const MemberWriter::Pending& file) { return widepath::Widen(file.folderPath + "\\" + file.name); }

void RemoveFile(const std::wstring& path) {
  ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::DeleteFileW(path.c_str());
}

// Gives the written file its time and its one permission bit (read-only, when nobody may
// write it) and closes it; whether all of that succeeded. On failure the file is removed.
bool Seal(MemberWriter::Pending& file, unsigned mode, std::optional<std::time_t> mtime, std::string& error) {
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
  if (ok && !(mode & 0222) && !::SetFileAttributesW(TempPath(file).c_str(), FILE_ATTRIBUTE_READONLY)) {
    ok = false;
    error = Reason("cannot set attributes of", file.name);
  }
  if (!ok) RemoveFile(TempPath(file));
  return ok;
}

// A read-only file at the name refuses to be replaced; an update replaces it all the same.
// The attributes it had, or INVALID_FILE_ATTRIBUTES when nothing is there.
DWORD ClearReadOnly(const std::wstring& target) {
  const DWORD old = ::GetFileAttributesW(target.c_str());
  if (old != INVALID_FILE_ATTRIBUTES && (old & FILE_ATTRIBUTE_READONLY) && !(old & FILE_ATTRIBUTE_DIRECTORY))
    ::SetFileAttributesW(target.c_str(), old & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
  return old;
}

// A new name of our own in the folder of `file` for its old file.
std::string KeptName(int attempt) {
  return ".zvold-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(gTempCounter++) + "-" +
         std::to_string(attempt);
}

// Keeps the old file at the name under a second name: a hard link when the volume has them
// (the name never stands empty), else a rename.
bool Keep(MemberWriter::Pending& file, DWORD attributes, std::string& error) {
  file.kept.clear();
  file.keptAside = false;
  file.keptAttributes = attributes;
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = "cannot replace " + file.name + ": it is not a file";
    return false;
  }
  const std::wstring target = NamePath(file);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string kept = KeptName(attempt);
    const std::wstring keptPath = widepath::Widen(file.folderPath + "\\" + kept);
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT) && ::CreateHardLinkW(keptPath.c_str(), target.c_str(), nullptr)) {
      file.kept = kept;
      return true;
    }
    if (::MoveFileExW(target.c_str(), keptPath.c_str(), 0)) {
      file.kept = kept;
      file.keptAside = true;
      return true;
    }
    const DWORD failure = ::GetLastError();
    if (failure != ERROR_FILE_EXISTS && failure != ERROR_ALREADY_EXISTS) break;
  }
  error = Reason("cannot keep the old", file.name);
  return false;
}

}  // namespace

bool MemberWriter::Commit(Pending& file, unsigned mode, std::optional<std::time_t> mtime, std::string& error) {
  if (!Seal(file, mode, mtime, error)) return false;
  ClearReadOnly(NamePath(file));
  if (::MoveFileExW(TempPath(file).c_str(), NamePath(file).c_str(), MOVEFILE_REPLACE_EXISTING)) return true;
  error = Reason("cannot put in place", file.name);
  RemoveFile(TempPath(file));
  return false;
}

void MemberWriter::Abort(Pending& file) {
  if (file.fd >= 0) ::CloseHandle(AsHandle(file.fd));
  if (!file.temp.empty() && !file.folderPath.empty()) ::DeleteFileW(TempPath(file).c_str());
  file.fd = -1;
  file.temp.clear();
}

bool MemberWriter::Finish(Pending& file, unsigned mode, std::optional<std::time_t> mtime, std::string& error) {
  const bool ok = Seal(file, mode, mtime, error);
  if (!ok) file.temp.clear();
  return ok;
}

bool MemberWriter::Place(Pending& file, std::string& error) {
  if (file.temp.empty()) return false;
  const std::wstring temp = TempPath(file);
  const std::wstring target = NamePath(file);
  const DWORD old = ::GetFileAttributesW(target.c_str());
  bool ok = Keep(file, old, error);
  if (ok) {
    ClearReadOnly(target);
    ok = ::MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    if (!ok) {
      error = Reason("cannot put in place", file.name);
      const std::wstring kept = widepath::Widen(file.folderPath + "\\" + file.kept);
      if (file.keptAside) ::MoveFileExW(kept.c_str(), target.c_str(), 0);
      else if (!file.kept.empty()) ::DeleteFileW(kept.c_str());
      if (old != INVALID_FILE_ATTRIBUTES) ::SetFileAttributesW(target.c_str(), old);
      file.kept.clear();
    }
  }
  if (!ok) RemoveFile(temp);
  file.temp.clear();
  file.placed = ok;
  return ok;
}

void MemberWriter::Discard(Pending& file) {
  if (file.fd >= 0) return Abort(file);
  if (file.temp.empty() || file.folderPath.empty()) return;
  RemoveFile(TempPath(file));
  file.temp.clear();
}

bool MemberWriter::SetAside(const std::string& path, Pending& file, std::string& error) {
  std::string folder;
  SplitPath(path, folder, file.name);
  file.relFolder = folder;
  file.kept.clear();
  file.placed = false;
  // A folder that is not there holds nothing to take away; a link where it should be is refused.
  if (OpenFolder(folder, false, 0, error, &file.folderPath) < 0) return !Exists(folder);
  const std::wstring target = NamePath(file);
  const DWORD old = ::GetFileAttributesW(target.c_str());
  if (old == INVALID_FILE_ATTRIBUTES) return true;
  if ((old & FILE_ATTRIBUTE_DIRECTORY) && !(old & FILE_ATTRIBUTE_REPARSE_POINT)) {
    error = "cannot remove " + path + ": it is not a file";
    return false;
  }
  file.keptAttributes = old;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string kept = KeptName(attempt);
    if (::MoveFileExW(target.c_str(), widepath::Widen(file.folderPath + "\\" + kept).c_str(), 0)) {
      file.kept = kept;
      file.keptAside = true;
      file.placed = true;
      return true;
    }
    const DWORD failure = ::GetLastError();
    if (failure != ERROR_FILE_EXISTS && failure != ERROR_ALREADY_EXISTS) break;
  }
  error = Reason("cannot remove", path);
  return false;
}

void MemberWriter::Restore(Pending& file) {
  if (!file.placed) return;
  const std::wstring target = NamePath(file);
  if (!file.kept.empty()) {
    ClearReadOnly(target);
    const std::wstring kept = widepath::Widen(file.folderPath + "\\" + file.kept);
    if (::MoveFileExW(kept.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING))
      ::SetFileAttributesW(target.c_str(), file.keptAttributes);
  } else {
    RemoveFile(target);
  }
  file.kept.clear();
  file.placed = false;
}

void MemberWriter::Release(Pending& file) {
  if (file.placed && !file.kept.empty()) RemoveFile(widepath::Widen(file.folderPath + "\\" + file.kept));
  file.kept.clear();
  file.placed = false;
}

void MemberWriter::RemoveCreatedFolders() {
  for (auto it = m_createdBelow.rbegin(); it != m_createdBelow.rend(); ++it) {
    std::string path, error;
    if (OpenFolder(*it, false, 0, error, &path) >= 0) ::RemoveDirectoryW(widepath::Widen(path).c_str());  // refused when not empty
  }
  m_createdBelow.clear();
  for (auto it = m_createdAbove.rbegin(); it != m_createdAbove.rend(); ++it) ::RemoveDirectoryW(widepath::Widen(*it).c_str());
  m_createdAbove.clear();
}

// The settings store on Windows: the registry of the current user through the wide calls, and
// the file operations under a ".reg" file store (a named mutex per folder, FlushFileBuffers,
// MoveFileExW) for what names a file explicitly.
#include "platform/RegistryStore.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <vector>

#include "platform/RegistryFiles.h"
#include "support/FileUtils.h"
#include "support/WideText.h"

namespace {

std::string SystemErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text.empty() ? "error " + std::to_string(error) : Utf8FromWide(text);
}

// The text up to its first NUL: the registry's texts end there.
std::wstring WideText(std::string_view text) {
  return WideFromUtf8(std::string(text.substr(0, text.find('\0'))));
}

class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() {
    if (key_) ::RegCloseKey(key_);
  }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;
  HKEY* out() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

// The registry below one root key; every call opens its key, acts and closes it again.
class SystemRegistry final : public RegistryBackend {
 public:
  SystemRegistry(HKEY root, bool ownsRoot) : root_(root), ownsRoot_(ownsRoot) {}
  ~SystemRegistry() override {
    if (ownsRoot_) ::RegCloseKey(root_);
  }

  int Read(std::string_view key, std::string_view name, RegValue& value) override {
    KeyHandle k;
    if (::RegOpenKeyExW(root_, WideText(key).c_str(), 0, KEY_QUERY_VALUE, k.out()) != ERROR_SUCCESS) return -2;
    const std::wstring wideName = WideText(name);
    std::vector<BYTE> data(512);
    DWORD type = 0, size = 0;
    LSTATUS status = ERROR_MORE_DATA;
    // The value may grow between the size query and the read: ask again a few times.
    for (int tries = 0; tries < 8 && status == ERROR_MORE_DATA; ++tries) {
      size = static_cast<DWORD>(data.size());
      status = ::RegQueryValueExW(k.get(), wideName.c_str(), nullptr, &type, data.data(), &size);
      if (status == ERROR_MORE_DATA) data.resize(static_cast<size_t>(size) + 2);
    }
    if (status != ERROR_SUCCESS) return -1;
    if (type == REG_DWORD && size == sizeof(DWORD)) {
      DWORD dword = 0;
      std::memcpy(&dword, data.data(), sizeof dword);
      value = RegValue{kRegDword, {}, dword};
      return 1;
    }
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
      std::wstring text(size / sizeof(wchar_t), L'\0');
      std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
      text.resize(std::wcslen(text.c_str()));  // stored with or without its terminating NUL
      value = RegValue{kRegSz, Utf8FromWide(text), 0};
      return 1;
    }
    return -1;  // a type the settings never use
  }

  int Write(std::string_view key, std::string_view name, const RegValue& value) override {
    KeyHandle k;
    if (::RegCreateKeyExW(root_, WideText(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_SET_VALUE | KEY_QUERY_VALUE, nullptr, k.out(), nullptr) != ERROR_SUCCESS)
      return -2;
    const std::wstring wideName = WideText(name);
    LSTATUS status;
    if (value.type == kRegDword) {
      const DWORD dword = value.dword;
      status = ::RegSetValueExW(k.get(), wideName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dword),
                                sizeof dword);
    } else {
      const std::wstring text = WideText(value.text);
      status = ::RegSetValueExW(k.get(), wideName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    return status == ERROR_SUCCESS ? 1 : -1;
  }

  int EnsureKey(std::string_view key) override {
    if (KeyExists(key)) return -1;
    KeyHandle k;
    return ::RegCreateKeyExW(root_, WideText(key).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_QUERY_VALUE,
                             nullptr, k.out(), nullptr) == ERROR_SUCCESS
               ? 1
               : 0;
  }

  bool KeyExists(std::string_view key) override {
    KeyHandle k;
    return ::RegOpenKeyExW(root_, WideText(key).c_str(), 0, KEY_QUERY_VALUE, k.out()) == ERROR_SUCCESS;
  }

 private:
  HKEY root_;
  bool ownsRoot_;
};

// The root the settings belong to: from Vista on, the key Internet Explorer's frame gives as
// the current user's writeable one when it gives one; else HKEY_CURRENT_USER.
HKEY SettingsRoot(bool& owned) {
  owned = false;
  if (GetWindowsVersionCode() <= 2005) return HKEY_CURRENT_USER;
  // By its full path in the system folder: a DLL of that name beside the program is never loaded.
  std::wstring system(MAX_PATH, L'\0');
  UINT n = ::GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size()));
  if (n == 0 || n >= system.size()) return HKEY_CURRENT_USER;
  system.resize(n);
  HMODULE frame = ::LoadLibraryExW((system + L"\\ieframe.dll").c_str(), nullptr, 0);
  if (!frame) return HKEY_CURRENT_USER;
  using GetWriteableHkcu = HRESULT(WINAPI*)(HKEY*);
  HKEY key = nullptr;
  auto get = reinterpret_cast<GetWriteableHkcu>(reinterpret_cast<void*>(::GetProcAddress(frame, "IEGetWriteableHKCU")));
  HRESULT result = get ? get(&key) : E_NOTIMPL;
  ::FreeLibrary(frame);
  if (FAILED(result) || !key) return HKEY_CURRENT_USER;
  owned = true;
  return key;
}

// Temporaries of writers that died before their rename; only called under the folder lock,
// when no other writer can be between creating its temporary and renaming it.
void RemoveStaleTemporaries(const std::string& path) {
  const std::string folder = regfiles::FolderOf(path);
  const std::string pattern = path + ".tmp*";
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW(WidePath(pattern).c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
      ::DeleteFileW(WidePath(folder + "\\" + Utf8FromWide(found.cFileName)).c_str());
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

bool WriteWhole(HANDLE h, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(text.size() - done, 1 << 20)), written = 0;
    if (!::WriteFile(h, text.data() + done, chunk, &written, nullptr) || written == 0) return false;
    done += written;
  }
  return true;
}

}  // namespace

namespace regfiles {

StoreFileId StatFile(const std::string& path) {
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info{};
  bool have = false;
  if (h != INVALID_HANDLE_VALUE) {
    have = ::GetFileInformationByHandle(h, &info) != 0;
    ::CloseHandle(h);
  }
  StoreFileId id;
  if (have) {
    id.volume = info.dwVolumeSerialNumber;
    id.index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  } else {
    // Something that cannot be opened at all is still told apart by its size and time.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) return id;
    info.nFileSizeHigh = data.nFileSizeHigh;
    info.nFileSizeLow = data.nFileSizeLow;
    info.ftLastWriteTime = data.ftLastWriteTime;
  }
  id.exists = true;
  id.size = static_cast<int64_t>((static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
  id.mtimeNs = static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                    info.ftLastWriteTime.dwLowDateTime) *
               100;
  return id;
}

bool SomethingAt(const std::string& path) {
  return ::GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

ReadOutcome ReadSmallFile(const std::string& path, size_t maxSize, std::string& text, StoreFileId& id,
                          std::string& error) {
  const std::wstring wide = WidePath(path);
  // Shared for deletion, so that another writer can put its new file in place meanwhile.
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES && (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND))
      return ReadOutcome::kMissing;
    error = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                ? "the file is not a settings file this program can read"
                : "the file cannot be read: " + SystemErrorText(code);
    return ReadOutcome::kFailed;
  }
  BY_HANDLE_FILE_INFORMATION info{};
  const bool regular = ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
                       !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  const uint64_t size = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (!regular || size > maxSize) {
    ::CloseHandle(h);
    error = "the file is not a settings file this program can read";
    return ReadOutcome::kFailed;
  }
  id = StoreFileId{true, info.dwVolumeSerialNumber,
                   (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, static_cast<int64_t>(size),
                   static_cast<int64_t>((static_cast<uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
                                        info.ftLastWriteTime.dwLowDateTime) *
                       100};
  text.resize(static_cast<size_t>(size));
  size_t done = 0;
  while (done < text.size()) {
    DWORD got = 0;
    if (!::ReadFile(h, text.data() + done, static_cast<DWORD>(text.size() - done), &got, nullptr) || got == 0) break;
    done += got;
  }
  text.resize(done);
  ::CloseHandle(h);
  return ReadOutcome::kRead;
}

// A folder handle cannot carry a byte-range lock, so the lock is a named mutex of the session
// named after the folder's identity on its volume: every spelling of the folder's path (short
// names, drive letters, links) meets the same mutex, and nothing is left on disk. A writer that
// dies holding it leaves it abandoned, which the next writer takes over.
FolderLock::FolderLock(const std::string& folder) {
  HANDLE dir = ::CreateFileW(WidePath(folder).c_str(), FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (dir == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = ::GetFileInformationByHandle(dir, &info) != 0;
  ::CloseHandle(dir);
  if (!known) return;
  std::wstring name = L"Local\\zelvora-settings-folder";
  for (DWORD part : {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow}) {
    name += L'-';
    for (int shift = 28; shift >= 0; shift -= 4) name += L"0123456789abcdef"[(part >> shift) & 0xF];
  }
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
  if (!mutex) return;
  const DWORD waited = ::WaitForSingleObject(mutex, INFINITE);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    ::CloseHandle(mutex);
    return;
  }
  handle_ = reinterpret_cast<intptr_t>(mutex);
}

FolderLock::~FolderLock() {
  if (handle_ == kNone) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ::ReleaseMutex(mutex);
  ::CloseHandle(mutex);
}

bool ReplaceWholeFile(const FolderLock& lock, const std::string& path, const std::string& text) {
  if (!lock.ok()) return false;
  RemoveStaleTemporaries(path);
  std::string temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (unsigned n = 0; n < 100 && h == INVALID_HANDLE_VALUE; ++n) {
    temp = path + ".tmp" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(::GetTickCount() + n);
    h = ::CreateFileW(WidePath(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  if (h == INVALID_HANDLE_VALUE) return false;
  bool ok = WriteWhole(h, text) && ::FlushFileBuffers(h);
  ok = ::CloseHandle(h) && ok;
  const std::wstring from = WidePath(temp), to = WidePath(path);
  // A reader that opened the file without sharing its deletion (a virus scanner, an editor)
  // holds the replacement off for a moment: try again for about a second.
  for (int tries = 0; ok; ++tries) {
    if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) break;
    const DWORD code = ::GetLastError();
    if (tries >= 40 || (code != ERROR_ACCESS_DENIED && code != ERROR_SHARING_VIOLATION)) ok = false;
    else ::Sleep(25);
  }
  if (!ok) ::DeleteFileW(from.c_str());
  return ok;
}

int KeepFileAs(const std::string& path, const std::string& kept, std::string& error) {
  const std::wstring from = WidePath(path), to = WidePath(kept);
  // A hard link keeps the file under the new name while the replacement goes on as usual.
  if (::CreateHardLinkW(to.c_str(), from.c_str(), nullptr)) return 1;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) return 0;
  // No hard links there (or a folder at the name): move it; without the replace flag the
  // move never takes an existing name.
  if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) return 1;
  const DWORD code = ::GetLastError();
  if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) return 0;
  error = SystemErrorText(code);
  return -1;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return ".";
  std::string folder = path.substr(0, slash);
  // "C:\x" lies in "C:\", not in "C:", which is the current folder of drive C.
  if (folder.empty() || folder.back() == ':') return path.substr(0, slash + 1);
  return folder;
}

std::string NameOf(const std::string& path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LocalStamp() {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_s(&local, &now);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return stamp;
}

std::unique_ptr<RegistryStore> NewCurrentUserStore() {
  bool owned = false;
  HKEY root = SettingsRoot(owned);
  return std::make_unique<RegistryStore>(std::make_unique<SystemRegistry>(root, owned),
                                         owned ? "HKEY_CURRENT_USER (IEGetWriteableHKCU)" : "HKEY_CURRENT_USER");
}

}  // namespace regfiles

// File, folder and path helpers over plain POSIX file calls.
#include "support/FileUtils.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/AsciiText.h"
#include "support/WideText.h"

#ifdef _WIN32
#include <io.h>

// The same calls over wide paths, so that names outside the ANSI code page and long paths work.
namespace {
using StatBuffer = struct _stat64;
int StatPath(const std::string& path, StatBuffer* st) { return ::_wstat64(WidePath(path).c_str(), st); }
int OpenPath(const std::string& path, int flags, int mode = 0) {
  return ::_wopen(WidePath(path).c_str(), flags | _O_BINARY | _O_NOINHERIT, mode);
}
bool MakeFolder(const std::string& path) { return ::CreateDirectoryW(WidePath(path).c_str(), nullptr) != 0; }
int UnlinkPath(const std::string& path) { return ::_wunlink(WidePath(path).c_str()); }
bool IsFolder(const StatBuffer& st) { return (st.st_mode & _S_IFDIR) != 0; }
bool IsRegular(const StatBuffer& st) { return (st.st_mode & _S_IFREG) != 0; }
constexpr int kCloseOnExec = 0;
}  // namespace
#else
namespace {
using StatBuffer = struct stat;
int StatPath(const std::string& path, StatBuffer* st) { return ::stat(path.c_str(), st); }
int OpenPath(const std::string& path, int flags, int mode = 0) { return ::open(path.c_str(), flags, mode); }
bool MakeFolder(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }
int UnlinkPath(const std::string& path) { return ::unlink(path.c_str()); }
bool IsFolder(const StatBuffer& st) { return S_ISDIR(st.st_mode); }
bool IsRegular(const StatBuffer& st) { return S_ISREG(st.st_mode); }
constexpr int kCloseOnExec = O_CLOEXEC;
}  // namespace
#endif

namespace {

thread_local WaitPumpHook tPumpHook;

constexpr int kMaxComponents = 64;

// Creates one folder when nothing of that name exists yet; true when it was created.
bool CreateOneFolder(const std::string& path) {
  StatBuffer st{};
  if (StatPath(path, &st) == 0) return false;
  return MakeFolder(path);
}

// Copies the bytes of `source` over `target`; the target keeps the source's permission bits.
bool CopyFileContents(const std::string& source, const std::string& target) {
  int in = OpenPath(source, O_RDONLY | kCloseOnExec);
  if (in < 0) return false;
  StatBuffer st{};
  if (StatPath(source, &st) != 0 || !IsRegular(st)) {
    ::close(in);
    return false;
  }
  int out = OpenPath(target, O_WRONLY | O_CREAT | O_TRUNC | kCloseOnExec, st.st_mode & 07777);
  if (out < 0) {
    ::close(in);
    return false;
  }
  std::vector<char> buffer(1 << 16);
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  ::close(in);
  if (::close(out) != 0) ok = false;
  return ok;
}

}  // namespace

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

void SetWaitPumpHook(WaitPumpHook hook) { tPumpHook = std::move(hook); }

void WaitStep(int ms) {
  if (tPumpHook) tPumpHook();
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int PumpMessages(int ms, int count) {
  for (int i = 0; i < count; ++i) WaitStep(ms);
  return 0;
}

int MakeFolderPath(const std::string& path, std::string* normalized) {
  if (path.size() < 2) return 0;
#ifdef _WIN32
  constexpr const char* kSeparators = "/\\";
  constexpr char kJoin = '\\';
#else
  constexpr const char* kSeparators = "/";
  constexpr char kJoin = '/';
#endif
  // The leading separators stay: they make a path absolute ("/x", "\\x") or a network one
  // ("\\\\server\\share"), which a path without them would not be.
  size_t lead = path.find_first_not_of(kSeparators);
  if (lead == std::string::npos) return 0;
  const std::string root = std::string(std::min<size_t>(lead, kJoin == '/' ? 1 : 2), kJoin);
  std::string copy = path.substr(lead);
  while (!copy.empty() && std::strchr(kSeparators, copy.back())) copy.pop_back();

  int created = 0;
  if (copy.find_first_of(kSeparators) == std::string::npos) {
    std::string one = root + copy;
    if (normalized) *normalized = one;
    return CreateOneFolder(one) ? 1 : 0;
  }

  std::string growing = root;
  bool any = false;
  size_t start = 0;
  for (int count = 0; count < kMaxComponents && start <= copy.size(); ++count) {
    size_t slash = copy.find_first_of(kSeparators, start);
    std::string part(
        TrimBlanks(std::string_view(copy).substr(start, slash == std::string::npos ? std::string::npos : slash - start)));
    start = slash == std::string::npos ? copy.size() + 1 : slash + 1;
    if (part.empty() || part == "." || part == "..") continue;
    if (any) growing += kJoin;
    growing += part;
    any = true;
    // A drive ("C:") is never created; its root is where the walk starts.
    if (kJoin == '\\' && growing.size() == 2 && growing.back() == ':') continue;
    if (CreateOneFolder(growing)) ++created;
  }
  if (normalized) *normalized = growing;
  return created;
}

int FileExists(const std::string& path) {
  StatBuffer st{};
  return StatPath(path, &st) == 0 ? 1 : 0;
}

int GetFileStatus(const std::string& path, int64_t* mtime, int64_t* size) {
#ifdef _WIN32
  // The attribute call rather than _wstat64, which misreads times before 1970.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) return 0;
  int64_t ticks = (static_cast<int64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
  if (mtime) *mtime = ticks / 10000000 - 11644473600LL - (ticks % 10000000 < 0 ? 1 : 0);
  if (size) *size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return 1;
#endif
  StatBuffer st{};
  if (StatPath(path, &st) != 0) return 0;
  if (mtime) *mtime = static_cast<int64_t>(st.st_mtime);
  if (size) *size = static_cast<int64_t>(st.st_size);
  return 1;
}

int DeleteFileIfPresent(const std::string& path) {
#ifdef _WIN32
  StatBuffer st{};
  if (StatPath(path, &st) != 0) return errno == ENOENT ? 1 : 0;
#else
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? 1 : 0;
#endif
  if (IsFolder(st)) return 0;
  return UnlinkPath(path) == 0 || errno == ENOENT ? 1 : 0;
}

#ifdef _WIN32
void RemoveFolderTree(const std::string& path, bool keepFolder) {
  const std::string folder = path.empty() || path.back() == '\\' || path.back() == '/' ? path : path + "\\";
  WIN32_FIND_DATAW entry{};
  HANDLE find = ::FindFirstFileExW(WidePath(folder + "*").c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch,
                                   nullptr, 0);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::string child = folder + Utf8FromWide(name);
      const DWORD attributes = entry.dwFileAttributes;
      // A link to a folder is a folder entry of its own: removed, never entered.
      if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveFolderTree(child);
      } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        ::RemoveDirectoryW(WidePath(child).c_str());
      } else {
        if (attributes & FILE_ATTRIBUTE_READONLY) ::SetFileAttributesW(WidePath(child).c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(WidePath(child).c_str());
      }
    } while (::FindNextFileW(find, &entry));
    ::FindClose(find);
  }
  if (!keepFolder) ::RemoveDirectoryW(WidePath(path).c_str());
}
#else
void RemoveFolderTree(const std::string& path, bool keepFolder) {
  std::error_code ec;
  if (!keepFolder) {
    std::filesystem::remove_all(path, ec);
    return;
  }
  for (const auto& e : std::filesystem::directory_iterator(path, ec)) std::filesystem::remove_all(e.path(), ec);
}
#endif

int MoveFileByCopy(const std::string& source, const std::string& target) {
  if (!FileExists(source)) return 1;
  // Copying a file onto itself would truncate it before reading it.
#ifdef _WIN32
  // No inode numbers here: the same file is recognised by its full path, case aside.
  std::wstring a(32768, L'\0'), b(32768, L'\0');
  DWORD na = ::GetFullPathNameW(WidePath(source).c_str(), static_cast<DWORD>(a.size()), a.data(), nullptr);
  DWORD nb = ::GetFullPathNameW(WidePath(target).c_str(), static_cast<DWORD>(b.size()), b.data(), nullptr);
  if (na > 0 && na == nb && ::CompareStringOrdinal(a.data(), static_cast<int>(na), b.data(), static_cast<int>(nb), TRUE) == CSTR_EQUAL)
    return 0;
#else
  struct stat a{}, b{};
  if (::stat(target.c_str(), &b) == 0 && ::stat(source.c_str(), &a) == 0 && a.st_dev == b.st_dev &&
      a.st_ino == b.st_ino)
    return 0;
#endif
  if (!CopyFileContents(source, target)) return 0;
  return DeleteFileIfPresent(source);
}

int SetFileModTime(const std::string& path, int64_t time) {
#ifdef _WIN32
  // SetFileTime rather than _wutime64, which refuses times before 1970; the access time stays.
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  int64_t ticks = (time + 11644473600LL) * 10000000;  // 100 ns steps since 1601
  FILETIME modified{static_cast<DWORD>(ticks & 0xFFFFFFFF), static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32)};
  BOOL ok = ::SetFileTime(h, nullptr, nullptr, &modified);
  ::CloseHandle(h);
  return ok ? 1 : -1;
#else
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return 0;
  struct timespec times[2];
  times[0] = st.st_atim;  // access time stays as it was
  times[1].tv_sec = static_cast<time_t>(time);
  times[1].tv_nsec = 0;
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0 ? 1 : -1;
#endif
}

std::string& CutAfterLastBackslash(std::string& path, bool keepSlash) {
#ifdef _WIN32
  // Either slash separates a Windows path, and the system's own paths use '\'.
  size_t slash = path.find_last_of("/\\");
#else
  size_t slash = path.rfind('/');
#endif
  if (slash != std::string::npos) path.resize(keepSlash ? slash + 1 : slash);
  return path;
}

std::string RunningExecutablePath() {
#ifdef _WIN32
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) {
      path.resize(n);
      // Started through a "\\?\" path: the plain form is what every caller composes with.
      if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) return Utf8FromWide(L"\\" + path.substr(7));
      if (path.rfind(L"\\\\?\\", 0) == 0) return Utf8FromWide(path.substr(4));
      return Utf8FromWide(path);
    }
    if (path.size() >= 32768) return {};  // the longest path there is
    path.resize(path.size() * 2);
  }
#else
  std::vector<char> buf(4096);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  return std::string(buf.data(), static_cast<size_t>(n));
#endif
}

int GetProcessorCount() {
  unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

#ifdef _WIN32
int GetWindowsVersionCode() {
  // GetLocaleInfoEx arrived with Vista: its presence answers for every later system.
  if (HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll"))
    if (::GetProcAddress(kernel, "GetLocaleInfoEx")) return 2006;
  OSVERSIONINFOW v{};
  v.dwOSVersionInfoSize = sizeof v;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!::GetVersionExW(&v)) return 0;
#pragma GCC diagnostic pop
  switch (v.dwPlatformId) {
    case VER_PLATFORM_WIN32s:
      return 320;
    case VER_PLATFORM_WIN32_WINDOWS:
      if (v.dwMinorVersion == 0) return 950;
      if (v.dwMinorVersion == 10) return v.szCSDVersion[1] == L'A' ? 982 : 980;
      if (v.dwMinorVersion == 90) return 983;
      return 0;
    case VER_PLATFORM_WIN32_NT:
      if (v.dwMajorVersion <= 4) return 1999;
      if (v.dwMajorVersion == 5 && v.dwMinorVersion == 0) return 2000;
      if (v.dwMajorVersion == 5 && v.dwMinorVersion == 1) return 2002;
      if (v.dwMajorVersion == 5 && v.dwMinorVersion == 2) return 2003;
      return 0;
    default:
      return 0;
  }
}
#else
// Not Windows: no version of it to report.
int GetWindowsVersionCode() { return 0; }
#endif

// Test helpers, and the private home folder every test program starts with.
#include "TestSupport.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <fstream>
#include <random>
#include <sstream>
#ifdef _WIN32
#include "platform/win32/CommandLine.h"
#include <fcntl.h>
#include <process.h>

#include "support/WideText.h"
#else
#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace fs = std::filesystem;

namespace testsupport {

namespace {

#ifdef _WIN32
// The wide environment call keeps the C runtime's narrow copy, which getenv reads, in step.
void SetEnv(const char* name, const std::string& value) {
  ::_wputenv_s(WideFromUtf8(name).c_str(), WideFromUtf8(value).c_str());
}
void UnsetEnv(const char* name) { ::_wputenv_s(WideFromUtf8(name).c_str(), L""); }
std::string Utf8(const fs::path& p) { return Utf8FromWide(p.wstring()); }
int ProcessId() { return ::_getpid(); }
#else
void SetEnv(const char* name, const std::string& value) { ::setenv(name, value.c_str(), 1); }
void UnsetEnv(const char* name) { ::unsetenv(name); }
std::string Utf8(const fs::path& p) { return p.string(); }
int ProcessId() { return ::getpid(); }
#endif

fs::path MakeUniqueDir(const std::string& stem) {
#ifdef _WIN32
  std::error_code tec;
  fs::path base = fs::temp_directory_path(tec);
#else
  const char* tmp = std::getenv("TMPDIR");
  fs::path base = (tmp && *tmp) ? fs::path(tmp) : fs::path("/tmp");
#endif
  std::random_device rd;
  for (int i = 0; i < 100; ++i) {
    fs::path p = base / (stem + std::to_string(ProcessId()) + "-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directories(p, ec)) return p;
  }
  std::abort();
}

// Runs before main: every test program lives in a home of its own.
struct PrivateHome {
  fs::path root;
  PrivateHome() {
    root = MakeUniqueDir("zelvora-test-home-");
    SetEnv("HOME", Utf8(root));
    const std::pair<const char*, const char*> dirs[] = {{"XDG_CONFIG_HOME", ".config"},
                                                        {"XDG_STATE_HOME", ".local/state"},
                                                        {"XDG_CACHE_HOME", ".cache"},
                                                        {"XDG_DATA_HOME", ".local/share"}};
    for (auto [var, sub] : dirs) {
      fs::create_directories(root / sub);
      SetEnv(var, Utf8(root / sub));
    }
    fs::create_directories(root / "Desktop");
#ifdef _WIN32
    // The diagnostic log's one fixed folder would be shared by every test program running at
    // once, each creating and removing it: every program gets a folder of its own (not made).
    SetEnv("ZELVORA_DEBUG_LOG_FOLDER", Utf8(root / "debug_logs"));
    // The program's own files (work folders, the encoder capability cache, the error log) go
    // below the user's local application data, which no variable moves: this one does.
    fs::create_directories(root / "AppData" / "Local");
    SetEnv("ZELVORA_LOCAL_DATA_FOLDER", Utf8(root / "AppData" / "Local"));
#endif
    // A power-off that always refuses: whatever a test runs, the machine stays on. Tests that
    // look at the power-off point this at a recording program of their own.
    SetEnv("ZELVORA_POWER_OFF_PROGRAM", "/bin/false");
  }
  ~PrivateHome() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
};

PrivateHome& Home() {
  static PrivateHome home;
  return home;
}
[[maybe_unused]] const bool kHomeReady = (Home(), true);

}  // namespace

const fs::path& TestHome() { return Home().root; }

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = std::getenv(name)) old_ = old;
  SetEnv(name, value);
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    SetEnv(name_, *old_);
  else
    UnsetEnv(name_);
}

TempDir::TempDir() : path_(MakeUniqueDir("zelvora-test-")) {}
TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

namespace {
#ifdef _WIN32
// Tests name files in UTF-8, and some paths pass 260 characters: a file is opened by its wide
// (long) form, since the C runtime would read a narrow name in the ANSI code page.
fs::path FilePath(const std::string& path) { return fs::path(WidePath(path)); }
#else
fs::path FilePath(const std::string& path) { return fs::path(path); }
#endif
}  // namespace

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(FilePath(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(FilePath(path), std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

#ifdef _WIN32
// Arguments are quoted as the product quotes them for its own children.
using platform::win32::QuoteArgument;

int RunCommand(const std::vector<std::string>& argv, std::string* output) {
  if (argv.empty()) return -1;
  std::wstring line;
  for (auto& a : argv) line += (line.empty() ? L"" : L" ") + QuoteArgument(WideFromUtf8(a));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return -1;
  ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  PROCESS_INFORMATION pi{};
  BOOL started = ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  ::CloseHandle(writeEnd);
  if (!started) {
    ::CloseHandle(readEnd);
    return 127;
  }
  char buf[4096];
  DWORD n = 0;
  while (::ReadFile(readEnd, buf, sizeof buf, &n, nullptr) && n > 0)
    if (output) output->append(buf, n);
  ::CloseHandle(readEnd);
  ::WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(pi.hProcess, &code);
  ::CloseHandle(pi.hProcess);
  ::CloseHandle(pi.hThread);
  return static_cast<int>(code);
}

int RunCommandSplit(const std::vector<std::string>& argv, std::string* out, std::string* err) {
  if (argv.empty()) return -1;
  TempDir capture;
  std::wstring line;
  for (auto& a : argv) line += (line.empty() ? L"" : L" ") + QuoteArgument(WideFromUtf8(a));
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  auto open = [&](const char* name) {
    return ::CreateFileW((capture.path() / name).wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  HANDLE outFile = open("out"), errFile = open("err");
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = outFile;
  si.hStdError = errFile;
  PROCESS_INFORMATION pi{};
  BOOL started = outFile != INVALID_HANDLE_VALUE && errFile != INVALID_HANDLE_VALUE &&
                 ::CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
  if (outFile != INVALID_HANDLE_VALUE) ::CloseHandle(outFile);
  if (errFile != INVALID_HANDLE_VALUE) ::CloseHandle(errFile);
  DWORD code = static_cast<DWORD>(-1);
  if (started) {
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    ::GetExitCodeProcess(pi.hProcess, &code);
    ::CloseHandle(pi.hProcess);
    ::CloseHandle(pi.hThread);
  }
  if (out) *out = ReadFile((capture.path() / "out").string());
  if (err) *err = ReadFile((capture.path() / "err").string());
  return started ? static_cast<int>(code) : -1;
}

std::string NativePath(const std::string& path) {
  std::wstring wide = WideFromUtf8(path);
  DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  n = ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  full.resize(n);
  return Utf8FromWide(full);
}
#else
int RunCommand(const std::vector<std::string>& argv, std::string* output) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    ::close(fds[0]);
    ::close(fds[1]);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buf, sizeof buf)) > 0)
    if (output) output->append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int RunCommandSplit(const std::vector<std::string>& argv, std::string* out, std::string* err) {
  if (argv.empty()) return -1;
  TempDir capture;
  const std::string outPath = capture.file("out"), errPath = capture.file("err");
  std::vector<std::string> copy = argv;
  std::vector<char*> raw;
  for (auto& a : copy) raw.push_back(a.data());
  raw.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid;
  int result = -1;
  if (posix_spawnp(&pid, raw[0], &actions, nullptr, raw.data(), environ) == 0) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  if (out) *out = ReadFile(outPath);
  if (err) *err = ReadFile(errPath);
  return result;
}

std::string NativePath(const std::string& path) { return path; }
#endif

#ifdef _WIN32
namespace {

// Wine's own calls between its DOS and Unix file names (kernel32 exports them under Wine only).
using UnixNameCall = char*(__cdecl*)(const wchar_t*);
using DosNameCall = wchar_t*(__cdecl*)(const char*);

template <typename Call>
Call WineCall(const char* name) {
  return reinterpret_cast<Call>(reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}

// A Linux program of the machine running Wine: its Unix path and its DOS name, both empty when
// there is none (or no Wine).
struct UnixProgram {
  std::string unixPath;
  std::wstring dosName;
};

UnixProgram FindUnixProgram(const std::string& name) {
  static const DosNameCall toDos = WineCall<DosNameCall>("wine_get_dos_file_name");
  if (!toDos || name.find_first_of("/\\:") != std::string::npos) return {};
  for (const char* dir : {"/usr/local/bin/", "/usr/bin/", "/bin/"}) {
    const std::string unixPath = dir + name;
    wchar_t* dos = toDos(unixPath.c_str());
    if (!dos) continue;
    std::wstring found = dos;
    ::HeapFree(::GetProcessHeap(), 0, dos);
    const DWORD attributes = ::GetFileAttributesW(found.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) return {unixPath, found};
  }
  return {};
}

// An argument that is an absolute Windows path, as the Unix path of the same file.
std::string UnixArgument(const std::string& arg) {
  static const UnixNameCall toUnix = WineCall<UnixNameCall>("wine_get_unix_file_name");
  const bool drivePath = arg.size() > 2 && std::isalpha(static_cast<unsigned char>(arg[0])) && arg[1] == ':' &&
                         (arg[2] == '\\' || arg[2] == '/');
  if (!toUnix || !drivePath) return arg;
  char* unix = toUnix(WideFromUtf8(arg).c_str());
  if (!unix) return arg;
  std::string path = unix;
  ::HeapFree(::GetProcessHeap(), 0, unix);
  return path;
}

// Waits (at most `timeout`) for `file` to appear in `folder`, woken by the folder's change
// notification and looking again at least every 100 ms.
bool WaitForFile(const fs::path& folder, const fs::path& file, std::chrono::milliseconds timeout) {
  HANDLE change = ::FindFirstChangeNotificationW(folder.wstring().c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool found = false;
  while (!(found = ::GetFileAttributesW(file.wstring().c_str()) != INVALID_FILE_ATTRIBUTES) &&
         std::chrono::steady_clock::now() < deadline) {
    if (change == INVALID_HANDLE_VALUE)
      ::Sleep(20);
    else if (::WaitForSingleObject(change, 100) == WAIT_OBJECT_0)
      ::FindNextChangeNotification(change);
  }
  if (change != INVALID_HANDLE_VALUE) ::FindCloseChangeNotification(change);
  return found;
}

}  // namespace

// Wine starts a Linux program as a process it gives no handle for: nothing to wait on, no exit
// code, and its output does not reach our pipe. So the program runs under sh, which writes its
// output and then its exit status into a folder of ours; the status file appearing (renamed
// into place whole) is the end of the run.
int RunFixtureTool(const std::vector<std::string>& argv, std::string* output) {
  if (argv.empty() || HaveProgram(argv[0])) return RunCommand(argv, output);
  const UnixProgram program = FindUnixProgram(argv[0]);
  const UnixProgram shell = FindUnixProgram("sh");
  if (program.unixPath.empty() || shell.unixPath.empty()) return RunCommand(argv, output);
  const fs::path folder = MakeUniqueDir("zelvora-fixture-tool-");
  const std::string script =
      "d=$1; shift; \"$@\" >\"$d/output\" 2>&1; echo $? >\"$d/status.part\"; mv \"$d/status.part\" \"$d/status\"";
  std::vector<std::string> shellArgv = {Utf8FromWide(shell.dosName), "-c", script, "sh", UnixArgument(Utf8(folder)),
                                        program.unixPath};
  for (size_t i = 1; i < argv.size(); ++i) shellArgv.push_back(UnixArgument(argv[i]));
  int status = -1;
  if (RunCommand(shellArgv) == 0 && WaitForFile(folder, folder / "status", std::chrono::minutes(5))) {
    if (output) *output += ReadFile(Utf8(folder / "output"));
    status = std::atoi(ReadFile(Utf8(folder / "status")).c_str());
  } else if (output) {
    *output += "the Linux " + argv[0] + " did not finish within five minutes";
  }
  std::error_code ec;
  fs::remove_all(folder, ec);
  return status;
}

bool HaveFixtureTool(const std::string& name) { return HaveProgram(name) || !FindUnixProgram(name).unixPath.empty(); }

bool RunningUnderWine() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}
#else
bool RunningUnderWine() { return false; }
int RunFixtureTool(const std::vector<std::string>& argv, std::string* output) { return RunCommand(argv, output); }
bool HaveFixtureTool(const std::string& name) { return HaveProgram(name); }
#endif

bool FixtureToolsRequired() {
  const char* v = std::getenv("ZELVORA_REQUIRE_TOOLS");
  return v && std::string(v) == "1";
}

bool ToolsRequired() { return FixtureToolsRequired() && !RunningUnderWine(); }

bool SkipCaseWithoutTool(bool missing, const std::string& reason) {
  if (!missing) return false;
  if (ToolsRequired())
    ADD_FAILURE() << reason << " (setup installs it)";
  else
    std::cout << "[  SKIPPED ] a case: " << reason << "\n";
  return true;
}

int64_t TimeOf(const std::string& path) {
  std::error_code error;
  const auto t = fs::last_write_time(FilePath(path), error);
  if (error) return -1;
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::file_clock::to_sys(t).time_since_epoch()).count();
}

void SetTime(const std::string& path, int64_t seconds) {
  std::error_code error;
  fs::last_write_time(FilePath(path),
                      std::chrono::file_clock::from_sys(std::chrono::system_clock::time_point(std::chrono::seconds(seconds))),
                      error);
  if (error) ADD_FAILURE() << path << ": " << error.message();
}

std::string MakeClip(const std::string& path, const ClipSpec& spec) {
  const std::string seconds = std::to_string(spec.seconds);
  std::vector<std::string> sources = spec.sources;
  if (sources.empty())
    sources = {"testsrc=size=" + spec.size + ":rate=" + std::to_string(spec.rate) + ":duration=" + seconds,
               "sine=frequency=440:sample_rate=44100:duration=" + seconds};
  std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"};
  for (const std::string& source : sources) argv.insert(argv.end(), {"-f", "lavfi", "-i", source});
  argv.insert(argv.end(), spec.options.begin(), spec.options.end());
  argv.insert(argv.end(), {"-shortest", path});
  std::string log;
  const int status = RunCommand(argv, &log);
  std::error_code ec;
  if (status == 0 && fs::file_size(FilePath(path), ec) > 0 && !ec) return path;
  ADD_FAILURE() << "ffmpeg could not make " << path << " (exit status " << status
                << (status == 127 ? ", ffmpeg is not installed" : "") << "): " << log;
  return {};
}

std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> entries;
  auto describe = [](const fs::directory_entry& entry) -> std::string {
    std::error_code ec;
    if (entry.is_symlink(ec)) return "link:" + fs::read_symlink(entry.path(), ec).string();
    if (entry.is_directory(ec)) return "folder";
    if (!entry.is_regular_file(ec)) return "other";
    const std::string bytes = ReadFile(Utf8(entry.path()));
    const auto mode = static_cast<unsigned>(entry.symlink_status(ec).permissions() & fs::perms::mask);
    return "file:" + std::to_string(bytes.size()) + ":" + std::to_string(std::hash<std::string>{}(bytes)) + "@" +
           std::to_string(fs::last_write_time(entry.path(), ec).time_since_epoch().count()) + ":mode " +
           std::to_string(mode);
  };
  std::error_code ec;
  const fs::directory_entry top(root, ec);
  if (ec || !fs::exists(fs::symlink_status(root, ec))) return entries;
  if (!top.is_directory(ec) || top.is_symlink(ec)) {
    entries[""] = describe(top);
    return entries;
  }
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec))
    entries[Utf8(it->path().lexically_relative(root))] = describe(*it);  // links not followed
  return entries;
}

#ifndef _WIN32
bool PrivateMountNamespace() {
  static const int error = [] {
    if (::unshare(CLONE_NEWNS) != 0) return errno;
    // Mounts made from now on must not travel back to the machine's namespace through shared
    // propagation, which systemd sets up for "/".
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return errno;
    return 0;
  }();
  errno = error;
  return error == 0;
}
#endif

bool HaveProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream ss(path ? path : "");
  std::string dir;
#ifdef _WIN32
  // Windows programs are found by their .exe file along a semicolon-separated PATH.
  while (std::getline(ss, dir, ';')) {
    std::error_code ec;
    if (!dir.empty() && fs::is_regular_file(fs::path(WideFromUtf8(dir)) / WideFromUtf8(name + ".exe"), ec)) return true;
  }
#else
  while (std::getline(ss, dir, ':'))
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
#endif
  return false;
}

ByteWriter& ByteWriter::u8(uint8_t v) {
  data_.push_back(static_cast<char>(v));
  return *this;
}
ByteWriter& ByteWriter::u16be(uint16_t v) { return u8(v >> 8).u8(v & 0xff); }
ByteWriter& ByteWriter::u16le(uint16_t v) { return u8(v & 0xff).u8(v >> 8); }
ByteWriter& ByteWriter::u24be(uint32_t v) { return u8((v >> 16) & 0xff).u16be(v & 0xffff); }
ByteWriter& ByteWriter::u32be(uint32_t v) { return u16be(v >> 16).u16be(v & 0xffff); }
ByteWriter& ByteWriter::u32le(uint32_t v) { return u16le(v & 0xffff).u16le(v >> 16); }
ByteWriter& ByteWriter::u64be(uint64_t v) { return u32be(static_cast<uint32_t>(v >> 32)).u32be(v & 0xffffffff); }
ByteWriter& ByteWriter::u64le(uint64_t v) { return u32le(v & 0xffffffff).u32le(static_cast<uint32_t>(v >> 32)); }
ByteWriter& ByteWriter::text(const std::string& s) {
  data_ += s;
  return *this;
}
ByteWriter& ByteWriter::zeros(size_t n) {
  data_.append(n, '\0');
  return *this;
}
void ByteWriter::patch32be(size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) data_[offset + i] = static_cast<char>((v >> (24 - 8 * i)) & 0xff);
}
void ByteWriter::patch32le(size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) data_[offset + i] = static_cast<char>((v >> (8 * i)) & 0xff);
}

}  // namespace testsupport

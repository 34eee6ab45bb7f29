// Test helpers, and the private home folder every test program starts with.
#include "TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <fstream>
#include <random>
#include <sstream>
#ifdef _WIN32
#include <process.h>

#include "support/WideText.h"
#else
#include <sys/wait.h>
#include <unistd.h>
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
// One command line quoted the way CommandLineToArgvW splits it back.
std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}

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
#endif

bool ToolsRequired() {
  const char* v = std::getenv("ZELVORA_REQUIRE_TOOLS");
  return v && std::string(v) == "1";
}

bool SkipCaseWithoutTool(bool missing, const std::string& reason) {
  if (!missing) return false;
  if (ToolsRequired())
    ADD_FAILURE() << reason << " (setup installs it)";
  else
    std::cout << "[  SKIPPED ] a case: " << reason << "\n";
  return true;
}

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

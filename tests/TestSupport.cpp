// Test helpers, and the private home folder every test program starts with.
#include "TestSupport.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <fstream>
#include <random>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

fs::path MakeUniqueDir(const std::string& stem) {
  const char* tmp = std::getenv("TMPDIR");
  fs::path base = (tmp && *tmp) ? fs::path(tmp) : fs::path("/tmp");
  std::random_device rd;
  for (int i = 0; i < 100; ++i) {
    fs::path p = base / (stem + std::to_string(::getpid()) + "-" + std::to_string(rd()));
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
    setenv("HOME", root.c_str(), 1);
    const std::pair<const char*, const char*> dirs[] = {{"XDG_CONFIG_HOME", ".config"},
                                                        {"XDG_STATE_HOME", ".local/state"},
                                                        {"XDG_CACHE_HOME", ".cache"},
                                                        {"XDG_DATA_HOME", ".local/share"}};
    for (auto [var, sub] : dirs) {
      fs::create_directories(root / sub);
      setenv(var, (root / sub).c_str(), 1);
    }
    fs::create_directories(root / "Desktop");
    // A power-off that always refuses: whatever a test runs, the machine stays on. Tests that
    // look at the power-off point this at a recording program of their own.
    setenv("ZELVORA_POWER_OFF_PROGRAM", "/bin/false", 1);
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
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (old_)
    setenv(name_, old_->c_str(), 1);
  else
    unsetenv(name_);
}

TempDir::TempDir() : path_(MakeUniqueDir("zelvora-test-")) {}
TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

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
  while (std::getline(ss, dir, ':'))
    if (!dir.empty() && ::access((dir + "/" + name).c_str(), X_OK) == 0) return true;
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

// Helpers shared by the tests: temporary folders, file writing, running commands.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// A fresh folder removed again at the end of its scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Sets an environment variable for the scope; restores the old value (or its absence) after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

// The private home that every test program gets at start-up: HOME and the XDG
// folders point below it, so no test ever touches the real home folder.
const std::filesystem::path& TestHome();

void WriteFile(const std::string& path, const std::string& bytes);
std::string ReadFile(const std::string& path);

// Runs argv (no shell), returns the exit status; output merged into *output when given.
int RunCommand(const std::vector<std::string>& argv, std::string* output = nullptr);

// Runs argv (no shell) with its standard output and standard error kept apart; the exit status,
// or -1 when it did not exit normally.
int RunCommandSplit(const std::vector<std::string>& argv, std::string* out, std::string* err);

// `path` as this system spells it in full: on Windows a path given in the build host's POSIX form
// (as the build passes program paths to the tests) becomes its drive form (Z:\...); elsewhere unchanged.
std::string NativePath(const std::string& path);

// Whether a program is on PATH.
bool HaveProgram(const std::string& name);

// The programs that make test fixtures (python3, gcab, env), run and looked for as RunCommand
// and HaveProgram do. A Windows test program under Wine, where no Windows copies of them
// exist, uses the Linux programs of the machine running Wine instead; arguments that are
// Windows paths ("C:\...") reach them as the Unix paths of the same files.
int RunFixtureTool(const std::vector<std::string>& argv, std::string* output = nullptr);
bool HaveFixtureTool(const std::string& name);

// Whether this is a Windows test program running under Wine (false elsewhere).
bool RunningUnderWine();

// Whether the run demands every tool that setup installs (./test sets ZELVORA_REQUIRE_TOOLS=1):
// then a missing tool is a failure, not a skip.
bool ToolsRequired();

// For one case of a table: true when the case is to be left out because a tool is missing. It
// says so on the output, and is a failure when tools are required.
bool SkipCaseWithoutTool(bool missing, const std::string& reason);

// Ends the test when `missing` holds: a reported skip, or a failure when tools are required.
// A macro, because GTEST_SKIP and GTEST_FAIL return from the test body.
#define ZELVORA_SKIP_WITHOUT_TOOL(missing, reason)                                              \
  do {                                                                                          \
    if (missing) {                                                                              \
      if (::testsupport::ToolsRequired()) GTEST_FAIL() << (reason) << " (setup installs it)"; \
      GTEST_SKIP() << (reason);                                                                 \
    }                                                                                           \
  } while (0)

// Little byte writer for building binary fixtures field by field.
class ByteWriter {
 public:
  ByteWriter& u8(uint8_t v);
  ByteWriter& u16be(uint16_t v);
  ByteWriter& u16le(uint16_t v);
  ByteWriter& u24be(uint32_t v);
  ByteWriter& u32be(uint32_t v);
  ByteWriter& u32le(uint32_t v);
  ByteWriter& u64be(uint64_t v);
  ByteWriter& u64le(uint64_t v);
  ByteWriter& text(const std::string& s);  // bytes without terminator
  ByteWriter& zeros(size_t n);
  ByteWriter& bytes(const std::string& b) { return text(b); }
  size_t size() const { return data_.size(); }
  std::string& data() { return data_; }
  const std::string& str() const { return data_; }
  // Overwrites a 32-bit big-endian value at `offset` (for sizes known only at the end).
  void patch32be(size_t offset, uint32_t v);
  void patch32le(size_t offset, uint32_t v);

 private:
  std::string data_;
};

}  // namespace testsupport

// Helpers shared by the tests: temporary folders, file writing, running commands.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
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

// A file's modification time in seconds since 1970 (-1 when it has none), read through
// std::filesystem so that every system reads it the same way; SetTime sets it, failing the test
// when it cannot.
int64_t TimeOf(const std::string& path);
void SetTime(const std::string& path, int64_t seconds);

// Runs argv (no shell), returns the exit status; output merged into *output when given.
int RunCommand(const std::vector<std::string>& argv, std::string* output = nullptr);

// Runs argv (no shell) with its standard output and standard error kept apart; the exit status,
// or -1 when it did not exit normally.
int RunCommandSplit(const std::vector<std::string>& argv, std::string* out, std::string* err);

// `path` as this system spells it in full: on Windows a path given in the build host's POSIX form
// (as the build passes program paths to the tests) becomes its drive form (Z:\...); elsewhere unchanged.
std::string NativePath(const std::string& path);

#ifndef _WIN32
// Puts the calling thread of this test program (the one that runs the tests and starts their
// children) in a mount namespace of its own, once: what a test mounts there is seen by the test and
// the programs it starts but by nothing else on the machine, and the kernel drops it with the
// namespace when the program ends, however it ends (a killed test leaves nothing mounted). False,
// with errno set, when no namespace could be made (not root).
bool PrivateMountNamespace();
#endif

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

// Whether the run demands every tool that setup installs (./test and ./test --windows set
// ZELVORA_REQUIRE_TOOLS=1): then a missing tool is a failure, not a skip. A Windows test program
// under Wine has no Windows ffmpeg, mencoder or python3 that setup could install, so there it may
// skip without them; the fixture tools it borrows from Linux stay required (FixtureToolsRequired).
bool ToolsRequired();
bool FixtureToolsRequired();

// For one case of a table: true when the case is to be left out because a tool is missing. It
// says so on the output, and is a failure when tools are required.
bool SkipCaseWithoutTool(bool missing, const std::string& reason);

// Ends the test when `missing` holds: a reported skip, or a failure when tools are required.
// A macro, because GTEST_SKIP and GTEST_FAIL return from the test body.
#define ZELVORA_SKIP_WITHOUT_TOOL(missing, reason) \
  ZELVORA_SKIP_UNLESS_REQUIRED(missing, reason, ::testsupport::ToolsRequired())
#define ZELVORA_SKIP_UNLESS_REQUIRED(missing, reason, required)                     \
  do {                                                                              \
    if (missing) {                                                                  \
      if (required) GTEST_FAIL() << (reason) << " (setup installs it)";            \
      GTEST_SKIP() << (reason);                                                     \
    }                                                                               \
  } while (0)

// Ends the test when program `name` is not on PATH: a skip naming it, or a failure naming it when
// tools are required.
#define ZELVORA_SKIP_WITHOUT_PROGRAM(name) \
  ZELVORA_SKIP_WITHOUT_TOOL(!::testsupport::HaveProgram(name), std::string(name) + " is not installed")

// The same for a program that makes fixtures (python3, gcab), found as RunFixtureTool finds it.
#define ZELVORA_SKIP_WITHOUT_FIXTURE_TOOL(name)                                                      \
  ZELVORA_SKIP_UNLESS_REQUIRED(!::testsupport::HaveFixtureTool(name), std::string(name) + " is not installed", \
                               ::testsupport::FixtureToolsRequired())

// ZELVORA_SKIP_WITHOUT_PROGRAM for a QTest test function (QSKIP and QFAIL return from it).
#define ZELVORA_QSKIP_WITHOUT_PROGRAM(name)                                                      \
  do {                                                                                           \
    if (!::testsupport::HaveProgram(name)) {                                                     \
      const std::string zelvoraMissing = std::string(name) + " is not installed";                \
      if (::testsupport::ToolsRequired())                                                        \
        QFAIL((zelvoraMissing + " (setup installs it)").c_str());                                \
      QSKIP(zelvoraMissing.c_str());                                                             \
    }                                                                                            \
  } while (0)

// What MakeClip makes: by default a test picture and a 440 Hz tone, MPEG-4 part 2 and MP3, in the
// container of the file's extension.
struct ClipSpec {
  int seconds = 2;
  std::string size = "160x120";
  int rate = 25;
  // lavfi sources in place of the test picture and the tone, e.g. "color=c=black:size=320x240:duration=2".
  std::vector<std::string> sources;
  // Output options before the path: codecs and container.
  std::vector<std::string> options = {"-c:v", "mpeg4", "-c:a", "libmp3lame"};
};

// Makes a real clip at `path` with ffmpeg and returns the path. When ffmpeg fails (or is missing) the
// test fails with what ffmpeg said and the result is empty, so no check runs on a file that is not there.
std::string MakeClip(const std::string& path, const ClipSpec& spec = {});

// Every entry below `root` (or `root` itself when it is a file, under the name "") with what identifies
// it: files by their bytes, modification time and permission bits (a file written again with the same
// bytes counts as touched), links by their target, folders by their presence. Equal snapshots mean nothing was touched.
std::map<std::string, std::string> Snapshot(const std::filesystem::path& root);

#ifdef ZELVORA_CLI_PATH
// The zelvora command under test: the one this build made, or, with ZELVORA_CLI_UNDER_TEST, another
// build of it (an older one, to see a test fail there).
inline std::string CliPath() {
  const char* other = std::getenv("ZELVORA_CLI_UNDER_TEST");
  return other && *other ? other : ZELVORA_CLI_PATH;
}

// Runs the zelvora command under test with `args`; the exit status, output merged into *output.
inline int RunZelvora(const std::vector<std::string>& args, std::string* output = nullptr) {
  std::vector<std::string> argv = {CliPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv, output);
}

// The same with standard output and standard error apart.
struct CliOutcome {
  int status = -1;
  std::string out, err;
};
inline CliOutcome RunZelvoraSplit(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {CliPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  CliOutcome r;
  r.status = RunCommandSplit(argv, &r.out, &r.err);
  return r;
}
#endif

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

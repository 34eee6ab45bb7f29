// The manifest's invocation is the command line as typed: split again by the system's own rules
// (a POSIX shell, or the C runtime's on Windows), it gives back the arguments of the run.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>

#include "support/WideText.h"
#endif

using testsupport::TempDir;

namespace {

// The invocation's words after the leading "zelvora ".
std::vector<std::string> SplitAgain(const std::string& line) {
  std::vector<std::string> words;
#ifdef _WIN32
  int count = 0;
  wchar_t** split = ::CommandLineToArgvW(WideFromUtf8(line).c_str(), &count);
  for (int i = 0; split && i < count; ++i) words.push_back(Utf8FromWide(split[i]));
  if (split) ::LocalFree(split);
#else
  std::string out;
  EXPECT_EQ(testsupport::RunCommand({"sh", "-c", "eval \"set -- $1\"; for a; do printf '%s\\n' \"$a\"; done", "sh", line},
                                    &out),
            0);
  for (size_t start = 0, end; (end = out.find('\n', start)) != std::string::npos; start = end + 1)
    words.push_back(out.substr(start, end - start));
#endif
  return words;
}

// The "invocation" text of the manifest's first line (the JSON escapes this test needs undone).
std::string Invocation(const std::string& manifest) {
  std::string text = testsupport::ReadFile(manifest);
  const std::string key = "\"invocation\":\"";
  size_t at = text.find(key);
  if (at == std::string::npos) return {};
  std::string value;
  for (size_t i = at + key.size(); i < text.size() && text[i] != '"'; ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) ++i;
    value += text[i];
  }
  return value;
}

}  // namespace

TEST(Manifest, InvocationSplitsBackIntoTheArgumentsOfTheRun) {
  TempDir dir;
  // A file no reader takes: its row fails at once, without an encoder, and is recorded.
  const std::string source = dir.file("it's a \xED\x81\xB4\xEB\xA6\xBD (1).mp4");
  testsupport::WriteFile(source, std::string(300, '\x01'));
  const std::string manifest = dir.file("runs.jsonl");
#ifdef _WIN32
  // A quoted argument that ends in backslashes is where Windows quoting goes wrong.
  const std::string outputDir = dir.file("out put") + "\\";
#else
  const std::string outputDir = dir.file("out put") + "/";
#endif
  const std::vector<std::string> args = {"encode", "--manifest", manifest, "--output-dir", outputDir,
                                         "--set", "encoding_options.optional=-metadata title=\"a b\" ", source};
  std::vector<std::string> argv = {testsupport::CliPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string out;
  EXPECT_EQ(testsupport::RunCommand(argv, &out), 1) << out;

  std::string invocation = Invocation(manifest);
  ASSERT_EQ(invocation.rfind("zelvora ", 0), 0u) << testsupport::ReadFile(manifest);
  std::vector<std::string> words = SplitAgain(invocation.substr(8));
  EXPECT_EQ(words, args) << invocation;
}

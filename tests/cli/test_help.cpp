// The command's help and usage errors follow the usual conventions: --help prints a usage line to
// standard output and exits 0; a usage error says so on standard error and exits 2.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"

using testsupport::CliOutcome;
using testsupport::RunCommand;
using testsupport::RunZelvoraSplit;
using testsupport::TempDir;

TEST(Help, HelpGoesToStandardOutputAndExitsZero) {
  struct Case {
    std::vector<std::string> args;
    std::string usage;  // how the usage line starts
  };
  for (const Case& c : std::vector<Case>{
           {{"--help"}, "usage: zelvora COMMAND"},
           {{"-h"}, "usage: zelvora COMMAND"},
           {{"help"}, "usage: zelvora COMMAND"},
           {{"help", "encode"}, "usage: zelvora encode"},
           {{"help", "settings"}, "usage: zelvora settings"},
           {{"help", "probe"}, "usage: zelvora probe"},
           {{"help", "update"}, "usage: zelvora update"},
           {{"update", "--help"}, "usage: zelvora update"},
           {{"encode", "--help"}, "usage: zelvora encode"},
           {{"encode", "-h"}, "usage: zelvora encode"},
           {{"encode", "--output-dir", "x", "--help"}, "usage: zelvora encode"},
           {{"settings", "--help"}, "usage: zelvora settings"},
           {{"settings", "show", "--help"}, "usage: zelvora settings"},
           {{"probe", "--help"}, "usage: zelvora probe"},
       }) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    CliOutcome r = RunZelvoraSplit(c.args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(c.usage, 0), 0u) << r.out;
    EXPECT_EQ(r.err, "");
  }
  CliOutcome version = RunZelvoraSplit({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("zelvora ", 0), 0u) << version.out;
  EXPECT_EQ(version.out.back(), '\n');
}

TEST(Help, UsageErrorsGoToStandardErrorAndExitTwo) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {"bogus"}, {"help", "bogus"}, {"--bogus"}, {"encode"}, {"encode", "--bogus", "f"},
           {"encode", "--shard"}, {"encode", "--manifest"}, {"settings"}, {"settings", "frobnicate"},
           {"settings", "get"}, {"probe"}, {"probe", "--bogus", "f"}}) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    CliOutcome r = RunZelvoraSplit(args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("zelvora"), std::string::npos) << r.err;
  }
}

// The bash completion offers the commands and each command's options, as the program knows them.
TEST(Help, BashCompletion) {
#ifdef _WIN32
  GTEST_SKIP() << "no bash completion on Windows";
#endif
  const std::string completion = std::string(ZELVORA_SOURCE_DIR) + "/data/completions/zelvora";
  const std::string framework = "/usr/share/bash-completion/bash_completion";
  ZELVORA_SKIP_WITHOUT_TOOL(!std::filesystem::exists(framework), "bash-completion is not installed");
  TempDir bin;
  std::filesystem::create_symlink(testsupport::CliPath(), bin.file("zelvora"));
  struct Case {
    std::string line;
    std::vector<std::string> expect;
  };
  for (const Case& c : std::vector<Case>{
           {"zelvora ", {"--help", "--version", "encode", "help", "probe", "settings", "update"}},
           {"zelvora help ", {"encode", "probe", "settings", "update"}},
           {"zelvora update --", {"--check", "--help"}},
           {"zelvora encode --skip", {"--skip-done"}},
           {"zelvora encode --pe", {"--pending"}},
           {"zelvora enc", {"encode"}},
           {"zelvora encode --sh", {"--shard", "--shutdown-when-done"}},
           {"zelvora encode --ma", {"--manifest"}},
           {"zelvora settings ", {"--help", "export", "get", "reset", "set", "show"}},
           {"zelvora settings set video_conf.bitr", {"video_conf.bitrate="}},
           {"zelvora settings get video_conf.bitr", {"video_conf.bitrate"}},
       }) {
    SCOPED_TRACE(c.line);
    std::string script = "PATH='" + bin.str() + "':$PATH; source " + framework + "; source " + completion +
                         "; compopt() { :; };"  // outside a real completion, compopt would refuse
                         " COMP_LINE=\"$1\"; COMP_POINT=${#COMP_LINE}; read -ra COMP_WORDS <<<\"$COMP_LINE\";"
                         " [[ $COMP_LINE == *' ' ]] && COMP_WORDS+=(''); COMP_CWORD=$((${#COMP_WORDS[@]} - 1));"
                         " _zelvora; printf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort";
    std::string out;
    ASSERT_EQ(RunCommand({"bash", "-c", script, "bash", c.line}, &out), 0) << out;
    std::string expected;
    for (const auto& e : c.expect) expected += e + "\n";
    EXPECT_EQ(out, expected);
  }
}

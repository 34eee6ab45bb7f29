// zelvora update [--check], run as the real command: no server, unreachable server, wrong install path.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "../update/LoopbackServer.h"
#include "TestSupport.h"

using testsupport::RunCommand;
using testsupport::TempDir;

namespace {

class UpdateCli : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_CONFIG_HOME", config_.str().c_str(), 1);
    setenv("ZELVORA_PROGRAM_FILES", programFiles_.str().c_str(), 1);
  }
  void TearDown() override { unsetenv("ZELVORA_PROGRAM_FILES"); }

  int Zelvora(std::vector<std::string> args, std::string* out) {
    args.insert(args.begin(), testsupport::CliPath());
    return RunCommand(args, out);
  }
  std::string Rebirth() {
    std::string out;
    Zelvora({"settings", "get", "encoder.program_rebirth"}, &out);
    return out;
  }

  // A minisign public key line (any 32 key bytes read as a key; none of our tests signs with it).
  static constexpr const char* kKey = "RWQBAgMEBQYHCGRlZmdoaWprbG1ub3BxcnN0dXZ3eHl6e3x9fn+AgYKD";
  void SetKey() {
    std::string out;
    ASSERT_EQ(Zelvora({"settings", "set", std::string("encoder.update_key=") + kKey}, &out), 0) << out;
  }

  TempDir config_;
  TempDir programFiles_;
};

}  // namespace

TEST_F(UpdateCli, WithoutAServerNothingHappens) {
  std::string out;
  EXPECT_EQ(Zelvora({"update", "--check"}, &out), 0) << out;
  EXPECT_NE(out.find("No update server is set"), std::string::npos) << out;
  EXPECT_EQ(Rebirth(), "0\n");
}

TEST_F(UpdateCli, UnreachableServerWarnsAndKeepsTheTime) {
  int holder = -1;
  const int port = loopback::ClosedPort(&holder);
  std::string out;
  ASSERT_EQ(Zelvora({"settings", "set", "encoder.update_server=127.0.0.1:" + std::to_string(port)}, &out), 0) << out;
  SetKey();
  EXPECT_EQ(Zelvora({"update"}, &out), 1) << out;
  // The default interface language is Korean.
  EXPECT_NE(out.find("zelvora: warning: 프로그램 업데이트가 정상적으로 완료 되지 않았습니다."), std::string::npos) << out;
  EXPECT_EQ(Rebirth(), "0\n");
  ::close(holder);
}

TEST_F(UpdateCli, RunFromAnotherFolderIsAnInvalidProgramPath) {
  int port = 0;
  const int listener = loopback::ListenSocket(4, &port);  // connects complete in the backlog
  std::string out;
  ASSERT_EQ(Zelvora({"settings", "set", "encoder.update_server=127.0.0.1:" + std::to_string(port)}, &out), 0) << out;
  SetKey();
  EXPECT_EQ(Zelvora({"update", "--check"}, &out), 1) << out;
  EXPECT_NE(out.find("zelvora: Invalid Program Path!!"), std::string::npos) << out;
  EXPECT_EQ(Rebirth(), "0\n");
  EXPECT_EQ(Zelvora({"update", "--bogus"}, &out), 2);
  ::close(listener);
}

TEST_F(UpdateCli, WithoutAKeyNothingIsAskedAndTheUserIsToldOnce) {
  int port = 0;
  const int listener = loopback::ListenSocket(4, &port);
  std::string out;
  ASSERT_EQ(Zelvora({"settings", "set", "encoder.update_server=127.0.0.1:" + std::to_string(port)}, &out), 0) << out;
  EXPECT_EQ(Zelvora({"update"}, &out), 1) << out;
  EXPECT_NE(out.find("No update key is set"), std::string::npos) << out;
  EXPECT_EQ(out.find("Invalid Program Path"), std::string::npos) << out;  // nothing was asked
  // Said once a week, not at every start.
  std::string again;
  EXPECT_EQ(Zelvora({"update"}, &again), 0) << again;
  EXPECT_EQ(again.find("No update key is set"), std::string::npos) << again;
  ::close(listener);
}

TEST_F(UpdateCli, KeyAndServerSettingsAreChecked) {
  struct Case {
    std::string assignment;
    int status;
    const char* says;  // in the output; empty for an accepted value
  };
  const std::string pubFile = std::string("untrusted comment: minisign public key 0807060504030201\n") + kKey + "\n";
  const Case cases[] = {
      {std::string("encoder.update_key=") + kKey, 0, ""},
      {"encoder.update_key=" + pubFile, 0, ""},  // the whole minisign.pub: its key line is kept
      {"encoder.update_key=RWQnotakey", 2, "encoder.update_key"},
      {"encoder.update_key=", 0, ""},
      {"encoder.update_server=127.0.0.1:99999", 2, "65535"},
      {"encoder.update_server=127.0.0.1:0", 2, "65535"},
      {"encoder.update_server=host name", 2, "encoder.update_server"},
      {"encoder.update_server=updates.example:4654", 0, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.assignment);
    std::string out;
    EXPECT_EQ(Zelvora({"settings", "set", c.assignment}, &out), c.status) << out;
    if (*c.says) {
      EXPECT_NE(out.find(c.says), std::string::npos) << out;
    }
  }
  std::string out;
  Zelvora({"settings", "set", "encoder.update_key=" + pubFile}, &out);
  out.clear();
  Zelvora({"settings", "get", "encoder.update_key"}, &out);
  EXPECT_EQ(out, std::string(kKey) + "\n");
}

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
  EXPECT_EQ(Zelvora({"update", "--check"}, &out), 1) << out;
  EXPECT_NE(out.find("zelvora: Invalid Program Path!!"), std::string::npos) << out;
  EXPECT_EQ(Rebirth(), "0\n");
  EXPECT_EQ(Zelvora({"update", "--bogus"}, &out), 2);
  ::close(listener);
}

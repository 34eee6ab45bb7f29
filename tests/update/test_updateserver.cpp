// zelvora-update-server as a program: its options, the port it reports, bad requests, SIGTERM.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>

#include "LoopbackServer.h"
#include "ServerProgram.h"
#include "Signing.h"
#include "TestSupport.h"
#include "UpdateBlocks.h"

namespace fs = std::filesystem;
using testsupport::TempDir;
using testsupport::WriteFile;
using program::kNoConsole;
using program::ServerProcess;

namespace {

int Connect(int port) {
  int fd = loopback::sys::NewSocket();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}

// The marker and payload text of a server block.
std::pair<std::string, std::string> Reply(int fd) {
  std::string b = loopback::ReadExactly(fd, blocks::kServerBlock, std::chrono::seconds(20));
  if (b.size() < 13) return {};
  const auto* u = reinterpret_cast<const unsigned char*>(b.data());
  const size_t length = u[9] | (u[10] << 8);
  return {b.substr(0, 8), b.substr(13, length)};
}

}  // namespace

TEST(UpdateServerProgram, AnswersBadRequestsAndStopsOnSigterm) {
  ZELVORA_SKIP_WITHOUT_TOOL(!signing::HaveMinisign(), "minisign is not installed");
  TempDir root;
  signing::KeyPair key;
  fs::create_directories(root.file("s/files"));
  WriteFile(root.file("s/files/a"), "abc");
  WriteFile(root.file("s/manifest.tsv"), "C\tM\t\ta\n");
  signing::SignSection(key, root.file("s"));
  ServerProcess server(root.str());
  ASSERT_GT(server.port(), 0);
  struct Case {
    const char* what;
    std::string request;
    std::string marker;
    std::string payload;
  };
  const Case cases[] = {
      {"unknown section", blocks::Block("_GSECTN:", "nope", 256), "_PERMSG:", "1"},
      {"climbing section name", blocks::Block("_GSECTN:", "..", 256), "_PERMSG:", "1"},
      {"index before a list", blocks::Block("_GFNDEX:", "", 256), "_PERMSG:", "2"},
      {"unknown marker", blocks::Block("_HELLO_:", "", 256), "_PERMSG:", "2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int fd = Connect(server.port());
    ASSERT_TRUE(loopback::SendAll(fd, c.request));
    auto [marker, payload] = Reply(fd);
    EXPECT_EQ(marker, c.marker);
    EXPECT_EQ(payload, c.payload);
    loopback::sys::Close(fd);
  }
  // A position outside the list is refused too.
  int fd = Connect(server.port());
  ASSERT_TRUE(loopback::SendAll(fd, blocks::Block("_GSECTN:", "s", 256)));
  EXPECT_EQ(Reply(fd).first, "_PFLIST:");
  ASSERT_TRUE(loopback::SendAll(fd, blocks::Block("_GFNDEX:", std::string("\0\x09\0", 3), 256)));
  EXPECT_EQ(Reply(fd), std::make_pair(std::string("_PERMSG:"), std::string("2")));
  loopback::sys::Close(fd);
  // A client in the middle of its exchange does not hold the stop up.
  int idle = Connect(server.port());
  const int stopped = server.Terminate();
  loopback::sys::Close(idle);
  if (stopped == kNoConsole) GTEST_SKIP() << "no console carries a Ctrl+Break to the server here (Wine 8 delivers none to a process group)";
  EXPECT_EQ(stopped, 0);
}

TEST(UpdateServerProgram, RefusesBadOptions) {
  EXPECT_EQ(testsupport::RunCommand({ZELVORA_UPDATE_SERVER_PATH}), 2);
  EXPECT_EQ(testsupport::RunCommand({ZELVORA_UPDATE_SERVER_PATH, "--root", "/x", "--listen", "nowhere"}), 2);
  EXPECT_EQ(testsupport::RunCommand({ZELVORA_UPDATE_SERVER_PATH, "--root", "/x", "--listen", "127.0.0.1:70000"}), 2);
  for (const char* option : {"--max-clients", "--max-per-address", "--idle", "--deadline"}) {
    SCOPED_TRACE(option);
    for (const char* value : {"0", "-1", "x", "12x", "1000001"})
      EXPECT_EQ(testsupport::RunCommand({ZELVORA_UPDATE_SERVER_PATH, "--root", "/x", option, value}), 2) << value;
    EXPECT_EQ(testsupport::RunCommand({ZELVORA_UPDATE_SERVER_PATH, "--root", "/x", option}), 2);
  }
}

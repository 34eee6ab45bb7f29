// zelvora-update-server as a program: its options, the port it reports, bad requests, SIGTERM.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>

#include "LoopbackServer.h"
#include "TestSupport.h"
#include "UpdateBlocks.h"

namespace fs = std::filesystem;
using testsupport::TempDir;
using testsupport::WriteFile;

extern char** environ;

namespace {

// The server started on a free port; its stdout (the port line) read through a pipe.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& root) {
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::vector<std::string> args = {ZELVORA_UPDATE_SERVER_PATH, "--root", root, "--listen", "127.0.0.1:0"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && ::poll(&p, 1, 20000) == 1 && ::read(out[0], &c, 1) == 1) line += c;
    ::close(out[0]);
    const size_t colon = line.rfind(':');
    if (line.rfind("listening on 127.0.0.1:", 0) == 0 && colon != std::string::npos) port_ = std::stoi(line.substr(colon + 1));
  }
  ~ServerProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  int port() const { return port_; }
  // Sends SIGTERM and waits (bounded) for the exit status; -1 when it did not end.
  int Terminate() {
    ::kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 2000; ++i) {
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

int Connect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
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
  TempDir root;
  fs::create_directories(root.file("s/files"));
  WriteFile(root.file("s/files/a"), "abc");
  WriteFile(root.file("s/manifest.tsv"), "C\tM\t\ta\n");
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
    ::close(fd);
  }
  // A position outside the list is refused too.
  int fd = Connect(server.port());
  ASSERT_TRUE(loopback::SendAll(fd, blocks::Block("_GSECTN:", "s", 256)));
  EXPECT_EQ(Reply(fd).first, "_PFLIST:");
  ASSERT_TRUE(loopback::SendAll(fd, blocks::Block("_GFNDEX:", std::string("\0\x05\0", 3), 256)));
  EXPECT_EQ(Reply(fd), std::make_pair(std::string("_PERMSG:"), std::string("2")));
  ::close(fd);
  // A client in the middle of its exchange does not hold the stop up.
  int idle = Connect(server.port());
  EXPECT_EQ(server.Terminate(), 0);
  ::close(idle);
}

TEST(UpdateServerProgram, RefusesBadOptions) {
  EXPECT_EQ(testsupport::RunCommand({ZELVORA_UPDATE_SERVER_PATH}), 2);
  EXPECT_EQ(testsupport::RunCommand({ZELVORA_UPDATE_SERVER_PATH, "--root", "/x", "--listen", "nowhere"}), 2);
  EXPECT_EQ(testsupport::RunCommand({ZELVORA_UPDATE_SERVER_PATH, "--root", "/x", "--listen", "127.0.0.1:70000"}), 2);
}

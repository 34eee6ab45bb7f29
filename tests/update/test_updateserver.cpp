// zelvora-update-server as a program: its options, the port it reports, bad requests, SIGTERM.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <winsock2.h>  // before windows.h, which would bring the old winsock.h
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#endif

#include <chrono>
#include <filesystem>

#include "LoopbackServer.h"
#include "Signing.h"
#include "TestSupport.h"
#include "UpdateBlocks.h"

namespace fs = std::filesystem;
using testsupport::TempDir;
using testsupport::WriteFile;

#ifndef _WIN32
extern char** environ;
#endif

namespace {

constexpr int kNoConsole = -2;

// The port from the server's first line, "listening on 127.0.0.1:PORT"; 0 when it is not that.
int PortOf(const std::string& line) {
  const size_t colon = line.rfind(':');
  if (line.rfind("listening on 127.0.0.1:", 0) != 0 || colon == std::string::npos) return 0;
  return std::stoi(line.substr(colon + 1));
}

#ifdef _WIN32
// The server started on a free port in a process group of its own (so that a Ctrl+Break reaches
// it alone); its stdout (the port line) read through a pipe, which ends when the server does.
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& root) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    EXPECT_TRUE(::CreatePipe(&read, &write, &inherit, 0));
    ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = write;
    start.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    std::wstring command = L"\"" + fs::path(ZELVORA_UPDATE_SERVER_PATH).wstring() + L"\" --root \"" +
                           fs::path(root).wstring() + L"\" --listen 127.0.0.1:0";
    EXPECT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP, nullptr,
                                 nullptr, &start, &process_));
    ::CloseHandle(write);
    std::string line;
    char c;
    DWORD n = 0;
    while (line.find('\n') == std::string::npos && ::ReadFile(read, &c, 1, &n, nullptr) && n == 1) line += c;
    ::CloseHandle(read);
    port_ = PortOf(line);
  }
  ~ServerProcess() {
    if (process_.hProcess) {
      ::TerminateProcess(process_.hProcess, 1);
      ::WaitForSingleObject(process_.hProcess, 20000);
      ::CloseHandle(process_.hProcess);
      ::CloseHandle(process_.hThread);
    }
  }
  int port() const { return port_; }
  // Sends Ctrl+Break (the console's stop request) and waits (bounded) for the exit code; -1
  // when it did not end, kNoConsole when there is no console to carry the request.
  int Terminate() {
    if (!::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, process_.dwProcessId)) return kNoConsole;
    if (::WaitForSingleObject(process_.hProcess, 20000) != WAIT_OBJECT_0) return -1;
    DWORD code = 0;
    ::GetExitCodeProcess(process_.hProcess, &code);
    ::CloseHandle(process_.hProcess);
    ::CloseHandle(process_.hThread);
    process_ = {};
    return static_cast<int>(code);
  }

 private:
  PROCESS_INFORMATION process_{};
  int port_ = 0;
};
#else
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
    port_ = PortOf(line);
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
#endif

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

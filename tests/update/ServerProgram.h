// zelvora-update-server started as a program on a free loopback port, the way a publisher runs it.
#pragma once

#include <gtest/gtest.h>
#ifdef _WIN32
#include <winsock2.h>  // before windows.h, which would bring the old winsock.h
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
extern char** environ;
#endif

namespace program {

constexpr int kNoConsole = -2;

// The port from the server's first line, "listening on 127.0.0.1:PORT"; 0 when it is not that.
inline int PortOf(const std::string& line) {
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
    std::wstring command = L"\"" + std::filesystem::path(ZELVORA_UPDATE_SERVER_PATH).wstring() + L"\" --root \"" +
                           std::filesystem::path(root).wstring() + L"\" --listen 127.0.0.1:0";
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
// The server started on a free port with `extra` options; its stdout (the port line) read
// through a pipe, its stderr into `errors` when named. With `descriptorLimit` it starts under
// that limit of open descriptors (set by the shell that execs it).
class ServerProcess {
 public:
  explicit ServerProcess(const std::string& root, const std::vector<std::string>& extra = {},
                         const std::string& errors = "", int descriptorLimit = 0) {
    int out[2];
    EXPECT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    if (!errors.empty()) posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> args;
    if (descriptorLimit > 0)
      args = {"/bin/sh", "-c", "ulimit -n " + std::to_string(descriptorLimit) + " && exec \"$0\" \"$@\""};
    for (const std::string& a : {std::string(ZELVORA_UPDATE_SERVER_PATH), std::string("--root"), root,
                                 std::string("--listen"), std::string("127.0.0.1:0")})
      args.push_back(a);
    args.insert(args.end(), extra.begin(), extra.end());
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
  pid_t pid() const { return pid_; }
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


}  // namespace program

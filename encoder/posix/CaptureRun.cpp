// Short helper commands on POSIX: posix_spawn, one merged output pipe, a time limit.
#include "encoder/CaptureRun.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int MillisLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

struct SpawnAttributes {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnAttributes() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnAttributes() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
};

// Reads until end of output or the deadline; false when the deadline passed first.
bool DrainOutput(int fd, CaptureResult& result, size_t maxOutput, Clock::time_point deadline) {
  char buffer[8192];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, MillisLeft(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return true;
    size_t room = maxOutput - std::min(maxOutput, result.output.size());
    result.output.append(buffer, std::min(room, static_cast<size_t>(n)));
  }
}

// Waits for the child until the deadline; kills its group when time is up. Always reaps it.
void Reap(pid_t pid, CaptureResult& result, Clock::time_point deadline) {
  int status = 0;
  for (;;) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) return;
    if (Clock::now() >= deadline) {
      result.timedOut = true;
      ::kill(-pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    ::usleep(5000);
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
}

}  // namespace

CaptureResult RunAndCapture(const std::vector<std::string>& argv, int timeoutMs, size_t maxOutput) {
  CaptureResult result;
  if (argv.empty() || argv[0].empty()) {
    result.error = "no program given";
    return result;
  }
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    result.error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return result;
  }
  SpawnAttributes sa;
  posix_spawn_file_actions_addopen(&sa.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&sa.actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&sa.actions, fds[1], 2);
  posix_spawnattr_setflags(&sa.attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&sa.attr, 0);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, argv[0].c_str(), &sa.actions, &sa.attr, args.data(), environ);
  ::close(fds[1]);
  if (rc != 0) {
    ::close(fds[0]);
    result.error = "cannot run " + argv[0] + ": " + std::strerror(rc);
    return result;
  }
  result.started = true;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  DrainOutput(fds[0], result, maxOutput, deadline);
  ::close(fds[0]);
  Reap(pid, result, deadline);
  if (result.timedOut)
    result.error = argv[0] + " did not finish within " + std::to_string(timeoutMs / 1000) + " s";
  else if (result.exitStatus < 0)
    result.error = argv[0] + " ended abnormally";
  return result;
}

// Detached helper programs through posix_spawn (never a shell), and ending copies of a program file by pidfd.
#include "platform/Processes.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/Process.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> ArgvPointers(const std::vector<std::string>& argv) {
  std::vector<char*> out;
  out.reserve(argv.size() + 1);
  for (const auto& a : argv) out.push_back(const_cast<char*>(a.c_str()));
  out.push_back(nullptr);
  return out;
}

// RAII for the spawn attribute objects.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

int PidfdOpen(pid_t pid) { return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)); }

int PidfdSignal(int pidfd, int sig) { return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0)); }

// A process that has ended but is not yet reaped is a zombie: it counts as ended. Its /proc
// entry vanishes at any moment once it has ended, so an entry that cannot be opened or read
// (ENOENT, ESRCH) or that comes back cut short means ended too.
bool ProcessGone(pid_t pid) {
  std::string path = "/proc/" + std::to_string(pid) + "/stat";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return true;
  char buf[512];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof buf - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return true;
  buf[n] = 0;
  const char* close = std::strrchr(buf, ')');  // the command name may hold blanks and parentheses
  if (!close || close[1] != ' ' || close[2] == 0) return true;
  return close[2] == 'Z' || close[2] == 'X';
}

// Waits up to `ms` for the process to end.
bool WaitGone(int pidfd, pid_t pid, int ms) {
  if (pidfd >= 0) {
    struct pollfd p{pidfd, POLLIN, 0};
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      int r = ::poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
      if (r > 0) return true;
      if (r == 0) return ProcessGone(pid);
      if (errno != EINTR) break;
    }
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < deadline) {
    if (ProcessGone(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ProcessGone(pid);
}

bool SendSignal(int pidfd, pid_t pid, int sig) {
  if (pidfd >= 0) return PidfdSignal(pidfd, sig) == 0;
  return ::kill(pid, sig) == 0;
}

// Whether process `pid` (owned by us) runs the file identified by `target` / `canonical`.
bool RunsFile(pid_t pid, const struct stat& target, bool haveTarget, const std::string& canonical) {
  std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  struct stat st{};
  if (haveTarget && ::stat(exe.c_str(), &st) == 0 && st.st_dev == target.st_dev && st.st_ino == target.st_ino)
    return true;
  // A program file already removed from its folder still names its old path.
  char link[4096];
  ssize_t n = ::readlink(exe.c_str(), link, sizeof link - 1);
  if (n <= 0) return false;
  std::string text(link, static_cast<size_t>(n));
  return text == canonical + " (deleted)";
}

}  // namespace

bool SpawnDetached(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0].empty()) return false;
  SpawnSetup setup;
  posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&setup.actions, 2, "/dev/null", O_WRONLY, 0);
  // A session of its own: a browser started from a terminal outlives that terminal.
  posix_spawnattr_setflags(&setup.attr, POSIX_SPAWN_SETSID);
  const std::string program = platform::FindExecutable(argv[0]);
  if (program.empty()) return false;
  auto args = ArgvPointers(argv);
  pid_t pid = 0;
  if (::posix_spawn(&pid, program.c_str(), &setup.actions, &setup.attr, args.data(), environ) != 0) return false;
  std::thread([pid] {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }).detach();
  return true;
}

int KillProcessByName(const std::string& exePath, bool terminate) {
  DIR* proc = ::opendir("/proc");
  if (!proc) return 0;
  struct stat target{};
  const bool haveTarget = ::stat(exePath.c_str(), &target) == 0;
  std::string canonical = exePath;
  if (char* real = ::realpath(exePath.c_str(), nullptr)) {
    canonical = real;
    std::free(real);
  }
  const uid_t me = ::getuid();
  const pid_t self = ::getpid();
  int count = 0;
  while (struct dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    long value = std::strtol(entry->d_name, &end, 10);
    if (value <= 0 || *end != '\0' || value == self) continue;
    const pid_t pid = static_cast<pid_t>(value);
    struct stat owner{};
    if (::stat(("/proc/" + std::to_string(pid)).c_str(), &owner) != 0 || owner.st_uid != me) continue;
    // Holding a pidfd before checking the executable: a pid reused after the check cannot be hit.
    int pidfd = PidfdOpen(pid);
    if (pidfd < 0 && errno != ENOSYS) continue;
    if (RunsFile(pid, target, haveTarget, canonical)) {
      if (!terminate) {
        ++count;
      } else if (SendSignal(pidfd, pid, SIGTERM) || errno == ESRCH) {
        // A copy that ended between the check and the signal is ended all the same.
        ++count;
        if (!WaitGone(pidfd, pid, 1000)) {
          SendSignal(pidfd, pid, SIGKILL);
          WaitGone(pidfd, pid, 1000);
        }
      }
    }
    if (pidfd >= 0) ::close(pidfd);
  }
  ::closedir(proc);
  return count;
}

int OpenWebPage(const std::string& url) {
  // A leading '-' would be read as an option of xdg-open.
  if (url.empty() || url.front() == '-') return 0;
  return SpawnDetached({"xdg-open", url}) ? 1 : 0;
}

// Reading /proc in tests: whether a process (or anything of its process group, or anything
// running a given program) is still there. Another process's entries can vanish between any
// two reads, so every "gone" answer (no such file, no such process, a short read) means ended.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <utility>
#include <unistd.h>
#include <vector>

namespace testsupport {

struct ProcEntry {
  int pid = 0;
  char state = '?';
  int pgrp = 0;
  int nice = 0;
};

// The whole of a /proc file of process `pid`; none when the process is gone or the file
// cannot be read. Plain descriptors: a stream would throw when the process ends mid-read.
inline std::optional<std::string> ReadProcFile(int pid, const char* name) {
  const std::string path = "/proc/" + std::to_string(pid) + "/" + name;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;  // ESRCH: it ended while we read
    }
    if (n == 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

// The fields of /proc/PID/stat that the tests look at; none when the process is gone.
inline std::optional<ProcEntry> ReadProc(int pid) {
  std::optional<std::string> text = ReadProcFile(pid, "stat");
  if (!text) return std::nullopt;
  size_t close = text->rfind(')');
  if (close == std::string::npos) return std::nullopt;  // cut short: gone
  std::istringstream fields(text->substr(close + 1));
  ProcEntry e;
  e.pid = pid;
  std::string skip;
  int ppid = 0;
  fields >> e.state >> ppid >> e.pgrp;
  for (int i = 6; i <= 18; ++i) fields >> skip;  // session … priority
  fields >> e.nice;
  if (!fields) return std::nullopt;
  return e;
}

// The processes for which `wanted(entry)` holds.
template <typename Wanted>
std::vector<ProcEntry> ProcessesWhere(Wanted wanted) {
  std::vector<ProcEntry> out;
  DIR* proc = ::opendir("/proc");
  if (!proc) return out;
  while (struct dirent* d = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(d->d_name, &end, 10);
    if (pid <= 0 || *end != '\0') continue;
    if (auto e = ReadProc(static_cast<int>(pid)); e && wanted(*e)) out.push_back(*e);
  }
  ::closedir(proc);
  return out;
}

inline std::vector<ProcEntry> GroupMembers(int pgid) {
  return ProcessesWhere([pgid](const ProcEntry& e) { return e.pgrp == pgid; });
}

// Live processes (zombies do not count) whose command line mentions `needle`.
inline size_t CountRunning(const std::string& needle) {
  return ProcessesWhere([&needle](const ProcEntry& e) {
           if (e.state == 'Z' || e.state == 'X') return false;
           std::optional<std::string> cmdline = ReadProcFile(e.pid, "cmdline");
           return cmdline && cmdline->find(needle) != std::string::npos;
         }).size();
}

// Polls `done` until it holds or `limit` has passed; for events that give no descriptor to
// wait on (a file appearing, a process leaving /proc). The limit only bounds a broken run.
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(120)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

// Whether every process of the group has ended. Grandchildren are not ours to reap: they
// stay zombies until init gets to them, which on a busy machine can take a while, so a
// zombie counts as ended.
inline bool GroupGoneWithin(int pgid, std::chrono::seconds limit) {
  return WaitUntil(
      [pgid] {
        return ProcessesWhere([pgid](const ProcEntry& e) { return e.pgrp == pgid && e.state != 'Z' && e.state != 'X'; })
            .empty();
      },
      limit);
}

// Kills and reaps the processes handed to it when the scope ends, so a test that stops at a
// failed assertion leaves no sleeping children behind.
class ChildGuard {
 public:
  ChildGuard() = default;
  ~ChildGuard() {
    for (auto [pid, ours] : pids_) {
      ::kill(pid, SIGKILL);
      if (ours) ::waitpid(pid, nullptr, 0);
    }
  }
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;
  // `ours`: a child of this process, reaped here; otherwise only killed.
  int Add(int pid, bool ours = true) {
    if (pid > 0) pids_.push_back({pid, ours});
    return pid;
  }
  // The process has been reaped by the test itself: nothing left to do for it.
  void Forget(int pid) {
    std::erase_if(pids_, [pid](const std::pair<int, bool>& p) { return p.first == pid; });
  }

 private:
  std::vector<std::pair<int, bool>> pids_;
};

}  // namespace testsupport

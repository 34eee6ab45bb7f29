// Running the zelvora command as a user would for the fault suite: bounded waits, captured
// output (standard output and standard error apart), limits and environment for the run alone,
// scripted stand-in encoders.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "TestSupport.h"
#include "platform/Process.h"

namespace faults {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A bound on every wait: far above what a loaded machine needs, so reaching it means a hang.
inline constexpr std::chrono::seconds kHangLimit{240};

using testsupport::CliPath;
using testsupport::MakeClip;
using testsupport::Snapshot;

struct RunResult {
  int status = -1;        // exit status, or 128 + signal
  bool hung = false;      // killed after kHangLimit
  std::string out, err;   // standard output and standard error
  long maxRssKb = 0;      // peak resident size of the command (its waited children included)
};

// One started zelvora: its pid and the read ends of its output.
class Running {
 public:
  // `env` entries ("NAME=value") are set for this run only; `before` runs in the child before exec
  // (limits, …).
  explicit Running(const std::vector<std::string>& args, std::function<void()> before = {},
                   const std::vector<std::string>& env = {}) {
    const std::string program = CliPath();
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) std::abort();
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::dup2(err[1], 2);
      int devnull = ::open("/dev/null", O_RDONLY);
      ::dup2(devnull, 0);
      for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
      if (before) before();
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~Running() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }
  int pid() const { return pid_; }

  // Collects all output and reaps; kills the command when it outlives the limit.
  RunResult Finish() {
    const auto deadline = Clock::now() + kHangLimit;
    while (out_ >= 0 || err_ >= 0) {
      if (!Pump(deadline)) {
        if (Clock::now() >= deadline) {
          result_.hung = true;
          ::kill(pid_, SIGKILL);
        }
        break;
      }
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result_.maxRssKb = usage.ru_maxrss;
    return result_;
  }

 private:
  // One poll step on both pipes; false when both have ended or the deadline passed.
  bool Pump(Clock::time_point deadline) {
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (fds[0].fd < 0 && fds[1].fd < 0) return false;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    int r = ::poll(fds, 2, static_cast<int>(left));
    if (r < 0 && errno == EINTR) return true;
    if (r <= 0) return false;
    char buffer[65536];
    for (int i = 0; i < 2; ++i) {
      if (!fds[i].revents) continue;
      int& fd = i == 0 ? out_ : err_;
      ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? result_.out : result_.err).append(buffer, static_cast<size_t>(n));
      } else {
        ::close(fd);
        fd = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  bool reaped_ = false;
  RunResult result_;
};

inline RunResult Zelvora(const std::vector<std::string>& args, std::function<void()> before = {}) {
  return Running(args, std::move(before)).Finish();
}

// The same with `env` entries ("NAME=value") set for this run only.
inline RunResult Zelvora(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  return Running(args, {}, env).Finish();
}
using CliResult = RunResult;

// A stand-in encoder: a shell script stored as the ffmpeg path. It answers the capability
// questions with nothing, sets $out to its last argument (where ffmpeg writes) and runs `body`.
inline std::string InstallFakeEncoder(const std::string& path, const std::string& body) {
  testsupport::WriteFile(path,
                         "#!/bin/sh\n"
                         "case \" $* \" in *\" -encoders \"*|*\" -filters \"*|*\" -version \"*) exit 0;; esac\n"
                         "for a; do out=$a; done\n" +
                             body);
  fs::permissions(path, fs::perms::owner_all);
  std::string out;
  EXPECT_EQ(testsupport::RunZelvora({"settings", "set", "encoder.encoder_path_a=" + path}, &out), 0) << out;
  return path;
}

// The real ffmpeg as the stored encoder (a stand-in of an earlier case may be stored).
inline void UseRealFfmpeg() {
  std::string out;
  EXPECT_EQ(testsupport::RunZelvora({"settings", "set", "encoder.encoder_path_a=" + platform::FindExecutable("ffmpeg")},
                                    &out),
            0)
      << out;
}

// Mounts a tmpfs on `folder` in the test program's private mount namespace; false with errno set
// when it cannot.
inline bool MountTmpfs(const fs::path& folder, unsigned long flags, const std::string& options) {
  return testsupport::PrivateMountNamespace() && ::mount("tmpfs", folder.c_str(), "tmpfs", flags, options.c_str()) == 0;
}

// Names in `folder` that a run left under its private temporary names.
inline std::vector<std::string> Temporaries(const fs::path& folder) {
  std::vector<std::string> found;
  std::error_code ec;
  for (auto it = fs::directory_iterator(folder, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
    if (it->path().filename().string().rfind(".zelvora-", 0) == 0) found.push_back(it->path().filename().string());
  return found;
}

// The lines of `text` that are result lines of the CLI (status, tab, name, tab, detail).
inline std::vector<std::string> ResultLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (std::count(line.begin(), line.end(), '\t') >= 2) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Waits until process `pid` has ended (it need not be our child); false after the limit.
inline bool WaitForProcessEnd(int pid) {
  int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return errno == ESRCH;
  pollfd p{fd, POLLIN, 0};
  int r;
  do r = ::poll(&p, 1, static_cast<int>(std::chrono::milliseconds(kHangLimit).count()));
  while (r < 0 && errno == EINTR);
  ::close(fd);
  return r > 0;
}

// Reads one line from FIFO `path` that a stand-in encoder writes; empty after the limit.
inline std::string ReadFifoLine(const std::string& path) {
  // Open for writing too: then the FIFO never reads as ended before the encoder has written.
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return {};
  std::string line;
  const auto deadline = Clock::now() + kHangLimit;
  while (line.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buffer[256];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) line.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return line.substr(0, line.find('\n'));
}

// An executable script at `path`.
inline void WriteScript(const std::string& path, const std::string& body) {
  testsupport::WriteFile(path, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all);
}

// The lines of `text` that contain `needle`.
inline std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (line.find(needle) != std::string::npos) lines.push_back(line);
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

}  // namespace faults

// Child processes on POSIX: fork and execve with a merged output pipe, a process group and pidfd waits.
#include "platform/Process.h"

#include <atomic>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Keeps our descriptors off 0, 1 and 2, so that the child's dup2 onto those never
// meets a descriptor that is already in place (and would keep its close-on-exec flag).
int AboveStdio(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  return moved;
}

// Waits until `fd` is readable (or hung up), `wake` is set or the deadline passes.
// Returns 1 for fd, 2 for wake, 0 for timeout, -1 for a poll failure.
int PollFdOrWake(int fd, const WakeEvent* wake, std::optional<Clock::time_point> deadline);

}  // namespace

// ---------------------------------------------------------------- WakeEvent

struct WakeEvent::Impl {
  int read_fd = -1;
  int write_fd = -1;
  std::atomic<bool> set{false};
};

WakeEvent::WakeEvent() : impl_(std::make_unique<Impl>()) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    impl_->read_fd = fds[0];
    impl_->write_fd = fds[1];
  }
}

WakeEvent::~WakeEvent() {
  CloseFd(impl_->read_fd);
  CloseFd(impl_->write_fd);
}

bool WakeEvent::Valid() const { return impl_->read_fd >= 0; }

void WakeEvent::Set() {
  if (impl_->set.exchange(true)) return;
  // One byte, never read back: the read end stays readable for every later poll.
  if (impl_->write_fd >= 0) {
    ssize_t n;
    do n = ::write(impl_->write_fd, "x", 1);
    while (n < 0 && errno == EINTR);
  }
}

bool WakeEvent::IsSet() const { return impl_->set.load(); }

namespace {

int PollFdOrWake(int fd, const WakeEvent* wake, std::optional<Clock::time_point> deadline) {
  for (;;) {
    if (wake && wake->IsSet()) return 2;
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake ? wake->impl().read_fd : -1, POLLIN, 0}};
    int timeout = -1;
    if (deadline) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
      timeout = left > 0 ? static_cast<int>(std::min<long long>(left, 1 << 30)) : 0;
    }
    int r = ::poll(fds, 2, timeout);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (fds[1].revents) return 2;
    if (fds[0].revents) return 1;
    if (r == 0 && timeout >= 0 && Clock::now() >= *deadline) return 0;
  }
}

ExitInfo DecodeStatus(int status) {
  ExitInfo info;
  if (WIFSIGNALED(status)) {
    info.signalled = true;
    info.code = WTERMSIG(status);
  } else if (WIFEXITED(status)) {
    info.code = WEXITSTATUS(status);
  }
  return info;
}

// Everything the child needs, prepared before fork: after fork only async-signal-safe
// calls are allowed in the child of a threaded process.
struct LaunchPlan {
  std::string path;
  std::vector<char*> argv;
  int stdin_fd = -1;  // /dev/null, open for writing too when standard error is discarded
  int out_fd = -1;
  bool discard_errors = false;
  int error_fd = -1;
  bool lower_priority = false;
  int nice_value = 0;
  int fd_limit = 0;
  bool die_with_parent = true;
  pid_t parent = 0;
};

[[noreturn]] void ChildFail(int error_fd) {
  int e = errno;
  ssize_t n;
  do n = ::write(error_fd, &e, sizeof e);
  while (n < 0 && errno == EINTR);
  ::_exit(127);
}

[[noreturn]] void RunChild(const LaunchPlan& plan) {
  // Default signal handling and an empty mask: the encoder must not inherit ours.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);

  if (plan.die_with_parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // We may have died between fork and prctl: then nobody would ever send the signal.
    if (::getppid() != plan.parent) ::_exit(127);
  }
  ::setpgid(0, 0);
  if (plan.lower_priority) ::setpriority(PRIO_PROCESS, 0, plan.nice_value);
  if (::dup2(plan.stdin_fd, 0) < 0 || ::dup2(plan.out_fd, 1) < 0 ||
      ::dup2(plan.discard_errors ? plan.stdin_fd : plan.out_fd, 2) < 0)
    ChildFail(plan.error_fd);
  // Nothing else of ours may leak into the encoder; the error pipe stays open until
  // exec succeeds, which closes it and so tells the parent that the start worked.
  if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0)
    for (int fd = 3; fd < plan.fd_limit; ++fd) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  ::execve(plan.path.c_str(), plan.argv.data(), environ);
  ChildFail(plan.error_fd);
}

int LowerNiceValue() {
  errno = 0;
  int current = ::getpriority(PRIO_PROCESS, 0);
  if (current == -1 && errno != 0) current = 0;
  return std::min(current + 10, 19);
}

int DescriptorLimit() {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return 65536;
  return static_cast<int>(std::min<rlim_t>(rl.rlim_cur, 1 << 20));
}

// The parent-death signal fires when the *thread* that forked ends, not the process. Callers
// fork from short-lived threads (a batch worker, a query), so every fork happens on one thread
// that lives as long as the process: the signal then means exactly "the program has ended".
class Forker {
 public:
  static Forker& Instance() {
    // Never destroyed: the thread runs until the process ends, and a fork may be asked for
    // during static destruction.
    static Forker* forker = new Forker;
    return *forker;
  }

  // Forks a child that runs `plan`; returns its pid, or -1 with errno's value in `error`.
  pid_t Fork(const LaunchPlan& plan, int& error) {
    Request request{&plan};
    std::unique_lock lock(mutex_);
    queue_.push_back(&request);
    wake_.notify_all();
    wake_.wait(lock, [&] { return request.done; });
    error = request.error;
    return request.pid;
  }

 private:
  struct Request {
    const LaunchPlan* plan;
    pid_t pid = -1;
    int error = 0;
    bool done = false;
  };

  Forker() {
    // No handler of ours may run in a child between fork and the reset of its signals, and
    // signals meant for the program are never taken by this thread.
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    std::thread(&Forker::Run, this).detach();
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return !queue_.empty(); });
      Request* request = queue_.front();
      queue_.erase(queue_.begin());
      pid_t pid = ::fork();
      if (pid == 0) RunChild(*request->plan);
      request->error = pid < 0 ? errno : 0;
      request->pid = pid;
      request->done = true;
      wake_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Request*> queue_;
};

}  // namespace

// ---------------------------------------------------------------- ChildProcess

struct ChildProcess::Impl {
  pid_t pid = -1;
  int out_fd = -1;   // read end of the merged output pipe
  int exit_fd = -1;  // readable once the child has ended: a pidfd, or the waiter's pipe
  int waiter_write_fd = -1;
  std::thread waiter;  // only where pidfds are missing

  std::mutex mutex;  // serialises Terminate
  std::atomic<bool> reaped{false};
  ExitInfo exit;

  bool HasEnded() const {
    if (reaped.load()) return true;
    pollfd p{exit_fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
  }

  // Without pidfds a thread blocks in waitid without reaping and then marks the pipe.
  bool StartWaiter() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    exit_fd = fds[0];
    waiter_write_fd = fds[1];
    pid_t child = pid;
    int mark = waiter_write_fd;
    waiter = std::thread([child, mark] {
      siginfo_t info{};
      while (::waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
      }
      ssize_t n;
      do n = ::write(mark, "x", 1);
      while (n < 0 && errno == EINTR);
    });
    return true;
  }
};

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindExecutable(const std::string& program, const std::string& folder) {
  if (program.empty()) return {};
  if (program.find('/') != std::string::npos) return program;
  if (!folder.empty() && IsExecutableFile(folder + "/" + program)) return folder + "/" + program;
  const char* env = std::getenv("PATH");
  std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(':', start);
    if (end == std::string::npos) end = path.size();
    // An empty entry would mean the current folder; we never run programs from there by accident.
    if (end > start) {
      std::string candidate = path.substr(start, end - start) + "/" + program;
      if (IsExecutableFile(candidate)) return candidate;
    }
    start = end + 1;
  }
  return {};
}

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv,
                                                  const ProcessOptions& options, std::string& error) {
  error.clear();
  if (argv.empty() || argv[0].empty()) {
    error = "no program named";
    return nullptr;
  }
  LaunchPlan plan;
  plan.path = FindExecutable(argv[0]);
  if (plan.path.empty()) {
    error = argv[0] + ": not found in PATH";
    return nullptr;
  }
  for (const auto& a : argv) plan.argv.push_back(const_cast<char*>(a.c_str()));
  plan.argv.push_back(nullptr);
  plan.lower_priority = options.below_normal_priority;
  plan.die_with_parent = options.die_with_parent;
  plan.parent = ::getpid();
  plan.nice_value = LowerNiceValue();
  plan.fd_limit = DescriptorLimit();

  int out[2] = {-1, -1}, err[2] = {-1, -1};
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    error = std::string("pipe: ") + std::strerror(errno);
    for (int& fd : out) CloseFd(fd);
    return nullptr;
  }
  plan.discard_errors = options.discard_error_output;
  int devnull = ::open("/dev/null", (plan.discard_errors ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  for (int* fd : {&out[0], &out[1], &err[0], &err[1], &devnull}) *fd = AboveStdio(*fd);
  auto close_all = [&] {
    for (int* fd : {&out[0], &out[1], &err[0], &err[1], &devnull}) CloseFd(*fd);
  };
  if (devnull < 0 || out[0] < 0 || out[1] < 0 || err[0] < 0 || err[1] < 0) {
    error = std::string("descriptors: ") + std::strerror(errno);
    close_all();
    return nullptr;
  }
  plan.stdin_fd = devnull;
  plan.out_fd = out[1];
  plan.error_fd = err[1];

  int fork_errno = 0;
  pid_t pid = Forker::Instance().Fork(plan, fork_errno);
  if (pid < 0) {
    error = std::string("fork: ") + std::strerror(fork_errno);
    close_all();
    return nullptr;
  }
  // Also set from here, so the group exists before we could ever signal it.
  ::setpgid(pid, pid);
  CloseFd(out[1]);
  CloseFd(err[1]);
  CloseFd(devnull);

  int exec_errno = 0;
  ssize_t n;
  do n = ::read(err[0], &exec_errno, sizeof exec_errno);
  while (n < 0 && errno == EINTR);
  CloseFd(err[0]);
  if (n > 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    error = plan.path + ": " + std::strerror(exec_errno);
    CloseFd(out[0]);
    return nullptr;
  }

  auto impl = std::make_unique<Impl>();
  impl->pid = pid;
  impl->out_fd = out[0];
  ::fcntl(impl->out_fd, F_SETFL, ::fcntl(impl->out_fd, F_GETFL) | O_NONBLOCK);
  impl->exit_fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (impl->exit_fd < 0 && !impl->StartWaiter()) {
    // Without any way to wait we cannot keep the contract: stop the child again.
    error = std::string("cannot watch the child: ") + std::strerror(errno);
    ChildProcess doomed(std::move(impl));
    return nullptr;
  }
  return std::unique_ptr<ChildProcess>(new ChildProcess(std::move(impl)));
}

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ChildProcess::~ChildProcess() {
  Terminate();
  CloseFd(impl_->out_fd);
  CloseFd(impl_->exit_fd);
  CloseFd(impl_->waiter_write_fd);
}

int ChildProcess::Pid() const { return impl_->pid; }

ReadResult ChildProcess::ReadOutput(std::span<char> buffer, const WakeEvent* wake) {
  for (;;) {
    int which = PollFdOrWake(impl_->out_fd, wake, std::nullopt);
    if (which == 2) return {ReadStatus::kWoken, 0};
    if (which < 0) return {ReadStatus::kError, 0};
    ssize_t n = ::read(impl_->out_fd, buffer.data(), buffer.size());
    if (n > 0) return {ReadStatus::kData, static_cast<size_t>(n)};
    if (n == 0) return {ReadStatus::kEnd, 0};
    if (errno != EINTR && errno != EAGAIN) return {ReadStatus::kError, 0};
  }
}

ReadResult ChildProcess::ReadAvailable(std::span<char> buffer) {
  for (;;) {
    ssize_t n = ::read(impl_->out_fd, buffer.data(), buffer.size());
    if (n > 0) return {ReadStatus::kData, static_cast<size_t>(n)};
    if (n == 0) return {ReadStatus::kEnd, 0};
    if (errno == EAGAIN) return {ReadStatus::kEmpty, 0};
    if (errno != EINTR) return {ReadStatus::kError, 0};
  }
}

WaitStatus ChildProcess::WaitForExit(std::optional<std::chrono::milliseconds> timeout, const WakeEvent* wake) {
  if (impl_->reaped.load()) return WaitStatus::kExited;
  std::optional<Clock::time_point> deadline;
  if (timeout) deadline = Clock::now() + *timeout;
  int which = PollFdOrWake(impl_->exit_fd, wake, deadline);
  if (which == 1 || which < 0) return WaitStatus::kExited;
  return which == 2 ? WaitStatus::kWoken : WaitStatus::kTimeout;
}

bool ChildProcess::IsRunning() { return !impl_->HasEnded(); }

ExitInfo ChildProcess::Terminate(std::chrono::milliseconds grace) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->reaped.load()) return impl_->exit;
  // The child is not reaped yet, so its pid (and with it the group id) cannot have
  // been reused: signalling the group reaches only what we started.
  if (!impl_->HasEnded()) {
    ::killpg(impl_->pid, SIGTERM);
    PollFdOrWake(impl_->exit_fd, nullptr, Clock::now() + grace);
  }
  ::killpg(impl_->pid, SIGKILL);
  int status = 0;
  pid_t r;
  do r = ::waitpid(impl_->pid, &status, 0);
  while (r < 0 && errno == EINTR);
  impl_->exit = r == impl_->pid ? DecodeStatus(status) : ExitInfo{true, SIGKILL};
  impl_->reaped.store(true);
  if (impl_->waiter.joinable()) impl_->waiter.join();
  return impl_->exit;
}

std::optional<ExitInfo> ChildProcess::Exit() const {
  if (!impl_->reaped.load()) return std::nullopt;
  return impl_->exit;
}

}  // namespace platform

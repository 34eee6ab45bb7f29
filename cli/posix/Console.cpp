// The zelvora command's system side on POSIX.
#include "cli/Console.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <thread>
#include <unistd.h>

void PrepareProcess(int&, char**&) {
#ifdef SIGXFSZ
  // Under a file size limit a write past it must fail like a full disk (the row fails, the log
  // record is lost), not end the whole run; encoders get the default back when they start.
  std::signal(SIGXFSZ, SIG_IGN);
#endif
}

bool IsLiveTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

void WatchStopRequests(std::function<bool(const StopRequest&)> onStop) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set, onStop = std::move(onStop)] {
    for (;;) {
      int sig = 0;
      if (sigwait(&set, &sig) != 0) continue;
      StopRequest request;
      request.interrupt = sig == SIGINT;
      request.exitStatus = 128 + sig;
      request.name = sig == SIGINT ? "Ctrl-C" : sigabbrev_np(sig);
      if (!onStop(request)) ::_exit(request.exitStatus);
    }
  }).detach();
}

int OpenForAppending(const std::string& path, std::string& error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) error = std::strerror(errno);
  return fd;
}

std::string HostName() {
  char host[256] = {};
  return ::gethostname(host, sizeof host - 1) == 0 ? host : "";
}

std::tm UtcTime(std::time_t when) {
  std::tm tm{};
  gmtime_r(&when, &tm);
  return tm;
}

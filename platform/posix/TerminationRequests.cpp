// SIGTERM and SIGHUP turned into bytes on a pipe that an event loop watches.
#include "platform/TerminationRequests.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace platform {
namespace {

std::atomic<int> gWriteEnd{-1};
int gReadEnd = -1;
std::once_flag gOnce;

// Only async-signal-safe calls here: one byte with the signal's number.
void OnSignal(int sig) {
  const int saved = errno;
  const int fd = gWriteEnd.load();
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t n = ::write(fd, &byte, 1);
  }
  errno = saved;
}

void Install() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  gReadEnd = fds[0];
  gWriteEnd = fds[1];
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGTERM, &action, nullptr);
  ::sigaction(SIGHUP, &action, nullptr);
}

}  // namespace

int TerminationRequestDescriptor() {
  std::call_once(gOnce, Install);
  return gReadEnd;
}

int TakeTerminationRequest() {
  if (gReadEnd < 0) return 0;
  int last = 0;
  unsigned char buffer[64];
  for (;;) {
    const ssize_t n = ::read(gReadEnd, buffer, sizeof buffer);
    if (n > 0) {
      last = buffer[n - 1];
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return last;
  }
}

void IgnoreFileSizeSignal() { std::signal(SIGXFSZ, SIG_IGN); }

}  // namespace platform

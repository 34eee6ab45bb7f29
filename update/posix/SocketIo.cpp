// The packet socket's TCP calls over POSIX sockets.
#include "update/SocketIo.h"
#include "update/DottedAddress.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace sockio {

namespace {

int ToFd(SocketHandle socket) { return static_cast<int>(socket); }

std::optional<uint32_t> DottedReading(const std::string& address) {
  in_addr a{};
  if (::inet_aton(address.c_str(), &a) == 0) return std::nullopt;
  return a.s_addr;
}

// Waits for `events` on the socket for at most `ms`; EINTR (a signal, not a failure here)
// waits again for what is left of the time.
int PollFor(int fd, short events, int ms, int& error) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    pollfd p{fd, events, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    int r = ::poll(&p, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (r >= 0) return r > 0 ? 1 : 0;
    if (errno != EINTR) {
      error = errno;
      return -1;
    }
  }
}

}  // namespace

bool Startup(int& error) {
  error = 0;
  return true;
}

void Cleanup() {}

SocketHandle Create(int sendBuffer, int recvBuffer, int& error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
    return kNoSocket;
  }
  if ((sendBuffer > 0 && ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer) != 0) ||
      (recvBuffer > 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &recvBuffer, sizeof recvBuffer) != 0)) {
    error = errno;
    ::close(fd);
    return kNoSocket;
  }
  return fd;
}

void ShutdownAndClose(SocketHandle socket) {
  if (socket == kNoSocket) return;
  ::shutdown(ToFd(socket), SHUT_RDWR);
  ::close(ToFd(socket));
}

std::optional<uint32_t> ResolveIPv4(const std::string& address) {
  if (LooksDotted(address)) return DottedReading(address);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(address.c_str(), nullptr, &hints, &list) == 0 && list) {
    uint32_t a = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
    ::freeaddrinfo(list);
    return a;
  }
  return DottedReading(address);
}

bool ConnectWithTimeout(SocketHandle socket, uint32_t address, int port, int timeoutSeconds, int& error) {
  const int fd = ToFd(socket);
  if (port <= 0 || port > 65535) {
    error = EINVAL;
    return false;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    error = errno;
    return false;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = address;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) return true;
  if (errno != EINPROGRESS && errno != EWOULDBLOCK && errno != EINTR) {
    error = errno;
    return false;
  }
  int r = PollFor(fd, POLLOUT, timeoutSeconds * 1000, error);
  if (r < 0) return false;
  if (r == 0) {
    error = ETIMEDOUT;
    return false;
  }
  // Ready does not mean connected: a refused connection is ready too, with its error pending.
  int pending = 0;
  socklen_t len = sizeof pending;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &pending, &len) != 0) pending = errno;
  if (pending != 0) {
    error = pending;
    return false;
  }
  return true;
}

int WaitReadable(SocketHandle socket, int ms, int& error) { return PollFor(ToFd(socket), POLLIN, ms, error); }

IoResult Receive(SocketHandle socket, char* data, size_t size) {
  for (;;) {
    ssize_t n = ::recv(ToFd(socket), data, size, 0);
    if (n > 0) return {IoStatus::kDone, static_cast<size_t>(n), 0};
    if (n == 0) return {IoStatus::kClosed, 0, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::kWouldBlock, 0, 0};
    return {IoStatus::kError, 0, errno};
  }
}

IoResult Send(SocketHandle socket, const char* data, size_t size) {
  for (;;) {
    // MSG_NOSIGNAL: a peer that went away is an error result, not a SIGPIPE that ends the program.
    ssize_t n = ::send(ToFd(socket), data, size, MSG_NOSIGNAL);
    if (n > 0) return {IoStatus::kDone, static_cast<size_t>(n), 0};
    if (n == 0) return {IoStatus::kClosed, 0, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return {IoStatus::kWouldBlock, 0, 0};
    return {IoStatus::kError, 0, errno};
  }
}

long PendingBytes(SocketHandle socket) {
  int n = 0;
  return ::ioctl(ToFd(socket), FIONREAD, &n) == 0 ? n : -1;
}

std::string ErrorName(int error) {
  const char* name = ::strerrorname_np(error);
  return name ? name : "E" + std::to_string(error);
}

std::string SelectErrorText(int error) {
  const char* name = "ETCE";
  switch (error) {
    case EINTR: name = "WSAEINTR"; break;
    case EFAULT: name = "WSAEFAULT"; break;
    case EINVAL: name = "WSAEINVAL"; break;
    case EINPROGRESS: name = "WSAEINPROGRESS"; break;
    case EBADF:
    case ENOTSOCK: name = "WSAENOTSOCK"; break;
    case ENETDOWN: name = "WSAENETDOWN"; break;
    default: break;
  }
  return std::string("Socket Selection Error:") + name;
}

}  // namespace sockio

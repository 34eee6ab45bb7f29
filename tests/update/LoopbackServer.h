// A small TCP server on 127.0.0.1 for the packet socket's tests: blocking calls, bounded waits.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace loopback {

// The few calls that differ between BSD sockets and Winsock. Sockets travel as int: a
// Winsock SOCKET is a small handle value that fits one.
namespace sys {
#ifdef _WIN32
using socklen_t = int;
inline constexpr int kNoSignal = 0;
inline int NewSocket(bool nonBlocking = false) {
  static const bool started = [] {
    WSADATA data{};
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return -1;
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return -1;
  u_long on = nonBlocking ? 1 : 0;
  ::ioctlsocket(s, FIONBIO, &on);
  return static_cast<int>(s);
}
inline void Close(int fd) { ::closesocket(static_cast<SOCKET>(fd)); }
inline int Poll(int fd, short events, int ms) {
  WSAPOLLFD p{};
  p.fd = static_cast<SOCKET>(fd);
  p.events = events;
  return ::WSAPoll(&p, 1, ms);
}
inline int Accept(int fd) {
  SOCKET s = ::accept(static_cast<SOCKET>(fd), nullptr, nullptr);
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
#else
using ::socklen_t;
inline constexpr int kNoSignal = MSG_NOSIGNAL;
inline int NewSocket(bool nonBlocking = false) {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
}
inline void Close(int fd) { ::close(fd); }
inline int Poll(int fd, short events, int ms) {
  pollfd p{fd, events, 0};
  return ::poll(&p, 1, ms);
}
inline int Accept(int fd) { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
#endif
}  // namespace sys

inline int ListenSocket(int backlog, int* port, int recvBuffer = 0) {
  int fd = sys::NewSocket();
  if (recvBuffer > 0)
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&recvBuffer), sizeof recvBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0)
    throw std::runtime_error("cannot listen on loopback");
  sys::socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// A port on which nothing listens: bound, so that nobody else takes it meanwhile.
inline int ClosedPort(int* holder) {
  int fd = sys::NewSocket();
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  sys::socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *holder = fd;
  return ntohs(a.sin_port);
}

inline bool SendAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 1 << 20));
    const int n = ::send(fd, bytes.data() + done, chunk, sys::kNoSignal);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads exactly `size` bytes unless `timeout` passes first.
inline std::string ReadExactly(int fd, size_t size, std::chrono::milliseconds timeout) {
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buffer[4096];
  while (out.size() < size) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    if (sys::Poll(fd, POLLIN, static_cast<int>(left.count())) <= 0) continue;
    const int n = ::recv(fd, buffer, static_cast<int>(std::min(sizeof buffer, size - out.size())), 0);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

// Polls `condition` until it holds or `timeout` passes; whether it held.
inline bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// Listens on an ephemeral loopback port and runs `session` on the first accepted connection
// in a thread of its own; the connection is closed when the session returns.
class Server {
 public:
  explicit Server(std::function<void(int fd)> session, int recvBuffer = 0) {
    m_listen = ListenSocket(4, &m_port, recvBuffer);
    m_thread = std::thread([this, session = std::move(session)] {
      if (sys::Poll(m_listen, POLLIN, 20000) <= 0) return;
      int fd = sys::Accept(m_listen);
      if (fd < 0) return;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
      session(fd);
      sys::Close(fd);
    });
  }
  ~Server() {
    if (m_thread.joinable()) m_thread.join();
    sys::Close(m_listen);
  }
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  int port() const { return m_port; }
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }

 private:
  int m_listen = -1;
  int m_port = 0;
  std::thread m_thread;
};

}  // namespace loopback

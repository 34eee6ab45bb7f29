// A small TCP server on 127.0.0.1 for the packet socket's tests: blocking calls, bounded waits.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace loopback {

inline int ListenSocket(int backlog, int* port, int recvBuffer = 0) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (recvBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &recvBuffer, sizeof recvBuffer);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0)
    throw std::runtime_error("cannot listen on loopback");
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// A port on which nothing listens: bound, so that nobody else takes it meanwhile.
inline int ClosedPort(int* holder) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *holder = fd;
  return ntohs(a.sin_port);
}

inline bool SendAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
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
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, size - out.size()), 0);
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
      pollfd p{m_listen, POLLIN, 0};
      if (::poll(&p, 1, 20000) <= 0) return;
      int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) return;
      int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      session(fd);
      ::close(fd);
    });
  }
  ~Server() {
    if (m_thread.joinable()) m_thread.join();
    ::close(m_listen);
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

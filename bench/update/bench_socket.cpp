// Packet socket figures on loopback: throughput of 32768-byte blocks against a plain recv loop
// over the same connection kind, and the CPU an idle connected socket costs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "update/VekSocket.h"

namespace {

constexpr int kBlock = 32768;
constexpr int kBatch = 32;  // blocks per write of the server

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

int Listen(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) std::exit(1);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  *port = ntohs(a.sin_port);
  return fd;
}

// Accepts one connection, waits for `go`, sends `blocks` numbered blocks, waits for `done`.
std::thread Serve(int listener, long blocks, std::atomic<bool>& go, std::atomic<bool>& done) {
  return std::thread([=, &go, &done] {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    std::vector<char> batch(static_cast<size_t>(kBlock) * kBatch, 'd');
    while (!go) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (long sent = 0; sent < blocks;) {
      const long n = std::min<long>(kBatch, blocks - sent);
      for (long i = 0; i < n; ++i) {
        const long number = sent + i;
        std::memcpy(batch.data() + i * kBlock, "_PFSAVE:", 8);
        std::memcpy(batch.data() + i * kBlock + 13, &number, sizeof number);
      }
      const size_t size = static_cast<size_t>(n) * kBlock;
      for (size_t off = 0; off < size;) {
        ssize_t w = ::send(fd, batch.data() + off, size - off, MSG_NOSIGNAL);
        if (w <= 0) {
          ::close(fd);
          return;
        }
        off += static_cast<size_t>(w);
      }
      sent += n;
    }
    // Quiet while waiting, so that the idle figure is the client's alone: woken only by the
    // client closing, or a few times a second to look at `done`.
    while (!done) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 250) > 0) {
        char sink[256];
        if (::recv(fd, sink, sizeof sink, 0) <= 0) break;
      }
    }
    ::close(fd);
  });
}

// The owner as the update client reads: the head block, checked, then shifted out.
double SocketThroughput(long blocks) {
  int port = 0;
  const int listener = Listen(&port);
  std::atomic<bool> go{false}, done{false};
  std::thread server = Serve(listener, blocks, go, done);
  CVekSocket s;
  s.SetSize(256, kBlock, 64, 128, 1, 128);
  if (s.ConnServer("127.0.0.1", port) != 1) {
    std::fprintf(stderr, "bench_socket: connect failed: %s\n", s.LastError().c_str());
    std::exit(1);
  }
  const auto start = std::chrono::steady_clock::now();
  go = true;
  for (long expected = 0; expected < blocks;) {
    if (!s.RcvBufWait(1000)) {
      if (!s.IsConnected()) break;
      continue;
    }
    const char* head = s.RcvBufHead();
    long number = -1;
    std::memcpy(&number, head + 13, sizeof number);
    if (number != expected || std::memcmp(head, "_PFSAVE:", 8) != 0) {
      std::fprintf(stderr, "bench_socket: block %ld arrived as %ld\n", expected, number);
      std::exit(1);
    }
    s.RcvBufShift();
    ++expected;
  }
  const double took = Seconds(std::chrono::steady_clock::now() - start);
  done = true;
  s.Disconnect();
  server.join();
  ::close(listener);
  return static_cast<double>(blocks) * kBlock / took / 1e6;
}

// The peer: one blocking recv loop into a 32 KiB buffer, same server, same amount.
double PlainThroughput(long blocks) {
  int port = 0;
  const int listener = Listen(&port);
  std::atomic<bool> go{false}, done{false};
  std::thread server = Serve(listener, blocks, go, done);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) std::exit(1);
  std::vector<char> buffer(kBlock);
  const long long total = static_cast<long long>(blocks) * kBlock;
  const auto start = std::chrono::steady_clock::now();
  go = true;
  for (long long got = 0; got < total;) {
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) break;
    got += n;
  }
  const double took = Seconds(std::chrono::steady_clock::now() - start);
  done = true;
  ::close(fd);
  server.join();
  ::close(listener);
  return static_cast<double>(total) / took / 1e6;
}

// CPU of this whole process while a connected socket waits for data that never comes.
double IdlePercent(int seconds) {
  int port = 0;
  const int listener = Listen(&port);
  std::atomic<bool> go{false}, done{false};
  std::thread server = Serve(listener, 0, go, done);
  CVekSocket s;
  s.SetSize(256, kBlock, 64, 128, 1, 128);
  if (s.ConnServer("127.0.0.1", port) != 1) std::exit(1);
  go = true;
  const double cpu0 = CpuSeconds();
  const auto wall0 = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double cpu = CpuSeconds() - cpu0;
  const double wall = Seconds(std::chrono::steady_clock::now() - wall0);
  done = true;
  s.Disconnect();
  server.join();
  ::close(listener);
  return 100.0 * cpu / wall;
}

}  // namespace

int main(int argc, char** argv) {
  const long megabytes = argc > 1 ? std::atol(argv[1]) : 2048;
  const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
  const long blocks = megabytes * 1024 * 1024 / kBlock;
  // Alternate the order so neither side always runs on a warmer machine.
  const double plain1 = PlainThroughput(blocks);
  const double socket1 = SocketThroughput(blocks);
  const double socket2 = SocketThroughput(blocks);
  const double plain2 = PlainThroughput(blocks);
  const double plain = std::max(plain1, plain2), socket = std::max(socket1, socket2);
  std::printf("throughput of %d-byte blocks, %ld MiB, best of 2: CVekSocket %.0f MB/s, plain recv loop %.0f MB/s, ratio %.2f\n",
              kBlock, megabytes, socket, plain, socket / plain);
  const double idle = IdlePercent(idleSeconds);
  std::printf("idle connected socket over %d s: %.3f %% of one core\n", idleSeconds, idle);
  const bool ok = socket >= 500 && idle < 1.0;
  std::printf("targets (>= 500 MB/s, < 1 %% idle): %s\n", ok ? "met" : "NOT met");
  return ok ? 0 : 2;
}

// The update server's system calls over POSIX.
#include "tools/update-server/ServerSystem.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace srvsys {

namespace {

void FactsOf(const struct stat& st, FileFacts& facts) {
  facts.regular = S_ISREG(st.st_mode);
  facts.size = st.st_size;
  facts.mtime = st.st_mtim.tv_sec;
  facts.device = st.st_dev;
  facts.index = st.st_ino;
  facts.mtimeTicks = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

void Failed(OpenFailure& failure, const std::string& what, int error) {
  failure.outOfHandles = error == EMFILE || error == ENFILE;
  // O_NOFOLLOW reports a link as ELOOP, O_DIRECTORY a link to a folder as ENOTDIR.
  failure.why = what + ": " + (error == ELOOP ? std::string("is a link") : std::string(std::strerror(error)));
}

// The opened descriptor kept when it is a regular file; closed otherwise.
FileHandle KeepRegular(int fd, const std::string& what, FileFacts& facts, OpenFailure& failure) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    Failed(failure, what, errno);
    ::close(fd);
    return kNoFile;
  }
  FactsOf(st, facts);
  if (!facts.regular) {
    failure = {what + ": not a regular file", false};
    ::close(fd);
    return kNoFile;
  }
  // Opened without blocking (a FIFO would wait for a writer); reads of a file never block anyway.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace

bool Inspect(const std::string& path, bool followLinks, FileFacts& facts) {
  struct stat st{};
  if ((followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return false;
  FactsOf(st, facts);
  return true;
}

std::tm UtcTime(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  return tm;
}

FileHandle OpenBelow(const std::string& base, const std::string& relative, FileFacts& facts, OpenFailure& failure) {
  int dir = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    Failed(failure, base, errno);
    return kNoFile;
  }
  size_t start = 0;
  for (;;) {
    const size_t slash = relative.find('/', start);
    const std::string part = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    const std::string sofar = relative.substr(0, slash);
    if (slash == std::string::npos) {
      const int fd = ::openat(dir, part.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
      const int error = errno;
      ::close(dir);
      if (fd < 0) {
        Failed(failure, sofar, error);
        return kNoFile;
      }
      return KeepRegular(fd, sofar, facts, failure);
    }
    const int next = ::openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int error = errno;
    ::close(dir);
    if (next < 0) {
      Failed(failure, sofar, error == ENOTDIR ? ELOOP : error);
      if (error == ENOTDIR) {
        // A plain file where a folder is expected is not a link; say what it is.
        struct stat st{};
        if (::lstat((base + "/" + sofar).c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) failure.why = sofar + ": not a folder";
      }
      return kNoFile;
    }
    dir = next;
    start = slash + 1;
  }
}

FileHandle OpenRegular(const std::string& path, FileFacts& facts, OpenFailure& failure) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Failed(failure, path, errno);
    return kNoFile;
  }
  return KeepRegular(fd, path, facts, failure);
}

bool Describe(FileHandle file, FileFacts& facts) {
  struct stat st{};
  if (::fstat(static_cast<int>(file), &st) != 0) return false;
  FactsOf(st, facts);
  return true;
}

long long ReadAt(FileHandle file, int64_t offset, char* data, size_t size) {
  for (;;) {
    const ssize_t n = ::pread(static_cast<int>(file), data, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

void CloseFile(FileHandle file) {
  if (file != kNoFile) ::close(static_cast<int>(file));
}

sockio::SocketHandle ListenOn(const std::string& address, int port, int& boundPort, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.c_str(), nullptr, &hints, &found) != 0 || !found) {
    error = "cannot resolve " + address;
    return sockio::kNoSocket;
  }
  sockaddr_in a = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
  ::freeaddrinfo(found);
  a.sin_port = htons(static_cast<uint16_t>(port));
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return sockio::kNoSocket;
  }
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 256) != 0) {
    error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return sockio::kNoSocket;
  }
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  boundPort = ntohs(a.sin_port);
  return fd;
}

sockio::SocketHandle AcceptOne(sockio::SocketHandle listener, std::string& address, std::string& peer,
                               bool& outOfHandles) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  int fd = ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&a), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  outOfHandles = fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM);
  if (fd < 0) return sockio::kNoSocket;
  char ip[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  address = ip;
  peer = std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
  return fd;
}

void ShutdownSending(sockio::SocketHandle socket) { ::shutdown(static_cast<int>(socket), SHUT_WR); }

void CloseSocket(sockio::SocketHandle socket) {
  if (socket != sockio::kNoSocket) ::close(static_cast<int>(socket));
}

int WaitAny(std::vector<Watch>& watches, int ms) {
  std::vector<pollfd> fds;
  fds.reserve(watches.size());
  for (const Watch& w : watches)
    fds.push_back({static_cast<int>(w.socket),
                   static_cast<short>(((w.events & kReadable) ? POLLIN : 0) | ((w.events & kWritable) ? POLLOUT : 0)), 0});
  int ready = ::poll(fds.data(), fds.size(), ms);
  if (ready < 0) return errno == EINTR ? 0 : -1;
  for (size_t i = 0; i < watches.size(); ++i) {
    const short re = fds[i].revents;
    watches[i].ready = ((re & POLLIN) ? kReadable : 0) | ((re & POLLOUT) ? kWritable : 0) |
                       ((re & (POLLHUP | POLLERR)) ? kHangup : 0);
  }
  return ready;
}

// A pipe: writing to it is safe in a signal handler.
bool MakeWaker(Waker& waker) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  waker.watchable = ends[0];
  waker.trigger = ends[1];
  return true;
}

void Wake(const Waker& waker) {
  if (waker.trigger < 0) return;
  const char x = 'x';
  [[maybe_unused]] ssize_t n = ::write(static_cast<int>(waker.trigger), &x, 1);
}

void CloseWaker(Waker& waker) {
  if (waker.watchable != sockio::kNoSocket) ::close(static_cast<int>(waker.watchable));
  if (waker.trigger >= 0) ::close(static_cast<int>(waker.trigger));
  waker = {};
}

}  // namespace srvsys

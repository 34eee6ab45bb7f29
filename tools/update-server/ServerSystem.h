// The calls of the update server that differ between systems: file facts, reading published
// files, the listening socket, waiting on many sockets and the wake-up of the loop.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "update/SocketIo.h"

namespace srvsys {

// What the server needs to know of a file, and enough to tell that it was replaced or changed.
struct FileFacts {
  bool regular = false;
  int64_t size = 0;
  int64_t mtime = 0;  // seconds since 1970
  uint64_t device = 0, index = 0;
  int64_t mtimeTicks = 0;  // the modification time at the system's finest grain
  bool SameAs(const FileFacts& o) const {
    return device == o.device && index == o.index && size == o.size && mtimeTicks == o.mtimeTicks;
  }
};

// false when nothing is at `path`; with `followLinks` false a link is described itself.
bool Inspect(const std::string& path, bool followLinks, FileFacts& facts);

std::tm UtcTime(std::time_t t);

// A published file open for reading; kNoFile when it cannot be opened.
using FileHandle = std::intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Why an open failed; `outOfHandles` when the process or system ran out of descriptors, which
// passes when others are closed (the file itself may be fine).
struct OpenFailure {
  std::string why;
  bool outOfHandles = false;
};

// Opens the regular file `relative` ('/'-separated, no "." or ".." parts) below the folder
// `base` without following a link at any step below `base`, so that a link swapped in at any
// level is refused rather than followed. A FIFO or device is refused without blocking.
FileHandle OpenBelow(const std::string& base, const std::string& relative, FileFacts& facts, OpenFailure& failure);
// Opens the regular file at `path` (links followed) without blocking on a FIFO.
FileHandle OpenRegular(const std::string& path, FileFacts& facts, OpenFailure& failure);
// The facts of an open file as they are now; false when they cannot be read.
bool Describe(FileHandle file, FileFacts& facts);
// Reads up to `size` bytes at `offset` without moving a shared position, so that several
// exchanges can read one open file; bytes read (0 at the end), -1 on an error.
long long ReadAt(FileHandle file, int64_t offset, char* data, size_t size);
void CloseFile(FileHandle file);

// A non-blocking listening TCP socket on `address` (a name or dotted address) and `port`
// (0: any free one, then put in `boundPort`); kNoSocket with `error` set on failure.
sockio::SocketHandle ListenOn(const std::string& address, int port, int& boundPort, std::string& error);
// One waiting connection, made non-blocking, with the peer's address and "address:port";
// kNoSocket when none, with `outOfHandles` set when it waits but no descriptor is left for it.
sockio::SocketHandle AcceptOne(sockio::SocketHandle listener, std::string& address, std::string& peer,
                               bool& outOfHandles);
void ShutdownSending(sockio::SocketHandle socket);
void CloseSocket(sockio::SocketHandle socket);

inline constexpr unsigned kReadable = 1, kWritable = 2, kHangup = 4;
struct Watch {
  sockio::SocketHandle socket;
  unsigned events;
  unsigned ready = 0;
};
// Waits at most `ms` for any of `watches`; the count of ready ones, 0 on a timeout or an
// interruption, -1 when waiting failed.
int WaitAny(std::vector<Watch>& watches, int ms);

// Wakes the loop from another thread or a signal handler: `watchable` becomes readable when
// Wake is called with `trigger`.
struct Waker {
  sockio::SocketHandle watchable = sockio::kNoSocket;
  std::intptr_t trigger = -1;
};
bool MakeWaker(Waker& waker);
void Wake(const Waker& waker);
void CloseWaker(Waker& waker);

}  // namespace srvsys

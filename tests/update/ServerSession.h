// A raw update client for the server's tests: asks for a section's list and for files, block by
// block, so that a test controls the pace of the exchange and sees every block the server sends.
#pragma once

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "LoopbackServer.h"
#include "UpdateBlocks.h"

namespace session {

// A server block: its marker and payload.
struct Reply {
  std::string marker;
  std::string payload;
};

inline uint32_t Le(const std::string& s, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
  return v;
}

// One connection to the server on 127.0.0.1; a receive buffer of `recvBuffer` bytes (set before
// connecting) keeps the server from running far ahead of the test.
class Session {
 public:
  explicit Session(int port, int recvBuffer = 0) {
    fd_ = loopback::sys::NewSocket();
    if (recvBuffer > 0)
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&recvBuffer), sizeof recvBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~Session() { loopback::sys::Close(fd_); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  bool connected() const { return connected_; }
  int fd() const { return fd_; }

  // The next block, or an empty marker when none came whole within `timeout` (or the server closed).
  Reply Next(std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const std::string b = loopback::ReadExactly(fd_, blocks::kServerBlock, timeout);
    if (b.size() < blocks::kServerBlock) return {};
    const size_t length = Le(b, 9, 4);
    if (length > b.size() - 13) return {b.substr(0, 8), ""};
    return {b.substr(0, 8), b.substr(13, length)};
  }

  // Sends _GSECTN: and reads every list block; false when the server answers otherwise (its
  // reply is then in `refusal`).
  bool List(const std::string& section, std::vector<blocks::ListEntry>& entries, Reply* refusal = nullptr) {
    entries.clear();
    if (!loopback::SendAll(fd_, blocks::Block("_GSECTN:", section, blocks::kClientBlock))) return false;
    for (;;) {
      const Reply r = Next();
      if (r.marker != "_PFLIST:") {
        if (refusal) *refusal = r;
        return false;
      }
      const std::string& p = r.payload;
      const uint32_t count = Le(p, 5, 4);
      size_t at = 9;
      for (uint32_t i = 0; i < count && at + 14 <= p.size(); ++i) {
        blocks::ListEntry e{p[at], p[at + 1]};
        const size_t sub = Le(p, at + 2, 2), file = Le(p, at + 4, 2);
        e.sub = p.substr(at + 6, sub);
        e.file = p.substr(at + 6 + sub, file);
        e.size = static_cast<int32_t>(Le(p, at + 6 + sub + file, 4));
        e.time = static_cast<int32_t>(Le(p, at + 10 + sub + file, 4));
        entries.push_back(e);
        at += 14 + sub + file;
      }
      if (p[0] == 0) return true;
    }
  }

  // Sends one _GFNDEX: block asking for `positions` (at most 121).
  bool Ask(const std::vector<int>& positions) {
    testsupport::ByteWriter p;
    p.u8(0);
    for (int i : positions) p.u16le(static_cast<uint16_t>(i));
    return loopback::SendAll(fd_, blocks::Block("_GFNDEX:", positions.empty() ? "" : p.str(), blocks::kClientBlock));
  }

  // Reads pieces until _PAREND: (true) or anything else (false, the block in `last`); the data of
  // each position put together in `files`.
  bool Receive(std::map<int, std::string>& files, Reply* last = nullptr) {
    for (;;) {
      const Reply r = Next();
      if (r.marker != "_PFSAVE:" || r.payload.size() < 3) {
        if (last) *last = r;
        return r.marker == "_PAREND:";
      }
      files[static_cast<int>(Le(r.payload, 1, 2))] += r.payload.substr(3);
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

}  // namespace session

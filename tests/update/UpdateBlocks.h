// Update protocol blocks built field by field for the client's tests and a reader of its requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace blocks {

inline constexpr size_t kServerBlock = 32768;
inline constexpr size_t kClientBlock = 256;

struct ListEntry {
  char key;
  char folder;
  std::string sub;
  std::string file;
  int32_t size = 0;
  int32_t time = 0;
};

// marker, terminator, payload length, payload, zeros up to the block size.
inline std::string Block(const std::string& marker, const std::string& payload, size_t size = kServerBlock) {
  testsupport::ByteWriter b;
  b.text(marker).u8(0).u32le(static_cast<uint32_t>(payload.size())).text(payload);
  if (b.size() < size) b.zeros(size - b.size());
  return b.str();
}

inline std::string List(bool more, int32_t total, const std::vector<ListEntry>& entries) {
  testsupport::ByteWriter p;
  p.u8(more ? 1 : 0).u32le(static_cast<uint32_t>(total)).u32le(static_cast<uint32_t>(entries.size()));
  for (const auto& e : entries) {
    p.u8(static_cast<uint8_t>(e.key)).u8(static_cast<uint8_t>(e.folder));  // key, folder letter
    p.u16le(static_cast<uint16_t>(e.sub.size())).u16le(static_cast<uint16_t>(e.file.size()));  // S, F
    p.text(e.sub).text(e.file);
    p.u32le(static_cast<uint32_t>(e.size)).u32le(static_cast<uint32_t>(e.time));  // lSize, lTime
  }
  return Block("_PFLIST:", p.str());
}

inline std::string Piece(bool more, uint16_t position, const std::string& data) {
  testsupport::ByteWriter p;
  p.u8(more ? 1 : 0).u16le(position).text(data);
  return Block("_PFSAVE:", p.str());
}

// A "_GFNDEX:" request as sent: its length, continuation byte and positions.
struct Request {
  int32_t length = -1;
  int flag = -1;
  std::vector<int> positions;
};

inline Request ReadRequest(const std::string& block) {
  Request r;
  if (block.size() < 13 || block.compare(0, 9, std::string("_GFNDEX:\0", 9)) != 0) return r;
  const auto* u = reinterpret_cast<const unsigned char*>(block.data());
  r.length = static_cast<int32_t>(u[9] | (u[10] << 8) | (u[11] << 16) | (static_cast<uint32_t>(u[12]) << 24));
  r.flag = u[13];
  for (int32_t i = 1; i + 1 < r.length; i += 2) r.positions.push_back(u[13 + i] | (u[14 + i] << 8));
  return r;
}

}  // namespace blocks

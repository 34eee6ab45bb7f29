// Bounds-checked reader over a range of a MediaFile: every parser reads untrusted sizes through it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "probe/MediaFile.h"

// Thrown by ByteReader when a read or seek would leave its range; each parser catches it
// at its entry point and turns it into its failure result, so nothing escapes the probe.
struct ReadError {};

using Guid = std::array<uint8_t, 16>;

class ByteReader {
 public:
  // The whole file.
  explicit ByteReader(const MediaFile& file) : file_(&file), begin_(0), end_(file.size()), pos_(0) {}
  // [begin, end) of the file, clamped to the file.
  ByteReader(const MediaFile& file, int64_t begin, int64_t end);

  int64_t pos() const { return pos_; }
  int64_t begin() const { return begin_; }
  int64_t end() const { return end_; }
  int64_t remaining() const { return end_ - pos_; }
  bool atEnd() const { return pos_ >= end_; }

  // Absolute seek inside [begin, end]; throws outside.
  void seek(int64_t pos);
  // Skips n bytes; throws when fewer remain.
  void skip(int64_t n);
  // A reader over the next n bytes (clamped to what remains); this reader does not move.
  ByteReader sub(int64_t n) const;

  uint8_t u8();
  uint16_t u16be();
  uint16_t u16le();
  uint32_t u24be();
  uint32_t u24le();
  uint32_t u32be();
  uint32_t u32le();
  uint64_t u64be();
  uint64_t u64le();
  std::string fourcc();  // four bytes as text
  Guid guid();           // sixteen bytes as stored

  // Exactly n bytes, or throws (n is checked against what remains before anything is allocated).
  void read(void* dst, size_t n);
  std::string bytes(size_t n);
  // Up to n bytes; never throws. Returns the count read.
  size_t readSome(void* dst, size_t n);

 private:
  const MediaFile* file_;
  int64_t begin_;
  int64_t end_;
  int64_t pos_;
};

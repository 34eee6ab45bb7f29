// A media file opened for reading: 64-bit position, cached positional reads, or bytes in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class MediaFile {
 public:
  MediaFile() = default;
  ~MediaFile();
  MediaFile(const MediaFile&) = delete;
  MediaFile& operator=(const MediaFile&) = delete;
  MediaFile(MediaFile&& other) noexcept;
  MediaFile& operator=(MediaFile&& other) noexcept;

  // Opens `path` read-only; false when it cannot be opened or is not a regular file.
  bool open(const std::string& path);
  // A file whose contents are `bytes` (tests and fuzz targets).
  static MediaFile FromMemory(std::string bytes);

  bool isOpen() const { return fd_ >= 0 || memory_; }
  int64_t size() const { return size_; }

  // Stream-like position, as callers that "leave the position as they found it" expect.
  int64_t tell() const { return pos_; }
  bool seek(int64_t pos);
  // Reads up to n bytes at the position and advances; returns the count read.
  size_t read(void* dst, size_t n);

  // Reads up to n bytes at `offset` without moving the position.
  size_t readAt(int64_t offset, void* dst, size_t n) const;

  // Number of read calls that reached the operating system (for tests and benchmarks).
  uint64_t systemReads() const { return systemReads_; }

 private:
  void close();

  int fd_ = -1;
  bool memory_ = false;
  std::string bytes_;
  int64_t size_ = 0;
  int64_t pos_ = 0;
  // One cached block: most parsers read small headers close to each other.
  mutable std::vector<uint8_t> cache_;
  mutable int64_t cacheOffset_ = -1;
  mutable size_t cacheLength_ = 0;
  mutable uint64_t systemReads_ = 0;
};

// Restores a file's position when it leaves scope.
class PositionGuard {
 public:
  explicit PositionGuard(MediaFile& file) : file_(file), pos_(file.tell()) {}
  ~PositionGuard() { file_.seek(pos_); }
  PositionGuard(const PositionGuard&) = delete;
  PositionGuard& operator=(const PositionGuard&) = delete;

 private:
  MediaFile& file_;
  int64_t pos_;
};

// The growable ring buffer that collects an encoder's output until its lines are complete.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

class OutputRingBuffer {
 public:
  static constexpr size_t kGrowStep = 4096;

  OutputRingBuffer() : data_(kGrowStep) {}

  // Appends `bytes`; when they do not fit, the capacity grows by the smallest multiple
  // of 4096 bytes that makes them fit, keeping the unread bytes in order.
  void Append(std::string_view bytes);
  // Up to `n` bytes from the start, without removing them.
  std::string Peek(size_t n) const;
  // Removes up to `n` bytes from the start.
  void Remove(size_t n);
  void Clear() { head_ = size_ = 0; }

  // Index of the first CR or LF among the first `limit` bytes, looking from index `from`
  // on (bytes before it are known to hold none); npos when there is none.
  size_t FindLineEnd(size_t limit, size_t from = 0) const;

  size_t Size() const { return size_; }
  size_t Capacity() const { return data_.size(); }

 private:
  std::vector<char> data_;
  size_t head_ = 0;  // index of the first unread byte
  size_t size_ = 0;  // unread bytes
};

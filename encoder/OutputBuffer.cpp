// The growable ring buffer of encoder output.
#include "encoder/OutputBuffer.h"

#include <algorithm>
#include <cstring>

void OutputRingBuffer::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  const size_t needed = size_ + bytes.size();
  if (needed > data_.size()) {
    const size_t short_by = needed - data_.size();
    std::vector<char> grown(data_.size() + (short_by + kGrowStep - 1) / kGrowStep * kGrowStep);
    const std::string unread = Peek(size_);
    std::memcpy(grown.data(), unread.data(), unread.size());
    data_.swap(grown);
    head_ = 0;
  }
  size_t tail = (head_ + size_) % data_.size();
  size_t first = std::min(bytes.size(), data_.size() - tail);
  std::memcpy(data_.data() + tail, bytes.data(), first);
  std::memcpy(data_.data(), bytes.data() + first, bytes.size() - first);
  size_ += bytes.size();
}

std::string OutputRingBuffer::Peek(size_t n) const {
  n = std::min(n, size_);
  std::string out(n, '\0');
  size_t first = std::min(n, data_.size() - head_);
  std::memcpy(out.data(), data_.data() + head_, first);
  std::memcpy(out.data() + first, data_.data(), n - first);
  return out;
}

void OutputRingBuffer::Remove(size_t n) {
  n = std::min(n, size_);
  head_ = size_ == n ? 0 : (head_ + n) % data_.size();
  size_ -= n;
}

size_t OutputRingBuffer::FindLineEnd(size_t limit, size_t from) const {
  limit = std::min(limit, size_);
  // The unread bytes lie in at most two runs (before and after the wrap); each is searched
  // with memchr, which matters when an encoder floods us with output that has no line end.
  for (size_t i = from; i < limit;) {
    const size_t at = (head_ + i) % data_.size();
    const size_t run = std::min(limit - i, data_.size() - at);
    const char* start = data_.data() + at;
    const void* cr = std::memchr(start, '\r', run);
    const void* lf = std::memchr(start, '\n', cr ? static_cast<const char*>(cr) - start : run);
    const char* found = lf ? static_cast<const char*>(lf) : static_cast<const char*>(cr);
    if (found) return i + static_cast<size_t>(found - start);
    i += run;
  }
  return std::string::npos;
}

// ByteReader: sizes are checked by subtraction against what remains, never by adding.
#include "probe/ByteReader.h"

#include <algorithm>

ByteReader::ByteReader(const MediaFile& file, int64_t begin, int64_t end) : file_(&file) {
  begin_ = std::clamp<int64_t>(begin, 0, file.size());
  end_ = std::clamp<int64_t>(end, begin_, file.size());
  pos_ = begin_;
}

void ByteReader::seek(int64_t pos) {
  if (pos < begin_ || pos > end_) throw ReadError{};
  pos_ = pos;
}

void ByteReader::skip(int64_t n) {
  if (n < 0 || n > remaining()) throw ReadError{};
  pos_ += n;
}

ByteReader ByteReader::sub(int64_t n) const {
  if (n < 0) n = 0;
  return ByteReader(*file_, pos_, pos_ + std::min(n, remaining()));
}

void ByteReader::read(void* dst, size_t n) {
  if (static_cast<uint64_t>(n) > static_cast<uint64_t>(remaining())) throw ReadError{};
  if (file_->readAt(pos_, dst, n) != n) throw ReadError{};
  pos_ += static_cast<int64_t>(n);
}

size_t ByteReader::readSome(void* dst, size_t n) {
  n = static_cast<size_t>(std::min<uint64_t>(n, static_cast<uint64_t>(remaining())));
  size_t got = file_->readAt(pos_, dst, n);
  pos_ += static_cast<int64_t>(got);
  return got;
}

std::string ByteReader::bytes(size_t n) {
  if (static_cast<uint64_t>(n) > static_cast<uint64_t>(remaining())) throw ReadError{};
  std::string out(n, '\0');
  read(out.data(), n);
  return out;
}

uint8_t ByteReader::u8() {
  uint8_t b;
  read(&b, 1);
  return b;
}

namespace {
template <size_t N>
uint64_t Big(const uint8_t (&b)[N]) {
  uint64_t v = 0;
  for (size_t i = 0; i < N; ++i) v = (v << 8) | b[i];
  return v;
}
template <size_t N>
uint64_t Little(const uint8_t (&b)[N]) {
  uint64_t v = 0;
  for (size_t i = N; i-- > 0;) v = (v << 8) | b[i];
  return v;
}
}  // namespace

#define ZELVORA_READ_INT(name, type, count, order) \
  type ByteReader::name() {                        \
    uint8_t b[count];                              \
    read(b, count);                                \
    return static_cast<type>(order(b));            \
  }
ZELVORA_READ_INT(u16be, uint16_t, 2, Big)
ZELVORA_READ_INT(u16le, uint16_t, 2, Little)
ZELVORA_READ_INT(u24be, uint32_t, 3, Big)
ZELVORA_READ_INT(u24le, uint32_t, 3, Little)
ZELVORA_READ_INT(u32be, uint32_t, 4, Big)
ZELVORA_READ_INT(u32le, uint32_t, 4, Little)
ZELVORA_READ_INT(u64be, uint64_t, 8, Big)
ZELVORA_READ_INT(u64le, uint64_t, 8, Little)
#undef ZELVORA_READ_INT

std::string ByteReader::fourcc() { return bytes(4); }

Guid ByteReader::guid() {
  Guid g;
  read(g.data(), g.size());
  return g;
}

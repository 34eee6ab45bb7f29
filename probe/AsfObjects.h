// ASF object layout: one walker over the top-level objects and the header's children, and
// the fixed-offset field reads the ASF queries are made of.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "probe/ByteReader.h"
#include "probe/MediaFile.h"

// Where one object lies: [pos, end), end clamped to what its parent and the file hold.
struct AsfObject {
  int64_t pos = -1;
  int64_t end = -1;
  bool found() const { return pos >= 0; }
};

// The objects the probe reads, each the first of its kind in file order.
struct AsfLayout {
  AsfObject fileProperties;
  AsfObject codecList;
  AsfObject data;
  AsfObject simpleIndex;
  // Only the first two Stream Properties objects are examined.
  AsfObject streams[2];
  int streamCount = 0;
};

enum class AsfStreamKind { kAudio, kVideo };

// Walks the file from its Header object (at the current position, else at the start of the
// file); false when neither place holds one. Never throws.
bool ReadAsfLayout(const MediaFile& file, AsfLayout* layout);

// Reads an unsigned little-endian field of 1, 2, 4 or 8 bytes at `offset` from the object's
// first byte; nothing when the object is missing or does not hold the field.
std::optional<uint64_t> AsfField(const MediaFile& file, const AsfObject& object, int64_t offset, int width);

// The first of the examined Stream Properties objects whose stream type is `kind`.
AsfObject AsfFindStream(const MediaFile& file, const AsfLayout& layout, AsfStreamKind kind);

// The UTF-8 name of the first Codec List entry of `kind`, when that entry has a name.
std::optional<std::string> AsfCodecListName(const MediaFile& file, const AsfLayout& layout, AsfStreamKind kind);

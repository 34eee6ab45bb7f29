// ASF objects: GUIDs, the object walker and the Codec List reader.
#include "probe/AsfObjects.h"

#include <algorithm>
#include <string_view>

namespace {

constexpr uint8_t HexDigit(char c) {
  return static_cast<uint8_t>(c <= '9' ? c - '0' : (c <= 'F' ? c - 'A' + 10 : c - 'a' + 10));
}

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in its stored order: the first three groups are
// little-endian, the last two are bytes as written.
constexpr Guid MakeGuid(std::string_view t) {
  auto byte = [&](size_t at) { return static_cast<uint8_t>(HexDigit(t[at]) << 4 | HexDigit(t[at + 1])); };
  Guid g{};
  const size_t order[16] = {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34};
  for (size_t i = 0; i < 16; ++i) g[i] = byte(order[i]);
  return g;
}

constexpr Guid kHeaderGuid = MakeGuid("75B22630-668E-11CF-A6D9-00AA0062CE6C");
constexpr Guid kFilePropertiesGuid = MakeGuid("8CABDCA1-A947-11CF-8EE4-00C00C205365");
constexpr Guid kStreamPropertiesGuid = MakeGuid("B7DC0791-A9B7-11CF-8EE6-00C00C205365");
constexpr Guid kCodecListGuid = MakeGuid("86D15240-311D-11D0-A3A4-00A0C90348F6");
constexpr Guid kDataGuid = MakeGuid("75B22636-668E-11CF-A6D9-00AA0062CE6C");
constexpr Guid kSimpleIndexGuid = MakeGuid("33000890-E5B1-11CF-89F4-00A0C90349CB");
constexpr Guid kAudioMediaGuid = MakeGuid("F8699E40-5B4D-11CF-A8FD-00805F5C442B");
constexpr Guid kVideoMediaGuid = MakeGuid("BC19EFC0-5B4D-11CF-A8FD-00805F5C442B");

constexpr int64_t kObjectHeaderSize = 24;    // GUID, 64-bit size
constexpr int64_t kHeaderChildrenAt = 30;    // + 32-bit object count, two reserved bytes
constexpr int64_t kStreamTypeAt = 24;        // Stream Properties: stream type GUID
constexpr int64_t kCodecEntriesAt = 40;      // Codec List: reserved GUID, then the entry count
// Real files have a handful of objects per level; the caps keep a file of tiny objects cheap.
constexpr int kMaxTopLevelObjects = 256;
constexpr int kMaxHeaderObjects = 1024;
constexpr uint16_t kMaxCodecTextChars = 127;
constexpr size_t kCodecNameBytes = 255;

// Visits the objects of `range` in order. An object smaller than its own header ends the walk;
// one larger than what is left is clamped, and the walk continues at its declared end.
template <class Visit>
void WalkAsf(ByteReader range, int maxObjects, Visit&& visit) {
  for (int n = 0; n < maxObjects && range.remaining() >= kObjectHeaderSize; ++n) {
    int64_t pos = range.pos();
    Guid id = range.guid();
    uint64_t size = range.u64le();
    uint64_t left = static_cast<uint64_t>(range.remaining());
    // A Data object written while broadcasting may not know its size: it runs to the end.
    if (size == 0 && id == kDataGuid) size = kObjectHeaderSize + left;
    if (size < static_cast<uint64_t>(kObjectHeaderSize)) return;
    uint64_t body = size - kObjectHeaderSize;
    AsfObject object{pos, range.pos() + static_cast<int64_t>(std::min(body, left))};
    if (!visit(id, object)) return;
    if (body > left) return;
    range.skip(static_cast<int64_t>(body));
  }
}

std::optional<int64_t> FindHeader(const MediaFile& file) {
  for (int64_t at : {file.tell(), int64_t{0}}) {
    if (at < 0 || file.size() - at < kObjectHeaderSize) continue;
    ByteReader r(file, at, file.size());
    if (r.guid() == kHeaderGuid) return at;
  }
  return std::nullopt;
}

void ReadHeaderChildren(const MediaFile& file, const AsfObject& header, AsfLayout* layout) {
  if (header.end - header.pos < kHeaderChildrenAt) return;
  WalkAsf(ByteReader(file, header.pos + kHeaderChildrenAt, header.end), kMaxHeaderObjects,
          [&](const Guid& id, const AsfObject& object) {
            if (id == kFilePropertiesGuid && !layout->fileProperties.found()) {
              layout->fileProperties = object;
            } else if (id == kCodecListGuid && !layout->codecList.found()) {
              layout->codecList = object;
            } else if (id == kStreamPropertiesGuid && layout->streamCount < 2) {
              layout->streams[layout->streamCount++] = object;
            }
            return true;
          });
}

// UTF-16LE → UTF-8, ending at the first NUL, cut to whole characters within `maxBytes`.
std::string Utf16ToUtf8(const std::string& raw, size_t maxBytes) {
  std::string out;
  for (size_t i = 0; i + 1 < raw.size(); i += 2) {
    uint32_t c = static_cast<uint8_t>(raw[i]) | static_cast<uint8_t>(raw[i + 1]) << 8;
    if (c == 0) break;
    if (c >= 0xD800 && c < 0xDC00 && i + 3 < raw.size()) {
      uint32_t low = static_cast<uint8_t>(raw[i + 2]) | static_cast<uint8_t>(raw[i + 3]) << 8;
      if (low >= 0xDC00 && low < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        i += 2;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;  // an unpaired surrogate
    char buf[4];
    size_t n;
    if (c < 0x80) {
      buf[0] = static_cast<char>(c);
      n = 1;
    } else if (c < 0x800) {
      buf[0] = static_cast<char>(0xC0 | c >> 6);
      buf[1] = static_cast<char>(0x80 | (c & 0x3F));
      n = 2;
    } else if (c < 0x10000) {
      buf[0] = static_cast<char>(0xE0 | c >> 12);
      buf[1] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      buf[2] = static_cast<char>(0x80 | (c & 0x3F));
      n = 3;
    } else {
      buf[0] = static_cast<char>(0xF0 | c >> 18);
      buf[1] = static_cast<char>(0x80 | (c >> 12 & 0x3F));
      buf[2] = static_cast<char>(0x80 | (c >> 6 & 0x3F));
      buf[3] = static_cast<char>(0x80 | (c & 0x3F));
      n = 4;
    }
    if (out.size() + n > maxBytes) break;
    out.append(buf, n);
  }
  return out;
}

}  // namespace

bool ReadAsfLayout(const MediaFile& file, AsfLayout* layout) {
  *layout = AsfLayout{};
  try {
    std::optional<int64_t> start = FindHeader(file);
    if (!start) return false;
    bool sawHeader = false;
    WalkAsf(ByteReader(file, *start, file.size()), kMaxTopLevelObjects,
            [&](const Guid& id, const AsfObject& object) {
              if (id == kHeaderGuid && !sawHeader) {
                sawHeader = true;
                ReadHeaderChildren(file, object, layout);
              } else if (id == kDataGuid && !layout->data.found()) {
                layout->data = object;
              } else if (id == kSimpleIndexGuid) {
                layout->simpleIndex = object;
                return false;  // nothing after the first index is needed
              }
              return true;
            });
    return true;
  } catch (const ReadError&) {
    return true;  // the walk checks what remains before each read; keep what it found
  }
}

std::optional<uint64_t> AsfField(const MediaFile& file, const AsfObject& object, int64_t offset, int width) {
  if (!object.found() || offset < 0 || width > object.end - object.pos - offset) return std::nullopt;
  try {
    ByteReader r(file, object.pos + offset, object.end);
    switch (width) {
      case 1: return r.u8();
      case 2: return r.u16le();
      case 4: return r.u32le();
      case 8: return r.u64le();
      default: return std::nullopt;
    }
  } catch (const ReadError&) {
    return std::nullopt;
  }
}

AsfObject AsfFindStream(const MediaFile& file, const AsfLayout& layout, AsfStreamKind kind) {
  const Guid& want = kind == AsfStreamKind::kAudio ? kAudioMediaGuid : kVideoMediaGuid;
  for (int i = 0; i < layout.streamCount; ++i) {
    const AsfObject& s = layout.streams[i];
    if (s.end - s.pos - kStreamTypeAt < 16) continue;
    try {
      ByteReader r(file, s.pos + kStreamTypeAt, s.end);
      if (r.guid() == want) return s;
    } catch (const ReadError&) {
    }
  }
  return {};
}

// Entries: 16-bit type (1 video, 2 audio), name (16-bit length in characters, UTF-16),
// description (the same form), information (16-bit length in bytes). Every field is stepped
// over by its own length, so a long description does not shift the entries after it.
std::optional<std::string> AsfCodecListName(const MediaFile& file, const AsfLayout& layout, AsfStreamKind kind) {
  const AsfObject& list = layout.codecList;
  if (!list.found() || list.end - list.pos < kCodecEntriesAt + 4) return std::nullopt;
  const uint16_t want = kind == AsfStreamKind::kAudio ? 2 : 1;
  try {
    ByteReader r(file, list.pos + kCodecEntriesAt, list.end);
    uint32_t count = r.u32le();
    for (uint32_t i = 0; i < count && !r.atEnd(); ++i) {
      uint16_t type = r.u16le();
      uint16_t nameChars = r.u16le();
      bool readable = nameChars >= 1 && nameChars <= kMaxCodecTextChars;
      std::string raw = readable ? r.bytes(size_t{nameChars} * 2) : (r.skip(int64_t{nameChars} * 2), std::string());
      if (type == want) {
        if (!readable) return std::nullopt;
        std::string name = Utf16ToUtf8(raw, kCodecNameBytes);
        return name.empty() ? std::nullopt : std::optional<std::string>(name);
      }
      r.skip(int64_t{r.u16le()} * 2);  // description
      r.skip(r.u16le());               // information
    }
  } catch (const ReadError&) {
  }
  return std::nullopt;
}

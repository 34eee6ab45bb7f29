// Container detection: the type a file's name suggests, the check for one type, and the content scan.
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "probe/Parsers.h"
#include "probe/Probe.h"

namespace {

constexpr size_t kHeaderSize = 128;

struct ExtensionAlias {
  std::string_view extension;
  int type;
};
// Extensions that are not themselves a type name.
constexpr ExtensionAlias kAliases[] = {
    {"mpeg", kTypeMpg}, {"vob", kTypeMpg}, {"mp2", kTypeMp3}, {"k3g", kTypeMp4}, {"skm", kTypeMp4},
    {"3gp", kTypeMp4},  {"mts", kTypeMts}, {"ts", kTypeMts},  {"tp", kTypeMts},  {"m2ts", kTypeMts},
};

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The first 128 bytes of the container, read from behind a leading ID3v2 tag.
struct Header {
  std::array<uint8_t, kHeaderSize> bytes{};
  int64_t start = 0;

  bool beginsWith(const char* text) const {
    size_t n = std::strlen(text);
    return std::memcmp(bytes.data(), text, n) == 0;
  }
  bool contains(std::string_view text) const {
    auto it = std::search(bytes.begin(), bytes.end(), text.begin(), text.end(),
                          [](uint8_t b, char c) { return b == static_cast<uint8_t>(c); });
    return it != bytes.end();
  }
};

// False when fewer than 128 bytes follow the start offset: then no check names a type.
bool ReadHeader(MediaFile& file, Header& header) {
  PositionGuard keep(file);
  header.start = GetId3TagLength(file);
  return file.readAt(header.start, header.bytes.data(), kHeaderSize) == kHeaderSize;
}

// Runs a parser's query at the container start and puts the position back afterwards.
// A parser that throws (it must not) counts as a failed check rather than ending the probe.
template <typename Query>
bool CheckAtStart(MediaFile& file, const Header& header, Query query) {
  PositionGuard keep(file);
  if (!file.seek(header.start)) return false;
  try {
    return query() > 0;
  } catch (...) {
    return false;
  }
}

bool HasAsfStream(MediaFile& file, const Header& header, int which) {
  return CheckAtStart(file, header, [&] {
    int64_t value = 0;
    return AsfStreamQuery(file, &value, which, true);
  });
}

bool IsMpegAudio(MediaFile& file, const Header& header) {
  return CheckAtStart(file, header, [&] {
    MediaInfo scratch;
    return RunMpegAudio(file, scratch, true, header.start);
  });
}

bool IsProgramStream(MediaFile& file, const Header& header) {
  return CheckAtStart(file, header, [&] {
    MediaInfo scratch;
    return RunMpg(file, scratch, true);
  });
}

bool IsMp4Atom(const Header& header) {
  try {
    return IsAtom(std::span<const uint8_t>(header.bytes));
  } catch (...) {
    return false;
  }
}

const char* Name(int type) { return kMediaTypeNames[type]; }

// An OGM video stream header names "video"; a Theora stream's identification packet does not,
// but it is no less a video stream.
const char* OggName(const Header& header) {
  const bool video = header.contains("video") || header.contains("\x80theora");
  return Name(video ? kTypeOgm : kTypeOgg);
}

// Matroska names its document type in the EBML header; WebM is the same container under
// another name, and without this a WebM file falls through to checks that misread it.
bool IsMatroska(const Header& header) {
  return header.contains("matroska") || (header.beginsWith("\x1A\x45\xDF\xA3") && header.contains("webm"));
}

// The check for the type the extension names.
const char* getMediaTypeOne(MediaFile& file, const Header& header, int type) {
  switch (type) {
    case kTypeMp3:
      if (header.beginsWith("OggS") || HasAsfStream(file, header, kAsfHasAudioStream) || IsMp4Atom(header))
        return nullptr;
      return IsMpegAudio(file, header) ? Name(kTypeMp3) : nullptr;
    case kTypeOgg:
    case kTypeOgm:
      return header.beginsWith("OggS") ? OggName(header) : nullptr;
    case kTypeWma:
      return HasAsfStream(file, header, kAsfHasAudioStream) ? Name(kTypeWma) : nullptr;
    case kTypeWmv:
      return HasAsfStream(file, header, kAsfHasVideoStream) ? Name(kTypeWmv) : nullptr;
    case kTypeMpg:
      return IsProgramStream(file, header) ? Name(kTypeMpg) : nullptr;
    case kTypeAvi:
      return header.beginsWith("RIFF") ? Name(kTypeAvi) : nullptr;
    case kTypeMkv:
      return IsMatroska(header) ? Name(kTypeMkv) : nullptr;
    case kTypeAsf:
      if (HasAsfStream(file, header, kAsfHasVideoStream)) return Name(kTypeWmv);
      return HasAsfStream(file, header, kAsfHasAudioStream) ? Name(kTypeWma) : nullptr;
    case kTypeM4a:
    case kTypeM4v:
    case kTypeMp4:
    case kTypeMov:
      return IsMp4Atom(header) ? Name(kTypeM4a) : nullptr;
    case kTypeFlv:
      return header.beginsWith("FLV") ? Name(kTypeFlv) : nullptr;
    case kTypeMts:
      return Name(kTypeMts);
    default:
      return nullptr;
  }
}

bool IsAnyOf(int type, std::initializer_list<int> types) {
  return std::find(types.begin(), types.end(), type) != types.end();
}

// Every check in a fixed order; a check the extension's own type has already made is skipped.
const char* ScanContent(MediaFile& file, const Header& header, int extensionType) {
  const int t = extensionType;
  if (t != kTypeAvi && header.beginsWith("RIFF")) return Name(kTypeAvi);
  if (t != kTypeFlv && header.beginsWith("FLV")) return Name(kTypeFlv);
  if (!IsAnyOf(t, {kTypeOgg, kTypeOgm}) && header.beginsWith("OggS")) return OggName(header);
  if (t != kTypeMkv && IsMatroska(header)) return Name(kTypeMkv);
  if (!IsAnyOf(t, {kTypeM4a, kTypeM4v, kTypeMp4, kTypeMov}) && IsMp4Atom(header)) return Name(kTypeM4a);
  if (!IsAnyOf(t, {kTypeWmv, kTypeAsf}) && HasAsfStream(file, header, kAsfHasVideoStream)) return Name(kTypeWmv);
  if (!IsAnyOf(t, {kTypeWma, kTypeAsf}) && HasAsfStream(file, header, kAsfHasAudioStream)) return Name(kTypeWma);
  // A file named as a program stream whose program-stream check failed may still be
  // MPEG audio; every other name ends with the program-stream check.
  if (t == kTypeMpg) return IsMpegAudio(file, header) ? Name(kTypeMp3) : nullptr;
  return IsProgramStream(file, header) ? Name(kTypeMpg) : nullptr;
}

}  // namespace

int GetExtensionIndex(const std::string& path) {
  // The extension belongs to the file's own name, not to a folder above it.
  size_t slash = path.find_last_of('/');
  std::string_view name(path);
  if (slash != std::string::npos) name.remove_prefix(slash + 1);
  size_t dot = name.find_last_of('.');
  if (dot == std::string_view::npos) return 0;
  std::string_view extension = name.substr(dot + 1);
  for (int type = 1; type < kMediaTypeCount; ++type)
    if (EqualsIgnoringCase(extension, kMediaTypeNames[type])) return type;
  for (const auto& alias : kAliases)
    if (EqualsIgnoringCase(extension, alias.extension)) return alias.type;
  return -1;
}

int ParseId3Header(MediaFile& file, Id3Header* header) {
  uint8_t b[10];
  file.seek(0);
  if (file.read(b, sizeof b) != sizeof b || std::memcmp(b, "ID3", 3) != 0) {
    file.seek(0);
    return 0;
  }
  // Bytes 6 to 9: a 28-bit "synchsafe" size, seven bits per byte, not counting the 10-byte header.
  int64_t size = 0;
  for (int i = 6; i < 10; ++i) size = (size << 7) | (b[i] & 0x7F);
  if (header) {
    header->present = 1;
    header->major = b[3];
    header->revision = b[4];
    header->length = size + 10;
  }
  return 1;
}

int64_t GetId3TagLength(MediaFile& file) {
  Id3Header header;
  return ParseId3Header(file, &header) ? header.length : 0;
}

namespace {

// The ASF header object's GUID, as stored.
constexpr uint8_t kAsfHeaderGuid[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                        0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};

// A transport stream is told by its sync bytes recurring at the packet period, whatever the
// file is called: cameras and recorders name theirs .mpg or .m2t as often as .ts. A file that
// opens with another container's own signature is that container, whatever bytes follow.
bool IsTransportStream(MediaFile& file, const Header& header) {
  if (header.beginsWith("RIFF") || header.beginsWith("FLV") || header.beginsWith("OggS") || IsMatroska(header) ||
      IsMp4Atom(header) || std::memcmp(header.bytes.data(), kAsfHeaderGuid, sizeof kAsfHeaderGuid) == 0)
    return false;
  std::array<uint8_t, 4096> start{};
  const size_t got = file.readAt(header.start, start.data(), start.size());
  return FindTsLayout(std::span<const uint8_t>(start.data(), got)).has_value();
}

}  // namespace

const char* DetectMediaType(MediaFile& file, const std::string& path) {
  if (!file.isOpen()) return nullptr;
  Header header;
  if (!ReadHeader(file, header)) return nullptr;
  if (IsTransportStream(file, header)) return Name(kTypeMts);
  int extensionType = GetExtensionIndex(path);
  if (extensionType < 0) return ScanContent(file, header, kTypeNone);
  if (const char* name = getMediaTypeOne(file, header, extensionType)) return name;
  return ScanContent(file, header, extensionType);
}

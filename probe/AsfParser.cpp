// ASF parser: the numbered field queries, the play-time estimate and the WMA/WMV probes.
#include <algorithm>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "probe/AsfObjects.h"
#include "probe/Parsers.h"

namespace {

// One numbered query: `width` bytes at `offset` from the object's first byte; width 0 answers
// with the position at `offset` instead of a field.
struct FieldQuery {
  int query;
  int64_t offset;
  int width;
};

constexpr FieldQuery kFilePropertiesQueries[] = {
    {1, 16, 8},  // object size
    {2, 40, 8},  // file size
    {3, 48, 8},  // creation date
    {4, 56, 8},  // data packets count
    {5, 64, 8},  // play duration
    {6, 72, 8},  // send duration
    {7, 80, 8},  // preroll
    {8, 92, 4},  // minimum data packet size
    {9, 96, 4},  // maximum data packet size
    {10, 100, 4},  // maximum bit rate
};
constexpr FieldQuery kDataQueries[] = {
    {101, 0, 0},   // position of the object
    {102, 16, 8},  // object size
    {103, 40, 8},  // total data packets
    {104, 50, 0},  // position of the first data packet
};
constexpr FieldQuery kSimpleIndexQueries[] = {
    {201, 0, 0},   // position of the object
    {202, 16, 8},  // object size
    {203, 40, 8},  // index entry time interval
    {204, 48, 4},  // maximum packet count
    {205, 52, 4},  // index entries count
    {206, 56, 0},  // position of the entries
};
// Stream Properties: the type-specific data begins at 78 (WAVEFORMATEX for audio; encoded
// size, a flag, a format size and a BITMAPINFOHEADER at 89 for video).
constexpr FieldQuery kStreamQueries[] = {
    {102, 56, 8},   // time offset
    {103, 78, 2},   // format tag
    {104, 80, 2},   // channels
    {105, 82, 4},   // samples per second
    {106, 86, 4},   // average bytes per second
    {107, 90, 2},   // block alignment
    {108, 92, 2},   // bits per sample
    {202, 56, 8},   // time offset
    {203, 78, 4},   // encoded image width
    {204, 82, 4},   // encoded image height
    {205, 93, 4},   // bitmap width
    {206, 97, 4},   // bitmap height
    {207, 103, 2},  // bits per pixel
    {208, 105, 4},  // compression identifier
};

constexpr int64_t kFlagsAt = 88;  // File Properties flags: broadcast, seekable
constexpr int64_t kEntryCountAt = 52;
constexpr int64_t kIndexEntriesAt = 56;
constexpr int64_t kIndexEntrySize = 6;  // packet number (32 bits), packet count (16 bits)

struct AudioTagName {
  uint16_t tag;
  const char* name;
};
constexpr AudioTagName kAudioTagNames[] = {
    {0x0161, "WMA"}, {0x0162, "WMA9Pro"}, {0x0163, "WMA9Voice"}, {0x7A21, "GSM-AMR CBR"}, {0x7A22, "GSM-AMR VBR"},
};

int32_t ClampToInt32(int64_t v) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

const FieldQuery* FindQuery(std::span<const FieldQuery> table, int query) {
  for (const FieldQuery& q : table)
    if (q.query == query) return &q;
  return nullptr;
}

// Answers one query on one object; a missing object or field leaves `out` alone. With
// `restore` false the file is left at the object's first byte (reads never move it otherwise).
int Answer(MediaFile& file, const AsfObject& object, const FieldQuery* q, int64_t* out, bool restore) {
  if (!q || !object.found()) return 0;
  int64_t value;
  if (q->width == 0) {
    if (q->offset > object.end - object.pos) return 0;
    value = object.pos + q->offset;
  } else {
    std::optional<uint64_t> field = AsfField(file, object, q->offset, q->width);
    if (!field) return 0;
    value = static_cast<int64_t>(*field);
  }
  if (out) *out = value;
  if (!restore) file.seek(object.pos);
  return 1;
}

int FieldValue(MediaFile& file, const AsfObject& object, std::span<const FieldQuery> table, int query,
               int64_t* out) {
  return Answer(file, object, FindQuery(table, query), out, true);
}

int PlayTimeEstimate(MediaFile& file, const AsfLayout& layout) {
  int64_t packets = 0, packetSize = 0, bitrate = 0;
  if (!FieldValue(file, layout.fileProperties, kFilePropertiesQueries, 4, &packets) ||
      !FieldValue(file, layout.fileProperties, kFilePropertiesQueries, 9, &packetSize) ||
      !FieldValue(file, layout.fileProperties, kFilePropertiesQueries, 10, &bitrate) || bitrate == 0)
    return -1;
  double seconds = static_cast<double>(packets) * static_cast<double>(packetSize) * 8.0 / bitrate + 0.5;
  if (!(seconds >= 0)) return -1;
  return seconds >= std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                        : static_cast<int>(seconds);
}

// The play time the header states: play duration (100 ns units) less preroll (ms). A file
// written while broadcasting does not know it, and then the estimate stands in. The estimate
// alone is far off for variable-rate streams (a 6.6 s ffmpeg WMV estimates at 8 s).
int PlayTime(MediaFile& file, const AsfLayout& layout) {
  constexpr uint32_t kBroadcast = 1;
  std::optional<uint64_t> flags = AsfField(file, layout.fileProperties, kFlagsAt, 4);
  int64_t duration = 0, preroll = 0;
  if (flags && !(*flags & kBroadcast) && FieldValue(file, layout.fileProperties, kFilePropertiesQueries, 5, &duration) &&
      FieldValue(file, layout.fileProperties, kFilePropertiesQueries, 7, &preroll) && duration > 0) {
    double seconds = static_cast<double>(duration) / 1e7 - static_cast<double>(preroll) / 1e3;
    if (seconds >= 0) {
      return seconds >= std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                            : static_cast<int>(seconds);
    }
  }
  return std::max(PlayTimeEstimate(file, layout), 0);
}

std::string AudioCodecName(MediaFile& file, const AsfLayout& layout, const AsfObject& stream) {
  if (std::optional<std::string> listed = AsfCodecListName(file, layout, AsfStreamKind::kAudio)) {
    std::string name = *listed;
    if (name.find("DivX ;-) Audio") != std::string::npos) return "DivX";
    static constexpr std::string_view kLong = "Windows Media Audio ";
    if (size_t at = name.find(kLong); at != std::string::npos) name.replace(at, kLong.size(), "WMA");
    return name;
  }
  int64_t tag = -1;
  FieldValue(file, stream, kStreamQueries, 103, &tag);
  for (const AudioTagName& known : kAudioTagNames)
    if (known.tag == tag) return known.name;
  return {};
}

// Payload bounds: from the first data packet to the simple index, or to the end of the file.
void FillLayoutValues(MediaFile& file, const AsfLayout& layout, MediaInfo& info) {
  int64_t firstPacket = 0;
  if (FieldValue(file, layout.data, kDataQueries, 104, &firstPacket)) info.payload_start = ClampToInt32(firstPacket);
  info.payload_end = info.end_offset;
  if (layout.simpleIndex.found()) {
    info.payload_end = layout.simpleIndex.pos;
    // Six bytes per entry after the count: no more entries than the object holds.
    const AsfObject& index = layout.simpleIndex;
    if (std::optional<uint64_t> entries = AsfField(file, index, kEntryCountAt, 4)) {
      int64_t held = std::max<int64_t>(index.end - index.pos - kIndexEntriesAt, 0) / kIndexEntrySize;
      info.index_entries = ClampToInt32(std::min(static_cast<int64_t>(*entries), held));
    }
  }
}

bool FillAudio(MediaFile& file, const AsfLayout& layout, MediaInfo& info) {
  AsfObject stream = AsfFindStream(file, layout, AsfStreamKind::kAudio);
  if (!stream.found()) return false;
  auto audio = std::make_unique<StreamInfo>();
  int64_t bytesPerSecond = 0, channels = 0, sampleRate = 0;
  if (FieldValue(file, stream, kStreamQueries, 106, &bytesPerSecond) && bytesPerSecond > 0)
    audio->value2 = ClampToInt32(bytesPerSecond * 8 / 1000);
  info.duration_s = PlayTime(file, layout);
  if (FieldValue(file, stream, kStreamQueries, 104, &channels) && channels > 0) audio->value3 = ClampToInt32(channels);
  // The sample rate is a signed 32-bit field to its readers: a "negative" one counts as 0.
  if (FieldValue(file, stream, kStreamQueries, 105, &sampleRate))
    audio->value1 = sampleRate > std::numeric_limits<int32_t>::max() ? 0 : static_cast<int32_t>(sampleRate);
  audio->setCodec(AudioCodecName(file, layout, stream));
  FillLayoutValues(file, layout, info);
  info.bitrate_kbps = audio->value2;
  info.audio = std::move(audio);
  return true;
}

// Bitmap sizes are signed: a negative one counts as 0.
int32_t NonNegative32(MediaFile& file, const AsfObject& stream, int query) {
  int64_t raw = 0;
  if (!FieldValue(file, stream, kStreamQueries, query, &raw)) return 0;
  return std::max(static_cast<int32_t>(static_cast<uint32_t>(raw)), 0);
}

// ---- frame rate from the data packets ----

// The video frames whose presentation times give the frame rate, and how far the packets are read.
constexpr size_t kFrameRateFrames = 64;
constexpr int kMaxFrameRatePackets = 4096;
constexpr uint64_t kMaxPacketSize = 1024 * 1024;
constexpr int64_t kStreamFlagsAt = 72;      // Stream Properties: flags, the stream number in bits 0-6
constexpr int64_t kMaxPacketSizeAt = 96;    // File Properties
constexpr int64_t kFirstPacketAt = 50;      // Data object: header, file id, packet count, reserved

// A field of 0, 1, 2 or 4 bytes by its 2-bit length type.
uint32_t TypedField(ByteReader& r, int type) {
  switch (type & 3) {
    case 0: return 0;
    case 1: return r.u8();
    case 2: return r.u16le();
    default: return r.u32le();
  }
}

// The presentation times (ms) of the media objects of stream `wanted` that begin in one data
// packet: its error correction data, payload parsing information, then one payload or several.
void ReadPacketTimes(ByteReader r, int wanted, std::vector<uint32_t>& times) {
  uint8_t flags = r.u8();
  if (flags & 0x80) {  // error correction data: its length in the low four bits
    r.skip(flags & 0x0F);
    flags = r.u8();
  }
  const uint8_t properties = r.u8();
  TypedField(r, flags >> 5);                         // packet length
  TypedField(r, flags >> 1);                         // sequence
  const uint32_t padding = TypedField(r, flags >> 3);  // padding length
  r.skip(4 + 2);                                     // send time, duration
  const bool multiple = flags & 0x01;
  int payloads = 1, lengthType = 0;
  if (multiple) {
    const uint8_t payloadFlags = r.u8();
    payloads = payloadFlags & 0x3F;
    lengthType = payloadFlags >> 6;
  }
  for (int i = 0; i < payloads; ++i) {
    const int stream = r.u8() & 0x7F;                       // stream number, key frame bit
    TypedField(r, properties >> 4);                         // media object number
    const uint32_t offset = TypedField(r, properties >> 2);  // offset into the media object
    const uint32_t replicated = TypedField(r, properties);   // replicated data length
    const int64_t replicatedAt = r.pos();
    std::optional<uint32_t> presentation;
    uint8_t delta = 0;
    if (replicated >= 8) {
      r.skip(4);                      // media object size
      presentation = r.u32le();       // presentation time, ms
    } else if (replicated == 1) {
      delta = r.u8();  // compressed payload: the offset field is the presentation time
    }
    r.seek(replicatedAt + replicated);
    int64_t length = multiple ? TypedField(r, lengthType) : r.remaining() - static_cast<int64_t>(padding);
    length = std::clamp<int64_t>(length, 0, r.remaining());
    if (stream == wanted && replicated == 1) {
      // Sub-payloads, each a whole media object: a size byte, then the data.
      ByteReader sub = r.sub(length);
      for (uint32_t k = 0; sub.remaining() > 0 && times.size() < kFrameRateFrames; ++k) {
        const uint8_t size = sub.u8();
        times.push_back(offset + k * delta);
        sub.skip(std::min<int64_t>(size, sub.remaining()));
      }
    } else if (stream == wanted && presentation && offset == 0 && times.size() < kFrameRateFrames) {
      times.push_back(*presentation);
    }
    r.skip(length);
  }
}

// Frames per second of the video stream from the presentation times of its first frames; 0 when
// fewer than two frames a time apart are found. The times are sorted: frames are sent in decoding
// order.
double VideoFrameRate(const MediaFile& file, const AsfLayout& layout, const AsfObject& stream) {
  const std::optional<uint64_t> number = AsfField(file, stream, kStreamFlagsAt, 2);
  const std::optional<uint64_t> packetSize = AsfField(file, layout.fileProperties, kMaxPacketSizeAt, 4);
  if (!number || !packetSize || *packetSize < 16 || *packetSize > kMaxPacketSize || !layout.data.found()) return 0.0;
  const auto size = static_cast<int64_t>(*packetSize);
  std::vector<uint32_t> times;
  int64_t at = layout.data.pos + kFirstPacketAt;
  for (int n = 0; n < kMaxFrameRatePackets && times.size() < kFrameRateFrames && at < layout.data.end; ++n) {
    try {
      ReadPacketTimes(ByteReader(file, at, std::min(at + size, layout.data.end)), static_cast<int>(*number & 0x7F),
                      times);
    } catch (const ReadError&) {
      // A damaged packet gives what it held; the next one starts a packet size further on.
    }
    at += size;
  }
  if (times.size() < 2) return 0.0;
  std::sort(times.begin(), times.end());
  const uint32_t span = times.back() - times.front();
  return span > 0 ? (static_cast<double>(times.size()) - 1) * 1000.0 / span : 0.0;
}

bool FillVideo(MediaFile& file, const AsfLayout& layout, MediaInfo& info, bool haveAudio) {
  AsfObject stream = AsfFindStream(file, layout, AsfStreamKind::kVideo);
  if (!stream.found()) return false;
  auto video = std::make_unique<StreamInfo>();
  int64_t compression = 0;
  if (FieldValue(file, stream, kStreamQueries, 208, &compression)) {
    char text[5] = {};
    for (int i = 0; i < 4; ++i) text[i] = static_cast<char>(compression >> (8 * i) & 0xFF);
    video->setCodec(text);  // four characters, ending early at a NUL
  }
  video->value1 = NonNegative32(file, stream, 205);
  video->value2 = NonNegative32(file, stream, 206);

  int64_t maxBitrate = 0;
  if (FieldValue(file, layout.fileProperties, kFilePropertiesQueries, 10, &maxBitrate) && maxBitrate != 0)
    info.bitrate_kbps = ClampToInt32(maxBitrate / 1024);
  FillLayoutValues(file, layout, info);
  if (info.duration_s == 0) info.duration_s = PlayTime(file, layout);
  if (info.duration_s != 0 && info.bitrate_kbps < 1)
    info.bitrate_kbps = ClampToInt32(info.payload_end * 8 / info.duration_s / 1024);
  if (info.bitrate_kbps > 0 && haveAudio && info.audio)
    video->value3 = std::max(info.bitrate_kbps - info.audio->value2, 0);
  // The header states no frame rate; the presentation times of the first frames tell it.
  info.fps = VideoFrameRate(file, layout, stream);
  info.video = std::move(video);
  return true;
}

// Queries 1xx read the audio stream, 2xx the video stream; 301 and 302 only ask whether one exists.
int StreamQuery(MediaFile& file, const AsfLayout& layout, int64_t* out, int query, bool restore) {
  if (query == 301) query = 101;
  if (query == 302) query = 201;
  AsfStreamKind kind;
  if (query >= 101 && query <= 108) kind = AsfStreamKind::kAudio;
  else if (query >= 201 && query <= 208) kind = AsfStreamKind::kVideo;
  else return 0;
  AsfObject stream = AsfFindStream(file, layout, kind);
  if (!stream.found()) return 0;
  if (query == 101 || query == 201) {
    if (!restore) file.seek(stream.pos);
    return 1;
  }
  return Answer(file, stream, FindQuery(kStreamQueries, query), out, restore);
}

}  // namespace

int AsfStreamQuery(MediaFile& file, int64_t* out, int query, bool restore) {
  AsfLayout layout;
  if (!ReadAsfLayout(file, &layout)) return 0;
  return StreamQuery(file, layout, out, query, restore);
}

int AsfFilePropertiesQuery(MediaFile& file, int64_t* out, int query, bool restore) {
  AsfLayout layout;
  if (!ReadAsfLayout(file, &layout)) return 0;
  return Answer(file, layout.fileProperties, FindQuery(kFilePropertiesQueries, query), out, restore);
}

int AsfDataQuery(MediaFile& file, int64_t* out, int query, bool restore) {
  AsfLayout layout;
  if (!ReadAsfLayout(file, &layout)) return 0;
  return Answer(file, layout.data, FindQuery(kDataQueries, query), out, restore);
}

int AsfSimpleIndexQuery(MediaFile& file, int64_t* out, int query, bool restore) {
  AsfLayout layout;
  if (!ReadAsfLayout(file, &layout)) return 0;
  return Answer(file, layout.simpleIndex, FindQuery(kSimpleIndexQueries, query), out, restore);
}

int AsfCodecName(MediaFile& file, std::string* name, int query) {
  if (query != 101 && query != 201) return 0;
  AsfLayout layout;
  if (!ReadAsfLayout(file, &layout)) return 0;
  std::optional<std::string> listed =
      AsfCodecListName(file, layout, query == 101 ? AsfStreamKind::kAudio : AsfStreamKind::kVideo);
  if (!listed) return 0;
  if (name) *name = *listed;
  return 1;
}

int AsfPlayTimeEstimate(MediaFile& file) {
  AsfLayout layout;
  if (!ReadAsfLayout(file, &layout)) return -1;
  return PlayTimeEstimate(file, layout);
}

int RunWma(MediaFile& file, MediaInfo& info) {
  PositionGuard keep(file);
  AsfLayout layout;
  if (!ReadAsfLayout(file, &layout)) return 0;
  return FillAudio(file, layout, info) ? 1 : 0;
}

int RunWmv(MediaFile& file, MediaInfo& info) {
  PositionGuard keep(file);
  AsfLayout layout;
  if (!ReadAsfLayout(file, &layout)) return 0;
  // The audio stream first: it sets the play time and the bit rate the video values build on.
  bool haveAudio = FillAudio(file, layout, info);
  return FillVideo(file, layout, info, haveAudio) ? 1 : 0;
}

// What the probe learns about one file: the working record, its stream descriptions,
// the flat summary for the command-line builders, and the container type codes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

// Container type codes; each is also the index into kMediaTypeNames.
enum MediaType : int {
  kTypeNone = 0,
  kTypeMp3 = 1,
  kTypeOgg = 2,
  kTypeWma = 3,
  kTypeWmv = 4,
  kTypeMpg = 5,
  kTypeAvi = 6,
  kTypeOgm = 7,
  kTypeMkv = 8,
  kTypeAsf = 9,
  kTypeM4a = 10,
  kTypeM4v = 11,
  kTypeMp4 = 12,
  kTypeMov = 13,
  kTypeFlv = 14,
  kTypeMts = 15,
};
inline constexpr int kMediaTypeCount = 16;

// Fixed, ordered type-name table; the probe hands out pointers into it, so names
// compare by identity.
extern const char* const kMediaTypeNames[kMediaTypeCount];

// One stream. Video: value1 width, value2 height, value3 bit rate (kbit/s).
// Audio: value1 sample rate (Hz), value2 bit rate (kbit/s), value3 channels.
// value4 is used only by the Ogg parser.
struct StreamInfo {
  static constexpr size_t kCodecMax = 63;
  std::string codec;  // at most kCodecMax characters
  int32_t value1 = 0;
  int32_t value2 = 0;
  int32_t value3 = 0;
  int32_t value4 = 0;

  void setCodec(std::string_view name) { codec.assign(name.substr(0, kCodecMax)); }
};

// The working record one probe of one file fills; it owns its two stream descriptions.
struct MediaInfo {
  std::unique_ptr<StreamInfo> audio;
  std::unique_ptr<StreamInfo> video;
  const char* type_name = nullptr;  // points into kMediaTypeNames
  int64_t file_size = 0;
  int32_t bitrate_kbps = 0;
  int32_t start_offset = 0;  // length of a leading ID3v2 tag, else 0
  int64_t end_offset = 0;    // the file length
  int32_t duration_s = 0;
  int32_t index_entries = 0;
  int32_t payload_start = 0;
  int64_t payload_end = 0;  // 0 when unknown
  double fps = 0.0;
  // Why the file, though of a known format, holds nothing to play (a static text), else null.
  const char* unreadable_cause = nullptr;

  StreamInfo& ensureAudio() {
    if (!audio) audio = std::make_unique<StreamInfo>();
    return *audio;
  }
  StreamInfo& ensureVideo() {
    if (!video) video = std::make_unique<StreamInfo>();
    return *video;
  }
};

// The flat summary the command-line builders use; plain values only, freely copied.
struct MediaInfoEx {
  int32_t kind = 0;  // summary code (see SummaryKindFromType), 0 when the probe failed
  std::string audio_codec;
  std::string video_codec;
  int32_t audio_values[4] = {};
  int32_t video_values[4] = {};
  int32_t duration_s = 0;
  int32_t bitrate_kbps = 0;
  int32_t index_entries = 0;
  int32_t payload_start = 0;
  int64_t payload_end = 0;
  int64_t file_size = 0;
  int32_t modified_time = -1;
  int32_t created_time = -1;
  int32_t asf_index_max_packets = 0;
  int32_t asf_max_packet_size = 0;
  double fps = 0.0;
};

// MediaType → summary code, summary code → MediaType, summary code → type name (or null).
int SummaryKindFromType(int type);
int TypeFromSummaryKind(int kind);
const char* TypeNameFromSummaryKind(int kind);

// Entry points of the container parsers that detection and probing dispatch to.
// Each returns 1 on success and 0 (or a negative code) on failure, and never throws.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "probe/MediaFile.h"
#include "probe/MediaInfo.h"

// MP4 / QuickTime: the atom test on a 128-byte header, and the parser.
bool IsAtom(std::span<const uint8_t> header);
int ParseMp4(MediaFile& file, MediaInfo& info);

// Matroska.
int RunMkv(MediaFile& file, MediaInfo& info);

// AVI, opened by path with the parser's own reader.
int ParseAvi(const std::string& path, MediaInfo& info);

// ASF: the stream query (kAsfHasAudioStream 301, kAsfHasVideoStream 302, …),
// the header field readers used by the summary, and the two parsers.
inline constexpr int kAsfHasAudioStream = 301;
inline constexpr int kAsfHasVideoStream = 302;
inline constexpr int kAsfMaxDataPacketSize = 9;    // File Properties query
inline constexpr int kAsfIndexMaxPacketCount = 204;  // Simple Index query
int AsfStreamQuery(MediaFile& file, int64_t* out, int query, bool restore);
int AsfFilePropertiesQuery(MediaFile& file, int64_t* out, int query, bool restore);
int AsfSimpleIndexQuery(MediaFile& file, int64_t* out, int query, bool restore);
// The Data object: 101 its position, 102 its size, 103 total data packets, 104 first packet position.
int AsfDataQuery(MediaFile& file, int64_t* out, int query, bool restore);
// The Codec List name (UTF-8) of the first audio (query 101) or video (201) entry; 1 when found.
int AsfCodecName(MediaFile& file, std::string* name, int query);
// Whole seconds from data packets × maximum packet size × 8 ÷ maximum bit rate, rounded;
// -1 when a field is missing or the bit rate is 0.
int AsfPlayTimeEstimate(MediaFile& file);
int RunWma(MediaFile& file, MediaInfo& info);
int RunWmv(MediaFile& file, MediaInfo& info);

// MPEG audio elementary stream; in check mode only whether a valid frame is found.
int RunMpegAudio(MediaFile& file, MediaInfo& info, bool checkMode, int64_t startOffset);

// Ogg without video ("ogg") and with video ("ogm").
int RunOgg(MediaFile& file, MediaInfo& info);
int RunOgm(MediaFile& file, MediaInfo& info);

// Flash video.
int RunFlv(MediaFile& file, MediaInfo& info);

// MPEG program stream; in check mode only whether a sequence header is present.
int RunMpg(MediaFile& file, MediaInfo& info, bool checkMode);
// Multiplexing-overhead factor the program-stream play-time estimate is multiplied by
// (video and audio bit rates in bit/s).
double MpgOverheadFactor(double videoBitRate, double audioBitRate);

// MPEG transport stream: the packet period (188, 192 with a timestamp in front, 204 with parity
// behind) and the offset of the first packet's sync byte, found from sync bytes recurring at the
// period near the start of `bytes`; nothing when they do not.
struct TsLayout {
  int period = 0;
  int64_t first = 0;
};
std::optional<TsLayout> FindTsLayout(std::span<const uint8_t> bytes);
// Fills what the transport stream states; 1 when it found a program table, else 0 (the type stays
// a transport stream all the same).
int RunTs(MediaFile& file, MediaInfo& info);

// Wave format tag → displayed codec name; empty when the tag is not known.
std::string WaveFormatDisplayName(uint16_t tag);
// Wave format tag → its short name (up to three characters, "_" when the long name is the one
// shown) and long name; false when the tag is not known.
bool LookupWaveFormat(uint16_t tag, std::string* shortName, std::string* longName);

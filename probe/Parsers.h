// Entry points of the container parsers that detection and probing dispatch to.
// Each returns 1 on success and 0 (or a negative code) on failure, and never throws.
#pragma once

#include <cstdint>
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

// Wave format tag → displayed codec name; empty when the tag is not known.
std::string WaveFormatDisplayName(uint16_t tag);

// Ogg parser: the logical streams' identification headers at the start (Vorbis, Opus, Speex,
// FLAC, OGM audio; Theora, OGM video) and their last granule positions at the end.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "probe/ByteReader.h"
#include "probe/Parsers.h"
#include "probe/ProbeNumbers.h"
#include "support/DebugLog.h"

namespace {

// Results; every one but kOk makes the probe fail.
constexpr int kOk = 1;
constexpr int kBadPage = -1;  // the page cannot be read or parsed
constexpr int kNotOgg = -2;   // no capture pattern where a page should begin
constexpr int kOtherCodec = -110;  // no stream of a codec the probe knows

// The last pages are looked for within the container's last bytes: first this many, then, for
// streams not met there, up to the larger window. One video page alone can take up to 64 KiB,
// and a stream that ended early has its last page further back.
constexpr int64_t kTailWindow = 16384;
constexpr int64_t kLargeTailWindow = 1024 * 1024;
// Beginning-of-stream pages read at the start; real files have a few logical streams.
constexpr int kMaxHeaderPages = 64;
// The part of a first packet the identification fields are read from.
constexpr int64_t kIdentificationBytes = 512;

struct OggPage {
  int64_t start = 0;
  int64_t granule = 0;  // -1 when no packet ends on this page
  uint32_t serial = 0;
  int64_t payloadStart = 0;
  int64_t payloadLength = 0;  // at most 255 × 255 by construction
  int64_t end() const { return payloadStart + payloadLength; }
};

enum class Codec { kUnknown, kVorbis, kOpus, kSpeex, kFlac, kOgmAudio, kTheora, kOgmVideo };

bool IsVideo(Codec c) { return c == Codec::kTheora || c == Codec::kOgmVideo; }
bool IsAudio(Codec c) { return c != Codec::kUnknown && !IsVideo(c); }

// One logical stream, as its identification header describes it.
struct OggStream {
  uint32_t serial = 0;
  Codec codec = Codec::kUnknown;
  std::string name;  // codec name for the list
  // Audio: what a decoder plays.
  int channels = 0;
  int32_t sampleRate = 0;
  // Bit-rate bounds and nominal (stated) rate in bit/s; 0 when the stream does not give them.
  int64_t maximum = 0;
  int64_t nominal = 0;
  int64_t minimum = 0;
  int boundsFlag = 0;  // Vorbis: 2 when both bounds are given, else 1
  // Video.
  int width = 0;
  int height = 0;
  double fps = 0.0;
  int granuleShift = 0;  // Theora: bits of the granule position that count frames since the keyframe
  // Granule positions to seconds: (granule − preSkip) × unitSeconds, or frames over fps for Theora.
  int64_t preSkip = 0;
  double unitSeconds = 0.0;
  int64_t lastGranule = -1;
  bool cutShort = false;  // the identification header ended before its fields
};

// Reads the page header at `at` without reading its payload.
int ReadPage(const MediaFile& file, const ContainerRange& range, int64_t at, OggPage& page) {
  try {
    ByteReader r(file, range.start, range.end);
    r.seek(at);
    if (r.remaining() < 4) return kBadPage;
    page.start = at;
    if (r.fourcc() != "OggS") return kNotOgg;      // capture pattern
    r.skip(2);                                      // version, header type
    page.granule = static_cast<int64_t>(r.u64le());  // granule position
    page.serial = r.u32le();                        // bitstream serial number
    r.skip(8);                                      // page sequence number, CRC (not checked)
    uint8_t lacing[255];
    const uint8_t segments = r.u8();  // number of segments
    r.read(lacing, segments);         // segment table
    int64_t payload = 0;
    for (int i = 0; i < segments; ++i) payload += lacing[i];
    page.payloadStart = r.pos();
    page.payloadLength = payload;
    return kOk;
  } catch (const ReadError&) {
    return kBadPage;
  }
}

// The page's payload; a page cut short by the end of the file gives a shorter reader.
ByteReader Payload(const MediaFile& file, const ContainerRange& range, const OggPage& page) {
  return ByteReader(file, page.payloadStart, range.end).sub(page.payloadLength);
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

uint32_t Le32(std::string_view b, size_t at) {
  if (b.size() < at + 4) throw ReadError{};
  return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8 | uint32_t(uint8_t(b[at + 2])) << 16 |
         uint32_t(uint8_t(b[at + 3])) << 24;
}
uint16_t Le16(std::string_view b, size_t at) {
  if (b.size() < at + 2) throw ReadError{};
  return static_cast<uint16_t>(uint8_t(b[at]) | uint8_t(b[at + 1]) << 8);
}
uint8_t U8(std::string_view b, size_t at) {
  if (b.size() < at + 1) throw ReadError{};
  return uint8_t(b[at]);
}
uint32_t Be(std::string_view b, size_t at, int bytes) {
  if (b.size() < at + bytes) throw ReadError{};
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = v << 8 | uint8_t(b[at + i]);
  return v;
}

// Rate fields mean something only above zero: -1 (and 0) say "not given".
int64_t Stated(uint32_t field) { return std::max<int64_t>(0, static_cast<int32_t>(field)); }

void SetAudioRate(OggStream& s, int32_t rate) {
  s.sampleRate = rate;
  s.unitSeconds = rate > 0 ? 1.0 / rate : 0.0;
}

// Vorbis identification header: type 1, "vorbis", version, channels, rate, maximum, nominal and
// minimum bit rate, all little-endian.
void ReadVorbis(std::string_view b, OggStream& s) {
  s.codec = Codec::kVorbis;
  s.name = "vorbis";
  s.channels = U8(b, 11);
  SetAudioRate(s, static_cast<int32_t>(Le32(b, 12)));
  s.maximum = Stated(Le32(b, 16));
  s.nominal = Stated(Le32(b, 20));
  s.minimum = Stated(Le32(b, 24));
  s.boundsFlag = s.maximum > 0 && s.minimum > 0 ? 2 : 1;
}

// "OpusHead": version, channels, pre-skip (samples at 48 kHz), the input rate (informational
// only), gain and mapping. Opus always decodes at 48 kHz and its granules count 48 kHz samples.
void ReadOpus(std::string_view b, OggStream& s) {
  s.codec = Codec::kOpus;
  s.name = "opus";
  s.channels = U8(b, 9);
  s.preSkip = Le16(b, 10);
  SetAudioRate(s, 48000);
}

// "Speex   ", the version text (20 bytes), version id, header size, rate, mode, mode bitstream
// version, channels, bit rate (-1: not given).
void ReadSpeex(std::string_view b, OggStream& s) {
  s.codec = Codec::kSpeex;
  s.name = "speex";
  SetAudioRate(s, static_cast<int32_t>(Le32(b, 36)));
  s.channels = static_cast<int>(std::min<uint32_t>(Le32(b, 48), 255));
  s.nominal = Stated(Le32(b, 52));
}

// A FLAC STREAMINFO block body at `at`: block and frame sizes (10 bytes), then the rate (20 bits),
// channels − 1 (3 bits), bits per sample − 1 (5) and the sample count (36).
void ReadStreamInfo(std::string_view b, size_t at, OggStream& s) {
  const uint32_t bits = Be(b, at + 10, 3) << 8 | Be(b, at + 13, 1);
  SetAudioRate(s, static_cast<int32_t>(bits >> 12));
  s.channels = static_cast<int>((bits >> 9) & 7) + 1;
}

// Ogg FLAC: "\x7F" "FLAC", mapping version (2), header packet count (2), "fLaC", then the
// STREAMINFO block with its 4-byte header. The first mapping put "fLaC" alone in the first
// packet, usually followed by the STREAMINFO block on the same page.
void ReadFlac(std::string_view b, OggStream& s) {
  s.codec = Codec::kFlac;
  s.name = "flac";
  if (StartsWith(b, "\x7F" "FLAC"))
    ReadStreamInfo(b, 13 + 4, s);
  else if (b.size() >= 8 + 34)
    ReadStreamInfo(b, 4 + 4, s);
}

// OGM stream header: type 1, the stream type padded to 8 bytes, subtype (4), header size (4),
// time unit in 100 ns (8), samples per unit (8), default length, buffer size (4 each), bits per
// sample (2), padding (2), then for video width and height (4 each), for audio channels (2),
// block alignment (2) and bytes per second (4).
bool ReadOgmHeader(std::string_view b, OggStream& s) {
  const bool video = StartsWith(b, "\x01video");
  if (!video && !StartsWith(b, "\x01" "audio")) return false;
  if (b.size() < 13) throw ReadError{};
  std::string subtype(b.substr(9, 4));
  subtype.resize(std::strlen(subtype.c_str()));
  const auto timeUnit = static_cast<int64_t>(uint64_t{Le32(b, 17)} | uint64_t{Le32(b, 21)} << 32);
  const auto perUnit = static_cast<int64_t>(uint64_t{Le32(b, 25)} | uint64_t{Le32(b, 29)} << 32);
  if (timeUnit > 0 && perUnit > 0) s.unitSeconds = static_cast<double>(timeUnit) / 1e7 / static_cast<double>(perUnit);
  if (video) {
    s.codec = Codec::kOgmVideo;
    s.name = subtype;
    s.width = static_cast<int>(Le32(b, 45) & 0xFFFF);
    s.height = static_cast<int>(Le32(b, 49) & 0xFFFF);
    s.fps = timeUnit > 0 ? 10000000.0 / static_cast<double>(timeUnit) : 0.0;
    return true;
  }
  s.codec = Codec::kOgmAudio;
  // The subtype is the wave format tag in hexadecimal text ("55", "2000").
  char* stop = nullptr;
  const unsigned long tag = std::strtoul(subtype.c_str(), &stop, 16);
  const std::string named = !subtype.empty() && *stop == '\0' && tag <= 0xFFFF
                                ? WaveFormatDisplayName(static_cast<uint16_t>(tag))
                                : std::string();
  s.name = named.empty() ? subtype : named;
  s.sampleRate = perUnit > 0 && perUnit <= INT32_MAX ? static_cast<int32_t>(perUnit) : 0;
  s.channels = Le16(b, 45);
  s.nominal = int64_t{Le32(b, 49)} * 8;
  return true;
}

// Theora identification header (all fields big-endian).
void ReadTheora(std::string_view b, OggStream& s) {
  s.codec = Codec::kTheora;
  s.name = "theora";
  // version major, minor, revision; frame size in macroblocks (2 + 2): the coded size; then the
  // picture size shown (3 + 3), the picture offset (2), and the frame rate (4 + 4).
  s.width = static_cast<int>(Be(b, 14, 3));
  s.height = static_cast<int>(Be(b, 17, 3));
  const uint32_t numerator = Be(b, 22, 4);
  const uint32_t denominator = Be(b, 26, 4);
  s.fps = numerator > 0 && denominator > 0 ? static_cast<double>(numerator) / denominator : 0.0;
  // pixel aspect (3 + 3), colour space (1), nominal bit rate (3), then quality (6 bits),
  // keyframe granule shift (5), pixel format (2), reserved.
  s.granuleShift = static_cast<int>((Be(b, 40, 2) >> 5) & 0x1F);
}

// What the first packet of a stream identifies; a header cut short leaves what it gave.
OggStream Identify(std::string_view b, uint32_t serial) {
  OggStream s;
  s.serial = serial;
  try {
    if (StartsWith(b, "\x01vorbis"))
      ReadVorbis(b, s);
    else if (StartsWith(b, "OpusHead"))
      ReadOpus(b, s);
    else if (StartsWith(b, "Speex   "))
      ReadSpeex(b, s);
    else if (StartsWith(b, "\x7F" "FLAC") || StartsWith(b, "fLaC"))
      ReadFlac(b, s);
    else if (StartsWith(b, "\x80theora"))
      ReadTheora(b, s);
    else
      ReadOgmHeader(b, s);
  } catch (const ReadError&) {
    // A header cut short before its fields describes no usable stream.
    s.codec = Codec::kUnknown;
    s.cutShort = true;
  }
  return s;
}

// The comment packet's vendor string has to lie within its page; a broken one is only noted,
// as nothing the probe reports comes from the comments.
void CheckComment(const MediaFile& file, const ContainerRange& range, const OggPage& page) {
  try {
    ByteReader packet = Payload(file, range, page);
    if (packet.remaining() < 11 || packet.bytes(7) != std::string_view("\x03vorbis", 7)) return;
    const uint32_t vendorSize = packet.u32le();  // vendor string length
    if (vendorSize > static_cast<uint64_t>(packet.remaining()))
      DebugLog(kDebugTarget, "Abnormal Vender Size:%d bytes", static_cast<int>(vendorSize));
  } catch (const ReadError&) {
  }
}

// The logical streams that begin at the start of the container: every stream's first page comes
// before any other page, so the first page of a stream already met ends the list (the
// beginning-of-stream flag is not relied on: some writers leave it clear). Fails with the first
// page's result when it cannot be read.
int ReadStreams(const MediaFile& file, const ContainerRange& range, std::vector<OggStream>& streams) {
  int64_t at = range.start;
  for (int n = 0; n < kMaxHeaderPages; ++n) {
    OggPage page;
    const int rc = ReadPage(file, range, at, page);
    if (rc != kOk) return n == 0 ? rc : kOk;
    const auto known = std::find_if(streams.begin(), streams.end(),
                                    [&](const OggStream& s) { return s.serial == page.serial; });
    if (known != streams.end()) {
      if (known->codec == Codec::kVorbis) CheckComment(file, range, page);
      break;
    }
    std::string head(static_cast<size_t>(std::min(page.payloadLength, kIdentificationBytes)), '\0');
    head.resize(Payload(file, range, page).readSome(head.data(), head.size()));
    streams.push_back(Identify(head, page.serial));
    at = page.end();
  }
  return kOk;
}

// A Theora granule position holds the last keyframe's number above the shift and the frames
// since that keyframe below it; their sum counts the frames up to the page's last one.
int64_t TheoraFrames(int64_t granule, int shift) {
  const auto g = static_cast<uint64_t>(granule);
  const uint64_t sinceKeyframe = shift > 0 ? g & ((uint64_t{1} << shift) - 1) : 0;
  return static_cast<int64_t>((g >> shift) + sinceKeyframe);
}

// The granule position of the last page of each given stream within the container's last
// bytes; `lastAny` receives that of the very last page. Streams not found keep -1.
void ReadLastGranules(const MediaFile& file, const ContainerRange& range, std::vector<OggStream*>& wanted,
                      int64_t& lastAny) {
  lastAny = -1;
  int64_t scannedFrom = range.end;
  for (int64_t window : {kTailWindow, kLargeTailWindow}) {
    const int64_t windowStart = std::max(range.start, range.end - window);
    if (windowStart >= scannedFrom) break;
    // The part already searched is searched again only for a page header it cut in two.
    const int64_t windowEnd = std::min(range.end, scannedFrom + 26);
    std::vector<uint8_t> tail(static_cast<size_t>(windowEnd - windowStart));
    const size_t n = file.readAt(windowStart, tail.data(), tail.size());
    auto allFound = [&] {
      return std::all_of(wanted.begin(), wanted.end(), [](const OggStream* s) { return s->lastGranule >= 0; });
    };
    // A page header is 27 bytes before its segment table; the fields are read from the window.
    for (size_t i = n >= 27 ? n - 27 + 1 : 0; i-- > 0;) {
      const uint8_t* h = &tail[i];
      if (std::memcmp(h, "OggS", 4) != 0) continue;
      uint64_t position = 0;
      for (int b = 7; b >= 0; --b) position = position << 8 | h[6 + b];
      const auto granule = static_cast<int64_t>(position);  // -1: no packet ends on the page
      const uint32_t serial = uint32_t{h[14]} | uint32_t{h[15]} << 8 | uint32_t{h[16]} << 16 | uint32_t{h[17]} << 24;
      // A page whose segment table would run past the container is no page.
      if (granule < 0 || windowStart + static_cast<int64_t>(i) + 27 + h[26] > range.end) continue;
      if (lastAny < 0) lastAny = granule;
      for (OggStream* s : wanted)
        if (s->serial == serial && s->lastGranule < 0) s->lastGranule = granule;
      if (allFound()) return;
    }
    scannedFrom = windowStart;
  }
}

// Seconds a stream lasts by its last granule; 0 when unknown.
double StreamSeconds(const OggStream& s) {
  if (s.lastGranule < 0) return 0.0;
  if (s.codec == Codec::kTheora) return s.fps > 0 ? static_cast<double>(TheoraFrames(s.lastGranule, s.granuleShift)) / s.fps : 0.0;
  const double units = static_cast<double>(std::max<int64_t>(0, s.lastGranule - s.preSkip));
  return units * s.unitSeconds;
}

// The rate a stream's header states: the nominal one when given, else the middle of the bounds.
double StatedBitRate(const OggStream& a) {
  if (a.nominal >= 1) return static_cast<double>(a.nominal);
  if (a.maximum > 0 && a.minimum > 0) return static_cast<double>(a.maximum + a.minimum) * 0.5;
  return 0.0;
}

// Audio bit rate of an audio-only file: from its size and length when the length is known,
// else from what the identification header states.
int64_t AudioFileBitRate(int64_t containerSize, double seconds, const OggStream& a) {
  if (seconds > 0) {
    const double rate = std::floor(static_cast<double>(containerSize) * 8.0 / seconds);
    return rate < 9e18 ? static_cast<int64_t>(rate) : INT64_MAX;
  }
  return static_cast<int64_t>(StatedBitRate(a));
}

StreamInfo& FillAudioStream(MediaInfo& info, const OggStream& a, double bitRate) {
  if (!info.audio) {
    StreamInfo& audio = info.ensureAudio();
    audio.setCodec(a.name);
    audio.value1 = a.sampleRate;
    audio.value3 = a.channels;
    audio.value4 = a.boundsFlag;
    audio.value2 = bitRate > 0 ? TruncToInt32(std::ceil(bitRate / 1000.0)) : 0;
  }
  return *info.audio;
}

// An audio-only file: play time and overall rate from its size and the audio's last granule.
void FillAudioOnly(MediaInfo& info, const ContainerRange& range, const OggStream& audio) {
  const int64_t bitRate = AudioFileBitRate(range.size(), StreamSeconds(audio), audio);
  const int32_t playTime =
      bitRate > 0 ? TruncToInt32(static_cast<double>(range.size()) * 8.0 / static_cast<double>(bitRate) + 0.5) : 0;
  FillAudioStream(info, audio, static_cast<double>(bitRate));
  info.bitrate_kbps = bitRate > 0 ? TruncToInt32(std::ceil(static_cast<double>(bitRate) / 1000.0)) : 0;
  info.duration_s = playTime;
}

// A file with video: the longer of the streams' play times; the audio rate is what its header
// states, the video's what the file's overall rate leaves.
void FillWithVideo(MediaInfo& info, const ContainerRange& range, const OggStream& video, const OggStream* audio) {
  info.fps = video.fps;
  double seconds = StreamSeconds(video);
  if (audio) seconds = std::max(seconds, StreamSeconds(*audio));
  const int32_t playTime = TruncToInt32(seconds + 0.5);
  const int32_t audioKbps = audio ? FillAudioStream(info, *audio, StatedBitRate(*audio)).value2 : 0;
  info.duration_s = playTime;
  if (playTime > 0 && range.size() > 0)
    info.bitrate_kbps = TruncToInt32(static_cast<double>(range.size()) * 8.0 / playTime / 1000.0 + 0.5);
  if (!info.video) {
    StreamInfo& v = info.ensureVideo();
    v.setCodec(video.name);
    v.value1 = video.width;
    v.value2 = video.height;
    v.value3 = ClampToInt32(std::max<int64_t>(0, static_cast<int64_t>(info.bitrate_kbps) - audioKbps));
    v.value4 = audio ? audio->boundsFlag : 0;
  }
  // Below this the estimate is not believable: report neither length nor rate.
  if (info.bitrate_kbps < 11) {
    info.bitrate_kbps = 0;
    info.duration_s = 0;
  }
}

int ParseOggFile(MediaFile& file, MediaInfo& info) {
  const ContainerRange range = RangeOf(file, info);
  std::vector<OggStream> streams;
  const int rc = ReadStreams(file, range, streams);
  if (rc != kOk) return rc;
  OggStream* audio = nullptr;
  OggStream* video = nullptr;
  for (OggStream& s : streams) {
    if (!audio && IsAudio(s.codec)) audio = &s;
    if (!video && IsVideo(s.codec)) video = &s;
  }
  if (!audio && !video) {
    const bool cutShort = std::any_of(streams.begin(), streams.end(), [](const OggStream& s) { return s.cutShort; });
    return cutShort ? kBadPage : kOtherCodec;
  }
  std::vector<OggStream*> wanted;
  for (OggStream* s : {video, audio})
    if (s) wanted.push_back(s);
  int64_t lastAny = -1;
  ReadLastGranules(file, range, wanted, lastAny);
  if (!video) {
    // A file ending in another stream's pages: the very last granule is the best guess left.
    if (audio->lastGranule < 0 && streams.size() == 1) audio->lastGranule = lastAny;
    FillAudioOnly(info, range, *audio);
  } else {
    FillWithVideo(info, range, *video, audio);
  }
  return kOk;
}

}  // namespace

int RunOgg(MediaFile& file, MediaInfo& info) {
  PositionGuard keep(file);
  return ParseOggFile(file, info);
}

int RunOgm(MediaFile& file, MediaInfo& info) {
  PositionGuard keep(file);
  return ParseOggFile(file, info);
}

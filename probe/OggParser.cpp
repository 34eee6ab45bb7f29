// Ogg parser: Vorbis audio ("ogg") and OGM or Theora video with Vorbis audio ("ogm"), read page by page.
#include <cmath>
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
constexpr int kOggFlac = -101;
constexpr int kSpeex = -102;
constexpr int kOtherCodec = -110;

// The last page is looked for within this many bytes at the end of the container.
constexpr int64_t kTailWindow = 16384;
// A Theora stream's last page may lie further back: one video page alone can take up to
// 64 KiB, and the audio pages behind it the rest of a short tail.
constexpr int64_t kTheoraTailWindow = 256 * 1024;

struct OggPage {
  int64_t start = 0;
  int64_t granule = 0;  // -1 when no packet ends on this page
  uint32_t serial = 0;
  int64_t payloadStart = 0;
  int64_t payloadLength = 0;  // at most 255 × 255 by construction
  int64_t end() const { return payloadStart + payloadLength; }
};

struct VorbisHeader {
  uint32_t serial = 0;
  int channels = 0;
  int32_t sampleRate = 0;
  // Bit-rate bounds and nominal rate in bit/s; 0 when the stream does not give them.
  int64_t maximum = 0;
  int64_t nominal = 0;
  int64_t minimum = 0;
  int boundsFlag = 0;  // 2 when both bounds are given, else 1
};

struct OgmVideo {
  std::string codec;
  int width = 0;
  int height = 0;
  double fps = 0.0;
  bool theora = false;
  int granuleShift = 0;  // Theora: bits of the granule position that count frames since the keyframe
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

// Tells the codec from the first bytes of a stream's first packet.
int CodecOf(std::string_view head) {
  if (StartsWith(head, "\x01vorbis")) return kOk;
  if (StartsWith(head, "fLaC") || StartsWith(head, "\x7F" "FLAC")) return kOggFlac;
  if (StartsWith(head, "Speex   ")) return kSpeex;
  return kOtherCodec;
}

// The page at `at` must carry a Vorbis identification header.
int ReadVorbisIdentification(const MediaFile& file, const ContainerRange& range, int64_t at, OggPage& page,
                             VorbisHeader& vorbis) {
  int rc = ReadPage(file, range, at, page);
  if (rc != kOk) return rc;
  ByteReader packet = Payload(file, range, page);
  char head[8];
  rc = CodecOf(std::string_view(head, packet.readSome(head, sizeof head)));
  if (rc != kOk) return rc;
  int32_t maximum, nominal, minimum;
  try {
    packet.seek(packet.begin() + 7);                               // packet type 1, "vorbis"
    packet.skip(4);                                                // Vorbis version
    vorbis.channels = packet.u8();                                 // audio channels
    vorbis.sampleRate = static_cast<int32_t>(packet.u32le());     // sample rate, Hz
    maximum = static_cast<int32_t>(packet.u32le());               // bit rate maximum
    nominal = static_cast<int32_t>(packet.u32le());               // bit rate nominal
    minimum = static_cast<int32_t>(packet.u32le());               // bit rate minimum
  } catch (const ReadError&) {
    return kBadPage;
  }
  // The rate fields mean something only above zero: -1 (and 0) say "not given".
  vorbis.maximum = std::max(0, maximum);
  vorbis.nominal = std::max(0, nominal);
  vorbis.minimum = std::max(0, minimum);
  vorbis.boundsFlag = vorbis.maximum > 0 && vorbis.minimum > 0 ? 2 : 1;
  vorbis.serial = page.serial;
  return kOk;
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

// Reads an OGM stream header from the first packet when it is one for video.
bool ReadOgmVideo(ByteReader packet, OgmVideo& video) {
  char head[6];
  if (packet.readSome(head, sizeof head) != sizeof head || std::memcmp(head, "\x01video", 6) != 0) return false;
  packet.seek(packet.begin() + 9);                         // packet type, stream type "video" padded to 8
  std::string subtype = packet.bytes(4);                   // video codec FOURCC
  packet.skip(4);                                          // header size
  const auto timeUnit = static_cast<int64_t>(packet.u64le());  // frame duration in 100 ns units
  packet.skip(8 + 4 + 4 + 2 + 2);  // samples per unit, default length, buffer size, bits per sample, padding
  video.width = static_cast<int>(packet.u32le() & 0xFFFF);   // width
  video.height = static_cast<int>(packet.u32le() & 0xFFFF);  // height
  video.codec = subtype.substr(0, subtype.find('\0'));
  video.fps = timeUnit > 0 ? 10000000.0 / static_cast<double>(timeUnit) : 0.0;
  return true;
}

// Reads a Theora identification header (all fields big-endian) from the first packet when it is one.
bool ReadTheoraVideo(ByteReader packet, OgmVideo& video) {
  char head[7];
  if (packet.readSome(head, sizeof head) != sizeof head || std::memcmp(head, "\x80theora", 7) != 0) return false;
  packet.skip(3);                                   // version major, minor, revision
  packet.skip(2 + 2);                               // frame size in macroblocks: the coded size
  video.width = static_cast<int>(packet.u24be());   // picture width: the size shown
  video.height = static_cast<int>(packet.u24be());  // picture height
  packet.skip(2);                                   // picture offset x, y
  const uint32_t numerator = packet.u32be();        // frame rate numerator
  const uint32_t denominator = packet.u32be();      // frame rate denominator
  packet.skip(3 + 3 + 1 + 3);  // pixel aspect numerator, denominator, colour space, nominal bit rate
  const uint16_t bits = packet.u16be();  // quality (6 bits), keyframe granule shift (5), pixel format (2), reserved
  video.granuleShift = (bits >> 5) & 0x1F;
  video.codec = "theora";
  video.theora = true;
  video.fps = numerator > 0 && denominator > 0 ? static_cast<double>(numerator) / denominator : 0.0;
  return true;
}

// A Theora granule position holds the last keyframe's number above the shift and the frames
// since that keyframe below it; their sum counts the frames up to the page's last one.
int64_t TheoraFrames(int64_t granule, int shift) {
  const auto g = static_cast<uint64_t>(granule);
  const uint64_t sinceKeyframe = shift > 0 ? g & ((uint64_t{1} << shift) - 1) : 0;
  return static_cast<int64_t>((g >> shift) + sinceKeyframe);
}

// Granule position of the last page of stream `serial` within the last `window` bytes of the
// container; with `anyStream`, of the very last page when that stream has none there (a file
// may end with another stream's pages, whose granules count something else); -1 when no page
// is found.
int64_t LastGranule(const MediaFile& file, const ContainerRange& range, uint32_t serial,
                    int64_t window = kTailWindow, bool anyStream = true) {
  const int64_t windowStart = std::max(range.start, range.end - window);
  std::vector<uint8_t> tail(static_cast<size_t>(range.end - windowStart));
  const size_t n = file.readAt(windowStart, tail.data(), tail.size());
  int64_t fallback = -1;
  // A capture pattern in the very last four bytes cannot begin a page.
  for (size_t i = n >= 5 ? n - 5 + 1 : 0; i-- > 0;) {
    if (std::memcmp(&tail[i], "OggS", 4) != 0) continue;
    OggPage page;
    if (ReadPage(file, range, windowStart + static_cast<int64_t>(i), page) != kOk || page.granule < 0) continue;
    if (page.serial == serial) return page.granule;
    if (anyStream && fallback < 0) fallback = page.granule;
  }
  return fallback;
}

// Audio bit rate of a Vorbis-only file: from its size and length when the length is known,
// else from what the identification header states.
int64_t VorbisFileBitRate(int64_t containerSize, int64_t samples, const VorbisHeader& vorbis) {
  const double seconds = vorbis.sampleRate > 0 ? static_cast<double>(samples) / vorbis.sampleRate : 0.0;
  if (seconds > 0) {
    const double rate = std::floor(static_cast<double>(containerSize) * 8.0 / seconds);
    return rate < 9e18 ? static_cast<int64_t>(rate) : INT64_MAX;
  }
  if (vorbis.nominal >= 1) return vorbis.nominal;
  if (vorbis.maximum > 0 && vorbis.minimum > 0) return (vorbis.maximum + vorbis.minimum) / 2;
  return 0;
}

StreamInfo& FillVorbisStream(MediaInfo& info, const VorbisHeader& vorbis, double bitRate) {
  if (!info.audio) {
    StreamInfo& audio = info.ensureAudio();
    audio.setCodec("vorbis");
    audio.value1 = vorbis.sampleRate;
    audio.value3 = vorbis.channels;
    audio.value4 = vorbis.boundsFlag;
    audio.value2 = bitRate > 0 ? TruncToInt32(std::ceil(bitRate / 1000.0)) : 0;
  }
  return *info.audio;
}

int ParseOgg(MediaFile& file, MediaInfo& info) {
  const ContainerRange range = RangeOf(file, info);
  OggPage first, second;
  VorbisHeader vorbis;
  int rc = ReadVorbisIdentification(file, range, range.start, first, vorbis);
  if (rc != kOk) return rc;
  rc = ReadPage(file, range, first.end(), second);
  if (rc != kOk) return rc;
  CheckComment(file, range, second);

  const int64_t samples = std::max<int64_t>(0, LastGranule(file, range, vorbis.serial));
  const int64_t bitRate = VorbisFileBitRate(range.size(), samples, vorbis);
  const int32_t playTime =
      bitRate > 0 ? TruncToInt32(static_cast<double>(range.size()) * 8.0 / static_cast<double>(bitRate) + 0.5) : 0;
  const double kbps = bitRate > 0 ? std::ceil(static_cast<double>(bitRate) / 1000.0) : 0.0;
  FillVorbisStream(info, vorbis, static_cast<double>(bitRate));
  info.bitrate_kbps = TruncToInt32(kbps);
  info.duration_s = playTime;
  return kOk;
}

// An OGM file's audio rate is what its Vorbis header states.
double StatedBitRate(const VorbisHeader& vorbis) {
  if (vorbis.nominal >= 1) return static_cast<double>(vorbis.nominal);
  if (vorbis.maximum > 0 && vorbis.minimum > 0) return static_cast<double>(vorbis.maximum + vorbis.minimum) * 0.5;
  return 0.0;
}

void FillOgm(MediaInfo& info, const OgmVideo& video, const VorbisHeader& vorbis, int32_t playTime,
             int64_t containerSize) {
  const StreamInfo& audio = FillVorbisStream(info, vorbis, StatedBitRate(vorbis));
  info.duration_s = playTime;
  if (playTime > 0 && containerSize > 0)
    info.bitrate_kbps = TruncToInt32(static_cast<double>(containerSize) * 8.0 / playTime / 1000.0 + 0.5);
  if (!info.video) {
    StreamInfo& v = info.ensureVideo();
    v.setCodec(video.codec);
    v.value1 = video.width;
    v.value2 = video.height;
    v.value3 = ClampToInt32(std::max<int64_t>(0, static_cast<int64_t>(info.bitrate_kbps) - audio.value2));
    v.value4 = vorbis.boundsFlag;
  }
  // Below this the estimate is not believable: report neither length nor rate.
  if (info.bitrate_kbps < 11) {
    info.bitrate_kbps = 0;
    info.duration_s = 0;
  }
}

// An OGM video stream's granule position counts frames.
int32_t OgmPlayTime(const MediaFile& file, const ContainerRange& range, uint32_t serial, const OgmVideo& video) {
  const int64_t frames = LastGranule(file, range, serial);
  return video.fps > 0 && frames >= 0 ? TruncToInt32(static_cast<double>(frames) / video.fps + 0.5) : 0;
}

// The longer of the two streams' play times, each from its own last granule: the Theora
// frames over the frame rate, the Vorbis samples over the sample rate.
int32_t TheoraPlayTime(const MediaFile& file, const ContainerRange& range, uint32_t serial, const OgmVideo& video,
                       const VorbisHeader& vorbis) {
  double seconds = 0.0;
  const int64_t granule = LastGranule(file, range, serial, kTheoraTailWindow, false);
  if (granule >= 0 && video.fps > 0)
    seconds = static_cast<double>(TheoraFrames(granule, video.granuleShift)) / video.fps;
  const int64_t samples = LastGranule(file, range, vorbis.serial, kTheoraTailWindow, false);
  if (samples >= 0 && vorbis.sampleRate > 0)
    seconds = std::max(seconds, static_cast<double>(samples) / vorbis.sampleRate);
  return TruncToInt32(seconds + 0.5);
}

// An OGM or a Theora video header in the first packet of `page`; false when it holds neither.
bool ReadVideoHeader(const MediaFile& file, const ContainerRange& range, const OggPage& page, OgmVideo& video) {
  return ReadOgmVideo(Payload(file, range, page), video) || ReadTheoraVideo(Payload(file, range, page), video);
}

int ParseOgm(MediaFile& file, MediaInfo& info) {
  const ContainerRange range = RangeOf(file, info);
  OggPage first, second, third;
  int rc = ReadPage(file, range, range.start, first);
  if (rc != kOk) return rc;
  OgmVideo video;
  VorbisHeader vorbis;
  uint32_t videoSerial = first.serial;
  try {
    const bool videoFirst = ReadVideoHeader(file, range, first, video);
    rc = ReadVorbisIdentification(file, range, first.end(), second, vorbis);
    // The streams' first pages may come in either order: audio first, then the video's.
    OggPage audioPage;
    VorbisHeader leading;
    if (rc != kOk && !videoFirst && ReadVorbisIdentification(file, range, range.start, audioPage, leading) == kOk &&
        ReadPage(file, range, first.end(), second) == kOk && ReadVideoHeader(file, range, second, video)) {
      vorbis = leading;
      videoSerial = second.serial;
      rc = kOk;
    }
  } catch (const ReadError&) {
    return kBadPage;
  }
  if (rc != kOk) return rc;
  info.fps = video.fps;
  rc = ReadPage(file, range, second.end(), third);
  if (rc != kOk) return rc;
  CheckComment(file, range, third);

  const int32_t playTime = video.theora ? TheoraPlayTime(file, range, videoSerial, video, vorbis)
                                        : OgmPlayTime(file, range, videoSerial, video);
  FillOgm(info, video, vorbis, playTime, range.size());
  return kOk;
}

}  // namespace

int RunOgg(MediaFile& file, MediaInfo& info) {
  PositionGuard keep(file);
  return ParseOgg(file, info);
}

int RunOgm(MediaFile& file, MediaInfo& info) {
  PositionGuard keep(file);
  return ParseOgm(file, info);
}

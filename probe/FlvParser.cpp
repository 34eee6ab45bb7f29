// FLV parser: walks the tags for the first audio, video and script-data tag and the largest
// timestamp; a small AMF0 reader takes the metadata out of the script data.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "probe/AacConfig.h"
#include "probe/ByteReader.h"
#include "probe/MpegAudioHeader.h"
#include "probe/Parsers.h"
#include "probe/VideoParameterSets.h"
#include "probe/ProbeNumbers.h"

namespace {

// ---- AMF0 ----------------------------------------------------------------------------------

// Reads AMF0 values out of one script tag's data and keeps the named numbers and strings.
// Every count and length is bounded by the bytes left; nesting is capped, so a hostile tag
// costs at most time linear in its size.
class Amf0Reader {
 public:
  explicit Amf0Reader(std::string_view data) : data_(data) {}

  // Reads one value; false when the data ended or broke off (what was read so far is kept).
  bool read() {
    try {
      value({}, 0);
      return true;
    } catch (const ReadError&) {
      return false;
    }
  }

  // The first number (number, boolean or date) of that name, compared without regard to case; 0 when absent.
  double number(std::string_view name) const {
    for (const auto& n : numbers_)
      if (SameName(n.name, name)) return n.value;
    return 0.0;
  }
  const std::string* text(std::string_view name) const {
    for (const auto& t : texts_)
      if (SameName(t.name, name)) return &t.value;
    return nullptr;
  }

 private:
  static constexpr int kMaxDepth = 32;
  static constexpr size_t kMaxEntries = 1024;
  static constexpr size_t kMaxNameLength = 127;
  static constexpr size_t kMaxTextLength = 255;
  static constexpr size_t kMaxStringLength = 2047;  // longer strings read as empty
  static constexpr int kMaxProperties = 20480;

  struct NamedNumber {
    std::string name;
    int type;
    double value;
  };
  struct NamedText {
    std::string name;
    std::string value;
  };

  static bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
             auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
             return lower(x) == lower(y);
           });
  }

  size_t left() const { return data_.size() - pos_; }
  std::string_view take(uint64_t n) {
    if (n > left()) throw ReadError{};
    std::string_view out = data_.substr(pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return out;
  }
  uint64_t big(int bytes) {
    std::string_view b = take(static_cast<uint64_t>(bytes));
    uint64_t v = 0;
    for (char c : b) v = (v << 8) | static_cast<uint8_t>(c);
    return v;
  }
  double f64() {
    uint64_t bits = big(8);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
  }
  std::string_view string(uint64_t length) {
    std::string_view s = take(length);
    return length < 1 || length > kMaxStringLength ? std::string_view() : s;
  }

  void keepNumber(std::string_view name, int type, double v) {
    if (!name.empty() && numbers_.size() < kMaxEntries)
      numbers_.push_back({std::string(name.substr(0, kMaxNameLength)), type, v});
  }
  void keepText(std::string_view name, std::string_view v) {
    if (!name.empty() && texts_.size() < kMaxEntries)
      texts_.push_back({std::string(name.substr(0, kMaxNameLength)), std::string(v.substr(0, kMaxTextLength))});
  }

  // Named properties up to the empty name that ends an object (and its end marker 9).
  void properties(int depth) {
    for (int i = 0; i < kMaxProperties; ++i) {
      const uint64_t nameLength = big(2);
      if (nameLength == 0) {
        if (left() > 0 && static_cast<uint8_t>(data_[pos_]) == 9) ++pos_;
        return;
      }
      std::string_view name = take(nameLength);
      value(name, depth + 1);
    }
  }

  void value(std::string_view name, int depth) {
    if (depth > kMaxDepth) throw ReadError{};
    const uint8_t type = static_cast<uint8_t>(take(1)[0]);
    switch (type) {
      case 0: keepNumber(name, type, f64()); break;                        // number
      case 1: keepNumber(name, type, take(1)[0] != 0 ? 1.0 : 0.0); break;  // boolean
      case 2: keepText(name, string(big(2))); break;                       // string
      case 3: properties(depth); break;                                    // object
      case 5:                                                              // null
      case 6:                                                              // undefined
      case 13: break;                                                      // unsupported
      case 7: big(2); break;                                               // reference
      case 8:                                                              // ECMA array: count, then as an object
        big(4);
        properties(depth);
        break;
      case 10: {  // strict array: count, then unnamed values of at least one byte each
        const uint64_t count = big(4);
        if (count > left()) throw ReadError{};
        for (uint64_t i = 0; i < count; ++i) value({}, depth + 1);
        break;
      }
      case 11: {  // date: milliseconds, then a 16-bit time zone
        const double ms = f64();
        big(2);
        keepNumber(name, type, ms);
        break;
      }
      case 12:  // long string
      case 15:  // XML document
        keepText(name, string(big(4)));
        break;
      case 16:  // typed object: class name, then as an object
        take(big(2));
        properties(depth);
        break;
      default: throw ReadError{};  // nothing after an unknown type can be trusted
    }
  }

  std::string_view data_;
  size_t pos_ = 0;
  std::vector<NamedNumber> numbers_;
  std::vector<NamedText> texts_;
};

struct FrameSize {
  int width = 0;
  int height = 0;
};

// ---- FLV tags --------------------------------------------------------------------------------

constexpr int kTagAudio = 8;
constexpr int kTagVideo = 9;
constexpr int kTagScript = 18;
constexpr int kCodecH263 = 2;
constexpr int kCodecAvc = 7;
constexpr int kSoundMp3 = 2;
constexpr int kSoundNelly16 = 4;
constexpr int kSoundNelly8 = 5;
constexpr int kSoundAlaw = 7;
constexpr int kSoundMulaw = 8;
constexpr int kSoundAac = 10;
constexpr int kSoundSpeex = 11;
constexpr int kSoundMp3At8k = 14;
// The video frames whose timestamps give the frame rate when the metadata states none.
constexpr int kFrameRateFrames = 60;
// A parameter set longer than this is not looked at.
constexpr size_t kMaxSpsLength = 2048;

const char* AudioFormatName(int format) {
  switch (format) {
    case 0: return "uncompressed";
    case 1: return "ADPCM";
    case 2: return "mp3";
    case 3: return "Linear PCM, little endian";
    case 4: return "Nellymoser 16kHz mono";
    case 5: return "Nellymoser 8kHz mono";
    case 6: return "Nellymoser";
    case 7: return "G.711A-law logarithmic PCM";
    case 8: return "G.711 mu-law logarithmic PCM";
    case 10: return "AAC";
    case 11: return "Speex";
    case 14: return "mp3 8kHz";
    case 15: return "Device-specific sound";
    default: return "";
  }
}

const char* VideoCodecName(int codec) {
  switch (codec) {
    case 2: return "Sorenson H.263";
    case 3: return "Screen video";
    case 4: return "On2 VP6";
    case 5: return "On2 VP6 with alpha channel";
    case 6: return "Screen video version 2";
    case 7: return "Sorenson H.264";
    default: return "";
  }
}

struct FlvMetadata {
  double framerate = 0, width = 0, height = 0, duration = 0;
  double audiodatarate = 0, videodatarate = 0, audiocodecid = 0, videocodecid = 0;
};

struct FlvScan {
  bool audioSeen = false;
  bool videoSeen = false;
  bool scriptSeen = false;
  int audioFormat = 0;
  int sampleRate = 0;
  int channels = 0;
  int videoCodec = 0;
  FrameSize frame;  // from the first video frame's own header
  uint32_t largestTimestamp = 0;
  // Timestamps (ms) of the first and the latest video frame, and the frames counted.
  uint32_t firstFrameTime = 0;
  uint32_t lastFrameTime = 0;
  int videoFrames = 0;
  FlvMetadata meta;
  int64_t scriptEnd = 0;
};

constexpr int kFlvRates[4] = {5500, 11025, 22050, 44100};

// Sample rate and channels of an AAC AudioSpecificConfig (ISO/IEC 14496-3 1.6.2.1); the
// tag's own rate bits always say 44100 Hz for AAC.
void ReadAacConfig(std::string_view config, FlvScan& scan) {
  const auto aac = DecodeAacConfig(config);
  if (!aac) return;
  if (aac->coreSampleRate > 0 && aac->coreSampleRate <= 192000) scan.sampleRate = aac->coreSampleRate;
  if (aac->channels >= 1 && aac->channels <= 8) scan.channels = aac->channels;
}

// The sample rate and channels of the first MPEG audio frame: the tag's rate bits cannot say
// 48000 Hz, and writers set the tag's flags wrongly often enough; the frame is what plays.
void ReadMp3Header(std::string_view frame, FlvScan& scan) {
  const auto header = DecodeMpegAudioHeader(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()));
  if (!header || header->bitrateIndex == 15) return;
  scan.sampleRate = header->sampleRate;
  scan.channels = header->channels;
}

void ReadAudioTag(uint8_t first, std::string_view data, FlvScan& scan) {
  scan.audioSeen = true;
  scan.audioFormat = first >> 4;              // sound format
  scan.sampleRate = kFlvRates[(first >> 2) & 3];  // sound rate
  scan.channels = (first & 1) + 1;            // sound type: mono or stereo
  // Formats of one fixed rate ignore the rate bits (and Speex and Nellymoser the type bit too):
  // writers fill them with anything, often 5.5 or 44.1 kHz.
  switch (scan.audioFormat) {
    case kSoundNelly16:
    case kSoundSpeex:
      scan.sampleRate = 16000;
      scan.channels = 1;
      break;
    case kSoundNelly8:
      scan.sampleRate = 8000;
      scan.channels = 1;
      break;
    case kSoundAlaw:
    case kSoundMulaw:
    case kSoundMp3At8k:
      scan.sampleRate = 8000;
      break;
    default:
      break;
  }
  if (scan.audioFormat == kSoundAac && data.size() > 2 && data[1] == 0) ReadAacConfig(data.substr(2), scan);
  if ((scan.audioFormat == kSoundMp3 || scan.audioFormat == kSoundMp3At8k) && data.size() > 1)
    ReadMp3Header(data.substr(1), scan);
}

// A video tag that carries a picture: not a command frame (frame type 5), and for AVC not a
// sequence header or end of sequence (packet type 0 or 2).
bool CarriesPicture(uint8_t first, std::string_view data) {
  if ((first >> 4) == 5) return false;
  if ((first & 0x0F) == kCodecAvc) return data.size() > 1 && data[1] == 1;
  return true;
}

void CountVideoFrame(uint32_t timestamp, FlvScan& scan) {
  if (scan.videoFrames == 0) scan.firstFrameTime = timestamp;
  scan.lastFrameTime = timestamp;
  ++scan.videoFrames;
}

// Frames per second over the counted frames' timestamps; 0 without two frames a time apart.
double FrameRateFromTimes(const FlvScan& scan) {
  if (scan.videoFrames < 2 || scan.lastFrameTime <= scan.firstFrameTime) return 0.0;
  return (scan.videoFrames - 1) * 1000.0 / (scan.lastFrameTime - scan.firstFrameTime);
}

// Picture size from a Sorenson H.263 picture header; `h` are the 11 bytes after the tag's first byte.
FrameSize H263FrameSize(const uint8_t* h) {
  auto be16 = [&](int i) { return (uint32_t{h[i]} << 8) | h[i + 1]; };
  auto be24 = [&](int i) { return (uint32_t{h[i]} << 16) | (uint32_t{h[i + 1]} << 8) | h[i + 2]; };
  // Start code (17 bits), version (5), temporal reference (8), then the 3-bit size code.
  switch ((be16(3) >> 7) & 7) {
    case 0: return {static_cast<int>((be16(4) >> 7) & 0xFF), static_cast<int>((be16(5) >> 7) & 0xFF)};
    case 1: return {static_cast<int>((be24(4) >> 7) & 0xFFFF), static_cast<int>((be24(6) >> 7) & 0xFFFF)};
    case 2: return {352, 288};
    case 3: return {176, 144};
    case 4: return {128, 96};
    case 5: return {320, 240};
    case 6: return {160, 120};
    default: return {};
  }
}

// Frame size from the first sequence parameter set of an AVCDecoderConfigurationRecord.
FrameSize AvcFrameSize(std::string_view record) {
  // version, profile, compatibility, level, length size, number of parameter sets (5 bits)
  if (record.size() < 8 || (static_cast<uint8_t>(record[5]) & 0x1F) == 0) return {};
  const size_t length = (size_t{static_cast<uint8_t>(record[6])} << 8) | static_cast<uint8_t>(record[7]);
  if (length > kMaxSpsLength || length > record.size() - 8) return {};
  const auto sps = DecodeAvcSps(record.substr(8, length));
  return sps ? FrameSize{sps->width, sps->height} : FrameSize{};
}

void ReadVideoTag(uint8_t first, std::string_view data, FlvScan& scan) {
  scan.videoSeen = true;
  scan.videoCodec = first & 0x0F;  // codec id
  if (scan.videoCodec == kCodecH263 && data.size() >= 12) {
    scan.frame = H263FrameSize(reinterpret_cast<const uint8_t*>(data.data()) + 1);
  } else if (scan.videoCodec == kCodecAvc && data.size() > 5 && data[1] == 0) {
    // packet type 0 (sequence header), composition time (3 bytes), then the record
    scan.frame = AvcFrameSize(data.substr(5));
  }
}

void ReadScriptTag(std::string_view data, FlvScan& scan) {
  scan.scriptSeen = true;
  Amf0Reader amf(data);
  if (amf.read()) amf.read();  // the event name, then its property array
  FlvMetadata& m = scan.meta;
  m.framerate = amf.number("framerate");
  m.width = amf.number("width");
  m.height = amf.number("height");
  m.duration = amf.number("duration");
  m.audiodatarate = amf.number("audiodatarate");
  if (m.audiodatarate > 1000) m.audiodatarate /= 1000;  // some writers give bit/s
  m.videodatarate = amf.number("videodatarate");
  m.audiocodecid = amf.number("audiocodecid");
  m.videocodecid = amf.number("videocodecid");
}

// Walks the tags from `next`: [previous tag size (4)][type (1)][data size (3)][timestamp (3)]
// [timestamp extension (1)][stream id (3)][data]. Stops at the end of the data, at a cut-off
// tag header, or as soon as the metadata gave a play time and both stream kinds were seen.
void WalkTags(const MediaFile& file, const ContainerRange& range, int64_t next, FlvScan& scan) {
  std::string scratch;
  for (int64_t steps = 0; next < range.end; ++steps) {
    const bool metaDuration = scan.meta.duration > 0;
    if (steps > 100000 && metaDuration) break;
    const bool frameRateKnown = scan.meta.framerate > 0 || scan.videoFrames > kFrameRateFrames;
    if (scan.audioSeen && scan.videoSeen && metaDuration && frameRateKnown) break;
    ByteReader r(file, next, range.end);
    if (r.remaining() < 16) break;
    r.skip(4);                                   // previous tag size
    const uint8_t type = r.u8();                 // tag type
    const uint32_t size = r.u24be();             // data size
    const uint32_t timestamp = r.u24be();        // milliseconds
    const uint32_t upper = r.u8();               // timestamp extension: bits 31..24
    r.skip(3);                                   // stream id
    const int64_t dataStart = r.pos();
    scan.largestTimestamp = std::max(scan.largestTimestamp, timestamp);
    next = dataStart + size;
    // A tag without data (media servers write an empty audio tag before the first frame) has no
    // flags byte: the byte behind its header is already the next tag's.
    if (size == 0) continue;
    const uint8_t first = r.u8();                // first data byte

    // Only what a handler needs of the data is read, and never past the file.
    auto data = [&](int64_t want) -> std::string_view {
      ByteReader d = ByteReader(file, dataStart, range.end).sub(std::min<int64_t>(size, want));
      scratch.resize(static_cast<size_t>(d.remaining()));
      d.read(scratch.data(), scratch.size());
      return scratch;
    };
    if (type == kTagVideo && scan.videoFrames <= kFrameRateFrames && CarriesPicture(first, data(2)))
      CountVideoFrame(upper << 24 | timestamp, scan);
    if (type == kTagAudio && !scan.audioSeen) ReadAudioTag(first, data(64), scan);
    else if (type == kTagVideo && !scan.videoSeen) ReadVideoTag(first, data(5 + 8 + kMaxSpsLength), scan);
    else if (type == kTagScript && !scan.scriptSeen) {
      ReadScriptTag(data(size), scan);
      scan.scriptEnd = std::min(dataStart + size, range.end);
    }
  }
}

void FillStreams(MediaInfo& info, const FlvScan& scan, const ContainerRange& range) {
  auto audio = std::make_unique<StreamInfo>();
  auto video = std::make_unique<StreamInfo>();
  const FlvMetadata& m = scan.meta;
  if (scan.audioSeen) {
    audio->value3 = scan.channels;
    audio->value1 = scan.sampleRate;
    audio->setCodec(AudioFormatName(scan.audioFormat));
    if (m.audiodatarate > 0) audio->value2 = TruncToInt32(m.audiodatarate);
  }
  if (scan.frame.width > 0) video->value1 = scan.frame.width;
  if (scan.frame.height > 0) video->value2 = scan.frame.height;
  if (scan.videoSeen) video->setCodec(VideoCodecName(scan.videoCodec));
  video->value3 = TruncToInt32(m.videodatarate);

  info.duration_s = m.duration > 0 ? TruncToInt32(m.duration) : static_cast<int32_t>(scan.largestTimestamp / 1000);
  if (info.duration_s != 0) info.bitrate_kbps = ClampToInt32(range.size() * 8 / info.duration_s / 1024);
  if (video->value1 < 1 && m.width > 0) video->value1 = TruncToInt32(m.width);
  if (video->value2 < 1 && m.height > 0) video->value2 = TruncToInt32(m.height);
  if (m.audiocodecid > 0 && audio->codec.empty()) audio->setCodec(AudioFormatName(TruncToInt32(m.audiocodecid)));
  if (m.videocodecid > 0 && video->codec.empty()) video->setCodec(VideoCodecName(TruncToInt32(m.videocodecid)));
  info.audio = std::move(audio);
  info.video = std::move(video);
}

int ParseFlv(MediaFile& file, MediaInfo& info) {
  const ContainerRange range = RangeOf(file, info);
  ByteReader r(file, range.start, range.end);
  char signature[5];  // "FLV", version, flags
  if (r.readSome(signature, sizeof signature) != sizeof signature || std::memcmp(signature, "FLV", 3) != 0) return 0;
  int64_t tags = range.start + 9;
  if (r.remaining() >= 4) {
    const uint32_t dataOffset = r.u32be();  // header length
    if (dataOffset >= 10) tags = range.start + dataOffset;
  }
  FlvScan scan;
  WalkTags(file, range, tags, scan);
  info.payload_start = ClampToInt32(scan.scriptSeen ? scan.scriptEnd : range.start);
  if (std::isfinite(scan.meta.framerate) && scan.meta.framerate > 0)
    info.fps = scan.meta.framerate;
  else
    info.fps = FrameRateFromTimes(scan);
  FillStreams(info, scan, range);
  return 1;
}

}  // namespace

int RunFlv(MediaFile& file, MediaInfo& info) {
  PositionGuard keep(file);
  try {
    return ParseFlv(file, info);
  } catch (const ReadError&) {
    return 0;
  }
}

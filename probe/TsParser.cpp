// MPEG transport stream parser: the packet period from the sync bytes, the program tables, the
// codec and format of the chosen program's first video and audio streams from their first frames,
// and the play time from the timestamps at the start and at the end of the file. It reads the
// first and the last few megabytes only, however long the recording.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "probe/ByteReader.h"
#include "probe/MpegAudioHeader.h"
#include "probe/MpegElementary.h"
#include "probe/Parsers.h"
#include "probe/ProbeNumbers.h"
#include "probe/VideoParameterSets.h"

namespace {

constexpr uint8_t kSyncByte = 0x47;
constexpr size_t kPacket = 188;  // a packet proper, from its sync byte on
// Plain packets; packets behind a 4-byte arrival timestamp (AVCHD, Blu-ray); packets followed
// by 16 bytes of Reed-Solomon parity (some DVB captures).
constexpr int kPeriods[3] = {188, 192, 204};
// Sync bytes in a row at the period that make a layout; fewer (at least kMinSyncRun) only where
// the bytes end first.
constexpr int kSyncRun = 5;
constexpr int kMinSyncRun = 3;
// What is read: the start of the file until the tables and the first frames are found, at most
// kHeadLimit; then the end, kTailFirst and, when that holds no timestamp of the streams, up to
// kTailLimit.
constexpr int64_t kChunk = 256 * 1024;
constexpr int64_t kHeadLimit = 4 * 1024 * 1024;
constexpr int64_t kTailFirst = 512 * 1024;
constexpr int64_t kTailLimit = 4 * 1024 * 1024;
// Bounds on what one hostile file can make the reader keep.
constexpr size_t kMaxPes = 512 * 1024;
constexpr size_t kMaxPrograms = 64;
constexpr size_t kMaxStreams = 32;
constexpr size_t kMaxSection = 1024;  // section_length is at most 1021 bytes, plus its 3-byte head
constexpr size_t kMaxNal = 4096;
constexpr size_t kAudioSearch = 4096;
// Video timestamps kept for the frame rate when the parameter sets carry no timing.
constexpr size_t kPtsSamples = 64;
// A clock span that gives the file a higher rate than this is a discontinuity, not play time.
constexpr double kMaxPlausibleBitRate = 1e9;
constexpr uint16_t kNoPid = 0x1FFF;

// ---- layout ----

// Whether packets recur at `period` from `at` on, as far as the bytes go: each opens with the sync
// byte, and its adaptation field control is not the reserved value 0 (which no writer uses, and
// which a run of 0x47 filler bytes would have).
bool SyncRun(std::span<const uint8_t> b, size_t at, int period) {
  int run = 0;
  for (size_t p = at; p < b.size() && run < kSyncRun; p += static_cast<size_t>(period), ++run) {
    if (b[p] != kSyncByte) return false;
    if (b.size() - p > 3 && (b[p + 3] & 0x30) == 0) return false;
  }
  return run >= kMinSyncRun;
}

// The first offset from `from` on where a run of sync bytes at `period` starts.
std::optional<size_t> FindRun(std::span<const uint8_t> b, size_t from, int period) {
  for (size_t p = from; p < b.size(); ++p)
    if (b[p] == kSyncByte && SyncRun(b, p, period)) return p;
  return std::nullopt;
}

// ---- codecs ----

enum class Codec {
  kNone,
  kMpeg1Video,
  kMpeg2Video,
  kH264,
  kHevc,
  kMpeg4Video,
  kVc1,
  kMpegAudio,
  kAac,
  kAacLatm,
  kAc3,
  kEac3,
  kDts,
  kTrueHd,
  kLpcm,
  kOpus,
};

bool IsVideo(Codec c) { return c >= Codec::kMpeg1Video && c <= Codec::kVc1; }
bool IsAudio(Codec c) { return c >= Codec::kMpegAudio; }

constexpr uint32_t Tag(const char (&t)[5]) {
  return uint32_t(uint8_t(t[0])) << 24 | uint32_t(uint8_t(t[1])) << 16 | uint32_t(uint8_t(t[2])) << 8 | uint8_t(t[3]);
}

// The codec a registration descriptor's format identifier names, for private stream types.
Codec FromRegistration(uint32_t id) {
  switch (id) {
    case Tag("AC-3"): return Codec::kAc3;
    case Tag("EAC3"): return Codec::kEac3;
    case Tag("DTS1"):
    case Tag("DTS2"):
    case Tag("DTS3"): return Codec::kDts;
    case Tag("HEVC"): return Codec::kHevc;
    case Tag("Opus"): return Codec::kOpus;
    default: return Codec::kNone;
  }
}

// What an elementary stream's descriptors say: its registration, the DVB audio descriptors, and
// the channel configuration of an Opus stream.
struct Descriptors {
  Codec registered = Codec::kNone;
  Codec dvb = Codec::kNone;
  int opusChannels = 0;
};

Descriptors ReadDescriptors(std::span<const uint8_t> d) {
  Descriptors out;
  for (size_t i = 0; d.size() - i >= 2;) {
    const uint8_t tag = d[i], length = d[i + 1];
    if (length > d.size() - i - 2) break;
    const auto body = d.subspan(i + 2, length);
    if (tag == 0x05 && length >= 4)  // registration: format identifier
      out.registered = FromRegistration(uint32_t{body[0]} << 24 | uint32_t{body[1]} << 16 | body[2] << 8 | body[3]);
    if (tag == 0x6A) out.dvb = Codec::kAc3;   // DVB AC-3 descriptor
    if (tag == 0x7A) out.dvb = Codec::kEac3;  // DVB enhanced AC-3 descriptor
    if (tag == 0x7B) out.dvb = Codec::kDts;   // DVB DTS descriptor
    // DVB extension descriptor 0x80 (Opus): channel configuration 1 to 8 is the channel count;
    // 0x80 and 0x81 are dual mono and stereo in other layouts.
    if (tag == 0x7F && length >= 2 && body[0] == 0x80) out.opusChannels = body[1] <= 8 ? body[1] : 2;
    i += 2 + length;
  }
  return out;
}

// The codec of stream type `type`. Types 0x80 to 0x86 and 0xA1/0xA2 mean Blu-ray audio only in
// a Blu-ray or AVCHD stream (elsewhere 0x86 is an ad-insertion table, 0x82 subtitles); 0x06 and
// unknown private types are named by their descriptors.
Codec Classify(uint8_t type, const Descriptors& d, bool blueRay) {
  switch (type) {
    case 0x01: return Codec::kMpeg1Video;
    case 0x02: return Codec::kMpeg2Video;
    case 0x03:
    case 0x04: return Codec::kMpegAudio;
    case 0x0F: return Codec::kAac;
    case 0x10: return Codec::kMpeg4Video;
    case 0x11: return Codec::kAacLatm;
    case 0x1B: return Codec::kH264;
    case 0x24: return Codec::kHevc;
    case 0xEA: return Codec::kVc1;
    case 0x81: return Codec::kAc3;
    case 0x87: return Codec::kEac3;
    default: break;
  }
  if (blueRay) {
    switch (type) {
      case 0x80: return Codec::kLpcm;
      case 0x82:
      case 0x85:
      case 0x86:
      case 0xA2: return Codec::kDts;
      case 0x83: return Codec::kTrueHd;
      case 0x84:
      case 0xA1: return Codec::kEac3;
      default: break;
    }
  }
  if (type == 0x06 || type >= 0x80) return d.registered != Codec::kNone ? d.registered : d.dvb;
  return Codec::kNone;
}

// ---- what the first frames of a stream say ----

struct Format {
  bool described = false;
  int width = 0, height = 0;
  double fps = 0.0;
  bool mpeg2 = false;
  std::string name;  // where the frame names the codec more closely (MPEG audio version and layer)
  int sampleRate = 0, channels = 0, kbps = 0;
  double frameSeconds = 0.0;  // an audio frame's length
};

// NAL units of an H.264 or HEVC byte stream, each handed to `visit` without its start code.
template <typename Visit>
void ForEachNal(std::span<const uint8_t> es, Visit visit) {
  auto startCode = [&](size_t from) -> size_t {
    for (size_t i = from; es.size() >= 3 && i <= es.size() - 3; ++i)
      if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1) return i;
    return es.size();
  };
  for (size_t at = startCode(0); at < es.size();) {
    const size_t begin = at + 3;
    const size_t next = startCode(begin);
    size_t end = next;
    while (end > begin && es[end - 1] == 0) --end;  // a four-byte start code's leading zero
    const auto nal = es.subspan(begin, std::min(end - begin, kMaxNal));
    visit(std::string_view(reinterpret_cast<const char*>(nal.data()), nal.size()));
    at = next;
  }
}

void DescribeAvc(std::span<const uint8_t> es, Format& f) {
  ForEachNal(es, [&](std::string_view nal) {
    if (f.described || nal.empty() || (nal[0] & 0x1F) != 7) return;
    if (const auto sps = DecodeAvcSps(nal)) {
      f = Format{true, sps->width, sps->height, sps->fps};
    }
  });
}

void DescribeHevc(std::span<const uint8_t> es, Format& f) {
  double fps = 0.0;
  ForEachNal(es, [&](std::string_view nal) {
    if (nal.size() < 2) return;
    const int type = (static_cast<uint8_t>(nal[0]) >> 1) & 0x3F;
    if (type == 32 && fps == 0.0) fps = DecodeHevcVpsFrameRate(nal);
    if (type == 33 && !f.described) {
      if (const auto sps = DecodeHevcSps(nal)) f = Format{true, sps->width, sps->height};
    }
  });
  if (f.described) f.fps = fps;
}

void DescribeMpegVideo(std::span<const uint8_t> es, Format& f) {
  const std::vector<uint8_t> w(es.begin(), es.end());
  if (const auto p = FindSequenceHeader(w)) {
    const SequenceHeader s = DecodeSequenceHeader(w, *p);
    if (s.width <= 0 || s.height <= 0) return;
    f = Format{true, s.width, s.height, s.fps, s.mpeg2};
    f.kbps = static_cast<int>(s.bitRate / 1000);
  }
}

void FromAudio(const AudioDescription& a, double samplesPerFrame, Format& f) {
  f.described = true;
  f.sampleRate = a.sampleRate;
  f.channels = a.channels;
  f.kbps = a.kbps;
  f.frameSeconds = a.sampleRate > 0 ? samplesPerFrame / a.sampleRate : 0.0;
}

void DescribeMpegAudio(std::span<const uint8_t> es, Format& f) {
  for (size_t i = 0; i + 4 <= es.size() && i < kAudioSearch; ++i) {
    const auto h = DecodeMpegAudioHeader(es.subspan(i));
    if (!h || h->bitrateIndex == 0 || h->bitrateIndex == 15) continue;
    char name[32];
    std::snprintf(name, sizeof name, "V%3.1fL%d", h->version(), h->layer);
    const double samples = h->layer == 1 ? 384 : (h->layer == 3 && h->versionIndex != 3) ? 576 : 1152;
    FromAudio(AudioDescription{0, h->sampleRate, h->channels, h->bitrateKbps}, samples, f);
    f.name = name;
    return;
  }
}

// The first ADTS header whose frame is followed by another one (or by the end of the bytes).
void DescribeAdts(std::span<const uint8_t> es, Format& f) {
  for (size_t i = 0; i + 7 <= es.size() && i < kAudioSearch; ++i) {
    const auto a = DecodeAdts(es.subspan(i));
    if (!a) continue;
    const size_t length = (size_t{es[i + 3] & 3u} << 11) | (size_t{es[i + 4]} << 3) | (es[i + 5] >> 5);
    if (length < es.size() - i && es.size() - i - length >= 2 &&
        !(es[i + length] == 0xFF && (es[i + length + 1] & 0xF6) == 0xF0))
      continue;
    FromAudio(*a, 1024, f);
    return;
  }
}

void DescribeDolby(std::span<const uint8_t> es, Format& f) {
  for (size_t i = 0; i + 8 <= es.size() && i < kAudioSearch; ++i) {
    if (const auto e = DecodeEac3(es.subspan(i))) {
      // The frame's blocks, read back from its rate: kbps × 1000 = bytes × 8 × rate ÷ (256 × blocks).
      const int blocks = (es[i + 4] >> 6) == 3 ? 6 : std::array<int, 4>{1, 2, 3, 6}[(es[i + 4] >> 4) & 3];
      return FromAudio(*e, 256.0 * blocks, f);
    }
    if (const auto a = DecodeAc3(es.subspan(i))) return FromAudio(*a, 1536, f);
  }
}

void DescribeDts(std::span<const uint8_t> es, Format& f) {
  for (size_t i = 0; i + 10 <= es.size() && i < kAudioSearch; ++i) {
    // Blocks of 32 samples: the 7 bits after the frame type, deficit and CRC flag, plus one.
    if (const auto a = DecodeDts(es.subspan(i))) return FromAudio(*a, 32.0 * (((es[i + 4] & 1) << 6 | es[i + 5] >> 2) + 1), f);
  }
}

// Blu-ray linear PCM: a 4-byte header of the payload size (2 bytes), the channel assignment (4
// bits) and rate (4), then the sample size (2) and padding.
void DescribeLpcm(std::span<const uint8_t> es, Format& f) {
  if (es.size() < 4) return;
  static constexpr int kChannels[16] = {0, 1, 0, 2, 3, 3, 4, 4, 5, 6, 7, 8, 0, 0, 0, 0};
  static constexpr int kBits[4] = {0, 16, 20, 24};
  const int assignment = es[2] >> 4, rateCode = es[2] & 0x0F, bits = kBits[es[3] >> 6];
  const int rate = rateCode == 1 ? 48000 : rateCode == 4 ? 96000 : rateCode == 5 ? 192000 : 0;
  if (rate == 0 || kChannels[assignment] == 0) return;
  f.described = true;
  f.sampleRate = rate;
  f.channels = kChannels[assignment];
  f.kbps = rate * f.channels * bits / 1000;
}

void Describe(Codec codec, std::span<const uint8_t> es, Format& f) {
  switch (codec) {
    case Codec::kH264: return DescribeAvc(es, f);
    case Codec::kHevc: return DescribeHevc(es, f);
    case Codec::kMpeg1Video:
    case Codec::kMpeg2Video: return DescribeMpegVideo(es, f);
    case Codec::kMpegAudio: return DescribeMpegAudio(es, f);
    case Codec::kAac: return DescribeAdts(es, f);
    case Codec::kAc3:
    case Codec::kEac3: return DescribeDolby(es, f);
    case Codec::kDts: return DescribeDts(es, f);
    case Codec::kLpcm: return DescribeLpcm(es, f);
    default: f.described = true;  // named by the tables alone
  }
}

std::string CodecName(Codec codec, const Format& f) {
  switch (codec) {
    case Codec::kMpeg1Video: return "MPEG-1";
    case Codec::kMpeg2Video: return f.described && !f.mpeg2 ? "MPEG-1" : "MPEG-2";
    case Codec::kH264: return "h264";
    case Codec::kHevc: return "hevc";
    case Codec::kMpeg4Video: return "mpeg4";
    case Codec::kVc1: return "vc1";
    case Codec::kMpegAudio: return f.name.empty() ? "mp2" : f.name;
    case Codec::kAac:
    case Codec::kAacLatm: return "aac";
    case Codec::kAc3: return WaveFormatDisplayName(0x2000);
    case Codec::kEac3: return "eac3";
    case Codec::kDts: return WaveFormatDisplayName(0x0008);
    case Codec::kTrueHd: return "truehd";
    case Codec::kLpcm: return WaveFormatDisplayName(0x0001);
    case Codec::kOpus: return "opus";
    default: return "";
  }
}

// ---- the reader ----

struct Stream {
  uint16_t pid = 0;
  Codec codec = Codec::kNone;
  int opusChannels = 0;
};

struct Program {
  uint16_t number = 0;
  uint16_t pmtPid = 0;
  uint16_t pcrPid = kNoPid;
  bool read = false;
  std::vector<Stream> streams;
};

// One elementary stream's packets: the PES packet being gathered until the stream is described,
// and its presentation times.
struct Track {
  Codec codec = Codec::kNone;
  std::vector<uint8_t> pes;
  Format format;
  int64_t firstPts = -1;
  int64_t lastOffset = 0;  // the latest time after firstPts seen so far, in clock ticks
  bool tailPts = false;    // a time was seen in the file's last bytes
  std::vector<int64_t> ptsSamples;
};

struct Section {
  std::vector<uint8_t> bytes;
  bool started = false;
};

struct Clock {
  int64_t first = -1;
  int64_t lastOffset = 0;
};

class TsReader {
 public:
  TsReader(const MediaFile& file, const TsLayout& layout) : file_(file), layout_(layout) {}

  bool tablesRead() const { return patRead_; }

  // The start of the file, until the chosen streams are described and timed or kHeadLimit.
  int64_t readHead() {
    const int64_t end = std::min(file_.size(), layout_.first + kHeadLimit);
    size_t count = 0;
    return walk(layout_.first, end, [&](const uint8_t* p) {
      packet(p, false);
      return ++count % 256 != 0 || !headDone();
    });
  }

  // The end of the file, from `from` at the earliest: the latest times of the chosen streams.
  void readTail(int64_t from) {
    for (const int64_t span : {kTailFirst, kTailLimit}) {
      const int64_t begin = std::max(from, file_.size() - span);
      if (begin >= file_.size()) return;
      walk(begin, file_.size(), [&](const uint8_t* p) {
        packet(p, true);
        return true;
      });
      if (begin == from || anyTailTime()) return;
    }
  }

  void fill(MediaInfo& info);

 private:
  // Walks the whole packets of [begin, end): from the first run of sync bytes, and from the
  // next one whenever a packet does not start with its sync byte. `visit` returns false to stop.
  // Returns where the walk ended.
  template <typename Visit>
  int64_t walk(int64_t begin, int64_t end, Visit visit) {
    std::vector<uint8_t> buffer;
    const size_t period = static_cast<size_t>(layout_.period);
    int64_t next = begin;
    while (end - next >= static_cast<int64_t>(kPacket)) {
      buffer.resize(static_cast<size_t>(std::min(kChunk, end - next)));
      buffer.resize(file_.readAt(next, buffer.data(), buffer.size()));
      if (buffer.size() < kPacket) break;
      size_t p = 0;
      bool lost = false;
      while (p < buffer.size() && buffer.size() - p >= kPacket) {
        if (buffer[p] != kSyncByte) {
          const auto found = FindRun(buffer, p + 1, layout_.period);
          if (!found) {
            lost = true;
            break;
          }
          p = *found;
          continue;
        }
        if (!visit(&buffer[p])) return next + static_cast<int64_t>(p + period);
        p += period;
      }
      if (lost) {
        // Out of step to the buffer's end. Every place a run could start with two more packets
        // behind it in the buffer has been tried; the rest is tried again with what follows.
        if (end - next <= static_cast<int64_t>(buffer.size())) break;
        p = std::max(p + 1, buffer.size() - std::min(buffer.size(), 2 * period));
      }
      next += static_cast<int64_t>(std::max<size_t>(p, 1));
    }
    return next;
  }

  // One packet: header (sync, flags and PID, scrambling, adaptation field control, continuity
  // counter), the adaptation field with its PCR, and the payload.
  void packet(const uint8_t* p, bool tail) {
    if (p[1] & 0x80) return;  // transport error indicator
    const bool start = p[1] & 0x40;
    const uint16_t pid = static_cast<uint16_t>((p[1] & 0x1F) << 8 | p[2]);
    const int control = (p[3] >> 4) & 3;
    size_t at = 4;
    if (control & 2) {
      const size_t length = p[4];
      if (length > kPacket - 5) return;
      if (length >= 7 && (p[5] & 0x10)) notePcr(pid, p + 6);
      at = 5 + length;
    }
    if (!(control & 1) || at >= kPacket || (p[3] & 0xC0)) return;  // no payload, or scrambled
    const std::span<const uint8_t> payload(p + at, kPacket - at);
    if (!tail && pid == 0) return sectionData(pid, payload, start);
    if (!tail && isPmtPid(pid)) return sectionData(pid, payload, start);
    auto it = tracks_.find(pid);
    if (it != tracks_.end()) esData(it->second, payload, start, tail);
  }

  void notePcr(uint16_t pid, const uint8_t* b) {
    // 33-bit base, 6 reserved bits, 9-bit extension; the base counts the 90 kHz clock.
    const int64_t base = int64_t{b[0]} << 25 | int64_t{b[1]} << 17 | int64_t{b[2]} << 9 | int64_t{b[3]} << 1 | b[4] >> 7;
    if (pcr_.size() >= kMaxStreams && !pcr_.count(pid)) return;
    Clock& c = pcr_[pid];
    if (c.first < 0) c.first = base;
    c.lastOffset = std::max(c.lastOffset, ClockOffset(base, c.first));
  }

  bool isPmtPid(uint16_t pid) const {
    return std::any_of(programs_.begin(), programs_.end(), [&](const Program& g) { return g.pmtPid == pid && !g.read; });
  }

  // Gathers a PSI section: a packet that starts one gives the pointer to it; only the first
  // section a packet starts is read, as the tables that matter come one to a packet.
  void sectionData(uint16_t pid, std::span<const uint8_t> payload, bool start) {
    Section& s = sections_[pid];
    if (start) {
      const size_t pointer = payload[0];
      s.started = pointer + 1 < payload.size();
      if (!s.started) return;
      s.bytes.assign(payload.begin() + 1 + static_cast<ptrdiff_t>(pointer), payload.end());
    } else if (s.started) {
      s.bytes.insert(s.bytes.end(), payload.begin(), payload.end());
    } else {
      return;
    }
    if (s.bytes.size() < 3) return;
    const size_t total = 3 + ((size_t{s.bytes[1]} & 0x0F) << 8 | s.bytes[2]);
    if (total > kMaxSection || total < 12) {
      s.started = false;
      return;
    }
    if (s.bytes.size() < total) return;
    s.started = false;
    const std::span<const uint8_t> section(s.bytes.data(), total - 4);  // without the CRC
    if (pid == 0) readPat(section);
    else readPmt(pid, section);
  }

  // PAT: table id 0, length, transport stream id, version, section numbers (8 bytes), then
  // program number and PMT PID pairs; program 0 names the network table.
  void readPat(std::span<const uint8_t> s) {
    if (s[0] != 0x00 || patRead_) return;
    for (size_t i = 8; s.size() - i >= 4 && programs_.size() < kMaxPrograms; i += 4) {
      const uint16_t number = static_cast<uint16_t>(s[i] << 8 | s[i + 1]);
      const uint16_t pid = static_cast<uint16_t>((s[i + 2] & 0x1F) << 8 | s[i + 3]);
      if (number != 0) programs_.push_back(Program{number, pid});
    }
    patRead_ = true;
  }

  // PMT: table id 2, length, program number, version, section numbers, PCR PID (13 bits),
  // program info length (12) and its descriptors, then per stream its type, PID (13 bits),
  // info length (12) and descriptors.
  void readPmt(uint16_t pid, std::span<const uint8_t> s) {
    if (s.size() < 12 || s[0] != 0x02) return;
    const uint16_t number = static_cast<uint16_t>(s[3] << 8 | s[4]);
    auto program = std::find_if(programs_.begin(), programs_.end(),
                                [&](const Program& g) { return g.pmtPid == pid && g.number == number && !g.read; });
    if (program == programs_.end()) return;
    program->read = true;
    program->pcrPid = static_cast<uint16_t>((s[8] & 0x1F) << 8 | s[9]);
    const size_t infoLength = (size_t{s[10]} & 0x0F) << 8 | s[11];
    if (infoLength > s.size() - 12) return;
    bool blueRay = layout_.period == 192;
    for (size_t i = 12; i + 6 <= 12 + infoLength;) {  // a program registration "HDMV" marks Blu-ray
      if (s[i] == 0x05 && s[i + 1] >= 4 && std::memcmp(&s[i + 2], "HDMV", 4) == 0) blueRay = true;
      i += 2 + s[i + 1];
    }
    for (size_t i = 12 + infoLength; s.size() - i >= 5;) {
      const uint8_t type = s[i];
      const uint16_t esPid = static_cast<uint16_t>((s[i + 1] & 0x1F) << 8 | s[i + 2]);
      const size_t length = (size_t{s[i + 3]} & 0x0F) << 8 | s[i + 4];
      if (length > s.size() - i - 5) break;
      const Descriptors d = ReadDescriptors(s.subspan(i + 5, length));
      const Codec codec = Classify(type, d, blueRay);
      if (codec != Codec::kNone && program->streams.size() < kMaxStreams && tracks_.size() < kMaxStreams) {
        program->streams.push_back(Stream{esPid, codec, d.opusChannels});
        tracks_[esPid].codec = codec;
      }
      i += 5 + length;
    }
  }

  // Elementary stream data: a packet that starts a PES packet carries its header and time.
  void esData(Track& t, std::span<const uint8_t> payload, bool start, bool tail) {
    if (start) {
      if (!tail) finishPes(t);
      if (payload.size() >= 9 && payload[0] == 0 && payload[1] == 0 && payload[2] == 1) {
        const auto h = ReadPesHeader(payload);
        if (h && h->pts) notePts(t, *h->pts, tail);
      }
      if (!tail && !t.format.described) t.pes.assign(payload.begin(), payload.end());
    } else if (!tail && !t.format.described && !t.pes.empty() && t.pes.size() < kMaxPes) {
      t.pes.insert(t.pes.end(), payload.begin(), payload.end());
    }
  }

  void notePts(Track& t, int64_t pts, bool tail) {
    if (t.firstPts < 0) {
      if (tail) return;
      t.firstPts = pts;
    }
    t.lastOffset = std::max(t.lastOffset, ClockOffset(pts, t.firstPts));
    t.tailPts = t.tailPts || tail;
    if (!tail && IsVideo(t.codec) && t.ptsSamples.size() < kPtsSamples) t.ptsSamples.push_back(pts);
  }

  // A gathered PES packet is complete: its elementary stream bytes describe the stream.
  void finishPes(Track& t) {
    if (t.format.described || t.pes.empty()) return;
    if (const auto h = ReadPesHeader(t.pes)) Describe(t.codec, std::span<const uint8_t>(t.pes).subspan(h->payload), t.format);
    t.pes.clear();
  }

  // The chosen program: the first with a video stream, else the first.
  const Program* chosen() const {
    for (const Program& g : programs_)
      if (g.read && std::any_of(g.streams.begin(), g.streams.end(), [](const Stream& s) { return IsVideo(s.codec); }))
        return &g;
    for (const Program& g : programs_)
      if (g.read) return &g;
    return nullptr;
  }

  const Stream* first(const Program* g, bool video) const {
    if (!g) return nullptr;
    for (const Stream& s : g->streams)
      if (video ? IsVideo(s.codec) : IsAudio(s.codec)) return &s;
    return nullptr;
  }

  bool ready(const Stream* s) const {
    if (!s) return true;
    const Track& t = tracks_.at(s->pid);
    if (!t.format.described || t.firstPts < 0) return false;
    return !IsVideo(s->codec) || t.format.fps > 0 || t.ptsSamples.size() >= kPtsSamples;
  }

  bool headDone() const {
    if (!patRead_ || std::any_of(programs_.begin(), programs_.end(), [](const Program& g) { return !g.read; }))
      return false;
    const Program* g = chosen();
    return g && ready(first(g, true)) && ready(first(g, false));
  }

  bool anyTailTime() const {
    const Program* g = chosen();
    for (const Stream* s : {first(g, true), first(g, false)})
      if (s && tracks_.at(s->pid).tailPts) return true;
    return false;
  }

  double frameRate(const Track& t) const;
  double playSeconds(const Program& g, const Stream* video, const Stream* audio) const;

  const MediaFile& file_;
  TsLayout layout_;
  bool patRead_ = false;
  std::vector<Program> programs_;
  std::map<uint16_t, Section> sections_;
  std::map<uint16_t, Track> tracks_;
  std::map<uint16_t, Clock> pcr_;
};

// The parameter sets' rate, else the shortest step between the first presentation times.
double TsReader::frameRate(const Track& t) const {
  if (t.format.fps > 0) return t.format.fps;
  std::vector<int64_t> times;
  for (int64_t pts : t.ptsSamples) times.push_back(ClockOffset(pts, t.firstPts));
  std::sort(times.begin(), times.end());
  int64_t step = 0;
  for (size_t i = 1; i < times.size(); ++i) {
    const int64_t d = times[i] - times[i - 1];
    if (d >= kClockRate / 300 && (step == 0 || d < step)) step = d;
  }
  return step > 0 ? double(kClockRate) / double(step) : 0.0;
}

// From the earliest first time of the chosen streams to the latest time seen of any of them, and
// the length of that stream's last frame; else the span of the program clock.
double TsReader::playSeconds(const Program& g, const Stream* video, const Stream* audio) const {
  int64_t reference = -1, start = 0, end = 0;
  double last = 0.0;
  for (const Stream* s : {video, audio}) {
    if (!s) continue;
    const Track& t = tracks_.at(s->pid);
    if (t.firstPts < 0) continue;
    if (reference < 0) reference = t.firstPts;
    const int64_t first = ClockOffset(t.firstPts, reference);
    const double frame = IsVideo(s->codec) ? (frameRate(t) > 0 ? 1.0 / frameRate(t) : 0.0) : t.format.frameSeconds;
    start = std::min(start, first);
    if (first + t.lastOffset >= end) {
      last = first + t.lastOffset == end ? std::max(last, frame) : frame;
      end = first + t.lastOffset;
    }
  }
  if (reference >= 0 && end > start) return double(end - start) / kClockRate + last;
  const auto clock = pcr_.find(g.pcrPid);
  if (clock != pcr_.end() && clock->second.lastOffset > 0) return double(clock->second.lastOffset) / kClockRate;
  return 0.0;
}

void TsReader::fill(MediaInfo& info) {
  const Program* g = chosen();
  if (!g) return;
  const Stream* video = first(g, true);
  const Stream* audio = first(g, false);
  for (auto& [pid, t] : tracks_) finishPes(t);

  const ContainerRange range = RangeOf(file_, info);
  const double seconds = playSeconds(*g, video, audio);
  if (seconds > 0 && static_cast<double>(range.size()) * 8.0 / seconds <= kMaxPlausibleBitRate) {
    info.duration_s = TruncToInt32(seconds);
    info.bitrate_kbps = TruncToInt32(static_cast<double>(range.size()) * 8.0 / seconds / 1000.0);
  }
  if (audio) {
    Track& t = tracks_.at(audio->pid);
    StreamInfo& a = info.ensureAudio();
    a.setCodec(CodecName(audio->codec, t.format));
    a.value1 = t.format.sampleRate;
    a.value2 = t.format.kbps;
    a.value3 = t.format.channels;
    if (audio->codec == Codec::kOpus) {
      a.value1 = 48000;  // Opus always decodes at 48 kHz
      a.value3 = audio->opusChannels;
    }
  }
  if (video) {
    const Track& t = tracks_.at(video->pid);
    StreamInfo& v = info.ensureVideo();
    v.setCodec(CodecName(video->codec, t.format));
    v.value1 = t.format.width;
    v.value2 = t.format.height;
    // The container states no stream rates: the video has what the audio leaves of the whole.
    v.value3 = std::max(0, info.bitrate_kbps - (info.audio ? info.audio->value2 : 0));
    info.fps = frameRate(t);
  }
}

}  // namespace

std::optional<TsLayout> FindTsLayout(std::span<const uint8_t> bytes) {
  for (const int period : kPeriods) {
    const size_t limit = std::min(bytes.size(), static_cast<size_t>(period));
    for (size_t at = 0; at < limit; ++at)
      if (bytes[at] == kSyncByte && SyncRun(bytes, at, period)) return TsLayout{period, static_cast<int64_t>(at)};
  }
  return std::nullopt;
}

int RunTs(MediaFile& file, MediaInfo& info) {
  if (!file.isOpen()) return 0;
  try {
    const ContainerRange range = RangeOf(file, info);
    std::vector<uint8_t> start(static_cast<size_t>(std::min<int64_t>(range.size(), 4096)));
    start.resize(file.readAt(range.start, start.data(), start.size()));
    auto layout = FindTsLayout(start);
    if (!layout) return 0;
    layout->first += range.start;
    TsReader reader(file, *layout);
    const int64_t headEnd = reader.readHead();
    if (!reader.tablesRead()) return 0;
    reader.readTail(headEnd);
    reader.fill(info);
    return 1;
  } catch (const ReadError&) {
    return 0;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

// MP4 / QuickTime probe: walks the atom tree, reading only headers and a handful of leaf atoms.
#include <algorithm>
#include <climits>
#include <iterator>
#include <new>
#include <string>
#include <string_view>

#include "probe/ByteReader.h"
#include "probe/MpegAudioHeader.h"
#include "probe/Parsers.h"

namespace {

// Any atom the walk reads into memory (and any child atom) is at most this large.
constexpr uint64_t kMaxAtomSize = 64 * 1024 * 1024;
// Stand-in media-data offset when a file has no "mdat".
constexpr int64_t kDefaultPayloadStart = 0x50000;
// Containers nested deeper than this are not looked into; real files use about six levels.
constexpr int kMaxDepth = 16;
// Sample-description entries shorter than this cannot hold the fields read from them.
constexpr uint32_t kMinSampleEntry = 36;

constexpr uint32_t Fourcc(std::string_view s) {
  return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) | (uint32_t(uint8_t(s[2])) << 8) |
         uint32_t(uint8_t(s[3]));
}

// Every atom type a file of this family may start with; detection compares the first atom's type.
// The QuickTime user-data names begin with the byte 0xA9 (©).
// clang-format off
constexpr std::string_view kKnownAtoms[] = {
    "ftyp", "mdat", "free", "skip", "wide", "moov", "trak", "clip", "matt", "edts", "tref", "mdia", "minf",
    "dinf", "udta", "stbl", "cmov", "rmra", "rmda", "gmhd", "play", "WLOC", "LOOP", "SelO", "AllF", "name",
    "MCPS", "@PRM", "@PRQ", "cmvd", "dcom", "rdrf", "url ", "alis", "rsrc", "rmqu", "rmcs", "rmvc", "rmcd",
    "rmdr", "rmla", "stsd", "stts", "stss", "stsc", "stsz", "stco", "dref", "gmin", "smhd", "vmhd", "hdlr",
    "mdhd", "pnot", "crgn", "load", "tmcd", "chap", "sync", "scpt", "ssrc", "elst", "kmat", "ctab", "mvhd",
    "tkhd", "meta", "nsav", "ctyp", "pano", "imgt", "FXTC", "PrmA", "code",
    "\xA9" "cpy", "\xA9" "day", "\xA9" "dir", "\xA9" "ed1", "\xA9" "ed2", "\xA9" "ed3", "\xA9" "ed4",
    "\xA9" "ed5", "\xA9" "ed6", "\xA9" "ed7", "\xA9" "ed8", "\xA9" "ed9", "\xA9" "fmt", "\xA9" "inf",
    "\xA9" "prd", "\xA9" "prf", "\xA9" "req", "\xA9" "src", "\xA9" "wrt", "\xA9" "nam", "\xA9" "cmt",
    "\xA9" "wrn", "\xA9" "hst", "\xA9" "mak", "\xA9" "mod", "\xA9" "PRD", "\xA9" "swr", "\xA9" "aut",
    "\xA9" "ART", "\xA9" "trk", "\xA9" "alb", "\xA9" "com", "\xA9" "gen", "\xA9" "ope", "\xA9" "url",
    "\xA9" "enc",
};
static_assert(std::size(kKnownAtoms) == 110);

// Atoms whose payload is nothing but child atoms.
constexpr std::string_view kContainers[] = {
    "moov", "trak", "clip", "matt", "edts", "tref", "mdia", "minf",
    "dinf", "udta", "stbl", "cmov", "rmra", "rmda", "gmhd", "cmvd",
};

// Sample-description formats that name a video codec even where the vendor field is 0, as it is
// in every ISO (MP4, 3GP) sample entry, audio and video alike.
constexpr std::string_view kVideoFormats[] = {
    "mp4v", "avc1", "qtvr", "avc3", "hvc1", "hev1", "av01", "vp08",
    "vp09", "s263", "h263", "mjp2", "jpeg", "dvh1", "dvhe", "encv",
};
// clang-format on

template <size_t N>
bool Contains(const std::string_view (&names)[N], uint32_t type) {
  return std::any_of(std::begin(names), std::end(names),
                     [type](std::string_view name) { return Fourcc(name) == type; });
}

// A four-character code as C text: it ends at its first NUL.
std::string FourccText(uint32_t code) {
  const char text[5] = {char(code >> 24), char(code >> 16), char(code >> 8), char(code), '\0'};
  return std::string(text);
}

// Whole seconds of a header duration. All ones means "unknown" and counts as nothing.
int32_t Seconds(uint64_t duration, uint64_t allOnes, uint32_t timescale) {
  if (duration == allOnes || timescale == 0 || timescale > INT32_MAX) return 0;
  return static_cast<int32_t>(std::min<uint64_t>(duration / timescale, INT32_MAX));
}

// The movie and media headers: time scale and duration, 32-bit in version 0, with 64-bit
// times and duration in version 1.
int32_t HeaderSeconds(ByteReader p) {
  const uint8_t version = p.u8();
  p.skip(3);  // flags
  if (version == 1) {
    p.skip(16);  // creation and modification times
    const uint32_t timescale = p.u32be();
    return Seconds(p.u64be(), UINT64_MAX, timescale);
  }
  p.skip(8);  // creation and modification times
  const uint32_t timescale = p.u32be();
  return Seconds(p.u32be(), UINT32_MAX, timescale);
}

class Mp4Walk {
 public:
  explicit Mp4Walk(MediaInfo& info) : info_(info) {}

  int64_t mdatPos = 0;
  int64_t mdatSize = 0;

  // One atom's payload; 1 to go on, 0 when a container's walk met an oversized child.
  int handleAtom(uint32_t type, ByteReader payload, int depth, uint32_t parent = 0) {
    if (type == Fourcc("trak")) trackHandler_ = 0;
    if (Contains(kContainers, type)) return depth < kMaxDepth ? walkChildren(payload, depth + 1, type) : 1;
    try {
      if (type == Fourcc("hdlr") && parent == Fourcc("mdia")) mediaHandler(payload);
      if (type == Fourcc("stsd")) sampleDescriptions(payload);
      if (type == Fourcc("mvhd")) movieHeader(payload);
      if (type == Fourcc("mdhd")) mediaHeader(payload);
      if (type == Fourcc("tkhd")) trackHeader(payload);
      if (type == Fourcc("stts")) timeToSample(payload);
    } catch (const ReadError&) {
      // A leaf atom too short for its fields contributes what it had; the walk goes on.
    }
    return 1;
  }

  // Top-level atoms worth reading into memory.
  static bool handles(uint32_t type) {
    return Contains(kContainers, type) || type == Fourcc("stsd") || type == Fourcc("mvhd") || type == Fourcc("mdhd") ||
           type == Fourcc("tkhd") || type == Fourcc("stts");
  }

  // The first bytes of the media data may be an MPEG audio frame header: such files carry
  // their audio as a plain MPEG audio stream.
  void mediaDataStart(const uint8_t (&bytes)[4]) {
    auto header = DecodeMpegAudioHeader(bytes);
    if (!header || header->bitrateIndex == 0 || header->bitrateIndex == 15) return;
    StreamInfo& audio = info_.ensureAudio();
    audio.value2 = header->bitrateKbps;
    audio.value3 = header->channels;
    audio.value1 = header->sampleRate;
    audio.setCodec(std::string("MPEG") + header->versionName());
    info_.bitrate_kbps = header->bitrateKbps;
    const double seconds = double(info_.end_offset) * 8.0 / (header->bitrateKbps * 1000.0);
    info_.duration_s = static_cast<int32_t>(std::min<double>(seconds + 0.5, INT32_MAX));
  }

 private:
  // Children of a container: each is a 32-bit size and a type; the first child that is empty,
  // invalid or does not fit ends the walk, hiding its later siblings.
  int walkChildren(ByteReader r, int depth, uint32_t parent) {
    while (r.remaining() >= 4) {
      const int64_t start = r.pos();
      const uint32_t size = r.u32be();
      if (size == 0) return 1;
      if (size > kMaxAtomSize) return 0;
      if (size > r.end() - start) return 1;
      if (size <= 8) return 1;  // empty, or smaller than its own header
      const uint32_t type = r.u32be();
      handleAtom(type, r.sub(size - 8), depth, parent);
      r.seek(start + size);
    }
    return 1;
  }

  void sampleDescriptions(ByteReader p) {
    p.skip(4);  // version and flags
    const uint32_t count = p.u32be();
    for (uint32_t i = 0; i < count && p.remaining() >= 8; ++i) {
      const int64_t start = p.pos();
      const uint32_t size = p.u32be();
      const uint32_t format = p.u32be();
      if (size < 8 || size > p.end() - start) return;  // cannot advance, or leaves the atom
      if (size >= kMinSampleEntry && size < kMaxAtomSize) sampleEntry(p.sub(size - 8), format);
      p.seek(start + size);
    }
  }

  // One sample description: QuickTime video entries carry a vendor code, sound entries and all
  // ISO entries a zero there; sound entries then give channels and a 16.16 sample rate.
  void sampleEntry(ByteReader e, uint32_t format) {
    e.skip(8);  // reserved, data-reference index
    e.skip(4);  // version, revision
    const uint32_t vendor = e.u32be();
    const uint16_t channels = e.u16be();
    e.skip(6);  // sample size, compression id, packet size
    const uint32_t sampleRate = e.u32be();
    const bool named = (format >> 24) != 0;
    std::string videoCodec;
    if (vendor == 0) {
      StreamInfo& audio = info_.ensureAudio();
      if (Contains(kVideoFormats, format)) {
        videoCodec = FourccText(format);
      } else if (named) {
        audio.setCodec(FourccText(format));
        audio.value3 = channels;
        audio.value1 = static_cast<int32_t>(sampleRate >> 16);
      }
    } else if (named) {
      videoCodec = FourccText(format);
    }
    if (!videoCodec.empty()) info_.ensureVideo().setCodec(videoCodec);
  }

  void movieHeader(ByteReader p) { info_.duration_s = HeaderSeconds(p); }

  // A media header decides only when the movie header gave no usable play time.
  void mediaHeader(ByteReader p) {
    if (info_.duration_s == 0 || info_.duration_s == 1) info_.duration_s = HeaderSeconds(p);
  }

  // Track size, 16.16; the largest track wins, audio tracks (0 x 0) do not count.
  void trackHeader(ByteReader p) {
    const uint8_t version = p.u8();
    p.skip((version == 1 ? 88 : 76) - 1);
    const auto width = static_cast<int32_t>(p.u32be() >> 16);
    const auto height = static_cast<int32_t>(p.u32be() >> 16);
    if (width <= 0 || height <= 0) return;
    StreamInfo& video = info_.ensureVideo();
    video.value1 = std::max(video.value1, width);
    video.value2 = std::max(video.value2, height);
  }

  // The media handler names the kind of the current track ("vide", "soun", "tmcd", ...).
  void mediaHandler(ByteReader p) {
    p.skip(8);  // version, flags, component type
    trackHandler_ = p.u32be();
  }

  // The first time-to-sample table of a video track (or of a track without a media handler)
  // gives the frame rate: samples per second of play.
  void timeToSample(ByteReader p) {
    if (trackHandler_ != 0 && trackHandler_ != Fourcc("vide")) return;
    p.skip(4);  // version and flags
    const uint32_t count = p.u32be();
    const uint64_t present = static_cast<uint64_t>(p.remaining()) / 8;
    uint64_t samples = 0;
    for (uint64_t i = 0; i < std::min<uint64_t>(count, present); ++i) {
      samples += p.u32be();
      p.skip(4);  // sample delta
    }
    if (info_.fps <= 0.0 && info_.duration_s != 0) info_.fps = double(samples) / info_.duration_s;
  }

  MediaInfo& info_;
  uint32_t trackHandler_ = 0;  // of the track being walked; 0 until its media handler is read
};

// The top-level walk: headers are read one by one, "mdat" is skipped by seeking, and any other
// atom the walk looks into is read whole (so "moov" costs one read). Returns the last handler's value.
int WalkTopLevel(MediaFile& file, Mp4Walk& walk, const MediaInfo& info) {
  const int64_t limit = std::min<int64_t>(info.end_offset, file.size());
  ByteReader r(file, 0, limit);
  int64_t pos = info.start_offset;
  int result = 1;
  while (pos >= 0 && pos < limit) {
    if (limit - pos < 8) break;
    r.seek(pos);
    uint64_t size = r.u32be();
    const uint32_t type = r.u32be();
    int64_t headerSize = 8;
    if (size == 1) {
      if (limit - pos < 16) break;
      size = r.u64be();
      headerSize = 16;
    }
    if (size == 0 || size < static_cast<uint64_t>(headerSize)) break;
    if (size > static_cast<uint64_t>(limit - pos)) break;  // a truncated atom is never read

    if (type == Fourcc("mdat")) {
      if (size > 8) {
        walk.mdatPos = pos;
        walk.mdatSize = static_cast<int64_t>(size);
      }
      if (size - headerSize >= 4) {
        uint8_t first[4];
        r.read(first, 4);
        walk.mediaDataStart(first);
      }
    } else if (type != Fourcc("free") && type != Fourcc("skip") && type != Fourcc("wide")) {
      if (size > kMaxAtomSize) break;
      if (Mp4Walk::handles(type)) {
        MediaFile payload = MediaFile::FromMemory(r.bytes(static_cast<size_t>(size - headerSize)));
        result = walk.handleAtom(type, ByteReader(payload), 0);
        if (result < 1) break;
      } else {
        result = 1;  // nothing to learn from it
      }
    }
    pos += static_cast<int64_t>(size);
  }
  return result;
}

}  // namespace

bool IsAtom(std::span<const uint8_t> header) {
  if (header.size() < 8 || header[0] != 0) return false;
  const uint32_t type =
      (uint32_t{header[4]} << 24) | (uint32_t{header[5]} << 16) | (uint32_t{header[6]} << 8) | uint32_t{header[7]};
  return Contains(kKnownAtoms, type);
}

int ParseMp4(MediaFile& file, MediaInfo& info) {
  if (!file.isOpen()) return 0;
  PositionGuard restore(file);
  Mp4Walk walk(info);
  int result = 1;
  try {
    result = WalkTopLevel(file, walk, info);
  } catch (const ReadError&) {
    // A short read ends the walk like the end of the file does.
  } catch (const std::bad_alloc&) {
    return -8000;
  }

  if (info.duration_s > 0) {
    const int64_t kbps = (info.end_offset - info.start_offset) * 8 / info.duration_s / 1024;
    info.bitrate_kbps = static_cast<int32_t>(std::clamp<int64_t>(kbps, INT32_MIN, INT32_MAX));
  }
  const auto low = static_cast<int32_t>(static_cast<uint32_t>(walk.mdatPos));
  info.payload_start = low != 0 ? low : static_cast<int32_t>(kDefaultPayloadStart);
  int64_t end = walk.mdatPos + walk.mdatSize;
  if (end <= 0) end = info.end_offset - kDefaultPayloadStart;
  if (end <= 0) end = info.end_offset;
  info.payload_end = std::min(end, info.end_offset);
  return result;
}

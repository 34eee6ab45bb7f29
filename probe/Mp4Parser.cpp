// MP4 / QuickTime probe: walks the atom tree, reading only headers and a handful of leaf atoms.
#include <algorithm>
#include <bit>
#include <climits>
#include <iterator>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "probe/AacConfig.h"
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
// Movie fragments whose headers are read for the play time, and how much of each is read: real
// fragments take a few kilobytes for several seconds of samples.
constexpr size_t kMaxFragments = 100000;
constexpr size_t kMaxFragmentRead = 4 * 1024 * 1024;

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
    "dinf", "udta", "stbl", "cmov", "rmra", "rmda", "gmhd", "cmvd", "mvex",
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

// Whole seconds of a header duration.
int32_t Seconds(uint64_t duration, uint32_t timescale) {
  if (timescale == 0 || timescale > INT32_MAX) return 0;
  return static_cast<int32_t>(std::min<uint64_t>(duration / timescale, INT32_MAX));
}

uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

struct HeaderTimes {
  uint32_t timescale = 0;
  uint64_t duration = 0;
};

// The movie and media headers: time scale and duration, 32-bit in version 0, with 64-bit
// times and duration in version 1. A duration of all ones means "unknown" and reads as 0.
HeaderTimes ReadHeaderTimes(ByteReader p) {
  HeaderTimes t;
  const uint8_t version = p.u8();
  p.skip(3);  // flags
  if (version == 1) {
    p.skip(16);  // creation and modification times
    t.timescale = p.u32be();
    t.duration = p.u64be();
    if (t.duration == UINT64_MAX) t.duration = 0;
  } else {
    p.skip(8);  // creation and modification times
    t.timescale = p.u32be();
    t.duration = p.u32be();
    if (t.duration == UINT32_MAX) t.duration = 0;
  }
  return t;
}

// What the walk learns about one track, for its frame rate and for the play time of fragments.
struct Track {
  uint32_t id = 0;         // from the track header
  uint32_t handler = 0;    // media handler: "vide", "soun", ...; 0 until read
  uint32_t timescale = 0;  // media header: units per second
  uint64_t samples = 0;    // time-to-sample table: samples in the movie atom
  uint64_t units = 0;      // and their total duration in the time scale (UINT64_MAX: too large to use)
  uint32_t videoFormat = 0;  // the video sample entry's format, 0 when none
  bool enabled = true;       // the track header's "enabled" flag
};

// Picture formats a track of still images (cover art, chapter pictures) is stored in.
constexpr std::string_view kStillFormats[] = {"jpeg", "png ", "PNG ", "gif ", "bmp ", "tiff"};

// Tracks and per-track fragment defaults kept for fragmented files; real files have a few.
constexpr size_t kMaxTracks = 64;

class Mp4Walk {
 public:
  explicit Mp4Walk(MediaInfo& info) : info_(info) {}

  int64_t mdatPos = 0;
  int64_t mdatSize = 0;
  // Payloads of the top-level "moof" atoms, in file order, up to kMaxFragments.
  std::vector<std::pair<int64_t, int64_t>> fragments;
  bool movieExtends = false;      // "mvex" seen: the movie continues in fragments
  uint64_t fragmentDuration = 0;  // "mehd", in the movie time scale
  uint32_t movieTimescale = 0;
  std::vector<Track> tracks;
  std::vector<std::pair<uint32_t, uint32_t>> trackDefaults;  // "trex": track id, default sample duration

  // One atom's payload; 1 to go on, 0 when a container's walk met an oversized child.
  int handleAtom(uint32_t type, ByteReader payload, int depth, uint32_t parent = 0) {
    if (type == Fourcc("trak")) track_ = Track{};
    if (type == Fourcc("mvex")) movieExtends = true;
    if (Contains(kContainers, type)) {
      if (depth >= kMaxDepth) return 1;
      const VideoState before = saveVideo(type);
      const int result = walkChildren(payload, depth + 1, type);
      if (type == Fourcc("trak")) {
        if (isStillImageTrack()) restoreVideo(before);
        if (tracks.size() < kMaxTracks) tracks.push_back(track_);
      }
      return result;
    }
    try {
      if (type == Fourcc("hdlr") && parent == Fourcc("mdia")) mediaHandler(payload);
      if (type == Fourcc("stsd")) sampleDescriptions(payload);
      if (type == Fourcc("mvhd")) movieHeader(payload);
      if (type == Fourcc("mdhd")) mediaHeader(payload);
      if (type == Fourcc("tkhd")) trackHeader(payload);
      if (type == Fourcc("stts")) timeToSample(payload);
      if (type == Fourcc("mehd")) movieExtendsHeader(payload);
      if (type == Fourcc("trex")) trackExtends(payload);
    } catch (const ReadError&) {
      // A leaf atom too short for its fields contributes what it had; the walk goes on.
    }
    return 1;
  }

  // What the video description was before a track: a track of still pictures must leave it so.
  struct VideoState {
    std::optional<StreamInfo> video;
    double fps = 0.0;
  };
  VideoState saveVideo(uint32_t type) const {
    if (type != Fourcc("trak") || !info_.video) return {std::nullopt, info_.fps};
    return {*info_.video, info_.fps};
  }
  void restoreVideo(const VideoState& state) {
    if (state.video) info_.ensureVideo() = *state.video;
    else info_.video.reset();
    info_.fps = state.fps;
  }

  // Cover art and chapter pictures: a picture track ("pict"), or a video track whose samples are
  // JPEG or PNG pictures and that holds one of them or is not meant to play (disabled). An audio
  // file with its cover is still an audio file.
  bool isStillImageTrack() const {
    if (track_.handler == Fourcc("pict")) return true;
    const bool video = track_.handler == 0 || track_.handler == Fourcc("vide");
    return video && Contains(kStillFormats, track_.videoFormat) && (track_.samples <= 1 || !track_.enabled);
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

  // One sample description. The track's media handler says whether it describes sound or
  // video; without a handler, QuickTime video entries carry a vendor code, sound entries and all ISO
  // entries a zero there. Sound entries then give channels and a 16.16 sample rate.
  void sampleEntry(ByteReader e, uint32_t format) {
    e.skip(8);  // reserved, data-reference index
    const uint16_t version = e.u16be();
    e.skip(2);  // revision
    const uint32_t vendor = e.u32be();
    const uint16_t channels = e.u16be();
    e.skip(6);  // sample size, compression id, packet size
    const uint32_t sampleRate = e.u32be();
    const bool named = (format >> 24) != 0;
    const bool sound = track_.handler == Fourcc("soun");
    const bool video = track_.handler == Fourcc("vide");
    // Timed metadata, captions, text and time codes describe neither stream.
    if (track_.handler != 0 && !sound && !video) return;
    std::string videoCodec;
    if (sound && named) {
      soundEntry(e, format, version, channels, sampleRate);
    } else if (video && named) {
      videoCodec = FourccText(format);
    } else if (!sound && !video && vendor == 0) {
      info_.ensureAudio();
      if (Contains(kVideoFormats, format)) {
        videoCodec = FourccText(format);
      } else if (named) {
        soundEntry(e, format, version, channels, sampleRate);
      }
    } else if (!sound && !video && named) {
      videoCodec = FourccText(format);
    }
    if (!videoCodec.empty()) {
      info_.ensureVideo().setCodec(videoCodec);
      track_.videoFormat = format;
    }
  }

  // The first sound description decides, as the first audio track is the one a player starts
  // with; later tracks are commentaries, other languages or other mixes.
  void soundEntry(ByteReader e, uint32_t format, uint16_t version, uint16_t channels, uint32_t sampleRate) {
    if (soundDescribed_) return;
    soundDescribed_ = true;
    StreamInfo& audio = info_.ensureAudio();
    audio.setCodec(FourccText(format));
    audio.value3 = channels;
    audio.value1 = static_cast<int32_t>(sampleRate >> 16);
    // The speech codecs of 3GPP and 3GPP2 have one fixed rate and one channel; the entry's
    // fields are placeholders (ISO entries always say 2 channels at the time scale).
    if (format == Fourcc("sawb")) {
      audio.value1 = 16000;
      audio.value3 = 1;
      return;
    }
    for (std::string_view narrowband : {"samr", "sqcp", "sevc", "secb", "ssmv"}) {
      if (format == Fourcc(narrowband)) {
        audio.value1 = 8000;
        audio.value3 = 1;
        return;
      }
    }
    soundEntryDetails(e, version, audio);
    // A rate the 16.16 field cannot hold is written as 0; the sound track's time scale is its rate.
    if (audio.value1 == 0 && track_.handler == Fourcc("soun") && track_.timescale <= INT32_MAX)
      audio.value1 = static_cast<int32_t>(track_.timescale);
  }

  // What follows the common sound fields. QuickTime version 1 entries add four packet fields;
  // version 2 entries leave a placeholder of 3 channels at 1 Hz in the common fields and state
  // the real values after them. ISO entries always say 2 channels; AAC, Opus and AC-3 state
  // their own in a configuration child (AAC's inside a "wave" atom in QuickTime files), which
  // is what a player goes by.
  void soundEntryDetails(ByteReader e, uint16_t version, StreamInfo& audio) {
    try {
      if (version == 1) e.skip(16);  // samples per packet, bytes per packet, frame and sample
      if (version == 2) {
        e.skip(4);  // size of this structure
        const double rate = std::bit_cast<double>(e.u64be());
        const uint32_t count = e.u32be();
        e.skip(20);  // constant 0x7F000000, bits per channel, flags, bytes and frames per packet
        if (rate >= 1 && rate <= INT32_MAX) audio.value1 = static_cast<int32_t>(rate);
        if (count >= 1 && count <= INT32_MAX) audio.value3 = static_cast<int32_t>(count);
      }
      if (e.remaining() < 8) return;
      const ByteReader children = e.sub(e.remaining());
      if (auto dops = findChild(children, Fourcc("dOps"), 0); dops && dops->remaining() >= 8) {
        // Opus: version, output channel count, pre-skip, input rate; it always decodes at 48 kHz.
        dops->skip(1);
        const uint8_t count = dops->u8();
        if (count > 0) audio.value3 = count;
        audio.value1 = 48000;
        return;
      }
      if (auto dac3 = findChild(children, Fourcc("dac3"), 0); dac3 && dac3->remaining() >= 3) {
        const uint32_t bits = dac3->u24be();
        static constexpr int kRates[4] = {48000, 44100, 32000, 0};
        static constexpr int kModeChannels[8] = {2, 1, 2, 3, 3, 4, 4, 5};
        // fscod (2), bsid (5), bsmod (3), acmod (3), lfeon (1), bit rate code (5), reserved (5)
        if (kRates[bits >> 22] > 0) audio.value1 = kRates[bits >> 22];
        audio.value3 = kModeChannels[(bits >> 11) & 7] + static_cast<int>((bits >> 10) & 1);
        return;
      }
      auto esds = findChild(children, Fourcc("esds"), 0);
      auto config = esds ? ReadEsdsAacConfig(*esds) : std::nullopt;
      if (!config) return;
      if (config->channels > 0) audio.value3 = config->channels;
      // A rate the entry states stands when the configuration agrees with it, also as the doubled
      // rate of SBR that the configuration need not announce.
      const int stated = audio.value1;
      const bool agrees =
          stated == config->outputSampleRate || (!config->explicitSbr && stated == 2 * config->coreSampleRate);
      if (config->outputSampleRate > 0 && !agrees) audio.value1 = config->outputSampleRate;
    } catch (const ReadError&) {
      // An entry cut short keeps what its common fields said.
    }
  }

  // The payload of the first child of that type, looking into a "wave" atom once.
  std::optional<ByteReader> findChild(ByteReader r, uint32_t wanted, int depth) {
    while (r.remaining() >= 8) {
      const int64_t start = r.pos();
      const uint32_t size = r.u32be();
      const uint32_t type = r.u32be();
      if (size < 8 || size > r.end() - start) return std::nullopt;
      if (type == wanted) return r.sub(size - 8);
      if (type == Fourcc("wave") && depth == 0) {
        if (auto found = findChild(r.sub(size - 8), wanted, depth + 1)) return found;
      }
      r.seek(start + size);
    }
    return std::nullopt;
  }

  void movieHeader(ByteReader p) {
    const HeaderTimes t = ReadHeaderTimes(p);
    movieTimescale = t.timescale;
    info_.duration_s = Seconds(t.duration, t.timescale);
  }

  // A media header decides only when the movie header gave no usable play time.
  void mediaHeader(ByteReader p) {
    const HeaderTimes t = ReadHeaderTimes(p);
    track_.timescale = t.timescale;
    if (info_.duration_s == 0 || info_.duration_s == 1) info_.duration_s = Seconds(t.duration, t.timescale);
  }

  // Track id, and the track size, 16.16; the largest track wins, audio tracks (0 x 0) do not count.
  void trackHeader(ByteReader p) {
    const uint8_t version = p.u8();
    track_.enabled = p.u24be() & 1;  // flags: bit 0 "enabled"
    p.skip(version == 1 ? 16 : 8);   // creation and modification times
    track_.id = p.u32be();
    p.skip((version == 1 ? 88 : 76) - (version == 1 ? 24 : 16));
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
    track_.handler = p.u32be();
  }

  // The first time-to-sample table of a video track (or of a track without a media handler)
  // gives the frame rate: its samples over their total duration in the track's own time scale,
  // which keeps 29.97 apart from 30 and does not round the play time to whole seconds. Without
  // a time scale or durations the samples are spread over the whole seconds of play.
  void timeToSample(ByteReader p) {
    p.skip(4);  // version and flags
    const uint32_t count = p.u32be();
    const uint64_t present = static_cast<uint64_t>(p.remaining()) / 8;
    uint64_t samples = 0;
    uint64_t units = 0;
    for (uint64_t i = 0; i < std::min<uint64_t>(count, present); ++i) {
      const uint32_t samplesOfEntry = p.u32be();
      const uint32_t delta = p.u32be();
      samples += samplesOfEntry;
      units = SaturatingAdd(units, uint64_t{samplesOfEntry} * delta);
    }
    track_.samples = samples;
    track_.units = units;
    if (track_.handler != 0 && track_.handler != Fourcc("vide")) return;
    if (info_.fps > 0.0) return;
    if (track_.timescale != 0 && units != 0 && units != UINT64_MAX) {
      info_.fps = double(samples) * track_.timescale / double(units);
    } else if (info_.duration_s != 0) {
      info_.fps = double(samples) / info_.duration_s;
    }
  }

  // The movie extends header: the play time of the whole fragmented movie.
  void movieExtendsHeader(ByteReader p) {
    const uint8_t version = p.u8();
    p.skip(3);  // flags
    fragmentDuration = version == 1 ? p.u64be() : p.u32be();
  }

  // Track extends: the sample duration a fragment's samples have unless they say otherwise.
  void trackExtends(ByteReader p) {
    p.skip(4);  // version and flags
    const uint32_t id = p.u32be();
    p.skip(4);  // default sample description index
    const uint32_t duration = p.u32be();
    if (trackDefaults.size() < kMaxTracks) trackDefaults.emplace_back(id, duration);
  }

  MediaInfo& info_;
  Track track_;  // the track being walked
  bool soundDescribed_ = false;
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
        // Fragments are only noted here: they are read later, and only when the movie needs them.
        if (type == Fourcc("moof") && walk.fragments.size() < kMaxFragments)
          walk.fragments.emplace_back(pos + headerSize, pos + static_cast<int64_t>(size));
        result = 1;  // nothing to learn from it now
      }
    }
    pos += static_cast<int64_t>(size);
  }
  return result;
}

// Sums the sample durations of one track over movie fragments ("moof" → "traf" → "tfhd", "tfdt",
// "trun"), reading only those headers, at most kMaxFragmentRead bytes of each fragment.
class FragmentTimes {
 public:
  FragmentTimes(const MediaFile& file, uint32_t trackId, uint32_t defaultDuration)
      : file_(file), trackId_(trackId), trexDuration_(defaultDuration) {}

  uint64_t samples = 0;
  uint64_t units = 0;      // total duration of those samples, in the track's time scale
  uint64_t latestEnd = 0;  // largest decode time at a fragment's end, where fragments state it

  void read(int64_t begin, int64_t end) {
    ByteReader moof(file_, begin, std::min(end, begin + static_cast<int64_t>(kMaxFragmentRead)));
    try {
      forEachChild(moof, [this](uint32_t type, ByteReader body) {
        if (type == Fourcc("traf")) trackFragment(body);
      });
    } catch (const ReadError&) {
      // A fragment cut short adds what it held before the cut.
    }
  }

 private:
  // Children of a fragment atom. One that runs past what was read (the end of the file, or of
  // the part of a large fragment that is read) is the last, and counts with what it holds.
  template <typename Visit>
  static void forEachChild(ByteReader r, Visit visit) {
    while (r.remaining() >= 8) {
      const int64_t start = r.pos();
      const uint32_t size = r.u32be();
      const uint32_t type = r.u32be();
      if (size < 8) return;
      visit(type, r.sub(size - 8));
      if (size >= r.end() - start) return;
      r.seek(start + size);
    }
  }

  void trackFragment(ByteReader traf) {
    bool mine = false;
    uint32_t defaultDuration = trexDuration_;
    std::optional<uint64_t> baseTime;
    uint64_t fragmentUnits = 0;
    forEachChild(traf, [&](uint32_t type, ByteReader body) {
      if (type == Fourcc("tfhd")) {
        mine = fragmentHeader(body, &defaultDuration);
      } else if (mine && type == Fourcc("tfdt")) {
        const uint8_t version = body.u8();
        body.skip(3);  // flags
        baseTime = version == 1 ? body.u64be() : body.u32be();
      } else if (mine && type == Fourcc("trun")) {
        fragmentUnits = SaturatingAdd(fragmentUnits, trackRun(body, defaultDuration));
      }
    });
    if (mine && baseTime) latestEnd = std::max(latestEnd, SaturatingAdd(*baseTime, fragmentUnits));
  }

  // Track fragment header: whether it is the track being summed, and its default duration.
  bool fragmentHeader(ByteReader p, uint32_t* defaultDuration) const {
    const uint32_t flags = p.u32be() & 0xFFFFFF;
    if (p.u32be() != trackId_) return false;
    if (flags & 0x01) p.skip(8);  // base data offset
    if (flags & 0x02) p.skip(4);  // sample description index
    if (flags & 0x08) *defaultDuration = p.u32be();
    return true;
  }

  // A track run: its samples, with their own durations when it lists them. Returns the run's duration.
  uint64_t trackRun(ByteReader p, uint32_t defaultDuration) {
    const uint32_t flags = p.u32be() & 0xFFFFFF;
    const uint32_t count = p.u32be();
    if (flags & 0x001) p.skip(4);  // data offset
    if (flags & 0x004) p.skip(4);  // first sample flags
    // Per sample, in this order when present: duration, size, flags, composition offset.
    const int perSample = 4 * std::popcount(flags & 0xF00);
    uint64_t duration = 0;
    if (flags & 0x100) {
      const uint64_t present = std::min<uint64_t>(count, static_cast<uint64_t>(p.remaining()) / perSample);
      for (uint64_t i = 0; i < present; ++i) {
        duration += p.u32be();
        p.skip(perSample - 4);
      }
      samples = SaturatingAdd(samples, present);
    } else {
      duration = uint64_t{count} * defaultDuration;
      samples = SaturatingAdd(samples, count);
    }
    units = SaturatingAdd(units, duration);
    return duration;
  }

  const MediaFile& file_;
  uint32_t trackId_;
  uint32_t trexDuration_;
};

// The track whose fragments time the movie: the first video track, else the first sound track,
// else the first track.
const Track* ReferenceTrack(const std::vector<Track>& tracks) {
  for (uint32_t handler : {Fourcc("vide"), Fourcc("soun")}) {
    for (const Track& t : tracks)
      if (t.handler == handler) return &t;
  }
  return tracks.empty() ? nullptr : &tracks.front();
}

// A fragmented movie keeps most of its samples, often all of them, in fragments after the movie
// atom, whose headers then say 0 or only the part they index. The movie extends header gives the
// whole play time when present; otherwise the durations in the fragments of one track are summed.
// Files without fragments never get here, so their probe stays a handful of reads.
void FragmentedPlayTime(const MediaFile& file, const Mp4Walk& walk, MediaInfo& info) {
  bool timed = false;
  if (walk.movieExtends && walk.fragmentDuration != 0) {
    const int32_t seconds = Seconds(walk.fragmentDuration, walk.movieTimescale);
    if (seconds > 0) {
      info.duration_s = std::max(info.duration_s, seconds);
      timed = true;
    }
  }
  // The fragments are still read when the header timed the movie but the sample tables left the
  // frame rate unknown: they hold every sample then.
  if (timed && info.fps > 0.0) return;
  if (walk.fragments.empty() || (info.duration_s != 0 && !walk.movieExtends)) return;
  const Track* track = ReferenceTrack(walk.tracks);
  if (!track || track->timescale == 0) return;
  const bool video = track->handler == 0 || track->handler == Fourcc("vide");
  if (timed && !video) return;
  uint32_t defaultDuration = 0;
  for (const auto& [id, duration] : walk.trackDefaults) {
    if (id == track->id) {
      defaultDuration = duration;
      break;
    }
  }
  FragmentTimes times(file, track->id, defaultDuration);
  for (const auto& [begin, end] : walk.fragments) times.read(begin, end);

  const uint64_t inMovie = track->units == UINT64_MAX ? 0 : track->units;
  const uint64_t summed = SaturatingAdd(inMovie, times.units);
  if (!timed) {
    const int32_t seconds = Seconds(std::max(summed, times.latestEnd), track->timescale);
    info.duration_s = std::max(info.duration_s, seconds);
  }
  const uint64_t samples = SaturatingAdd(track->samples, times.samples);
  if (info.fps <= 0.0 && video && samples != 0 && summed != 0 && summed != UINT64_MAX)
    info.fps = double(samples) * track->timescale / double(summed);
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
  FragmentedPlayTime(file, walk, info);

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

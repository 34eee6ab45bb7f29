// Matroska probe: walks the EBML tree of a file's head up to the first cluster after the track list.
#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "probe/AacConfig.h"
#include "probe/ByteReader.h"
#include "probe/Parsers.h"
#include "probe/ProbeNumbers.h"

namespace {

// Element IDs with their length-marker bit cleared, the way the reader returns them.
constexpr uint64_t kEbmlHeader = 0x0A45DFA3;
constexpr uint64_t kSegment = 0x08538067;
constexpr uint64_t kSeekHead = 0x014D9B74;
constexpr uint64_t kInfo = 0x0549A966;
constexpr uint64_t kTimecodeScale = 0x0AD7B1;
constexpr uint64_t kDuration = 0x0489;
constexpr uint64_t kTracks = 0x0654AE6B;
constexpr uint64_t kTrackEntry = 0x2E;
constexpr uint64_t kTrackType = 0x03;
constexpr uint64_t kCodecId = 0x06;
constexpr uint64_t kDefaultDuration = 0x03E383;
constexpr uint64_t kVideo = 0x60;
constexpr uint64_t kPixelWidth = 0x30;
constexpr uint64_t kPixelHeight = 0x3A;
constexpr uint64_t kAudio = 0x61;
constexpr uint64_t kChannels = 0x1F;
constexpr uint64_t kSamplingFrequency = 0x35;
constexpr uint64_t kOutputSamplingFrequency = 0x38B5;
constexpr uint64_t kFlagDefault = 0x08;
constexpr uint64_t kCodecPrivate = 0x23A2;
constexpr uint64_t kCluster = 0x0F43B675;
constexpr uint64_t kCues = 0x0C53BB6B;
constexpr uint64_t kAttachments = 0x0941A469;
constexpr uint64_t kChapters = 0x0043A770;
constexpr uint64_t kTags = 0x0254C367;
constexpr uint64_t kSeek = 0x0DBB;
constexpr uint64_t kSeekId = 0x13AB;
constexpr uint64_t kSeekPosition = 0x13AC;
constexpr uint64_t kTimecode = 0x67;
constexpr uint64_t kSimpleBlock = 0x23;
constexpr uint64_t kBlockGroup = 0x20;
constexpr uint64_t kBlock = 0x21;
constexpr uint64_t kBlockDuration = 0x1B;
constexpr uint64_t kCrc32 = 0x3F;
constexpr uint64_t kVoid = 0x6C;
constexpr uint64_t kCuePoint = 0x3B;
constexpr uint64_t kCueTime = 0x33;
constexpr uint64_t kCueTrackPositions = 0x37;
constexpr uint64_t kCueClusterPosition = 0x71;
// A SeekID holds the element ID as written, marker bits included.
constexpr uint64_t kCuesAsWritten = 0x1C53BB6B;

// Without a stated duration the play time is looked for in this much of the file's end, among at
// most kMaxClusterTries places that look like a cluster's start; cue lists are read this far.
constexpr int64_t kTailBytes = 1024 * 1024;
constexpr int kMaxClusterTries = 16;
constexpr int64_t kCuesBytes = 1024 * 1024;

// Codec IDs are kept up to this many characters.
constexpr size_t kCodecIdMax = 127;

constexpr uint64_t kTrackVideo = 1;
constexpr uint64_t kTrackAudio = 2;

struct Element {
  uint64_t id = 0;
  uint64_t size = 0;
  int64_t data = 0;  // first byte of the value
  int64_t end = 0;   // declared end: data + size, which may lie beyond the file
  bool unknownSize = false;
};

// What one TrackEntry states; applied to the gathered values when the entry ends, so that the
// order of its children does not matter (CodecID often precedes TrackType).
struct TrackValues {
  std::optional<uint64_t> type;
  std::optional<std::string> codecId;
  std::optional<uint32_t> defaultDuration;
  std::optional<uint32_t> width;
  std::optional<uint32_t> height;
  std::optional<uint32_t> channels;
  std::optional<float> samplingFrequency;
  std::optional<float> outputSamplingFrequency;
  std::optional<uint64_t> flagDefault;
  std::string codecPrivate;  // its first bytes only, enough for an AAC configuration
};

// Codec private data is read up to this many bytes.
constexpr size_t kCodecPrivateMax = 64;

// The rate a decoder plays an audio track at. For SBR (HE-AAC) the SamplingFrequency element
// holds the core rate and OutputSamplingFrequency the doubled one; where the output rate is
// missing, the AAC configuration in the codec private data or an "/SBR" codec ID tells it. The
// list shows the played rate: it is what the encoder receives from the decoder, and what the
// track sounds like.
int32_t PlayedSampleRate(const TrackValues& t) {
  // A track without the element is at the format's default of 8000 Hz.
  double rate = t.samplingFrequency ? *t.samplingFrequency : 8000.0;
  if (t.outputSamplingFrequency && *t.outputSamplingFrequency > 0) return TruncToInt32(*t.outputSamplingFrequency);
  const std::string_view id = t.codecId ? std::string_view(*t.codecId) : std::string_view();
  if (id.substr(0, 5) == "A_AAC") {
    if (auto config = DecodeAacConfig(t.codecPrivate)) {
      if (config->explicitSbr && config->outputSampleRate > 0 && config->coreSampleRate == TruncToInt32(rate))
        return config->outputSampleRate;
    }
    if (id.find("/SBR") != std::string_view::npos && rate > 0 && rate <= 24000) return TruncToInt32(rate * 2);
  }
  return TruncToInt32(rate);
}

std::string_view ShortCodecName(std::string_view id) {
  struct Row {
    std::string_view id;
    std::string_view name;
  };
  static constexpr Row kRows[] = {
      {"A_AAC", "aac"},
      {"A_AAC/MPEG2/LC", "aac"},
      {"A_AC3", "ac3"},
      {"A_DTS", "dts"},
      {"A_FLAC", "flac"},
      {"A_MPEG/L1", "mp1"},
      {"A_MPEG/L2", "mp2"},
      {"A_MPEG/L3", "mp3"},
      {"A_PCM/INT/LIT", "pcm"},
      {"A_PCM/INT/BIG", "pcm"},
      {"A_QUICKTIME/QDMC", "quicktime"},
      {"A_QUICKTIME/QDM2", "quicktime"},
      {"V_QUICKTIME", "quicktime"},
      {"A_VORBIS", "vorbis"},
      {"V_MPEG1", "mpeg"},
      {"V_THEORA", "theora"},
      {"V_REAL/RV10", "real"},
      {"V_REAL/RV20", "real"},
      {"V_REAL/RV30", "real"},
      {"V_REAL/RV40", "real"},
      {"V_MPEG4/ISO/AP", "mpeg4"},
      {"V_MPEG4/ISO/ASP", "mpeg4"},
      {"V_MPEG4/ISO/SP", "mpeg4"},
      {"V_MPEG4/ISO/AVC", "h264"},
  };
  for (const Row& row : kRows) {
    if (row.id == id) return row.name;
  }
  return id;
}

// An EBML variable-length integer: the leading zero bits of the first byte give the length,
// the value is the rest with the length-marker bit cleared. `allOnes` reports the reserved
// "unknown" form.
uint64_t ReadVint(ByteReader& r, bool* allOnes = nullptr) {
  const uint8_t first = r.u8();
  if (first == 0) throw ReadError{};  // no length marker within 8 bytes
  const int length = std::countl_zero(first) + 1;
  uint64_t value = first & (0xFFu >> length);
  for (int i = 1; i < length; ++i) value = (value << 8) | r.u8();
  if (allOnes) *allOnes = value == (uint64_t{1} << (7 * length)) - 1;
  return value;
}

Element ReadHeader(ByteReader& r) {
  Element e;
  e.id = ReadVint(r);
  e.size = ReadVint(r, &e.unknownSize);
  e.data = r.pos();
  e.end = e.data + static_cast<int64_t>(std::min<uint64_t>(e.size, INT64_MAX - e.data));
  return e;
}

// An unsigned integer element of up to 8 bytes that lies whole before `end`.
std::optional<uint64_t> UnsignedValue(ByteReader& r, const Element& e, int64_t end) {
  if (e.size > 8 || e.data + static_cast<int64_t>(e.size) > end) return std::nullopt;
  uint64_t value = 0;
  for (uint64_t i = 0; i < e.size; ++i) value = (value << 8) | r.u8();
  return value;
}

bool IsSegmentLevel(uint64_t id) {
  return id == kCluster || id == kInfo || id == kTracks || id == kSeekHead || id == kCues || id == kTags ||
         id == kAttachments || id == kChapters;
}

// Visits the children of an element from the reader's position up to `end`, each clamped to
// `end`; `visit` (child, its end) returns false to stop. Continues at each child's end.
template <typename Visit>
void ForEachChild(ByteReader& r, int64_t end, Visit visit) {
  while (r.pos() < end) {
    const Element c = ReadHeader(r);
    if (c.data > end) return;  // its header already crosses the parent's end
    const int64_t childEnd = std::min(c.end, end);
    if (!visit(c, childEnd)) return;
    if (childEnd >= r.end()) return;
    r.seek(childEnd);
  }
}

// The time of a Block or SimpleBlock: the cluster's timecode plus the block's signed 16-bit offset,
// which follows the track number.
int64_t BlockTime(ByteReader& r, uint64_t clusterTimecode) {
  ReadVint(r);  // track number
  const auto offset = static_cast<int16_t>(r.u16be());
  const auto base = static_cast<int64_t>(std::min<uint64_t>(clusterTimecode, INT64_MAX / 2));
  return std::max<int64_t>(base + offset, 0);
}

// A block group: its block's time plus the duration the group states.
int64_t GroupEnd(ByteReader& r, const Element& group, uint64_t clusterTimecode) {
  int64_t start = -1;
  uint64_t duration = 0;
  ForEachChild(r, std::min(group.end, r.end()), [&](const Element& c, int64_t end) {
    if (c.id == kBlock) start = BlockTime(r, clusterTimecode);
    if (c.id == kBlockDuration) duration = UnsignedValue(r, c, end).value_or(0);
    return true;
  });
  if (start < 0) return 0;
  return start + static_cast<int64_t>(std::min<uint64_t>(duration, INT64_MAX / 2));
}

// The latest time any block of the cluster at the reader's position plays until (its start, plus
// its duration where a block group states one), in timecode units. Nothing when what is there is
// not a cluster whose timecode comes before its blocks. Reads at most what the reader holds.
std::optional<uint64_t> ClusterEnd(ByteReader r) {
  std::optional<uint64_t> timecode;
  int64_t latest = 0;
  bool valid = true;
  try {
    const Element cluster = ReadHeader(r);
    if (cluster.id != kCluster) return std::nullopt;
    const int64_t end = cluster.unknownSize ? r.end() : std::min(cluster.end, r.end());
    ForEachChild(r, end, [&](const Element& c, int64_t childEnd) {
      if (cluster.unknownSize && IsSegmentLevel(c.id)) return false;  // the open cluster ends here
      if (c.id == kTimecode) {
        timecode = UnsignedValue(r, c, childEnd);
        valid = timecode.has_value();
      } else if (!timecode) {
        // Only checksums and padding may come before the timecode of a real cluster.
        valid = c.id == kCrc32 || c.id == kVoid;
      } else if (c.id == kSimpleBlock) {
        latest = std::max(latest, BlockTime(r, *timecode));
      } else if (c.id == kBlockGroup) {
        latest = std::max(latest, GroupEnd(r, c, *timecode));
      }
      return valid;
    });
  } catch (const ReadError&) {
    // A cluster cut short by the end of what was read: its blocks up to there count.
  }
  if (!valid || !timecode) return std::nullopt;
  return std::max(static_cast<uint64_t>(latest), *timecode);
}

class MkvWalk {
 public:
  MkvWalk(const MediaFile& file, int64_t end) : r_(file, 0, end) {}

  void run() {
    while (!r_.atEnd()) {
      const Element e = header();
      if (e.id == kSegment) {
        // The segment walk runs to the end of the file or to its first cluster after the
        // headers; either way nothing behind it can change the result.
        segment();
        return;
      }
      if (e.id == kEbmlHeader) stepChildren(e);
      moveTo(e.end);
    }
  }

  // For a file whose segment information states no play time (a live or piped recording): how
  // far its blocks reach, in timecode units, from its last cluster or else its last cue point.
  // This is the only reading beyond the head of the file.
  std::optional<uint64_t> playTimeFromEnd() {
    if (segmentData_ < 0) return std::nullopt;
    try {
      if (auto end = lastClusterEnd()) return end;
      return lastCueEnd();
    } catch (const ReadError&) {
      return std::nullopt;
    }
  }

  // Gathered values.
  bool videoSeen = false;
  bool audioSeen = false;
  std::string videoCodecId;
  std::string audioCodecId;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t channels = 0;
  int32_t sampleRate = 0;
  uint32_t defaultDuration = 0;
  uint32_t timecodeScale = 0;
  float duration = 0;

 private:
  Element header() { return ReadHeader(r_); }

  // Continues at `pos`; a position at or past the end of the file ends every walk.
  void moveTo(int64_t pos) { r_.seek(std::min(pos, r_.end())); }

  // Iterates the children of `parent`, each clamped to what the parent has left; `visit`
  // returns false to stop early, and the start of that child is returned. Otherwise the walk
  // continues at each child's declared end.
  template <typename Visit>
  std::optional<int64_t> children(const Element& parent, Visit visit) {
    const int64_t parentEnd = std::min(parent.end, r_.end());
    moveTo(parent.data);
    while (r_.pos() < parentEnd) {
      const int64_t start = r_.pos();
      Element child = header();
      if (child.data > parentEnd) break;  // its header already crosses the parent's end
      child.end = std::min(child.end, parentEnd);
      if (!visit(child)) return start;
      moveTo(child.end);
    }
    return std::nullopt;
  }

  void stepChildren(const Element& parent) {
    children(parent, [](const Element&) { return true; });
  }

  // The value of a child element, or nothing when it does not lie whole inside its parent.
  std::optional<uint64_t> unsignedValue(const Element& e) { return UnsignedValue(r_, e, e.end); }

  std::optional<float> floatValue(const Element& e) {
    if ((e.size != 4 && e.size != 8) || e.data + static_cast<int64_t>(e.size) > e.end) return std::nullopt;
    if (e.size == 4) return std::bit_cast<float>(r_.u32be());
    // Held in single precision; doubles beyond its range become infinite rather than undefined.
    const double wide = std::bit_cast<double>(r_.u64be());
    if (std::isfinite(wide) && std::fabs(wide) > std::numeric_limits<float>::max())
      return wide > 0 ? std::numeric_limits<float>::infinity() : -std::numeric_limits<float>::infinity();
    return static_cast<float>(wide);
  }

  // Text up to its first NUL, cut to kCodecIdMax characters.
  std::string textValue(const Element& e) {
    const auto inside = static_cast<uint64_t>(std::max<int64_t>(e.end - e.data, 0));
    std::string text = r_.bytes(static_cast<size_t>(std::min<uint64_t>({e.size, inside, kCodecIdMax})));
    text.resize(std::strlen(text.c_str()));
    return text;
  }

  // Segment children up to the end of the file; the first cluster that follows both the
  // segment information and the track list ends the walk.
  void segment() {
    segmentData_ = r_.pos();
    while (!r_.atEnd()) {
      Element e = header();
      if (e.id == kInfo) {
        info(e);
      } else if (e.id == kSeekHead) {
        seekHead(e);
      } else if (e.id == kTracks) {
        tracks(e);
      } else if (e.id == kCluster) {
        // Nothing in a cluster matters once both are known: stop at its header.
        if (infoSeen_ && tracksSeen_) return;
        cluster(e);
      }
      moveTo(e.end);
    }
  }

  void info(const Element& e) {
    children(e, [this](const Element& c) {
      if (c.id == kDuration) {
        if (auto v = floatValue(c)) duration = *v;
      } else if (c.id == kTimecodeScale) {
        if (auto v = unsignedValue(c)) timecodeScale = static_cast<uint32_t>(*v);
      }
      return true;
    });
    infoSeen_ = true;
  }

  // The seek head, where it tells the position of the cue list (relative to the segment's data).
  void seekHead(const Element& e) {
    children(e, [this](const Element& seek) {
      if (seek.id != kSeek) return true;
      std::optional<uint64_t> id, position;
      children(seek, [&](const Element& c) {
        if (c.id == kSeekId) id = unsignedValue(c);
        if (c.id == kSeekPosition) position = unsignedValue(c);
        return true;
      });
      if (id == kCuesAsWritten && position && *position < static_cast<uint64_t>(r_.end() - segmentData_))
        cuesAt_ = segmentData_ + static_cast<int64_t>(*position);
      return true;
    });
  }

  void tracks(const Element& e) {
    children(e, [this](const Element& c) {
      if (c.id == kTrackEntry) trackEntry(c);
      return true;
    });
    tracksSeen_ = true;
  }

  // A cluster met before the headers are complete is stepped over child by child. One of
  // unknown size ends where the next segment-level element begins.
  void cluster(Element& e) {
    const bool open = e.unknownSize;
    auto next = children(e, [open](const Element& c) { return !(open && IsSegmentLevel(c.id)); });
    if (next) e.end = *next;
  }

  void trackEntry(const Element& e) {
    TrackValues t;
    try {
      children(e, [this, &t](const Element& c) {
        trackChild(c, t);
        return true;
      });
    } catch (const ReadError&) {
      apply(t);  // a file cut short inside an entry keeps what the entry stated
      throw;
    }
    apply(t);
  }

  void trackChild(const Element& c, TrackValues& t) {
    switch (c.id) {
      case kTrackType:
        if (auto v = unsignedValue(c)) t.type = *v;
        break;
      case kCodecId:
        t.codecId = textValue(c);
        break;
      case kDefaultDuration:
        if (auto v = unsignedValue(c)) t.defaultDuration = static_cast<uint32_t>(*v);
        break;
      case kFlagDefault:
        t.flagDefault = unsignedValue(c);
        break;
      case kCodecPrivate: {
        const auto inside = static_cast<uint64_t>(std::max<int64_t>(c.end - c.data, 0));
        t.codecPrivate = r_.bytes(static_cast<size_t>(std::min<uint64_t>({c.size, inside, kCodecPrivateMax})));
        break;
      }
      case kVideo:
        children(c, [this, &t](const Element& v) {
          auto value = unsignedValue(v);
          if (value && v.id == kPixelWidth) t.width = static_cast<uint32_t>(*value);
          if (value && v.id == kPixelHeight) t.height = static_cast<uint32_t>(*value);
          return true;
        });
        break;
      case kAudio:
        children(c, [this, &t](const Element& a) {
          if (a.id == kChannels) {
            if (auto value = unsignedValue(a)) t.channels = static_cast<uint32_t>(*value);
          } else if (a.id == kSamplingFrequency) {
            if (auto value = floatValue(a)) t.samplingFrequency = *value;
          } else if (a.id == kOutputSamplingFrequency) {
            if (auto value = floatValue(a)) t.outputSamplingFrequency = *value;
          }
          return true;
        });
        break;
      default:
        break;
    }
  }

  // Later video entries overwrite earlier ones: the last video track decides. The audio is the
  // first audio track marked as a default one (the mark is on unless a track clears it), else
  // the first audio track: the one a player starts with, where later tracks are commentaries
  // or other languages.
  void apply(const TrackValues& t) {
    if (t.type == kTrackVideo) {
      videoSeen = true;
      if (t.codecId) videoCodecId = *t.codecId;
      if (t.width) width = *t.width;
      if (t.height) height = *t.height;
      if (t.defaultDuration) defaultDuration = *t.defaultDuration;
    } else if (t.type == kTrackAudio) {
      const bool isDefault = t.flagDefault.value_or(1) != 0;
      if (audioSeen && (audioIsDefault_ || !isDefault)) return;
      audioSeen = true;
      audioIsDefault_ = isDefault;
      audioCodecId = t.codecId.value_or(std::string());
      // A track without the element has one channel.
      channels = t.channels.value_or(1);
      sampleRate = PlayedSampleRate(t);
    }
  }

  // The last cluster among the file's last kTailBytes: the blocks' latest end.
  std::optional<uint64_t> lastClusterEnd() {
    const int64_t end = r_.end();
    const int64_t begin = std::max(segmentData_, end - kTailBytes);
    if (begin >= end) return std::nullopt;
    r_.seek(begin);
    const std::string tail = r_.bytes(static_cast<size_t>(end - begin));
    const MediaFile window = MediaFile::FromMemory(tail);
    const std::string_view clusterId("\x1F\x43\xB6\x75", 4);
    size_t from = std::string::npos;
    for (int tries = 0; tries < kMaxClusterTries; ++tries) {
      const size_t at = tail.rfind(clusterId, from);
      if (at == std::string::npos) break;
      ByteReader candidate(window);
      candidate.seek(static_cast<int64_t>(at));
      if (auto found = ClusterEnd(candidate)) return found;
      if (at == 0) break;
      from = at - 1;
    }
    return std::nullopt;
  }

  // The last cue point of the cue list the seek head points at: its time, or the latest end of
  // the blocks of the cluster it points at.
  std::optional<uint64_t> lastCueEnd() {
    if (cuesAt_ < 0) return std::nullopt;
    r_.seek(cuesAt_);
    const Element cues = header();
    if (cues.id != kCues) return std::nullopt;
    ByteReader list = r_.sub(std::min<int64_t>(cues.end - cues.data, kCuesBytes));
    std::optional<uint64_t> time, cluster;
    try {
      lastCuePoint(list, time, cluster);
    } catch (const ReadError&) {
      // A list longer than what was read, or cut short: the points before the cut count.
    }
    if (!time) return std::nullopt;
    if (cluster && *cluster < static_cast<uint64_t>(r_.end() - segmentData_)) {
      ByteReader at = r_;
      at.seek(segmentData_ + static_cast<int64_t>(*cluster));
      if (auto end = ClusterEnd(at.sub(kTailBytes))) return std::max(*time, *end);
    }
    return time;
  }

  // The time and cluster position of the latest cue point in the list.
  static void lastCuePoint(ByteReader& list, std::optional<uint64_t>& time, std::optional<uint64_t>& cluster) {
    ForEachChild(list, list.end(), [&](const Element& point, int64_t pointEnd) {
      if (point.id != kCuePoint) return true;
      std::optional<uint64_t> pointTime, pointCluster;
      ForEachChild(list, pointEnd, [&](const Element& c, int64_t end) {
        if (c.id == kCueTime) pointTime = UnsignedValue(list, c, end);
        if (c.id == kCueTrackPositions) {
          ForEachChild(list, end, [&](const Element& p, int64_t positionEnd) {
            if (p.id == kCueClusterPosition) pointCluster = UnsignedValue(list, p, positionEnd);
            return true;
          });
        }
        return true;
      });
      if (pointTime && (!time || *pointTime >= *time)) {
        time = pointTime;
        cluster = pointCluster;
      }
      return true;
    });
  }

  ByteReader r_;
  int64_t segmentData_ = -1;  // first byte of the segment's data; seek positions count from it
  int64_t cuesAt_ = -1;       // the cue list, where the seek head tells it
  bool infoSeen_ = false;
  bool tracksSeen_ = false;
  bool audioIsDefault_ = false;
};

int32_t ToInt32(double v) {
  if (!(v > INT32_MIN)) return v < 0 ? INT32_MIN : 0;  // NaN gives 0
  return v >= INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

}  // namespace

int RunMkv(MediaFile& file, MediaInfo& info) {
  if (!file.isOpen()) return 0;
  MkvWalk walk(file, std::min<int64_t>(info.end_offset, file.size()));
  try {
    walk.run();
  } catch (const ReadError&) {
    // Whatever was gathered before the damage or the end of the data still counts.
  }
  if (!walk.videoSeen && !walk.audioSeen) return 0;
  if (walk.videoSeen) {
    StreamInfo& video = info.ensureVideo();
    video.setCodec(ShortCodecName(walk.videoCodecId));
    video.value1 = static_cast<int32_t>(walk.width);
    video.value2 = static_cast<int32_t>(walk.height);
  }
  if (walk.audioSeen) {
    StreamInfo& audio = info.ensureAudio();
    audio.setCodec(ShortCodecName(walk.audioCodecId));
    audio.value1 = walk.sampleRate;
    audio.value3 = static_cast<int32_t>(walk.channels);
  }
  // Without a finite, positive segment duration the play time comes from the end of the file,
  // or stays unknown (0).
  double units = walk.duration;
  if (!(walk.duration > 0) || !std::isfinite(walk.duration)) units = double(walk.playTimeFromEnd().value_or(0));
  const double scale = walk.timecodeScale != 0 ? walk.timecodeScale : 1000000.0;
  const double seconds = units * scale / 1e9;
  if (seconds > 0) info.bitrate_kbps = ToInt32(double(info.end_offset - info.start_offset) * 8.0 / seconds / 1000.0);
  info.duration_s = ToInt32(seconds);
  if (walk.defaultDuration > 0) info.fps = 1e9 / walk.defaultDuration;
  return 1;
}

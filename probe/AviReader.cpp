// AVI reader: one RIFF chunk walker for every level, the top-level scan and the header list walk.
#include "probe/AviReader.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "probe/ByteReader.h"
#include "support/DebugLog.h"

namespace {

// Lists nest only a level or two in real files (hdrl → strl → odml); deeper ones are skipped whole.
constexpr int kMaxListDepth = 8;

bool TagIs(std::string_view tag, std::string_view want) {
  if (tag.size() != want.size()) return false;
  for (size_t i = 0; i < tag.size(); ++i) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(tag[i]) != lower(want[i])) return false;
  }
  return true;
}

// A FOURCC as text: it ends at its first NUL, as a four-character C string would.
std::string FourccText(std::string raw) {
  raw.resize(strnlen(raw.c_str(), raw.size()));
  return raw;
}

struct RiffChunk {
  std::string id;
  uint32_t size;  // as declared: the data after the 8-byte header, without the pad byte
  int64_t offset;  // of the tag
  bool isList;
  std::string listType;
  ByteReader body;  // the data (after the type for a list), clamped to what the parent holds
};

enum class RiffStep { kNext, kEnter, kStop };
enum class RiffEnd { kDone, kStopped, kTruncatedList };

// Visits the chunks of `range` in file order. A chunk is clamped to its parent; the walk
// continues at the chunk's declared end, padded to an even size, and ends when that lies past
// the range or when fewer than 8 bytes are left.
template <class Visit>
RiffEnd WalkRiff(ByteReader range, int depth, Visit& visit) {
  while (range.remaining() >= 8) {
    int64_t offset = range.pos();
    std::string id = range.fourcc();
    uint32_t size = range.u32le();
    RiffChunk chunk{std::move(id), size, offset, false, {}, range.sub(size)};
    if (TagIs(chunk.id, "LIST")) {
      // A list is at least its type; one declaring less cannot be stepped over meaningfully.
      if (size < 4) return RiffEnd::kDone;
      if (chunk.body.remaining() < 4) return RiffEnd::kTruncatedList;
      chunk.isList = true;
      chunk.listType = chunk.body.fourcc();
    }
    RiffStep step = visit(chunk);
    if (step == RiffStep::kStop) return RiffEnd::kStopped;
    if (step == RiffStep::kEnter && chunk.isList && depth + 1 < kMaxListDepth) {
      if (WalkRiff(chunk.body, depth + 1, visit) == RiffEnd::kStopped) return RiffEnd::kStopped;
    }
    uint64_t padded = static_cast<uint64_t>(size) + (size & 1);
    if (padded > static_cast<uint64_t>(range.remaining())) return RiffEnd::kDone;
    range.skip(static_cast<int64_t>(padded));
  }
  return RiffEnd::kDone;
}

// Fixed fields of a chunk's data; a field the chunk does not hold reads as 0.
uint32_t FieldU32(const ByteReader& body, int64_t at) {
  if (at + 4 > body.end() - body.begin()) return 0;
  ByteReader r = body;
  r.seek(body.begin() + at);
  return r.u32le();
}
uint16_t FieldU16(const ByteReader& body, int64_t at) {
  if (at + 2 > body.end() - body.begin()) return 0;
  ByteReader r = body;
  r.seek(body.begin() + at);
  return r.u16le();
}
std::string FieldFourcc(const ByteReader& body, int64_t at) {
  if (at + 4 > body.end() - body.begin()) return {};
  ByteReader r = body;
  r.seek(body.begin() + at);
  return FourccText(r.fourcc());
}

}  // namespace

std::unique_ptr<AviReader> AviReader::Open(const std::string& path) {
  MediaFile file;
  if (path.empty() || !file.open(path)) return nullptr;
  std::unique_ptr<AviReader> reader(new AviReader());
  try {
    reader->parse(file);
  } catch (const ReadError&) {
    reader->error_ = kShortRead;
  }
  return reader;
}

bool AviReader::setAudioTrack(int track) {
  if (track < 0 || track >= std::max(audioCount_, 1)) return false;
  currentAudio_ = track;
  return true;
}

void AviReader::parse(const MediaFile& file) {
  ByteReader r(file);
  char head[12];
  if (r.readSome(head, sizeof head) < sizeof head) {
    error_ = kShortRead;
    return;
  }
  // "RIFF" size "AVI ": the RIFF size is not trusted; the scan runs to the end of the file.
  if (!TagIs(std::string_view(head, 4), "RIFF") || !TagIs(std::string_view(head + 8, 4), "AVI ")) {
    error_ = kNotAvi;
    return;
  }
  int64_t hdrlBegin = 0, hdrlEnd = 0;
  error_ = scanTopLevel(file, &hdrlBegin, &hdrlEnd);
  if (error_ != kOk) return;
  walkHeaderList(file, hdrlBegin, hdrlEnd);
  if (error_ != kOk) return;
  if (!videoHeader_ || !videoFormat_) error_ = kNoVideo;
}

// Finds the header list, the movie list and the index. Chunks after "idx1" are not looked at;
// the index itself is never read, only its size counted, so its declared size costs nothing.
AviReader::Error AviReader::scanTopLevel(const MediaFile& file, int64_t* hdrlBegin, int64_t* hdrlEnd) {
  bool sawHeader = false;
  bool hdrlShort = false;
  auto visit = [&](RiffChunk& chunk) {
    if (chunk.isList) {
      if (TagIs(chunk.listType, "hdrl")) {
        sawHeader = true;
        *hdrlBegin = chunk.body.pos();
        *hdrlEnd = chunk.body.end();
        // A header list the file does not hold in full is a short read.
        if (static_cast<int64_t>(chunk.size) - 4 > chunk.body.remaining()) {
          hdrlShort = true;
          return RiffStep::kStop;
        }
      } else if (TagIs(chunk.listType, "movi")) {
        sawMovie_ = true;
        payloadStart_ = chunk.body.pos();
      }
      return RiffStep::kNext;
    }
    if (TagIs(chunk.id, "idx1")) {
      indexPosition_ = chunk.offset + 4;
      // 16 bytes per entry, counting only the entries the file really holds.
      indexEntries_ = static_cast<int32_t>(std::min<int64_t>(chunk.size, chunk.body.remaining()) / 16);
      return RiffStep::kStop;
    }
    return RiffStep::kNext;
  };
  RiffEnd end = WalkRiff(ByteReader(file, 12, file.size()), 0, visit);
  if (hdrlShort || end == RiffEnd::kTruncatedList) return kShortRead;
  if (!sawHeader) return kNoHeaderList;
  if (!sawMovie_) return kNoMovieList;
  return kOk;
}

// Stream headers and formats, in order: a "strf" belongs to the "strh" right before it.
// The first video stream wins; every "strh" counts towards the running stream number.
void AviReader::walkHeaderList(const MediaFile& file, int64_t begin, int64_t end) {
  enum class Last { kNone, kVideo, kAudio } last = Last::kNone;
  int streamNumber = 0;
  auto visit = [&](RiffChunk& chunk) {
    if (TagIs(chunk.id, "strh")) {
      const ByteReader& d = chunk.body;
      std::string type = FieldFourcc(d, 0);  // "vids", "auds", …
      int number = streamNumber++;
      last = Last::kNone;
      if (TagIs(type, "vids") && !videoHeader_) {
        handler_ = FieldFourcc(d, 4);
        uint32_t scale = FieldU32(d, 20);
        uint32_t rate = FieldU32(d, 24);
        if (scale != 0) frameRate_ = static_cast<double>(rate) / scale;
        frameCount_ = FieldU32(d, 32);  // length in frames
        videoStream_ = number;
        videoHeader_ = true;
        last = Last::kVideo;
      } else if (TagIs(type, "auds")) {
        if (audioCount_ == kMaxAudioTracks) {
          DebugLog(kDebugTarget, "error - only %d audio tracks supported", kMaxAudioTracks);
          error_ = kTooManyAudioTracks;
          return RiffStep::kStop;
        }
        audio_[audioCount_++].streamNumber = number;
        last = Last::kAudio;
      }
      return RiffStep::kNext;
    }
    if (TagIs(chunk.id, "strf") && last == Last::kVideo) {
      // BITMAPINFOHEADER: size, width, height, planes, bit count, compression.
      width_ = static_cast<int32_t>(FieldU32(chunk.body, 4));
      height_ = static_cast<int32_t>(FieldU32(chunk.body, 8));
      compression_ = FieldFourcc(chunk.body, 16);
      videoFormat_ = true;
    } else if (TagIs(chunk.id, "strf") && last == Last::kAudio) {
      // WAVEFORMATEX: tag, channels, samples per second, bytes per second, alignment, bits.
      AudioTrack& track = audio_[audioCount_ - 1];
      track.formatTag = FieldU16(chunk.body, 0);
      track.channels = FieldU16(chunk.body, 2);
      track.sampleRate = FieldU32(chunk.body, 4);
      uint32_t bitsPerSecond = FieldU32(chunk.body, 8) * 8u;  // kept to 32 bits
      track.bitrateKbps = static_cast<int32_t>(bitsPerSecond / 1000);
      track.bitsPerSample = FieldU16(chunk.body, 14);
    }
    last = Last::kNone;
    return chunk.isList ? RiffStep::kEnter : RiffStep::kNext;
  };
  WalkRiff(ByteReader(file, begin, end), 0, visit);
}

// Matroska parser: EBML fixtures built here, sparse giant clusters, and real files made by ffmpeg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <fstream>
#include <limits>

#include "TestSupport.h"
#include "FfmpegMedia.h"
#include "probe/Parsers.h"
#include "probe/Probe.h"

using testsupport::ByteWriter;
using testsupport::TempDir;

namespace {

// Element IDs as written, length marker included.
constexpr uint32_t kEbml = 0x1A45DFA3, kDocType = 0x4282, kSegment = 0x18538067, kSeekHead = 0x114D9B74, kVoid = 0xEC,
                   kInfo = 0x1549A966, kTimecodeScale = 0x2AD7B1, kDuration = 0x4489, kTracks = 0x1654AE6B,
                   kTrackEntry = 0xAE, kTrackNumber = 0xD7, kTrackType = 0x83, kCodecId = 0x86,
                   kDefaultDuration = 0x23E383, kVideo = 0xE0, kPixelWidth = 0xB0, kPixelHeight = 0xBA, kAudio = 0xE1,
                   kChannels = 0x9F, kSamplingFrequency = 0xB5, kCluster = 0x1F43B675, kTimecode = 0xE7,
                   kSimpleBlock = 0xA3, kBlockGroup = 0xA0, kBlock = 0xA1, kBlockDuration = 0x9B,
                   kOutputSamplingFrequency = 0x78B5, kCodecPrivate = 0x63A2, kFlagDefault = 0x88;

std::string Id(uint32_t id) {
  ByteWriter w;
  for (int shift = 24; shift >= 0; shift -= 8)
    if ((id >> shift) != 0) w.u8(static_cast<uint8_t>(id >> shift));
  return w.str();
}

// An EBML size of `length` bytes (0: the shortest that holds it).
std::string Size(uint64_t value, int length = 0) {
  if (length == 0) {
    length = 1;
    while (length < 8 && value >= (uint64_t{1} << (7 * length)) - 1) ++length;
  }
  ByteWriter w;
  const uint64_t marked = value | (uint64_t{1} << (7 * length));
  for (int i = length - 1; i >= 0; --i) w.u8(static_cast<uint8_t>(marked >> (8 * i)));
  return w.str();
}

// The reserved "unknown size" form: all value bits set.
std::string UnknownSize(int length) { return Size((uint64_t{1} << (7 * length)) - 1, length); }

std::string El(uint32_t id, const std::string& payload, int sizeLength = 0) {
  return Id(id) + Size(payload.size(), sizeLength) + payload;
}

std::string UInt(uint32_t id, uint64_t value) {
  ByteWriter w;
  int bytes = 1;
  while (bytes < 8 && (value >> (8 * bytes)) != 0) ++bytes;
  for (int i = bytes - 1; i >= 0; --i) w.u8(static_cast<uint8_t>(value >> (8 * i)));
  return El(id, w.str());
}

std::string Float8(uint32_t id, double value) {
  ByteWriter w;
  w.u64be(std::bit_cast<uint64_t>(value));
  return El(id, w.str());
}

std::string Float4(uint32_t id, float value) {
  ByteWriter w;
  w.u32be(std::bit_cast<uint32_t>(value));
  return El(id, w.str());
}

std::string Text(uint32_t id, const std::string& text) { return El(id, text); }

std::string EbmlHeader() { return El(kEbml, UInt(0x4286, 1) + Text(kDocType, "matroska") + UInt(0x4287, 4)); }

std::string Info(double duration, uint64_t scale = 1000000) {
  return El(kInfo, (scale ? UInt(kTimecodeScale, scale) : "") + Float8(kDuration, duration));
}

// ffmpeg's order: the codec ID comes before the track type.
std::string VideoEntry(const std::string& codec, uint32_t width, uint32_t height, uint64_t defaultDuration = 0) {
  return El(kTrackEntry, UInt(kTrackNumber, 1) + Text(kCodecId, codec) + UInt(kTrackType, 1) +
                             (defaultDuration ? UInt(kDefaultDuration, defaultDuration) : "") +
                             El(kVideo, UInt(kPixelWidth, width) + UInt(kPixelHeight, height)));
}

std::string AudioEntry(const std::string& codec, uint32_t channels, double rate, uint64_t defaultDuration = 0) {
  return El(kTrackEntry, UInt(kTrackNumber, 2) + Text(kCodecId, codec) + UInt(kTrackType, 2) +
                             (defaultDuration ? UInt(kDefaultDuration, defaultDuration) : "") +
                             El(kAudio, UInt(kChannels, channels) + Float8(kSamplingFrequency, rate)));
}

std::string Tracks(const std::string& entries) { return El(kTracks, entries); }

std::string Cluster(size_t blockBytes = 100) {
  return El(kCluster, UInt(kTimecode, 0) + El(kSimpleBlock, std::string(blockBytes, '\x42')));
}

// A file: the EBML header, then a segment of unknown size (as a live writer leaves it).
std::string File(const std::string& segmentChildren) {
  return EbmlHeader() + Id(kSegment) + UnknownSize(8) + segmentChildren;
}

std::string Standard() {
  return File(El(kSeekHead, "") + El(kVoid, std::string(50, '\0')) + Info(5025000.0) +
              Tracks(VideoEntry("V_MPEG4/ISO/AVC", 1280, 720, 41708333) + AudioEntry("A_AAC", 2, 48000.0)) + Cluster());
}

struct Parsed {
  int result = 0;
  MediaInfo info;
};

Parsed Parse(const std::string& bytes, int64_t endOffset = -1) {
  Parsed p;
  auto file = MediaFile::FromMemory(bytes);
  p.info.end_offset = p.info.file_size = endOffset >= 0 ? endOffset : static_cast<int64_t>(bytes.size());
  p.result = RunMkv(file, p.info);
  return p;
}

}  // namespace

TEST(MkvParser, TracksPlayTimeAndBitRate) {
  // A file of 628,125,000 bytes (only its head is present) that plays 5,025 s.
  Parsed p = Parse(Standard(), 628125000);
  ASSERT_EQ(p.result, 1);
  EXPECT_EQ(p.info.duration_s, 5025);
  EXPECT_EQ(p.info.bitrate_kbps, 1000);
  EXPECT_NEAR(p.info.fps, 23.976, 0.001);
  ASSERT_TRUE(p.info.video);
  EXPECT_EQ(p.info.video->codec, "h264");
  EXPECT_EQ(p.info.video->value1, 1280);
  EXPECT_EQ(p.info.video->value2, 720);
  ASSERT_TRUE(p.info.audio);
  EXPECT_EQ(p.info.audio->codec, "aac");
  EXPECT_EQ(p.info.audio->value1, 48000);
  EXPECT_EQ(p.info.audio->value3, 2);
  EXPECT_EQ(p.info.payload_start, 0);
  EXPECT_EQ(p.info.payload_end, 0);

  // Through the probe: detected by its "matroska" text, whatever the name.
  auto file = MediaFile::FromMemory(Standard());
  MediaInfo info;
  EXPECT_EQ(ProbeMediaFile(&file, &info, "movie.bin"), kTypeMkv);
  EXPECT_STREQ(info.type_name, "mkv");
}

TEST(MkvParser, TimecodeScaleDefaultsAndScales) {
  EXPECT_EQ(Parse(File(Info(2500.0, 0) + Tracks(AudioEntry("A_FLAC", 1, 44100.0)))).info.duration_s, 2);
  EXPECT_EQ(Parse(File(Info(2500.0, 100000000) + Tracks(AudioEntry("A_FLAC", 1, 44100.0)))).info.duration_s, 250);
  // A 4-byte float duration reads the same.
  Parsed single = Parse(File(El(kInfo, Float4(kDuration, 7000.0f)) + Tracks(AudioEntry("A_FLAC", 1, 44100.0))));
  EXPECT_EQ(single.info.duration_s, 7);
}

TEST(MkvParser, EachTrackKeepsItsOwnCodecAndTheVideoTrackGivesTheFrameRate) {
  // The audio track's DefaultDuration (one AAC frame) is not a video frame rate.
  Parsed p = Parse(File(Info(10000.0) + Tracks(VideoEntry("V_MPEG4/ISO/ASP", 640, 480, 41708333) +
                                               AudioEntry("A_VORBIS", 1, 22050.0, 21333333))));
  ASSERT_EQ(p.result, 1);
  EXPECT_NEAR(p.info.fps, 23.976, 0.001);
  EXPECT_EQ(p.info.video->codec, "mpeg4");
  EXPECT_EQ(p.info.audio->codec, "vorbis");
  EXPECT_EQ(p.info.audio->value1, 22050);

  // Track type first, as other writers order it; the first audio track decides, and what it
  // does not state takes the format's defaults (8000 Hz), not another track's values.
  const std::string typeFirst =
      El(kTrackEntry, UInt(kTrackType, 2) + Text(kCodecId, "A_AC3") + El(kAudio, UInt(kChannels, 6)));
  Parsed q = Parse(File(Info(10000.0) + Tracks(typeFirst + AudioEntry("A_AAC", 2, 48000.0))));
  EXPECT_EQ(q.info.audio->codec, "ac3");
  EXPECT_EQ(q.info.audio->value3, 6);
  EXPECT_EQ(q.info.audio->value1, 8000);
  EXPECT_EQ(q.info.video, nullptr);
  EXPECT_EQ(q.info.fps, 0.0);
  // Subtitle tracks count for neither kind.
  Parsed s = Parse(File(Info(10000.0) + Tracks(El(kTrackEntry, UInt(kTrackType, 17) + Text(kCodecId, "S_TEXT/UTF8")))));
  EXPECT_EQ(s.result, 0);
}

TEST(MkvParser, ShortCodecNames) {
  const std::pair<const char*, const char*> cases[] = {
      {"A_AAC", "aac"},
      {"A_AAC/MPEG2/LC", "aac"},
      {"A_AAC/MPEG4/LC", "A_AAC/MPEG4/LC"},
      {"A_AC3", "ac3"},
      {"A_DTS", "dts"},
      {"A_FLAC", "flac"},
      {"A_MPEG/L1", "mp1"},
      {"A_MPEG/L2", "mp2"},
      {"A_MPEG/L3", "mp3"},
      {"A_PCM/INT/LIT", "pcm"},
      {"A_PCM/INT/BIG", "pcm"},
      {"A_PCM/FLOAT/IEEE", "A_PCM/FLOAT/IEEE"},
      {"A_QUICKTIME/QDMC", "quicktime"},
      {"A_QUICKTIME/QDM2", "quicktime"},
      {"V_QUICKTIME", "quicktime"},
      {"A_VORBIS", "vorbis"},
      {"a_vorbis", "a_vorbis"},
      {"V_MPEG1", "mpeg"},
      {"V_THEORA", "theora"},
      {"V_REAL/RV10", "real"},
      {"V_REAL/RV40", "real"},
      {"V_MPEG4/ISO/AP", "mpeg4"},
      {"V_MPEG4/ISO/SP", "mpeg4"},
      {"V_MPEG4/ISO/ASP", "mpeg4"},
      {"V_MPEG4/ISO/AVC", "h264"},
      {"V_MPEGH/ISO/HEVC", "V_MPEGH/ISO/HEVC"},
  };
  for (auto [id, name] : cases) {
    Parsed p = Parse(File(Info(1000.0) + Tracks(AudioEntry(id, 2, 8000.0))));
    ASSERT_TRUE(p.info.audio) << id;
    EXPECT_EQ(p.info.audio->codec, name);
  }
  // Text after a NUL is not part of the name; long names are cut.
  EXPECT_EQ(Parse(File(Info(1000.0) + Tracks(AudioEntry(std::string("A_AC3\0junk", 10), 2, 8000.0)))).info.audio->codec,
            "ac3");
  EXPECT_EQ(Parse(File(Info(1000.0) + Tracks(AudioEntry(std::string(500, 'A'), 2, 8000.0)))).info.audio->codec,
            std::string(StreamInfo::kCodecMax, 'A'));
}

TEST(MkvParser, WithoutAUsablePlayTimeTheFileIsStillAccepted) {
  const std::string tracks = Tracks(AudioEntry("A_AAC", 2, 44100.0));
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const std::string unusable[] = {
      El(kInfo, UInt(kTimecodeScale, 1000000)),  // no Duration, as a live or piped recording leaves it
      Info(0.0),
      Info(-5000.0),
      Info(nan),
      Info(inf),
      Info(1e300),
      El(kInfo, El(kDuration, "abc")),  // 3 bytes are no float
  };
  for (const std::string& info : unusable) {
    Parsed p = Parse(File(info + tracks));
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.info.duration_s, 0);
    EXPECT_EQ(p.info.bitrate_kbps, 0);
    ASSERT_TRUE(p.info.audio);
    EXPECT_EQ(p.info.audio->value1, 44100);
  }
  EXPECT_EQ(Parse(File(Info(1000.0))).result, 0);  // no tracks
  // An integer of 9 bytes is no integer.
  Parsed wide = Parse(File(El(kInfo, El(kTimecodeScale, std::string(9, '\1')) + Float8(kDuration, 3000.0)) + tracks));
  EXPECT_EQ(wide.info.duration_s, 3);
}

TEST(MkvParser, WithoutADurationThePlayTimeComesFromTheLastCluster) {
  const std::string head =
      El(kInfo, UInt(kTimecodeScale, 1000000)) + Tracks(VideoEntry("V_MPEG4/ISO/AVC", 320, 240, 40000000));
  const std::string first = Cluster();
  auto block = [](int16_t offset, const std::string& data = "frame") {
    ByteWriter w;
    w.u8(0x81).u16be(static_cast<uint16_t>(offset)).u8(0x80);  // track 1, time offset, flags
    return El(kSimpleBlock, w.str() + data);
  };
  auto group = [](int16_t offset, uint64_t duration) {
    ByteWriter w;
    w.u8(0x81).u16be(static_cast<uint16_t>(offset)).u8(0);  // track 1, time offset, flags
    return El(kBlockGroup, El(kBlock, w.str() + "frame") + UInt(kBlockDuration, duration));
  };
  auto cluster = [](uint64_t timecode, const std::string& children, const std::string& before = "") {
    return El(kCluster, before + UInt(kTimecode, timecode) + children);
  };
  const std::string crc = El(0xBF, std::string(4, '\x55'));
  const std::string trap = std::string("\x1F\x43\xB6\x75\x85", 5) + "junk!";  // a cluster ID inside block data
  const std::string bigBlock = El(kSimpleBlock, std::string("\x81\x00\x00\x80", 4) + std::string(1100000, '\x42'));
  std::string cutShort = cluster(6000, block(100) + block(2500));
  cutShort.resize(cutShort.size() - 3);  // the file ends inside the last block
  struct Case {
    const char* what;
    std::string tail;
    int seconds;
  };
  const Case cases[] = {
      {"last block", cluster(11000, block(0) + block(1500) + block(900)), 12},
      {"block group with a duration", cluster(12000, block(0) + group(600, 500)), 13},
      {"negative offsets", cluster(9000, block(-400) + block(-8000)), 9},
      {"checksum before the timecode", cluster(7000, block(200), crc), 7},
      {"cluster ID inside the last block", cluster(5000, block(900, trap)), 5},
      {"unknown size, then tags",
       Id(kCluster) + UnknownSize(8) + UInt(kTimecode, 14000) + block(700) + El(0x1254C367, block(30000)), 14},
      {"cut short", cutShort, 8},
      {"huge timecode", cluster(uint64_t{1} << 62, block(0)), INT32_MAX},
      // Nothing like a cluster in the file's last MiB, and no cue list: unknown.
      {"last cluster out of reach", cluster(20000, block(0) + bigBlock), 0},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(File(head + first + c.tail));
    EXPECT_EQ(p.result, 1) << c.what;
    EXPECT_EQ(p.info.duration_s, c.seconds) << c.what;
    EXPECT_NEAR(p.info.fps, 25.0, 1e-9) << c.what;
  }
  // A stated duration is taken as it is; nothing past the first cluster is read.
  EXPECT_EQ(Parse(File(Info(3000.0) + Tracks(VideoEntry("V_THEORA", 320, 240)) + first + cluster(11000, block(0))))
                .info.duration_s,
            3);
}

TEST(MkvParser, WithoutADurationTheSeekHeadLeadsToTheCues) {
  // ffmpeg's layout: the seek head first, its positions counted from the segment's data.
  // The position is written in 8 bytes, so that the seek head's size does not depend on it.
  auto seekHead = [](uint64_t cuesPosition) {
    ByteWriter position;
    position.u64be(cuesPosition);
    return El(kSeekHead, El(0x4DBB, El(0x53AB, std::string("\x1C\x53\xBB\x6B", 4)) + El(0x53AC, position.str())));
  };
  const std::string head = El(kInfo, UInt(kTimecodeScale, 1000000)) + Tracks(AudioEntry("A_FLAC", 2, 48000.0));
  const std::string bigBlock = El(kSimpleBlock, std::string("\x81\x01\xF4\x80", 4) + std::string(1100000, '\x42'));
  auto cuePoint = [](uint64_t time, uint64_t cluster) {
    return El(0xBB, UInt(0xB3, time) + El(0xB7, UInt(0xF7, 1) + UInt(0xF1, cluster)));
  };
  const size_t seekSize = seekHead(0).size();
  const std::string beforeLast = head + Cluster();
  const uint64_t lastAt = seekSize + beforeLast.size();
  const std::string last = El(kCluster, UInt(kTimecode, 30000) + bigBlock);  // a block at 30.5 s, 1 MB long
  const std::string cues = El(0x1C53BB6B, cuePoint(0, seekSize + head.size()) + cuePoint(30000, lastAt));
  auto build = [&](uint64_t cuesAt) { return File(seekHead(cuesAt) + beforeLast + last + cues); };
  // The last cue point's cluster holds a block at 30.5 s; the cluster lies beyond the file's last MiB.
  EXPECT_EQ(Parse(build(lastAt + last.size())).info.duration_s, 30);
  // The cue list alone, when its cluster is not there to read.
  const std::string noCluster = File(seekHead(seekSize + head.size()) + head +
                                     El(0x1C53BB6B, cuePoint(0, 1ull << 40) + cuePoint(45000, 1ull << 40)));
  EXPECT_EQ(Parse(noCluster).info.duration_s, 45);
  // A seek position past the end of the file, or at something that is not a cue list.
  EXPECT_EQ(Parse(build(1ull << 40)).info.duration_s, 0);
  EXPECT_EQ(Parse(build(seekSize)).info.duration_s, 0);
}

TEST(MkvParser, TracksAfterTheFirstClusterAreFound) {
  const std::string tracks = Tracks(VideoEntry("V_THEORA", 320, 240, 40000000));
  for (const std::string& cluster :
       {Cluster(), Id(kCluster) + UnknownSize(8) + UInt(kTimecode, 0) + El(kSimpleBlock, std::string(300, '\1')),
        Id(kCluster) + UnknownSize(1) + UInt(kTimecode, 0) + El(kSimpleBlock, std::string(30, '\1'))}) {
    Parsed p = Parse(File(Info(4000.0) + cluster + tracks + Cluster()));
    ASSERT_EQ(p.result, 1);
    ASSERT_TRUE(p.info.video);
    EXPECT_EQ(p.info.video->codec, "theora");
    EXPECT_DOUBLE_EQ(p.info.fps, 25.0);
  }
  // Tracks after a cluster that follows both headers are never reached.
  Parsed later = Parse(File(Info(4000.0) + Tracks(AudioEntry("A_FLAC", 2, 96000.0)) + Cluster() + tracks));
  EXPECT_EQ(later.info.video, nullptr);
}

TEST(MkvParser, SizeFormsAndHugeLengths) {
  const std::string info = Info(9000.0);
  const std::string entry = AudioEntry("A_MPEG/L3", 2, 44100.0);
  // 8-byte sizes everywhere.
  Parsed eight = Parse(EbmlHeader() + Id(kSegment) + Size(1000, 8) + El(kInfo, Float8(kDuration, 9000.0), 8) +
                       El(kTracks, entry, 8));
  EXPECT_EQ(eight.result, 1);
  EXPECT_EQ(eight.info.audio->codec, "mp3");
  // A segment whose one-byte size is far too small: its children are walked to the end of the file.
  Parsed small = Parse(EbmlHeader() + Id(kSegment) + Size(3, 1) + info + Tracks(entry));
  EXPECT_EQ(small.result, 1);
  // An element whose size reaches far past the file hides everything after it.
  Parsed huge = Parse(File(info + Id(kVoid) + Size((uint64_t{1} << 56) - 2, 8) + Tracks(entry)));
  EXPECT_EQ(huge.result, 0);
  // A track entry claiming more than its parent holds is cut to the parent.
  const std::string oversized = Id(kTrackEntry) + Size(1ull << 40) + entry.substr(2);
  Parsed clamped = Parse(File(info + El(kTracks, oversized)));
  EXPECT_EQ(clamped.result, 1);
  ASSERT_TRUE(clamped.info.audio);
  EXPECT_EQ(clamped.info.audio->value1, 44100);
  // A child whose header crosses its entry's end is not read.
  const std::string crossing = El(kTrackEntry, UInt(kTrackType, 2) + Id(kCodecId)) + Size(5) + "A_AC3";
  Parsed across = Parse(File(info + Tracks(crossing)));
  EXPECT_EQ(across.result, 1);
  EXPECT_EQ(across.info.audio->codec, "");
  // A value that runs past its parent is not read: the default of one channel stands.
  const std::string shortChannels = El(kAudio, Id(kChannels) + Size(4) + std::string(1, '\6'));
  Parsed cut = Parse(File(info + Tracks(El(kTrackEntry, UInt(kTrackType, 2) + shortChannels))));
  EXPECT_EQ(cut.result, 1);
  EXPECT_EQ(cut.info.audio->value3, 1);
}

TEST(MkvParser, DamageEndsTheWalkKeepingWhatWasRead) {
  const std::string head = Info(3000.0) + Tracks(AudioEntry("A_DTS", 6, 48000.0));
  // A zero byte where an element ID should begin.
  Parsed p = Parse(File(head + std::string(1, '\0') + Tracks(AudioEntry("A_AC3", 2, 44100.0))));
  EXPECT_EQ(p.result, 1);
  EXPECT_EQ(p.info.audio->codec, "dts");
  // The same before the tracks: nothing about them is known.
  EXPECT_EQ(Parse(File(Info(3000.0) + std::string(1, '\0') + Tracks(AudioEntry("A_AC3", 2, 44100.0)))).result, 0);
  // A file cut inside a track entry keeps what the entry stated up to the cut.
  const std::string whole = File(Info(3000.0) + Tracks(VideoEntry("V_MPEG1", 352, 288, 40000000)));
  Parsed cutShort = Parse(whole.substr(0, whole.size() - 3));
  EXPECT_EQ(cutShort.result, 1);
  EXPECT_EQ(cutShort.info.video->codec, "mpeg");
  EXPECT_EQ(cutShort.info.video->value1, 352);
}

// Cut anywhere, the file is Matroska with its play time as soon as a track entry has its type,
// and not before; each track counts from its type on, its picture size once that is whole.
TEST(MkvParser, EveryPrefixOfAFileEndsInAResult) {
  const std::string full = Standard();
  const std::string video = VideoEntry("V_MPEG4/ISO/AVC", 1280, 720, 41708333), audio = AudioEntry("A_AAC", 2, 48000.0);
  ASSERT_EQ(full, File(El(kSeekHead, "") + El(kVoid, std::string(50, '\0')) + Info(5025000.0) + Tracks(video + audio) +
                       Cluster()));
  const size_t tracksEnd = full.size() - Cluster().size();
  const size_t audioStart = tracksEnd - audio.size();
  const size_t videoEnd = audioStart;  // the audio entry follows the video entry directly
  const size_t videoStart = videoEnd - video.size();
  const std::string videoType = UInt(kTrackType, 1), audioType = UInt(kTrackType, 2);
  const size_t videoTyped = full.find(videoType, videoStart) + videoType.size();
  const size_t audioTyped = full.find(audioType, audioStart) + audioType.size();
  ASSERT_LT(videoTyped, videoEnd);
  ASSERT_LT(audioTyped, tracksEnd);
  for (size_t n = 0; n <= full.size(); ++n) {
    Parsed p = Parse(full.substr(0, n));
    EXPECT_EQ(p.result, n >= videoTyped ? 1 : 0) << n;
    if (n >= videoTyped) {
      EXPECT_EQ(p.info.duration_s, 5025) << n;
      ASSERT_TRUE(p.info.video) << n;
      if (n >= videoEnd) {
        EXPECT_EQ(p.info.video->value1, 1280) << n;
      }
      EXPECT_EQ(p.info.audio != nullptr, n >= audioTyped) << n;
    }
  }
}

TEST(MkvParser, ReadsStopAtTheFirstClusterAfterTheTracks) {
  TempDir dir;
  const std::string path = dir.file("giant.mkv");
  // A 3 GB cluster after the headers, with more headers far behind it.
  const std::string head = File(Info(60000.0) + Tracks(VideoEntry("V_MPEG4/ISO/AVC", 1920, 1080, 40000000)));
  const std::string cluster = Id(kCluster) + Size(3ull << 30, 8);
  const int64_t tailAt = static_cast<int64_t>(head.size() + cluster.size()) + (3ll << 30);
  const std::string tail = Tracks(AudioEntry("A_AAC", 2, 44100.0));
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const std::string bytes = head + cluster;
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), tailAt), static_cast<ssize_t>(tail.size()));
  ::close(fd);

  MediaFile file;
  ASSERT_TRUE(file.open(path));
  MediaInfo info;
  ASSERT_EQ(ProbeMediaFile(&file, &info, path), kTypeMkv);
  EXPECT_EQ(info.duration_s, 60);
  EXPECT_EQ(info.audio, nullptr);
  EXPECT_EQ(info.video->value1, 1920);
  EXPECT_LE(file.systemReads(), 2u);
}

// Real files: the probe against ffprobe's reading of the same file.
TEST(MkvParser, FilesMadeByFfmpegAgreeWithFfprobe) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testmedia::HaveFfmpeg(), "ffmpeg or ffprobe missing");
  using testmedia::Join;
  using testmedia::TestPicture;
  using testmedia::TestTone;
  struct Case {
    const char* name;
    std::vector<std::string> inputs;
    std::vector<std::string> options;
    const char* videoCodec;  // null: audio only
    const char* audioCodec;
    bool piped = false;  // written to a pipe: no duration in the header, ffprobe reports none either
  };
  const Case cases[] = {
      {"h264_aac.mkv", Join({TestPicture(), TestTone(44100, "stereo")}), {"-c:v", "libx264", "-c:a", "aac"}, "h264", "aac"},
      {"mpeg4_vorbis.mkv",
       Join({TestPicture("352x288", "30"), TestTone(48000, "mono")}),
       {"-c:v", "mpeg4", "-c:a", "libvorbis"},
       "mpeg4",
       "vorbis"},
      {"audio_only.mka", TestTone(32000, "stereo", "3"), {"-c:a", "libvorbis"}, nullptr, "vorbis"},
      {"mp3_small_clusters.mkv",
       Join({TestPicture("320x240", "24"), TestTone(22050, "mono")}),
       {"-c:v", "libx264", "-c:a", "libmp3lame", "-cluster_size_limit", "4096"},
       "h264",
       "mp3"},
      {"piped.mkv",
       Join({TestPicture("320x240", "24"), TestTone(44100, "stereo", "3")}),
       {"-c:v", "libx264", "-c:a", "aac"},
       "h264",
       "aac",
       true},
      {"piped_audio.mka", TestTone(48000, "mono", "3"), {"-c:a", "libvorbis"}, nullptr, "vorbis", true},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(c.name);
    std::string log;
    if (c.piped) {
      // ffmpeg writes to its standard output, a pipe it cannot seek back in, and says nothing else there.
      std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-nostdin", "-nostats", "-loglevel", "quiet"};
      argv.insert(argv.end(), c.inputs.begin(), c.inputs.end());
      argv.insert(argv.end(), c.options.begin(), c.options.end());
      argv.insert(argv.end(), {"-f", "matroska", "pipe:1"});
      std::string bytes;
      ASSERT_EQ(testsupport::RunCommand(argv, &bytes), 0);
      std::ofstream(path, std::ios::binary) << bytes;
    } else {
      ASSERT_TRUE(testmedia::MakeMedia(Join({c.inputs, c.options}), path, &log)) << log;
    }
    auto expected = testmedia::Describe(path);
    ASSERT_TRUE(expected.ok);
    if (c.piped) {
      ASSERT_EQ(expected.duration, 0);  // ffprobe has no duration: where the last packet ends is the play time
      expected.duration = testmedia::PacketsEnd(path);
      ASSERT_GT(expected.duration, 2.5);
    }

    MediaFile file;
    ASSERT_TRUE(file.open(path));
    MediaInfo info;
    ASSERT_EQ(ProbeMediaFile(&file, &info, path), kTypeMkv);
    // The file's head; without a duration, one more read of its end.
    EXPECT_LE(file.systemReads(), c.piped ? 3u : 2u);
    ASSERT_EQ(info.video != nullptr, c.videoCodec != nullptr);
    if (c.videoCodec) {
      EXPECT_EQ(info.video->codec, c.videoCodec);
      EXPECT_EQ(info.video->value1, expected.width);
      EXPECT_EQ(info.video->value2, expected.height);
      EXPECT_NEAR(info.fps, expected.frameRate, 0.01);
    }
    ASSERT_TRUE(info.audio);
    EXPECT_EQ(info.audio->codec, c.audioCodec);
    EXPECT_EQ(info.audio->value1, expected.sampleRate);
    EXPECT_EQ(info.audio->value3, expected.channels);
    EXPECT_NEAR(info.duration_s, std::trunc(expected.duration), 1);
    EXPECT_GT(info.bitrate_kbps, 0);
  }
}

TEST(MkvParser, AudioTrackValuesTheirDefaultsAndThePlayedRate) {
  auto entry = [](const std::string& codec, const std::string& audio, const std::string& more = "") {
    return El(kTrackEntry, UInt(kTrackNumber, 2) + UInt(kTrackType, 2) + Text(kCodecId, codec) + more +
                               El(kAudio, audio));
  };
  // HE-AAC with SBR stated in its configuration: object type 5, core 24 kHz, stereo, output 48 kHz.
  const std::string explicitSbr("\x2B\x11\x88", 3);
  // Plain LC at 24 kHz followed by the sync extension that announces SBR at 48 kHz.
  const std::string signalledSbr("\x13\x10\x56\xE5\x98", 5);
  const std::string plainLc("\x13\x10", 2);  // LC, 24 kHz, stereo
  struct Case {
    const char* what;
    std::string tracks;
    int rate, channels;
  } cases[] = {
      // A track without the Channels element has one channel.
      {"no channels", entry("A_VORBIS", Float8(kSamplingFrequency, 44100.0)), 44100, 1},
      {"no sampling frequency", entry("A_PCM/INT/LIT", UInt(kChannels, 2)), 8000, 2},
      // SBR: SamplingFrequency is the core rate; the played (output) rate is shown.
      {"output rate stated",
       entry("A_AAC", Float8(kSamplingFrequency, 22050.0) + Float4(kOutputSamplingFrequency, 44100.0f)), 44100, 1},
      {"SBR in the configuration",
       entry("A_AAC", Float8(kSamplingFrequency, 24000.0) + UInt(kChannels, 2), El(kCodecPrivate, explicitSbr)),
       48000, 2},
      {"SBR in a sync extension",
       entry("A_AAC", Float8(kSamplingFrequency, 24000.0) + UInt(kChannels, 2), El(kCodecPrivate, signalledSbr)),
       48000, 2},
      {"SBR in the codec ID", entry("A_AAC/MPEG4/LC/SBR", Float8(kSamplingFrequency, 22050.0) + UInt(kChannels, 2)),
       44100, 2},
      {"plain AAC", entry("A_AAC", Float8(kSamplingFrequency, 24000.0) + UInt(kChannels, 2), El(kCodecPrivate, plainLc)),
       24000, 2},
      // The first audio track marked as a default one is what a player starts with.
      {"commentary first, not a default",
       entry("A_AAC", Float8(kSamplingFrequency, 22050.0), UInt(kFlagDefault, 0)) +
           entry("A_AAC", Float8(kSamplingFrequency, 48000.0) + UInt(kChannels, 2)),
       48000, 2},
      {"first of two defaults",
       entry("A_AAC", Float8(kSamplingFrequency, 48000.0) + UInt(kChannels, 2)) +
           entry("A_AAC", Float8(kSamplingFrequency, 22050.0), UInt(kFlagDefault, 0)),
       48000, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Parsed p = Parse(File(Info(10000.0) + Tracks(c.tracks) + Cluster()));
    ASSERT_EQ(p.result, 1);
    ASSERT_TRUE(p.info.audio);
    EXPECT_EQ(p.info.audio->value1, c.rate);
    EXPECT_EQ(p.info.audio->value3, c.channels);
  }
}

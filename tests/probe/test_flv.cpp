// FLV parser: tags and AMF0 metadata built in code for exact values and hostile input, real
// files made by ffmpeg for agreement with ffprobe.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "FfmpegMedia.h"
#include "TestSupport.h"
#include "probe/Parsers.h"

using testmedia::ProbeBytes;
using testsupport::ByteWriter;

namespace {

// Bits most significant first, for picture headers and parameter sets.
class BitWriter {
 public:
  BitWriter& bits(uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) bit((v >> i) & 1);
    return *this;
  }
  BitWriter& ue(uint32_t v) {
    const uint64_t x = uint64_t{v} + 1;
    int len = 0;
    while ((x >> len) > 1) ++len;
    return bits(0, len).bits(x, len + 1);
  }
  // Pads with zeros to whole bytes.
  std::string str() const {
    std::string out;
    for (size_t i = 0; i < bits_.size(); i += 8) {
      uint8_t b = 0;
      for (size_t j = 0; j < 8; ++j) b = static_cast<uint8_t>((b << 1) | (i + j < bits_.size() ? bits_[i + j] : 0));
      out += static_cast<char>(b);
    }
    return out;
  }

 private:
  void bit(int b) { bits_.push_back(static_cast<uint8_t>(b)); }
  std::vector<uint8_t> bits_;
};

constexpr uint8_t kAudio = 8, kVideo = 9, kScript = 18;

struct Tag {
  uint8_t type;
  uint32_t timestamp;
  std::string data;
};

std::string Flv(const std::vector<Tag>& tags, uint32_t dataOffset = 9) {
  ByteWriter w;
  w.text("FLV").u8(1).u8(5)  // signature, version, flags (audio and video)
      .u32be(dataOffset);    // header length
  if (dataOffset > 9 && dataOffset < 64) w.zeros(dataOffset - 9);
  uint32_t previous = 0;
  for (const auto& t : tags) {
    w.u32be(previous)                                // previous tag size
        .u8(t.type)                                  // tag type
        .u24be(static_cast<uint32_t>(t.data.size()))  // data size
        .u24be(t.timestamp)                          // timestamp, ms
        .u8(0)                                       // timestamp extension
        .u24be(0)                                    // stream id
        .text(t.data);
    previous = static_cast<uint32_t>(11 + t.data.size());
  }
  w.u32be(previous);
  return w.str();
}

std::string AmfNumber(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return ByteWriter().u8(0).u64be(bits).str();
}
std::string AmfString(const std::string& s) {
  return ByteWriter().u8(2).u16be(static_cast<uint16_t>(s.size())).text(s).str();
}
std::string Property(const std::string& name, const std::string& value) {
  return ByteWriter().u16be(static_cast<uint16_t>(name.size())).text(name).text(value).str();
}
// "onMetaData" and an ECMA array of the properties.
std::string Metadata(const std::vector<std::string>& properties) {
  ByteWriter w;
  w.text(AmfString("onMetaData")).u8(8).u32be(static_cast<uint32_t>(properties.size()));
  for (const auto& p : properties) w.text(p);
  w.u16be(0).u8(9);  // empty name, object end marker
  return w.str();
}

// A Sorenson H.263 key frame: tag byte, then start code, version, temporal reference, size code.
std::string H263Frame(int sizeCode, uint32_t width = 0, uint32_t height = 0) {
  BitWriter b;
  b.bits(0x12, 8)  // key frame, codec 2
      .bits(1, 17).bits(0, 5).bits(0, 8).bits(static_cast<uint64_t>(sizeCode), 3);
  if (sizeCode == 0) b.bits(width, 8).bits(height, 8);
  if (sizeCode == 1) b.bits(width, 16).bits(height, 16);
  b.bits(0, 64);  // the rest of the picture header
  return b.str();
}

// An AVC sequence-header tag carrying one SPS of `heightMapUnits` × `widthMbs` with cropping.
std::string AvcSequenceHeader(uint32_t profile, uint32_t widthMbs, uint32_t heightMapUnits, bool frameMbsOnly,
                              uint32_t cropBottom) {
  BitWriter s;
  s.bits(0x67, 8).bits(profile, 8).bits(0, 8).bits(40, 8)  // NAL header, profile, constraints, level
      .ue(0);                                             // seq_parameter_set_id
  if (profile == 100) s.ue(1).ue(0).ue(0).bits(0, 1).bits(0, 1);  // 4:2:0, 8 bit, no scaling lists
  s.ue(0).ue(0).ue(2)  // log2_max_frame_num, poc type 0, log2_max_poc_lsb
      .ue(4).bits(0, 1)  // reference frames, gaps
      .ue(widthMbs - 1).ue(heightMapUnits - 1).bits(frameMbsOnly, 1);
  if (!frameMbsOnly) s.bits(0, 1);
  s.bits(1, 1).bits(cropBottom ? 1 : 0, 1);  // direct 8x8, cropping
  if (cropBottom) s.ue(0).ue(0).ue(0).ue(cropBottom);
  s.bits(0, 1).bits(1, 1);  // no VUI, stop bit
  const std::string sps = s.str();
  ByteWriter w;
  w.u8(0x17).u8(0).u24be(0)                  // key frame + AVC, sequence header, composition time
      .u8(1).u8(static_cast<uint8_t>(profile)).u8(0).u8(40)  // record: version, profile, compatibility, level
      .u8(0xFF)                                               // NAL length size
      .u8(0xE1).u16be(static_cast<uint16_t>(sps.size())).text(sps)    // one SPS
      .u8(0);                                                          // no PPS
  return w.str();
}

struct Parsed {
  int rc = 0;
  MediaInfo info;
};
Parsed Parse(const std::string& bytes) {
  Parsed p;
  MediaFile file = MediaFile::FromMemory(bytes);
  p.info.end_offset = static_cast<int64_t>(bytes.size());
  p.rc = RunFlv(file, p.info);
  return p;
}

const std::string kMp3Tag = std::string("\x2E", 1);  // mp3, 44100 Hz, 16 bit, mono; no frame follows

}  // namespace

TEST(FlvParser, PlayTimeFromMetadataElseLargestTimestamp) {
  // (the encoder text makes the file long enough for detection)
  std::vector<Tag> withMeta = {{kScript, 0,
                                Metadata({Property("duration", AmfNumber(12.9)),
                                          Property("encoder", AmfString(std::string(100, 'x')))})},
                               {kAudio, 0, kMp3Tag},
                               {kVideo, 3000, H263Frame(5)}};
  std::vector<Tag> withoutMeta;
  for (uint32_t ts = 0; ts <= 12900; ts += 100) withoutMeta.push_back({ts % 200 ? kAudio : kVideo, ts, kMp3Tag});
  for (const auto& tags : {withMeta, withoutMeta}) {
    const std::string bytes = Flv(tags);
    auto p = ProbeBytes(bytes, "clip.flv");
    ASSERT_EQ(p.type, kTypeFlv);
    EXPECT_EQ(p.info.duration_s, 12);
    EXPECT_EQ(p.info.bitrate_kbps, static_cast<int>(bytes.size() * 8 / 12 / 1024));
  }
}

TEST(FlvParser, MetadataRatesFrameRateAndPayloadStart) {
  struct Case {
    double audiodatarate;
    int audioKbps;
  } cases[] = {{96, 96}, {96000, 96}, {1000, 1000}, {0, 0}};
  for (const auto& c : cases) {
    const std::string meta = Metadata({Property("audiodatarate", AmfNumber(c.audiodatarate)),
                                       Property("videodatarate", AmfNumber(700.9)),
                                       Property("FrameRate", AmfNumber(29.97))});
    auto p = Parse(Flv({{kScript, 0, meta}, {kAudio, 0, kMp3Tag}}));
    ASSERT_EQ(p.rc, 1);
    EXPECT_EQ(p.info.audio->value2, c.audioKbps) << c.audiodatarate;
    EXPECT_EQ(p.info.video->value3, 700);
    EXPECT_DOUBLE_EQ(p.info.fps, 29.97);  // names compare without regard to case
    EXPECT_EQ(p.info.payload_start, 9 + 4 + 11 + static_cast<int>(meta.size()));
  }
}

TEST(FlvParser, AudioOnlyFileWithoutMetadata) {
  auto p = Parse(Flv({{kAudio, 0, kMp3Tag}, {kAudio, 2600, kMp3Tag}}));
  ASSERT_EQ(p.rc, 1);
  ASSERT_TRUE(p.info.video && p.info.audio);
  EXPECT_EQ(p.info.video->codec, "");
  EXPECT_EQ(p.info.video->value1, 0);
  EXPECT_EQ(p.info.audio->codec, "mp3");
  EXPECT_EQ(p.info.payload_start, 0);
  EXPECT_EQ(p.info.fps, 0.0);
  EXPECT_EQ(p.info.duration_s, 2);
}

TEST(FlvParser, AudioTagGivesFormatRateAndChannels) {
  struct Case {
    std::string data;
    const char* codec;
    int rate, channels;
  } cases[] = {
      {"\x2E", "mp3", 44100, 1},
      // the frame header knows 48000 Hz, the tag cannot say it
      {std::string("\x2F\xFF\xFB\x94\x00", 5), "mp3", 48000, 2},
      {"\x2F\xFF\x00\x00\x00", "mp3", 44100, 2},  // no frame header: the tag's rate
      // Formats of one fixed rate: the rate (and for these the type) bits do not count.
      {"\x52", "Nellymoser 8kHz mono", 8000, 1},
      {"\x4F", "Nellymoser 16kHz mono", 16000, 1},
      {"\xB2", "Speex", 16000, 1},
      {"\xBF", "Speex", 16000, 1},
      {"\x73", "G.711A-law logarithmic PCM", 8000, 2},
      {"\x82", "G.711 mu-law logarithmic PCM", 8000, 1},
      {"\xE2", "mp3 8kHz", 8000, 1},
      {"\x6E", "Nellymoser", 44100, 1},  // the general Nellymoser format keeps the tag's rate
      // The MP3 frame header wins over flags that disagree with it, for channels too.
      {std::string("\x2F\xFF\xFB\x94\xC0", 5), "mp3", 48000, 1},
      {std::string("\x2A\xFF\xFB\x90\x00", 5), "mp3", 44100, 2},
      {"\xAF\x01", "AAC", 44100, 2},                   // raw AAC data first: the tag's values
      {std::string("\xAF\x00\x11\x88", 4), "AAC", 48000, 1},  // AudioSpecificConfig: LC, 48000 Hz, mono
      {"\x3A", "Linear PCM, little endian", 22050, 1},
      {"", "", 0, 0},  // no data, so no flags: the byte behind the tag belongs to what follows
  };
  for (const auto& c : cases) {
    auto p = Parse(Flv({{kAudio, 0, c.data}}));
    ASSERT_EQ(p.rc, 1);
    SCOPED_TRACE(c.codec);
    EXPECT_EQ(p.info.audio->codec, c.codec);
    EXPECT_EQ(p.info.audio->value1, c.rate);
    EXPECT_EQ(p.info.audio->value3, c.channels);
  }
}

TEST(FlvParser, VideoCodecNamesAndMetadataFallbacks) {
  struct Case {
    std::vector<Tag> tags;
    const char* codec;
  } cases[] = {
      {{{kVideo, 0, "\x14"}}, "On2 VP6"},
      {{{kVideo, 0, "\x17\x01"}}, "Sorenson H.264"},
      {{{kVideo, 0, "\x1C"}}, ""},  // codec 12 is not VP6: all four id bits count
      {{{kScript, 0, Metadata({Property("videocodecid", AmfNumber(4))})}}, "On2 VP6"},
      {{{kScript, 0, Metadata({Property("videocodecid", AmfNumber(1e300))})}}, ""},
  };
  for (const auto& c : cases) {
    auto p = Parse(Flv(c.tags));
    ASSERT_EQ(p.rc, 1);
    EXPECT_EQ(p.info.video->codec, c.codec);
  }
}

TEST(FlvParser, FrameSizeFromPictureHeaderElseMetadata) {
  struct Case {
    std::string frame;
    int width, height;
  } cases[] = {
      {H263Frame(5), 320, 240},             // fixed size wins over the metadata
      {H263Frame(3), 176, 144},
      {H263Frame(0, 200, 100), 200, 100},   // 8-bit fields
      {H263Frame(1, 1000, 600), 1000, 600},  // 16-bit fields
      {H263Frame(7), 640, 480},             // unknown: the metadata
      {"\x12\x00", 640, 480},               // too short to hold a picture header
      {AvcSequenceHeader(100, 120, 68, true, 4), 1920, 1080},   // 1088 coded lines, 8 cropped
      {AvcSequenceHeader(66, 40, 23, true, 4), 640, 360},       // baseline: no chroma format fields
      {AvcSequenceHeader(77, 45, 18, false, 0), 720, 576},      // field coding: map units are field pairs
  };
  const std::string meta = Metadata({Property("width", AmfNumber(640)), Property("height", AmfNumber(480))});
  for (const auto& c : cases) {
    auto p = Parse(Flv({{kScript, 0, meta}, {kVideo, 0, c.frame}}));
    ASSERT_EQ(p.rc, 1);
    EXPECT_EQ(p.info.video->value1, c.width);
    EXPECT_EQ(p.info.video->value2, c.height);
  }
}

TEST(FlvParser, HostileMetadataIsBounded) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  std::string deep;  // a hundred thousand nested objects
  for (int i = 0; i < 100000; ++i) deep += ByteWriter().u16be(1).text("o").u8(3).str();
  const std::string duration = Property("duration", AmfNumber(42));
  const std::string cases[] = {
      Metadata({duration, Property("deep", "\x03" + deep)}),
      Metadata({duration, Property("array", ByteWriter().u8(10).u32be(0xFFFFFFFF).str())}),
      Metadata({duration, Property("ecma", ByteWriter().u8(8).u32be(0xFFFFFFFF).u16be(0).u8(9).str())}),
      Metadata({duration, Property("text", ByteWriter().u8(2).u16be(0xFFFF).text("short").str())}),
      Metadata({duration, Property("long", ByteWriter().u8(12).u32be(0xFFFFFFFF).str())}),
      Metadata({duration, Property("unknown type", "\x55")}),
      Metadata({duration, Property("width", AmfNumber(nan)), Property("height", AmfNumber(-inf)),
                Property("framerate", AmfNumber(inf)), Property("audiodatarate", AmfNumber(1e300)),
                Property("audiocodecid", AmfNumber(nan))}),
  };
  for (const auto& meta : cases) {
    auto p = Parse(Flv({{kScript, 0, meta}, {kAudio, 0, kMp3Tag}}));
    ASSERT_EQ(p.rc, 1);
    EXPECT_EQ(p.info.duration_s, 42);  // what came before the trouble is kept
    EXPECT_EQ(p.info.fps, 0.0);
    EXPECT_EQ(p.info.video->value1, 0);
  }
}

TEST(FlvParser, HostileSizesAndOffsets) {
  std::string hugeTag = Flv({{kScript, 0, Metadata({Property("duration", AmfNumber(7))})}});
  hugeTag[9 + 4 + 1] = '\xFF';  // data size 0xFF…: more than the file holds
  hugeTag[9 + 4 + 2] = '\xFF';
  hugeTag[9 + 4 + 3] = '\xFF';
  struct Case {
    std::string bytes;
    int rc;
    int duration;
  } cases[] = {
      {hugeTag, 1, 7},                                // the metadata that is there is read
      {Flv({{kAudio, 5000, kMp3Tag}}, 0xFFFFFFFF), 1, 0},  // tags would start past the end: none
      {Flv({{kAudio, 5000, kMp3Tag}}, 13), 1, 5},     // a longer header is skipped
      {"FLV", 0, 0},
      {"FLX\x01\x05\x00\x00\x00\x09", 0, 0},
  };
  for (const auto& c : cases) {
    auto p = Parse(c.bytes);
    EXPECT_EQ(p.rc, c.rc);
    EXPECT_EQ(p.info.duration_s, c.duration);
  }
}

TEST(FlvParser, EveryPrefixEndsInAResult) {
  const std::string whole = Flv({{kScript, 0,
                                  Metadata({Property("duration", AmfNumber(3.5)), Property("width", AmfNumber(320)),
                                            Property("tags", ByteWriter().u8(10).u32be(2).str() + AmfString("a") +
                                                                 AmfNumber(1))})},
                                 {kAudio, 0, std::string("\xAF\x00\x11\x88", 4)},
                                 {kVideo, 0, AvcSequenceHeader(100, 20, 15, true, 0)},
                                 {kVideo, 40, H263Frame(1, 16, 16)}});
  for (size_t n = 0; n <= whole.size(); ++n) {
    auto p = Parse(whole.substr(0, n));
    EXPECT_EQ(p.rc, n >= 5 ? 1 : 0) << n;
  }
}

// ---- real files ----------------------------------------------------------------------------

class FlvRealMedia : public ::testing::Test {
 protected:
  void SetUp() override {
    ZELVORA_SKIP_WITHOUT_TOOL(!testmedia::HaveFfmpeg(), "ffmpeg needed");
  }
  testsupport::TempDir dir_;
};

TEST_F(FlvRealMedia, MatchesFfprobe) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* encoder;
    const char* videoCodec;
    const char* audioCodec;
  } cases[] = {
      {"h263-mp3.flv",
       {"-f", "lavfi", "-i", "testsrc=s=320x240:r=25:d=6", "-f", "lavfi", "-i", "sine=d=6", "-c:v", "flv1", "-c:a",
        "libmp3lame", "-ar", "22050", "-ac", "1"},
       "libmp3lame", "Sorenson H.263", "mp3"},
      {"h263-mp3-48k.flv",
       {"-f", "lavfi", "-i", "testsrc=s=640x360:r=30:d=4", "-f", "lavfi", "-i", "sine=d=4", "-c:v", "flv1", "-c:a",
        "libmp3lame", "-ar", "48000", "-ac", "2"},
       "libmp3lame", "Sorenson H.263", "mp3"},
      {"h264-aac.flv",
       {"-f", "lavfi", "-i", "testsrc=s=640x360:r=30:d=7.5", "-f", "lavfi", "-i", "sine=d=7.5", "-c:v", "libx264",
        "-c:a", "aac", "-ar", "48000", "-ac", "2"},
       "libx264", "Sorenson H.264", "AAC"},
  };
  for (const auto& c : cases) {
    if (testsupport::SkipCaseWithoutTool(!testmedia::HaveEncoder(c.encoder), std::string("no ") + c.encoder + " encoder"))
      continue;
    const std::string path = dir_.file(c.name);
    ASSERT_TRUE(testmedia::MakeMedia(c.args, path));
    const auto facts = testmedia::Describe(path);
    const auto p = testmedia::ProbePath(path);
    SCOPED_TRACE(c.name);
    ASSERT_EQ(p.type, kTypeFlv);
    ASSERT_TRUE(p.info.video && p.info.audio);
    EXPECT_EQ(p.info.video->codec, c.videoCodec);
    EXPECT_EQ(p.info.video->value1, facts.width);
    EXPECT_EQ(p.info.video->value2, facts.height);
    EXPECT_NEAR(p.info.fps, facts.frameRate, 0.01);
    EXPECT_EQ(p.info.audio->codec, c.audioCodec);
    EXPECT_EQ(p.info.audio->value1, facts.sampleRate);
    EXPECT_EQ(p.info.audio->value3, facts.channels);
    EXPECT_NEAR(p.info.duration_s, std::trunc(facts.duration), 1);
  }
}

TEST(FlvParser, WithoutAStatedFrameRateTheVideoTimestampsGiveIt) {
  const std::string h263 = H263Frame(5);  // 320 × 240
  auto frames = [&](int n, uint32_t start, double interval, const std::string& data) {
    std::vector<Tag> tags;
    for (int i = 0; i < n; ++i) tags.push_back({kVideo, start + static_cast<uint32_t>(i * interval + 0.5), data});
    return tags;
  };
  // 80 frames of 66.67 ms (15 fps), timestamps rounded to whole milliseconds.
  auto p = Parse(Flv(frames(80, 0, 1000.0 / 15, h263)));
  EXPECT_NEAR(p.info.fps, 15.0, 0.01);

  // AVC: the sequence header (packet type 0) and a command frame carry no picture and do not count.
  std::vector<Tag> avc = {{kVideo, 0, std::string("\x17\x00\x00\x00\x00", 5)},
                          {kVideo, 2000, std::string("\x57\x00", 2)}};
  for (const Tag& t : frames(70, 2265, 1000.0 / 30, std::string("\x27\x01\x00\x00\x00", 5))) avc.push_back(t);
  p = Parse(Flv(avc));
  EXPECT_NEAR(p.info.fps, 30.0, 0.02);

  // A stated frame rate wins; metadata with a duration does not stop the count early.
  std::vector<Tag> stated = {{kScript, 0, Metadata({Property("framerate", AmfNumber(12.5))})}};
  for (const Tag& t : frames(10, 0, 40, h263)) stated.push_back(t);
  EXPECT_DOUBLE_EQ(Parse(Flv(stated)).info.fps, 12.5);
  std::vector<Tag> timed = {{kScript, 0, Metadata({Property("duration", AmfNumber(100))})}, {kAudio, 0, kMp3Tag}};
  for (const Tag& t : frames(90, 0, 40, h263)) timed.push_back(t);
  p = Parse(Flv(timed));
  EXPECT_NEAR(p.info.fps, 25.0, 0.01);
  EXPECT_EQ(p.info.duration_s, 100);

  // One frame gives no rate.
  EXPECT_EQ(Parse(Flv(frames(1, 0, 40, h263))).info.fps, 0.0);
}

// AVI parser: real ffmpeg files against ffprobe, header values from built fixtures, hostile
// chunk sizes, and every truncation of a small file.
#include <gtest/gtest.h>

#include <filesystem>
#include <cstring>
#include <iostream>

#include "FfmpegMedia.h"
#include "TestSupport.h"
#include "probe/Parsers.h"
#include "probe/Probe.h"
#include "support/DebugLog.h"

using testsupport::ByteWriter;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

std::string Le32(uint32_t v) { return ByteWriter().u32le(v).str(); }

// tag, size, data, pad byte to an even size
std::string Chunk(const std::string& id, const std::string& data) {
  ByteWriter w;
  w.text(id).u32le(static_cast<uint32_t>(data.size())).text(data);
  if (data.size() & 1) w.u8(0);
  return w.str();
}
std::string List(const std::string& type, const std::string& children) { return Chunk("LIST", type + children); }

std::string StreamHeader(const std::string& type, const std::string& handler, uint32_t scale, uint32_t rate,
                         uint32_t length) {
  ByteWriter w;
  w.text(type)           // stream type
      .text(handler)     // handler FOURCC
      .u32le(0)          // flags
      .u16le(0)          // priority
      .u16le(0)          // language
      .u32le(0)          // initial frames
      .u32le(scale)      // scale
      .u32le(rate)       // rate
      .u32le(0)          // start
      .u32le(length)     // length
      .u32le(0)          // suggested buffer size
      .u32le(0xFFFFFFFF) // quality
      .u32le(0)          // sample size
      .zeros(8);         // frame rectangle
  return w.str();
}

std::string BitmapInfo(int32_t width, int32_t height, const std::string& compression) {
  ByteWriter w;
  w.u32le(40)                             // header size
      .u32le(static_cast<uint32_t>(width))   // width
      .u32le(static_cast<uint32_t>(height))  // height
      .u16le(1)                           // planes
      .u16le(24)                          // bits per pixel
      .text(compression)                  // compression FOURCC
      .u32le(0)                           // image size
      .zeros(16);                         // resolution, colours
  return w.str();
}

struct AudioFormat {
  uint16_t tag = 0x55;
  uint16_t channels = 2;
  uint32_t sampleRate = 44100;
  uint32_t bytesPerSecond = 16000;
};

std::string WaveFormat(const AudioFormat& a) {
  ByteWriter w;
  w.u16le(a.tag)                 // format tag
      .u16le(a.channels)         // channels
      .u32le(a.sampleRate)       // samples per second
      .u32le(a.bytesPerSecond)   // average bytes per second
      .u16le(1)                  // block alignment
      .u16le(16)                 // bits per sample
      .u16le(0);                 // extra size
  return w.str();
}

struct AviFixture {
  uint32_t scale = 1, rate = 25, length = 4500;
  std::string handler = "xvid", compression = "XVID";
  int32_t width = 640, height = 480;
  std::vector<AudioFormat> audio = {AudioFormat{}};
  size_t moviBytes = 2000;
  int indexEntries = 4;  // negative: no "idx1" chunk

  std::string headerList() const {
    std::string strls = List("strl", Chunk("strh", StreamHeader("vids", handler, scale, rate, length)) +
                                         Chunk("strf", BitmapInfo(width, height, compression)));
    for (const AudioFormat& a : audio)
      strls += List("strl", Chunk("strh", StreamHeader("auds", std::string(4, '\0'), 1, a.sampleRate, 0)) +
                                Chunk("strf", WaveFormat(a)));
    return List("hdrl", Chunk("avih", std::string(56, '\0')) + strls);
  }
  std::string body() const {
    std::string b = "AVI " + headerList() + List("movi", Chunk("00dc", std::string(moviBytes, 'v')));
    if (indexEntries >= 0) b += Chunk("idx1", std::string(16 * static_cast<size_t>(indexEntries), '\0'));
    return b;
  }
  std::string build() const { return "RIFF" + Le32(static_cast<uint32_t>(body().size())) + body(); }
};

struct Parsed {
  int result = 0;
  MediaInfo info;
};

// Parses `bytes` as a file; `claimedSize` stands in for the file length the probe records.
Parsed ParseBytes(const std::string& bytes, int64_t claimedSize = -1) {
  TempDir dir;
  std::string path = dir.file("clip.avi");
  WriteFile(path, bytes);
  Parsed p;
  p.info.file_size = p.info.end_offset = claimedSize >= 0 ? claimedSize : static_cast<int64_t>(bytes.size());
  p.result = ParseAvi(path, p.info);
  return p;
}

}  // namespace

// 25 fps × 4,500 frames in a 45,000,000-byte file with 128 kbit/s MP3.
TEST(AviParser, HeaderValuesAndDerivedRates) {
  AviFixture f;
  std::string bytes = f.build();
  Parsed p = ParseBytes(bytes, 45'000'000);
  ASSERT_EQ(p.result, 1);
  const MediaInfo& i = p.info;
  EXPECT_EQ(i.duration_s, 180);
  EXPECT_EQ(i.bitrate_kbps, 2000);
  EXPECT_DOUBLE_EQ(i.fps, 25.0);
  ASSERT_TRUE(i.video && i.audio);
  EXPECT_EQ(i.video->codec, "XVID");  // the "strf" compression, not the "xvid" handler
  EXPECT_EQ(i.video->value1, 640);
  EXPECT_EQ(i.video->value2, 480);
  EXPECT_EQ(i.video->value3, 1872);
  EXPECT_EQ(i.audio->codec, "MP3");
  EXPECT_EQ(i.audio->value1, 44100);
  EXPECT_EQ(i.audio->value2, 128);
  EXPECT_EQ(i.audio->value3, 2);
  EXPECT_EQ(i.index_entries, 4);
  EXPECT_EQ(i.payload_start, static_cast<int32_t>(bytes.find("movi") + 4));
  EXPECT_EQ(i.payload_end, static_cast<int64_t>(bytes.find("idx1")) - 1024);
}

TEST(AviParser, HeaderVariants) {
  struct Case {
    const char* name;
    void (*change)(AviFixture&);
    double fps;
    int duration;
    const char* videoCodec;
    const char* audioCodec;
    int audioKbps;
    int indexEntries;
  };
  const Case cases[] = {
      {"ntsc", [](AviFixture& f) { f.scale = 1001, f.rate = 30000, f.length = 300; }, 29.97, 10, "XVID", "MP3", 128, 4},
      {"scale 0", [](AviFixture& f) { f.scale = 0; }, 0, 0, "XVID", "MP3", 128, 4},
      {"handler differs", [](AviFixture& f) { f.handler = "DIVX"; }, 25, 180, "XVID", "MP3", 128, 4},
      {"no audio", [](AviFixture& f) { f.audio.clear(); }, 25, 180, "XVID", "unknown", 0, 4},
      {"pcm", [](AviFixture& f) { f.audio = {{1, 1, 22050, 44100}}; }, 25, 180, "XVID", "PCM", 352, 4},
      {"tag not in table", [](AviFixture& f) { f.audio[0].tag = 0x00FE; }, 25, 180, "XVID", "", 128, 4},
      {"no index", [](AviFixture& f) { f.indexEntries = -1; }, 25, 180, "XVID", "MP3", 128, 0},
      {"uncompressed", [](AviFixture& f) { f.compression = std::string(4, '\0'); }, 25, 180, "", "MP3", 128, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AviFixture f;
    c.change(f);
    Parsed p = ParseBytes(f.build(), 45'000'000);
    ASSERT_EQ(p.result, 1);
    EXPECT_NEAR(p.info.fps, c.fps, 0.005);
    EXPECT_EQ(p.info.duration_s, c.duration);
    EXPECT_EQ(p.info.bitrate_kbps, c.duration ? 45'000'000 * 8 / c.duration / 1000 : 0);
    EXPECT_EQ(p.info.video->codec, c.videoCodec);
    EXPECT_EQ(p.info.audio->codec, c.audioCodec);
    EXPECT_EQ(p.info.audio->value2, c.audioKbps);
    EXPECT_EQ(p.info.index_entries, c.indexEntries);
    if (c.indexEntries == 0) {
      EXPECT_EQ(p.info.payload_end, 0);
    }
  }
}

// Header parse failures still give both stream descriptions, filled with what was found.
TEST(AviParser, RejectedHeadersGiveEmptyStreams) {
  ByteWriter wav;
  wav.text("RIFF").u32le(40).text("WAVE").text(Chunk("fmt ", WaveFormat({1, 2, 44100, 176400}))).text(Chunk("data", "abcd"));
  AviFixture noMovie;
  std::string noMovieBytes = "RIFF" + Le32(0) + "AVI " + noMovie.headerList();
  for (const std::string& bytes : {wav.str(), noMovieBytes, std::string("RIFF"), std::string()}) {
    Parsed p = ParseBytes(bytes, 1'000'000);
    ASSERT_EQ(p.result, 1);
    ASSERT_TRUE(p.info.video && p.info.audio);
    EXPECT_EQ(p.info.video->codec, "");
    EXPECT_EQ(p.info.video->value1, 0);
    EXPECT_EQ(p.info.audio->codec, "unknown");
    EXPECT_EQ(p.info.duration_s, 0);
    EXPECT_EQ(p.info.bitrate_kbps, 0);
  }
  MediaInfo info;
  EXPECT_EQ(ParseAvi("/nonexistent/clip.avi", info), 0);
  EXPECT_EQ(ParseAvi("", info), 0);
  EXPECT_FALSE(info.video || info.audio);
}

// The ninth audio stream stops the header walk and says so in the diagnostic log.
TEST(AviParser, MoreThanEightAudioTracksAreLogged) {
  std::filesystem::create_directories(DebugLogFolder());
  std::string log = DebugLogFolder() + "/" + kDebugTarget;
  for (size_t tracks : {8u, 9u}) {
    std::filesystem::remove(log);
    AviFixture f;
    f.audio.assign(tracks, AudioFormat{});
    f.audio[0].tag = 1;
    Parsed p = ParseBytes(f.build(), 45'000'000);
    ASSERT_EQ(p.result, 1);
    EXPECT_EQ(p.info.video->value1, 640);  // the video stream came first
    EXPECT_EQ(p.info.audio->codec, "PCM");  // the first track is the one shown
    bool logged = testsupport::ReadFile(log).find("error - only 8 audio tracks supported") != std::string::npos;
    EXPECT_EQ(logged, tracks == 9);
  }
  std::filesystem::remove_all(DebugLogFolder());
}

// Sizes that lie: every case ends quickly in a result, never reading past the file or
// allocating by a declared size.
TEST(AviParser, HostileChunkSizes) {
  AviFixture f;
  const std::string hdrl = f.headerList();
  const std::string movi = List("movi", Chunk("00dc", "vv"));
  auto riff = [](const std::string& body) { return "RIFF" + Le32(0xFFFFFFFF) + "AVI " + body; };
  std::string deep;  // lists nested far deeper than any real file, before the stream lists
  for (int i = 0; i < 5000; ++i) deep = List("strl", deep);
  struct Case {
    const char* name;
    std::string bytes;
    int width;  // 640 when the header list was read, else 0
    int indexEntries;
  };
  const Case cases[] = {
      {"list smaller than its type", riff("LIST" + Le32(2) + "junk" + hdrl + movi), 0, 0},
      {"list of size 0", riff("LIST" + Le32(0) + hdrl + movi), 0, 0},
      {"chunk past the end", riff("JUNK" + Le32(0xFFFFFFFF) + hdrl + movi), 0, 0},
      {"header list past the end", riff("LIST" + Le32(0xFFFFFF00) + "hdrl" + hdrl.substr(12) + movi), 0, 0},
      {"odd chunk is padded", riff(Chunk("JUNK", "abc") + hdrl + movi), 640, 0},
      {"index larger than the file", riff(hdrl + movi + "idx1" + Le32(0xFFFFFFF0) + std::string(64, '\0')), 640, 4},
      {"index of size 0", riff(hdrl + movi + "idx1" + Le32(0)), 640, 0},
      {"movie list past the end", riff(hdrl + "LIST" + Le32(0xFFFFFFFF) + "movi" + "00dc"), 640, 0},
      {"deeply nested lists", riff(List("hdrl", deep + hdrl.substr(12)) + movi), 640, 0},
      {"stream chunks cut short",
       riff(List("hdrl", List("strl", Chunk("strh", "vids") + Chunk("strf", std::string("\x28\0\0\0\x80\x02", 6)))) + movi), 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Parsed p = ParseBytes(c.bytes);
    ASSERT_EQ(p.result, 1);
    EXPECT_EQ(p.info.video->value1, c.width);
    EXPECT_EQ(p.info.index_entries, c.indexEntries);
    EXPECT_GE(p.info.payload_end, 0);
  }
}

TEST(AviParser, EveryPrefixOfAFileEndsInAResult) {
  AviFixture f;
  f.moviBytes = 40;
  const std::string bytes = f.build();
  TempDir dir;
  std::string path = dir.file("cut.avi");
  for (size_t n = 0; n <= bytes.size(); ++n) {
    WriteFile(path, bytes.substr(0, n));
    MediaInfo info;
    info.end_offset = static_cast<int64_t>(n);
    ASSERT_EQ(ParseAvi(path, info), 1) << n;
    ASSERT_TRUE(info.video && info.audio);
    if (n == bytes.size()) {
      EXPECT_EQ(info.video->value1, 640);
      EXPECT_EQ(info.index_entries, 4);
    }
  }
}

// Files ffmpeg makes, compared with what ffprobe reads from them.
TEST(AviParser, MatchesFfprobeOnRealFiles) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testmedia::HaveFfmpeg(), "ffmpeg/ffprobe not installed");
  struct Case {
    const char* name;
    const char* encoder;  // needed video encoder
    std::vector<std::string> args;
    const char* audioCodec;
    bool stripIndex;
  };
  const std::vector<std::string> video25 = testmedia::TestPicture("320x240", "25", "5.6");
  const std::vector<std::string> videoNtsc = testmedia::TestPicture("176x144", "30000/1001", "4.2");
  const std::vector<std::string> tone = {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=5.6"};
  const std::vector<std::string> mp3 = {"-c:a", "libmp3lame", "-b:a", "128k", "-ac", "2"};
  using testmedia::Join;
  const Case cases[] = {
      {"mpeg4 + mp3", "mpeg4", Join({video25, tone, {"-c:v", "mpeg4"}, mp3}), "MP3", false},
      {"xvid + mp3", "libxvid", Join({videoNtsc, tone, {"-shortest", "-c:v", "libxvid"}, mp3}), "MP3", false},
      {"mpeg4 + pcm", "mpeg4",
       Join({video25, tone, {"-c:v", "mpeg4", "-c:a", "pcm_s16le", "-ar", "22050", "-ac", "1"}}), "PCM", false},
      {"mpeg4 + mp3 without idx1", "mpeg4", Join({video25, tone, {"-c:v", "mpeg4"}, mp3}), "MP3", true},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (testsupport::SkipCaseWithoutTool(!testmedia::HaveEncoder(c.encoder), std::string("no ") + c.encoder + " encoder"))
      continue;
    std::string path = dir.file("real.avi");
    ASSERT_TRUE(testmedia::MakeMedia(c.args, path));
    std::string bytes = testsupport::ReadFile(path);
    size_t idx1 = bytes.rfind("idx1");
    ASSERT_NE(idx1, std::string::npos);
    if (c.stripIndex) {
      bytes.replace(idx1, 4, "JUNK");  // the index becomes a chunk nobody reads
      WriteFile(path, bytes);
    }
    auto v = testmedia::FfprobeValues(path, "v:0", "stream=width,height,r_frame_rate,codec_tag_string");
    auto a = testmedia::FfprobeValues(path, "a:0", "stream=sample_rate,channels,bit_rate");
    int seconds = testmedia::FfprobeSeconds(path);

    MediaInfo info;
    info.file_size = info.end_offset = static_cast<int64_t>(bytes.size());
    ASSERT_EQ(ParseAvi(path, info), 1);
    ASSERT_TRUE(info.video && info.audio);
    EXPECT_EQ(info.video->codec, v["codec_tag_string"]);
    EXPECT_EQ(info.video->value1, testmedia::FfprobeInt(v, "width"));
    EXPECT_EQ(info.video->value2, testmedia::FfprobeInt(v, "height"));
    EXPECT_NEAR(info.fps, testmedia::Rational(v["r_frame_rate"]), 0.01);
    EXPECT_NEAR(info.duration_s, seconds, 1);
    EXPECT_EQ(info.audio->codec, c.audioCodec);
    EXPECT_EQ(info.audio->value1, testmedia::FfprobeInt(a, "sample_rate"));
    EXPECT_EQ(info.audio->value3, testmedia::FfprobeInt(a, "channels"));
    EXPECT_EQ(info.audio->value2, testmedia::FfprobeInt(a, "bit_rate") / 1000);
    ASSERT_GT(info.duration_s, 0);
    EXPECT_EQ(info.bitrate_kbps, static_cast<int>(bytes.size() * 8 / info.duration_s / 1000));
    EXPECT_EQ(info.video->value3, std::max(info.bitrate_kbps - info.audio->value2, 0));
    EXPECT_EQ(info.payload_start, static_cast<int32_t>(bytes.find("movi") + 4));
    MediaFile probed;
    ASSERT_TRUE(probed.open(path));
    MediaInfo viaProbe;
    EXPECT_EQ(ProbeMediaFile(&probed, &viaProbe, path), kTypeAvi);
    EXPECT_EQ(viaProbe.duration_s, info.duration_s);
    EXPECT_EQ(viaProbe.bitrate_kbps, info.bitrate_kbps);
    if (c.stripIndex) {
      EXPECT_EQ(info.index_entries, 0);
      EXPECT_EQ(info.payload_end, 0);
    } else {
      // 16 bytes per entry, as the chunk's own size field says.
      uint32_t indexBytes = 0;
      std::memcpy(&indexBytes, bytes.data() + idx1 + 4, 4);
      ASSERT_GT(indexBytes, 0u);
      EXPECT_EQ(info.index_entries, static_cast<int>(indexBytes / 16));
      EXPECT_EQ(info.payload_end, static_cast<int64_t>(idx1) - 1024);
    }
  }
}

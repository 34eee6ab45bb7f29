// ASF parser: the numbered queries, the WMA/WMV probes on built fixtures, hostile object
// sizes, every truncation of a small file, and real ffmpeg files against ffprobe.
#include <gtest/gtest.h>

#include <iostream>
#include <optional>

#include "FfmpegMedia.h"
#include "TestSupport.h"
#include "probe/Parsers.h"
#include "probe/Probe.h"

using testsupport::ByteWriter;
using testsupport::TempDir;

namespace {

constexpr const char* kHeader = "75B22630-668E-11CF-A6D9-00AA0062CE6C";
constexpr const char* kFileProperties = "8CABDCA1-A947-11CF-8EE4-00C00C205365";
constexpr const char* kStreamProperties = "B7DC0791-A9B7-11CF-8EE6-00C00C205365";
constexpr const char* kCodecList = "86D15240-311D-11D0-A3A4-00A0C90348F6";
constexpr const char* kData = "75B22636-668E-11CF-A6D9-00AA0062CE6C";
constexpr const char* kSimpleIndex = "33000890-E5B1-11CF-89F4-00A0C90349CB";
constexpr const char* kAudioMedia = "F8699E40-5B4D-11CF-A8FD-00805F5C442B";
constexpr const char* kVideoMedia = "BC19EFC0-5B4D-11CF-A8FD-00805F5C442B";
constexpr const char* kPadding = "1806D474-CADF-4509-A4BA-9AABCB96AAE8";

// The stored form: the first three groups little-endian, the rest as written.
std::string GuidBytes(const std::string& text) {
  auto byte = [&](size_t at) { return static_cast<char>(std::stoi(text.substr(at, 2), nullptr, 16)); };
  std::string out;
  for (size_t at : {6, 4, 2, 0, 11, 9, 16, 14, 19, 21, 24, 26, 28, 30, 32, 34}) out += byte(at);
  return out;
}

// GUID, 64-bit size including these 24 bytes, body
std::string Object(const char* guid, const std::string& body, int64_t size = -1) {
  return ByteWriter()
      .text(GuidBytes(guid))
      .u64le(size >= 0 ? static_cast<uint64_t>(size) : body.size() + 24)
      .text(body)
      .str();
}

std::string Utf16(const std::string& ascii) {
  ByteWriter w;
  for (char c : ascii) w.u16le(static_cast<uint8_t>(c));
  return w.u16le(0).str();  // with its terminating NUL
}

enum Kind { kVideo = 1, kAudio = 2 };

struct CodecEntry {
  uint16_t type;
  std::string name;
  std::string description;
};

struct AsfFixture {
  std::vector<Kind> streams = {kVideo, kAudio};
  uint16_t audioTag = 0x0161;
  uint32_t bytesPerSecond = 16000;
  uint16_t channels = 2;
  uint32_t sampleRate = 44100;
  int32_t width = 320, height = 240;
  std::string compression = "WMV2";
  std::vector<CodecEntry> codecs = {{kVideo, "Windows Media Video 8", ""}, {kAudio, "Windows Media Audio 9.2", "128 kbps"}};
  bool codecList = true;
  uint64_t packets = 100;
  uint32_t packetSize = 64;  // small packets keep the fixture small
  uint32_t maxBitrate = 5120;
  uint64_t playDuration = 130'000'000;  // 13 s, less 3 s of preroll
  uint32_t flags = 2;                   // seekable
  size_t headerPadding = 0;
  bool simpleIndex = true;
  std::vector<std::string> packetContents;  // the first packets' bytes, each padded to the packet size
  uint32_t indexEntries = 7;

  std::string fileProperties() const {
    ByteWriter w;
    w.zeros(16)                 // file ID
        .u64le(123456)          // file size
        .u64le(0x01D0000000000000)  // creation date
        .u64le(packets)         // data packets count
        .u64le(playDuration)    // play duration
        .u64le(90'000'000)      // send duration
        .u64le(3000)            // preroll
        .u32le(flags)           // flags
        .u32le(packetSize)      // minimum data packet size
        .u32le(packetSize)      // maximum data packet size
        .u32le(maxBitrate);     // maximum bit rate
    return Object(kFileProperties, w.str());
  }
  std::string streamProperties(Kind kind, uint16_t number) const {
    ByteWriter specific;
    if (kind == kAudio) {
      specific.u16le(audioTag)      // format tag
          .u16le(channels)          // channels
          .u32le(sampleRate)        // samples per second
          .u32le(bytesPerSecond)    // average bytes per second
          .u16le(2973)              // block alignment
          .u16le(16)                // bits per sample
          .u16le(0);                // extra size
    } else {
      specific.u32le(static_cast<uint32_t>(width))  // encoded image width
          .u32le(static_cast<uint32_t>(height))     // encoded image height
          .u8(2)                                    // reserved flags
          .u16le(40)                                // format data size
          .u32le(40)                                // BITMAPINFOHEADER size
          .u32le(static_cast<uint32_t>(width))      // width
          .u32le(static_cast<uint32_t>(height))     // height
          .u16le(1)                                 // planes
          .u16le(24)                                // bits per pixel
          .text(compression)                        // compression identifier
          .zeros(20);                               // image size, resolution, colours
    }
    ByteWriter w;
    w.text(GuidBytes(kind == kAudio ? kAudioMedia : kVideoMedia))  // stream type
        .zeros(16)                                 // error correction type
        .u64le(5000)                               // time offset
        .u32le(static_cast<uint32_t>(specific.size()))  // type-specific data length
        .u32le(0)                                  // error correction data length
        .u16le(number)                             // flags: stream number
        .u32le(0)                                  // reserved
        .text(specific.str());
    return Object(kStreamProperties, w.str());
  }
  std::string codecListObject() const {
    ByteWriter w;
    w.zeros(16).u32le(static_cast<uint32_t>(codecs.size()));  // reserved GUID, entry count
    for (const CodecEntry& e : codecs) {
      w.u16le(e.type)                                           // type
          .u16le(static_cast<uint16_t>(e.name.size() + 1))      // name length in characters
          .text(Utf16(e.name))                                  // name
          .u16le(static_cast<uint16_t>(e.description.size() + 1))  // description length
          .text(Utf16(e.description))                           // description
          .u16le(2)                                             // information length in bytes
          .text("\x61\x01");                                    // information
    }
    return Object(kCodecList, w.str());
  }
  std::string header() const {
    std::string children = fileProperties();
    if (headerPadding) children += Object(kPadding, std::string(headerPadding, '\0'));
    uint16_t number = 1;
    for (Kind k : streams) children += streamProperties(k, number++);
    if (codecList) children += codecListObject();
    ByteWriter w;
    w.u32le(4).u8(1).u8(2).text(children);  // object count, two reserved bytes
    return Object(kHeader, w.str());
  }
  std::string data() const {
    ByteWriter w;
    w.zeros(16).u64le(packets).u16le(0x0101);  // file ID, packets, reserved
    for (uint64_t i = 0; i < packets; ++i) {
      const std::string content = i < packetContents.size() ? packetContents[i] : std::string();
      w.text(content.substr(0, packetSize)).zeros(packetSize - std::min<size_t>(content.size(), packetSize));
    }
    return Object(kData, w.str());
  }
  std::string index() const {
    ByteWriter w;
    w.zeros(16).u64le(10'000'000).u32le(3).u32le(indexEntries).zeros(indexEntries * 6);
    return Object(kSimpleIndex, w.str());
  }
  std::string build() const { return header() + data() + (simpleIndex ? index() : ""); }
};

struct Probe {
  int result = 0;
  MediaInfo info;
};

Probe ProbeAsf(const std::string& bytes, bool video) {
  MediaFile file = MediaFile::FromMemory(bytes);
  Probe p;
  p.info.file_size = p.info.end_offset = static_cast<int64_t>(bytes.size());
  p.result = video ? RunWmv(file, p.info) : RunWma(file, p.info);
  return p;
}

int64_t Query(int (*query)(MediaFile&, int64_t*, int, bool), const std::string& bytes, int number) {
  MediaFile file = MediaFile::FromMemory(bytes);
  int64_t out = -12345;
  if (!query(file, &out, number, true)) return -1;
  return out;
}

}  // namespace

TEST(AsfParser, WmaValues) {
  AsfFixture f;
  f.streams = {kAudio};
  const std::string bytes = f.build();
  Probe p = ProbeAsf(bytes, false);
  ASSERT_EQ(p.result, 1);
  ASSERT_TRUE(p.info.audio);
  EXPECT_FALSE(p.info.video);
  EXPECT_EQ(p.info.audio->codec, "WMA9.2");
  EXPECT_EQ(p.info.audio->value1, 44100);
  EXPECT_EQ(p.info.audio->value2, 128);
  EXPECT_EQ(p.info.audio->value3, 2);
  EXPECT_EQ(p.info.duration_s, 10);  // 13 s play duration less 3 s preroll
  EXPECT_EQ(p.info.bitrate_kbps, 128);
  const int64_t dataAt = static_cast<int64_t>(f.header().size());
  const int64_t indexAt = dataAt + static_cast<int64_t>(f.data().size());
  EXPECT_EQ(p.info.payload_start, dataAt + 50);
  EXPECT_EQ(p.info.payload_end, indexAt);
  EXPECT_EQ(p.info.index_entries, 7);
}

TEST(AsfParser, WmvValues) {
  AsfFixture f;
  Probe p = ProbeAsf(f.build(), true);
  ASSERT_EQ(p.result, 1);
  ASSERT_TRUE(p.info.audio && p.info.video);
  EXPECT_EQ(p.info.video->codec, "WMV2");
  EXPECT_EQ(p.info.video->value1, 320);
  EXPECT_EQ(p.info.video->value2, 240);
  EXPECT_EQ(p.info.bitrate_kbps, 5);        // maximum bit rate ÷ 1024
  EXPECT_EQ(p.info.video->value3, 0);       // 5 − 128, not negative
  EXPECT_EQ(p.info.duration_s, 10);
  EXPECT_EQ(p.info.audio->codec, "WMA9.2");

  f.maxBitrate = 1024 * 300;
  f.packetSize = 3840;
  f.packets = 100;  // 100 × 3840 × 8 ÷ 307200 = 10 s
  p = ProbeAsf(f.build(), true);
  EXPECT_EQ(p.info.bitrate_kbps, 300);
  EXPECT_EQ(p.info.video->value3, 300 - 128);
  EXPECT_EQ(p.info.duration_s, 10);
}

// The play time is the header's; only a file that does not state it gets the estimate from
// packet count, packet size and maximum bit rate.
TEST(AsfParser, PlayTimeFromHeaderElseEstimate) {
  struct Case {
    const char* name;
    uint64_t playDuration;
    uint32_t flags;
    uint32_t maxBitrate;
    int expected;
  };
  const Case cases[] = {
      {"stated", 130'000'000, 2, 5120, 10},
      {"stated, no bit rate", 130'000'000, 2, 0, 10},
      {"broadcast", 130'000'000, 1, 5120, 15},  // 150 × 64 × 8 ÷ 5120 + 0.5
      {"not stated", 0, 2, 5120, 15},
      {"neither", 0, 2, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AsfFixture f;
    f.packets = 150;
    f.playDuration = c.playDuration;
    f.flags = c.flags;
    f.maxBitrate = c.maxBitrate;
    EXPECT_EQ(ProbeAsf(f.build(), false).info.duration_s, c.expected);
    EXPECT_EQ(ProbeAsf(f.build(), true).info.duration_s, c.expected);
    MediaFile file = MediaFile::FromMemory(f.build());
    EXPECT_EQ(AsfPlayTimeEstimate(file), c.maxBitrate ? 15 : -1);
  }
}

// Without a usable maximum bit rate the overall rate comes from the payload end and play time.
TEST(AsfParser, BitRateFromPayloadWhenTheHeaderGivesNone) {
  for (uint32_t maxBitrate : {0u, 512u}) {
    AsfFixture f;
    f.streams = {kVideo};
    f.maxBitrate = maxBitrate;
    Probe p = ProbeAsf(f.build(), true);
    ASSERT_EQ(p.result, 1);
    EXPECT_EQ(p.info.duration_s, 10);
    EXPECT_GT(p.info.payload_end, 0);
    EXPECT_EQ(p.info.bitrate_kbps, static_cast<int>(p.info.payload_end * 8 / 10 / 1024));
  }
}

TEST(AsfParser, AudioCodecNames) {
  struct Case {
    const char* name;
    std::vector<CodecEntry> codecs;
    bool codecList;
    uint16_t tag;
    const char* expected;
  };
  const std::string longText(200, 'x');
  const Case cases[] = {
      {"9.2", {{kAudio, "Windows Media Audio 9.2", ""}}, true, 0x161, "WMA9.2"},
      {"professional", {{kAudio, "Windows Media Audio 10 Professional", ""}}, true, 0x162, "WMA10 Professional"},
      {"divx", {{kAudio, "DivX ;-) Audio v2", ""}}, true, 0x161, "DivX"},
      {"other", {{kAudio, "Sipro Lab ACELP", ""}}, true, 0x130, "Sipro Lab ACELP"},
      {"audio after video", {{kVideo, "Windows Media Video 9", ""}, {kAudio, "Windows Media Audio 8", ""}}, true,
       0x161, "WMA8"},
      {"after a long description", {{kVideo, "V", longText}, {kAudio, "Windows Media Audio 9", ""}}, true, 0x161,
       "WMA9"},
      {"name too long: format tag", {{kAudio, longText, ""}}, true, 0x163, "WMA9Voice"},
      {"no codec list: format tag", {}, false, 0x7A21, "GSM-AMR CBR"},
      {"no audio entry: format tag", {{kVideo, "Windows Media Video 9", ""}}, true, 0x7A22, "GSM-AMR VBR"},
      {"tag without a name", {}, false, 0x0055, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    AsfFixture f;
    f.codecs = c.codecs;
    f.codecList = c.codecList;
    f.audioTag = c.tag;
    Probe p = ProbeAsf(f.build(), false);
    ASSERT_EQ(p.result, 1);
    EXPECT_EQ(p.info.audio->codec, c.expected);
  }
}

// Only the first two Stream Properties objects are examined, in file order.
TEST(AsfParser, StreamOrder) {
  struct Case {
    std::vector<Kind> streams;
    bool audio, video;
  };
  const Case cases[] = {
      {{kVideo, kAudio}, true, true},
      {{kAudio, kVideo}, true, true},
      {{kVideo, kVideo, kAudio}, false, true},
      {{kAudio}, true, false},
      {{kVideo}, false, true},
      {{}, false, false},
  };
  for (const Case& c : cases) {
    AsfFixture f;
    f.streams = c.streams;
    const std::string bytes = f.build();
    MediaFile file = MediaFile::FromMemory(bytes);
    EXPECT_EQ(AsfStreamQuery(file, nullptr, 301, true), c.audio ? 1 : 0);
    EXPECT_EQ(AsfStreamQuery(file, nullptr, 302, true), c.video ? 1 : 0);
    EXPECT_EQ(ProbeAsf(bytes, false).result, c.audio ? 1 : 0);
    Probe wmv = ProbeAsf(bytes, true);
    EXPECT_EQ(wmv.result, c.video ? 1 : 0);
    EXPECT_EQ(static_cast<bool>(wmv.info.audio), c.audio);
  }
}

TEST(AsfParser, NumberedQueries) {
  AsfFixture f;
  const std::string bytes = f.build();
  const int64_t dataAt = static_cast<int64_t>(f.header().size());
  const int64_t indexAt = dataAt + static_cast<int64_t>(f.data().size());
  using QueryFn = int (*)(MediaFile&, int64_t*, int, bool);
  struct Case {
    QueryFn fn;
    int query;
    int64_t expected;  // -1: the query fails
  };
  const Case cases[] = {
      {AsfFilePropertiesQuery, 1, 104},
      {AsfFilePropertiesQuery, 2, 123456},
      {AsfFilePropertiesQuery, 3, 0x01D0000000000000},
      {AsfFilePropertiesQuery, 4, 100},
      {AsfFilePropertiesQuery, 5, 130'000'000},
      {AsfFilePropertiesQuery, 6, 90'000'000},
      {AsfFilePropertiesQuery, 7, 3000},
      {AsfFilePropertiesQuery, 8, 64},
      {AsfFilePropertiesQuery, 9, 64},
      {AsfFilePropertiesQuery, 10, 5120},
      {AsfFilePropertiesQuery, 11, -1},
      {AsfDataQuery, 101, dataAt},
      {AsfDataQuery, 102, static_cast<int64_t>(f.data().size())},
      {AsfDataQuery, 103, 100},
      {AsfDataQuery, 104, dataAt + 50},
      {AsfSimpleIndexQuery, 201, indexAt},
      {AsfSimpleIndexQuery, 202, static_cast<int64_t>(f.index().size())},
      {AsfSimpleIndexQuery, 203, 10'000'000},
      {AsfSimpleIndexQuery, 204, 3},
      {AsfSimpleIndexQuery, 205, 7},
      {AsfSimpleIndexQuery, 206, indexAt + 56},
      {AsfStreamQuery, 102, 5000},
      {AsfStreamQuery, 103, 0x161},
      {AsfStreamQuery, 104, 2},
      {AsfStreamQuery, 105, 44100},
      {AsfStreamQuery, 106, 16000},
      {AsfStreamQuery, 107, 2973},
      {AsfStreamQuery, 108, 16},
      {AsfStreamQuery, 202, 5000},
      {AsfStreamQuery, 203, 320},
      {AsfStreamQuery, 204, 240},
      {AsfStreamQuery, 205, 320},
      {AsfStreamQuery, 206, 240},
      {AsfStreamQuery, 207, 24},
      {AsfStreamQuery, 208, 0x32564D57},  // "WMV2"
      {AsfStreamQuery, 109, -1},
      {AsfStreamQuery, 0, -1},
  };
  for (const Case& c : cases) EXPECT_EQ(Query(c.fn, bytes, c.query), c.expected) << c.query;

  // Every query leaves the position where it was; without `restore` it ends on the object.
  MediaFile file = MediaFile::FromMemory(bytes);
  file.seek(77);
  int64_t out = 0;
  EXPECT_EQ(AsfSimpleIndexQuery(file, &out, 205, true), 1);
  EXPECT_EQ(file.tell(), 77);
  EXPECT_EQ(AsfDataQuery(file, &out, 103, false), 1);
  EXPECT_EQ(file.tell(), dataAt);

  std::string name;
  EXPECT_EQ(AsfCodecName(file, &name, 201), 1);
  EXPECT_EQ(name, "Windows Media Video 8");
  EXPECT_EQ(AsfCodecName(file, &name, 101), 1);
  EXPECT_EQ(name, "Windows Media Audio 9.2");
  EXPECT_EQ(AsfPlayTimeEstimate(file), 10);

  // Without a Simple Index the payload runs to the end of the file.
  f.simpleIndex = false;
  Probe p = ProbeAsf(f.build(), true);
  EXPECT_EQ(p.info.payload_end, static_cast<int64_t>(f.build().size()));
  EXPECT_EQ(p.info.index_entries, 0);
}

// Objects are found by the file's structure, however large the header grows and wherever the
// ASF data begins.
TEST(AsfParser, LargeHeaderAndLeadingTag) {
  AsfFixture f;
  f.headerPadding = 40'000;
  Probe p = ProbeAsf(f.build(), true);
  ASSERT_EQ(p.result, 1);
  EXPECT_EQ(p.info.video->value1, 320);
  EXPECT_EQ(p.info.index_entries, 7);

  const std::string tag = "ID3" + std::string(61, '\0');
  MediaFile file = MediaFile::FromMemory(tag + AsfFixture().build());
  file.seek(static_cast<int64_t>(tag.size()));
  MediaInfo info;
  ASSERT_EQ(RunWmv(file, info), 1);
  EXPECT_EQ(info.video->value1, 320);
  EXPECT_EQ(file.tell(), static_cast<int64_t>(tag.size()));
}

TEST(AsfParser, HostileObjectSizes) {
  AsfFixture f;
  const std::string fp = f.fileProperties();
  const std::string video = f.streamProperties(kVideo, 1);
  const std::string audio = f.streamProperties(kAudio, 2);
  auto header = [](const std::string& children, int64_t size = -1) {
    return Object(kHeader, ByteWriter().u32le(3).u8(1).u8(2).text(children).str(), size);
  };
  const std::string data = f.data();
  std::string manyCodecs = Object(kCodecList, ByteWriter().zeros(16).u32le(0xFFFFFFFF).u16le(2).u16le(0xFFFF).str());
  std::string hugeIndex = Object(kSimpleIndex, ByteWriter().zeros(16).u64le(1).u32le(1).u32le(0xFFFFFFFF).str());
  struct Case {
    const char* name;
    std::string bytes;
    int wmv;    // RunWmv's result
    int width;  // 320 when the video stream was read
  };
  const Case cases[] = {
      {"child smaller than its header", header(fp + Object(kPadding, "", 10) + video + audio) + data, 0, 0},
      {"child of size 0", header(fp + Object(kPadding, "", 0) + video) + data, 0, 0},
      {"child past its parent", header(video + Object(kPadding, "", 1'000'000) + audio) + data, 1, 320},
      {"header past the end", header(fp + video + audio, 0x7FFFFFFFFFFFFFFF), 1, 320},
      {"header size with the top bit set", header(fp + video, -2) + data, 1, 320},
      {"header too small for children", header("", 26) + video, 0, 0},
      {"stream properties cut short", header(fp + video.substr(0, 90)) + data, 1, 0},
      {"codec list without end", header(fp + video + audio + manyCodecs) + data, 1, 320},
      {"data of unknown size", header(fp + video) + Object(kData, std::string(100, '\0'), 0) + f.index(), 1, 320},
      {"index count beyond its object", header(fp + video) + data + hugeIndex, 1, 320},
      {"not asf", "RIFF" + std::string(200, '\0'), 0, 0},
      {"empty", "", 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Probe p = ProbeAsf(c.bytes, true);
    EXPECT_EQ(p.result, c.wmv);
    if (p.result) {
      EXPECT_EQ(p.info.video->value1, c.width);
    }
    EXPECT_GE(p.info.duration_s, 0);
    EXPECT_GE(p.info.bitrate_kbps, 0);
    EXPECT_LE(p.info.payload_end, static_cast<int64_t>(c.bytes.size()));
    EXPECT_LE(p.info.index_entries, static_cast<int64_t>(c.bytes.size()) / 6);
  }
}

TEST(AsfParser, EveryPrefixOfAFileEndsInAResult) {
  AsfFixture f;
  f.packets = 2;
  const std::string bytes = f.build();
  for (size_t n = 0; n <= bytes.size(); ++n) {
    const std::string cut = bytes.substr(0, n);
    Probe wmv = ProbeAsf(cut, true);
    Probe wma = ProbeAsf(cut, false);
    ASSERT_GE(wmv.result, 0);
    ASSERT_GE(wma.result, 0);
    MediaFile file = MediaFile::FromMemory(cut);
    int64_t out = 0;
    AsfStreamQuery(file, &out, 301, true);
    AsfSimpleIndexQuery(file, &out, 204, true);
    AsfFilePropertiesQuery(file, &out, 9, true);
    if (n == bytes.size()) {
      EXPECT_EQ(wmv.result, 1);
      EXPECT_EQ(wmv.info.index_entries, 7);
    }
  }
}

// Files ffmpeg makes, compared with what ffprobe reads from them.
TEST(AsfParser, MatchesFfprobeOnRealFiles) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testmedia::HaveFfmpeg(), "ffmpeg/ffprobe not installed");
  const std::vector<std::string> picture = testmedia::TestPicture("320x240", "25", "6.5");
  const std::vector<std::string> tone = {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=6.5"};
  struct Case {
    const char* name;
    const char* file;
    bool video;
    std::vector<std::string> args;
  };
  using testmedia::Join;
  const std::vector<std::string> wmv = {"-c:v", "wmv2", "-b:v", "300k", "-c:a", "wmav2", "-b:a", "64k"};
  const std::vector<std::string> wma = {"-c:a", "wmav2", "-b:a", "96k", "-ac", "2"};
  const Case cases[] = {
      {"wmv2 + wmav2", "clip.wmv", true, Join({picture, tone, wmv})},
      {"wma", "song.wma", false, Join({tone, wma})},
      {"asf with video", "clip.asf", true, Join({picture, tone, wmv})},
      {"asf with audio only", "song.asf", false, Join({tone, wma})},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir.file(c.file);
    ASSERT_TRUE(testmedia::MakeMedia(c.args, path));
    auto a = testmedia::FfprobeValues(path, "a:0", "stream=sample_rate,channels,bit_rate");
    int seconds = testmedia::FfprobeSeconds(path);

    MediaFile file;
    ASSERT_TRUE(file.open(path));
    EXPECT_EQ(AsfStreamQuery(file, nullptr, 302, true), c.video ? 1 : 0);
    EXPECT_EQ(AsfStreamQuery(file, nullptr, 301, true), 1);
    MediaInfo info;
    info.file_size = info.end_offset = file.size();
    ASSERT_EQ(c.video ? RunWmv(file, info) : RunWma(file, info), 1);
    ASSERT_TRUE(info.audio);
    EXPECT_EQ(info.audio->value1, testmedia::FfprobeInt(a, "sample_rate"));
    EXPECT_EQ(info.audio->value3, testmedia::FfprobeInt(a, "channels"));
    EXPECT_EQ(info.audio->value2, testmedia::FfprobeInt(a, "bit_rate") / 1000);
    EXPECT_NEAR(info.duration_s, seconds, 1);
    EXPECT_GT(info.payload_start, 0);
    if (c.video) {
      auto v = testmedia::FfprobeValues(path, "v:0", "stream=width,height,codec_tag_string");
      EXPECT_NEAR(info.fps, 25.0, 0.05);
      ASSERT_TRUE(info.video);
      EXPECT_EQ(info.video->codec, v["codec_tag_string"]);
      EXPECT_EQ(info.video->value1, testmedia::FfprobeInt(v, "width"));
      EXPECT_EQ(info.video->value2, testmedia::FfprobeInt(v, "height"));
      EXPECT_GT(info.bitrate_kbps, 0);
    }
    // Through detection and the summary: the name does not decide, the streams do.
    MediaFile probed;
    ASSERT_TRUE(probed.open(path));
    MediaInfo viaProbe;
    const int type = c.video ? kTypeWmv : kTypeWma;
    EXPECT_EQ(ProbeMediaFile(&probed, &viaProbe, path), type);
    EXPECT_EQ(viaProbe.type_name, kMediaTypeNames[type]);
    EXPECT_EQ(viaProbe.duration_s, info.duration_s);
    MediaInfoEx summary;
    EXPECT_EQ(getMediaInfo2Ex(&summary, path), type);
    EXPECT_EQ(summary.asf_max_packet_size, 3200);  // ffmpeg's default packet size
    EXPECT_EQ(summary.asf_index_max_packets > 0, info.index_entries > 0);
    std::cout << c.name << ": audio codec " << info.audio->codec << ", " << info.duration_s << " s (ffprobe "
              << seconds << "), " << info.bitrate_kbps << " kbit/s, index entries " << info.index_entries << "\n";
  }
}

namespace {

// Payload parsing information of a data packet: length type flags (padding length as a byte,
// `multiple` payloads), property flags (replicated data length and media object number as bytes,
// offset as a double word, stream number as a byte), padding length, send time and duration.
std::string PacketHead(bool multiple, bool errorCorrection) {
  ByteWriter w;
  if (errorCorrection) w.u8(0x82).u16le(0);  // error correction flags: present, 2 bytes of data
  w.u8(static_cast<uint8_t>(0x08 | (multiple ? 1 : 0))).u8(0x5D).u8(0).u32le(0).u16le(0);
  return w.str();
}

// One payload's header: stream number, media object number, offset, replicated data (object
// size and presentation time) for a whole object, or the presentation time delta of a compressed
// payload whose offset field is the presentation time.
std::string PayloadHead(uint8_t stream, uint8_t object, uint32_t offset, std::optional<uint32_t> pts,
                        uint8_t compressedDelta = 0) {
  ByteWriter w;
  w.u8(static_cast<uint8_t>(0x80 | stream)).u8(object).u32le(offset);
  if (pts) {
    w.u8(8).u32le(1000).u32le(*pts);
  } else {
    w.u8(1).u8(compressedDelta);
  }
  return w.str();
}

}  // namespace

TEST(AsfParser, FrameRateFromThePresentationTimesOfTheVideoFrames) {
  auto build = [](const std::vector<std::string>& packets) {
    AsfFixture f;
    f.packetSize = 128;
    f.packets = packets.size() + 2;
    f.packetContents = packets;
    return ProbeAsf(f.build(), true);
  };
  // One whole frame per packet, 40 ms apart from the 3 s preroll on, sent in decoding order
  // (a B-frame's presentation comes before the frame sent ahead of it).
  std::vector<std::string> single;
  for (int i = 0; i < 50; ++i) {
    const uint32_t pts = 3000 + 40 * static_cast<uint32_t>(i % 2 ? i - 1 : i + 1);
    single.push_back(PacketHead(false, i % 3 == 0) + PayloadHead(1, static_cast<uint8_t>(i), 0, pts) + "frame");
  }
  // Two payloads per packet: an audio payload, then a frame's start (15 fps, times rounded to
  // whole milliseconds); a continued frame (offset above 0) does not count again.
  std::vector<std::string> multiple;
  for (int i = 0; i < 40; ++i) {
    const auto pts = static_cast<uint32_t>(3000 + i * 1000.0 / 15 + 0.5);
    ByteWriter w;
    w.text(PacketHead(true, false)).u8(0x80 | 3);  // payload flags: word lengths, three payloads
    w.text(PayloadHead(2, static_cast<uint8_t>(i), 0, pts)).u16le(4).text("song");
    w.text(PayloadHead(1, static_cast<uint8_t>(i), 0, pts)).u16le(3).text("pic");
    w.text(PayloadHead(1, static_cast<uint8_t>(i), 3, pts + 7)).u16le(3).text("ture");
    multiple.push_back(w.str());
  }
  // Compressed payloads: several small frames in one payload, each a size byte and its data, the
  // first at the offset field's time and the rest a delta of 50 ms apart.
  std::vector<std::string> compressed;
  for (int i = 0; i < 10; ++i) {
    ByteWriter w;
    w.text(PacketHead(false, false)).text(PayloadHead(1, static_cast<uint8_t>(i), 3000 + 200 * i, std::nullopt, 50));
    for (int k = 0; k < 4; ++k) w.u8(2).text("ab");
    compressed.push_back(w.str());
  }
  std::vector<std::string> audioOnly;
  for (int i = 0; i < 10; ++i) audioOnly.push_back(PacketHead(false, false) + PayloadHead(2, 0, 0, 3000 + 40 * i) + "a");

  EXPECT_NEAR(build(single).info.fps, 25.0, 1e-9);
  EXPECT_NEAR(build(multiple).info.fps, 15.0, 0.01);
  EXPECT_NEAR(build(compressed).info.fps, 20.0, 1e-9);
  EXPECT_EQ(build(audioOnly).info.fps, 0.0);
  EXPECT_EQ(build({}).info.fps, 0.0);  // packets of zeros: nothing to read
  // Damaged packets (sizes beyond the packet) end each packet's walk, not the probe.
  std::vector<std::string> damaged = single;
  for (size_t i = 0; i < damaged.size(); i += 2) damaged[i] = PacketHead(true, false) + "\xFF" + std::string(10, '\xFF');
  const auto p = build(damaged);
  EXPECT_EQ(p.result, 1);
  EXPECT_GE(p.info.fps, 0.0);
}

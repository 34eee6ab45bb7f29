// Ogg and OGM parsers: pages built in code for exact values and hostile input, real Vorbis
// and Theora files made by ffmpeg for agreement with ffprobe.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "FfmpegMedia.h"
#include "TestSupport.h"
#include "probe/Parsers.h"
#include "support/DebugLog.h"

using testmedia::ProbeBytes;
using testsupport::ByteWriter;

namespace {

// One page holding whole packets; a packet of a multiple of 255 bytes gets its closing 0 lacing value.
std::string Page(uint32_t serial, int64_t granule, const std::vector<std::string>& packets) {
  std::string lacing, body;
  for (const auto& p : packets) {
    size_t n = p.size();
    for (; n >= 255; n -= 255) lacing += '\xFF';
    lacing += static_cast<char>(n);
    body += p;
  }
  ByteWriter w;
  w.text("OggS")                             // capture pattern
      .u8(0)                                 // version
      .u8(0)                                 // header type
      .u64le(static_cast<uint64_t>(granule))  // granule position
      .u32le(serial)                         // serial number
      .u32le(0)                              // page sequence number
      .u32le(0)                              // CRC (not checked)
      .u8(static_cast<uint8_t>(lacing.size()))  // number of segments
      .text(lacing)                          // segment table
      .text(body);
  return w.str();
}

std::string VorbisIdentification(int channels, uint32_t rate, int32_t maximum, int32_t nominal, int32_t minimum) {
  ByteWriter w;
  w.u8(1).text("vorbis")                   // packet type, codec
      .u32le(0)                            // version
      .u8(static_cast<uint8_t>(channels))  // channels
      .u32le(rate)                         // sample rate
      .u32le(static_cast<uint32_t>(maximum))
      .u32le(static_cast<uint32_t>(nominal))
      .u32le(static_cast<uint32_t>(minimum))
      .u8(0xB8)  // block sizes
      .u8(1);    // framing
  return w.str();
}

std::string VorbisComment(uint32_t vendorSize, const std::string& vendor = "test vendor") {
  ByteWriter w;
  w.u8(3).text("vorbis").u32le(vendorSize).text(vendor).u32le(0).u8(1);
  return w.str();
}

std::string OgmVideoHeader(const std::string& fourcc, int64_t timeUnit, uint32_t width, uint32_t height) {
  ByteWriter w;
  w.u8(1).text(std::string("video\0\0\0", 8))  // packet type, stream type
      .text(fourcc)                            // subtype
      .u32le(56)                               // header size
      .u64le(static_cast<uint64_t>(timeUnit))  // time unit, 100 ns
      .u64le(1)                                // samples per unit
      .u32le(0)                                // default length
      .u32le(0)                                // buffer size
      .u16le(24)                               // bits per sample
      .u16le(0)                                // padding
      .u32le(0xABCD0000u | width)              // width: only the low 16 bits count
      .u32le(height);                          // height
  return w.str();
}

// A Theora identification header; the coded size is the picture size rounded up to macroblocks.
std::string TheoraIdentification(uint32_t width, uint32_t height, uint32_t fpsNumerator, uint32_t fpsDenominator,
                                 int granuleShift) {
  ByteWriter w;
  w.u8(0x80).text("theora")                                         // packet type, codec
      .u8(3).u8(2).u8(1)                                            // version 3.2.1
      .u16be(static_cast<uint16_t>((width + 15) / 16))              // frame width in macroblocks
      .u16be(static_cast<uint16_t>((height + 15) / 16))             // frame height in macroblocks
      .u24be(width)                                                 // picture width
      .u24be(height)                                                // picture height
      .u8(0).u8(0)                                                  // picture offset x, y
      .u32be(fpsNumerator)                                          // frame rate numerator
      .u32be(fpsDenominator)                                        // frame rate denominator
      .u24be(1).u24be(1)                                            // pixel aspect ratio
      .u8(0)                                                        // colour space
      .u24be(0)                                                     // nominal bit rate
      .u16be(static_cast<uint16_t>(48u << 10 | granuleShift << 5));  // quality, keyframe shift, pixel format
  return w.str();
}

constexpr uint32_t kAudioSerial = 7;
constexpr uint32_t kVideoSerial = 9;

// A Vorbis file of exactly `size` bytes (when it fits) whose last page has granule `samples`.
std::string VorbisFile(size_t size, int64_t samples, const std::string& ident) {
  std::string head = Page(kAudioSerial, 0, {ident}) + Page(kAudioSerial, 0, {VorbisComment(11)});
  std::string tail = Page(kAudioSerial, samples, {std::string(40, 'a')});
  size_t used = head.size() + tail.size();
  return head + std::string(size > used ? size - used : 0, '\0') + tail;
}

// An OGM file: video header, Vorbis identification, a comment page, the video's last page and
// then an audio page whose granule counts samples, not frames.
std::string OgmFile(size_t size, int64_t frames) {
  std::string head = Page(kVideoSerial, 0, {OgmVideoHeader("DX50", 400000, 640, 480)}) +
                     Page(kAudioSerial, 0, {VorbisIdentification(2, 44100, -1, 64000, -1)}) +
                     Page(kAudioSerial, 0, {VorbisComment(11)});
  std::string tail = Page(kVideoSerial, frames, {std::string(60, 'v')}) + Page(kAudioSerial, 4410000, {"aaaa"});
  size_t used = head.size() + tail.size();
  return head + std::string(size > used ? size - used : 0, '\0') + tail;
}

// An Ogg Theora file as ffmpeg lays it out: the Theora and Vorbis first pages (the video's
// first unless `audioFirst`), the comment pages, then data; it ends with the given last pages.
std::string TheoraFile(size_t size, const std::string& tail, bool audioFirst = false) {
  const std::string video = Page(kVideoSerial, 0, {TheoraIdentification(200, 150, 30000, 1001, 6)});
  const std::string audio = Page(kAudioSerial, 0, {VorbisIdentification(2, 48000, -1, 96000, -1)});
  std::string head = (audioFirst ? audio + video : video + audio) + Page(kVideoSerial, 0, {"\x81theora comments"}) +
                     Page(kAudioSerial, 0, {VorbisComment(11)});
  size_t used = head.size() + tail.size();
  return head + std::string(size > used ? size - used : 0, '\0') + tail;
}

int64_t TheoraGranule(int64_t keyframe, int64_t sinceKeyframe) { return keyframe << 6 | sinceKeyframe; }

int RunOn(int (*parser)(MediaFile&, MediaInfo&), const std::string& bytes, MediaInfo& info) {
  MediaFile file = MediaFile::FromMemory(bytes);
  info.end_offset = static_cast<int64_t>(bytes.size());
  return parser(file, info);
}

}  // namespace

TEST(OggParser, VorbisPlayTimeAndBitRateComeFromTheLastGranule) {
  // 3,000,000 bytes and 8,820,000 samples at 44100 Hz: 200 s at 120,000 bit/s.
  auto p = ProbeBytes(VorbisFile(3000000, 8820000, VorbisIdentification(2, 44100, -1, 128000, -1)), "song.ogg");
  ASSERT_EQ(p.type, kTypeOgg);
  ASSERT_TRUE(p.info.audio);
  EXPECT_EQ(p.info.audio->codec, "vorbis");
  EXPECT_EQ(p.info.audio->value1, 44100);
  EXPECT_EQ(p.info.audio->value3, 2);
  EXPECT_EQ(p.info.audio->value2, 120);
  EXPECT_EQ(p.info.audio->value4, 1);  // no bounds given
  EXPECT_EQ(p.info.bitrate_kbps, 120);
  EXPECT_EQ(p.info.duration_s, 200);
  EXPECT_FALSE(p.info.video);
}

TEST(OggParser, WithoutALengthTheHeaderRatesDecide) {
  struct Case {
    int32_t maximum, nominal, minimum;
    int boundsFlag, kbps;
  } cases[] = {
      {-1, 128000, -1, 1, 128},      // nominal only
      {192000, -1, 64000, 2, 128},   // both bounds: their mean
      {192000, 0, 96002, 2, 145},    // 144,001 bit/s rounds up to 145 kbit/s
      {0, 0, 0, 1, 0},               // nothing known
      {-1, 0, 64000, 1, 0},          // one bound is not enough
  };
  for (const auto& c : cases) {
    MediaInfo info;
    // Granule 0 on every page: no length is known.
    std::string bytes = VorbisFile(0, 0, VorbisIdentification(1, 22050, c.maximum, c.nominal, c.minimum));
    ASSERT_EQ(RunOn(RunOgg, bytes, info), 1);
    SCOPED_TRACE(c.nominal);
    EXPECT_EQ(info.audio->value4, c.boundsFlag);
    EXPECT_EQ(info.audio->value2, c.kbps);
    EXPECT_EQ(info.bitrate_kbps, c.kbps);
  }
}

TEST(OggParser, UnknownCodecsAndBrokenPagesFailWithTheirCode) {
  const std::string pad(120, 'p');  // detection needs 128 bytes
  struct Case {
    const char* what;
    std::string bytes;
    int code;
  } cases[] = {
      {"unknown codec", Page(1, 0, {"\x01kate" + pad}), -110},
      {"no capture pattern", "OggX" + Page(1, 0, {pad}), -2},
      {"identification cut short", Page(1, 0, {std::string("\x01vorbis\0\0\0\0\x02", 12)}) + pad, -1},
      {"Opus header cut short", Page(1, 0, {std::string("OpusHead\x01", 9)}) + pad, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    MediaInfo info;
    EXPECT_EQ(RunOn(RunOgg, c.bytes, info), c.code);
    EXPECT_EQ(ProbeBytes(c.bytes, "x.ogg").type, -1);
  }
}

TEST(OggParser, HeadersAloneAreEnoughWhenLaterPagesAreDamaged) {
  // A file cut after its identification page, or followed by junk, still names its stream;
  // without a last page or a stated rate it has no play time.
  const std::string pad(120, 'p');
  const std::string vorbisHead = Page(kAudioSerial, 0, {VorbisIdentification(2, 44100, -1, -1, -1) + pad});
  for (const std::string& bytes : {vorbisHead, vorbisHead + "junk"}) {
    auto p = ProbeBytes(bytes, "x.ogg");
    ASSERT_EQ(p.type, kTypeOgg);
    EXPECT_EQ(p.info.audio->value1, 44100);
    EXPECT_EQ(p.info.audio->value3, 2);
    EXPECT_EQ(p.info.duration_s, 0);
  }
}

// ---- codecs other than Vorbis, alone and beside Theora ----

std::string OpusHead(int channels, uint16_t preSkip, uint32_t inputRate) {
  ByteWriter w;
  w.text("OpusHead").u8(1).u8(static_cast<uint8_t>(channels)).u16le(preSkip).u32le(inputRate).u16le(0).u8(0);
  return w.str();
}

std::string SpeexHeader(uint32_t rate, uint32_t channels) {
  ByteWriter w;
  w.text("Speex   ").text(std::string("1.2.0", 5) + std::string(15, '\0'))  // codec, version text (20)
      .u32le(1)                                                           // version id
      .u32le(80)                                                          // header size
      .u32le(rate)                                                        // rate
      .u32le(2)                                                           // mode: ultra-wideband
      .u32le(4)                                                           // mode bitstream version
      .u32le(channels)                                                    // channels
      .u32le(0xFFFFFFFFu)                                                 // bit rate: not given
      .u32le(640)                                                         // frame size
      .u32le(0).u32le(1).u32le(0).u32le(0).u32le(0);                      // vbr, frames per packet, extra, reserved
  return w.str();
}

// A FLAC STREAMINFO block with its 4-byte header (last-block flag, type 0, length 34).
std::string FlacStreamInfo(uint32_t rate, int channels, uint64_t samples) {
  ByteWriter w;
  w.u8(0x80).u24be(34)                   // block header
      .u16be(4096).u16be(4096)           // minimum and maximum block size
      .u24be(0).u24be(0)                 // minimum and maximum frame size
      .u24be(rate >> 4)                  // rate, high 16 of 20 bits ... continued below
      ;
  std::string out = w.str();
  out.pop_back();
  out.pop_back();
  out.pop_back();
  // rate (20 bits), channels − 1 (3), bits per sample − 1 (5), samples (36), MD5 (16 bytes)
  const uint64_t packed = uint64_t{rate} << 44 | uint64_t(channels - 1) << 41 | uint64_t{15} << 36 | samples;
  for (int i = 7; i >= 0; --i) out += static_cast<char>(packed >> (8 * i));
  out += std::string(16, '\0');
  return out;
}

std::string FlacMapping(uint32_t rate, int channels, uint64_t samples) {
  ByteWriter w;
  w.u8(0x7F).text("FLAC").u8(1).u8(0).u16be(1).text("fLaC");
  return w.str() + FlacStreamInfo(rate, channels, samples);
}

std::string OgmAudioHeader(const std::string& subtype, uint64_t rate, uint16_t channels, uint32_t bytesPerSecond) {
  ByteWriter w;
  w.u8(1).text(std::string("audio\0\0\0", 8))  // packet type, stream type
      .text(subtype + std::string(4 - subtype.size(), '\0'))  // wave format tag as hex text
      .u32le(56)                               // header size
      .u64le(10000000)                         // time unit: one second
      .u64le(rate)                             // samples per unit
      .u32le(1152)                             // default length
      .u32le(0)                                // buffer size
      .u16le(16)                               // bits per sample
      .u16le(0)                                // padding
      .u16le(channels)                         // channels
      .u16le(0)                                // block alignment
      .u32le(bytesPerSecond);                  // bytes per second
  return w.str();
}

TEST(OggParser, OpusSpeexFlacAndOgmAudioAreRecognisedAloneAndBesideVideo) {
  // Each audio stream lasts 10 s by its last granule: Opus counts 48 kHz samples after its
  // pre-skip, whatever the input rate was; the others count samples at their own rate.
  struct Case {
    const char* what;
    std::string ident;
    int64_t lastGranule;
    const char* codec;
    int rate, channels;
  } cases[] = {
      {"Opus", OpusHead(2, 312, 8000), 480000 + 312, "opus", 48000, 2},
      {"Speex", SpeexHeader(32000, 1), 320000, "speex", 32000, 1},
      {"FLAC", FlacMapping(96000, 6, 960000), 960000, "flac", 96000, 6},
      {"old FLAC mapping", "fLaC" + FlacStreamInfo(44100, 2, 441000), 441000, "flac", 44100, 2},
      {"OGM MP3 audio", OgmAudioHeader("55", 22050, 2, 16000), 220500, "MP3", 22050, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string audioOnly = Page(kAudioSerial, 0, {c.ident}) + Page(kAudioSerial, 0, {"comments"}) +
                                  std::string(100000, '\0') + Page(kAudioSerial, c.lastGranule, {"a"});
    auto a = ProbeBytes(audioOnly, "sound.ogg");
    ASSERT_EQ(a.type, kTypeOgg);
    ASSERT_TRUE(a.info.audio);
    EXPECT_FALSE(a.info.video);
    EXPECT_EQ(a.info.audio->codec, c.codec);
    EXPECT_EQ(a.info.audio->value1, c.rate);
    EXPECT_EQ(a.info.audio->value3, c.channels);
    EXPECT_EQ(a.info.duration_s, 10);

    // Beside a Theora stream of 12 s: the file is video, and the longer stream decides.
    const std::string withVideo = Page(kVideoSerial, 0, {TheoraIdentification(320, 240, 25, 1, 6)}) +
                                  Page(kAudioSerial, 0, {c.ident}) + Page(kVideoSerial, 0, {"\x81theora"}) +
                                  std::string(200000, '\0') + Page(kAudioSerial, c.lastGranule, {"a"}) +
                                  Page(kVideoSerial, TheoraGranule(290, 10), {"v"});
    for (const char* name : {"clip.ogv", "clip.ogg", "clip.ogm"}) {
      auto v = ProbeBytes(withVideo, name);
      ASSERT_EQ(v.type, kTypeOgm) << name;
      ASSERT_TRUE(v.info.audio && v.info.video);
      EXPECT_EQ(v.info.audio->codec, c.codec);
      EXPECT_EQ(v.info.audio->value1, c.rate);
      EXPECT_EQ(v.info.audio->value3, c.channels);
      EXPECT_EQ(v.info.video->value1, 320);
      EXPECT_DOUBLE_EQ(v.info.fps, 25.0);
      EXPECT_EQ(v.info.duration_s, 12);  // 300 frames at 25 fps
    }
  }
}

TEST(OgmParser, VideoWithoutAudioIsRecognised) {
  struct Case {
    const char* what;
    std::string bytes;
    const char* codec;
    double fps;
  } cases[] = {
      {"Theora", Page(kVideoSerial, 0, {TheoraIdentification(320, 240, 25, 1, 6)}) +
                     Page(kVideoSerial, 0, {"\x81theora"}) + std::string(300000, '\0') +
                     Page(kVideoSerial, TheoraGranule(240, 10), {"v"}),
       "theora", 25.0},
      {"OGM", Page(kVideoSerial, 0, {OgmVideoHeader("XVID", 400000, 320, 240)}) +
                  Page(kVideoSerial, 0, {"\x03vorbis comments"}) + std::string(300000, '\0') +
                  Page(kVideoSerial, 250, {"v"}),
       "XVID", 25.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* name : {"movie.ogm", "movie.ogg", "movie.ogv"}) {
      auto p = ProbeBytes(c.bytes, name);
      ASSERT_EQ(p.type, kTypeOgm) << name;
      EXPECT_FALSE(p.info.audio);
      ASSERT_TRUE(p.info.video);
      EXPECT_EQ(p.info.video->codec, c.codec);
      EXPECT_EQ(p.info.video->value1, 320);
      EXPECT_EQ(p.info.video->value2, 240);
      EXPECT_DOUBLE_EQ(p.info.fps, c.fps);
      EXPECT_EQ(p.info.duration_s, 10);
    }
  }
}

TEST(OggParser, CommentPageOverSixteenKiBIsRead) {
  // Long comments (cover art) make the second page large; any Ogg page is at most 65,025 bytes.
  std::string bytes = Page(kAudioSerial, 0, {VorbisIdentification(2, 48000, -1, 96000, -1)}) +
                      Page(kAudioSerial, 0, {VorbisComment(11) + std::string(40000, 'c')}) +
                      Page(kAudioSerial, 480000, {"last"});
  auto p = ProbeBytes(bytes, "long-comments.ogg");
  ASSERT_EQ(p.type, kTypeOgg);
  EXPECT_EQ(p.info.audio->value1, 48000);
  EXPECT_EQ(p.info.duration_s, 10);
}

TEST(OggParser, AbnormalVendorSizeIsLoggedAndParsingGoesOn) {
  std::filesystem::create_directories(DebugLogFolder());
  std::string bytes = Page(kAudioSerial, 0, {VorbisIdentification(2, 44100, -1, 128000, -1)}) +
                      Page(kAudioSerial, 0, {VorbisComment(70000)}) + Page(kAudioSerial, 441000, {"x"});
  MediaInfo info;
  EXPECT_EQ(RunOn(RunOgg, bytes, info), 1);
  EXPECT_EQ(info.duration_s, 10);
  std::string log = testsupport::ReadFile(DebugLogFolder() + "/debug.log");
  EXPECT_NE(log.find("Abnormal Vender Size:70000 bytes"), std::string::npos) << log;
  std::filesystem::remove_all(DebugLogFolder());
}

TEST(OgmParser, VideoHeaderGivesSizeFrameRateAndPlayTime) {
  // 400,000 × 100 ns per frame is 25 fps; 2,500 frames are 100 s. The file ends with an audio
  // page, whose sample count must not be taken for the frame count.
  auto p = ProbeBytes(OgmFile(1000000, 2500), "movie.ogm");
  ASSERT_EQ(p.type, kTypeOgm);
  EXPECT_DOUBLE_EQ(p.info.fps, 25.0);
  EXPECT_EQ(p.info.duration_s, 100);
  EXPECT_EQ(p.info.bitrate_kbps, 80);  // 1,000,000 × 8 / 100 / 1000
  ASSERT_TRUE(p.info.video && p.info.audio);
  EXPECT_EQ(p.info.video->codec, "DX50");
  EXPECT_EQ(p.info.video->value1, 640);
  EXPECT_EQ(p.info.video->value2, 480);
  EXPECT_EQ(p.info.video->value3, 80 - 64);
  EXPECT_EQ(p.info.video->value4, 1);
  EXPECT_EQ(p.info.audio->codec, "vorbis");
  EXPECT_EQ(p.info.audio->value2, 64);
}

TEST(OgmParser, OverallBitRateBelowElevenKbpsReportsNoPlayTime) {
  // 100,000 bytes over 100 s is 8 kbit/s.
  auto p = ProbeBytes(OgmFile(100000, 2500), "small.ogm");
  ASSERT_EQ(p.type, kTypeOgm);
  EXPECT_EQ(p.info.duration_s, 0);
  EXPECT_EQ(p.info.bitrate_kbps, 0);
  EXPECT_DOUBLE_EQ(p.info.fps, 25.0);
}

TEST(OgmParser, TheoraStreamIsVideo) {
  // 30000/1001 fps; the keyframe shift is 6. Pages in the tail, each case a different ending.
  const std::string video = Page(kVideoSerial, TheoraGranule(3580, 16), {"v"});  // 3,596 frames: 119.97 s
  const std::string audio = Page(kAudioSerial, 48000 * 100, {"a"});               // 100 s
  const std::string audioLong = Page(kAudioSerial, 48000 * 130, {"a"});           // 130 s
  struct Case {
    const char* what;
    std::string tail;
    int seconds;
  } cases[] = {
      {"video page last", audio + video, 120},
      {"audio page last", video + audio, 120},  // the audio granule is not taken for frames
      {"audio runs longer", video + audioLong, 130},
      {"video only", video, 120},
      {"audio only", audio, 100},
      {"no granule", Page(kVideoSerial, -1, {"v"}), 0},
      // The video page lies more than 16 KiB before the end, behind a long run of audio pages.
      {"video further back", video + Page(kAudioSerial, -1, {std::string(60000, 'a')}) + audio, 120},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* name : {"clip.ogg", "clip.ogm", "audio-first.ogg"}) {
      auto p = ProbeBytes(TheoraFile(3000000, c.tail, name[0] == 'a'), name);
      ASSERT_EQ(p.type, kTypeOgm) << name;
      ASSERT_TRUE(p.info.video && p.info.audio);
      EXPECT_EQ(p.info.video->codec, "theora");
      EXPECT_EQ(p.info.video->value1, 200);  // the picture size, not the 208 × 160 coded size
      EXPECT_EQ(p.info.video->value2, 150);
      EXPECT_NEAR(p.info.fps, 29.97, 0.01);
      EXPECT_EQ(p.info.audio->codec, "vorbis");
      EXPECT_EQ(p.info.audio->value1, 48000);
      EXPECT_EQ(p.info.audio->value3, 2);
      EXPECT_EQ(p.info.audio->value2, 96);
      EXPECT_EQ(p.info.duration_s, c.seconds);
      EXPECT_EQ(p.info.bitrate_kbps, c.seconds ? static_cast<int>(3000000 * 8 / c.seconds / 1000.0 + 0.5) : 0);
    }
  }
}

TEST(OggParser, EveryPrefixEndsInAResult) {
  const std::string fixtures[] = {VorbisFile(0, 441000, VorbisIdentification(2, 44100, -1, 128000, -1)),
                                  OgmFile(0, 250), TheoraFile(0, Page(kVideoSerial, TheoraGranule(10, 3), {"v"})),
                                  TheoraFile(0, Page(kVideoSerial, TheoraGranule(10, 3), {"v"}), true)};
  for (const auto& whole : fixtures) {
    for (size_t n = 0; n <= whole.size(); ++n) {
      const std::string prefix = whole.substr(0, n);
      for (auto parser : {RunOgg, RunOgm}) {
        MediaInfo info;
        const int rc = RunOn(parser, prefix, info);
        EXPECT_TRUE(rc == 1 || rc < 0) << n;
      }
    }
  }
}

// ---- real files ----------------------------------------------------------------------------

class OggRealMedia : public ::testing::Test {
 protected:
  void SetUp() override {
    ZELVORA_SKIP_WITHOUT_TOOL(!testmedia::HaveFfmpeg() || !testmedia::HaveEncoder("libvorbis"), "ffmpeg with libvorbis needed");
  }
  testsupport::TempDir dir_;
};

TEST_F(OggRealMedia, VorbisMatchesFfprobe) {
  struct Case {
    const char* rate;
    const char* channels;
    const char* seconds;
  } cases[] = {{"44100", "2", "5.5"}, {"48000", "1", "12.3"}, {"22050", "2", "3"}};
  for (const auto& c : cases) {
    const std::string path = dir_.file(std::string("tone") + c.rate + ".ogg");
    ASSERT_TRUE(testmedia::MakeMedia({"-f", "lavfi", "-i", std::string("sine=f=440:d=") + c.seconds, "-ar", c.rate,
                                         "-ac", c.channels, "-c:a", "libvorbis"},
                                        path));
    const auto facts = testmedia::Describe(path);
    const auto p = testmedia::ProbePath(path);
    SCOPED_TRACE(path);
    ASSERT_EQ(p.type, kTypeOgg);
    ASSERT_TRUE(p.info.audio);
    EXPECT_EQ(p.info.audio->codec, "vorbis");
    EXPECT_EQ(p.info.audio->value1, facts.sampleRate);
    EXPECT_EQ(p.info.audio->value3, facts.channels);
    EXPECT_NEAR(p.info.duration_s, std::trunc(facts.duration), 1);
    EXPECT_GT(p.info.bitrate_kbps, 0);
  }
}

TEST_F(OggRealMedia, TheoraMatchesFfprobeWhateverTheName) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testmedia::HaveEncoder("libtheora"), "libtheora needed");
  struct Case {
    const char* name;
    const char* video;  // lavfi test source
    const char* audio;
    const char* firstMap;  // the stream whose pages lead
  } cases[] = {
      {"clip.ogg", "testsrc=s=320x240:r=25:d=10", "sine=d=10", "0:v"},
      {"clip.ogm", "testsrc=s=320x240:r=25:d=10", "sine=d=10", "0:v"},
      // Picture size off the macroblock grid, NTSC rate, audio longer than the video.
      {"ntsc.ogg", "testsrc=s=200x150:r=30000/1001:d=6.5", "sine=d=7.8:r=48000", "0:v"},
      {"audio-first.ogg", "testsrc=s=320x240:r=25:d=4", "sine=d=4", "1:a"},
  };
  for (const auto& c : cases) {
    const std::string path = dir_.file(c.name);
    const std::string secondMap = std::string(c.firstMap) == "0:v" ? "1:a" : "0:v";
    ASSERT_TRUE(testmedia::MakeMedia({"-f", "lavfi", "-i", c.video, "-f", "lavfi", "-i", c.audio, "-map", c.firstMap,
                                         "-map", secondMap, "-ac", "2", "-c:v", "libtheora", "-c:a", "libvorbis", "-f",
                                         "ogg"},
                                        path));
    const auto facts = testmedia::Describe(path);
    const auto p = testmedia::ProbePath(path);
    SCOPED_TRACE(c.name);
    ASSERT_EQ(p.type, kTypeOgm);  // typed as Ogg with video, also when named .ogg
    ASSERT_TRUE(p.info.video && p.info.audio);
    EXPECT_EQ(p.info.video->codec, "theora");
    EXPECT_EQ(p.info.video->value1, facts.width);
    EXPECT_EQ(p.info.video->value2, facts.height);
    EXPECT_NEAR(p.info.fps, facts.frameRate, 0.01);
    EXPECT_EQ(p.info.audio->codec, "vorbis");
    EXPECT_EQ(p.info.audio->value1, facts.sampleRate);
    EXPECT_EQ(p.info.audio->value3, facts.channels);
    EXPECT_GT(p.info.audio->value2, 0);
    EXPECT_NEAR(p.info.duration_s, std::trunc(facts.duration), 1);
    EXPECT_GT(p.info.bitrate_kbps, 0);
  }
}

TEST(OggParser, AVideoStreamBeyondTheFirstHeaderMakesTheFileOgm) {
  // A skeleton stream first, long enough that detection's first 128 bytes see neither "video" nor
  // a Theora header; the streams behind it decide.
  const std::string skeleton = Page(3, 0, {"fishead" + std::string(200, '\0')});
  const std::string audio = Page(kAudioSerial, 0, {VorbisIdentification(2, 48000, -1, 96000, -1)});
  const std::string video = Page(kVideoSerial, 0, {TheoraIdentification(320, 240, 25, 1, 6)});
  const std::string rest = Page(kAudioSerial, 0, {VorbisComment(11)}) + std::string(100000, '\0') +
                           Page(kAudioSerial, 48000 * 8, {"a"}) + Page(kVideoSerial, TheoraGranule(190, 9), {"v"});
  auto withVideo = ProbeBytes(skeleton + audio + video + rest, "film.ogg");
  ASSERT_EQ(withVideo.type, kTypeOgm);
  EXPECT_EQ(withVideo.info.type_name, kMediaTypeNames[kTypeOgm]);
  ASSERT_TRUE(withVideo.info.video && withVideo.info.audio);
  EXPECT_EQ(withVideo.info.duration_s, 8);  // 200 frames at 25 fps

  auto audioOnly = ProbeBytes(skeleton + audio + rest, "song.ogg");
  ASSERT_EQ(audioOnly.type, kTypeOgg);
  EXPECT_EQ(audioOnly.info.type_name, kMediaTypeNames[kTypeOgg]);
  EXPECT_FALSE(audioOnly.info.video);
  EXPECT_EQ(audioOnly.info.audio->value1, 48000);
}

// MPEG program stream parser: sequence headers and audio packets built in code, the play-time
// estimate, hostile and cut-off input, and real MPEG-1/MPEG-2 files made by ffmpeg.
#include <gtest/gtest.h>

#include <cmath>

#include "FfmpegMedia.h"
#include "TestSupport.h"
#include "probe/Parsers.h"

using testmedia::ProbeBytes;
using testsupport::ByteWriter;

namespace {

constexpr int kRateCode25 = 3;
constexpr uint32_t kVariable = 0x3FFFF;

struct Sequence {
  int width = 720, height = 576, rateCode = kRateCode25;
  uint32_t bitRateValue = 1150000 / 400;
  bool intraMatrix = false, nonIntraMatrix = false, extension = false;
};

std::string SequenceHeader(const Sequence& s) {
  ByteWriter w;
  w.u32be(0x000001B3)                                                       // start code
      .u24be(static_cast<uint32_t>(s.width << 12 | s.height))              // horizontal, vertical size
      .u8(static_cast<uint8_t>(0x10 | s.rateCode))                         // aspect ratio 1, frame rate code
      .u32be(s.bitRateValue << 14 | 1u << 13 | 20u << 3 | 0u << 2 |        // bit rate, marker, VBV size, constrained
             (s.intraMatrix ? 2u : 0u) | (!s.intraMatrix && s.nonIntraMatrix ? 1u : 0u));  // matrix flags
  if (s.intraMatrix) w.zeros(63).u8(s.nonIntraMatrix ? 1 : 0);  // matrix; its last bit is the non-intra flag
  if (s.nonIntraMatrix) w.zeros(64);
  if (s.extension) w.u32be(0x000001B5).u8(0x14).u8(0x8A);
  else w.u32be(0x000001B8);  // a group of pictures follows instead
  return w.str();
}

// MPEG-1 Layer II, 192 kbit/s, 44100 Hz, stereo: 626 bytes a frame.
std::string Layer2Frames(int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += ByteWriter().u32be(0xFFFDA004).zeros(622).str();
  return out;
}

enum class Pes { Mpeg1Pts, Mpeg1StuffingStdPtsDts, Mpeg2 };

// An audio packet header (stream 0xC0) in one of the three shapes.
std::string AudioPacketHeader(Pes kind, uint16_t length) {
  ByteWriter w;
  w.u32be(0x000001C0).u16be(length);
  switch (kind) {
    case Pes::Mpeg1Pts: w.u8(0x21).u32be(0x00010001); break;  // PTS: 11 bytes in all
    case Pes::Mpeg1StuffingStdPtsDts:
      w.u8(0xFF).u8(0xFF).u16be(0x4020).u8(0x31).u32be(0x00010001).u8(0x11).u32be(0x00010001);
      break;
    case Pes::Mpeg2: w.u8(0x81).u8(0x80).u8(5).u8(0x21).u32be(0x00010001); break;  // PTS in 5 header bytes
  }
  return w.str();
}

// Pack header, sequence header, an audio packet; then the rest of the stream up to `size` bytes.
std::string ProgramStream(const Sequence& s, Pes kind, size_t size) {
  ByteWriter w;
  w.u32be(0x000001BA).u8(0x21).u32be(0x00010001).u24be(0x8001F1);  // MPEG-1 pack header
  const std::string video = SequenceHeader(s);
  w.u32be(0x000001E0).u16be(static_cast<uint16_t>(1 + video.size())).u8(0x0F).text(video);  // video packet
  // One frame right behind the packet header: a search that starts past it finds nothing.
  w.text(AudioPacketHeader(kind, 2000)).text(Layer2Frames(1));
  if (w.size() < size) w.zeros(size - w.size());
  return w.str();
}

constexpr int64_t kClockWrap = int64_t{1} << 33;
constexpr int64_t kTicks = 90000;  // per second
int64_t Wrap(int64_t ticks) { return (ticks % kClockWrap + kClockWrap) % kClockWrap; }

// A 33-bit clock value in the five-byte form: prefix, bits 32..30, marker, 29..15, marker, 14..0, marker.
std::string Timestamp5(uint8_t prefix, int64_t t) {
  const auto v = static_cast<uint64_t>(t);
  return ByteWriter()
      .u8(static_cast<uint8_t>(prefix << 4 | (v >> 30 & 7) << 1 | 1))
      .u16be(static_cast<uint16_t>((v >> 15 & 0x7FFF) << 1 | 1))
      .u16be(static_cast<uint16_t>((v & 0x7FFF) << 1 | 1))
      .str();
}

// A pack header carrying `scr`, in the MPEG-1 or the MPEG-2 form.
std::string Pack(bool mpeg2, int64_t scr) {
  ByteWriter w;
  w.u32be(0x000001BA);
  if (!mpeg2) return w.text(Timestamp5(0x2, scr)).u24be(0x800000 | 2500 << 1 | 1).str();  // SCR, mux rate
  const auto v = static_cast<uint64_t>(scr);
  return w.u8(static_cast<uint8_t>(0x40 | (v >> 30 & 7) << 3 | 0x04 | (v >> 28 & 3)))  // '01', 32..30, marker, 29..28
      .u8(static_cast<uint8_t>(v >> 20))                                               // 27..20
      .u8(static_cast<uint8_t>((v >> 15 & 0x1F) << 3 | 0x04 | (v >> 13 & 3)))          // 19..15, marker, 14..13
      .u8(static_cast<uint8_t>(v >> 5))                                                // 12..5
      .u8(static_cast<uint8_t>((v & 0x1F) << 3 | 0x04))                                // 4..0, marker, extension
      .u8(0x01)                                                                        // extension, marker
      .u24be(25000 << 2 | 3)                                                           // mux rate, markers
      .u8(0xF8)                                                                        // reserved, no stuffing
      .str();
}

// A PES packet of stream `id`, stamped with `pts` unless it is negative.
std::string PesPacket(bool mpeg2, uint8_t id, int64_t pts, const std::string& payload) {
  std::string header;
  if (mpeg2) header = ByteWriter().u8(0x81).u8(pts >= 0 ? 0x80 : 0).u8(pts >= 0 ? 5 : 0).str();
  header += pts >= 0 ? Timestamp5(0x2, pts) : mpeg2 ? "" : "\x0F";
  ByteWriter w;
  w.u32be(0x00000100u | id).u16be(static_cast<uint16_t>(header.size() + payload.size())).text(header).text(payload);
  return w.str();
}

// A program stream stamped at its start and near its end, `span` ticks apart.
struct Clocked {
  bool mpeg2 = false;
  uint32_t bitRateValue = kVariable;
  int64_t firstPts = 45000;
  int64_t span = 100 * kTicks;
  bool pts = true;  // else the packets carry none and the pack clock counts
  size_t size = 2000000;
  size_t tailGap = 0;  // bytes behind the last stamped pack
};

std::string ClockedStream(const Clocked& c) {
  Sequence seq;
  seq.bitRateValue = c.bitRateValue;
  seq.extension = c.mpeg2;
  const int64_t lastPts = Wrap(c.firstPts + c.span);
  auto stamp = [&](int64_t t) { return c.pts ? Wrap(t) : -1; };
  constexpr int64_t kLead = 18000;  // packs arrive 0.2 s before they are shown
  const std::string head = Pack(c.mpeg2, Wrap(c.firstPts - kLead)) +
                           PesPacket(c.mpeg2, 0xE0, stamp(c.firstPts), SequenceHeader(seq)) +
                           PesPacket(c.mpeg2, 0xC0, stamp(c.firstPts), Layer2Frames(1));
  const std::string tail = Pack(c.mpeg2, Wrap(lastPts - kLead)) +
                           PesPacket(c.mpeg2, 0xE0, stamp(lastPts - 3600), std::string(100, '\x55')) +
                           PesPacket(c.mpeg2, 0xC0, stamp(lastPts), Layer2Frames(1)) + std::string("\0\0\1\xB9", 4) +
                           std::string(c.tailGap, '\0');
  const size_t used = head.size() + tail.size();
  return head + std::string(c.size > used ? c.size - used : 0, '\0') + tail;
}

int Check(const std::string& bytes) {
  MediaFile file = MediaFile::FromMemory(bytes);
  MediaInfo scratch;
  return RunMpg(file, scratch, true);
}

struct Parsed {
  int rc = 0;
  MediaInfo info;
};
Parsed Parse(const std::string& bytes) {
  Parsed p;
  MediaFile file = MediaFile::FromMemory(bytes);
  p.info.end_offset = static_cast<int64_t>(bytes.size());
  p.rc = RunMpg(file, p.info, false);
  return p;
}

}  // namespace

TEST(MpgParser, SequenceHeaderGivesSizeRateAndKind) {
  struct Case {
    Sequence s;
    const char* codec;
    double fps;
    int videoKbps, rateKind;
  } cases[] = {
      {{720, 576, kRateCode25}, "MPEG-1", 25, 1150, 1},
      {{720, 576, kRateCode25, 1150000 / 400, false, false, true}, "MPEG-2", 25, 1150, 1},
      {{352, 240, 4, 1856000 / 400, true, false, true}, "MPEG-2", 29.97, 1856, 1},   // behind an intra matrix
      {{352, 240, 1, 1856000 / 400, true, true, true}, "MPEG-2", 23.976, 1856, 1},   // behind both matrices
      {{352, 240, 8, 1856000 / 400, false, true, true}, "MPEG-2", 60, 1856, 1},      // behind the non-intra matrix
      {{4095, 4095, 9, kVariable, false, false, false}, "MPEG-1", 0, 0, 2},          // code 9: no rate; variable
  };
  for (const auto& c : cases) {
    auto p = Parse(SequenceHeader(c.s) + std::string(200, '\0'));
    ASSERT_EQ(p.rc, 1);
    ASSERT_TRUE(p.info.video);
    EXPECT_EQ(p.info.video->codec, c.codec);
    EXPECT_EQ(p.info.video->value1, c.s.width);
    EXPECT_EQ(p.info.video->value2, c.s.height);
    EXPECT_EQ(p.info.video->value3, c.videoKbps);
    EXPECT_EQ(p.info.video->value4, c.rateKind);
    EXPECT_DOUBLE_EQ(p.info.fps, c.fps);
    EXPECT_FALSE(p.info.audio);  // no audio packet
    EXPECT_EQ(p.info.duration_s, 0);
  }
}

TEST(MpgParser, PlayTimeEstimateFromBothRates) {
  // 1,150,000 + 192,000 bit/s; 16,775,000 bytes are 100 s before the overhead correction.
  for (Pes kind : {Pes::Mpeg1Pts, Pes::Mpeg1StuffingStdPtsDts, Pes::Mpeg2}) {
    auto p = ProbeBytes(ProgramStream(Sequence{}, kind, 16775000), "movie.mpg");
    ASSERT_EQ(p.type, kTypeMpg);
    ASSERT_TRUE(p.info.audio);
    EXPECT_EQ(p.info.audio->codec, "V1.0L2");
    EXPECT_EQ(p.info.audio->value1, 44100);
    EXPECT_EQ(p.info.audio->value2, 192);
    EXPECT_EQ(p.info.audio->value3, 2);
    EXPECT_EQ(p.info.bitrate_kbps, 1342);
    EXPECT_EQ(p.info.duration_s, static_cast<int>(100 * MpgOverheadFactor(1150000, 192000)));
    EXPECT_EQ(p.info.duration_s, 98);
  }
}

TEST(MpgParser, NoEstimateWithoutBothRates) {
  // Variable video rate: the audio parser's own play time would count the whole file as audio.
  Sequence variable;
  variable.bitRateValue = kVariable;
  auto p = Parse(ProgramStream(variable, Pes::Mpeg1Pts, 1000000));
  ASSERT_EQ(p.rc, 1);
  ASSERT_TRUE(p.info.audio);
  EXPECT_EQ(p.info.duration_s, 0);
  EXPECT_EQ(p.info.bitrate_kbps, 0);

  // A frame-like pattern in video data without any audio packet is not taken for audio.
  p = Parse(SequenceHeader(Sequence{}) + Layer2Frames(4));
  ASSERT_EQ(p.rc, 1);
  EXPECT_FALSE(p.info.audio);
  EXPECT_EQ(p.info.duration_s, 0);
}

TEST(MpgParser, PlayTimeFromTheClock) {
  // A presentation time marks when the last picture appears; it stays one frame (1/25 s).
  const uint32_t ceiling = 5000000 / 400, fitting = 1150000 / 400;
  struct Case {
    const char* what;
    Clocked c;
    int seconds, kbps;
  } cases[] = {
      {"MPEG-1 form, variable rate", {}, 100, 160},  // 2,000,000 × 8 / 100 / 1000
      {"MPEG-2 form", {.mpeg2 = true}, 100, 160},
      {"pack clock only", {.pts = false}, 100, 160},
      {"MPEG-2 pack clock only", {.mpeg2 = true, .pts = false}, 100, 160},
      {"clock wraps", {.firstPts = kClockWrap - 5 * kTicks}, 100, 160},
      {"pack clock wraps", {.firstPts = kClockWrap - 5 * kTicks, .pts = false}, 100, 160},
      // The header states a ceiling: the estimate from it would be 3 s and 5,192 kbit/s.
      {"stated ceiling", {.bitRateValue = ceiling}, 100, 160},
      // A stated rate near the measured 1,355 kbit/s is kept.
      {"stated rate that fits", {.bitRateValue = fitting, .span = 99 * kTicks, .size = 16775000}, 99, 1342},
      // Not believable: the estimate (or nothing) stands.
      {"clock backwards", {.span = -10 * kTicks}, 0, 0},
      {"clock backwards, stated rates", {.bitRateValue = fitting, .span = -10 * kTicks, .size = 16775000}, 98, 1342},
      {"no stamp in the last 256 KiB", {.tailGap = 300000}, 0, 0},
      {"too fast for its size", {.span = 900}, 0, 0},  // 2 MB in 0.05 s
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto p = ProbeBytes(ClockedStream(c.c), c.c.mpeg2 ? "clip.vob" : "clip.mpg");
    ASSERT_EQ(p.type, kTypeMpg);
    ASSERT_TRUE(p.info.video && p.info.audio);
    EXPECT_EQ(p.info.video->codec, c.c.mpeg2 ? "MPEG-2" : "MPEG-1");
    EXPECT_EQ(p.info.audio->value1, 44100);
    EXPECT_EQ(p.info.duration_s, c.seconds);
    EXPECT_EQ(p.info.bitrate_kbps, c.kbps);
  }
}

TEST(MpgParser, OverheadFactorInterpolatesTheTable) {
  struct Case {
    double video, audio, factor;
  } cases[] = {
      {1e7, 384000, 0.982467380830389},    // top corner
      {1e4, 32000, 0.967628794436853},     // bottom corner
      {1, 1, 0.967628794436853},           // clamped to the bottom corner
      {1e9, 1e9, 0.982467380830389},       // clamped to the top corner
      {1e5, 200000, 0.75 * 0.982573169431796 + 0.25 * 0.982471860182389},  // between rows 192 and 224
      {std::pow(10.0, 3.5) * 1000, 128000, 0.5 * 0.982975692747087 + 0.5 * 0.983976342015205},  // between columns
  };
  for (const auto& c : cases) EXPECT_NEAR(MpgOverheadFactor(c.video, c.audio), c.factor, 1e-12);
}

TEST(MpgParser, CheckModeNeedsAWholeSequenceHeaderInTheFirst100000Bytes) {
  const std::string header = SequenceHeader(Sequence{});
  struct Case {
    size_t at;
    int found;
  } cases[] = {{0, 1}, {99988, 1}, {99989, 0}, {100001, 0}};
  for (const auto& c : cases) {
    std::string bytes(c.at, '\x47');
    bytes += header + std::string(300, '\0');
    EXPECT_EQ(Check(bytes), c.found) << c.at;
    EXPECT_EQ(ProbeBytes(bytes, "noname").type, c.found ? kTypeMpg : -1) << c.at;
  }
  EXPECT_EQ(Check(std::string(200000, '\0')), 0);
}

TEST(MpgParser, EveryPrefixEndsInAResult) {
  const std::string fixtures[] = {ProgramStream(Sequence{1, 1, 2, 1, true, true, true}, Pes::Mpeg2, 0),
                                  ClockedStream({.mpeg2 = true, .size = 0}), ClockedStream({.size = 0})};
  for (const auto& whole : fixtures) {
    for (size_t n = 0; n <= whole.size(); ++n) {
      const std::string prefix = whole.substr(0, n);
      const int found = Check(prefix);
      EXPECT_EQ(Parse(prefix).rc, found) << n;
    }
    EXPECT_EQ(Check(whole), 1);
  }
}

// ---- real files ----------------------------------------------------------------------------

class MpgRealMedia : public ::testing::Test {
 protected:
  void SetUp() override {
    ZELVORA_SKIP_WITHOUT_TOOL(!testmedia::HaveFfmpeg(), "ffmpeg needed");
  }
  testsupport::TempDir dir_;
};

TEST_F(MpgRealMedia, MatchesFfprobe) {
  struct Case {
    const char* name;
    const char* seconds;
    std::vector<std::string> args;
    const char* codec;
  } cases[] = {
      // Constant rates stated in the header.
      {"vcd.mpg", "8",
       {"-c:v", "mpeg1video", "-b:v", "1150k", "-minrate", "1150k", "-maxrate", "1150k", "-bufsize", "327680", "-c:a",
        "mp2", "-b:a", "224k", "-f", "mpeg"},
       "MPEG-1"},
      {"dvd.vob", "8",
       {"-c:v", "mpeg2video", "-b:v", "5000k", "-minrate", "5000k", "-maxrate", "5000k", "-bufsize", "1835008",
        "-c:a", "mp2", "-b:a", "192k", "-f", "vob"},
       "MPEG-2"},
      // ffmpeg's defaults: the header marks a variable rate.
      {"default.mpg", "13.7", {}, "MPEG-1"},
      {"default.vob", "20", {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"}, "MPEG-2"},
      // The header states the maximum rate, far above the real one.
      {"ceiling.vob", "20",
       {"-c:v", "mpeg2video", "-maxrate", "5000k", "-bufsize", "1835008", "-c:a", "mp2", "-f", "vob"},
       "MPEG-2"},
      // AC-3 in private stream 1.
      {"ac3.vob", "8", {"-c:v", "mpeg2video", "-c:a", "ac3", "-f", "dvd"}, "MPEG-2"},
  };
  for (const auto& c : cases) {
    const bool vob = std::string(c.name).ends_with(".vob");
    const std::string video = vob ? "testsrc=s=720x576:r=25" : "testsrc=s=352x288:r=25";
    const std::string audio = vob ? "sine=r=48000" : "sine=r=44100";
    // Stereo: ffmpeg's default Layer II rate (384 kbit/s) is not one the standard allows for mono.
    std::vector<std::string> args = {"-f", "lavfi", "-i", video + ":d=" + c.seconds, "-f", "lavfi", "-i",
                                     audio + ":d=" + c.seconds, "-ac", "2"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const std::string path = dir_.file(c.name);
    ASSERT_TRUE(testmedia::MakeMedia(args, path));
    const auto facts = testmedia::Describe(path);
    const auto p = testmedia::ProbePath(path);
    SCOPED_TRACE(c.name);
    ASSERT_EQ(p.type, kTypeMpg);
    ASSERT_TRUE(p.info.video);
    EXPECT_EQ(p.info.video->codec, c.codec);
    EXPECT_EQ(p.info.video->value1, facts.width);
    EXPECT_EQ(p.info.video->value2, facts.height);
    EXPECT_NEAR(p.info.fps, facts.frameRate, 0.01);
    // MPEG audio through its own parser, AC-3 from private stream 1.
    ASSERT_TRUE(p.info.audio);
    EXPECT_EQ(p.info.audio->value1, facts.sampleRate);
    EXPECT_EQ(p.info.audio->value3, facts.channels);
    EXPECT_NEAR(p.info.duration_s, std::trunc(facts.duration), 1);
    // The overall rate agrees with the size and the play time.
    ASSERT_GT(p.info.duration_s, 0);
    const double measured = static_cast<double>(p.info.file_size) * 8 / p.info.duration_s / 1000;
    EXPECT_NEAR(p.info.bitrate_kbps, measured, measured / 10);
  }
}

namespace {

// An AC-3 sync frame header: sync word, CRC, rate and frame size codes, stream id 8, the coding
// mode with the mix levels it has, then the low-frequency channel flag.
std::string Ac3Frame(int rateCode, int sizeCode, int mode, int lfe) {
  int at = 3;
  if ((mode & 1) && mode != 1) at += 2;
  if (mode & 4) at += 2;
  if (mode == 2) at += 2;
  const auto bits = static_cast<uint16_t>(mode << 13 | lfe << (15 - at));
  return ByteWriter().u16be(0x0B77).u16be(0).u8(static_cast<uint8_t>(rateCode << 6 | sizeCode)).u8(8 << 3).u16be(bits)
             .str() + std::string(200, '\0');
}

// A DTS core frame header: sync word, then frame type, deficit, CRC flag, blocks, frame size,
// channel arrangement, rate and bit rate codes.
std::string DtsFrame(int arrangement, int rateCode, int kbpsCode) {
  const uint64_t v = uint64_t{1} << 47 | uint64_t{31} << 42 | uint64_t{15} << 34 | uint64_t{1000} << 20 |
                     uint64_t(arrangement) << 14 | uint64_t(rateCode) << 10 | uint64_t(kbpsCode) << 5;
  ByteWriter w;
  w.u32be(0x7FFE8001);
  for (int i = 5; i >= 0; --i) w.u8(static_cast<uint8_t>(v >> (8 * i)));
  return w.str() + std::string(200, '\0');
}

// Private stream 1 payload: substream id, frame count, first access unit pointer, the frames.
std::string Substream(uint8_t id, const std::string& frames) {
  return ByteWriter().u8(id).u8(1).u16be(1).str() + frames;
}

// DVD linear PCM: emphasis and frame number, then 16-bit, 48 kHz, `channels`; dynamic range.
std::string Lpcm(int channels) {
  return ByteWriter().u8(0).u8(static_cast<uint8_t>(channels - 1)).u8(0x80).str() + std::string(200, '\0');
}

// A program stream with no video: packs of audio packets of stream `id`, stamped at 0.5 s and
// 10.5 s, `size` bytes in all; unstamped, neither the packets nor the packs tell a time.
std::string AudioProgramStream(uint8_t id, const std::string& payload, size_t size, bool stamped = true) {
  const std::string head = Pack(true, 0) + PesPacket(true, id, stamped ? 45000 : -1, payload);
  const std::string tail = Pack(true, stamped ? 10 * kTicks : 0) +
                           PesPacket(true, id, stamped ? 45000 + 10 * kTicks : -1, payload) +
                           std::string("\0\0\1\xB9", 4);
  const size_t used = head.size() + tail.size();
  return head + std::string(size > used ? size - used : 0, '\0') + tail;
}

}  // namespace

TEST(MpgParser, StreamsWhoseOnlyAudioIsPackedAreRecognised) {
  struct Case {
    const char* what;
    uint8_t id;
    std::string payload;
    const char* codec;
    int rate, channels, kbps;
  } cases[] = {
      {"AC-3 mono, 44.1 kHz", 0xBD, Substream(0x80, Ac3Frame(1, 12, 1, 0)), "AC3", 44100, 1, 96},
      {"AC-3 5.1", 0xBD, Substream(0x81, Ac3Frame(0, 28, 7, 1)), "AC3", 48000, 6, 384},
      {"AC-3 3/0 with LFE at 32 kHz", 0xBD, Substream(0x80, Ac3Frame(2, 16, 3, 1)), "AC3", 32000, 4, 128},
      {"AC-3 dual mono", 0xBD, Substream(0x80, Ac3Frame(0, 8, 0, 0)), "AC3", 48000, 2, 64},
      {"DTS 5 channels", 0xBD, Substream(0x88, DtsFrame(9, 13, 15)), "DTS", 48000, 5, 768},
      {"linear PCM stereo", 0xBD, Substream(0xA0, Lpcm(2)), "PCM", 48000, 2, 1536},
      {"MPEG audio", 0xC0, Layer2Frames(1), "V1.0L2", 44100, 2, 192},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = AudioProgramStream(c.id, c.payload, 1000000);
    EXPECT_EQ(Check(bytes), 1);
    for (const char* name : {"sound.mpg", "sound.vob", "sound.ps", "noname"}) {
      auto p = ProbeBytes(bytes, name);
      ASSERT_EQ(p.type, kTypeMpg) << name;
      EXPECT_FALSE(p.info.video);
      ASSERT_TRUE(p.info.audio);
      EXPECT_EQ(p.info.audio->codec, c.codec);
      EXPECT_EQ(p.info.audio->value1, c.rate);
      EXPECT_EQ(p.info.audio->value3, c.channels);
      EXPECT_EQ(p.info.audio->value2, c.kbps);
      EXPECT_EQ(p.info.duration_s, 10);  // from the presentation times
    }
  }
  // Without timestamps the audio's rate over the size gives the play time.
  auto p = ProbeBytes(AudioProgramStream(0xBD, Substream(0x80, Ac3Frame(0, 8, 2, 0)), 800000, false), "x.vob");
  ASSERT_EQ(p.type, kTypeMpg);
  EXPECT_EQ(p.info.duration_s, 800000 * 8 / 64000);
}

TEST(MpgParser, PackHeaderWithoutAudioOrVideoIsNotAProgramStream) {
  const std::string onlyPadding = Pack(true, 0) + PesPacket(true, 0xBE, -1, std::string(500, '\xFF'));
  const std::string subtitles = Pack(true, 0) + PesPacket(true, 0xBD, 45000, Substream(0x20, std::string(500, 'S')));
  const std::string noPackFirst = std::string(4, '\0') + AudioProgramStream(0xBD, Substream(0x80, Ac3Frame(1, 12, 1, 0)), 0);
  for (const std::string& bytes : {onlyPadding, subtitles, noPackFirst}) {
    EXPECT_EQ(Check(bytes), 0);
    EXPECT_EQ(Parse(bytes).rc, 0);
  }
}

TEST(MpgParser, VideoWithAc3AudioNamesTheAc3Stream) {
  const std::string bytes = Pack(true, 0) + PesPacket(true, 0xE0, 45000, SequenceHeader(Sequence{})) +
                            PesPacket(true, 0xBD, 45000, Substream(0x80, Ac3Frame(0, 28, 7, 1))) +
                            std::string(300, '\0');
  auto p = Parse(bytes);
  ASSERT_EQ(p.rc, 1);
  ASSERT_TRUE(p.info.video && p.info.audio);
  EXPECT_EQ(p.info.audio->codec, "AC3");
  EXPECT_EQ(p.info.audio->value3, 6);
}

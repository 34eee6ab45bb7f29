// Three kinds of file other programs write that the probe once misread, each built in code:
// an FLV whose first audio tag is empty, an MPEG video elementary stream without timestamps,
// and an M4A carrying its cover art as a picture track.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FfmpegMedia.h"
#include "TestSupport.h"

namespace {

using testsupport::ByteWriter;

// ---- FLV ----

// One FLV tag: type, data size (3 bytes), timestamp (3) and its extension (1), stream id (3),
// the data, then the previous-tag-size field that follows every tag.
void FlvTag(ByteWriter& w, uint8_t type, uint32_t timestamp, const std::string& data) {
  w.u8(type).u24be(static_cast<uint32_t>(data.size())).u24be(timestamp & 0xFFFFFF).u8(0).u24be(0);
  w.bytes(data);
  w.u32be(static_cast<uint32_t>(11 + data.size()));
}

// An MP3 audio tag: flags byte 0x2F (format 2 MP3, rate code 3 = 44 kHz, 16-bit, stereo), then an
// MPEG-1 layer III frame of 128 kbit/s at 44100 Hz, joint stereo (417 bytes).
std::string Mp3AudioTagData() {
  ByteWriter d;
  d.u8(0x2F);
  d.u8(0xFF).u8(0xFB).u8(0x90).u8(0x64);  // sync, MPEG-1, layer III, no CRC; 128k, 44100; joint stereo
  d.zeros(417 - 4);
  return d.str();
}

TEST(FlvEmptyFirstAudioTag, TheNextTagsFlagsDescribeTheAudio) {
  ByteWriter w;
  w.text("FLV").u8(1).u8(0x04).u32be(9);  // signature, version, audio present, header size
  w.u32be(0);                             // previous tag size of the (absent) tag 0
  FlvTag(w, 8, 0, "");                    // the empty audio tag a media server writes first
  FlvTag(w, 8, 0, Mp3AudioTagData());
  FlvTag(w, 8, 26, Mp3AudioTagData());
  const testmedia::Probed p = testmedia::ProbeBytes(w.str(), "server.flv");
  ASSERT_EQ(p.type, kTypeFlv);
  ASSERT_TRUE(p.info.audio);
  EXPECT_EQ(p.info.audio->codec, "mp3");
  EXPECT_EQ(p.info.audio->value1, 44100);
  EXPECT_EQ(p.info.audio->value3, 2);
}

// ---- MPEG video elementary stream ----

// A sequence header (start code, 352 × 288, aspect 1, frame rate code 3 = 25 fps, the 18-bit rate
// in units of 400 bit/s, marker, VBV size 20, no matrices), a GOP and a picture start, then
// picture data (zeros) up to `size` bytes.
std::string MpegVideoStream(uint32_t rateUnits, size_t size) {
  ByteWriter w;
  w.u32be(0x000001B3);
  w.u8(0x16).u8(0x01).u8(0x20);  // width 0x160, height 0x120
  w.u8(0x13);                    // aspect ratio 1, frame rate code 3
  w.u32be(rateUnits << 14 | 1u << 13 | 20u << 3);
  w.u32be(0x000001B8).u32be(0x00080000);  // GOP: time code 0, closed
  w.u32be(0x00000100).u32be(0x00000FFF);  // picture 0, I type
  w.zeros(size - w.size());
  return w.str();
}

TEST(MpegVideoElementaryStream, PlayTimeFromTheSizeAndTheHeadersBitRate) {
  struct Case {
    uint32_t rateUnits;
    size_t size;
    int seconds;  // size × 8 ÷ (units × 400), truncated
    int kbps;
  } cases[] = {
      {2875, 575000, 4, 1150},    // 1.15 Mbit/s, the VCD rate
      {1000, 1000000, 20, 400},   // 400 kbit/s
      {0x3FFFF, 575000, 0, 0},    // "variable": no estimate
  };
  for (const Case& c : cases) {
    for (const char* name : {"clip.m1v", "clip.mpg"}) {
      SCOPED_TRACE(std::string(name) + " rate " + std::to_string(c.rateUnits));
      const testmedia::Probed p = testmedia::ProbeBytes(MpegVideoStream(c.rateUnits, c.size), name);
      ASSERT_EQ(p.type, kTypeMpg);
      EXPECT_EQ(p.info.duration_s, c.seconds);
      EXPECT_EQ(p.info.bitrate_kbps, c.kbps);
      ASSERT_TRUE(p.info.video);
      EXPECT_EQ(p.info.video->value1, 352);
      EXPECT_EQ(p.info.video->value2, 288);
      EXPECT_EQ(p.info.file_size, static_cast<int64_t>(c.size));
    }
  }
}

// ---- M4A with cover art ----

std::string Atom(const std::string& type, const std::string& payload) {
  ByteWriter w;
  w.u32be(static_cast<uint32_t>(8 + payload.size())).text(type).bytes(payload);
  return w.str();
}

std::string Matrix() {
  ByteWriter w;
  w.u32be(0x00010000).u32be(0).u32be(0).u32be(0).u32be(0x00010000).u32be(0).u32be(0).u32be(0).u32be(0x40000000);
  return w.str();
}

struct TrackSpec {
  bool sound;
  std::string format;  // sample entry format
  uint32_t flags;      // track header flags: 1 enabled, 2 in movie
  uint16_t width, height;
  uint32_t samples;
};

std::string Track(uint32_t id, const TrackSpec& t) {
  ByteWriter tkhd;
  tkhd.u32be(t.flags).u32be(0).u32be(0).u32be(id).u32be(0).u32be(5000).zeros(8);  // version 0, times, id, duration
  tkhd.u16be(0).u16be(0).u16be(t.sound ? 0x0100 : 0).u16be(0).bytes(Matrix());    // layer, group, volume
  tkhd.u32be(uint32_t{t.width} << 16).u32be(uint32_t{t.height} << 16);
  const uint32_t timescale = t.sound ? 44100 : 1000;
  ByteWriter mdhd;
  mdhd.u32be(0).u32be(0).u32be(0).u32be(timescale).u32be(t.sound ? 220500 : 5000).u16be(0x55C4).u16be(0);
  ByteWriter hdlr;
  hdlr.u32be(0).u32be(0).text(t.sound ? "soun" : "vide").zeros(12).u8(0);
  ByteWriter entry;
  entry.zeros(6).u16be(1);  // reserved, data reference index
  if (t.sound) {
    // version, revision, vendor, channels, sample size, compression id, packet size, rate 16.16
    entry.u16be(0).u16be(0).u32be(0).u16be(2).u16be(16).u16be(0).u16be(0).u32be(44100u << 16);
  } else {
    // version, revision, vendor, temporal and spatial quality, size, resolutions, data size,
    // frame count, compressor name (32), depth, colour table
    entry.u16be(0).u16be(0).u32be(0).u32be(0).u32be(0).u16be(t.width).u16be(t.height);
    entry.u32be(0x00480000).u32be(0x00480000).u32be(0).u16be(1).zeros(32).u16be(24).u16be(0xFFFF);
  }
  ByteWriter stsd;
  stsd.u32be(0).u32be(1).bytes(Atom(t.format, entry.str()));
  ByteWriter stts;
  stts.u32be(0).u32be(1).u32be(t.samples).u32be(t.sound ? 1024 : 5000 / t.samples);
  const std::string stbl = Atom("stbl", Atom("stsd", stsd.str()) + Atom("stts", stts.str()));
  const std::string minf = Atom("minf", stbl);
  const std::string mdia = Atom("mdia", Atom("mdhd", mdhd.str()) + Atom("hdlr", hdlr.str()) + minf);
  return Atom("trak", Atom("tkhd", tkhd.str()) + mdia);
}

std::string Movie(const std::vector<TrackSpec>& tracks) {
  ByteWriter ftyp;
  ftyp.text("M4A ").u32be(0).text("M4A mp42isom");
  ByteWriter mvhd;
  mvhd.u32be(0).u32be(0).u32be(0).u32be(1000).u32be(5000).u32be(0x00010000).u16be(0x0100).zeros(10);
  mvhd.bytes(Matrix()).zeros(24).u32be(static_cast<uint32_t>(tracks.size() + 1));
  std::string moov = Atom("mvhd", mvhd.str());
  for (size_t i = 0; i < tracks.size(); ++i) moov += Track(static_cast<uint32_t>(i + 1), tracks[i]);
  return Atom("ftyp", ftyp.str()) + Atom("moov", moov) + Atom("mdat", std::string(4096, '\0'));
}

TEST(Mp4CoverArt, APictureTrackIsNotVideo) {
  const TrackSpec sound{true, "mp4a", 3, 0, 0, 216};
  struct Case {
    const char* what;
    std::vector<TrackSpec> tracks;
    int type;
    int width, height;  // of the video; 0 when there is none
  } cases[] = {
      {"one JPEG picture", {sound, {false, "jpeg", 3, 160, 160, 1}}, kTypeM4a, 0, 0},
      {"one PNG picture", {sound, {false, "png ", 3, 600, 600, 1}}, kTypeM4a, 0, 0},
      {"disabled chapter pictures", {sound, {false, "jpeg", 2, 300, 300, 4}}, kTypeM4a, 0, 0},
      {"cover before the sound", {{false, "jpeg", 3, 160, 160, 1}, sound}, kTypeM4a, 0, 0},
      {"video and a cover", {{false, "avc1", 3, 320, 240, 125}, sound, {false, "jpeg", 3, 600, 600, 1}}, kTypeM4v, 320,
       240},
      {"motion JPEG is video", {sound, {false, "jpeg", 3, 320, 240, 125}}, kTypeM4v, 320, 240},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const testmedia::Probed p = testmedia::ProbeBytes(Movie(c.tracks), "song.m4a");
    ASSERT_EQ(p.type, c.type);
    EXPECT_EQ(p.info.type_name, kMediaTypeNames[c.type]);
    ASSERT_TRUE(p.info.audio);
    EXPECT_EQ(p.info.audio->value1, 44100);
    EXPECT_EQ(p.info.audio->value3, 2);
    EXPECT_EQ(p.info.duration_s, 5);
    if (c.width == 0) {
      EXPECT_FALSE(p.info.video);
      EXPECT_EQ(p.info.fps, 0.0);
    } else {
      ASSERT_TRUE(p.info.video);
      EXPECT_EQ(p.info.video->value1, c.width);
      EXPECT_EQ(p.info.video->value2, c.height);
      EXPECT_NEAR(p.info.fps, 25.0, 0.01);
    }
  }
}

}  // namespace

// MPEG audio frame header decoding: version, layer, bit rate, sample rate and channels.
#include <gtest/gtest.h>

#include <array>

#include "probe/MpegAudioHeader.h"

namespace {

struct Case {
  std::array<uint8_t, 4> bytes;
  bool valid;
  int versionIndex, layer, bitrateKbps, sampleRate, channels;
  const char* versionName;
};

TEST(MpegAudioHeader, DecodesTheTables) {
  const Case cases[] = {
      // MPEG-1 Layer III, 128 kbit/s, 44100 Hz, joint stereo, no CRC.
      {{0xFF, 0xFB, 0x90, 0x64}, true, 3, 3, 128, 44100, 2, "1"},
      // MPEG-1 Layer II, 384 kbit/s, 48000 Hz, single channel.
      {{0xFF, 0xFD, 0xE4, 0xC0}, true, 3, 2, 384, 48000, 1, "1"},
      // MPEG-1 Layer I, 448 kbit/s, 32000 Hz, with CRC.
      {{0xFF, 0xFE, 0xE8, 0x00}, true, 3, 1, 448, 32000, 2, "1"},
      // MPEG-2 Layer III, 64 kbit/s, 22050 Hz, single channel.
      {{0xFF, 0xF3, 0x80, 0xC0}, true, 2, 3, 64, 22050, 1, "2"},
      // MPEG-2 Layer I, 256 kbit/s, 24000 Hz.
      {{0xFF, 0xF7, 0xE4, 0x00}, true, 2, 1, 256, 24000, 2, "2"},
      // MPEG-2.5 Layer III, 8 kbit/s, 8000 Hz.
      {{0xFF, 0xE3, 0x18, 0x00}, true, 0, 3, 8, 8000, 2, "2.5"},
      // Free format (index 0) and index 15 decode with no bit rate.
      {{0xFF, 0xFB, 0x00, 0x00}, true, 3, 3, 0, 44100, 2, "1"},
      {{0xFF, 0xFB, 0xF0, 0x00}, true, 3, 3, 0, 44100, 2, "1"},
      // Missing sync bit, reserved version, reserved layer, reserved sample-rate index.
      {{0xFF, 0xDB, 0x90, 0x00}, false, 0, 0, 0, 0, 0, ""},
      {{0xFF, 0xEB, 0x90, 0x00}, false, 0, 0, 0, 0, 0, ""},
      {{0xFF, 0xF9, 0x90, 0x00}, false, 0, 0, 0, 0, 0, ""},
      {{0xFF, 0xFB, 0x9C, 0x00}, false, 0, 0, 0, 0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.bytes[1]) << ' ' << int(c.bytes[2]));
    auto h = DecodeMpegAudioHeader(c.bytes);
    ASSERT_EQ(h.has_value(), c.valid);
    if (!h) continue;
    EXPECT_EQ(h->versionIndex, c.versionIndex);
    EXPECT_EQ(h->layer, c.layer);
    EXPECT_EQ(h->bitrateKbps, c.bitrateKbps);
    EXPECT_EQ(h->sampleRate, c.sampleRate);
    EXPECT_EQ(h->channels, c.channels);
    EXPECT_STREQ(h->versionName(), c.versionName);
  }
}

TEST(MpegAudioHeader, FewerThanFourBytesDecodeNothing) {
  const uint8_t bytes[3] = {0xFF, 0xFB, 0x90};
  EXPECT_FALSE(DecodeMpegAudioHeader(bytes).has_value());
}

}  // namespace

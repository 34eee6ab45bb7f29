// MPEG audio: header decoding, VBR headers, frame search and real files made by ffmpeg.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <unistd.h>

#include "FfmpegMedia.h"
#include "TestSupport.h"
#include "probe/MpegAudio.h"
#include "probe/Parsers.h"
#include "probe/Probe.h"

using testsupport::ByteWriter;
using testsupport::TempDir;

namespace {

std::string Bytes(std::initializer_list<uint8_t> list) { return std::string(list.begin(), list.end()); }

// An ID3v2.3 tag of `total` bytes (10-byte header and a zero body).
std::string Id3Tag(uint32_t total) {
  uint32_t size = total - 10;
  ByteWriter w;
  w.text("ID3").u8(3).u8(0).u8(0);
  for (int shift = 21; shift >= 0; shift -= 7) w.u8(static_cast<uint8_t>((size >> shift) & 0x7F));  // synchsafe size
  w.zeros(size);
  return w.str();
}

// A frame of `length` bytes: the four header bytes, then zeros.
std::string Frame(const std::string& header, size_t length) { return header + std::string(length - header.size(), '\0'); }

// A first frame carrying a Xing header at `at`: flags (frames and bytes present), frame count, byte count;
// optionally a LAME tag 120 bytes behind the Xing tag.
std::string XingFrame(const std::string& header, size_t at, uint32_t frames, uint32_t bytes, const std::string& lame = {},
                      uint8_t method = 0, const char* tag = "Xing") {
  std::string f = Frame(header, 417);
  ByteWriter w;
  w.text(tag);
  w.u32be(3);  // flags: frame count and byte count follow
  w.u32be(frames);
  w.u32be(bytes);
  f.replace(at, w.size(), w.str());
  if (!lame.empty()) {
    std::string t = "LAME" + lame;  // encoder name and five version characters
    t.push_back(static_cast<char>(method));  // tag revision (high nibble) and method (low nibble)
    f.replace(at + 120, t.size(), t);
  }
  return f;
}

const std::string kMp3Header = Bytes({0xFF, 0xFB, 0x90, 0x64});  // MPEG-1 L3, 128 kbit/s, 44100 Hz, joint stereo

using testmedia::Probed;

// The probe over bytes in memory, under an MP3 name unless told otherwise.
Probed ProbeBytes(const std::string& bytes, const char* name = "clip.mp3") { return testmedia::ProbeBytes(bytes, name); }

}  // namespace

TEST(MpegAudioFrame, DecodeTable) {
  struct Case {
    std::string bytes;
    bool valid;
    double version;
    int layer;
    int sampleRate;
    int channels;
    int64_t bitrate;
    int64_t frameLength;
  };
  const Case cases[] = {
      {Bytes({0xFF, 0xFB, 0x90, 0x64}), true, 1.0, 3, 44100, 2, 128000, 417},
      {Bytes({0xFF, 0xFB, 0x92, 0x64}), true, 1.0, 3, 44100, 2, 128000, 418},  // padded
      {Bytes({0xFF, 0xFB, 0xE4, 0xC4}), true, 1.0, 3, 48000, 1, 320000, 960},
      {Bytes({0xFF, 0xF3, 0x80, 0x44}), true, 2.0, 3, 22050, 2, 64000, 208},
      {Bytes({0xFF, 0xE3, 0x18, 0xC4}), true, 2.5, 3, 8000, 1, 8000, 72},
      {Bytes({0xFF, 0xFD, 0xB4, 0x04}), true, 1.0, 2, 48000, 2, 224000, 672},
      {Bytes({0xFF, 0xFD, 0x14, 0xC4}), true, 1.0, 2, 48000, 1, 32000, 96},   // 32 kbit/s is fine in mono
      {Bytes({0xFF, 0xFD, 0x14, 0x04}), false, 0, 0, 0, 0, 0, 0},             // but not in stereo
      {Bytes({0xFF, 0xFD, 0x34, 0x84}), false, 0, 0, 0, 0, 0, 0},             // 56 kbit/s dual channel
      {Bytes({0xFF, 0xFD, 0xB4, 0xC4}), true, 1.0, 2, 48000, 1, 224000, 672},  // 224 kbit/s mono, as encoders write it
      {Bytes({0xFF, 0xF5, 0x40, 0x04}), true, 2.0, 2, 22050, 2, 32000, 208},  // MPEG-2 Layer II has no such limits
      {Bytes({0xFF, 0xFF, 0xE8, 0x04}), true, 1.0, 1, 32000, 2, 448000, 672},
      {Bytes({0xFF, 0xFF, 0xEA, 0x04}), true, 1.0, 1, 32000, 2, 448000, 676},  // padded by one 4-byte slot
      {Bytes({0xFF, 0xFB, 0x00, 0xC4}), true, 1.0, 3, 44100, 1, -1, 0},        // free format
      {Bytes({0xFF, 0xF9, 0x90, 0x64}), false, 0, 0, 0, 0, 0, 0},              // reserved layer
      {Bytes({0xFF, 0xEB, 0x90, 0x64}), false, 0, 0, 0, 0, 0, 0},              // reserved version
      {Bytes({0xFF, 0xFB, 0xF0, 0x64}), false, 0, 0, 0, 0, 0, 0},              // bit-rate index 15
      {Bytes({0xFF, 0xFB, 0x9C, 0x64}), false, 0, 0, 0, 0, 0, 0},              // sample-rate index 3
      {Bytes({0xFF, 0x7B, 0x90, 0x64}), false, 0, 0, 0, 0, 0, 0},              // broken sync
      {Bytes({0xFF, 0xFB, 0x90}), false, 0, 0, 0, 0, 0, 0},                    // too short
  };
  for (const auto& c : cases) {
    MpegAudioState s;
    std::string frame = c.bytes + std::string(300, '\0');
    if (c.bytes.size() < 4) frame = c.bytes;
    auto span = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
    bool valid = DecodeMpegAudioBytes(s, span, 0);
    ASSERT_EQ(valid, c.valid) << testing::PrintToString(c.bytes) << " " << s.error;
    if (!valid) {
      EXPECT_FALSE(s.error.empty());
      continue;
    }
    EXPECT_EQ(s.version, c.version);
    EXPECT_EQ(s.layer, c.layer);
    EXPECT_EQ(s.sample_rate, c.sampleRate);
    EXPECT_EQ(s.channels, c.channels);
    EXPECT_EQ(s.bitrate, c.bitrate);
    if (c.bitrate > 0) {
      EXPECT_EQ(s.frame_length, c.frameLength);
    }
    EXPECT_EQ(s.rate_control, "cbr");
    EXPECT_EQ(s.codec, c.layer == 2 ? "mp2" : "mp3");
  }
}

TEST(MpegAudioFrame, CrcFollowsProtectedHeader) {
  std::string frame = Frame(Bytes({0xFF, 0xFA, 0x90, 0x64, 0xAB, 0xCD}), 417);
  MpegAudioState s;
  ASSERT_TRUE(DecodeMpegAudioBytes(s, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(frame.data()), 417), 0));
  EXPECT_TRUE(s.crc_protected);
  EXPECT_EQ(s.crc, 0xABCD);
}

TEST(MpegAudioFrame, XingPositionsByVersionAndMode) {
  struct Case {
    std::string header;
    size_t at;
  };
  const Case cases[] = {
      {Bytes({0xFF, 0xFB, 0x90, 0x64}), 36},  // MPEG-1 stereo
      {Bytes({0xFF, 0xFB, 0x90, 0xC4}), 21},  // MPEG-1 single channel
      {Bytes({0xFF, 0xF3, 0x80, 0x44}), 21},  // MPEG-2 stereo
      {Bytes({0xFF, 0xF3, 0x80, 0xC4}), 13},  // MPEG-2 single channel
      {Bytes({0xFF, 0xE3, 0x80, 0xC4}), 13},  // MPEG-2.5 single channel
  };
  for (const auto& c : cases) {
    for (size_t at : {size_t{13}, size_t{21}, size_t{36}}) {
      std::string frame = XingFrame(c.header, at, 100, 50000);
      MpegAudioState s;
      ASSERT_TRUE(DecodeMpegAudioBytes(s, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(frame.data()), frame.size()), 0));
      EXPECT_EQ(s.vbr_kind, at == c.at ? "Xing" : "") << c.at << " " << at;
      EXPECT_EQ(s.rate_control, at == c.at ? "vbr" : "cbr");
    }
  }
}

TEST(MpegAudio, XingAverageGivesBitRateAndPlayTime) {
  // 1,000 frames of 418 bytes on average at 44100 Hz: 418 × 44100 / 144 = 128,012.5 bit/s.
  std::string bytes = XingFrame(kMp3Header, 36, 1000, 418000) + std::string(418000 - 417, '\0');
  MpegAudioState s;
  auto file = MediaFile::FromMemory(bytes);
  s.file = &file;
  s.file_length = file.size();
  ASSERT_TRUE(FindMpegAudioFrame(s, 0));
  EXPECT_EQ(s.average_bitrate, 128012);
  EXPECT_EQ(s.frame_length, 418);
  EXPECT_EQ(s.rate_control, "vbr");

  Probed p = ProbeBytes(bytes);
  ASSERT_EQ(p.type, kTypeMp3);
  ASSERT_NE(p.info.audio, nullptr);
  EXPECT_EQ(p.info.audio->codec, "V1.0L3");
  EXPECT_EQ(p.info.audio->value2, 128);
  EXPECT_EQ(p.info.bitrate_kbps, 128);
  EXPECT_EQ(p.info.duration_s, 418000 * 8 / 128012);
}

TEST(MpegAudio, LameConstantRateSnapsToStandardRate) {
  // 416 bytes per frame on average: 416 × 44100 / 144 = 127,400 bit/s.
  struct Case {
    std::string version;
    uint8_t method;
    int kbps;
  };
  const Case cases[] = {
      {"3.99r", 0x01, 128},  // cbr: snapped
      {"3.100", 0x21, 128},  // a later version, with a tag revision in the high nibble
      {"3.90 ", 0x01, 128},
      {"3.88 ", 0x01, 127},  // too old to trust its method byte
      {"3.99r", 0x04, 127},  // vbr-new: not snapped
  };
  for (const auto& c : cases) {
    std::string bytes = XingFrame(kMp3Header, 36, 1000, 416000, c.version, c.method) + std::string(50000, '\0');
    Probed p = ProbeBytes(bytes);
    ASSERT_EQ(p.type, kTypeMp3) << c.version;
    EXPECT_EQ(p.info.audio->value2, c.kbps) << c.version << " " << int(c.method);
  }

  const std::pair<int, int> snaps[] = {{127, 128}, {120, 128}, {119, 112}, {8, 8}, {1, 8}, {300, 320}, {288, 320},
                                       {240, 256}, {208, 224}, {176, 192}, {144, 160}, {88, 96}, {36, 40}};
  for (auto [in, out] : snaps) EXPECT_EQ(SnapToStandardBitrate(in), out) << in;
}

TEST(MpegAudio, VbriComparesPromisedBytesWithFile) {
  auto vbriFrame = [](uint32_t bytes, uint32_t frames) {
    std::string f = Frame(kMp3Header, 417);
    ByteWriter w;
    w.text("VBRI").u16be(1).u16be(0).u16be(75);  // tag, version, delay, quality
    w.u32be(bytes).u32be(frames);                  // byte count at 46, frame count at 50
    f.replace(36, w.size(), w.str());
    return f;
  };
  struct Case {
    int64_t extra;  // bytes in the file beyond what the header promises
    int64_t lengthChange;
    const char* warning;
  };
  const Case cases[] = {{0, 0, ""}, {1, -1, ""}, {5, 0, "Too much data"}, {-1, 0, "Last byte"}, {-9, 0, "Probable truncated"}};
  for (const auto& c : cases) {
    const uint32_t promised = 20000;
    std::string bytes = vbriFrame(promised, 40);
    bytes.resize(static_cast<size_t>(promised + c.extra), '\0');
    auto file = MediaFile::FromMemory(bytes);
    MpegAudioState s;
    s.file = &file;
    s.file_length = file.size();
    ASSERT_TRUE(FindMpegAudioFrame(s, 0));
    EXPECT_EQ(s.vbr_kind, "Fraunhofer");
    EXPECT_EQ(s.rate_control, "vbr");
    EXPECT_EQ(s.file_length, file.size() + c.lengthChange) << c.extra;
    EXPECT_EQ(s.warning.rfind(c.warning, 0), 0u) << c.extra << " " << s.warning;
    // 500 bytes per frame on average: 500 × 44100 / 144 bit/s.
    EXPECT_EQ(s.average_bitrate, 153125);
  }
}

TEST(MpegAudio, ConstantRateBehindId3Tag) {
  // A 128 kbit/s stream of 4,000,000 bytes whose first frame stands right behind a 4,096-byte tag.
  std::string bytes = Id3Tag(4096) + Frame(kMp3Header, 417);
  bytes.resize(4000000, '\0');
  Probed p = ProbeBytes(bytes);
  ASSERT_EQ(p.type, kTypeMp3);
  EXPECT_STREQ(p.info.type_name, "mp3");
  EXPECT_EQ(p.info.start_offset, 4096);
  EXPECT_EQ(p.info.payload_start, 4096);
  EXPECT_EQ(p.info.payload_end, 4000000);
  ASSERT_NE(p.info.audio, nullptr);
  EXPECT_EQ(p.info.audio->codec, "V1.0L3");
  EXPECT_EQ(p.info.audio->value1, 44100);
  EXPECT_EQ(p.info.audio->value3, 2);
  EXPECT_EQ(p.info.audio->value2, 128);
  EXPECT_EQ(p.info.duration_s, 249);
  EXPECT_EQ(p.info.video, nullptr);
}

TEST(MpegAudio, SearchSkipsInvalidCandidatesWithinWindow) {
  const std::string stereo32LayerII = Bytes({0xFF, 0xFD, 0x14, 0x04});
  const std::string mpeg2Mono = Bytes({0xFF, 0xF3, 0x80, 0xC4});
  struct Case {
    std::string bytes;
    int result;
    const char* codec;
  };
  const Case cases[] = {
      // An invalid Layer II frame first: the search goes on to the next candidate.
      {std::string(10, '\x11') + Frame(stereo32LayerII, 300) + Frame(mpeg2Mono, 300), 1, "V2.0L3"},
      {Frame(Bytes({0xFF, 0xFD, 0xB4, 0x04}), 672) + std::string(500, '\0'), 1, "V1.0L2"},
      // Garbage filling the whole 128 KiB window: no frame is found behind it.
      {std::string(128 * 1024, '\x11') + Frame(kMp3Header, 417) + std::string(4000, '\0'), -1, nullptr},
      // A frame starting in the window's last bytes is still decoded from the file.
      {std::string(128 * 1024 - 2, '\x11') + Frame(kMp3Header, 417) + std::string(4000, '\0'), 1, "V1.0L3"},
      {std::string(5000, '\xFF'), -1, nullptr},
      {std::string(5000, '\0'), -1, nullptr},
  };
  for (const auto& c : cases) {
    Probed p = ProbeBytes(c.bytes, "x.mp2");
    ASSERT_EQ(p.type, c.result) << c.bytes.size();
    if (c.codec) {
      EXPECT_EQ(p.info.audio->codec, c.codec);
    }
  }
}

TEST(MpegAudio, CheckModeOnlyAnswers) {
  std::string bytes = Id3Tag(300) + Frame(kMp3Header, 417) + std::string(1000, '\0');
  auto file = MediaFile::FromMemory(bytes);
  file.seek(123);
  MediaInfo info;
  EXPECT_EQ(RunMpegAudio(file, info, true, 0), 1);
  EXPECT_EQ(file.tell(), 123);
  EXPECT_EQ(info.audio, nullptr);
  EXPECT_EQ(info.bitrate_kbps, 0);
  EXPECT_EQ(info.payload_start, 0);

  auto garbage = MediaFile::FromMemory(std::string(1000, '\x42'));
  EXPECT_EQ(RunMpegAudio(garbage, info, true, 0), 0);
  EXPECT_EQ(RunMpegAudio(file, info, true, -5), 0);
  EXPECT_EQ(RunMpegAudio(file, info, true, static_cast<int64_t>(bytes.size())), 0);
}

TEST(MpegAudio, KeepsAnAudioStreamAlreadyFound) {
  auto file = MediaFile::FromMemory(Frame(kMp3Header, 417) + std::string(1000, '\0'));
  MediaInfo info;
  info.ensureAudio().setCodec("aac");
  EXPECT_EQ(RunMpegAudio(file, info, false, 0), 1);
  EXPECT_EQ(info.audio->codec, "aac");
  EXPECT_EQ(info.bitrate_kbps, 0);
}

TEST(MpegAudio, FreeFormatHasNoRateOrPlayTime) {
  Probed p = ProbeBytes(Frame(Bytes({0xFF, 0xFB, 0x00, 0xC4}), 400) + std::string(1000, '\0'));
  ASSERT_EQ(p.type, kTypeMp3);
  EXPECT_EQ(p.info.audio->value1, 44100);
  EXPECT_EQ(p.info.audio->value3, 1);
  EXPECT_EQ(p.info.audio->value2, 0);
  EXPECT_EQ(p.info.bitrate_kbps, 0);
  EXPECT_EQ(p.info.duration_s, 0);
}

TEST(MpegAudio, DetectedByNameOnly) {
  const std::string bytes = Frame(kMp3Header, 417) + std::string(2000, '\0');
  struct Case {
    const char* name;
    int result;
  };
  // Only the MPEG audio names, and a program-stream name whose own check fails, reach the MPEG audio check.
  const Case cases[] = {{"a.mp3", 1}, {"a.MP2", 1}, {"a.mpg", 1}, {"a.vob", 1}, {"a.mpeg", 1},
                        {"noext", -1}, {"a.xyz", -1}, {"a.avi", -1}, {"a.ogg", -1}};
  for (const auto& c : cases) EXPECT_EQ(ProbeBytes(bytes, c.name).type, c.result) << c.name;
  // An Ogg page named .mp3 is never MPEG audio.
  auto ogg = MediaFile::FromMemory("OggS" + bytes);
  EXPECT_STREQ(DetectMediaType(ogg, "a.mp3"), "ogg");
}

TEST(MpegAudio, EveryPrefixEndsInAResult) {
  // Tag, Xing frame with a LAME tag, then three plain frames.
  std::string whole = Id3Tag(60) + XingFrame(kMp3Header, 36, 4, 1668, "3.99r", 0x01) + Frame(kMp3Header, 417) +
                      Frame(kMp3Header, 417) + Frame(kMp3Header, 417);
  for (size_t n = 0; n <= whole.size(); ++n) {
    Probed p = ProbeBytes(whole.substr(0, n));
    ASSERT_TRUE(p.type == kTypeMp3 || p.type == -1) << n;
    if (n >= 60 + 128) {
      ASSERT_EQ(p.type, kTypeMp3) << n;
      EXPECT_EQ(p.info.audio->value1, 44100) << n;
      EXPECT_GE(p.info.duration_s, 0);
    } else {
      EXPECT_EQ(p.type, -1) << n;
    }
  }
}

TEST(MpegAudio, MatchesFfprobeOnRealFiles) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testmedia::HaveFfmpeg(), "ffmpeg not installed");
  TempDir dir;
  struct Case {
    const char* name;
    std::vector<std::string> options;
    const char* codec;
    int kbps;  // 0: variable, not checked exactly
  };
  const Case cases[] = {
      {"cbr.mp3", {"-ar", "44100", "-ac", "2", "-c:a", "libmp3lame", "-b:a", "128k"}, "V1.0L3", 128},
      {"vbr.mp3", {"-ar", "44100", "-ac", "2", "-c:a", "libmp3lame", "-q:a", "4"}, "V1.0L3", 0},
      {"mono22.mp3", {"-ar", "22050", "-ac", "1", "-c:a", "libmp3lame", "-b:a", "32k"}, "V2.0L3", 32},
      {"vbr8k.mp3", {"-ar", "8000", "-ac", "1", "-c:a", "libmp3lame", "-q:a", "6"}, "V2.5L3", 0},
      {"stereo.mp2", {"-ar", "48000", "-ac", "2", "-c:a", "mp2", "-b:a", "192k"}, "V1.0L2", 192},
      {"lsf.mp2", {"-ar", "24000", "-ac", "2", "-c:a", "mp2", "-b:a", "48k"}, "V2.0L2", 48},
      {"mono384.mp2", {"-ar", "48000", "-ac", "1", "-c:a", "mp2", "-b:a", "384k"}, "V1.0L2", 384},
  };
  for (const auto& c : cases) {
    const std::string path = dir.file(c.name);
    ASSERT_TRUE(testmedia::MakeMedia(
        testmedia::Join({{"-f", "lavfi", "-i", "sine=frequency=440:duration=7", "-metadata", "title=zelvora"}, c.options}),
        path))
        << c.name;
    const auto expected = testmedia::Describe(path);
    ASSERT_GT(expected.sampleRate, 0) << c.name;

    MediaInfoEx summary;
    ASSERT_EQ(getMediaInfo2Ex(&summary, path), kTypeMp3) << c.name;
    EXPECT_EQ(summary.kind, 5);
    EXPECT_EQ(summary.audio_codec, c.codec) << c.name;
    EXPECT_EQ(summary.audio_values[0], expected.sampleRate) << c.name;
    EXPECT_EQ(summary.audio_values[2], expected.channels) << c.name;
    EXPECT_LE(std::abs(summary.duration_s - static_cast<int>(expected.duration)), 1) << c.name << " " << expected.duration;
    if (c.kbps) {
      EXPECT_EQ(summary.bitrate_kbps, c.kbps) << c.name;
    }
    EXPECT_GT(summary.bitrate_kbps, 0) << c.name;
  }
}

TEST(MpegAudio, SparseFileBeyondFourGiB) {
  TempDir dir;
  const std::string path = dir.file("long.mp3");
  testsupport::WriteFile(path, Frame(kMp3Header, 417));
  const int64_t size = (int64_t{5} << 30) + 417;
  std::error_code grown;
  std::filesystem::resize_file(path, static_cast<uintmax_t>(size), grown);  // 64-bit sizes on every system
  ASSERT_FALSE(grown) << grown.message();
  MediaInfoEx summary;
  ASSERT_EQ(getMediaInfo2Ex(&summary, path), kTypeMp3);
  EXPECT_EQ(summary.file_size, size);
  EXPECT_EQ(summary.payload_end, size);
  EXPECT_EQ(summary.duration_s, static_cast<int32_t>(size * 8 / 128000));
}

TEST(MpegAudio, StatedFrameCountGivesThePlayTime) {
  auto vbri = [](uint32_t bytes, uint32_t frames) {
    std::string f = Frame(kMp3Header, 417);
    ByteWriter w;
    w.text("VBRI").u16be(1).u16be(0).u16be(75).u32be(bytes).u32be(frames);  // tag, version, delay, quality, counts
    f.replace(36, w.size(), w.str());
    return f;
  };
  // A LAME tag 120 bytes behind the Xing tag: version, method, and at 21 the encoder delay and
  // end padding (12 bits each).
  auto withLame = [](std::string frame, uint32_t delay, uint32_t padding) {
    std::string t = "LAME3.100" + std::string(1, '\x04') + std::string(11, '\0');
    t += static_cast<char>(delay >> 4);
    t += static_cast<char>((delay & 0x0F) << 4 | padding >> 8);
    t += static_cast<char>(padding & 0xFF);
    frame.replace(36 + 120, t.size(), t);
    return frame;
  };
  struct Case {
    const char* what;
    std::string bytes;
    int seconds;
  } cases[] = {
      // 7,419 frames of 1,152 samples at 44100 Hz are 193.8 s, though the file holds only 4 KB of them.
      {"Xing, file cut short", XingFrame(kMp3Header, 36, 7419, 3100325) + std::string(4000, '\0'), 193},
      {"VBRI, file cut short", vbri(6478737, 8506) + std::string(7000, '\0'), 222},
      // Delay and padding are not played: 2,297 frames are 60.003 s, less 1,576 samples 59.97 s.
      {"LAME delay and padding", withLame(XingFrame(kMp3Header, 36, 2297, 2297 * 418), 576, 1000), 59},
      // A header of a much shorter stream (a file joined behind it): the data's length at the
      // header's average rate, 3924 / 16 × 44100 / 144 = 75,108 bit/s.
      {"stale header", XingFrame(kMp3Header, 36, 16, 3924) + std::string(200000 - 417, '\0'), 200000 * 8 / 75108},
      // Frames were read: never a play time of 0.
      {"ten stated frames", XingFrame(kMp3Header, 36, 10, 4180), 1},
      {"one constant-rate frame", Frame(kMp3Header, 417), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Probed p = ProbeBytes(c.bytes);
    ASSERT_EQ(p.type, kTypeMp3);
    EXPECT_EQ(p.info.duration_s, c.seconds);
  }
}

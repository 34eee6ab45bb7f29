// MP4 / QuickTime parser: atom fixtures built here, sparse giant files, and real files made by ffmpeg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <optional>
#include <vector>

#include "TestSupport.h"
#include "FfmpegMedia.h"
#include "probe/Parsers.h"
#include "probe/Probe.h"

using testsupport::ByteWriter;
using testsupport::TempDir;

namespace {

constexpr uint32_t kAtomCap = 64 * 1024 * 1024;

std::string Atom(const std::string& type, const std::string& payload) {
  ByteWriter w;
  w.u32be(static_cast<uint32_t>(8 + payload.size()));  // size, header included
  w.text(type);                                        // type
  w.text(payload);
  return w.str();
}

// The 64-bit size form: size field 1, then the real size after the type.
std::string Atom64(const std::string& type, const std::string& payload) {
  ByteWriter w;
  w.u32be(1);
  w.text(type);
  w.u64be(16 + payload.size());
  w.text(payload);
  return w.str();
}

std::string Ftyp() { return Atom("ftyp", std::string("isom\0\0\2\0isomiso2mp41", 20)); }

std::string Mvhd(uint32_t timescale, uint32_t duration) {
  ByteWriter w;
  w.u32be(0);           // version 0, flags
  w.u32be(0).u32be(0);  // creation and modification times
  w.u32be(timescale);   // time scale
  w.u32be(duration);    // duration
  w.zeros(80);          // rate, volume, matrix, next track id
  return Atom("mvhd", w.str());
}

std::string MvhdV1(uint32_t timescale, uint64_t duration) {
  ByteWriter w;
  w.u32be(0x01000000);  // version 1, flags
  w.u64be(0).u64be(0);  // creation and modification times
  w.u32be(timescale);   // time scale
  w.u64be(duration);    // duration
  w.zeros(80);
  return Atom("mvhd", w.str());
}

std::string Tkhd(uint16_t width, uint16_t height, int version = 0, uint32_t trackId = 1) {
  ByteWriter w;
  w.u32be(version << 24);  // version, flags
  if (version == 1) {
    w.u64be(0).u64be(0);        // creation and modification times
    w.u32be(trackId).u32be(0);  // track id, reserved
    w.u64be(0);                 // duration
  } else {
    w.u32be(0).u32be(0);        // creation and modification times
    w.u32be(trackId).u32be(0);  // track id, reserved
    w.u32be(0);                 // duration
  }
  w.zeros(16);                               // reserved, layer, group, volume, reserved
  w.zeros(36);                               // matrix
  w.u32be(uint32_t{width} << 16 | 0x8000);   // width 16.16 (the fraction is cut)
  w.u32be(uint32_t{height} << 16 | 0x8000);  // height 16.16
  return Atom("tkhd", w.str());
}

std::string Mdhd(uint32_t timescale, uint32_t duration) {
  ByteWriter w;
  w.u32be(0).u32be(0).u32be(0);  // version, flags, creation and modification times
  w.u32be(timescale).u32be(duration);
  w.u32be(0);  // language, quality
  return Atom("mdhd", w.str());
}

std::string Hdlr(const std::string& subtype) {
  ByteWriter w;
  w.u32be(0);         // version, flags
  w.text("mhlr");     // component type
  w.text(subtype);    // "vide", "soun", …
  w.zeros(12).u8(0);  // reserved, empty name
  return Atom("hdlr", w.str());
}

// Time-to-sample entries: sample count and sample delta.
std::string Stts(std::initializer_list<std::pair<uint32_t, uint32_t>> entries) {
  ByteWriter w;
  w.u32be(0);                                                       // version, flags
  w.u32be(static_cast<uint32_t>(entries.size()));                   // entry count
  for (auto [count, delta] : entries) w.u32be(count).u32be(delta);  // sample count, sample delta
  return Atom("stts", w.str());
}

std::string AudioEntry(const std::string& format, uint16_t channels, uint16_t rate) {
  ByteWriter w;
  w.u32be(36).text(format);       // entry size, data format
  w.zeros(6).u16be(1);            // reserved, data-reference index
  w.u16be(0).u16be(0).u32be(0);   // version, revision, vendor 0
  w.u16be(channels);              // channels
  w.u16be(16).u16be(0).u16be(0);  // sample size, compression id, packet size
  w.u32be(uint32_t{rate} << 16);  // sample rate 16.16
  return w.str();
}

// A sound entry with children after its fields: version 1 adds four 32-bit packet fields,
// version 2 (channels 3 and rate 1.0 as placeholders) the real rate and channel count.
std::string SoundEntry(const std::string& format, uint16_t channels, uint32_t rate, const std::string& children,
                       uint16_t version = 0, double v2Rate = 0, uint32_t v2Channels = 0, uint32_t vendor = 0) {
  ByteWriter w;
  w.zeros(6).u16be(1);                                         // reserved, data-reference index
  w.u16be(version).u16be(0).u32be(vendor);                     // version, revision, vendor
  w.u16be(channels);                                           // channels
  w.u16be(16).u16be(0).u16be(0);                               // sample size, compression id, packet size
  w.u32be(rate << 16);                                         // sample rate 16.16
  if (version == 1) w.u32be(1024).u32be(0).u32be(2).u32be(2);  // samples and bytes per packet, frame, sample
  if (version == 2) {
    w.u32be(72);                               // size of this structure
    w.u64be(std::bit_cast<uint64_t>(v2Rate));  // sample rate, float64
    w.u32be(v2Channels);                       // channels
    w.u32be(0x7F000000).u32be(24).u32be(0);    // constant, bits per channel, flags
    w.u32be(0).u32be(1);                       // bytes and frames per packet
  }
  w.text(children);
  return Atom(format, w.str());
}

// An MPEG-4 descriptor: tag, its length in `lengthBytes` bytes of the 7-bit expandable form, body.
std::string Descriptor(uint8_t tag, const std::string& body, int lengthBytes = 1) {
  ByteWriter w;
  w.u8(tag);
  for (int i = lengthBytes - 1; i >= 0; --i)
    w.u8(static_cast<uint8_t>(((body.size() >> (7 * i)) & 0x7F) | (i > 0 ? 0x80 : 0)));
  w.text(body);
  return w.str();
}

// "esds": ES descriptor → decoder config (object type, audio stream) → decoder specific info `config`.
std::string Esds(const std::string& config, uint8_t objectType = 0x40, int lengthBytes = 1, uint8_t esFlags = 0) {
  ByteWriter decoder;
  decoder.u8(objectType);               // object type indication
  decoder.u8(0x15).u24be(0);            // stream type (audio), buffer size
  decoder.u32be(128000).u32be(128000);  // maximum and average bit rate
  ByteWriter es;
  es.u16be(1).u8(esFlags);                   // ES_ID, flags
  if (esFlags & 0x80) es.u16be(7);           // depends-on ES_ID
  if (esFlags & 0x40) es.u8(3).text("a:b");  // URL
  if (esFlags & 0x20) es.u16be(9);           // OCR ES_ID
  const std::string body = es.str() +
                           Descriptor(0x04, decoder.str() + Descriptor(0x05, config, lengthBytes), lengthBytes) +
                           Descriptor(0x06, std::string(1, '\x02'), lengthBytes);  // SL config
  ByteWriter w;
  w.u32be(0);  // version, flags
  return Atom("esds", w.str() + Descriptor(0x03, body, lengthBytes));
}

// An AudioSpecificConfig: object type, frequency index (15: the explicit 24-bit `rate`), channel
// configuration, and for SBR (5) and PS (29) the extension frequency index and the core type (2).
std::string Asc(uint32_t objectType, uint32_t rateIndex, uint32_t channelConfig, uint32_t extIndex = 0,
                uint32_t rate = 0) {
  std::vector<std::pair<uint32_t, int>> fields = {{objectType, 5}, {rateIndex, 4}};
  if (rateIndex == 15) fields.push_back({rate, 24});
  fields.push_back({channelConfig, 4});
  if (objectType == 5 || objectType == 29) fields.insert(fields.end(), {{extIndex, 4}, {2, 5}});
  std::string out;
  uint32_t acc = 0;
  int bits = 0;
  for (auto [value, width] : fields) {
    for (int i = width - 1; i >= 0; --i) {
      acc = (acc << 1) | ((value >> i) & 1);
      if (++bits == 8) out.push_back(static_cast<char>(acc)), acc = 0, bits = 0;
    }
  }
  if (bits > 0) out.push_back(static_cast<char>(acc << (8 - bits)));
  return out;
}

std::string VideoEntry(const std::string& format, const std::string& vendor, uint16_t width, uint16_t height) {
  ByteWriter w;
  w.u32be(86).text(format);           // entry size, data format
  w.zeros(6).u16be(1);                // reserved, data-reference index
  w.u16be(0).u16be(0);                // version, revision
  w.text(vendor);                     // vendor (four zero bytes in ISO files)
  w.u32be(0).u32be(0);                // temporal and spatial quality
  w.u16be(width).u16be(height);       // size
  w.u32be(72 << 16).u32be(72 << 16);  // resolution
  w.u32be(0).u16be(1);                // data size, frame count
  w.zeros(32);                        // compressor name
  w.u16be(24).u16be(0xFFFF);          // depth, colour table
  return w.str();
}

std::string Stsd(const std::string& entries, uint32_t count = 1) {
  ByteWriter w;
  w.u32be(0);      // version, flags
  w.u32be(count);  // entry count
  w.text(entries);
  return Atom("stsd", w.str());
}

std::string Track(const std::string& tkhd, const std::string& handler, const std::string& stsd, const std::string& stts,
                  uint32_t timescale = 1000) {
  return Atom("trak",
              tkhd + Atom("mdia", Mdhd(timescale, 0) + Hdlr(handler) + Atom("minf", Atom("stbl", stsd + stts))));
}

// Frames of 40 ms at a time scale of 1000: 25 frames per second.
std::string VideoTrack(uint16_t w, uint16_t h, uint32_t frames) {
  return Track(Tkhd(w, h), "vide", Stsd(VideoEntry("avc1", std::string(4, '\0'), w, h)), Stts({{frames, 40}}));
}

// AAC frames of 1024 samples at the sample rate.
std::string AudioTrack(uint16_t channels = 2, uint16_t rate = 48000, uint32_t frames = 100) {
  return Track(Tkhd(0, 0), "soun", Stsd(AudioEntry("mp4a", channels, rate)), Stts({{frames, 1024}}), rate);
}

// Movie extends: the whole play time, in the movie time scale.
std::string Mehd(uint32_t duration) {
  ByteWriter w;
  w.u32be(0).u32be(duration);  // version 0, flags; fragment duration
  return Atom("mehd", w.str());
}

// Track extends: the default sample duration of a track's fragments.
std::string Trex(uint32_t trackId, uint32_t duration) {
  ByteWriter w;
  w.u32be(0).u32be(trackId);   // version, flags; track id
  w.u32be(1).u32be(duration);  // sample description index, default sample duration
  w.u32be(0).u32be(0);         // default sample size and flags
  return Atom("trex", w.str());
}

// Track fragment header, with a default sample duration when one is given (flag 0x08), and the
// "base is the moof" flag ffmpeg sets with default_base_moof.
std::string Tfhd(uint32_t trackId, std::optional<uint32_t> duration = std::nullopt) {
  ByteWriter w;
  w.u32be(0x020000 | (duration ? 0x08 : 0));  // version 0, flags
  w.u32be(trackId);                           // track id
  if (duration) w.u32be(*duration);           // default sample duration
  return Atom("tfhd", w.str());
}

// Track fragment decode time, version 1.
std::string Tfdt(uint64_t base) {
  ByteWriter w;
  w.u32be(0x01000000).u64be(base);  // version 1, flags; base media decode time
  return Atom("tfdt", w.str());
}

// A track run of `count` samples; with `durations`, each sample lists its duration and size.
std::string Trun(uint32_t count, const std::vector<uint32_t>& durations = {}) {
  ByteWriter w;
  w.u32be(durations.empty() ? 0x001 : 0x301);  // version 0, flags: data offset [, durations and sizes]
  w.u32be(durations.empty() ? count : static_cast<uint32_t>(durations.size()));  // sample count
  w.u32be(0);                                                                    // data offset
  for (uint32_t d : durations) w.u32be(d).u32be(100);                            // sample duration, sample size
  return Atom("trun", w.str());
}

std::string Moof(uint32_t sequence, const std::string& trafs) {
  ByteWriter w;
  w.u32be(0).u32be(sequence);  // version, flags; sequence number
  return Atom("moof", Atom("mfhd", w.str()) + trafs);
}

// A fragmented movie in ffmpeg's shape: an empty movie (no play time, empty sample tables) with a
// video track 1 at 12,800 units per second and a sound track 2 at 44,100, then `fragments`.
std::string FragmentedMovie(const std::string& mvex, const std::string& fragments, uint32_t movieDuration = 0,
                            std::initializer_list<std::pair<uint32_t, uint32_t>> videoSamples = {}) {
  const std::string video = Track(Tkhd(320, 240), "vide", Stsd(VideoEntry("avc1", std::string(4, '\0'), 320, 240)),
                                  Stts(videoSamples), 12800);
  const std::string audio = Track(Tkhd(0, 0, 0, 2), "soun", Stsd(AudioEntry("mp4a", 2, 44100)), Stts({}), 44100);
  return Ftyp() + Atom("moov", Mvhd(1000, movieDuration) + video + audio + (mvex.empty() ? "" : Atom("mvex", mvex))) +
         fragments;
}

// `n` fragments, each with 50 video samples of `delta` and a sound run the walk must not count.
std::string VideoFragments(int n, uint32_t delta) {
  std::string out;
  for (int i = 0; i < n; ++i)
    out += Moof(i + 1, Atom("traf", Tfhd(1, delta) + Trun(50)) + Atom("traf", Tfhd(2, 1024) + Trun(5000))) +
           Atom("mdat", std::string(16, '\0'));
  return out;
}

struct Parsed {
  int result = 0;
  MediaInfo info;
};

Parsed Parse(const std::string& bytes) {
  Parsed p;
  auto file = MediaFile::FromMemory(bytes);
  p.info.end_offset = p.info.file_size = static_cast<int64_t>(bytes.size());
  p.result = ParseMp4(file, p.info);
  return p;
}

// A file with `bytes` at offset 0 and `tail` at `tailAt`, the gap left as a hole.
void WriteSparse(const std::string& path, const std::string& bytes, int64_t tailAt, const std::string& tail) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
  ASSERT_EQ(::ftruncate(fd, tailAt), 0);
  ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), tailAt), static_cast<ssize_t>(tail.size()));
  ::close(fd);
}

}  // namespace

TEST(Mp4IsAtom, KnownNamesAfterAZeroByte) {
  auto header = [](uint8_t first, const std::string& type) {
    std::string h(128, '\0');
    h[0] = static_cast<char>(first);
    h.replace(4, 4, type);
    return h;
  };
  const std::pair<std::string, bool> cases[] = {
      {"ftyp", true},
      {"moov", true},
      {"mdat", true},
      {"wide", true},
      {"url ", true},
      {"@PRM", true},
      {"code", true},
      {"\xA9"
       "cpy",
       true},
      {"\xA9"
       "enc",
       true},
      {"\xA9"
       "ART",
       true},
      {"FTYP", false},
      {"url\0", false},
      {std::string(4, '\0'), false},
      {"\xA9"
       "xyz",
       false},
      {"uuid", false},
      {"moof", false},
  };
  for (const auto& [type, known] : cases) {
    const std::string h = header(0, type);
    EXPECT_EQ(IsAtom({reinterpret_cast<const uint8_t*>(h.data()), h.size()}), known) << type;
  }
  const std::string nonZero = header(1, "ftyp");
  EXPECT_FALSE(IsAtom({reinterpret_cast<const uint8_t*>(nonZero.data()), nonZero.size()}));
  EXPECT_FALSE(IsAtom({reinterpret_cast<const uint8_t*>(nonZero.data()), 7}));
}

TEST(Mp4Parser, MovieAndTrackHeadersGiveTimeRateAndSize) {
  const std::string moov =
      Atom("moov", Mvhd(600, 90000) + VideoTrack(1280, 720, 3750) + VideoTrack(640, 360, 10) + AudioTrack(2, 44100));
  const std::string mdat = Atom("mdat", std::string(5000, '\x11'));
  const std::string bytes = Ftyp() + moov + mdat;
  auto file = MediaFile::FromMemory(bytes);
  MediaInfo info;
  ASSERT_EQ(ProbeMediaFile(&file, &info, "clip.mp4"), kTypeM4v);
  EXPECT_STREQ(info.type_name, "m4v");
  EXPECT_EQ(info.duration_s, 150);
  EXPECT_DOUBLE_EQ(info.fps, 25.0);  // 3750 samples of the first table over 150 s
  ASSERT_TRUE(info.video);
  EXPECT_EQ(info.video->codec, "avc1");
  EXPECT_EQ(info.video->value1, 1280);  // the largest track wins
  EXPECT_EQ(info.video->value2, 720);
  EXPECT_EQ(info.video->value3, 0);
  ASSERT_TRUE(info.audio);
  EXPECT_EQ(info.audio->codec, "mp4a");
  EXPECT_EQ(info.audio->value1, 44100);
  EXPECT_EQ(info.audio->value3, 2);
  EXPECT_EQ(info.bitrate_kbps, static_cast<int32_t>(int64_t(bytes.size()) * 8 / 150 / 1024));
  EXPECT_EQ(info.payload_start, static_cast<int32_t>(Ftyp().size() + moov.size()));
  EXPECT_EQ(info.payload_end, static_cast<int64_t>(bytes.size()));

  // The parser puts the stream back where it found it.
  file.seek(77);
  MediaInfo again;
  again.end_offset = file.size();
  ASSERT_EQ(ParseMp4(file, again), 1);
  EXPECT_EQ(file.tell(), 77);
}

TEST(Mp4Parser, AudioOnlyIsM4aAndItsSampleTableGivesNoFrameRate) {
  const std::string bytes = Ftyp() + Atom("moov", Mvhd(1000, 10000) + AudioTrack(1, 22050, 430));
  auto file = MediaFile::FromMemory(bytes);
  MediaInfo info;
  ASSERT_EQ(ProbeMediaFile(&file, &info, "song.m4v"), kTypeM4a);
  EXPECT_STREQ(info.type_name, "m4a");
  EXPECT_EQ(info.video, nullptr);
  ASSERT_TRUE(info.audio);
  EXPECT_EQ(info.audio->value1, 22050);
  EXPECT_EQ(info.audio->value3, 1);
  EXPECT_EQ(info.duration_s, 10);
  EXPECT_EQ(info.fps, 0.0);
}

TEST(Mp4Parser, FrameRateComesFromTheFirstVideoTrack) {
  const std::string moov = Atom("moov", Mvhd(1000, 10000) + AudioTrack(2, 48000, 469) + VideoTrack(320, 240, 250));
  Parsed p = Parse(Ftyp() + moov);
  ASSERT_EQ(p.result, 1);
  EXPECT_DOUBLE_EQ(p.info.fps, 25.0);

  // A track without a media handler still counts, as the first table of the file.
  const std::string bare = Atom("trak", Tkhd(320, 240) + Atom("mdia", Atom("minf", Atom("stbl", Stts({{300, 1000}})))));
  Parsed q = Parse(Atom("moov", Mvhd(1000, 10000) + bare + VideoTrack(320, 240, 250)));
  EXPECT_DOUBLE_EQ(q.info.fps, 30.0);
}

TEST(Mp4Parser, EmptyUserDataHidesTheTracksAfterIt) {
  Parsed p = Parse(Ftyp() + Atom("moov", Mvhd(600, 6000) + Atom("udta", "") + VideoTrack(320, 240, 250)));
  ASSERT_EQ(p.result, 1);
  EXPECT_EQ(p.info.duration_s, 10);
  EXPECT_EQ(p.info.video, nullptr);
  EXPECT_EQ(p.info.audio, nullptr);
  EXPECT_EQ(p.info.fps, 0.0);
}

TEST(Mp4Parser, MediaHeaderDecidesOnlyWithoutMovieDuration) {
  const std::string track = Atom("trak", Atom("mdia", Mdhd(44100, 441000)));
  EXPECT_EQ(Parse(Atom("moov", Mvhd(1000, 0) + track)).info.duration_s, 10);
  EXPECT_EQ(Parse(Atom("moov", Mvhd(1000, 1500) + track)).info.duration_s, 10);  // 1 s counts as none
  EXPECT_EQ(Parse(Atom("moov", Mvhd(1000, 3000) + track)).info.duration_s, 3);
}

TEST(Mp4Parser, VersionOneHeadersUseTheirWideLayout) {
  const std::string track = Atom("trak", Tkhd(1920, 1080, 1));
  Parsed p = Parse(Atom("moov", MvhdV1(1000, 5000000000ull) + track));
  ASSERT_EQ(p.result, 1);
  EXPECT_EQ(p.info.duration_s, 5000000);
  ASSERT_TRUE(p.info.video);
  EXPECT_EQ(p.info.video->value1, 1920);
  EXPECT_EQ(p.info.video->value2, 1080);
  // A duration of all ones means "unknown"; past 2^31 units it is still a positive time.
  EXPECT_EQ(Parse(Atom("moov", Mvhd(1000, 0xFFFFFFFF))).info.duration_s, 0);
  EXPECT_EQ(Parse(Atom("moov", Mvhd(1000, 0xF0000000))).info.duration_s, 4026531);
}

TEST(Mp4Parser, MpegAudioAtTheStartOfTheMediaData) {
  // 128 kbit/s MPEG-1 Layer III, 44100 Hz, joint stereo, 41,600 bytes in all,
  // which plays 2.6 s and rounds to 3.
  const std::string mdat = Atom("mdat", std::string("\xFF\xFB\x90\x64", 4) + std::string(41576, '\0'));
  const std::string bytes = Atom("free", std::string(4, '\0')) + mdat;
  ASSERT_EQ(bytes.size(), 41600u);
  Parsed p = Parse(bytes);
  ASSERT_EQ(p.result, 1);
  ASSERT_TRUE(p.info.audio);
  EXPECT_EQ(p.info.audio->codec, "MPEG1");
  EXPECT_EQ(p.info.audio->value1, 44100);
  EXPECT_EQ(p.info.audio->value2, 128);
  EXPECT_EQ(p.info.audio->value3, 2);
  EXPECT_EQ(p.info.duration_s, 3);
  EXPECT_EQ(p.info.bitrate_kbps, 41600 * 8 / 3 / 1024);  // the header's rate gives way to the file's
  EXPECT_EQ(p.info.payload_start, 12);

  // Free format, a reserved layer, and an MPEG-2 single-channel header.
  EXPECT_EQ(Parse(Atom("mdat", std::string("\xFF\xFB\x00\x00", 4) + std::string(100, '\0'))).info.audio, nullptr);
  EXPECT_EQ(Parse(Atom("mdat", std::string("\xFF\xF9\x90\x00", 4) + std::string(100, '\0'))).info.audio, nullptr);
  Parsed mono = Parse(Atom("mdat", std::string("\xFF\xF3\x80\xC0", 4) + std::string(100, '\0')));
  ASSERT_TRUE(mono.info.audio);
  EXPECT_EQ(mono.info.audio->codec, "MPEG2");
  EXPECT_EQ(mono.info.audio->value3, 1);
  // An empty media-data atom is not read past its end.
  EXPECT_EQ(Parse(Atom("mdat", "") + std::string("\xFF\xFB\x90\x64", 4)).info.audio, nullptr);
}

TEST(Mp4Parser, WithoutMediaDataThePayloadGetsDefaults) {
  Parsed small = Parse(Atom("moov", Mvhd(1000, 1000)));
  EXPECT_EQ(small.info.payload_start, 327680);
  EXPECT_EQ(small.info.payload_end, small.info.end_offset);

  TempDir dir;
  const std::string path = dir.file("big.mp4");
  WriteSparse(path, Atom("moov", Mvhd(1000, 1000)), 1000000, Atom("free", ""));
  MediaFile file;
  ASSERT_TRUE(file.open(path));
  MediaInfo info;
  info.end_offset = file.size();
  ASSERT_EQ(ParseMp4(file, info), 1);
  EXPECT_EQ(info.payload_start, 327680);
  EXPECT_EQ(info.payload_end, file.size() - 327680);
}

TEST(Mp4Parser, TopLevelWalkStopsAtBadAtoms) {
  // Between a movie of 10 s and one of 20 s: whether the walk reaches the second one.
  const std::string first = Atom("moov", Mvhd(1000, 10000));
  const std::string second = Atom("moov", Mvhd(1000, 20000));
  ByteWriter zero, small, small64, past, past64;
  zero.u32be(0).text("free");                      // size 0: to the end of the file
  small.u32be(4).text("free");                     // smaller than its own header
  small64.u32be(1).text("free").u64be(12);         // 64-bit form smaller than its header
  past.u32be(0x7FFFFFFF).text("udta");             // runs past the end of the file
  past64.u32be(1).text("mdat").u64be(1ull << 62);  // likewise, 64-bit
  const std::pair<std::string, int> cases[] = {
      {zero.str(), 10},         {small.str(), 10},      {small64.str(), 10},
      {past.str(), 10},         {past64.str(), 10},     {Atom64("free", "abc"), 20},
      {Atom64("skip", ""), 20}, {Atom("wide", ""), 20}, {Atom("uuid", std::string(40, 'x')), 20},
  };
  for (const auto& [middle, seconds] : cases) {
    Parsed p = Parse(first + middle + second);
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.info.duration_s, seconds);
  }
}

TEST(Mp4Parser, ChildWalkEndsAtInvalidOrOversizedChildren) {
  ByteWriter zero, tiny, huge, past;
  zero.u32be(0).text("trak");
  tiny.u32be(7).text("trak");
  past.u32be(1000).text("trak");
  huge.u32be(kAtomCap + 1).text("trak");
  const std::string track = VideoTrack(320, 240, 25);
  // These end the walk quietly, hiding the track after them.
  for (const std::string& bad : {zero.str(), tiny.str(), past.str()}) {
    Parsed p = Parse(Atom("moov", Mvhd(1000, 1000) + bad + track));
    EXPECT_EQ(p.result, 1);
    EXPECT_EQ(p.info.video, nullptr);
    EXPECT_EQ(p.info.duration_s, 1);
  }
  // An oversized child of a top-level atom fails the parse, and the probe with it.
  const std::string bytes = Ftyp() + Atom("moov", Mvhd(1000, 1000) + huge.str() + track);
  EXPECT_EQ(Parse(bytes).result, 0);
  auto file = MediaFile::FromMemory(bytes);
  MediaInfo info;
  EXPECT_EQ(ProbeMediaFile(&file, &info, "a.mp4"), -1);
  // Deeper down it only ends that container's walk.
  Parsed deep = Parse(Atom("moov", Mvhd(1000, 1000) + Atom("trak", huge.str()) + track));
  EXPECT_EQ(deep.result, 1);
  ASSERT_TRUE(deep.info.video);
}

TEST(Mp4Parser, SampleDescriptionsAreBoundedByTheirAtom) {
  ByteWriter zeroSized, tooLong, shortEntry;
  zeroSized.u32be(0).text("mp4a");              // cannot advance: the list ends
  tooLong.u32be(500).text("mp4a").zeros(28);    // runs past the atom
  shortEntry.u32be(20).text("mp4a").zeros(12);  // too short for the fields read
  EXPECT_EQ(Parse(Atom("moov", Stsd(zeroSized.str(), 0xFFFFFFFF))).info.audio, nullptr);
  EXPECT_EQ(Parse(Atom("moov", Stsd(tooLong.str(), 3))).info.audio, nullptr);
  Parsed skipped = Parse(Atom("moov", Stsd(shortEntry.str() + AudioEntry("ac-3", 6, 48000), 2)));
  ASSERT_TRUE(skipped.info.audio);
  EXPECT_EQ(skipped.info.audio->codec, "ac-3");
  EXPECT_EQ(skipped.info.audio->value3, 6);
  // More entries announced than present: the ones present count.
  Parsed fewer = Parse(Atom("moov", Stsd(AudioEntry("mp4a", 2, 32000), 9)));
  ASSERT_TRUE(fewer.info.audio);
  EXPECT_EQ(fewer.info.audio->value1, 32000);
}

TEST(Mp4Parser, QuickTimeVendorMarksVideoAndIsoVideoCreatesAnEmptyAudio) {
  Parsed mov = Parse(Atom("moov", Stsd(VideoEntry("jpeg", "appl", 640, 480))));
  ASSERT_TRUE(mov.info.video);
  EXPECT_EQ(mov.info.video->codec, "jpeg");
  EXPECT_EQ(mov.info.audio, nullptr);

  Parsed iso = Parse(Atom("moov", Stsd(VideoEntry("hvc1", std::string(4, '\0'), 640, 480))));
  ASSERT_TRUE(iso.info.video);
  EXPECT_EQ(iso.info.video->codec, "hvc1");
  ASSERT_TRUE(iso.info.audio);
  EXPECT_EQ(iso.info.audio->codec, "");

  // Unknown ISO formats are taken for audio; the first entry describes it.
  Parsed two = Parse(Atom("moov", Stsd(AudioEntry("samr", 1, 8000) + AudioEntry("sowt", 2, 44100), 2)));
  ASSERT_TRUE(two.info.audio);
  EXPECT_EQ(two.info.audio->codec, "samr");
}

TEST(Mp4Parser, DeepNestingIsBounded) {
  // 50,000 containers, each holding the next, the innermost holding a track header.
  const int levels = 50000;
  const std::string tkhd = Tkhd(640, 480);
  ByteWriter nested;
  for (int i = levels; i >= 1; --i)
    nested.u32be(static_cast<uint32_t>(tkhd.size() + 8 * i)).text(i % 2 ? "trak" : "mdia");
  nested.text(tkhd);
  Parsed deep = Parse(Atom("moov", nested.str()));
  EXPECT_EQ(deep.result, 1);
  EXPECT_EQ(deep.info.video, nullptr);

  std::string shallow = Tkhd(640, 480);
  for (int i = 0; i < 10; ++i) shallow = Atom("trak", shallow);
  Parsed found = Parse(Atom("moov", shallow));
  ASSERT_TRUE(found.info.video);
  EXPECT_EQ(found.info.video->value1, 640);
}

TEST(Mp4Parser, TwoGigabyteMediaDataBeforeTheMovieIsSkipped) {
  TempDir dir;
  const std::string path = dir.file("giant.mp4");
  const int64_t mdatAt = static_cast<int64_t>(Ftyp().size());
  const uint64_t mdatSize = (2ull << 30) + 16;
  ByteWriter head;
  head.text(Ftyp());
  head.u32be(1).text("mdat").u64be(mdatSize);  // 64-bit size
  head.text(std::string(64, '\0'));            // media data: no MPEG audio sync here
  const std::string moov = Atom("moov", Mvhd(600, 90000) + VideoTrack(1920, 1080, 3750) + AudioTrack());
  WriteSparse(path, head.str(), mdatAt + static_cast<int64_t>(mdatSize), moov);

  MediaFile file;
  ASSERT_TRUE(file.open(path));
  MediaInfo info;
  ASSERT_EQ(ProbeMediaFile(&file, &info, path), kTypeM4v);
  EXPECT_EQ(info.duration_s, 150);
  EXPECT_DOUBLE_EQ(info.fps, 25.0);
  ASSERT_TRUE(info.video);
  EXPECT_EQ(info.video->value1, 1920);
  EXPECT_EQ(info.payload_start, mdatAt);
  EXPECT_EQ(info.payload_end, mdatAt + static_cast<int64_t>(mdatSize));
  EXPECT_EQ(info.bitrate_kbps, static_cast<int32_t>(file.size() * 8 / 150 / 1024));
  // Detection, the header, the 4 media bytes and the movie: a handful of reads, whatever the size.
  EXPECT_LE(file.systemReads(), 6u);
}

TEST(Mp4Parser, OversizedTopLevelAtomStopsTheWalk) {
  TempDir dir;
  const std::string path = dir.file("junk.mp4");
  ByteWriter head;
  head.text(Atom("moov", Mvhd(1000, 10000)));
  head.u32be(kAtomCap + 8).text("junk");  // a 64 MiB payload is never read into memory
  WriteSparse(path, head.str(), static_cast<int64_t>(head.size()) - 8 + kAtomCap + 8, Atom("moov", Mvhd(1000, 20000)));
  MediaFile file;
  ASSERT_TRUE(file.open(path));
  MediaInfo info;
  info.end_offset = file.size();
  EXPECT_EQ(ParseMp4(file, info), 1);
  EXPECT_EQ(info.duration_s, 10);
  EXPECT_LE(file.systemReads(), 2u);
}

TEST(Mp4Parser, EveryPrefixOfAFileEndsInAResult) {
  const std::string head = Ftyp() + Atom("moov", Mvhd(600, 6000) + VideoTrack(320, 240, 250) + AudioTrack());
  const std::string full = head + Atom("mdat", std::string(64, '\x01'));
  for (size_t n = 0; n <= full.size(); ++n) {
    Parsed p = Parse(full.substr(0, n));
    EXPECT_EQ(p.result, 1) << n;
    // A movie atom cut short is never read; once whole it gives everything.
    EXPECT_EQ(p.info.duration_s != 0, n >= head.size()) << n;
    EXPECT_EQ(p.info.video != nullptr, n >= head.size()) << n;
    EXPECT_LE(p.info.payload_end, static_cast<int64_t>(n)) << n;
  }
}

TEST(Mp4Parser, FrameRateComesFromTheVideoTrackTimingNotWholeSeconds) {
  struct Case {
    const char* what;
    uint32_t movieMs;  // movie header, time scale 1000
    uint32_t timescale;
    std::initializer_list<std::pair<uint32_t, uint32_t>> entries;
    double fps;
  };
  const Case cases[] = {
      {"29.97 over 2.5 s", 2503, 30000, {{75, 1001}}, 30000.0 / 1001},
      {"23.976 over 2.5 s", 2503, 24000, {{60, 1001}}, 24000.0 / 1001},
      {"25 over 10.5 s", 10520, 12800, {{263, 512}}, 25.0},
      {"uneven entries", 1000, 30000, {{10, 1001}, {1, 2002}}, 11 * 30000.0 / 12012},
      // Without a time scale or durations: samples over whole seconds, as before.
      {"no time scale", 10520, 0, {{263, 512}}, 26.3},
      {"zero durations", 10520, 12800, {{263, 0}}, 26.3},
      // Durations too large to add up in 64 bits are not used either.
      {"overflowing durations",
       10000,
       1000,
       {{0xFFFFFFFF, 0xFFFFFFFF}, {0xFFFFFFFF, 0xFFFFFFFF}, {2, 1}},
       (2.0 * 0xFFFFFFFF + 2) / 10},
  };
  for (const Case& c : cases) {
    const std::string track = Track(Tkhd(320, 240), "vide", Stsd(VideoEntry("avc1", std::string(4, '\0'), 320, 240)),
                                    Stts(c.entries), c.timescale);
    Parsed p = Parse(Ftyp() + Atom("moov", Mvhd(1000, c.movieMs) + track));
    EXPECT_NEAR(p.info.fps, c.fps, 1e-9) << c.what;
  }
}

TEST(Mp4Parser, AacConfigurationGivesChannelsAndSampleRate) {
  struct Case {
    const char* what;
    std::string entry;
    int rate;
    int channels;
  };
  const Case cases[] = {
      // ISO entries always say 2 channels; the configuration says what is coded.
      {"mono", SoundEntry("mp4a", 2, 44100, Esds(Asc(2, 4, 1))), 44100, 1},
      {"stereo", SoundEntry("mp4a", 2, 44100, Esds(Asc(2, 4, 2))), 44100, 2},
      {"5.1", SoundEntry("mp4a", 2, 48000, Esds(Asc(2, 3, 6))), 48000, 6},
      {"7.1", SoundEntry("mp4a", 2, 48000, Esds(Asc(2, 3, 7))), 48000, 8},
      {"channels in a program config element", SoundEntry("mp4a", 2, 48000, Esds(Asc(2, 3, 0))), 48000, 2},
      // A rate that does not fit 16.16 is written as 0.
      {"96 kHz", SoundEntry("mp4a", 2, 0, Esds(Asc(2, 0, 1))), 96000, 1},
      {"explicit frequency", SoundEntry("mp4a", 2, 0, Esds(Asc(2, 15, 2, 0, 37800))), 37800, 2},
      {"disagreeing entry", SoundEntry("mp4a", 2, 44100, Esds(Asc(2, 3, 2))), 48000, 2},
      // SBR doubles the core rate, stated or not; parametric stereo makes stereo of mono.
      {"implicit SBR", SoundEntry("mp4a", 2, 48000, Esds(Asc(2, 6, 2))), 48000, 2},
      {"explicit SBR", SoundEntry("mp4a", 2, 24000, Esds(Asc(5, 6, 2, 3))), 48000, 2},
      {"parametric stereo", SoundEntry("mp4a", 2, 0, Esds(Asc(29, 6, 1, 3))), 48000, 2},
      // Four-byte lengths, and the optional fields of the ES descriptor.
      {"long lengths", SoundEntry("mp4a", 2, 44100, Esds(Asc(2, 4, 1), 0x40, 4)), 44100, 1},
      {"ES flags", SoundEntry("mp4a", 2, 44100, Esds(Asc(2, 4, 1), 0x40, 1, 0xE0)), 44100, 1},
      {"MPEG-2 AAC LC", SoundEntry("mp4a", 2, 22050, Esds(Asc(2, 7, 1), 0x67)), 22050, 1},
      // MP3 in MP4 has no AAC configuration: the entry stands.
      {"MP3", SoundEntry("mp4a", 2, 44100, Esds(Asc(2, 3, 1), 0x6B)), 44100, 2},
      // QuickTime: the "esds" sits in a "wave" atom after the version 1 fields.
      {"QuickTime wave", SoundEntry("mp4a", 1, 48000, Atom("wave", Atom("frma", "mp4a") + Esds(Asc(2, 3, 6))), 1),
       48000, 6},
      // QuickTime version 2: placeholders of 3 channels at 1 Hz, the real values after them.
      {"version 2 PCM", SoundEntry("lpcm", 3, 1, "", 2, 96000.0, 1), 96000, 1},
      {"version 2 AAC", SoundEntry("mp4a", 3, 1, Atom("wave", Esds(Asc(2, 0, 2))), 2, 96000.0, 2), 96000, 2},
      {"version 2 nonsense", SoundEntry("lpcm", 3, 1, "", 2, -1.0, 0), 1, 3},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(Ftyp() + Atom("moov", Stsd(c.entry)));
    ASSERT_TRUE(p.info.audio) << c.what;
    EXPECT_EQ(p.info.audio->value1, c.rate) << c.what;
    EXPECT_EQ(p.info.audio->value3, c.channels) << c.what;
  }
}

TEST(Mp4Parser, AacConfigurationIsBoundedByItsAtoms) {
  // Every cut of the descriptors inside a whole "esds" atom: the configuration counts once its
  // two bytes are there, even when the descriptors around it claim more than the atom holds.
  const std::string esds = Esds(Asc(2, 4, 1), 0x40, 4);
  const std::string payload = esds.substr(8);
  const size_t configEnd = payload.size() - 6;  // an SL config descriptor of 1 byte follows
  for (size_t n = 0; n <= payload.size(); ++n) {
    Parsed p = Parse(Atom("moov", Stsd(SoundEntry("mp4a", 2, 44100, Atom("esds", payload.substr(0, n))))));
    ASSERT_TRUE(p.info.audio) << n;
    EXPECT_EQ(p.info.audio->value1, 44100) << n;
    EXPECT_EQ(p.info.audio->value3, n >= configEnd ? 1 : 2) << n;
  }
  ByteWriter huge;
  huge.u32be(0).u8(0x03).u8(0xFF).u8(0xFF).u8(0xFF).u8(0x7F).u16be(1).u8(0);  // ES descriptor of 256 MiB
  huge.u8(0x04).u8(0xFF).u8(0xFF).u8(0xFF).u8(0x7F).u8(0x40);                 // decoder config, cut
  Parsed p = Parse(Atom("moov", Stsd(SoundEntry("mp4a", 2, 44100, Atom("esds", huge.str())))));
  EXPECT_EQ(p.info.audio->value3, 2);
  // A child atom running past its entry is not looked into.
  ByteWriter past;
  past.u32be(4000).text("esds").text(payload);
  Parsed q = Parse(Atom("moov", Stsd(SoundEntry("mp4a", 2, 44100, past.str()))));
  EXPECT_EQ(q.info.audio->value3, 2);
}

TEST(Mp4Parser, FragmentedMoviesTakeTheirPlayTimeFromTheFragments) {
  struct Case {
    const char* what;
    std::string file;
    int seconds;
    double fps;
  };
  std::string movieDefaults, perSample, otherTrackFirst, withDecodeTimes;
  for (int i = 0; i < 5; ++i) movieDefaults += Moof(i + 1, Atom("traf", Tfhd(1) + Trun(50)));
  for (int i = 0; i < 4; ++i) {
    perSample += Moof(i + 1, Atom("traf", Tfhd(1) + Trun(0, std::vector<uint32_t>(25, 1024))));
    // The sound track's fragment comes first and states its own, much longer, decode times.
    otherTrackFirst +=
        Moof(i + 1, Atom("traf", Tfhd(2, 1024) + Tfdt(441000 * i) + Trun(430)) + Atom("traf", Tfhd(1) + Trun(50)));
    // The decode time says where each fragment begins: here after a gap of 100 s.
    withDecodeTimes += Moof(i + 1, Atom("traf", Tfhd(1, 512) + Tfdt(i == 3 ? 1280000 : 25600 * i) + Trun(50)));
  }
  const std::string trex = Trex(1, 512) + Trex(2, 1024);
  const Case cases[] = {
      // 5 fragments of 50 samples of 512 units at 12,800 units per second: 10 s at 25 frames per second.
      {"default durations of the fragments", FragmentedMovie(trex, VideoFragments(5, 512)), 10, 25.0},
      {"default durations of the movie", FragmentedMovie(trex, movieDefaults), 10, 25.0},
      {"durations per sample", FragmentedMovie(trex, perSample), 8, 12.5},
      {"another track's fragments", FragmentedMovie(trex, otherTrackFirst), 8, 25.0},
      {"decode times", FragmentedMovie(trex, withDecodeTimes), 102, 25.0},
      // The first fragment inside the movie (frag_keyframe without empty_moov): its 2 s add to the rest.
      {"samples in the movie too", FragmentedMovie(trex, VideoFragments(4, 512), 2000, {{50, 512}}), 10, 25.0},
      // The movie extends header, when present, is the play time; the fragments still give the
      // frame rate that the empty sample table cannot.
      {"movie extends header", FragmentedMovie(Mehd(30000) + trex, VideoFragments(5, 512)), 30, 25.0},
      // Fragments without "mvex" are still read when nothing else gave a play time.
      {"no movie extends", FragmentedMovie("", VideoFragments(5, 512)), 10, 25.0},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.file);
    EXPECT_EQ(p.result, 1) << c.what;
    EXPECT_EQ(p.info.duration_s, c.seconds) << c.what;
    EXPECT_NEAR(p.info.fps, c.fps, 1e-9) << c.what;
    EXPECT_EQ(p.info.bitrate_kbps, static_cast<int32_t>(int64_t(c.file.size()) * 8 / c.seconds / 1024)) << c.what;
  }
  // An ordinary movie that states its play time never looks at what follows it.
  Parsed plain = Parse(Ftyp() + Atom("moov", Mvhd(1000, 3000) + VideoTrack(320, 240, 75)) + VideoFragments(5, 512));
  EXPECT_EQ(plain.info.duration_s, 3);
}

TEST(Mp4Parser, FragmentWalkIsBounded) {
  // More fragments than are read: only the first 100,000 count, one second each.
  std::string many;
  const std::string fragment = Moof(1, Atom("traf", Tfhd(1, 12800) + Trun(1)));
  many.reserve(fragment.size() * 100010);
  for (int i = 0; i < 100010; ++i) many += fragment;
  EXPECT_EQ(Parse(FragmentedMovie(Trex(1, 512), many)).info.duration_s, 100000);

  // A fragment larger than what is read of it: the samples listed in its first 4 MiB count.
  const uint32_t listed = 1500000;  // 12 MB of durations and sizes, one unit each
  const std::string big = Moof(1, Atom("traf", Tfhd(1) + Trun(0, std::vector<uint32_t>(listed, 12800))));
  Parsed p = Parse(FragmentedMovie(Trex(1, 512), big));
  const int64_t headers = 16 + 8 + 16 + 8 + 12;  // mfhd, traf header, tfhd, trun header, its fields
  EXPECT_EQ(p.info.duration_s, (4 * 1024 * 1024 - headers) / 8);

  // Counts and durations at their limits neither overflow nor hang.
  ByteWriter run;
  run.u32be(0x000).u32be(0xFFFFFFFF);  // no per-sample fields, 2^32 - 1 samples
  const std::string extreme = Moof(1, Atom("traf", Tfhd(1, 0xFFFFFFFF) + Tfdt(UINT64_MAX) + Atom("trun", run.str())));
  std::string extremes;
  for (int i = 0; i < 8; ++i) extremes += extreme;
  Parsed q = Parse(FragmentedMovie(Trex(1, 512), extremes));
  EXPECT_EQ(q.result, 1);
  EXPECT_EQ(q.info.duration_s, INT32_MAX);

  // Every prefix of a fragmented file ends in a result.
  const std::string full = FragmentedMovie(Trex(1, 512) + Trex(2, 1024), VideoFragments(2, 512));
  for (size_t n = 0; n <= full.size(); ++n) EXPECT_EQ(Parse(full.substr(0, n)).result, 1) << n;
}

// Real files: the probe against ffprobe's reading of the same file.
TEST(Mp4Parser, FilesMadeByFfmpegAgreeWithFfprobe) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testmedia::HaveFfmpeg(), "ffmpeg or ffprobe missing");
  using testmedia::Join;
  using testmedia::TestPicture;
  using testmedia::TestTone;
  struct Case {
    const char* name;
    std::vector<std::string> inputs;
    std::vector<std::string> options;
    int type;
    bool fragmented;  // reads every fragment's headers, so more than a handful of reads
  };
  const std::vector<std::string> h264aac = {"-c:v", "libx264", "-c:a", "aac"};
  const std::vector<std::string> fragments = {"-c:v", "libx264", "-g", "25", "-c:a", "aac", "-movflags"};
  const Case cases[] = {
      {"h264_aac.mp4", Join({TestPicture(), TestTone(44100, "stereo")}), h264aac, kTypeM4v, false},
      {"mpeg4_mp3.mp4",
       Join({TestPicture("352x288"), TestTone(44100, "stereo")}),
       {"-c:v", "mpeg4", "-c:a", "libmp3lame"},
       kTypeM4v,
       false},
      {"h264_aac.mov", Join({TestPicture("640x360"), TestTone(48000, "mono")}), h264aac, kTypeM4v, false},
      {"aac.m4a", TestTone(48000, "stereo", "3"), {"-c:a", "aac"}, kTypeM4a, false},
      {"h263_aac.3gp",
       Join({TestPicture("176x144", "15"), TestTone(8000, "stereo")}),
       {"-c:v", "h263", "-c:a", "aac"},
       kTypeM4v,
       false},
      {"faststart.mp4", Join({TestPicture(), TestTone(44100, "stereo")}), Join({h264aac, {"-movflags", "faststart"}}), kTypeM4v,
       false},
      // Frame rates that are not whole, and play times that are not whole seconds.
      {"ntsc.mp4", Join({TestPicture("320x240", "30000/1001", "2.5"), TestTone(48000, "stereo", "2.5")}), h264aac, kTypeM4v, false},
      {"film.mov", Join({TestPicture("320x240", "24000/1001", "2.5"), TestTone(48000, "stereo", "2.5")}), h264aac, kTypeM4v, false},
      {"pal_2.5s.mp4",
       Join({TestPicture("320x240", "25", "2.5"), TestTone(44100, "mono", "2.5")}),
       {"-c:v", "mpeg4", "-c:a", "aac"},
       kTypeM4v,
       false},
      // AAC channels from the decoder configuration.
      {"mono_aac.mp4", TestTone(44100, "mono", "2"), {"-c:a", "aac"}, kTypeM4a, false},
      {"mono_aac.m4a", TestTone(22050, "mono", "2"), {"-c:a", "aac"}, kTypeM4a, false},
      {"surround_aac.m4a", TestTone(48000, "5.1", "2"), {"-c:a", "aac"}, kTypeM4a, false},
      {"96k_aac.mp4", TestTone(96000, "stereo", "2"), {"-c:a", "aac"}, kTypeM4a, false},
      {"mono_aac.3gp",
       Join({TestPicture("176x144", "15"), TestTone(8000, "mono", "2")}),
       {"-c:v", "h263", "-c:a", "aac"},
       kTypeM4v,
       false},
      // Fragmented files keep their play time in the fragments, not the movie header.
      {"fragmented.mp4", Join({TestPicture("320x240", "25", "5.5"), TestTone(44100, "stereo", "5.5")}),
       Join({fragments, {"frag_keyframe+empty_moov"}}), kTypeM4v, true},
      {"fragmented_base_moof.mp4", Join({TestPicture("320x240", "30000/1001", "5.5"), TestTone(44100, "stereo", "5.5")}),
       Join({fragments, {"frag_keyframe+empty_moov+default_base_moof"}}), kTypeM4v, true},
      {"fragmented_first_in_movie.mp4", Join({TestPicture("320x240", "25", "5.5"), TestTone(44100, "stereo", "5.5")}),
       Join({fragments, {"frag_keyframe"}}), kTypeM4v, true},
      {"fragmented_audio.m4a",
       TestTone(44100, "stereo", "5.5"),
       {"-c:a", "aac", "-movflags", "frag_keyframe+empty_moov", "-frag_duration", "1000000"},
       kTypeM4a,
       true},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(c.name);
    std::string log;
    ASSERT_TRUE(testmedia::MakeMedia(Join({c.inputs, c.options}), path, &log)) << log;
    const auto expected = testmedia::Describe(path);
    ASSERT_TRUE(expected.ok);

    MediaFile file;
    ASSERT_TRUE(file.open(path));
    MediaInfo info;
    ASSERT_EQ(ProbeMediaFile(&file, &info, path), c.type);
    if (!c.fragmented) {
      EXPECT_LE(file.systemReads(), 4u);
    }
    ASSERT_EQ(info.video != nullptr, expected.hasVideo);
    if (expected.hasVideo) {
      EXPECT_EQ(info.video->value1, expected.width);
      EXPECT_EQ(info.video->value2, expected.height);
      EXPECT_NEAR(info.fps, expected.avgFrameRate, 0.01);
    }
    ASSERT_TRUE(info.audio);
    EXPECT_EQ(info.audio->value1, expected.sampleRate);
    EXPECT_EQ(info.audio->value3, expected.channels);
    EXPECT_NEAR(info.duration_s, std::trunc(expected.duration), 1);
    EXPECT_GT(info.bitrate_kbps, 0);
    EXPECT_GT(info.payload_start, 0);
    EXPECT_LE(info.payload_end, file.size());
  }
}

// A 3-byte AC-3 specific box: sample rate code, stream id 8, mode 0, coding mode, LFE flag, bit rate code.
std::string Dac3(uint32_t rateCode, uint32_t codingMode, uint32_t lfe) {
  ByteWriter w;
  w.u24be(rateCode << 22 | 8u << 17 | codingMode << 11 | lfe << 10 | 14u << 5);
  return Atom("dac3", w.str());
}

// An Opus specific box: version, output channels, pre-skip, input rate, gain, mapping family.
std::string Dops(uint8_t channels, uint32_t inputRate) {
  ByteWriter w;
  w.u8(0).u8(channels).u16be(312).u32be(inputRate).u16be(0).u8(0);
  return Atom("dOps", w.str());
}

constexpr uint32_t kVendorPana = 0x70616E61;  // 'pana': a camera maker writes its own code
constexpr uint32_t kVendorAppl = 0x6170706C;

TEST(Mp4Parser, SoundEntriesGiveRateAndChannelsWhateverTheirFormat) {
  struct Case {
    const char* what;
    std::string entry;
    const char* codec;
    int rate, channels;
  } cases[] = {
      {"8-bit PCM from a camera, vendor set", SoundEntry("raw ", 1, 8000, "", 0, 0, 0, kVendorPana), "raw ", 8000, 1},
      {"big-endian PCM, version 1", SoundEntry("twos", 2, 44100, "", 1, 0, 0, kVendorAppl), "twos", 44100, 2},
      {"little-endian PCM, version 0", SoundEntry("sowt", 2, 48000, ""), "sowt", 48000, 2},
      {"24-bit PCM, version 1", SoundEntry("in24", 2, 48000, "", 1), "in24", 48000, 2},
      {"32-bit PCM", SoundEntry("in32", 1, 32000, ""), "in32", 32000, 1},
      {"float PCM, version 2", SoundEntry("fl32", 3, 1, "", 2, 192000.0, 2), "fl32", 192000, 2},
      {"double PCM, version 2", SoundEntry("fl64", 3, 1, "", 2, 88200.0, 1), "fl64", 88200, 1},
      {"linear PCM, version 2", SoundEntry("lpcm", 3, 1, "", 2, 96000.0, 6, kVendorAppl), "lpcm", 96000, 6},
      // AMR: the entry's 2 channels at the time scale are placeholders.
      {"AMR narrowband", SoundEntry("samr", 2, 8000, ""), "samr", 8000, 1},
      {"AMR wideband", SoundEntry("sawb", 2, 16000, ""), "sawb", 16000, 1},
      {"QCELP", SoundEntry("sqcp", 2, 8000, ""), "sqcp", 8000, 1},
      {"EVRC", SoundEntry("sevc", 2, 8000, ""), "sevc", 8000, 1},
      // A rate too large for the 16.16 field, left 0: the track's time scale (44100 here) is it.
      {"rate field left 0", SoundEntry("in24", 2, 0, ""), "in24", 44100, 2},
      {"Opus", SoundEntry("Opus", 2, 48000, Dops(1, 8000)), "Opus", 48000, 1},
      {"AC-3 5.1 at 44.1 kHz", SoundEntry("ac-3", 2, 48000, Dac3(1, 7, 1)), "ac-3", 44100, 6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string movie = Ftyp() + Atom("moov", Mvhd(1000, 5000) + VideoTrack(640, 480, 125) +
                                                        Track(Tkhd(0, 0, 0, 2), "soun", Stsd(c.entry),
                                                              Stts({{100, 1024}}), 44100));
    Parsed p = Parse(movie);
    ASSERT_TRUE(p.info.audio);
    EXPECT_EQ(p.info.audio->codec, c.codec);
    EXPECT_EQ(p.info.audio->value1, c.rate);
    EXPECT_EQ(p.info.audio->value3, c.channels);
    ASSERT_TRUE(p.info.video);
    EXPECT_EQ(p.info.video->codec, "avc1");  // a sound entry with a vendor is not video
  }
}

TEST(Mp4Parser, FirstSoundTrackDecidesAndOtherTracksDescribeNothing) {
  // A stereo AAC track, then a 5.1 AC-3 track, a caption track and a timed-metadata track.
  const std::string caption = Track(Tkhd(0, 0, 0, 4), "clcp", Stsd(AudioEntry("c608", 0, 0)), Stts({}));
  const std::string metadata = Track(Tkhd(0, 0, 0, 5), "meta", Stsd(AudioEntry("mebx", 0, 0)), Stts({}));
  const std::string movie =
      Ftyp() + Atom("moov", Mvhd(1000, 5000) + VideoTrack(640, 480, 125) + AudioTrack(2, 48000) +
                                Track(Tkhd(0, 0, 0, 3), "soun", Stsd(SoundEntry("ac-3", 2, 48000, Dac3(0, 7, 1))),
                                      Stts({{100, 1536}}), 48000) +
                                caption + metadata);
  Parsed p = Parse(movie);
  ASSERT_TRUE(p.info.audio && p.info.video);
  EXPECT_EQ(p.info.audio->codec, "mp4a");
  EXPECT_EQ(p.info.audio->value1, 48000);
  EXPECT_EQ(p.info.audio->value3, 2);
  EXPECT_EQ(p.info.video->codec, "avc1");
}

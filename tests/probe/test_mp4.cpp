// MP4 / QuickTime parser: atom fixtures built here, sparse giant files, and real files made by ffmpeg.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

#include "TestSupport.h"
#include "probe/MediaSamples.h"
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

std::string Tkhd(uint16_t width, uint16_t height, int version = 0) {
  ByteWriter w;
  w.u32be(version << 24);  // version, flags
  if (version == 1) {
    w.u64be(0).u64be(0);  // creation and modification times
    w.u32be(1).u32be(0);  // track id, reserved
    w.u64be(0);           // duration
  } else {
    w.u32be(0).u32be(0);  // creation and modification times
    w.u32be(1).u32be(0);  // track id, reserved
    w.u32be(0);           // duration
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

std::string Stts(std::initializer_list<uint32_t> counts) {
  ByteWriter w;
  w.u32be(0);                                        // version, flags
  w.u32be(static_cast<uint32_t>(counts.size()));     // entry count
  for (uint32_t c : counts) w.u32be(c).u32be(1000);  // sample count, sample delta
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

std::string Track(const std::string& tkhd, const std::string& handler, const std::string& stsd,
                  const std::string& stts) {
  return Atom("trak", tkhd + Atom("mdia", Mdhd(1000, 0) + Hdlr(handler) + Atom("minf", Atom("stbl", stsd + stts))));
}

std::string VideoTrack(uint16_t w, uint16_t h, uint32_t frames) {
  return Track(Tkhd(w, h), "vide", Stsd(VideoEntry("avc1", std::string(4, '\0'), w, h)), Stts({frames}));
}

std::string AudioTrack(uint16_t channels = 2, uint16_t rate = 48000, uint32_t frames = 100) {
  return Track(Tkhd(0, 0), "soun", Stsd(AudioEntry("mp4a", channels, rate)), Stts({frames}));
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
  const std::string bare = Atom("trak", Tkhd(320, 240) + Atom("mdia", Atom("minf", Atom("stbl", Stts({300})))));
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

  // Unknown ISO formats are taken for audio; the later entry's name wins.
  Parsed two = Parse(Atom("moov", Stsd(AudioEntry("samr", 1, 8000) + AudioEntry("sowt", 2, 44100), 2)));
  ASSERT_TRUE(two.info.audio);
  EXPECT_EQ(two.info.audio->codec, "sowt");
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

// Real files: the probe against ffprobe's reading of the same file.
TEST(Mp4Parser, FilesMadeByFfmpegAgreeWithFfprobe) {
  if (!mediasamples::HaveFfmpeg()) GTEST_SKIP() << "ffmpeg or ffprobe missing";
  using mediasamples::TestPicture;
  using mediasamples::TestTone;
  struct Case {
    const char* name;
    std::vector<std::string> inputs;
    std::vector<std::string> options;
    int type;
    bool durationKnown;  // fragmented files keep their play time in the fragments, not the movie header
  };
  auto join = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {"h264_aac.mp4", join(TestPicture(), TestTone(44100, 2)), {"-c:v", "libx264", "-c:a", "aac"}, kTypeM4v, true},
      {"mpeg4_mp3.mp4",
       join(TestPicture("352x288"), TestTone(44100, 2)),
       {"-c:v", "mpeg4", "-c:a", "libmp3lame"},
       kTypeM4v,
       true},
      {"h264_aac.mov",
       join(TestPicture("640x360"), TestTone(48000, 1)),
       {"-c:v", "libx264", "-c:a", "aac"},
       kTypeM4v,
       true},
      {"aac.m4a", TestTone(48000, 2, 3), {"-c:a", "aac"}, kTypeM4a, true},
      {"h263_aac.3gp",
       join(TestPicture("176x144", 15), TestTone(8000, 2)),
       {"-c:v", "h263", "-c:a", "aac"},
       kTypeM4v,
       true},
      {"faststart.mp4",
       join(TestPicture(), TestTone(44100, 2)),
       {"-c:v", "libx264", "-c:a", "aac", "-movflags", "faststart"},
       kTypeM4v,
       true},
      {"fragmented.mp4",
       join(TestPicture(), TestTone(44100, 2)),
       {"-c:v", "libx264", "-c:a", "aac", "-movflags", "frag_keyframe+empty_moov"},
       kTypeM4v,
       false},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir.file(c.name);
    std::string log;
    ASSERT_TRUE(mediasamples::MakeWithFfmpeg(c.inputs, c.options, path, &log)) << log;
    const auto expected = mediasamples::Describe(path);
    ASSERT_TRUE(expected.ok);

    MediaFile file;
    ASSERT_TRUE(file.open(path));
    MediaInfo info;
    ASSERT_EQ(ProbeMediaFile(&file, &info, path), c.type);
    EXPECT_LE(file.systemReads(), 4u);
    ASSERT_EQ(info.video != nullptr, expected.hasVideo);
    if (expected.hasVideo) {
      EXPECT_EQ(info.video->value1, expected.width);
      EXPECT_EQ(info.video->value2, expected.height);
    }
    ASSERT_TRUE(info.audio);
    EXPECT_EQ(info.audio->value1, expected.sampleRate);
    EXPECT_EQ(info.audio->value3, expected.channels);
    if (c.durationKnown) {
      EXPECT_NEAR(info.duration_s, std::trunc(expected.duration), 1);
      if (expected.hasVideo) EXPECT_NEAR(info.fps, expected.frameRate, 0.01);
      EXPECT_GT(info.bitrate_kbps, 0);
    }
    EXPECT_GT(info.payload_start, 0);
    EXPECT_LE(info.payload_end, file.size());
  }
}

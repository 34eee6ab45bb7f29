// Transport streams made by ffmpeg at test time, probed and compared with what ffprobe reports on
// the same files: camcorder (192-byte packets) and broadcast (188) layouts, the common codec
// pairs, a clock that wraps, a file cut inside a packet, and a transport stream under another name.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "FfmpegMedia.h"
#include "TestSupport.h"
#include "probe/Parsers.h"

namespace {

using testmedia::Join;

// The names the list shows for the codecs ffprobe names. MPEG audio is named by its version and
// layer: layer II at 32 kHz and above is MPEG-1.
std::string ExpectedCodecName(const std::string& ffprobeName, int sampleRate) {
  static const std::map<std::string, std::string> kNames = {
      {"h264", "h264"}, {"hevc", "hevc"}, {"mpeg2video", "MPEG-2"}, {"aac", "aac"}, {"ac3", "AC3"}, {"eac3", "eac3"}};
  if (ffprobeName == "mp2") return sampleRate >= 32000 ? "V1.0L2" : "V2.0L2";
  auto it = kNames.find(ffprobeName);
  return it == kNames.end() ? "?" + ffprobeName : it->second;
}

// Every value of the probe against ffprobe's reading of the same file.
void ExpectAgreesWithFfprobe(const std::string& path) {
  SCOPED_TRACE(path);
  const testmedia::Described d = testmedia::Describe(path);
  ASSERT_TRUE(d.ok) << "ffprobe cannot read the file";
  const auto format = testmedia::FfprobeValues(path, "", "format=bit_rate");
  const auto v = testmedia::FfprobeValues(path, "v:0", "stream=codec_name");
  const auto a = testmedia::FfprobeValues(path, "a:0", "stream=codec_name");

  const testmedia::Probed p = testmedia::ProbePath(path);
  ASSERT_EQ(p.type, kTypeMts);
  EXPECT_EQ(p.info.type_name, kMediaTypeNames[kTypeMts]);
  EXPECT_EQ(p.info.file_size, static_cast<int64_t>(std::filesystem::file_size(path)));
  // Whole seconds, truncated; the last frame's length is where players (and ffprobe) differ.
  EXPECT_NEAR(p.info.duration_s, d.duration, 1.0) << "play time";
  EXPECT_GT(p.info.duration_s, 0);
  const double kbps = std::atof(format.at("bit_rate").c_str()) / 1000.0;
  EXPECT_NEAR(p.info.bitrate_kbps, kbps, kbps * 0.05) << "bit rate";
  ASSERT_TRUE(d.hasVideo);
  ASSERT_TRUE(p.info.video) << "no video stream";
  EXPECT_EQ(p.info.video->codec, ExpectedCodecName(v.at("codec_name"), 0));
  EXPECT_EQ(p.info.video->value1, d.width) << "width";
  EXPECT_EQ(p.info.video->value2, d.height) << "height";
  EXPECT_NEAR(p.info.fps, d.frameRate, 0.01) << "frame rate";
  ASSERT_TRUE(d.hasAudio);
  ASSERT_TRUE(p.info.audio) << "no audio stream";
  EXPECT_EQ(p.info.audio->codec, ExpectedCodecName(a.at("codec_name"), d.sampleRate));
  EXPECT_EQ(p.info.audio->value1, d.sampleRate) << "sample rate";
  EXPECT_EQ(p.info.audio->value3, d.channels) << "channels";
}

struct TsCase {
  const char* name;  // the file's name: its extension is what the user sees
  std::vector<std::string> inputs;
  std::vector<std::string> options;
  const char* encoder;  // an encoder this ffmpeg may lack, or ""
  int period;           // the packet period the file is written with
};

const std::vector<TsCase>& Cases() {
  static const std::vector<TsCase> cases = {
      // A broadcast-style stream: H.264 at NTSC rate with AAC.
      {"broadcast.ts",
       Join({testmedia::TestPicture("640x360", "30000/1001", "3"), testmedia::TestTone(48000, "stereo", "3")}),
       {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-f", "mpegts"},
       "libx264",
       188},
      // A DVB capture: MPEG-2 with MPEG audio layer II.
      {"dvb.ts", Join({testmedia::TestPicture("352x288", "25", "3"), testmedia::TestTone(44100, "stereo", "3")}),
       {"-c:v", "mpeg2video", "-c:a", "mp2", "-b:a", "128k", "-f", "mpegts"},
       "",
       188},
      // HEVC with AC-3, as newer broadcasts and phones write; 180 lines are cropped from 184.
      {"hevc.ts", Join({testmedia::TestPicture("320x180", "25", "2"), testmedia::TestTone(48000, "stereo", "2")}),
       {"-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=error", "-pix_fmt", "yuv420p", "-c:a",
        "ac3", "-f", "mpegts"},
       "libx265",
       188},
      // A camcorder recording: 192-byte packets, H.264 (1080 lines are cropped from 1088) and AC-3.
      {"camcorder.MTS", Join({testmedia::TestPicture("480x1080", "25", "2"), testmedia::TestTone(48000, "5.1", "2")}),
       {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "ac3", "-f", "mpegts",
        "-mpegts_m2ts_mode", "1"},
       "libx264",
       192},
      // The 33-bit clock wraps two seconds in.
      {"wrap.ts", Join({testmedia::TestPicture("320x240", "25", "4"), testmedia::TestTone(48000, "mono", "4")}),
       {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", "-f", "mpegts",
        "-output_ts_offset", "95441.5"},
       "libx264",
       188},
      // A transport stream under a program-stream name.
      {"recording.mpg", Join({testmedia::TestPicture("320x240", "25", "2"), testmedia::TestTone(48000, "stereo", "2")}),
       {"-c:v", "mpeg2video", "-c:a", "mp2", "-f", "mpegts"},
       "",
       188},
      // Longer than the bytes read at the start and at the end together: the play time comes from
      // the last megabytes.
      {"long.ts", Join({testmedia::TestPicture("352x288", "25", "6"), testmedia::TestTone(48000, "stereo", "6")}),
       {"-c:v", "mpeg2video", "-b:v", "15M", "-minrate", "15M", "-maxrate", "15M", "-bufsize", "2M", "-c:a", "mp2",
        "-f", "mpegts"},
       "",
       188},
  };
  return cases;
}

class TransportStream : public ::testing::Test {
 protected:
  void SetUp() override { ZELVORA_SKIP_WITHOUT_TOOL(!testmedia::HaveFfmpeg(), "ffmpeg and ffprobe are needed"); }

  // Makes the case's file; false (with a skip notice, or a failure when tools are required) when
  // this ffmpeg lacks the case's encoder.
  bool Make(const TsCase& c, std::string* path) {
    *path = dir_.str() + "/" + c.name;
    if (testsupport::SkipCaseWithoutTool(*c.encoder && !testmedia::HaveEncoder(c.encoder),
                                         std::string("ffmpeg has no ") + c.encoder))
      return false;
    std::string log;
    const bool made = testmedia::MakeMedia(Join({c.inputs, c.options}), *path, &log);
    EXPECT_TRUE(made) << log;
    return made;
  }

  testsupport::TempDir dir_;
};

TEST_F(TransportStream, EveryValueAgreesWithFfprobe) {
  for (const TsCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    std::string path;
    if (!Make(c, &path)) continue;
    ExpectAgreesWithFfprobe(path);
    const std::string bytes = testsupport::ReadFile(path);
    const auto layout = FindTsLayout(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()),
                                                              std::min<size_t>(bytes.size(), 4096)));
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->period, c.period);
  }
}

// A copy that ends inside a packet (a recording cut short, a download broken off) reads like the
// whole packets before the cut.
TEST_F(TransportStream, FileCutInsideAPacketReadsAsFarAsItGoes) {
  for (const TsCase& c : {Cases()[1], Cases()[3]}) {
    SCOPED_TRACE(c.name);
    std::string path;
    if (!Make(c, &path)) continue;
    const std::string bytes = testsupport::ReadFile(path);
    const size_t packets = bytes.size() / c.period;
    const std::string cut = dir_.str() + "/cut-" + c.name;
    testsupport::WriteFile(cut, bytes.substr(0, (packets * 2 / 3) * c.period + 100));
    ExpectAgreesWithFfprobe(cut);
  }
}

// Random bytes named as a transport stream keep today's row: the type and the size, nothing more.
TEST(TransportStreamNamed, RandomBytesKeepTheTypeAndSizeOnly) {
  std::mt19937 random(28);
  std::string bytes(200 * 1024, '\0');
  for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
  for (const char* name : {"noise.ts", "noise.m2ts", "noise.MTS", "noise.tp"}) {
    SCOPED_TRACE(name);
    const testmedia::Probed p = testmedia::ProbeBytes(bytes, name);
    EXPECT_EQ(p.type, kTypeMts);
    EXPECT_EQ(p.info.type_name, kMediaTypeNames[kTypeMts]);
    EXPECT_EQ(p.info.file_size, static_cast<int64_t>(bytes.size()));
    EXPECT_EQ(p.info.duration_s, 0);
    EXPECT_FALSE(p.info.audio);
    EXPECT_FALSE(p.info.video);
  }
  // Under another name the bytes are no transport stream at all.
  EXPECT_NE(testmedia::ProbeBytes(bytes, "noise.mpg").type, kTypeMts);
}

// Every prefix of a real stream ends in a result, never a crash; a prefix with its tables is
// still typed a transport stream whatever its name.
TEST_F(TransportStream, EveryPrefixEndsInAResult) {
  const TsCase& c = Cases()[1];
  std::string path;
  if (!Make(c, &path)) return;
  const std::string bytes = testsupport::ReadFile(path);
  for (size_t n = 0; n < std::min<size_t>(bytes.size(), 64 * 1024); n += 61) {
    const testmedia::Probed p = testmedia::ProbeBytes(bytes.substr(0, n), "prefix.bin");
    if (n >= 1024) {
      EXPECT_EQ(p.type, kTypeMts) << n;
    }
    EXPECT_GE(p.info.duration_s, 0);
  }
}

// The batch run's estimates need the play time from the summary the command lines are built from.
TEST_F(TransportStream, SummaryCarriesThePlayTimeAndFrameRate) {
  const TsCase& c = Cases()[3];
  std::string path;
  if (!Make(c, &path)) return;
  MediaInfoEx summary;
  ASSERT_EQ(getMediaInfo2Ex(&summary, path), kTypeMts);
  EXPECT_EQ(summary.kind, 13);
  EXPECT_NEAR(summary.duration_s, testmedia::Describe(path).duration, 1.0);
  EXPECT_GT(summary.duration_s, 0);
  EXPECT_NEAR(summary.fps, testmedia::Describe(path).frameRate, 0.01);
  EXPECT_EQ(summary.payload_end, summary.file_size);
}

}  // namespace

namespace {

// A long recording is read at its two ends only: the middle (here 64 MB of null packets between
// the two halves of a real stream) is never read, and the play time still comes from the end.
TEST_F(TransportStream, ALongRecordingIsReadAtItsEndsOnly) {
  const TsCase& c = Cases()[1];
  std::string path;
  if (!Make(c, &path)) return;
  const std::string bytes = testsupport::ReadFile(path);
  const size_t half = bytes.size() / 188 / 2 * 188;
  std::string null(188, '\xFF');  // sync, PID 0x1FFF, payload only, then stuffing
  null[0] = 0x47;
  null[1] = 0x1F;
  null[2] = static_cast<char>(0xFF);
  null[3] = 0x10;
  const std::string long_path = dir_.str() + "/long-recording.ts";
  {
    std::ofstream out(long_path, std::ios::binary);
    out << bytes.substr(0, half);
    for (int i = 0; i < 64 * 1024 * 1024 / 188; ++i) out << null;
    out << bytes.substr(half);
  }
  ExpectAgreesWithFfprobe(long_path);
  MediaFile file;
  ASSERT_TRUE(file.open(long_path));
  MediaInfo info;
  ASSERT_EQ(ProbeMediaFile(&file, &info, long_path), kTypeMts);
  // At most the head limit and the tail limit in 256 KiB reads, and a few more for detection.
  EXPECT_LT(file.systemReads(), 8u * 1024 * 1024 / (256 * 1024) + 16);
}

}  // namespace

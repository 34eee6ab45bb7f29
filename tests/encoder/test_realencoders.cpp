// The built command lines run by the installed encoders on tiny clips; ffprobe checks what came out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "TestSupport.h"
#include "encoder/CommandLine.h"
#include "encoder/EncoderArgs.h"
#include "encoder/EncoderCaps.h"
#include "encoder/SamiToSrt.h"
#include "encoder/SettingsStore.h"
#include "platform/CaptureRun.h"
#include "platform/Process.h"
#include "platform/KnownFolders.h"
#include "support/FileUtils.h"

namespace fs = std::filesystem;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

enum Sizing { kSizeKept, kPad, kCrop };
const char* const kSizingNames[] = {"size kept", "pad", "crop"};
const char* const kContainers[] = {".mp4", ".avi", ".mkv"};

const char* const kSami =
    "<SAMI>\n<BODY>\n<SYNC Start=300><P Class=KRCC>안녕하세요 자막입니다\n"
    "<SYNC Start=1800><P Class=KRCC>&nbsp;\n</BODY>\n</SAMI>\n";

// Shared by every test of this program: two 2-second 160x120 clips and subtitle files.
struct Clips {
  TempDir dir;
  std::string ffmpeg = platform::FindExecutable("ffmpeg");
  std::string mencoder = platform::FindExecutable("mencoder");
  std::string aviClip;  // MPEG-4 part 2 + MP3, the usual AVI
  std::string mkvClip;  // H.264 + MP3
  std::string smi, srt;
  std::string error;

  Clips() {
    if (ffmpeg.empty()) return;
    aviClip = Make("clip.avi", {"-c:v", "mpeg4", "-b:v", "300k", "-c:a", "libmp3lame"});
    mkvClip = Make("clip.mkv", {"-c:v", "libx264", "-c:a", "libmp3lame"});
    smi = dir.file("clip.smi");
    WriteFile(smi, kSami);
    srt = dir.file("clip.srt");
    WriteFile(srt, "1\n00:00:00,300 --> 00:00:01,800\n안녕하세요 자막입니다\n\n");
  }

  std::string Make(const std::string& name, std::vector<std::string> codecs) {
    std::vector<std::string> argv = {ffmpeg, "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                     "testsrc=size=160x120:rate=25:duration=2", "-f", "lavfi", "-i",
                                     "sine=frequency=440:sample_rate=44100:duration=2", "-ac", "2"};
    argv.insert(argv.end(), codecs.begin(), codecs.end());
    argv.push_back("-shortest");
    argv.push_back(dir.file(name));
    std::string output;
    if (testsupport::RunCommand(argv, &output) != 0) error += name + ": " + output;
    return dir.file(name);
  }
};

Clips& Shared() {
  static Clips clips;
  return clips;
}

struct Probed {
  std::string video, audio, subtitle;
  int width = 0, height = 0;
  double duration = 0;
};

Probed Ffprobe(const std::string& path) {
  std::string out;
  testsupport::RunCommand({"ffprobe", "-v", "error", "-show_entries",
                           "stream=codec_type,codec_name,width,height:format=duration", "-of", "default=nw=1", path},
                          &out);
  Probed p;
  std::istringstream in(out);
  std::string line, name, type;
  while (std::getline(in, line)) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "codec_name") name = value;
    if (key == "codec_type") {
      type = value;
      (type == "video" ? p.video : type == "audio" ? p.audio : p.subtitle) = name;
    }
    if (key == "width" && type == "video") p.width = std::atoi(value.c_str());
    if (key == "height" && type == "video") p.height = std::atoi(value.c_str());
    if (key == "duration") p.duration = std::atof(value.c_str());
  }
  return p;
}

// The codec ffprobe names for what the settings ask for: video x264, xvid, mp4v and the
// middle-quality x264; audio aac, mp3, mp2 and vorbis.
std::string VideoCodecOf(int videoCompress) {
  static const char* const kNames[] = {"h264", "mpeg4", "mpeg4", "h264"};
  return kNames[videoCompress];
}
std::string AudioCodecOf(int audioCompress) {
  static const char* const kNames[] = {"aac", "mp3", "mp2", "vorbis"};
  return kNames[audioCompress];
}

// Runs a built command line without any shell; returns the encoder's output when it failed.
std::string RunLine(const CommandLine& line) {
  if (!line.error.empty()) return line.error;
  std::vector<std::string> argv;
  std::string error;
  if (!SplitCommandLine(line.text, argv, error)) return error;
  CaptureResult r = RunAndCapture(argv, 120000);
  if (r.started && r.exitStatus == 0) return {};
  return r.error + "\n" + r.output.substr(r.output.size() > 3000 ? r.output.size() - 3000 : 0);
}

struct Job {
  int container;  // output_type
  int video;      // video compress
  int audio;      // audio compress
  Sizing sizing;
  bool subtitle = false;
  bool copy = false;  // both streams copied

  std::string Name() const {
    std::ostringstream s;
    s << kContainers[container] << " video " << video << " audio " << audio << " " << kSizingNames[sizing]
      << (subtitle ? " subtitle" : "") << (copy ? " copied" : "");
    return s.str();
  }
  EncodingSettings Settings() const {
    EncodingSettings s;
    ResetSettings(s);
    s.output_type = container;
    s.video_compress = video;
    s.audio_compress = audio;
    s.origin_vdo = s.origin_ado = copy ? 1 : 0;
    s.size_opt = sizing == kSizeKept ? 1 : 0;
    s.size_w = 96;
    s.size_h = 64;
    s.sizing_trim = sizing == kCrop ? 1 : 0;
    s.sub_mapping = subtitle ? 1 : 0;
    return s;
  }
};

BuildInput InputFor(const EncodingSettings& s, const std::string& source, const std::string& type,
                    const EncoderCapabilities* ffmpeg) {
  BuildInput in;
  in.settings = &s;
  in.row = {source, type, "44100", 160, 120};
  in.probe = ProbeSource(source);
  in.processors = GetProcessorCount();
  in.ffmpeg = ffmpeg;
  return in;
}

// Output exists, holds the codecs the options asked for, the expected size and about 2 seconds.
void CheckOutput(const std::string& out, const std::string& options, const Job& job, const std::string& video,
                 const std::string& audio) {
  Probed p = Ffprobe(out);
  EXPECT_EQ(p.video, video) << options;
  if (job.container == 0 && audio == "mp2") {
    EXPECT_TRUE(p.audio == "mp2" || p.audio == "mp3") << p.audio;  // MP4 tags MPEG audio layers alike
  } else {
    EXPECT_EQ(p.audio, audio) << options;
  }
  if (!job.copy) {
    EXPECT_EQ(p.width, job.sizing == kSizeKept ? 160 : 96);
    EXPECT_EQ(p.height, job.sizing == kSizeKept ? 120 : 64);
  }
  EXPECT_NEAR(p.duration, 2.0, 0.35);
}

class RealEncoders : public ::testing::Test {
 protected:
  void SetUp() override {
    ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("ffmpeg") || !testsupport::HaveProgram("ffprobe"), "ffmpeg is not installed");
    ASSERT_TRUE(Shared().error.empty()) << Shared().error;
    ffcaps = GetFfmpegCapabilities(Shared().ffmpeg);
    ASSERT_TRUE(ffcaps.runnable) << ffcaps.error;
  }
  EncoderCapabilities ffcaps;
};

// Every combination the batch run sends to ffmpeg: MP4 with aac or mp2 (mp3 and vorbis become aac),
// MKV with any audio; no mencoder codec, no subtitle to burn.
TEST_F(RealEncoders, FfmpegJobs) {
  std::vector<Job> jobs;
  for (Sizing sizing : {kSizeKept, kPad, kCrop})
    for (int video : {0, 1, 2}) {
      for (int audio : {0, 2}) jobs.push_back({0, video, audio, sizing});
      for (int audio : {0, 1, 2, 3}) jobs.push_back({2, video, audio, sizing});
    }
  jobs.push_back({2, 0, 0, kSizeKept, true, true});  // .srt carried as a stream, both streams copied
  jobs.push_back({0, 0, 0, kSizeKept, false, true});
  const Clips& clips = Shared();
  int n = 0;
  for (const Job& job : jobs) {
    SCOPED_TRACE(job.Name());
    EncodingSettings s = job.Settings();
    BuildInput in = InputFor(s, clips.aviClip, "avi", &ffcaps);
    if (job.subtitle) in.subtitlePath = clips.srt;
    BuildRowInput row;
    BuiltOptions options = BuildFfmpegArgs(in, row);
    ASSERT_TRUE(options.error.empty()) << options.error;
    EXPECT_EQ(row.ulProbeDuration, 2u);
    std::string out = clips.dir.file("ff" + std::to_string(n++) + kContainers[job.container]);
    ASSERT_EQ(RunLine(BuildCommandLine(EncoderKind::Ffmpeg, clips.ffmpeg, clips.aviClip, options.text, "", out)), "");
    // Copied streams keep the clip's own codecs.
    std::string video = job.copy ? "mpeg4" : VideoCodecOf(job.video);
    std::string audio = job.copy ? "mp3" : AudioCodecOf(job.audio);
    CheckOutput(out, options.text, job, video, audio);
    if (job.subtitle) {
      EXPECT_EQ(Ffprobe(out).subtitle, "subrip");
    }
    for (const std::string& note : options.substitutions) std::cout << job.Name() << ": " << note << "\n";
  }
}

// What the installed mencoder can do: AVI with its x264, xvid or lavc video and mp3lame audio, and
// an MKV job for the middle-quality x264. Its MPEG-4 part 2 decoding is what the test drive judges,
// so these run on an H.264 clip.
TEST_F(RealEncoders, MencoderJobs) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("mencoder"), "mencoder is not installed");
  const Clips& clips = Shared();
  EncoderCapabilities m = GetMencoderCapabilities(clips.mencoder, clips.ffmpeg);
  ASSERT_TRUE(m.runnable) << m.error;
  std::cout << m.testDriveText << "\n";
  EncoderCapabilities listed = m;
  listed.testDrive = 1;
  std::vector<Job> jobs;
  for (Sizing sizing : {kSizeKept, kPad, kCrop}) {
    for (int video : {0, 1, 2}) jobs.push_back({1, video, 1, sizing});
    jobs.push_back({2, 3, 1, sizing});
  }
  jobs.push_back({1, 1, 1, kSizeKept, true});
  int n = 0, ran = 0;
  for (const Job& job : jobs) {
    SCOPED_TRACE(job.Name());
    EncodingSettings s = job.Settings();
    s.font_path = DefaultHangulFontFile();
    std::string problem = MencoderJobProblem(listed, s);
    if (!problem.empty()) {
      std::cout << job.Name() << ": not for this mencoder: " << problem << "\n";
      continue;
    }
    BuildInput in = InputFor(s, clips.mkvClip, "mkv", nullptr);
    if (job.subtitle) in.subtitlePath = clips.smi;
    BuildRowInput row;
    BuiltOptions options = BuildMencoderArgs(in, row);
    ASSERT_TRUE(options.error.empty()) << options.error;
    // mencoder writes AVI whatever the name says unless told to use lavf.
    std::string out = clips.dir.file("me" + std::to_string(n++) + kContainers[job.container]);
    ASSERT_EQ(RunLine(BuildCommandLine(EncoderKind::Mencoder, clips.mencoder, clips.mkvClip, options.text, "", out)), "");
    CheckOutput(out, options.text, job, VideoCodecOf(job.video), AudioCodecOf(job.audio));
    ++ran;
  }
  EXPECT_GT(ran, 0);
}

// Every kind of job the batch run routes to mencoder, done by ffmpeg instead.
TEST_F(RealEncoders, FallbackJobs) {
  const Clips& clips = Shared();
  std::string font = DefaultHangulFontFile();
  std::string srtCopy = clips.dir.file("burn.srt");
  std::string error;
  ASSERT_EQ(ConvertSamiToSrt(clips.smi, srtCopy, &error), 1) << error;
  ASSERT_TRUE(ffcaps.hasFilter("subtitles")) << "this ffmpeg cannot burn subtitles in";

  std::vector<Job> jobs;
  for (int video : {0, 1, 2})
    for (int audio : {1, 2}) jobs.push_back({1, video, audio, kSizeKept});  // AVI: aac became mp3
  for (int video : {0, 1, 2, 3}) jobs.push_back({0, video, 0, kSizeKept, true});
  jobs.push_back({0, 3, 2, kSizeKept});
  for (int audio : {0, 1, 2, 3}) jobs.push_back({2, 3, audio, kSizeKept});
  jobs.push_back({2, 3, 0, kSizeKept, true});  // MKV: the .srt burned in by the middle-quality job
  // The burn-in filter joins the scaling chain; mpeg4 keeps odd sizes.
  for (Sizing sizing : {kPad, kCrop}) {
    jobs.push_back({1, 1, 1, sizing});
    jobs.push_back({0, 0, 0, sizing, true});
    jobs.push_back({0, 2, 0, sizing, true});
    jobs.push_back({2, 3, 0, sizing, true});
  }
  int n = 0;
  for (const Job& job : jobs) {
    SCOPED_TRACE(job.Name());
    EncodingSettings s = job.Settings();
    BuildInput in = InputFor(s, clips.aviClip, "avi", &ffcaps);
    BurnInSubtitle burn;
    if (job.subtitle) {
      burn.file = job.container == 2 ? clips.srt : srtCopy;
      burn.fontsDir = fs::path(font).parent_path().string();
      burn.fontFamily = FontFamilyOfFile(font);
    }
    BuildRowInput row;
    BuiltOptions options = BuildFfmpegFallbackArgs(in, row, burn, "test");
    ASSERT_TRUE(options.error.empty()) << options.error;
    std::string out = clips.dir.file("fb" + std::to_string(n++) + kContainers[job.container]);
    ASSERT_EQ(RunLine(BuildCommandLine(EncoderKind::Ffmpeg, clips.ffmpeg, clips.aviClip, options.text, "", out)), "");
    CheckOutput(out, options.text, job, VideoCodecOf(job.video), AudioCodecOf(job.audio));
  }
}

// Grey bytes of the frame at 1 s.
std::string Frame(const std::string& ffmpeg, const std::string& file) {
  CaptureResult r = RunAndCapture({ffmpeg, "-nostdin", "-v", "error", "-ss", "1", "-i", file, "-frames:v", "1", "-f",
                                   "rawvideo", "-pix_fmt", "gray", "-"},
                                  30000);
  return r.output;
}

// Pixels of the lower half that differ clearly between two frames of 160x120.
int DifferingPixels(const std::string& a, const std::string& b) {
  if (a.size() != 160u * 120 || b.size() != a.size()) return -1;
  int count = 0;
  for (size_t i = a.size() / 2; i < a.size(); ++i)
    if (std::abs(static_cast<unsigned char>(a[i]) - static_cast<unsigned char>(b[i])) > 48) ++count;
  return count;
}

// The Korean subtitle really reaches the picture, through ffmpeg and through mencoder.
TEST_F(RealEncoders, BurnedInSubtitleIsVisible) {
  const Clips& clips = Shared();
  std::string font = DefaultHangulFontFile();
  ZELVORA_SKIP_WITHOUT_TOOL(font.empty(), "no Hangul font (fonts-nanum)");
  std::string srtCopy = clips.dir.file("visible.srt");
  ASSERT_EQ(ConvertSamiToSrt(clips.smi, srtCopy, nullptr), 1);
  EncodingSettings s = Job{0, 0, 0, kSizeKept}.Settings();
  BuildInput in = InputFor(s, clips.aviClip, "avi", &ffcaps);
  BuildRowInput row;
  std::string plain = clips.dir.file("plain.mp4"), burned = clips.dir.file("burned.mp4");
  BurnInSubtitle burn{srtCopy, fs::path(font).parent_path().string(), FontFamilyOfFile(font)};
  ASSERT_EQ(RunLine(BuildCommandLine(EncoderKind::Ffmpeg, clips.ffmpeg, clips.aviClip,
                                 BuildFfmpegFallbackArgs(in, row, {}, "").text, "", plain)),
            "");
  ASSERT_EQ(RunLine(BuildCommandLine(EncoderKind::Ffmpeg, clips.ffmpeg, clips.aviClip,
                                 BuildFfmpegFallbackArgs(in, row, burn, "").text, "", burned)),
            "");
  EXPECT_GT(DifferingPixels(Frame(clips.ffmpeg, plain), Frame(clips.ffmpeg, burned)), 40);

  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("mencoder"), "mencoder is not installed");
  EncodingSettings m = Job{1, 1, 1, kSizeKept}.Settings();
  m.font_path = font;
  BuildInput min = InputFor(m, clips.mkvClip, "mkv", nullptr);
  std::string mplain = clips.dir.file("plain.avi"), mburned = clips.dir.file("burned.avi");
  ASSERT_EQ(RunLine(BuildCommandLine(EncoderKind::Mencoder, clips.mencoder, clips.mkvClip,
                                 BuildMencoderArgs(min, row).text, "", mplain)),
            "");
  min.subtitlePath = clips.smi;
  ASSERT_EQ(RunLine(BuildCommandLine(EncoderKind::Mencoder, clips.mencoder, clips.mkvClip,
                                 BuildMencoderArgs(min, row).text, "", mburned)),
            "");
  EXPECT_GT(DifferingPixels(Frame(clips.ffmpeg, mplain), Frame(clips.ffmpeg, mburned)), 40);
}

}  // namespace

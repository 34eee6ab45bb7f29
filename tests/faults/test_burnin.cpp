// Burned-in subtitles, run as the zelvora command with real ffmpeg: in the picture, or the row fails and says why.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "TestSupport.h"
#include "FaultRun.h"
#include "encoder/CommandLine.h"

namespace fs = std::filesystem;
using faults::CliResult;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// "자막 테스트" in the Korean code page and in UTF-8.
const std::string kKoreanCp949 = "\xC0\xDA\xB8\xB7 \xC5\xD7\xBD\xBA\xC6\xAE";
const std::string kKoreanUtf8 = "자막 테스트";

std::string Sami(const std::string& text) {
  return "<SAMI><BODY>\r\n<SYNC Start=0><P Class=KRCC>" + text + " WWWW MMMM\r\n<SYNC Start=1900><P Class=KRCC>&nbsp;\r\n"
         "</BODY></SAMI>\r\n";
}
std::string SubRip(const std::string& text) { return "1\r\n00:00:00,000 --> 00:00:01,900\r\n" + text + " WWWW MMMM\r\n\r\n"; }

class BurnIn : public ::testing::Test {
 protected:
  void SetUp() override {
    ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
    fs::create_directories(dir_.file("src"));
    fs::create_directories(dir_.file("out"));
    fs::create_directories(dir_.file("cache"));
    fs::create_directories(dir_.file("config"));
    // mencoder cannot run here, so every job routed to it is done by its ffmpeg stand-in.
    faults::WriteScript(dir_.file("no-mencoder"), "exit 1\n");
  }

  // A black two-second clip with a tone: any bright pixel of a frame is the subtitle.
  std::string BlackClip(const std::string& name) {
    std::string path = dir_.file("src/" + name);
    return faults::MakeClip(path, {.sources = {"color=c=black:size=320x240:rate=25:duration=2",
                                               "sine=frequency=500:duration=2"},
                                   .options = {"-c:v", "mpeg4", "-q:v", "2", "-c:a", "libmp3lame"}});
  }

  std::vector<std::string> Env(const std::vector<std::string>& more = {}) const {
    std::vector<std::string> env = {"XDG_CACHE_HOME=" + dir_.file("cache"), "XDG_CONFIG_HOME=" + dir_.file("config")};
    env.insert(env.end(), more.begin(), more.end());
    return env;
  }

  // encode with subtitles on; `mkvMiddle` for an MKV "h264(Middle Quility)" job, else MP4.
  CliResult Encode(const std::string& source, bool mkvMiddle, const std::vector<std::string>& extra = {},
                   const std::vector<std::string>& env = {}) {
    std::vector<std::string> args = {"encode", "--output-dir", dir_.file("out"), "--set", "encoding_options.sub_mapping=1",
                                     "--set", "encoder.encoder_path_b=" + dir_.file("no-mencoder")};
    if (mkvMiddle) args.insert(args.end(), {"--set", "encoding_options.output_type=2", "--set", "video_conf.compress=3"});
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(source);
    return faults::Zelvora(args, Env(env));
  }

  // Pixels brighter than mid-grey in the frame at one second.
  int BrightPixels(const std::string& video) {
    std::string frame = dir_.file("frame.gray");
    EXPECT_EQ(testsupport::RunCommand({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-ss", "1", "-i",
                                       video, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gray", frame}),
              0);
    int bright = 0;
    for (unsigned char c : ReadFile(frame)) bright += c > 128;
    fs::remove(frame);
    return bright;
  }

  // Everything of the user's around the run: sources, outputs, settings, the scripts. (The cache
  // is the program's own: its work folders are checked apart.)
  std::map<std::string, std::string> UserFiles() const {
    auto all = faults::Snapshot(dir_.path());
    std::erase_if(all, [](const auto& e) { return e.first.rfind("cache", 0) == 0; });
    return all;
  }

  bool WorkFoldersEmpty() const {
    std::error_code ec;
    fs::path work = dir_.file("cache/zelvora/work");
    return !fs::exists(work, ec) || fs::is_empty(work, ec);
  }

  TempDir dir_;
};

fs::path ProgramWorkFolder() { return fs::path(faults::CliPath()).parent_path() / "work"; }

// The subtitle reaches the picture: a .smi or .srt, in the Korean code page or UTF-8, beside a
// source of any name length, for MP4 and for the MKV middle-quality job.
TEST_F(BurnIn, SubtitleIsInThePicture) {
  const struct {
    const char* name;
    std::string stem;
    bool mkvMiddle;
    std::string subtitle;
  } cases[] = {
      {"MP4, .smi in the Korean code page", "clip", false, Sami(kKoreanCp949)},
      {"MP4, .smi in UTF-8", "clip", false, Sami(kKoreanUtf8)},
      {"MKV middle quality, .srt in UTF-8", "clip", true, SubRip(kKoreanUtf8)},
      {"MKV middle quality, .srt in the Korean code page", "clip", true, SubRip(kKoreanCp949)},
      // <stem>.burn-in.srt would be longer than a folder entry holds.
      {"MP4, a 245-byte source name", std::string(245, 'n'), false, Sami(kKoreanUtf8)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string source = BlackClip(c.stem + ".avi");
    WriteFile(dir_.file("src/" + c.stem + (c.mkvMiddle ? ".srt" : ".smi")), c.subtitle);
    auto sources = faults::Snapshot(dir_.file("src"));
    auto program = faults::Snapshot(ProgramWorkFolder());
    CliResult r = Encode(source, c.mkvMiddle);
    std::string output = dir_.file("out/_ZLVR_" + c.stem + (c.mkvMiddle ? ".mkv" : ".mp4"));
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(faults::LinesWith(r.out, c.stem + ".avi"),
              std::vector<std::string>{"완료\t" + c.stem + ".avi\t" + output});
    EXPECT_GT(BrightPixels(output), 100) << "no subtitle in the picture";
    EXPECT_EQ(faults::Snapshot(dir_.file("src")), sources);
    EXPECT_EQ(faults::Snapshot(ProgramWorkFolder()), program);
    EXPECT_TRUE(WorkFoldersEmpty());
    fs::remove_all(dir_.file("src"));
    fs::create_directories(dir_.file("src"));
    fs::remove(output);
  }
}

// A subtitle that cannot be prepared fails the row with a record that says why; nothing is
// written, and no work file is left.
TEST_F(BurnIn, SubtitleThatCannotBePreparedFailsTheRow) {
  WriteFile(dir_.file("not-a-folder"), "x");
  const struct {
    const char* name;
    bool mkvMiddle;
    std::string subtitle;
    std::vector<std::string> env;
    std::string why;
  } cases[] = {
      {"a .smi without SYNC tags", false, "<SAMI><BODY><P>" + kKoreanUtf8 + "</BODY></SAMI>\n", {}, "has no SYNC tags"},
      {"a .smi whose SYNC blocks are empty", false, "<SAMI><BODY><SYNC Start=0><P>&nbsp;</BODY></SAMI>\n", {},
       "holds no timed text"},
      {"an .srt without times", true, "1\nno times here\n\n", {}, "holds no timed text"},
      {"no work folder can be made", false, Sami(kKoreanCp949),
       {"XDG_CACHE_HOME=" + dir_.file("not-a-folder/cache"), "TMPDIR=" + dir_.file("not-a-folder/tmp")},
       "no work folder can be made"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string source = BlackClip("clip.avi");
    const std::string subtitle = dir_.file(c.mkvMiddle ? "src/clip.srt" : "src/clip.smi");
    WriteFile(subtitle, c.subtitle);
    auto before = UserFiles();
    auto program = faults::Snapshot(ProgramWorkFolder());
    CliResult r = Encode(source, c.mkvMiddle, {}, c.env);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    std::vector<std::string> line = faults::LinesWith(r.out, "clip.avi");
    ASSERT_EQ(line.size(), 1u) << r.out;
    EXPECT_EQ(line[0].rfind("오류\tclip.avi\t", 0), 0u) << line[0];
    EXPECT_NE(line[0].find(c.why), std::string::npos) << line[0];
    EXPECT_NE(line[0].find("the subtitle " + subtitle + " cannot be used: "), std::string::npos) << line[0];
    EXPECT_EQ(UserFiles(), before);
    EXPECT_EQ(faults::Snapshot(ProgramWorkFolder()), program);
    EXPECT_TRUE(WorkFoldersEmpty());
    fs::remove_all(dir_.file("src"));
    fs::create_directories(dir_.file("src"));
  }
}

// --dry-run prints the command a run starts, work file included; the run's work file exists
// while the encoder runs and is gone after.
TEST_F(BurnIn, DryRunPrintsTheCommandTheRunStarts) {
  std::string source = BlackClip("clip.avi");
  WriteFile(dir_.file("src/clip.smi"), Sami(kKoreanCp949));
  const std::string log = dir_.file("started");
  // An ffmpeg that notes its arguments and the work files present when it starts on the source.
  faults::WriteScript(dir_.file("ffmpeg-wrapper"),
                      "case \" $* \" in *\"" + source + "\"*)\n"
                      "  for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + log + ".args'\n"
                      "  find '" + dir_.file("cache/zelvora/work") + "' -type f -exec cat {} + > '" + log + ".work'\n"
                      "esac\nexec ffmpeg \"$@\"\n");
  const std::vector<std::string> wrapper = {"--set", "encoder.encoder_path_a=" + dir_.file("ffmpeg-wrapper")};
  auto before = UserFiles();
  CliResult dry = Encode(source, false, [&] {
    std::vector<std::string> a = wrapper;
    a.push_back("--dry-run");
    return a;
  }());
  ASSERT_EQ(dry.status, 0) << dry.out << dry.err;
  EXPECT_EQ(UserFiles(), before);  // a dry run leaves nothing behind
  EXPECT_TRUE(WorkFoldersEmpty());
  std::vector<std::string> printed;
  std::string error;
  ASSERT_TRUE(SplitCommandLine(dry.out.substr(0, dry.out.find('\n')), printed, error)) << error;

  CliResult run = Encode(source, false, wrapper);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  std::string started = ReadFile(log + ".args");
  std::vector<std::string> startedArgs = faults::LinesWith(started, "");
  ASSERT_FALSE(printed.empty());
  printed.erase(printed.begin());  // the wrapper's own path is argv[0], not an argument
  // A run writes to a private temporary name beside the output, chosen when the file is
  // created; the dry run names the output itself. Every other argument is the same.
  ASSERT_EQ(startedArgs.size(), printed.size());
  const std::filesystem::path written = startedArgs.back(), output = printed.back();
  EXPECT_EQ(written.parent_path(), output.parent_path());
  EXPECT_TRUE(written.filename().string().starts_with(".zelvora-")) << written;
  EXPECT_TRUE(written.filename().string().ends_with("-" + output.filename().string())) << written;
  startedArgs.pop_back();
  printed.pop_back();
  EXPECT_EQ(startedArgs, printed);
  EXPECT_NE(dry.out.find("subtitles=filename=" + dir_.file("cache/zelvora/work/")), std::string::npos) << dry.out;
  EXPECT_NE(ReadFile(log + ".work").find(kKoreanUtf8 + " WWWW MMMM"), std::string::npos);
  EXPECT_TRUE(WorkFoldersEmpty());
  EXPECT_GT(BrightPixels(dir_.file("out/_ZLVR_clip.mp4")), 100);
}

}  // namespace

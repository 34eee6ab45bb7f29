// The batch run end to end: real encoders on clips made here, and scripted encoders for the faults.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <filesystem>
#include <thread>

#include "encoder/RecordingDisplay.h"
#include "ProcessTable.h"
#include "TestSupport.h"
#include "encoder/BatchRun.h"
#include "encoder/SettingsStore.h"
#include "encoder/Subtitles.h"
#include "encoder/WorkFolder.h"
#include "platform/PowerOff.h"
#include "platform/Process.h"
#include "probe/ListRow.h"

namespace fs = std::filesystem;
using testsupport::RecordingDisplay;
using testsupport::TempDir;

namespace {

const InterfaceTexts& T() { return kKoreanTexts; }

// What ffprobe says about a stream: "codec_name,width,height" or "codec_name,sample_rate".
std::string Probe(const std::string& path, const std::string& stream, const std::string& entries) {
  std::string out;
  testsupport::RunCommand({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
                           "stream=" + entries, "-of", "csv=p=0", path},
                          &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

double ProbeDuration(const std::string& path) {
  std::string out;
  testsupport::RunCommand({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path}, &out);
  return std::atof(out.c_str());
}

void ProvideWholeMp4();

// A batch over a list, with settings and paths of a first start pointed at a temporary folder.
struct Batch {
  TempDir dir;
  EncodingSettings settings;
  StoredPaths paths;
  FileList list;
  RecordingDisplay display;
  FakePowerControl power;
  std::unique_ptr<CBatchRun> run;

  Batch() {
    ResetSettings(settings);
    paths.ProgramFolder = dir.file("program");
    paths.output_folder = dir.file("out");
    paths.error_log_path = dir.file("program/error_log.txt");
    paths.encoder_path_a = platform::FindExecutable("ffmpeg");
    paths.encoder_path_b = platform::FindExecutable("mencoder");
    fs::create_directories(paths.ProgramFolder);
    run = std::make_unique<CBatchRun>(BatchEnvironment{&settings, &paths, &list, &T(), &display, &power});
  }

  size_t Add(const std::string& path) {
    ListRowTexts row;
    int result = -1;
    MediaInfo info;
    ProbeListRow(path, T(), false, row, result, info);
    return list.append(row);
  }

  // Starts the run and waits for its end (bounded).
  void RunToEnd() {
    ASSERT_EQ(run->OnStartButton(), 1);
    run->JoinThread();
  }

  // A waiting row for a file of `bytes` bytes (no file at all for 0: a source gone before its turn).
  size_t AddWaitingFile(const std::string& name, size_t bytes) {
    ProvideWholeMp4();
    std::string source = dir.file(name);
    if (bytes) testsupport::WriteFile(source, std::string(bytes, 'x'));
    ListRowTexts row{};
    row[kColFileName] = name;
    row[kColFullPath] = source;
    row[kColStatus] = T().status_waiting;
    return list.append(row);
  }

  std::string Status(size_t i) const { return list.text(i, kColStatus); }

  std::string ErrorLog() const {
    std::string all;
    for (auto& e : fs::directory_iterator(paths.ProgramFolder))
      if (e.path().filename().string().rfind("error_log_", 0) == 0) all += testsupport::ReadFile(e.path());
    return all;
  }
};

// A stand-in encoder: a script that prints what a real one would and behaves as told. The
// capability listings the batch asks for first get the answer of an ffmpeg with every encoder
// the builder may choose, so nothing is substituted behind the test's back.
std::string ScriptEncoder(const TempDir& dir, const std::string& name, const std::string& body) {
  std::string path = dir.file(name);
  testsupport::WriteFile(
      path,
      "#!/bin/sh\n"
      "case \" $* \" in\n"
      "  *\" -encoders \"*) printf 'Encoders:\\n ------\\n V..... libx264 H.264\\n V..... libxvid Xvid\\n"
      " V..... mpeg4 MPEG-4\\n A..... aac AAC\\n A..... libmp3lame MP3\\n A..... mp2 MP2\\n"
      " A..... libvorbis Vorbis\\n'; exit 0;;\n"
      "  *\" -filters \"*) printf 'Filters:\\n ... subtitles V->V Render text subtitles\\n'; exit 0;;\n"
      "esac\n" +
          body);
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

// Script lines that count the attempts in `counter` (one line per run) and set $n to this one's number.
std::string CountAttempt(const std::string& counter) {
  return "echo \"$*\" >> \"" + counter + "\"\nn=$(wc -l < \"" + counter + "\")\n";
}

std::vector<std::string> Lines(const std::string& path) {
  std::vector<std::string> out;
  std::string text = testsupport::ReadFile(path), line;
  for (char c : text) {
    if (c != '\n') {
      line += c;
    } else {
      out.push_back(line);
      line.clear();
    }
  }
  return out;
}

bool HaveEncoders() { return testsupport::HaveProgram("ffmpeg") && testsupport::HaveProgram("ffprobe"); }

// A whole MP4 that stand-in encoders copy to their output as "$ZELVORA_WHOLE_MP4": a row is done
// only when its output reads back as a file of the chosen container.
void ProvideWholeMp4() {
  static TempDir dir;
  static const std::string path = [] {
    std::string clip = testsupport::MakeClip(dir.file("whole.mp4"), {.seconds = 1, .options = {"-c:v", "mpeg4", "-c:a", "aac"}});
    setenv("ZELVORA_WHOLE_MP4", clip.c_str(), 1);
    return clip;
  }();
}

}  // namespace

TEST(BatchRun, NothingStartsWithoutWaitingRows) {
  Batch b;
  ListRowTexts row{};
  row[kColStatus] = T().status_done;
  b.list.append(row);
  row[kColStatus] = T().status_error;
  b.list.append(row);
  EXPECT_EQ(b.run->OnStartButton(), 0);
  EXPECT_FALSE(b.run->IsRunning());
}

TEST(BatchRun, ConvertsToEachContainerWithExpectedStreams) {
  ZELVORA_SKIP_WITHOUT_TOOL(!HaveEncoders(), "ffmpeg or ffprobe is not installed");
  struct Case {
    const char* name;
    int outputType, videoCodec, audioCodec, sizeOpt, ratio, trim;
    const char* ext;
    const char* video;
    const char* audio;
    const char* size;
  } cases[] = {
      {"mp4 h264 aac, source size", 0, 0, 0, 1, 1, 0, ".mp4", "h264", "aac", "160,120"},
      {"mkv mp4v vorbis, padded to 320x240", 2, 2, 3, 0, 1, 0, ".mkv", "mpeg4", "vorbis", "320,240"},
      {"mp4 h264 aac, cropped to 200x200", 0, 0, 0, 0, 1, 1, ".mp4", "h264", "aac", "200,200"},
      {"avi xvid mp3", 1, 1, 1, 1, 1, 0, ".avi", "mpeg4", "mp3", "160,120"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Batch b;
    size_t i = b.Add(testsupport::MakeClip(b.dir.file("클립 $one & 'two'; x.avi")));
    b.settings.output_type = c.outputType;
    b.settings.video_compress = c.videoCodec;
    b.settings.audio_compress = c.audioCodec;
    b.settings.size_opt = c.sizeOpt;
    b.settings.size_w = c.sizeOpt ? 720 : std::atoi(c.size);
    b.settings.size_h = c.sizeOpt ? 400 : std::atoi(std::strchr(c.size, ',') + 1);
    b.settings.sizing_ratio = c.ratio;
    b.settings.sizing_trim = c.trim;
    b.RunToEnd();
    ASSERT_EQ(b.Status(i), T().status_done) << b.ErrorLog();
    std::string out = b.paths.output_folder + "/_ZLVR_클립 $one & 'two'; x" + c.ext;
    ASSERT_TRUE(fs::exists(out)) << out;
    EXPECT_EQ(b.run->Outcome(i).outputPath, out);
    EXPECT_EQ(Probe(out, "v:0", "codec_name"), c.video);
    EXPECT_EQ(Probe(out, "a:0", "codec_name"), c.audio);
    EXPECT_EQ(Probe(out, "v:0", "width,height"), c.size);
    EXPECT_NEAR(ProbeDuration(out), 2.0, 0.5);
    EXPECT_EQ(b.display.Text(DisplayText::kStatusLine), T().conversion_done);
    EXPECT_EQ(b.display.Text(DisplayText::kStartButton), T().start_button);
  }
}

TEST(BatchRun, AviWithAacBecomesMp3InTheRecord) {
  ZELVORA_SKIP_WITHOUT_TOOL(!HaveEncoders(), "ffmpeg or ffprobe is not installed");
  Batch b;
  size_t i = b.Add(testsupport::MakeClip(b.dir.file("clip.mp4"), {.seconds = 1}));
  b.settings.output_type = 1;
  b.settings.audio_compress = 0;
  b.RunToEnd();
  EXPECT_EQ(b.Status(i), T().status_done) << b.ErrorLog();
  EXPECT_EQ(b.settings.audio_compress, 1);
}

TEST(BatchRun, SubtitlesAreBurnedInOrCarried) {
  ZELVORA_SKIP_WITHOUT_TOOL(!HaveEncoders(), "ffmpeg or ffprobe is not installed");
  const std::string sami =
      "<SAMI><BODY>\r\n<SYNC Start=0><P Class=KRCC>\xC0\xDA\xB8\xB7 \xC5\xD7\xBD\xBA\xC6\xAE\r\n"
      "<SYNC Start=1500><P Class=KRCC>&nbsp;\r\n</BODY></SAMI>\r\n";  // "자막 테스트" in the Korean code page
  {
    Batch b;
    std::string clip = testsupport::MakeClip(b.dir.file("clip.avi"));
    testsupport::WriteFile(b.dir.file("clip.smi"), sami);
    size_t i = b.Add(clip);
    b.settings.sub_mapping = 1;
    b.RunToEnd();
    ASSERT_EQ(b.Status(i), T().status_done) << b.ErrorLog();
    // The UTF-8 copy went to a private work folder that is gone with the row; the program
    // folder is never written.
    EXPECT_FALSE(fs::exists(b.paths.ProgramFolder + "/work"));
    std::error_code ec;
    EXPECT_TRUE(fs::is_empty(WorkFolderBase(false), ec)) << ec.message();
    EXPECT_EQ(Probe(b.paths.output_folder + "/_ZLVR_clip.mp4", "v:0", "codec_name"), "h264");
    EXPECT_TRUE(b.display.Text(DisplayText::kVideoSummary).empty());  // cleared at the end
  }
  {
    Batch b;
    std::string clip = testsupport::MakeClip(b.dir.file("clip.avi"));
    testsupport::WriteFile(b.dir.file("clip.srt"), "1\n00:00:00,000 --> 00:00:01,500\n자막 테스트\n\n");
    size_t i = b.Add(clip);
    b.settings.sub_mapping = 1;
    b.settings.output_type = 2;
    b.RunToEnd();
    ASSERT_EQ(b.Status(i), T().status_done) << b.ErrorLog();
    EXPECT_EQ(Probe(b.paths.output_folder + "/_ZLVR_clip.mkv", "s:0", "codec_name"), "subrip");
  }
}

TEST(BatchRun, Utf8SubtitleIsUsedWhereItLies) {
  TempDir dir;
  std::string utf8 = dir.file("a.smi"), ansi = dir.file("b.smi"), ascii = dir.file("c.smi");
  testsupport::WriteFile(utf8, "<SAMI>\n<P>자막\n");
  testsupport::WriteFile(ansi, "<SAMI>\n<P>\xC0\xDA\xB8\xB7\n");
  testsupport::WriteFile(ascii, "<SAMI>\n<P>hello\n");
  EXPECT_EQ(PrepareSubtitle(utf8, dir.file("work")), utf8);
  std::string copy = PrepareSubtitle(ansi, dir.file("work"));
  EXPECT_EQ(copy, dir.file("work/b.smi"));
  EXPECT_EQ(testsupport::ReadFile(copy), "<SAMI>\n<P>자막\n");
  // Plain ASCII has no verdict, so it is copied unchanged.
  EXPECT_EQ(testsupport::ReadFile(PrepareSubtitle(ascii, dir.file("work"))), "<SAMI>\n<P>hello\n");
  struct {
    const char* line;
    int verdict;
  } lines[] = {{"plain", -1}, {"\xEC\x9E\x90", 1}, {"\xC0\xDA", 0}, {"\xEC\x41\x90", 0}, {"\xEC\x9E\x41", -1},
               {"\xEC\xC0\x80", 0}, {"\xEC\x9E\xC0", 0}};
  for (auto& l : lines) EXPECT_EQ(Utf8LineVerdict(l.line), l.verdict) << l.line;
}

TEST(BatchRun, SameFileIsRefusedWithoutRunningAnEncoder) {
  Batch b;
  size_t i = b.AddWaitingFile("clip.mp4", 4096);
  std::string source = b.dir.file("clip.mp4");
  b.paths.output_folder = b.dir.str();
  b.settings.fn_prefix.clear();
  b.paths.encoder_path_a = ScriptEncoder(b.dir, "never", "touch \"$0.ran\"\n");
  b.RunToEnd();
  EXPECT_EQ(b.Status(i), T().status_error);
  EXPECT_NE(b.ErrorLog().find(source + " => " + T().same_file), std::string::npos);
  EXPECT_FALSE(fs::exists(b.dir.file("never.ran")));
  EXPECT_EQ(testsupport::ReadFile(source), std::string(4096, 'x'));
}

// Scripted encoders: progress as ffmpeg prints it, then the behaviour under test.
TEST(BatchRun, JudgesScriptedEncoderEndings) {
  struct Case {
    const char* name;
    const char* script;
    bool done;
    const char* record;  // expected in the error log
  } cases[] = {
      {"91 percent then failure counts as done",
       "printf 'Duration: 00:01:40.00, start\\n'\nprintf 'frame=  1 time=00:01:31.00 bitrate=1\\r'\n"
       "for a; do out=$a; done; cat \"$ZELVORA_WHOLE_MP4\" > \"$out\"\nexit 1\n",
       true, nullptr},
      {"stall ends the attempt",
       "printf 'Duration: 00:00:10.00, start\\n'\n"
       "while :; do printf 'frame=  5 fps=1 q=2 size=1kB time=00:00:01.00 bitrate=1\\r'; sleep 0.01; done\n",
       false, "- 자막파일(*.srt)의 동기화 시간 정보가 잘못되었습니다."},
      {"an error line is logged",
       "printf 'Duration: 00:00:10.00, start\\n'\nprintf 'Error while opening encoder for output stream\\n'\nexit 1\n",
       false, "=> Error while opening encoder for output stream"},
      {"killed from outside mid-file",
       "printf 'Duration: 00:00:10.00, start\\n'\nprintf 'frame=  1 time=00:00:03.00 bitrate=1\\r'\nkill -9 $$\n",
       false, "Failed encoding media file, "},
      {"finished but wrote no output",
       "printf 'Duration: 00:00:10.00, start\\n'\nprintf 'frame=  1 time=00:00:10.00 bitrate=1\\r'\nexit 0\n",
       false, ": no output file "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Batch b;
    size_t i = b.AddWaitingFile("clip.mp4", 10000);
    size_t second = b.AddWaitingFile("clip2.mp4", 10000);  // the batch goes on after the first
    b.paths.encoder_path_a = ScriptEncoder(b.dir, "enc", c.script);
    b.RunToEnd();
    EXPECT_EQ(b.Status(i), c.done ? T().status_done : T().status_error) << b.ErrorLog();
    EXPECT_EQ(b.Status(second), b.Status(i));
    if (c.record) {
      EXPECT_NE(b.ErrorLog().find(c.record), std::string::npos) << b.ErrorLog();
    }
  }
}

TEST(BatchRun, CancelDuringSecondFileLeavesRestWaitingAndNoShutdown) {
  Batch b;
  for (int n = 0; n < 3; ++n) b.AddWaitingFile("clip" + std::to_string(n) + ".mp4", 10000);
  const std::string started = b.dir.file("second-started");
  // Finishes at once for clip0, runs until stopped for the others; says when clip1 has begun.
  b.paths.encoder_path_a = ScriptEncoder(
      b.dir, "enc",
      "printf 'Duration: 00:00:10.00, start\\n'\nfor a; do out=$a; done\n"
      "case \"$out\" in *clip0*) printf 'frame= 1 time=00:00:10.00 b\\r'; cat \"$ZELVORA_WHOLE_MP4\" > \"$out\"; exit 0;; esac\n"
      "case \"$out\" in *clip1*) : > \"" + started + "\";; esac\n"
      "n=0; while :; do n=$((n+1)); printf 'frame= %d time=00:00:01.00 b\\r' $n; sleep 0.05; done\n");
  ASSERT_EQ(b.run->OnStartButton(true), 1);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return fs::exists(started); })) << b.ErrorLog();
  EXPECT_EQ(b.Status(1), T().status_in_progress);
  EXPECT_EQ(b.run->OnStartButton(), -1);
  b.run->JoinThread();
  EXPECT_EQ(b.Status(0), T().status_done);
  EXPECT_EQ(b.Status(1), T().status_waiting);
  EXPECT_EQ(b.Status(2), T().status_waiting);
  EXPECT_EQ(b.display.Text(DisplayText::kStatusLine), T().stopped_by_user);
  EXPECT_EQ(b.power.privilegeCalls, 0);
  EXPECT_EQ(b.power.powerOffCalls, 0);
  EXPECT_EQ(b.run->PowerOffResult(), -1);
}

// The flag asked for at the start holds however short the run is; the menu can also set it
// while a file is being encoded; a refused power-off is not attempted and is reported.
TEST(BatchRun, ShutdownAfterARunWithFilesDone) {
  const std::string finish =
      "printf 'Duration: 00:00:10.00, x\\nframe= 1 time=00:00:10.00 b\\r'\nfor a; do out=$a; done; cat \"$ZELVORA_WHOLE_MP4\" > \"$out\"\n";
  struct Case {
    const char* name;
    bool atStart;     // asked for with the start, else toggled during the run
    int privilege;    // what the power control answers
    int powerOffs;    // expected power-off requests
    int result;       // expected PowerOffResult
  } const cases[] = {
      {"asked at the start", true, 1, 1, 1},
      {"toggled during the run", false, 1, 1, 1},
      {"refused", true, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Batch b;
    b.power.privilegeResult = c.privilege;
    b.AddWaitingFile("clip.mp4", 10000);
    const std::string running = b.dir.file("running"), go = b.dir.file("go");
    // Toggled during the run: the encoder waits until the test has set the flag.
    b.paths.encoder_path_a = ScriptEncoder(
        b.dir, "enc",
        c.atStart ? finish
                  : ": > \"" + running + "\"\nwhile [ ! -e \"" + go + "\" ]; do sleep 0.01; done\n" + finish);
    ASSERT_EQ(b.run->OnStartButton(c.atStart), 1);
    if (!c.atStart) {
      ASSERT_TRUE(testsupport::WaitUntil([&] { return fs::exists(running); })) << b.ErrorLog();
      EXPECT_FALSE(b.run->ShutdownAfterRun());  // cleared by the start
      b.run->SetShutdownAfterRun(true);
      testsupport::WriteFile(go, "");
    }
    b.run->JoinThread();
    EXPECT_EQ(b.Status(0), T().status_done) << b.ErrorLog();
    EXPECT_EQ(b.power.privilegeCalls, 1);
    EXPECT_EQ(b.power.powerOffCalls, c.powerOffs);
    EXPECT_EQ(b.run->PowerOffResult(), c.result);
  }
  // No file done: no power-off, even when asked for.
  Batch none;
  none.AddWaitingFile("clip.mp4", 10000);
  none.paths.encoder_path_a = ScriptEncoder(none.dir, "enc", "exit 1\n");
  ASSERT_EQ(none.run->OnStartButton(true), 1);
  none.run->JoinThread();
  EXPECT_EQ(none.Status(0), T().status_error);
  EXPECT_EQ(none.power.privilegeCalls, 0);
  EXPECT_EQ(none.power.powerOffCalls, 0);
}

// The attempts of one file: mp4v refused by the encoder is tried once more with xvid; an
// "Invalid pixel aspect ratio" before any progress is tried again, up to 10 attempts in all.
TEST(BatchRun, RetriesXvidAfterARefusedEncoderAndBadAspectUpToTenAttempts) {
  const std::string openError = "printf 'Duration: 00:00:10.00, x\\nError while opening encoder for output stream #0:0\\n'\nexit 1\n";
  const std::string aspect = "printf 'Duration: 00:00:10.00, x\\n[mpeg4 @ 0x1] Invalid pixel aspect ratio 0/1, limit is 255/255\\n'\nexit 1\n";
  const std::string finish =
      "printf 'Duration: 00:00:10.00, x\\nframe= 1 time=00:00:10.00 b\\r'\nfor a; do out=$a; done; cat \"$ZELVORA_WHOLE_MP4\" > \"$out\"\nexit 0\n";
  struct Case {
    const char* name;
    int videoCompress;
    std::string script;  // $n is the attempt number, from 1
    size_t attempts;
    bool done;
    const char* record;
  } const cases[] = {
      {"mp4v refused, xvid works", 2, "if [ $n -eq 1 ]; then " + openError + "fi\n" + finish, 2, true, nullptr},
      {"mp4v refused, xvid refused too", 2, openError, 2, false, "Error while opening encoder"},
      {"x264 refused is not retried", 0, openError, 1, false, "Error while opening encoder"},
      {"bad aspect twice, then fine", 0, "if [ $n -le 2 ]; then " + aspect + "fi\n" + finish, 3, true, nullptr},
      {"bad aspect every time", 0, aspect, 10, false, "\"Invalid pixel aspect ratio\" (720x400) - "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Batch b;
    size_t i = b.AddWaitingFile("clip.mp4", 10000);
    size_t next = b.AddWaitingFile("next.mp4", 10000);
    b.settings.video_compress = c.videoCompress;
    const std::string counter = b.dir.file("attempts");
    b.paths.encoder_path_a = ScriptEncoder(
        b.dir, "enc", "case \"$*\" in *next.mp4*) " + finish + ";; esac\n" + CountAttempt(counter) + c.script);
    b.RunToEnd();
    std::vector<std::string> attempts = Lines(counter);
    EXPECT_EQ(attempts.size(), c.attempts) << b.ErrorLog();
    EXPECT_EQ(b.Status(i), c.done ? T().status_done : T().status_error) << b.ErrorLog();
    EXPECT_EQ(b.Status(next), T().status_done) << "the batch goes on";
    if (c.record) {
      EXPECT_NE(b.run->Outcome(i).message.find(c.record), std::string::npos) << b.run->Outcome(i).message;
      EXPECT_NE(b.ErrorLog().find(c.record), std::string::npos) << b.ErrorLog();
    }
    if (c.videoCompress == 2 && attempts.size() == 2) {
      // ffmpeg's name for the mp4v choice, then its name for xvid.
      EXPECT_NE(attempts[0].find("-c:v mpeg4 "), std::string::npos) << attempts[0];
      EXPECT_NE(attempts[1].find("-c:v libxvid "), std::string::npos) << attempts[1];
    }
  }
}

// The encoder's last progress decides: above 90 percent is done, 90 itself is not.
TEST(BatchRun, DoneOnlyAboveNinetyPercent) {
  struct Case {
    const char* time;
    bool done;
  } const cases[] = {{"00:01:30.00", false}, {"00:01:30.99", false}, {"00:01:31.00", true}, {"00:01:40.00", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.time);
    Batch b;
    size_t i = b.AddWaitingFile("clip.mp4", 10000);
    b.paths.encoder_path_a = ScriptEncoder(
        b.dir, "enc",
        std::string("printf 'Duration: 00:01:40.00, start\\nframe=  1 time=") + c.time +
            " bitrate=1\\r'\nfor a; do out=$a; done; cat \"$ZELVORA_WHOLE_MP4\" > \"$out\"\nexit 0\n");
    b.RunToEnd();
    EXPECT_EQ(b.Status(i), c.done ? T().status_done : T().status_error) << b.ErrorLog();
    if (!c.done) {
      EXPECT_NE(b.ErrorLog().find("Failed encoding media file, " + b.dir.file("clip.mp4")), std::string::npos)
          << b.ErrorLog();
    }
  }
}

// Writing the output would destroy the source, however the two paths are spelled.
TEST(BatchRun, SameFileThroughLinksAndSpellingsIsRefused) {
  struct Case {
    const char* name;
    // Makes the output folder (and links) for a source at dir/src/clip.mp4; returns the folder.
    std::function<std::string(const TempDir&)> outputFolder;
  } const cases[] = {
      {"folder through a symbolic link",
       [](const TempDir& d) {
         fs::create_directory_symlink(d.file("src"), d.file("link"));
         return d.file("link");
       }},
      {"output name is a hard link of the source",
       [](const TempDir& d) {
         fs::create_directories(d.file("out"));
         fs::create_hard_link(d.file("src/clip.mp4"), d.file("out/clip.mp4"));
         return d.file("out");
       }},
      {"output name is a symbolic link to the source",
       [](const TempDir& d) {
         fs::create_directories(d.file("out"));
         fs::create_symlink(d.file("src/clip.mp4"), d.file("out/clip.mp4"));
         return d.file("out");
       }},
      {"dir/../dir", [](const TempDir& d) { return d.file("src/../src"); }},
      {"dir/./", [](const TempDir& d) { return d.file("src/."); }},
      {"doubled slashes", [](const TempDir& d) { return d.str() + "//src"; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Batch b;
    fs::create_directories(b.dir.file("src"));
    const std::string source = b.dir.file("src/clip.mp4");
    testsupport::WriteFile(source, std::string(4096, 's'));
    ListRowTexts row{};
    row[kColFileName] = "clip.mp4";
    row[kColFullPath] = source;
    row[kColStatus] = T().status_waiting;
    size_t i = b.list.append(row);
    b.paths.output_folder = c.outputFolder(b.dir);
    b.settings.fn_prefix.clear();
    b.paths.encoder_path_a = ScriptEncoder(b.dir, "never", "touch \"$0.ran\"\nfor a; do out=$a; done; : > \"$out\"\n");
    b.RunToEnd();
    EXPECT_EQ(b.Status(i), T().status_error);
    EXPECT_NE(b.ErrorLog().find(source + " => " + T().same_file), std::string::npos) << b.ErrorLog();
    EXPECT_FALSE(fs::exists(b.dir.file("never.ran")));
    EXPECT_EQ(testsupport::ReadFile(source), std::string(4096, 's'));
  }
}

// AVI goes to mencoder; one that fails its test drive is replaced by ffmpeg, and says so.
TEST(BatchRun, MencoderThatFailsItsTestDriveFallsBackToFfmpeg) {
  ZELVORA_SKIP_WITHOUT_TOOL(!HaveEncoders(), "ffmpeg or ffprobe is not installed");
  Batch b;
  size_t i = b.Add(testsupport::MakeClip(b.dir.file("clip.mp4"), {.seconds = 1}));
  b.settings.output_type = 1;
  b.settings.video_compress = 1;
  b.settings.audio_compress = 1;
  const std::string calls = b.dir.file("mencoder-calls");
  // Lists the codecs an AVI job needs, but what it writes is no AVI at all.
  const std::string mencoder = b.dir.file("mencoder");
  testsupport::WriteFile(mencoder,
                         "#!/bin/sh\n"
                         "case \" $* \" in\n"
                         "  *\" -oac help \"*) printf 'Available codecs:\\n   copy     - frame copy\\n   mp3lame  - MP3\\n'; exit 0;;\n"
                         "  *\" -ovc help \"*) printf 'Available codecs:\\n   copy     - frame copy\\n   xvid     - XviD\\n"
                         "   x264     - H.264\\n   lavc     - libavcodec\\n'; exit 0;;\n"
                         "esac\n"
                         "echo \"$*\" >> \"" + calls + "\"\n"
                         "while [ $# -gt 0 ]; do if [ \"$1\" = -o ]; then echo 'not a video' > \"$2\"; fi; shift; done\n");
  fs::permissions(mencoder, fs::perms::owner_all);
  b.paths.encoder_path_b = mencoder;
  b.RunToEnd();
  ASSERT_EQ(b.Status(i), T().status_done) << b.ErrorLog();
  const std::string out = b.paths.output_folder + "/_ZLVR_clip.avi";
  EXPECT_EQ(Probe(out, "v:0", "codec_name"), "mpeg4");
  EXPECT_EQ(Probe(out, "a:0", "codec_name"), "mp3");
  std::string formats;
  testsupport::RunCommand({"ffprobe", "-v", "error", "-show_entries", "format=format_name", "-of", "csv=p=0", out},
                          &formats);
  EXPECT_EQ(formats, "avi\n");
  // mencoder ran its test drive only, never the job.
  std::vector<std::string> ran = Lines(calls);
  EXPECT_FALSE(ran.empty()) << "no test drive";
  for (const std::string& call : ran) EXPECT_EQ(call.find(out), std::string::npos) << call;
  EXPECT_NE(b.run->Outcome(i).substitution.find("test drive"), std::string::npos) << b.run->Outcome(i).substitution;
  // A file that is done is no error: the substitution is named once per run, not in the error log.
  EXPECT_EQ(b.ErrorLog().find("test drive"), std::string::npos) << b.ErrorLog();
}

TEST(BatchRun, UnrunnableRowsFailAndTheBatchGoesOn) {
  Batch b;
  b.paths.encoder_path_a = ScriptEncoder(
      b.dir, "enc",
      "printf 'Duration: 00:00:10.00, x\\nframe= 1 time=00:00:10.00 b\\r'\nfor a; do out=$a; done; cat \"$ZELVORA_WHOLE_MP4\" > \"$out\"\n");
  size_t quoted = b.AddWaitingFile("say \"hi\".mp4", 5000);
  size_t longName = b.AddWaitingFile(std::string(200, 'n') + ".mp4", 5000);
  size_t tooLong = b.AddWaitingFile(std::string(250, 'l') + ".mp4", 5000);  // the prefix pushes it past 255
  size_t fine = b.AddWaitingFile("fine.mp4", 5000);
  b.RunToEnd();
  EXPECT_EQ(b.Status(quoted), T().status_error);
  EXPECT_NE(b.run->Outcome(quoted).message.find("say \"hi\".mp4 => "), std::string::npos)
      << b.run->Outcome(quoted).message << "\n" << b.ErrorLog();
  EXPECT_EQ(b.Status(longName), T().status_done);
  EXPECT_EQ(b.Status(tooLong), T().status_error);
  EXPECT_NE(b.run->Outcome(tooLong).message.find("longer than 255 bytes"), std::string::npos)
      << b.run->Outcome(tooLong).message;
  EXPECT_EQ(b.Status(fine), T().status_done);
  EXPECT_NE(b.display.Text(DisplayText::kStatusLine).find(T().errors_occurred), std::string::npos);
}

TEST(BatchRun, MissingEncoderIsAClearRowError) {
  Batch b;
  b.AddWaitingFile("clip.mp4", 5000);
  std::string source = b.dir.file("clip.mp4");
  b.paths.encoder_path_a = b.dir.file("no-such-ffmpeg");
  b.RunToEnd();
  EXPECT_EQ(b.Status(0), T().status_error);
  EXPECT_NE(b.ErrorLog().find(source + " => " + T().no_process), std::string::npos);
}

TEST(BatchRun, CopyModesKeepTheSourceStreams) {
  ZELVORA_SKIP_WITHOUT_TOOL(!HaveEncoders(), "ffmpeg or ffprobe is not installed");
  Batch b;
  size_t i = b.Add(testsupport::MakeClip(b.dir.file("copy me.avi"), {.seconds = 2, .size = "176x144"}));
  b.settings.output_type = 2;
  b.settings.origin_vdo = 1;
  b.settings.origin_ado = 1;
  b.RunToEnd();
  ASSERT_EQ(b.Status(i), T().status_done) << b.ErrorLog();
  std::string out = b.paths.output_folder + "/_ZLVR_copy me.mkv";
  EXPECT_EQ(Probe(out, "v:0", "codec_name,width,height"), "mpeg4,176,144");
  EXPECT_EQ(Probe(out, "a:0", "codec_name"), "mp3");
  EXPECT_NEAR(ProbeDuration(out), 2.0, 0.5);
}

TEST(BatchRun, RealFaultsEndInErrorAndTheBatchGoesOn) {
  ZELVORA_SKIP_WITHOUT_TOOL(!HaveEncoders(), "ffmpeg or ffprobe is not installed");
  {
    Batch b;
    size_t gone = b.Add(testsupport::MakeClip(b.dir.file("gone.mp4"), {.seconds = 1}));
    ListRowTexts corrupt{};
    corrupt[kColFileName] = "corrupt.mp4";
    corrupt[kColFullPath] = b.dir.file("corrupt.mp4");
    corrupt[kColStatus] = T().status_failed;  // what the probe pass leaves for an unreadable file
    size_t bad = b.list.append(corrupt);
    size_t good = b.Add(testsupport::MakeClip(b.dir.file("good.mp4"), {.seconds = 1}));
    fs::remove(b.dir.file("gone.mp4"));  // deleted before its turn
    b.RunToEnd();
    EXPECT_EQ(b.Status(gone), T().status_error);
    EXPECT_FALSE(fs::exists(b.paths.output_folder + "/_ZLVR_gone.mp4"));
    EXPECT_NE(b.ErrorLog().find("Failed encoding media file, " + b.dir.file("gone.mp4")), std::string::npos);
    EXPECT_EQ(b.Status(bad), T().status_failed);  // left alone
    EXPECT_EQ(b.Status(good), T().status_done);
  }
  {
    Batch b;
    testsupport::WriteFile(b.dir.file("not-a-folder"), "x");
    b.paths.output_folder = b.dir.file("not-a-folder/out");  // cannot be created, even by root
    size_t i = b.Add(testsupport::MakeClip(b.dir.file("clip.mp4"), {.seconds = 1}));
    b.RunToEnd();
    EXPECT_EQ(b.Status(i), T().status_error);
    EXPECT_FALSE(b.ErrorLog().empty());
  }
}

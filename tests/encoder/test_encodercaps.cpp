// What the installed encoders offer: listings, the cache, missing encoders, AVI chunk counts and mencoder's test drive.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "TestSupport.h"
#include "encoder/CommandLine.h"
#include "encoder/EncoderArgs.h"
#include "encoder/EncoderCaps.h"
#include "encoder/SettingsStore.h"
#include "platform/CaptureRun.h"
#include "platform/Process.h"

namespace fs = std::filesystem;
using testsupport::ByteWriter;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

EncodingSettings Defaults() {
  EncodingSettings s;
  ResetSettings(s);
  return s;
}

TEST(MencoderJobs, WhatTheInstalledMencoderCanDo) {
  EncoderCapabilities all = EncoderCapabilities::Everything(EncoderKind::Mencoder);
  EncoderCapabilities today = all;  // like a current distribution's build
  today.audioEncoders = {"copy", "pcm", "mp3lame", "lavc", "twolame"};
  today.lavcAudioWorks = false;
  EncoderCapabilities frozen = all;
  frozen.testDrive = -1;
  frozen.testDriveText = "only 1 of 25 frames";
  EncoderCapabilities gone;
  gone.kind = EncoderKind::Mencoder;
  gone.error = "cannot run /x/mencoder: No such file or directory";

  EncodingSettings aviXvidMp3 = Defaults();
  aviXvidMp3.output_type = 1, aviXvidMp3.video_compress = 1, aviXvidMp3.audio_compress = 1;
  EncodingSettings mp4Aac = Defaults();
  EncodingSettings aviMp2 = aviXvidMp3;
  aviMp2.audio_compress = 2;
  EncodingSettings copied = mp4Aac;
  copied.origin_ado = 1;

  EXPECT_EQ(MencoderJobProblem(all, mp4Aac), "");
  EXPECT_EQ(MencoderJobProblem(today, aviXvidMp3), "");
  EXPECT_EQ(MencoderJobProblem(today, mp4Aac), "mencoder lacks the faac audio encoder");
  EXPECT_EQ(MencoderJobProblem(today, aviMp2), "mencoder's libavcodec audio encoders do not work");
  EXPECT_EQ(MencoderJobProblem(today, copied), "");
  EXPECT_EQ(MencoderJobProblem(frozen, aviXvidMp3), "only 1 of 25 frames");
  EXPECT_EQ(MencoderJobProblem(gone, aviXvidMp3), gone.error);
  today.videoEncoders.erase("xvid");
  EXPECT_EQ(MencoderJobProblem(today, aviXvidMp3), "mencoder lacks the xvid video encoder");
}

TEST(EncoderListings, ParsedFromTheEncodersOwnWords) {
  const std::string encoders =
      "Encoders:\n V..... = Video\n A..... = Audio\n ------\n"
      " V....D libx264              libx264 H.264 / AVC\n"
      " V.S... mpeg4                MPEG-4 part 2\n"
      " A..... aac                  AAC (Advanced Audio Coding)\n"
      " A..X.. vorbis               Vorbis\n"
      " S..... srt                  SubRip subtitle\n";
  EncoderCapabilities caps;
  ASSERT_TRUE(ParseFfmpegEncoders(encoders, caps));
  EXPECT_EQ(caps.videoEncoders, (std::set<std::string>{"libx264", "mpeg4"}));
  EXPECT_EQ(caps.audioEncoders, (std::set<std::string>{"aac", "vorbis"}));
  EXPECT_EQ(caps.experimental, (std::set<std::string>{"vorbis"}));
  EXPECT_FALSE(ParseFfmpegEncoders("ffmpeg: command not understood\n", caps));

  const std::string filters =
      "Filters:\n  T.. = Timeline support\n  | = Source or sink filter\n"
      " ... ass               V->V       Render ASS subtitles\n"
      " T.C scale             V->V       Scale the input video size\n"
      " ... subtitles         V->V       Render text subtitles\n";
  ASSERT_TRUE(ParseFfmpegFilters(filters, caps));
  EXPECT_EQ(caps.filters, (std::set<std::string>{"ass", "scale", "subtitles"}));

  const std::string oac =
      "MEncoder UNKNOWN-12 (C) 2000-2023 MPlayer Team\n\nAvailable codecs:\n"
      "   copy     - frame copy, without re-encoding (useful for AC3)\n"
      "   mp3lame  - cbr/abr/vbr MP3 using libmp3lame\n"
      "   lavc     - FFmpeg audio encoder (MP2, AC3, ...)\n";
  std::set<std::string> codecs;
  ASSERT_TRUE(ParseMencoderCodecs(oac, codecs));
  EXPECT_EQ(codecs, (std::set<std::string>{"copy", "lavc", "mp3lame"}));
  EXPECT_FALSE(ParseMencoderCodecs("MEncoder crashed\n", codecs = {}));
}

// A RIFF chunk: id, little-endian size, body, pad byte for odd sizes.
void Chunk(ByteWriter& w, const std::string& id, const std::string& body) {
  w.text(id).u32le(static_cast<uint32_t>(body.size())).bytes(body);
  if (body.size() % 2) w.u8(0);
}
std::string List(const std::string& type, const std::string& children) {
  ByteWriter w;
  w.text(type).bytes(children);
  return w.str();
}

// hdrl, then a movi list with two video chunks (one empty), an odd-sized audio chunk and a
// "rec " list holding one more video chunk, then an idx1 whose entries are not chunks.
std::string AviFixture() {
  ByteWriter movi;
  Chunk(movi, "00dc", std::string(10, 'v'));
  Chunk(movi, "00dc", "");
  Chunk(movi, "01wb", "abc");
  ByteWriter rec;
  Chunk(rec, "00db", "wxyz");
  Chunk(movi, "LIST", List("rec ", rec.str()));
  Chunk(movi, "JUNK", "00dc");
  ByteWriter body;
  ByteWriter hdrl;
  Chunk(hdrl, "avih", std::string(56, '\0'));
  Chunk(body, "LIST", List("hdrl", hdrl.str()));
  Chunk(body, "LIST", List("movi", movi.str()));
  Chunk(body, "idx1", "00dc" + std::string(12, '\0'));
  ByteWriter file;
  Chunk(file, "RIFF", List("AVI ", body.str()));
  return file.str();
}

TEST(AviChunks, CountsVideoAndAudioChunksOfTheMoviList) {
  TempDir dir;
  std::string path = dir.file("a.avi");
  WriteFile(path, AviFixture());
  AviChunkCount c = CountAviChunks(path);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.video, 3);
  EXPECT_EQ(c.videoWithData, 2);
  EXPECT_EQ(c.audio, 1);
  EXPECT_EQ(c.audioWithData, 1);
}

TEST(AviChunks, HostileAndCutFilesNeverOvercount) {
  TempDir dir;
  std::string path = dir.file("a.avi");
  const std::string full = AviFixture();
  for (size_t n = 0; n <= full.size(); ++n) {
    WriteFile(path, full.substr(0, n));
    AviChunkCount c = CountAviChunks(path);
    EXPECT_LE(c.video, 3);
    EXPECT_LE(c.videoWithData, 2);
    EXPECT_LE(c.audio, 1);
  }
  ByteWriter giant;  // a movi list claiming 4 GiB, a chunk claiming nearly as much
  giant.text("RIFF").u32le(0xFFFFFFF0).text("AVI ").text("LIST").u32le(0xFFFFFFF0).text("movi");
  giant.text("00dc").u32le(0xFFFFFFF0).text("xx");
  WriteFile(path, giant.str());
  AviChunkCount c = CountAviChunks(path);
  EXPECT_TRUE(c.ok);
  EXPECT_EQ(c.video, 1);
  ByteWriter wave;
  wave.text("RIFF").u32le(4).text("WAVE");
  WriteFile(path, wave.str());
  EXPECT_FALSE(CountAviChunks(path).ok);
  EXPECT_FALSE(CountAviChunks(dir.file("absent.avi")).ok);
}

// A cache folder of the test's own, so that no other test's answers are in it whatever the order.
struct FreshCache {
  TempDir dir;
  testsupport::ScopedEnv env{"XDG_CACHE_HOME", dir.str()};
  FreshCache() { ForgetCachedCapabilities(); }
  ~FreshCache() { ForgetCachedCapabilities(); }
};

TEST(Capabilities, MissingOrWrongEncoderIsReportedNotCrashed) {
  FreshCache cache;
  TempDir dir;
  std::string notExecutable = dir.file("ffmpeg");
  WriteFile(notExecutable, "not a program\n");
  std::string truePath = platform::FindExecutable("true");
  struct Bad {
    std::string path;
    const char* says;
  };
  const Bad cases[] = {
      {"", "no "}, {dir.file("absent/ffmpeg"), "cannot run"}, {notExecutable, "cannot run"}, {truePath, "did not list"}};
  for (const Bad& b : cases) {
    SCOPED_TRACE(b.path);
    EncoderCapabilities f = GetFfmpegCapabilities(b.path);
    EXPECT_FALSE(f.runnable);
    EXPECT_NE(f.error.find(b.says), std::string::npos) << f.error;
    EncoderCapabilities m = GetMencoderCapabilities(b.path, "ffmpeg");
    EXPECT_FALSE(m.runnable);
    EXPECT_NE(m.error.find(b.says), std::string::npos) << m.error;
    EXPECT_EQ(MencoderJobProblem(m, Defaults()), m.error);
  }
  // Nothing of a failed answer is cached.
  EXPECT_FALSE(fs::exists(CapabilityCacheFolder()) && !fs::is_empty(CapabilityCacheFolder()));
}

TEST(Capabilities, FfmpegAnswerIsCachedPerProgramFileAndModificationTime) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("ffmpeg"), "ffmpeg is not installed");
  FreshCache cache;
  TempDir dir;
  // A private copy, so that its modification time can change.
  std::string ffmpeg = dir.file("ffmpeg");
  fs::copy_file(platform::FindExecutable("ffmpeg"), ffmpeg);
  fs::permissions(ffmpeg, fs::perms::owner_all);

  EncoderCapabilities caps = GetFfmpegCapabilities(ffmpeg);
  ASSERT_TRUE(caps.runnable) << caps.error;
  EXPECT_TRUE(caps.listed);
  EXPECT_TRUE(caps.hasVideo("mpeg4"));
  EXPECT_TRUE(caps.hasAudio("aac"));
  EXPECT_FALSE(caps.hasVideo("no-such-encoder"));
  std::cout << "ffmpeg lacks:";
  for (const char* name : {"libx264", "libxvid", "mpeg4", "libvo_aacenc", "libmp3lame", "mp2", "libvorbis"})
    if (!caps.hasEncoder(name)) std::cout << " " << name;
  std::cout << (caps.hasFilter("subtitles") ? "" : " (subtitles filter)") << "\n";

  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(CapabilityCacheFolder())) files.push_back(e.path());
  ASSERT_EQ(files.size(), 1u);
  std::string text = ReadFile(files[0].string());
  EXPECT_NE(text.find("video="), std::string::npos);

  // The next process reads the file instead of asking ffmpeg.
  std::string marked = text;
  marked.replace(marked.find("audio="), 6, "audio=marker ");
  WriteFile(files[0].string(), marked);
  ForgetCachedCapabilities();
  EXPECT_TRUE(GetFfmpegCapabilities(ffmpeg).audioEncoders.count("marker"));

  // A replaced program file is asked again.
  fs::last_write_time(ffmpeg, fs::last_write_time(ffmpeg) - std::chrono::hours(1));
  ForgetCachedCapabilities();
  EncoderCapabilities again = GetFfmpegCapabilities(ffmpeg);
  EXPECT_FALSE(again.audioEncoders.count("marker"));
  EXPECT_EQ(again.videoEncoders, caps.videoEncoders);
}

// The verdict against an independent count: the same conversion done here, its video packets
// that carry data counted by ffprobe.
TEST(Capabilities, MencoderTestDriveVerdict) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("ffmpeg") || !testsupport::HaveProgram("mencoder"),
                            "ffmpeg or mencoder is not installed");
  std::string mencoder = platform::FindExecutable("mencoder");
  std::string ffmpeg = platform::FindExecutable("ffmpeg");
  EncoderCapabilities m = GetMencoderCapabilities(mencoder, ffmpeg);
  ASSERT_TRUE(m.runnable) << m.error;
  ASSERT_NE(m.testDrive, 0) << m.testDriveText;
  std::cout << "mencoder: " << m.testDriveText << "; libavcodec audio "
            << (m.lavcAudioWorks ? "works" : "does not work") << "\n";
  EXPECT_EQ(m.testDriveExpected, 25);

  TempDir dir;
  std::string sample = dir.file("sample.avi"), out = dir.file("out.avi");
  ASSERT_EQ(testsupport::RunCommand({ffmpeg, "-nostdin", "-v", "error", "-f", "lavfi", "-i",
                                     "testsrc=size=160x120:rate=25:duration=1", "-f", "lavfi", "-i",
                                     "sine=sample_rate=44100:duration=1", "-c:v", "mpeg4", "-c:a", "libmp3lame",
                                     "-shortest", sample}),
            0);
  CaptureResult r = RunAndCapture({mencoder, "-noodml", "-oac", "mp3lame", "-ovc", "xvid", "-xvidencopts",
                                   "bitrate=800", "-ofps", "25", "-o", out, sample},
                                  60000);
  ASSERT_TRUE(r.started);
  std::string packets;
  testsupport::RunCommand({"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                           "stream=nb_read_packets", "-of", "csv=p=0", out},
                          &packets);
  int withData = std::atoi(packets.c_str());
  EXPECT_EQ(m.testDrive, withData * 2 >= 25 ? 1 : -1) << packets;
  EXPECT_EQ(CountAviChunks(out).videoWithData, withData);
  if (m.testDrive < 0) {
    EncodingSettings avi = Defaults();
    avi.output_type = 1, avi.video_compress = 1, avi.audio_compress = 1;
    EXPECT_EQ(MencoderJobProblem(m, avi), m.testDriveText);
  }
}

}  // namespace

// The ffmpeg stand-in for mencoder jobs keeps what the mencoder line means, run as the zelvora command.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "TestSupport.h"
#include "FaultRun.h"

namespace fs = std::filesystem;
using faults::CliResult;
using testsupport::TempDir;

namespace {

// What ffprobe says about the first stream of a kind: "width,height" or "channels".
std::string Probe(const std::string& path, const std::string& stream, const std::string& entries) {
  std::string out;
  testsupport::RunCommand({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries", "stream=" + entries,
                           "-of", "csv=p=0", path},
                          &out);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// Each case names what the mencoder line for these settings says, the ffmpeg words of the same
// meaning that the stand-in's command must hold, and what it must not hold. Rows with a check
// are also encoded for real and the output examined.
struct StandIn {
  const char* name;
  std::string source;  // "clip.avi" (a 200x120 clip), "tone.wma", "garbage.avi"
  std::vector<std::string> sets;
  std::vector<std::string> has, lacks;
  std::function<void(const std::string& output)> check;
};

TEST(StandIn, KeepsTheMeaningOfTheMencoderLine) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffprobe");
  TempDir dir;
  fs::create_directories(dir.file("out"));
  faults::WriteScript(dir.file("no-mencoder"), "exit 1\n");
  ASSERT_FALSE(faults::MakeClip(dir.file("clip.avi"),
                                {.sources = {"testsrc=size=200x120:rate=25:duration=2", "sine=frequency=500:duration=2"},
                                 .options = {"-c:v", "mpeg4", "-c:a", "libmp3lame", "-ac", "1"}})
                   .empty());
  ASSERT_FALSE(faults::MakeClip(dir.file("tone.wma"),
                                {.sources = {"sine=frequency=500:duration=2"}, .options = {"-c:a", "wmav2", "-f", "asf"}})
                   .empty());
  testsupport::WriteFile(dir.file("garbage.avi"), std::string(4096, '\x5a'));

  const StandIn cases[] = {
      // mencoder: no -vf-add at all when the source size is unknown and the aspect ratio is kept.
      {"source size unknown, aspect ratio kept: no size",
       "clip.avi",
       {"etc_conf.language=1", "video_conf.size_opt=0", "video_conf.sizing_ratio=1"},
       {},
       {"-s ", "scale="},
       [](const std::string& out) { EXPECT_EQ(Probe(out, "v:0", "width,height"), "200,120"); }},
      // mencoder: "-af volnorm -af volume=3:1" (normalised, then 3 dB).
      {"volume 150: normalised plus 3 dB",
       "clip.avi",
       {"audio_conf.volume=150"},
       {" -af dynaudnorm,volume=3dB "},
       {"volume=1.5"},
       [](const std::string& out) { EXPECT_EQ(Probe(out, "a:0", "codec_name"), "mp3"); }},
      // mencoder: "-ofps 30000/1001" for a "wma" row keeping its rate, without probing.
      {"wma row keeping its rate", "tone.wma", {}, {" -r 30000/1001 "}, {}, nullptr},
      // mencoder: "-ofps 30000/1001" when the probe fails and the rate is kept.
      {"failed probe keeping the rate", "garbage.avi", {"etc_conf.language=1"}, {" -r 30000/1001 "}, {}, nullptr},
      // mencoder: "-oac lavc -lavcopts acodec=mp2:abitrate=128 -channels 2", whatever the mode.
      {"lavc mp2 in mono mode: two channels",
       "clip.avi",
       {"audio_conf.compress=2", "audio_conf.channle_mode=3"},
       {" -c:a mp2 -ab 128k -ar 44100 -ac 2 "},
       {"-ac 1"},
       [](const std::string& out) { EXPECT_EQ(Probe(out, "a:0", "codec_name,channels"), "mp2,2"); }},
  };
  for (const StandIn& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"encode", "--output-dir", dir.file("out"), "--set", "encoding_options.output_type=1",
                                     "--set", "encoder.encoder_path_b=" + dir.file("no-mencoder")};
    for (const std::string& set : c.sets) args.insert(args.end(), {"--set", set});
    args.push_back(dir.file(c.source));
    std::vector<std::string> dryArgs = args;
    dryArgs.insert(dryArgs.begin() + 1, "--dry-run");
    auto before = faults::Snapshot(dir.path());
    CliResult dry = faults::Zelvora(dryArgs, {"XDG_CONFIG_HOME=" + dir.file("config")});
    EXPECT_EQ(dry.status, 0) << dry.out << dry.err;
    std::vector<std::string> lines = faults::LinesWith(dry.out, dir.file(c.source));
    ASSERT_EQ(lines.size(), 1u) << dry.out;
    const std::string& command = lines[0];
    EXPECT_NE(command.find(" -c:v "), std::string::npos) << command;
    EXPECT_NE(command.find(" -c:a "), std::string::npos) << command;
    for (const std::string& piece : c.has) EXPECT_NE(command.find(piece), std::string::npos) << piece << "\n" << command;
    for (const std::string& piece : c.lacks) EXPECT_EQ(command.find(piece), std::string::npos) << piece << "\n" << command;
    EXPECT_EQ(faults::Snapshot(dir.path()), before);
    if (!c.check) continue;

    CliResult run = faults::Zelvora(args, {"XDG_CONFIG_HOME=" + dir.file("config")});
    const std::string output = dir.file("out/_ZLVR_" + fs::path(c.source).stem().string() + ".avi");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(faults::LinesWith(run.out, c.source),
              std::vector<std::string>{"완료\t" + c.source + "\t" + output});
    c.check(output);
    fs::remove(output);
  }
}

}  // namespace

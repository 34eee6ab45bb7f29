// Every failed file says why: the encoder's complaint, the probe's verdict or how the encoder
// ended, in the per-file line, after the record in the error log, and in the manifest.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>

#include "TestSupport.h"

namespace fs = std::filesystem;
using testsupport::RunCommand;
using testsupport::TempDir;

namespace {

void MakeMedia(const std::vector<std::string>& inputs, const std::string& path) {
  std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-loglevel", "error", "-y"};
  argv.insert(argv.end(), inputs.begin(), inputs.end());
  argv.push_back(path);
  ASSERT_EQ(RunCommand(argv), 0);
}

// The error log's lines (the month-stamped files beside `base`), without their time stamps.
std::vector<std::string> ErrorLogLines(const std::string& folder) {
  std::vector<std::string> lines;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    if (entry.path().filename().string().rfind("err", 0) != 0) continue;
    std::istringstream in(testsupport::ReadFile(entry.path().string()));
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      lines.push_back(line);
    }
  }
  return lines;
}

std::string ManifestMessage(const std::string& manifest) {
  std::string out;
  EXPECT_EQ(RunCommand({"python3", "-c",
                        "import json, sys\n"
                        "for l in open(sys.argv[1], encoding='utf-8'): e = json.loads(l); print(e['status'], e['message'])",
                        manifest},
                       &out),
            0)
      << out;
  return out;
}

}  // namespace

TEST(FailureCauses, CauseInLineErrorLogAndManifest) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("ffmpeg") || !testsupport::HaveProgram("python3"),
                            "ffmpeg or python3 is not installed");
  struct Case {
    std::string name;
    std::string file;
    std::function<void(const TempDir&, const std::string&)> make;
    std::string cause;         // as the tool that knows says it
    std::string encoder = "";  // a stand-in for ffmpeg, or the real one
  };
  const std::vector<Case> cases = {
      {"an MP4 cut before its index", "cut.mp4",
       [](const TempDir& d, const std::string& path) {
         MakeMedia({"-f", "lavfi", "-i", "testsrc=size=96x64:rate=10:duration=2", "-f", "lavfi", "-i", "sine=duration=2",
                    "-c:v", "mpeg4", "-c:a", "libmp3lame", "-shortest"},
                   d.file("whole.mp4"));
         testsupport::WriteFile(path, testsupport::ReadFile(d.file("whole.mp4")).substr(0, 6000));
       },
       // ffprobe's own words for the file (checked below).
       "moov atom not found"},
      {"sound and no picture", "sound.m4a",
       [](const TempDir&, const std::string& path) {
         MakeMedia({"-f", "lavfi", "-i", "sine=duration=1", "-c:a", "aac"}, path);
       },
       "no video stream"},
      {"no media at all", "junk.mp4",
       [](const TempDir&, const std::string& path) { testsupport::WriteFile(path, std::string(500, '\x05')); },
       "not a recognised media file"},
      {"the encoder killed", "clip.avi",
       [](const TempDir&, const std::string& path) {
         MakeMedia({"-f", "lavfi", "-i", "testsrc=size=96x64:rate=10:duration=2", "-f", "lavfi", "-i",
                    "sine=duration=2", "-c:v", "mpeg4", "-c:a", "libmp3lame", "-shortest"},
                   path);
       },
       "the encoder was ended by signal 9 (Killed)",
       // Answers the capability questions, reports some progress, then is killed as by the OOM killer.
       "#!/bin/sh\n[ \"$1\" = -hide_banner ] && exit 0\n"
       "printf '  Duration: 00:00:02.00, start: 0\\nframe=    5 fps=0 q=0 size=1kB time=00:00:00.50 b=1\\n'\n"
       "kill -KILL $$\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string source = dir.file(c.file);
    c.make(dir, source);
    if (c.cause == "moov atom not found") {
      std::string said;
      RunCommand({"ffprobe", "-v", "error", source}, &said);
      ASSERT_NE(said.find(c.cause), std::string::npos) << said;
    }
    std::vector<std::string> args = {ZELVORA_CLI_PATH, "encode", "--output-dir", dir.file("out"), "--manifest",
                                     dir.file("m.jsonl"), "--set", "encoder.error_log_path=" + dir.file("logs/err.txt")};
    if (!c.encoder.empty()) {
      testsupport::WriteFile(dir.file("enc.sh"), c.encoder);
      fs::permissions(dir.file("enc.sh"), fs::perms::owner_all);
      args.push_back("--set");
      args.push_back("encoder.encoder_path_a=" + dir.file("enc.sh"));
    }
    args.push_back(source);
    std::string out, err;
    ASSERT_EQ(testsupport::RunCommandSplit(args, &out, &err), 1) << out << err;

    // The per-file line.
    EXPECT_NE(out.find("\t" + c.file + "\t"), std::string::npos) << out;
    EXPECT_NE(out.find(c.cause), std::string::npos) << out;
    // The manifest: the record, then the cause.
    std::string message = ManifestMessage(dir.file("m.jsonl"));
    EXPECT_NE(message.find("failed Failed encoding media file, " + source + " : " + c.cause), std::string::npos)
        << message;
    // The error log: the record, and a line of this file with the cause.
    std::vector<std::string> log = ErrorLogLines(dir.file("logs"));
    bool record = false, cause = false;
    for (const std::string& line : log) {
      if (line.ends_with("Failed encoding media file, " + source)) record = true;
      if (line.find(source + " => " + c.cause) != std::string::npos) cause = true;
    }
    std::string all;
    for (const std::string& line : log) all += line + "\n";
    EXPECT_TRUE(record) << all;
    EXPECT_TRUE(cause) << all;
    EXPECT_FALSE(fs::exists(dir.file("out/_ZLVR_" + fs::path(c.file).stem().string() + ".mp4")));
  }
}

// A subtitle file among the files (as in/* gives it) is left out with a note, and the run goes on.
TEST(FailureCauses, SubtitleFileIsNoSource) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("ffmpeg"), "ffmpeg is not installed");
  TempDir dir;
  MakeMedia({"-f", "lavfi", "-i", "testsrc=size=96x64:rate=10:duration=1", "-f", "lavfi", "-i", "sine=duration=1",
             "-c:v", "mpeg4", "-c:a", "libmp3lame", "-shortest"},
            dir.file("clip.avi"));
  testsupport::WriteFile(dir.file("clip.smi"), "<SAMI><BODY><SYNC Start=0><P>hi</SAMI>\n");
  testsupport::WriteFile(dir.file("other.SRT"), "1\n00:00:00,000 --> 00:00:01,000\nhi\n");
  std::string out, err;
  EXPECT_EQ(testsupport::RunCommandSplit({ZELVORA_CLI_PATH, "encode", "--output-dir", dir.file("out"), dir.file("clip.avi"),
                                          dir.file("clip.smi"), dir.file("other.SRT")},
                                         &out, &err),
            0)
      << out << err;
  EXPECT_NE(err.find("clip.smi is a subtitle file, not a video; left out"), std::string::npos) << err;
  EXPECT_NE(err.find("other.SRT is a subtitle file"), std::string::npos) << err;
  EXPECT_EQ(out.find("clip.smi"), std::string::npos) << out;
  EXPECT_TRUE(fs::exists(dir.file("out/_ZLVR_clip.mp4")));
}

// --output-dir makes no default output folder on a fresh account.
TEST(FailureCauses, OutputDirMakesNoDesktop) {
  TempDir dir;
  testsupport::ScopedEnv home("HOME", dir.file("home"));
  testsupport::ScopedEnv config("XDG_CONFIG_HOME", dir.file("home/.config"));
  fs::create_directories(dir.file("home"));
  testsupport::WriteFile(dir.file("junk.mp4"), std::string(300, '\x03'));
  std::string out, err;
  testsupport::RunCommandSplit({ZELVORA_CLI_PATH, "encode", "--output-dir", dir.file("out"), dir.file("junk.mp4")}, &out,
                               &err);
  EXPECT_FALSE(fs::exists(dir.file("home/Desktop"))) << out << err;
}

// zelvora encode from the outside: usage, dry runs, settings for one run, Ctrl-C, exit statuses.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "ProcessTable.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using testsupport::CountRunning;
using testsupport::RunCommand;
using testsupport::TempDir;

namespace {

int Zelvora(const std::vector<std::string>& args, std::string* out = nullptr) {
  std::vector<std::string> argv = {ZELVORA_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv, out);
}

std::string MakeClip(const TempDir& dir, const std::string& name, int seconds) {
  std::string path = dir.file(name);
  RunCommand({"ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
              "testsrc=size=160x120:rate=25:duration=" + std::to_string(seconds), "-f", "lavfi", "-i",
              "sine=duration=" + std::to_string(seconds), "-c:v", "mpeg4", "-c:a", "libmp3lame", "-shortest", path});
  return path;
}

bool HaveFfmpeg() { return testsupport::HaveProgram("ffmpeg"); }

}  // namespace

TEST(EncodeCommand, UsageErrorsExitTwo) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"encode"}, {"encode", "--bogus", "x"}, {"encode", "--set", "video_conf.nope=1", "x"},
           {"encode", "--set", "video_conf.fps=99", "x"}, {"encode", "--settings", "/no/such/file.reg", "x"},
           {"encode", "--output-dir"}}) {
    std::string out;
    EXPECT_EQ(Zelvora(args, &out), 2) << args.back() << ": " << out;
    EXPECT_FALSE(out.empty());
  }
}

TEST(EncodeCommand, DryRunPrintsCommandLinesAndSavesNothing) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  TempDir dir;
  std::string clip = MakeClip(dir, "a clip.mp4", 1);
  std::string out;
  ASSERT_EQ(Zelvora({"encode", "--dry-run", "--output-dir", dir.file("out"), "--set", "video_conf.bitrate=1500",
                     "--set", "etc_conf.fn_prefix=", clip},
                    &out),
            0)
      << out;
  EXPECT_NE(out.find("-i \"" + clip + "\" -y "), std::string::npos) << out;
  EXPECT_NE(out.find("1500k"), std::string::npos) << out;
  EXPECT_NE(out.find("\"" + dir.file("out") + "/a clip.mp4\""), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.file("out")));
  std::string stored;
  Zelvora({"settings", "get", "video_conf.bitrate"}, &stored);
  EXPECT_EQ(stored, "800\n");
}

TEST(EncodeCommand, SettingsFileIsReadOnly) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  TempDir dir;
  std::string reg = dir.file("job.reg");
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Tarvesk\\zelvora\\encoder]\r\n@=\"Zelvora Media Encoder\"\r\n\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Tarvesk\\zelvora\\encoder\\encoding_options]\r\n@=\"encoding options\"\r\n"
      "\"output_type\"=dword:00000002\r\n\r\n";
  testsupport::WriteFile(reg, text);
  std::string clip = MakeClip(dir, "c.mp4", 1);
  std::string out;
  ASSERT_EQ(Zelvora({"encode", "--dry-run", "--settings", reg, "--output-dir", dir.str(), clip}, &out), 0) << out;
  EXPECT_NE(out.find("/_ZLVR_c.mkv\""), std::string::npos) << out;
  EXPECT_EQ(testsupport::ReadFile(reg), text);
}

TEST(EncodeCommand, EncodesAndReportsEachFile) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  TempDir dir;
  std::string good = MakeClip(dir, "좋은 클립.avi", 1);
  std::string bad = dir.file("broken.mp4");
  testsupport::WriteFile(bad, std::string(300, '\x01'));
  std::string out;
  EXPECT_EQ(Zelvora({"encode", "--output-dir", dir.file("out"), good, bad}, &out), 1) << out;
  EXPECT_TRUE(fs::exists(dir.file("out/_ZLVR_좋은 클립.mp4"))) << out;
  EXPECT_NE(out.find("완료\t좋은 클립.avi\t" + dir.file("out/_ZLVR_좋은 클립.mp4")), std::string::npos) << out;
  EXPECT_NE(out.find("실패\tbroken.mp4"), std::string::npos) << out;
}

TEST(EncodeCommand, CtrlCCancelsThenQuitsWithoutLeavingEncoders) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg not installed";
  TempDir dir;
  std::string clip = MakeClip(dir, "long.mp4", 1);
  // A slow stand-in encoder stored as the ffmpeg path, so the test controls the timing.
  std::string enc = dir.file("slowenc");
  testsupport::WriteFile(enc, "#!/bin/sh\ncase \" $* \" in *\" -encoders \"*|*\" -filters \"*) exit 0;; esac\ntrap '' TERM\nprintf 'Duration: 00:01:00.00, x\\n'\nwhile :; do printf 'frame= 1 time=00:00:01.00 b\\r'; sleep 0.1; done\n");
  fs::permissions(enc, fs::perms::owner_all);
  ASSERT_EQ(Zelvora({"settings", "set", "encoder.encoder_path_a=" + enc}), 0);

  for (int interrupts : {1, 2}) {
    SCOPED_TRACE(interrupts);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      execl(ZELVORA_CLI_PATH, ZELVORA_CLI_PATH, "encode", "--output-dir", dir.file("out").c_str(), clip.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    for (int k = 0; k < 500 && CountRunning(enc) == 0; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_GE(CountRunning(enc), 1u);  // the script's shell, and for a moment its forks
    kill(pid, SIGINT);
    // The encoder ignores SIGTERM, so the cancel is still waiting for it when the second
    // Ctrl-C arrives; that one must not wait.
    if (interrupts == 2) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      kill(pid, SIGINT);
    }
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), interrupts == 1 ? 1 : 130) << out;
    if (interrupts == 1) {
      EXPECT_NE(out.find("대기\tlong.mp4"), std::string::npos) << out;
    }
    for (int k = 0; k < 200 && CountRunning(enc) > 0; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(CountRunning(enc), 0u);
  }
}

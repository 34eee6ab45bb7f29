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
using testsupport::MakeClip;
using testsupport::RunCommand;
using testsupport::RunZelvora;
using testsupport::TempDir;

TEST(EncodeCommand, UsageErrorsExitTwo) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"encode"}, {"encode", "--bogus", "x"}, {"encode", "--set", "video_conf.nope=1", "x"},
           {"encode", "--set", "video_conf.fps=99", "x"}, {"encode", "--settings", "/no/such/file.reg", "x"},
           {"encode", "--output-dir"}}) {
    std::string out;
    EXPECT_EQ(RunZelvora(args, &out), 2) << args.back() << ": " << out;
    EXPECT_FALSE(out.empty());
  }
}

TEST(EncodeCommand, DryRunPrintsCommandLinesAndSavesNothing) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir dir;
  std::string clip = MakeClip(dir.file("a clip.mp4"), {.seconds = 1});
  std::string out;
  ASSERT_EQ(RunZelvora({"encode", "--dry-run", "--output-dir", dir.file("out"), "--set", "video_conf.bitrate=1500",
                     "--set", "etc_conf.fn_prefix=", clip},
                    &out),
            0)
      << out;
  EXPECT_NE(out.find("-i \"" + clip + "\" -y "), std::string::npos) << out;
  EXPECT_NE(out.find("1500k"), std::string::npos) << out;
  EXPECT_NE(out.find("\"" + dir.file("out") + "/a clip.mp4\""), std::string::npos) << out;
  EXPECT_FALSE(fs::exists(dir.file("out")));
  std::string stored;
  RunZelvora({"settings", "get", "video_conf.bitrate"}, &stored);
  EXPECT_EQ(stored, "800\n");
}

TEST(EncodeCommand, SettingsFileIsReadOnly) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir dir;
  std::string reg = dir.file("job.reg");
  std::string text =
      "Windows Registry Editor Version 5.00\r\n\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Tarvesk\\zelvora\\encoder]\r\n@=\"Zelvora Media Encoder\"\r\n\r\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Tarvesk\\zelvora\\encoder\\encoding_options]\r\n@=\"encoding options\"\r\n"
      "\"output_type\"=dword:00000002\r\n\r\n";
  testsupport::WriteFile(reg, text);
  std::string clip = MakeClip(dir.file("c.mp4"), {.seconds = 1});
  std::string out;
  ASSERT_EQ(RunZelvora({"encode", "--dry-run", "--settings", reg, "--output-dir", dir.str(), clip}, &out), 0) << out;
  EXPECT_NE(out.find("/_ZLVR_c.mkv\""), std::string::npos) << out;
  EXPECT_EQ(testsupport::ReadFile(reg), text);
}

TEST(EncodeCommand, EncodesAndReportsEachFile) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir dir;
  std::string good = MakeClip(dir.file("좋은 클립.avi"), {.seconds = 1});
  std::string bad = dir.file("broken.mp4");
  testsupport::WriteFile(bad, std::string(300, '\x01'));
  std::string out;
  EXPECT_EQ(RunZelvora({"encode", "--output-dir", dir.file("out"), good, bad}, &out), 1) << out;
  EXPECT_TRUE(fs::exists(dir.file("out/_ZLVR_좋은 클립.mp4"))) << out;
  EXPECT_NE(out.find("완료\t좋은 클립.avi\t" + dir.file("out/_ZLVR_좋은 클립.mp4")), std::string::npos) << out;
  EXPECT_NE(out.find("실패\tbroken.mp4"), std::string::npos) << out;
}

// A listing the batch accepts and caches, so the stand-in encoder is asked only once.
const char kEncoderListing[] =
    "case \" $* \" in\n"
    "  *\" -encoders \"*) printf 'Encoders:\\n ------\\n V..... libx264 H.264\\n V..... mpeg4 MPEG-4\\n"
    " A..... aac AAC\\n A..... libmp3lame MP3\\n'; exit 0;;\n"
    "  *\" -filters \"*) printf 'Filters:\\n ... subtitles V->V Render text subtitles\\n'; exit 0;;\n"
    "esac\n";

TEST(EncodeCommand, CtrlCCancelsThenQuitsWithoutLeavingEncoders) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir dir, config;
  testsupport::ScopedEnv ownStore("XDG_CONFIG_HOME", config.str());  // the stored path stays with this test
  std::string clip = MakeClip(dir.file("long.mp4"), {.seconds = 1});
  // A slow stand-in encoder stored as the ffmpeg path, so the test controls the timing. It says
  // it is ready only once it ignores SIGTERM, and notes each SIGTERM that reaches it. When told
  // whom to interrupt, its SIGTERM trap sends the second Ctrl-C itself: the cancel is then surely
  // still inside its grace for the encoder, however slowly this machine runs. (The loop sleeps in
  // the background so the trap runs at once, not after the sleep.)
  std::string enc = dir.file("slowenc");
  const std::string ready = dir.file("ready"), termed = dir.file("termed"), whom = dir.file("interrupt-pid");
  testsupport::WriteFile(enc, std::string("#!/bin/sh\n") + kEncoderListing +
                                  "trap ': > \"" + termed + "\"; [ -s \"" + whom + "\" ] && kill -INT \"$(cat \"" +
                                  whom + "\")\"' TERM\n"
                                  "trap '' PIPE\n"  // like an encoder that goes on when its reader is gone
                                  ": > \"" + ready + "\"\n"
                                  "printf 'Duration: 00:01:00.00, x\\n'\n"
                                  "while :; do printf 'frame= 1 time=00:00:01.00 b\\r'; sleep 0.1 & wait $!; done\n");
  fs::permissions(enc, fs::perms::owner_all);
  ASSERT_EQ(RunZelvora({"settings", "set", "encoder.encoder_path_a=" + enc}), 0);

  for (int interrupts : {1, 2}) {
    SCOPED_TRACE(interrupts);
    fs::remove(ready);
    fs::remove(termed);
    fs::remove(whom);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string cli = testsupport::CliPath(), outDir = dir.file("out");
    testsupport::ChildGuard guard;
    pid_t pid = guard.Add(fork());
    if (pid == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      execl(cli.c_str(), cli.c_str(), "encode", "--output-dir", outDir.c_str(), clip.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    // The encoder outlives SIGTERM, so the cancel is still waiting for it when the second
    // Ctrl-C arrives; that one must not wait.
    if (interrupts == 2) testsupport::WriteFile(whom, std::to_string(pid));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return fs::exists(ready); })) << "the encoder never started";
    kill(pid, SIGINT);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    guard.Forget(pid);
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), interrupts == 1 ? 1 : 130) << out;
    EXPECT_TRUE(fs::exists(termed)) << "the cancel never asked the encoder to stop";
    if (interrupts == 1) {
      EXPECT_NE(out.find("대기\tlong.mp4"), std::string::npos) << out;
    }
    EXPECT_TRUE(testsupport::WaitUntil([&] { return CountRunning(enc) == 0; })) << "an encoder was left running";
  }
}

// --shutdown-when-done asks for the power-off once the run has files done; the stand-in named by
// ZELVORA_POWER_OFF_PROGRAM records what it was asked, so the machine stays on.
TEST(EncodeCommand, ShutdownWhenDoneAsksOnceAndReportsARefusal) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir dir;
  const std::string clip = MakeClip(dir.file("clip.mp4"), {.seconds = 1});
  const std::string broken = dir.file("broken.mp4");
  testsupport::WriteFile(broken, std::string(300, '\x01'));
  const std::string calls = dir.file("calls"), program = dir.file("power");
  struct Case {
    const char* name;
    bool allowed;
    std::string file;
    int status;
    const char* asked;  // what the stand-in was asked, in order
    bool refusal;       // the run says the power-off was refused
  } const cases[] = {
      {"allowed", true, clip, 0, "can-power-off\npower-off\n", false},
      {"refused", false, clip, 0, "can-power-off\n", true},
      {"nothing done", true, broken, 1, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::WriteFile(program, std::string("#!/bin/sh\necho \"$1\" >> '") + calls + "'\n" +
                                        (c.allowed ? "exit 0\n" : "[ \"$1\" = power-off ] && exit 0; exit 1\n"));
    fs::permissions(program, fs::perms::owner_all);
    fs::remove(calls);
    testsupport::ScopedEnv standIn("ZELVORA_POWER_OFF_PROGRAM", program);
    std::string out;
    EXPECT_EQ(RunZelvora({"encode", "--shutdown-when-done", "--output-dir", dir.file("out"), c.file}, &out), c.status)
        << out;
    EXPECT_EQ(testsupport::ReadFile(calls), c.asked) << out;
    EXPECT_EQ(out.find("power-off was refused") != std::string::npos, c.refusal) << out;
    fs::remove_all(dir.file("out"));
  }
}

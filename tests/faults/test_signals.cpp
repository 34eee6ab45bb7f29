// The program ended from outside, and encoders that misbehave: no encoder outlives zelvora, no
// partial output stays, output floods cost bounded memory, huge durations keep the texts right.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sys/stat.h>
#include <thread>

#include "FaultRun.h"

namespace fs = std::filesystem;
using faults::RunResult;
using testsupport::TempDir;

namespace {

std::vector<std::string> Encode(const fs::path& out, const std::string& file) {
  return {"encode", "--output-dir", out.string(), "--set", "etc_conf.fn_prefix=_ZLVR_", file};
}

// Seconds of an "HH:MM:SS" text (hours may take more digits); -1 when it is not one.
long ClockSeconds(const std::string& text) {
  std::smatch m;
  static const std::regex kClock("^(\\d{2,}):(\\d{2}):(\\d{2})$");
  if (!std::regex_match(text, m, kClock)) return -1;
  return std::stol(m[1]) * 3600 + std::stol(m[2]) * 60 + std::stol(m[3]);
}

}  // namespace

// An encoder that hangs without a word (and ignores SIGTERM) while zelvora is ended in each way a
// user or the system ends it. The encoder must end with it, and nothing may stay in the output
// folder under either name.
TEST(SignalFaults, EncoderNeverOutlivesTheProgram) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir tmp;
  std::string clip = faults::MakeClip(tmp.file("clip.avi"));
  const std::string fifo = tmp.file("started"), whom = tmp.file("interrupt-pid");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // It outlives SIGTERM. When told whom to interrupt, its SIGTERM trap sends the second Ctrl-C
  // itself, so that one surely lands while the cancel still waits out its grace for the encoder,
  // however slowly this machine runs. (It sleeps in the background so the trap runs at once.)
  faults::InstallFakeEncoder(tmp.file("hang.sh"), "echo partial > \"$out\"\ntrap '[ -s \"" + whom +
                                                      "\" ] && kill -INT \"$(cat \"" + whom + "\")\"' TERM\necho $$ > '" +
                                                      fifo + "'\nwhile :; do sleep 1 & wait $!; done\n");
  struct Case {
    const char* name;
    std::vector<int> signals;  // the first sent by the test, a second Ctrl-C by the encoder's trap
    int exitStatus;
    std::string said;          // on standard error
  };
  const std::vector<Case> cases = {
      {"Ctrl-C cancels", {SIGINT}, 1, "사용자에 의해 중지되었습니다."},
      {"Ctrl-C twice quits", {SIGINT, SIGINT}, 128 + SIGINT, "zelvora encode: stopped (Ctrl-C)"},
      {"SIGTERM quits", {SIGTERM}, 128 + SIGTERM, "zelvora encode: stopped (TERM)"},
      {"SIGHUP (terminal closed) quits", {SIGHUP}, 128 + SIGHUP, "zelvora encode: stopped (HUP)"},
      {"SIGKILL", {SIGKILL}, 128 + SIGKILL, ""},
  };
  const fs::path out = tmp.path() / "out";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto sourceBefore = faults::Snapshot(tmp.path() / "clip.avi");
    faults::Running run(Encode(out, clip));
    const int encoder = std::atoi(faults::ReadFifoLine(fifo).c_str());
    ASSERT_GT(encoder, 0) << "the stand-in encoder never started";
    fs::remove(whom);
    if (c.signals.size() == 2) testsupport::WriteFile(whom, std::to_string(run.pid()));
    ::kill(run.pid(), c.signals[0]);
    RunResult r = run.Finish();
    if (c.signals.size() == 2) {
      EXPECT_NE(r.err.find("cancelling"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(r.hung);
    EXPECT_EQ(r.status, c.exitStatus) << r.out << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_TRUE(faults::WaitForProcessEnd(encoder)) << "the encoder outlived zelvora";
    EXPECT_FALSE(fs::exists(out / "_ZLVR_clip.mp4"));
    if (c.signals[0] != SIGKILL) {
      EXPECT_TRUE(faults::Temporaries(out).empty()) << faults::Temporaries(out).front();
    } else {
      // Nothing can clean up after SIGKILL; the next run in that folder removes what was abandoned.
      EXPECT_EQ(faults::Temporaries(out).size(), 1u);
      faults::InstallFakeEncoder(tmp.file("quick.sh"), "exit 1\n");
      RunResult next = faults::Zelvora(Encode(out, clip));
      EXPECT_EQ(next.status, 1);
      EXPECT_TRUE(faults::Temporaries(out).empty());
    }
    EXPECT_EQ(faults::Snapshot(tmp.path() / "clip.avi"), sourceBefore);
  }
}

// 100 MB of output without a line break: the row fails, and zelvora's memory stays within a
// small margin of the same run with a silent encoder.
TEST(SignalFaults, OutputFloodKeepsMemoryBounded) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir tmp;
  std::string clip = faults::MakeClip(tmp.file("clip.avi"));
  // Memory the sanitizer keeps for its own checks is not ours to measure.
  testsupport::ScopedEnv asan("ASAN_OPTIONS", "quarantine_size_mb=1:detect_leaks=0");
  faults::InstallFakeEncoder(tmp.file("quiet.sh"), "exit 0\n");
  RunResult quiet = faults::Zelvora(Encode(tmp.path() / "out", clip));
  faults::InstallFakeEncoder(tmp.file("flood.sh"), "head -c 100000000 /dev/zero | tr '\\000' x\nexit 0\n");
  RunResult flood = faults::Zelvora(Encode(tmp.path() / "out", clip));
  EXPECT_FALSE(flood.hung);
  EXPECT_EQ(flood.status, 1);
  EXPECT_EQ(faults::ResultLines(flood.out).at(0), "오류\tclip.avi\tFailed encoding media file, " + clip +
                                                         " : the encoder ended without converting anything");
  std::printf("peak memory: %ld KiB with a silent encoder, %ld KiB with 100 MB of output\n", quiet.maxRssKb,
              flood.maxRssKb);
  EXPECT_LT(flood.maxRssKb, quiet.maxRssKb + 32 * 1024) << "silent encoder: " << quiet.maxRssKb << " KiB";
  EXPECT_TRUE(fs::is_empty(tmp.path() / "out"));
}

// A stated duration of 100 hours, progress lines to a pipe: every line shows the file's
// percentage with the total and times of the same update, and the three times add up.
TEST(SignalFaults, HundredHourDurationProgressLines) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir tmp;
  std::string clip = faults::MakeClip(tmp.file("clip.avi"));
  std::string whole = faults::MakeClip(tmp.file("whole.mp4"));
  // The source padded to exactly 300 KiB (zeros after the AVI's last chunk), so that every
  // percentage of it is a whole number of KiB and the run's total equals the file's percentage.
  ASSERT_LT(fs::file_size(clip), 300u * 1024);
  fs::resize_file(clip, 300 * 1024);
  faults::InstallFakeEncoder(
      tmp.file("long.sh"),
      "printf 'Duration: 100:00:00.00, start: 0.000000\\n'\n"
      "for t in 15:00:00 37:30:00 50:00:00 75:00:00; do printf 'frame=   10 fps=0 q=0 size=1kB time=%s.00 bitrate=1\\r' $t; done\n"
      "cat '" + whole + "' > \"$out\"\n"
      "printf 'frame=   50 fps=0 q=0 size=1kB time=100:00:00.00 bitrate=1\\n'\n");
  RunResult r = faults::Zelvora(Encode(tmp.path() / "out", clip));
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(faults::ResultLines(r.out).at(0), "완료\tclip.avi\t" + tmp.file("out/_ZLVR_clip.mp4"));

  // With one file of 300 KiB the total is the file's own percentage: 45, 111, 150 and 225 KiB
  // done of 300. It stays below 100 until the run is over, so the last line shows 99 % for the
  // encoder's 100 %, which this stand-in reaches.
  const std::map<int, int> kTotal = {{15, 15}, {37, 37}, {50, 50}, {75, 75}, {99, 99}};
  static const std::regex kLine("file +(\\d+)%  total +(\\d+)%  elapsed (\\S+)  remaining (\\S+)  \\(estimated (\\S+)\\)");
  std::vector<int> seen;
  for (auto it = std::sregex_iterator(r.err.begin(), r.err.end(), kLine); it != std::sregex_iterator(); ++it) {
    const std::smatch& m = *it;
    int file = std::stoi(m[1]), total = std::stoi(m[2]);
    seen.push_back(file);
    ASSERT_TRUE(kTotal.count(file)) << m[0];
    EXPECT_EQ(total, kTotal.at(file)) << m[0];
    long elapsed = ClockSeconds(m[3]), remaining = ClockSeconds(m[4]), estimated = ClockSeconds(m[5]);
    EXPECT_GE(elapsed, 0) << m[0];
    EXPECT_GE(remaining, 0) << m[0];
    EXPECT_EQ(estimated, elapsed + remaining) << m[0];
  }
  EXPECT_EQ(seen, (std::vector<int>{15, 37, 50, 75, 99})) << r.err;
}

// The parent-death signal follows the thread that forked, not the process: a child started from
// a thread that then ends (a batch worker, a capability query) must keep running until we end.
TEST(SignalFaults, ChildOutlivesTheThreadThatStartedIt) {
  std::unique_ptr<platform::ChildProcess> child;
  std::string error;
  std::thread([&] { child = platform::ChildProcess::Start({"sleep", "100000"}, {}, error); }).join();
  ASSERT_TRUE(child) << error;
  // A kill for the ended thread would have been sent by now; allow it time to land.
  EXPECT_EQ(child->WaitForExit(std::chrono::milliseconds(500)), platform::WaitStatus::kTimeout);
  EXPECT_TRUE(child->IsRunning());
  platform::ExitInfo end = child->Terminate();
  EXPECT_TRUE(end.signalled);
}

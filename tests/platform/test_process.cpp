// Child processes: merged output, start failures, the child's surroundings, waking, stopping;
// short helper commands run to the end with their output collected.
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "ProcessTable.h"
#include "TestSupport.h"
#include "platform/CaptureRun.h"
#include "platform/Process.h"

using namespace std::chrono_literals;
using platform::ChildProcess;
using platform::ReadStatus;
using platform::WaitStatus;

namespace {

std::unique_ptr<ChildProcess> StartShell(const std::string& script, bool lower = true) {
  std::string error;
  platform::ProcessOptions options;
  options.below_normal_priority = lower;
  auto child = ChildProcess::Start({"/bin/sh", "-c", script}, options, error);
  EXPECT_TRUE(child) << error;
  return child;
}

// Everything the child writes, up to the end of the pipe.
std::string ReadAll(ChildProcess& child) {
  std::string out;
  char buf[512];
  for (;;) {
    auto r = child.ReadOutput(buf);
    if (r.status != ReadStatus::kData) break;
    out.append(buf, r.bytes);
  }
  return out;
}

// Reads until `marker` has arrived.
std::string ReadUntil(ChildProcess& child, const std::string& marker) {
  std::string out;
  char buf[512];
  while (out.find(marker) == std::string::npos) {
    auto r = child.ReadOutput(buf);
    if (r.status != ReadStatus::kData) break;
    out.append(buf, r.bytes);
  }
  return out;
}

}  // namespace

TEST(ChildProcess, JoinsOutputAndErrorAndReportsTheExitStatus) {
  auto child = StartShell("echo out; echo err 1>&2; exit 3");
  ASSERT_TRUE(child);
  EXPECT_EQ(ReadAll(*child), "out\nerr\n");
  EXPECT_EQ(child->WaitForExit(std::nullopt), WaitStatus::kExited);
  EXPECT_FALSE(child->IsRunning());
  auto exit = child->Terminate();
  EXPECT_FALSE(exit.signalled);
  EXPECT_EQ(exit.code, 3);
  ASSERT_TRUE(child->Exit());
  EXPECT_FALSE(testsupport::ReadProc(child->Pid())) << "the child must be reaped";
}

TEST(ChildProcess, ProgramThatCannotRunIsAStartFailureNotAnExit) {
  testsupport::TempDir dir;
  const std::string not_executable = dir.file("script.sh");
  testsupport::WriteFile(not_executable, "#!/bin/sh\necho never\n");
  ::chmod(not_executable.c_str(), 0644);
  const struct {
    std::string program;
    std::string reason;
  } cases[] = {
      {"zelvora-no-such-program", "not found"},
      {dir.file("missing"), "No such file"},
      {not_executable, "Permission denied"},
  };
  for (const auto& c : cases) {
    std::string error;
    auto child = ChildProcess::Start({c.program, "x"}, {}, error);
    EXPECT_FALSE(child) << c.program;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.program << ": " << error;
  }
}

TEST(ChildProcess, ArgumentsReachTheProgramUntouched) {
  std::string error;
  const std::vector<std::string> argv = {"printf", "[%s]", "$HOME", "a b", "*", "", "\"q\""};
  auto child = ChildProcess::Start(argv, {}, error);
  ASSERT_TRUE(child) << error;
  EXPECT_EQ(ReadAll(*child), "[$HOME][a b][*][][\"q\"]");
}

TEST(ChildProcess, RunsInItsOwnGroupBelowNormalPriorityWithNothingInheritedButItsPipe) {
  // A descriptor of ours without close-on-exec must still not reach the child.
  int leaked = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(leaked, 0);
  const std::string probe = "read x; echo \"stdin:$?\"; [ -e /proc/$$/fd/" + std::to_string(leaked) +
                            " ] && echo leaked; echo ready; sleep 30";
  for (bool lower : {true, false}) {
    auto child = StartShell(probe, lower);
    ASSERT_TRUE(child);
    std::string out = ReadUntil(*child, "ready\n");
    EXPECT_EQ(out, "stdin:1\nready\n");
    auto entry = testsupport::ReadProc(child->Pid());
    auto self = testsupport::ReadProc(::getpid());
    ASSERT_TRUE(entry && self);
    EXPECT_EQ(entry->pgrp, child->Pid());
    EXPECT_EQ(entry->nice, lower ? std::min(self->nice + 10, 19) : self->nice);
    child->Terminate();
  }
  ::close(leaked);
}

TEST(ChildProcess, WakeEventEndsReadsAndWaits) {
  auto child = StartShell("sleep 30");
  ASSERT_TRUE(child);
  EXPECT_EQ(child->WaitForExit(50ms), WaitStatus::kTimeout);
  platform::WakeEvent wake;
  std::thread setter([&] {
    std::this_thread::sleep_for(100ms);
    wake.Set();
  });
  char buf[16];
  EXPECT_EQ(child->ReadOutput(buf, &wake).status, ReadStatus::kWoken);
  setter.join();
  EXPECT_EQ(child->WaitForExit(std::nullopt, &wake), WaitStatus::kWoken);
  EXPECT_TRUE(child->IsRunning());
}

TEST(ChildProcess, TerminateStopsTheWholeGroupEvenWhenTermIsIgnored) {
  // The grace is what the child gets to end on SIGTERM: long enough for a shell at low priority
  // on a loaded machine (Terminate returns as soon as it has ended), short where it never will.
  const struct {
    const char* script;
    bool killed_by_term;
    std::chrono::milliseconds grace;
  } cases[] = {
      {"sleep 30 & sleep 30 & echo ready; wait", true, 60s},
      {"trap '' TERM; sleep 30 & echo ready; while :; do sleep 1; done", false, 300ms},
  };
  for (const auto& c : cases) {
    auto child = StartShell(c.script);
    ASSERT_TRUE(child);
    ReadUntil(*child, "ready\n");
    const int pid = child->Pid();
    EXPECT_GE(testsupport::GroupMembers(pid).size(), 2u);
    auto exit = child->Terminate(c.grace);
    EXPECT_TRUE(exit.signalled);
    EXPECT_EQ(exit.code, c.killed_by_term ? SIGTERM : SIGKILL) << c.script;
    EXPECT_FALSE(testsupport::ReadProc(pid)) << "no zombie of ours";
    EXPECT_TRUE(testsupport::GroupGoneWithin(pid, 10s)) << c.script;
    EXPECT_EQ(child->Terminate().code, exit.code) << "a second stop changes nothing";
  }
}

TEST(ChildProcess, DestructorStopsAndReapsARunningChild) {
  int pid;
  {
    auto child = StartShell("sleep 30");
    ASSERT_TRUE(child);
    pid = child->Pid();
  }
  EXPECT_FALSE(testsupport::ReadProc(pid));
}

TEST(RunAndCapture, CollectsOutputAndExitStatus) {
  CaptureResult r = RunAndCapture({"printf", "%s|%s", "a b", "$HOME;`x`"}, 10000);
  EXPECT_TRUE(r.started);
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.output, "a b|$HOME;`x`");  // no shell: nothing expanded
  EXPECT_EQ(RunAndCapture({"sh", "-c", "exit 3"}, 10000).exitStatus, 3);
  for (const std::vector<std::string>& argv : {std::vector<std::string>{"zelvora-no-such-program"}, {}}) {
    CaptureResult missing = RunAndCapture(argv, 10000);
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.exitStatus, -1);
    EXPECT_FALSE(missing.error.empty());
  }
  CaptureResult cut = RunAndCapture({"head", "-c", "100000", "/dev/zero"}, 10000, 1000);
  EXPECT_EQ(cut.exitStatus, 0);
  EXPECT_EQ(cut.output.size(), 1000u);
  CaptureResult slow = RunAndCapture({"sleep", "30"}, 100);  // stopped when the time is up
  EXPECT_TRUE(slow.timedOut);
  EXPECT_EQ(slow.exitStatus, -1);
}

TEST(RunAndCapture, ErrorOutputIsJoinedOrDiscarded) {
  const std::vector<std::string> argv = {"sh", "-c", "echo out; echo err 1>&2"};
  EXPECT_EQ(RunAndCapture(argv, 10000).output, "out\nerr\n");
  EXPECT_EQ(RunAndCapture(argv, 10000, 4096, CaptureStreams::kOutputOnly).output, "out\n");
}

TEST(RunAndCapture, DoesNotWaitForWhatTheHelperLeftBehind) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("setsid"), "setsid is not installed");
  // A process in a session of its own escapes the helper's group and keeps the output pipe open.
  // The helper ends only once that process has left its group, so it cannot be stopped with it.
  testsupport::TempDir dir;
  const std::string script =
      "setsid sh -c 'echo $$ > \"$0\"; exec sleep 60' \"$1\" & while [ ! -s \"$1\" ]; do sleep 0.01; done; cat \"$1\"";
  CaptureResult r = RunAndCapture({"sh", "-c", script, "sh", dir.file("pid")}, 60000);
  testsupport::ChildGuard guard;  // the leftover goes whatever fails below
  guard.Add(std::atoi(testsupport::ReadFile(dir.file("pid")).c_str()), false);
  ASSERT_EQ(r.exitStatus, 0) << r.error;
  const int left = std::atoi(r.output.c_str());
  ASSERT_GT(left, 0) << r.output;
  auto entry = testsupport::ReadProc(left);
  EXPECT_TRUE(entry && entry->state != 'Z') << "returned while the leftover still runs";
  ::kill(left, SIGKILL);
}

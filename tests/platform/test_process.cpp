// Child processes: merged output, start failures, the child's surroundings, waking, stopping;
// short helper commands run to the end with their output collected.
#include <gtest/gtest.h>

#ifndef _WIN32
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

#else  // _WIN32
// On Windows every child is process_child.exe, a real Windows program built beside this one.
#include <windows.h>

#include <condition_variable>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <random>
#include <thread>

#include "TestSupport.h"
#include "platform/CaptureRun.h"
#include "platform/Process.h"
#include "platform/Processes.h"
#include "support/WideText.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using platform::ChildProcess;
using platform::ReadStatus;
using platform::WaitStatus;

namespace {

std::string OwnPath() {
  std::wstring path(32768, L'\0');
  path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
  return Utf8FromWide(path);
}

// The child program, from the folder of this test program.
std::string Helper() {
  static const std::string path = Utf8FromWide((fs::path(WideFromUtf8(OwnPath())).parent_path() / L"process_child.exe").wstring());
  return path;
}

std::unique_ptr<ChildProcess> StartHelper(const std::vector<std::string>& actions, platform::ProcessOptions options = {},
                                          const std::string& program = Helper()) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), actions.begin(), actions.end());
  std::string error;
  auto child = ChildProcess::Start(argv, options, error);
  EXPECT_TRUE(child) << error;
  return child;
}

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

// The number after "name:" in the output.
DWORD NumberAfter(const std::string& out, const std::string& name) {
  size_t at = out.find(name + ":");
  return at == std::string::npos ? 0 : static_cast<DWORD>(std::strtoul(out.c_str() + at + name.size() + 1, nullptr, 10));
}

struct HandleCloser {
  void operator()(HANDLE h) const {
    if (h) ::CloseHandle(h);
  }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

UniqueHandle OpenForWait(DWORD pid) {
  return UniqueHandle(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, pid));
}

// Whether the process ends within `limit` (a bound against hanging, not a timing).
bool EndsWithin(HANDLE process, std::chrono::milliseconds limit) {
  return process && ::WaitForSingleObject(process, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

bool RunsUnderWine() {
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

}  // namespace

TEST(ChildProcess, JoinsOutputAndErrorAndReportsTheExitCode) {
  const struct {
    bool discard_errors;
    std::string output;
  } cases[] = {
      {false, "out\nerr\n한글 출력 줄\nafter\n"},
      {true, "out\n한글 출력 줄\nafter\n"},
  };
  for (const auto& c : cases) {
    platform::ProcessOptions options;
    options.discard_error_output = c.discard_errors;
    auto child = StartHelper({"out:out", "err:err", "korean", "out:after", "exit:3"}, options);
    ASSERT_TRUE(child);
    EXPECT_GT(child->Pid(), 0);
    EXPECT_EQ(ReadAll(*child), c.output);
    EXPECT_EQ(child->WaitForExit(std::nullopt), WaitStatus::kExited);
    EXPECT_FALSE(child->IsRunning());
    EXPECT_FALSE(child->Exit());
    auto exit = child->Terminate();
    EXPECT_FALSE(exit.signalled);
    EXPECT_EQ(exit.code, 3);
    ASSERT_TRUE(child->Exit());
    EXPECT_EQ(child->Exit()->code, 3);
  }
}

TEST(ChildProcess, ProgramThatCannotRunIsAStartFailureNotAnExit) {
  testsupport::TempDir dir;
  testsupport::WriteFile(dir.file("text.exe"), "not a program");
  testsupport::WriteFile(dir.file("script.bat"), "@echo never\r\n");
  const struct {
    std::string program;
    std::string reason;
  } cases[] = {
      {"zelvora-no-such-program", "not found"},
      {dir.file("missing.exe"), "(error 2)"},   // no such file
      {dir.file("text.exe"), "(error 193)"},   // not a Windows program
      {dir.file("script.bat"), "batch file"},  // would run through cmd.exe
  };
  for (const auto& c : cases) {
    std::string error;
    auto child = ChildProcess::Start({c.program, "x"}, {}, error);
    EXPECT_FALSE(child) << c.program;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.program << ": " << error;
  }
  std::string error;
  EXPECT_FALSE(ChildProcess::Start({}, {}, error));
  EXPECT_FALSE(error.empty());
  // Arguments that no command line can carry are refused, never passed changed.
  const struct {
    std::vector<std::string> argv;
    std::string reason;
  } refused[] = {
      {{Helper(), "args", "bad\xff"}, "UTF-8"},
      {{Helper(), "args", std::string("nul\0inside", 10)}, "NUL"},
      {{Helper(), "args", std::string(40000, 'a')}, "longer than Windows allows"},
      {{dir.str() + "\\\"quoted\".exe"}, "double quote"},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(ChildProcess::Start(c.argv, {}, error)) << c.reason;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

TEST(ChildProcess, ArgumentsReachTheProgramUntouched) {
  // Each the way the C runtime of the child splits it back, and CommandLineToArgvW alike.
  const std::vector<std::string> args = {
      "plain", "a b", "", "\"q\"", "back\\slash", "trail\\", "trail two\\\\", "quote\\\"mid", "\\\\server\\share",
      "\t", "한국어 인자", "*", "%PATH%", "$HOME", "a&b|c>d", "  lead", "x\"\"y",
  };
  std::vector<std::string> actions = {"args"};
  actions.insert(actions.end(), args.begin(), args.end());
  auto child = StartHelper(actions);
  ASSERT_TRUE(child);
  std::string expected;
  for (const auto& a : args) expected += "[" + a + "]\n";
  EXPECT_EQ(ReadAll(*child), expected + "parsers agree\n");

  // The program itself may be named with either separator and without its ".exe".
  std::string noExtension = Helper().substr(0, Helper().size() - 4);
  for (char& c : noExtension)
    if (c == '\\') c = '/';
  auto again = StartHelper({"out:found"}, {}, noExtension);
  ASSERT_TRUE(again);
  EXPECT_EQ(ReadAll(*again), "found\n");
}

TEST(ChildProcess, ProgramsInKoreanAndLongPathsStartAndAreFound) {
  testsupport::TempDir dir;
  // Joined here: the test folder's file() goes through the ANSI code page on Windows.
  std::string folder = dir.str() + "\\한국어 폴더";
  ASSERT_TRUE(::CreateDirectoryW(WidePath(folder).c_str(), nullptr));
  for (bool long_path : {false, true}) {
    SCOPED_TRACE(long_path ? "long path" : "short path");
    while (long_path && folder.size() < 300) {
      folder += "\\" + std::string(90, 'd');
      ASSERT_TRUE(::CreateDirectoryW(WidePath(folder).c_str(), nullptr)) << folder;
    }
    const std::string program = folder + "\\자식 프로그램.exe";
    ASSERT_TRUE(::CopyFileW(WidePath(Helper()).c_str(), WidePath(program).c_str(), TRUE));
    EXPECT_EQ(platform::FindExecutable("자식 프로그램", folder), program);
    if (long_path && RunsUnderWine()) {
      // Wine opens a short (8.3) path of a long one but starts no program from it.
      std::cout << "[  SKIPPED ] a case: a program in a path of 260 characters or more (not under Wine)\n";
      continue;
    }
    // No program starts from a path of 260 characters or more: a long one starts by its short
    // form, where the volume keeps short names.
    const DWORD brief = ::GetShortPathNameW(WidePath(program).c_str(), nullptr, 0);
    if (long_path && (brief == 0 || brief - 4 > MAX_PATH)) {
      std::string error;
      EXPECT_FALSE(ChildProcess::Start({program}, {}, error));
      EXPECT_NE(error.find("too long"), std::string::npos) << error;
      continue;
    }
    auto child = StartHelper({"out:started", "exit:5"}, {}, program);
    ASSERT_TRUE(child);
    EXPECT_EQ(ReadAll(*child), "started\n");
    EXPECT_EQ(child->Terminate().code, 5);
    auto copy = StartHelper({"out:ready", "hang"}, {}, program);
    ASSERT_TRUE(copy);
    ReadUntil(*copy, "ready\n");
    EXPECT_EQ(KillProcessByName(program, true), 1);
    EXPECT_EQ(copy->WaitForExit(std::nullopt), WaitStatus::kExited);
  }
}

TEST(ChildProcess, RunsInItsPriorityWithNothingInheritedButItsHandles) {
  // An inheritable handle of ours must still not reach the child.
  UniqueHandle leaked(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(leaked);
  ASSERT_TRUE(::SetHandleInformation(leaked.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT));
  char hex[32];
  std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(leaked.get())));
  // The check itself: a child that inherits every inheritable handle sees it.
  std::string inherited;
  testsupport::RunCommand({Helper(), std::string("handle:") + hex}, &inherited);
  EXPECT_EQ(inherited, "handle:open\n");
  for (bool lower : {true, false}) {
    platform::ProcessOptions options;
    options.below_normal_priority = lower;
    auto child = StartHelper({"priority", std::string("handle:") + hex, "stdin"}, options);
    ASSERT_TRUE(child);
    EXPECT_EQ(ReadAll(*child), std::string(lower ? "priority:below\n" : "priority:normal\n") + "handle:closed\nstdin:end\n");
  }
}

TEST(ChildProcess, WakeEventEndsReadsAndWaitsWithoutLosingOutput) {
  testsupport::TempDir dir;
  const std::string go = dir.file("go");
  auto child = StartHelper({"out:ready", "wait:" + go, "out:after", "hang"});
  ASSERT_TRUE(child);
  EXPECT_EQ(child->WaitForExit(50ms), WaitStatus::kTimeout);

  platform::WakeEvent wake;
  ASSERT_TRUE(wake.Valid());
  std::mutex mutex;
  std::condition_variable cv;
  bool got_ready = false;
  ReadStatus last = ReadStatus::kError;
  std::string seen;
  std::thread reader([&] {
    char buf[64];
    for (;;) {
      auto r = child->ReadOutput(buf, &wake);
      std::lock_guard lock(mutex);
      if (r.status == ReadStatus::kData) seen.append(buf, r.bytes);
      got_ready = seen.find("ready\n") != std::string::npos;
      cv.notify_all();
      if (r.status != ReadStatus::kData) {
        last = r.status;
        break;
      }
    }
  });
  {
    // Once "ready" is in, the reader is waiting for more, which comes only after "go".
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return got_ready; });
  }
  wake.Set();
  reader.join();
  EXPECT_EQ(last, ReadStatus::kWoken);
  EXPECT_TRUE(wake.IsSet());
  char buf[16];
  EXPECT_EQ(child->ReadOutput(buf, &wake).status, ReadStatus::kWoken) << "the event stays set";
  EXPECT_EQ(child->WaitForExit(std::nullopt, &wake), WaitStatus::kWoken);
  EXPECT_TRUE(child->IsRunning());
  EXPECT_EQ(child->ReadAvailable(buf).status, ReadStatus::kEmpty);

  // The read cut short by the wake took nothing away: the next line arrives whole.
  testsupport::WriteFile(go, "");
  EXPECT_EQ(ReadUntil(*child, "after\n"), "after\n");
  EXPECT_EQ(seen, "ready\n");
}

TEST(ChildProcess, TerminateEndsTheChildAndEverythingItStarted) {
  for (bool die_with_parent : {true, false}) {
    platform::ProcessOptions options;
    options.die_with_parent = die_with_parent;
    auto child = StartHelper({"grandchild", "out:ready", "hang"}, options);
    ASSERT_TRUE(child);
    const std::string out = ReadUntil(*child, "ready\n");
    const DWORD grandchild = NumberAfter(out, "grandchild");
    ASSERT_NE(grandchild, 0u) << out;
    UniqueHandle g = OpenForWait(grandchild), c = OpenForWait(static_cast<DWORD>(child->Pid()));
    ASSERT_TRUE(g && c);
    EXPECT_FALSE(EndsWithin(g.get(), 0ms));
    auto exit = child->Terminate(60s);  // nothing is asked on Windows: no waiting for the grace
    EXPECT_FALSE(exit.signalled);
    EXPECT_EQ(exit.code, 1);
    EXPECT_TRUE(EndsWithin(c.get(), 0ms));
    EXPECT_TRUE(EndsWithin(g.get(), 10s)) << "the grandchild was left running";
    if (!EndsWithin(g.get(), 0ms)) ::TerminateProcess(g.get(), 9);
    // Both writers are gone: the pipe ends.
    ReadAll(*child);
    char buf[16];
    EXPECT_EQ(child->ReadOutput(buf).status, ReadStatus::kEnd);
    EXPECT_EQ(child->Terminate().code, 1) << "a second stop changes nothing";
  }
}

TEST(ChildProcess, EndedChildLeavesNothingBehindAfterTerminate) {
  // The child has ended by itself; what it started still runs until the stop.
  auto child = StartHelper({"grandchild", "exit:4"});
  ASSERT_TRUE(child);
  ASSERT_EQ(child->WaitForExit(std::nullopt), WaitStatus::kExited);
  char buf[256];
  std::string out;
  while (out.find("grandchild-ready\n") == std::string::npos) {
    auto r = child->ReadOutput(buf);
    ASSERT_EQ(r.status, ReadStatus::kData) << out;
    out.append(buf, r.bytes);
  }
  UniqueHandle g = OpenForWait(NumberAfter(out, "grandchild"));
  ASSERT_TRUE(g);
  EXPECT_EQ(child->Terminate().code, 4);
  EXPECT_TRUE(EndsWithin(g.get(), 10s));
  if (!EndsWithin(g.get(), 0ms)) ::TerminateProcess(g.get(), 9);
}

TEST(ChildProcess, DestructorEndsTheChildAndItsChildren) {
  UniqueHandle c, g;
  {
    auto child = StartHelper({"grandchild", "out:ready", "hang"});
    ASSERT_TRUE(child);
    const std::string out = ReadUntil(*child, "ready\n");
    c = OpenForWait(static_cast<DWORD>(child->Pid()));
    g = OpenForWait(NumberAfter(out, "grandchild"));
    ASSERT_TRUE(c && g);
  }
  EXPECT_TRUE(EndsWithin(c.get(), 0ms));
  EXPECT_TRUE(EndsWithin(g.get(), 10s));
  if (!EndsWithin(g.get(), 0ms)) ::TerminateProcess(g.get(), 9);
}

TEST(ChildProcess, ChildrenDieWithTheProgramThatStartedThem) {
  // The middle program starts a child of its own and is then killed outright, as a crash would
  // end it: its child goes with it unless it was started to outlive it.
  for (bool die_with_parent : {true, false}) {
    platform::ProcessOptions options;
    auto middle = StartHelper({std::string("start:") + (die_with_parent ? "1" : "0"), "out:ready", "hang"}, options);
    ASSERT_TRUE(middle);
    const std::string out = ReadUntil(*middle, "ready\n");
    UniqueHandle inner = OpenForWait(NumberAfter(out, "started"));
    ASSERT_TRUE(inner) << out;
    UniqueHandle m = OpenForWait(static_cast<DWORD>(middle->Pid()));
    ASSERT_TRUE(::TerminateProcess(m.get(), 7));
    ASSERT_TRUE(EndsWithin(m.get(), 10s));
    if (die_with_parent) {
      EXPECT_TRUE(EndsWithin(inner.get(), 10s)) << "the child outlived its parent";
    } else {
      EXPECT_FALSE(EndsWithin(inner.get(), 0ms)) << "the child was meant to outlive its parent";
    }
    ::TerminateProcess(inner.get(), 9);
    EXPECT_TRUE(EndsWithin(inner.get(), 10s));
  }
}

TEST(ChildProcess, FindExecutableFollowsWindowsRules) {
  testsupport::TempDir a, b;
  fs::create_directories(WideFromUtf8(b.file("folder.exe")));
  fs::create_directories(WideFromUtf8(a.file("sub")));
  fs::copy_file(WideFromUtf8(Helper()), WideFromUtf8(b.file("tool.exe")));
  fs::copy_file(WideFromUtf8(Helper()), WideFromUtf8(a.file("sub\\inner.exe")));
  testsupport::WriteFile(b.file("tool"), "a file without the program extension");
  testsupport::WriteFile(b.file("script.bat"), "@echo off\r\n");
  testsupport::ScopedEnv path("PATH", ";" + a.str() + ";\"" + b.str() + "\";");
  EXPECT_EQ(platform::FindExecutable("tool"), b.file("tool.exe"));
  EXPECT_EQ(platform::FindExecutable("tool.exe"), b.file("tool.exe"));
  EXPECT_EQ(platform::FindExecutable("TOOL.EXE"), b.str() + "\\TOOL.EXE");
  EXPECT_EQ(platform::FindExecutable("tool", a.str()), b.file("tool.exe"));
  fs::copy_file(WideFromUtf8(Helper()), WideFromUtf8(a.file("tool.exe")));
  EXPECT_EQ(platform::FindExecutable("tool", a.str()), a.file("tool.exe"));
  EXPECT_EQ(platform::FindExecutable("folder"), "") << "a folder is no program";
  EXPECT_EQ(platform::FindExecutable("script"), "") << "batch files are never looked for";
  EXPECT_EQ(platform::FindExecutable("nothing-here"), "");
  EXPECT_EQ(platform::FindExecutable(""), "");
  // A name with a folder in it is that file (".exe" added when only that exists), never
  // looked for in the PATH folders; both separators count.
  EXPECT_EQ(platform::FindExecutable("..\\tool"), "..\\tool");
  EXPECT_EQ(platform::FindExecutable("../tool", a.str()), "../tool");
  EXPECT_EQ(platform::FindExecutable(a.file("sub") + "/inner"), a.file("sub") + "/inner.exe");
  EXPECT_EQ(platform::FindExecutable(a.file("sub\\inner")), a.file("sub\\inner.exe"));
  EXPECT_EQ(platform::FindExecutable("sub\\inner"), "sub\\inner");
}

TEST(RunAndCapture, CollectsOutputAndExitCode) {
  CaptureResult r = RunAndCapture({Helper(), "args", "a b", "%PATH%;`x`"}, 60000);
  EXPECT_TRUE(r.started);
  EXPECT_EQ(r.exitStatus, 0) << r.error;
  EXPECT_EQ(r.output, "[a b]\n[%PATH%;`x`]\nparsers agree\n");  // no shell: nothing expanded
  EXPECT_EQ(RunAndCapture({Helper(), "exit:3"}, 60000).exitStatus, 3);
  for (const std::vector<std::string>& argv : {std::vector<std::string>{"zelvora-no-such-program"}, {}}) {
    CaptureResult missing = RunAndCapture(argv, 10000);
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.exitStatus, -1);
    EXPECT_FALSE(missing.error.empty());
  }
  CaptureResult cut = RunAndCapture({Helper(), "bytes:100000"}, 60000, 1000);
  EXPECT_EQ(cut.exitStatus, 0) << cut.error;
  EXPECT_EQ(cut.output, std::string(1000, 'x'));
  CaptureResult slow = RunAndCapture({Helper(), "hang"}, 100);  // stopped when the time is up
  EXPECT_TRUE(slow.timedOut);
  EXPECT_EQ(slow.exitStatus, -1);
  // What the helper left behind holds the pipe open, and is ended with it.
  CaptureResult left = RunAndCapture({Helper(), "grandchild", "out:done"}, 60000);
  EXPECT_EQ(left.exitStatus, 0) << left.error;
  EXPECT_NE(left.output.find("done\n"), std::string::npos) << left.output;
}

TEST(RunAndCapture, ErrorOutputIsJoinedOrDiscarded) {
  const std::vector<std::string> argv = {Helper(), "out:out", "err:err"};
  EXPECT_EQ(RunAndCapture(argv, 60000).output, "out\nerr\n");
  EXPECT_EQ(RunAndCapture(argv, 60000, 4096, CaptureStreams::kOutputOnly).output, "out\n");
}

TEST(Processes, KillProcessByNameEndsOnlyCopiesOfThatFile) {
  testsupport::TempDir dir;
  for (const char* sub : {"a", "b", "c"}) fs::create_directories(WideFromUtf8(dir.file(sub)));
  std::random_device rd;
  const std::string name = "zelvora-child-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(rd()) + ".exe";
  const std::string mine = dir.file("a\\" + name), other = dir.file("b\\" + name), link = dir.file("c\\another name.exe");
  fs::copy_file(WideFromUtf8(Helper()), WideFromUtf8(mine));
  fs::copy_file(WideFromUtf8(Helper()), WideFromUtf8(other));
  const bool linked = ::CreateHardLinkW(WideFromUtf8(link).c_str(), WideFromUtf8(mine).c_str(), nullptr);
  std::vector<std::unique_ptr<ChildProcess>> copies;
  for (const std::string& program : {mine, mine, other}) {
    copies.push_back(StartHelper({"out:ready", "hang"}, {}, program));
    ASSERT_TRUE(copies.back());
    ReadUntil(*copies.back(), "ready\n");
  }

  EXPECT_EQ(KillProcessByName(mine, false), 2);  // counted, not touched
  if (linked) {
    EXPECT_EQ(KillProcessByName(link, false), 2) << "the same file under another name";
  }
  for (auto& c : copies) EXPECT_TRUE(c->IsRunning());
  EXPECT_EQ(KillProcessByName(dir.file("a\\not-" + name), true), 0);
  EXPECT_EQ(KillProcessByName(OwnPath(), true), 0) << "never this process";
  EXPECT_EQ(KillProcessByName(mine, true), 2);
  for (int i : {0, 1}) {
    EXPECT_EQ(copies[i]->WaitForExit(std::nullopt), WaitStatus::kExited);
    EXPECT_EQ(copies[i]->Terminate().code, 1);
  }
  // The copy of the same name in another folder was left alone.
  EXPECT_TRUE(copies[2]->IsRunning());
  EXPECT_EQ(KillProcessByName(other, false), 1);
  EXPECT_EQ(KillProcessByName(other, true), 1);
  EXPECT_EQ(copies[2]->WaitForExit(std::nullopt), WaitStatus::kExited);
  EXPECT_EQ(KillProcessByName(other, true), 0);
}

TEST(Processes, SpawnDetachedStartsTheProgramAndOnlyRealPrograms) {
  testsupport::TempDir dir;
  const std::string made = dir.file("made by the helper");
  // Watched before the start, so its creation cannot be missed.
  HANDLE change = ::FindFirstChangeNotificationW(WideFromUtf8(dir.str()).c_str(), FALSE, FILE_NOTIFY_CHANGE_FILE_NAME);
  ASSERT_NE(change, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SpawnDetached({Helper(), "write:" + made}));
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (!fs::exists(WideFromUtf8(made)) && std::chrono::steady_clock::now() < deadline) {
    ::WaitForSingleObject(change, 1000);
    ::FindNextChangeNotification(change);
  }
  ::FindCloseChangeNotification(change);
  EXPECT_TRUE(fs::exists(WideFromUtf8(made)));

  testsupport::WriteFile(dir.file("script.bat"), "@echo never\r\n");
  EXPECT_FALSE(SpawnDetached({dir.file("script.bat")}));
  EXPECT_FALSE(SpawnDetached({"zelvora-no-such-program"}));
  EXPECT_FALSE(SpawnDetached({}));
}

TEST(Processes, OpenWebPageHandsOnlyWebAddressesToTheShell) {
  // Only refusals are tried here: an accepted address would open a browser.
  for (const std::string& url : {std::string(), std::string("--help"), Helper(), std::string("file:///C:/Windows/notepad.exe"),
                                 std::string("C:\\Windows\\notepad.exe"), std::string("mailto:x@example.com")})
    EXPECT_EQ(OpenWebPage(url), 0) << url;
}
#endif

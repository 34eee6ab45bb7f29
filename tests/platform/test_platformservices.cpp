// Platform services: special folders, program folder, helper programs, ending copies of a
// program file, opening web pages and the power control.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "ProcessTable.h"
#include "TestSupport.h"
#include "platform/PowerOff.h"
#include "platform/Process.h"
#include "platform/Processes.h"
#include "platform/KnownFolders.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

pid_t StartProgram(const std::string& path, const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  return pid;
}

// Waits until the child runs the program file (exec done) so that /proc shows it.
bool WaitForExec(pid_t pid, const std::string& path) {
  return testsupport::WaitUntil([&] {
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == fs::path(path);
  });
}

std::string UniqueName(const std::string& stem) {
  std::random_device rd;
  return stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(rd());
}

void MakeScript(const std::string& path, const std::string& body) {
  WriteFile(path, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all);
}

}  // namespace

TEST(SpecialFolders, KindsFollowTheXdgVariablesAndAreCreated) {
  TempDir dir;
  ScopedEnv tmp("TMPDIR", dir.file("tmp") + "/");
  ScopedEnv cache("XDG_CACHE_HOME", dir.file("cache"));
  ScopedEnv data("XDG_DATA_HOME", dir.file("data"));
  ScopedEnv config("XDG_CONFIG_HOME", dir.file("config"));
  fs::create_directories(dir.file("config"));
  struct Case {
    int kind;
    std::string folder;
  } const cases[] = {
      {kFolderSystem, "/usr/lib"},
      {kFolderTemp, dir.file("tmp")},
      {kFolderDesktop, HomeFolder() + "/Desktop"},
      {kFolderInternetCache, dir.file("cache")},
      {kFolderProgramFiles, "/opt"},
      {kFolderLocalData, dir.file("data")},
  };
  for (const auto& c : cases) {
    // A system folder is only named, never created by a test.
    const bool system = c.kind == kFolderProgramFiles || c.kind == kFolderSystem;
    EXPECT_EQ(system ? SpecialFolderPath(c.kind) : GetSpecialFolder(c.kind, 0, 1), c.folder) << c.kind;
    if (!system) {
      EXPECT_TRUE(fs::is_directory(c.folder)) << c.folder;
    }
  }
  EXPECT_EQ(GetSpecialFolder(0x106), "");
  EXPECT_EQ(GetSpecialFolder(kFolderLocalData, 2006, 0), dir.file("data"));

  // The desktop named in user-dirs.dirs wins, with $HOME expanded.
  WriteFile(dir.file("config/user-dirs.dirs"),
            "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/바탕 화면\"\n");
  EXPECT_EQ(GetSpecialFolder(kFolderDesktop), HomeFolder() + "/바탕 화면");
  EXPECT_TRUE(fs::is_directory(HomeFolder() + "/바탕 화면"));
  WriteFile(dir.file("config/user-dirs.dirs"), "XDG_DESKTOP_DIR=\"" + dir.file("desk") + "\"\n");
  EXPECT_EQ(SpecialFolderPath(kFolderDesktop), dir.file("desk"));
  EXPECT_FALSE(fs::exists(dir.file("desk")));  // only the Get form creates it
}

TEST(SpecialFolders, ProgramFolderHoldsTheRunningProgram) {
  const std::string folder = GetProgramFolder();
  EXPECT_EQ(fs::read_symlink("/proc/self/exe").parent_path().string(), folder);
  EXPECT_NE(folder.back(), '/');
}

TEST(Processes, FindExecutableLooksBesideThenOnPath) {
  TempDir a, b;
  MakeScript(b.file("tool"), "exit 0\n");
  WriteFile(a.file("tool"), "not executable");
  ScopedEnv path("PATH", "::" + b.str());
  EXPECT_EQ(platform::FindExecutable("tool"), b.file("tool"));
  EXPECT_EQ(platform::FindExecutable("tool", a.str()), b.file("tool"));
  MakeScript(a.file("tool"), "exit 0\n");
  EXPECT_EQ(platform::FindExecutable("tool", a.str()), a.file("tool"));
  EXPECT_EQ(platform::FindExecutable("nothing-here"), "");
  // A name with a folder in it is that file, never looked for in the PATH folders.
  EXPECT_EQ(platform::FindExecutable("../tool"), "../tool");
  EXPECT_EQ(platform::FindExecutable("../tool", a.str()), "../tool");
}

TEST(Processes, KillProcessByNameEndsOnlyCopiesOfThatFile) {
  TempDir dir;
  fs::create_directories(dir.file("a"));
  fs::create_directories(dir.file("b"));
  const std::string name = UniqueName("zelvora-sleep");
  const std::string mine = dir.file("a/" + name), other = dir.file("b/" + name);
  fs::copy_file("/bin/sleep", mine);
  fs::copy_file("/bin/sleep", other);
  testsupport::ChildGuard guard;  // none of them outlives a failed assertion
  pid_t p1 = guard.Add(StartProgram(mine, {"60"})), p2 = guard.Add(StartProgram(mine, {"60"}));
  pid_t p3 = guard.Add(StartProgram(other, {"60"}));
  ASSERT_TRUE(WaitForExec(p1, mine));
  ASSERT_TRUE(WaitForExec(p2, mine));
  ASSERT_TRUE(WaitForExec(p3, other));

  EXPECT_EQ(KillProcessByName(mine, false), 2);  // counted, not touched
  EXPECT_EQ(::waitpid(p1, nullptr, WNOHANG), 0);
  EXPECT_EQ(KillProcessByName(dir.file("a/" + name + "-not"), true), 0);
  EXPECT_EQ(KillProcessByName(mine, true), 2);
  for (pid_t p : {p1, p2}) {
    int status = 0;
    ASSERT_EQ(::waitpid(p, &status, 0), p);
    guard.Forget(p);
    EXPECT_TRUE(WIFSIGNALED(status));
  }
  // The copy of the same name in another folder was never signalled.
  EXPECT_EQ(::waitpid(p3, nullptr, WNOHANG), 0);
  EXPECT_EQ(KillProcessByName(other, false), 1);
  // A program file already replaced on disk still identifies its running copies.
  fs::remove(other);
  EXPECT_EQ(KillProcessByName(other, true), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(p3, &status, 0), p3);
  guard.Forget(p3);
  EXPECT_TRUE(WIFSIGNALED(status));
}

TEST(Processes, OpenWebPageHandsTheAddressToXdgOpenUnchanged) {
  TempDir bin;
  const std::string record = bin.file("args");
  MakeScript(bin.file("xdg-open"), "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" + record + ".tmp'\nmv '" +
                                       record + ".tmp' '" + record + "'\n");
  ScopedEnv path("PATH", bin.str() + ":/usr/bin:/bin");
  const std::string url = "https://example.test/a?b=1&c=$(touch x);`id`";
  EXPECT_EQ(OpenWebPage(url), 1);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return fs::exists(record); })) << "xdg-open never ran";
  EXPECT_EQ(ReadFile(record), url + "\n");
  EXPECT_EQ(OpenWebPage("--help"), 0);
  EXPECT_EQ(OpenWebPage(""), 0);
  ScopedEnv empty("PATH", bin.file("none"));
  EXPECT_EQ(OpenWebPage(url), 0);
}

TEST(PowerControl, TestsInstallAFake) {
  FakePowerControl fake;
  SetPowerControl(&fake);
  EXPECT_EQ(&CurrentPowerControl(), &fake);
  SetPowerControl(nullptr);
  EXPECT_NE(dynamic_cast<SystemPowerControl*>(&CurrentPowerControl()), nullptr);
}

// The system's power control asks logind through busctl and powers off through systemctl; here
// both are scripts that record their arguments, and PATH holds nothing else.
TEST(PowerControl, SystemControlAsksLogindBeforePoweringOff) {
  TempDir bin;
  const std::string calls = bin.file("calls");
  ScopedEnv noStandIn("ZELVORA_POWER_OFF_PROGRAM", "");
  ScopedEnv path("PATH", bin.str());
  struct Case {
    const char* busctl;  // its output, or empty for a failure
    int allowed;
  } const cases[] = {
      {"s \"yes\"", 1}, {"s \"challenge\"", 1}, {"s \"no\"", 0}, {"s \"na\"", 0}, {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.busctl);
    std::string body = "echo \"busctl $*\" >> '" + calls + "'\n";
    body += *c.busctl ? std::string("echo '") + c.busctl + "'\n" : std::string("exit 1\n");
    MakeScript(bin.file("busctl"), body);
    fs::remove(calls);
    SystemPowerControl power;
    EXPECT_EQ(power.EnableShutdownPrivilege(), c.allowed);
    EXPECT_EQ(ReadFile(calls),
              "busctl call org.freedesktop.login1 /org/freedesktop/login1 org.freedesktop.login1.Manager CanPowerOff\n");
  }
  for (int status : {0, 1}) {
    MakeScript(bin.file("systemctl"), "echo \"systemctl $*\" >> '" + calls + "'\nexit " + std::to_string(status) + "\n");
    fs::remove(calls);
    SystemPowerControl power;
    EXPECT_EQ(power.PowerOff(), status == 0 ? 1 : 0);
    EXPECT_EQ(ReadFile(calls), "systemctl poweroff\n");
  }
}

// ZELVORA_POWER_OFF_PROGRAM replaces logind altogether: what tests use so they never reach it.
TEST(PowerControl, ProgramNamedInTheEnvironmentStandsInForLogind) {
  TempDir dir;
  const std::string calls = dir.file("calls"), program = dir.file("power");
  ScopedEnv emptyPath("PATH", dir.file("nothing"));  // no busctl, no systemctl
  ScopedEnv standIn("ZELVORA_POWER_OFF_PROGRAM", program);
  for (int status : {0, 1}) {
    MakeScript(program, "echo \"$*\" >> '" + calls + "'\nexit " + std::to_string(status) + "\n");
    fs::remove(calls);
    SystemPowerControl power;
    EXPECT_EQ(power.EnableShutdownPrivilege(), status == 0 ? 1 : 0);
    EXPECT_EQ(power.PowerOff(), status == 0 ? 1 : 0);
    EXPECT_EQ(ReadFile(calls), "can-power-off\npower-off\n");
  }
  // Every test program starts with a stand-in that refuses.
  ScopedEnv startUp("ZELVORA_POWER_OFF_PROGRAM", "/bin/false");
  EXPECT_EQ(SystemPowerControl().EnableShutdownPrivilege(), 0);
}

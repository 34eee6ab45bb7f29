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
void WaitForExec(pid_t pid, const std::string& path) {
  for (int i = 0; i < 500; ++i) {
    std::error_code ec;
    if (fs::read_symlink("/proc/" + std::to_string(pid) + "/exe", ec) == fs::path(path)) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
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
    EXPECT_EQ(GetSpecialFolder(c.kind, 0, 1), c.folder) << c.kind;
    if (c.kind != kFolderProgramFiles) {
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
  pid_t p1 = StartProgram(mine, {"60"}), p2 = StartProgram(mine, {"60"}), p3 = StartProgram(other, {"60"});
  WaitForExec(p1, mine);
  WaitForExec(p2, mine);
  WaitForExec(p3, other);

  EXPECT_EQ(KillProcessByName(mine, false), 2);  // counted, not touched
  EXPECT_EQ(::waitpid(p1, nullptr, WNOHANG), 0);
  EXPECT_EQ(KillProcessByName(dir.file("a/" + name + "-not"), true), 0);
  EXPECT_EQ(KillProcessByName(mine, true), 2);
  for (pid_t p : {p1, p2}) {
    int status = 0;
    ASSERT_EQ(::waitpid(p, &status, 0), p);
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
  for (int i = 0; i < 500 && !fs::exists(record); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ReadFile(record), url + "\n");
  EXPECT_EQ(OpenWebPage("--help"), 0);
  EXPECT_EQ(OpenWebPage(""), 0);
  ScopedEnv empty("PATH", bin.file("none"));
  EXPECT_EQ(OpenWebPage(url), 0);
}

TEST(PowerControl, TestsInstallAFake) {
  FakePowerControl fake;
  fake.privilegeResult = 0;
  SetPowerControl(&fake);
  EXPECT_EQ(CurrentPowerControl().EnableShutdownPrivilege(), 0);
  EXPECT_EQ(CurrentPowerControl().PowerOff(), 1);
  EXPECT_EQ(fake.privilegeCalls, 1);
  EXPECT_EQ(fake.powerOffCalls, 1);
  SetPowerControl(nullptr);
  EXPECT_NE(dynamic_cast<SystemPowerControl*>(&CurrentPowerControl()), nullptr);
}

// Platform services: special folders, program folder, helper programs, ending copies of a
// program file, opening web pages and the power control.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>
#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#include <shellapi.h>

#include "support/AsciiText.h"
#include "support/FileUtils.h"
#include "support/WideText.h"
#else
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ProcessTable.h"
#include "platform/Process.h"
#include "platform/Processes.h"
#endif

#include "TestSupport.h"
#include "platform/KnownFolders.h"
#include "platform/PowerOff.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::ScopedEnv;
using testsupport::TempDir;
using testsupport::WriteFile;

#ifndef _WIN32
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

#endif

TEST(PowerControl, TestsInstallAFake) {
  FakePowerControl fake;
  SetPowerControl(&fake);
  EXPECT_EQ(&CurrentPowerControl(), &fake);
  SetPowerControl(nullptr);
  EXPECT_NE(dynamic_cast<SystemPowerControl*>(&CurrentPowerControl()), nullptr);
}

#ifndef _WIN32
// Puts the recording scripts of `bin` over the machine's own busctl and systemctl, wherever they
// are, in this test program's private mount namespace: a power control that ran them by their full
// path would still reach only the scripts. The mounts go with the scope (and with the namespace
// when the program dies). Without the namespace (not root) only PATH keeps them away, and there a
// real power-off is refused to a user without a session anyway.
class RealPowerProgramsHidden {
 public:
  explicit RealPowerProgramsHidden(const TempDir& bin) {
    if (!testsupport::PrivateMountNamespace()) {
      std::printf("no private mount namespace (%s): only PATH keeps the real busctl and systemctl away\n",
                  std::strerror(errno));
      return;
    }
    for (const char* name : {"busctl", "systemctl"}) {
      MakeScript(bin.file(name), "exit 1\n");  // until a case writes its own
      for (const char* dir : {"/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/", "/usr/local/bin/"}) {
        std::error_code ec;
        const fs::path real = fs::canonical(std::string(dir) + name, ec);
        if (ec || std::find(mounted_.begin(), mounted_.end(), real) != mounted_.end()) continue;
        if (::mount(bin.file(name).c_str(), real.c_str(), nullptr, MS_BIND, nullptr) == 0)
          mounted_.push_back(real);
        else
          ADD_FAILURE() << "cannot cover " << real << ": " << std::strerror(errno);
      }
    }
  }
  ~RealPowerProgramsHidden() {
    for (const fs::path& p : mounted_) ::umount(p.c_str());
  }

 private:
  std::vector<fs::path> mounted_;
};

// The system's power control asks logind through busctl and powers off through systemctl; here
// both are scripts that record their arguments: PATH holds nothing else, and the machine's own
// programs are covered by them too.
TEST(PowerControl, SystemControlAsksLogindBeforePoweringOff) {
  TempDir bin;
  const std::string calls = bin.file("calls");
  ScopedEnv noStandIn("ZELVORA_POWER_OFF_PROGRAM", "");
  ScopedEnv path("PATH", bin.str());
  RealPowerProgramsHidden hidden(bin);
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
#endif

#ifdef _WIN32
namespace {

std::wstring Wide(const std::string& text) { return WideFromUtf8(text); }

bool IsFolder(const std::string& path) {
  const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// This test program, started with "can-power-off" or "power-off", is the power-off stand-in:
// it appends its argument to the file ZELVORA_TEST_POWER_RECORD names and ends with the status
// ZELVORA_TEST_POWER_STATUS gives, before any test runs.
[[maybe_unused]] const bool kStandIn = [] {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  const bool asked = argv && argc == 2 && (std::wcscmp(argv[1], L"can-power-off") == 0 ||
                                           std::wcscmp(argv[1], L"power-off") == 0);
  if (asked) {
    const wchar_t* record = ::_wgetenv(L"ZELVORA_TEST_POWER_RECORD");
    const wchar_t* status = ::_wgetenv(L"ZELVORA_TEST_POWER_STATUS");
    if (FILE* out = record ? ::_wfopen(record, L"ab") : nullptr) {
      std::fputs((Utf8FromWide(argv[1]) + "\n").c_str(), out);
      std::fclose(out);
    }
    ::ExitProcess(status ? static_cast<UINT>(std::wcstoul(status, nullptr, 10)) : 1);
  }
  ::LocalFree(argv);
  return false;
}();

// Whether SeShutdownPrivilege is switched on in this process's token, as the token itself says.
bool ShutdownPrivilegeEnabled() {
  LUID shutdown{};
  if (!::LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &shutdown)) return false;
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::vector<char> buffer(size);
  bool enabled = false;
  if (::GetTokenInformation(token, TokenPrivileges, buffer.data(), size, &size)) {
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
      if (privileges->Privileges[i].Luid.LowPart == shutdown.LowPart &&
          privileges->Privileges[i].Luid.HighPart == shutdown.HighPart)
        enabled = (privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
  }
  ::CloseHandle(token);
  return enabled;
}

}  // namespace

TEST(SpecialFolders, KindsAreExistingFoldersOfTheSystem) {
  for (int kind : {kFolderSystem, kFolderTemp, kFolderDesktop, kFolderInternetCache, kFolderProgramFiles}) {
    const std::string folder = kind == kFolderProgramFiles ? SpecialFolderPath(kind) : GetSpecialFolder(kind);
    SCOPED_TRACE(folder);
    ASSERT_GT(folder.size(), 3u) << kind;
    EXPECT_EQ(folder[1], ':') << kind;  // a drive path
    EXPECT_NE(folder.back(), '\\') << kind;
    EXPECT_TRUE(IsFolder(folder)) << kind;
  }
  EXPECT_EQ(GetSpecialFolder(0x106), "");
  wchar_t system[MAX_PATH];
  UINT n = ::GetSystemDirectoryW(system, MAX_PATH);
  EXPECT_EQ(SpecialFolderPath(kFolderSystem), Utf8FromWide(std::wstring(system, n)));

  // The local data folder in both flavours, from Vista on; before it, program files.
  const std::string low = GetSpecialFolder(kFolderLocalData, 2006, 1);
  const std::string local = GetSpecialFolder(kFolderLocalData, 2006, 0);
  EXPECT_TRUE(EndsWith(low, "\\AppData\\LocalLow")) << low;
  EXPECT_TRUE(EndsWith(local, "\\AppData\\Local")) << local;
  EXPECT_TRUE(IsFolder(low) && IsFolder(local));
  EXPECT_EQ(SpecialFolderPath(kFolderLocalData), low);
  EXPECT_EQ(GetSpecialFolder(kFolderLocalData, 2006, 2), local);  // not in the browser's protected mode
  EXPECT_EQ(GetSpecialFolder(kFolderLocalData, 2002, 1), SpecialFolderPath(kFolderProgramFiles));
}

// The temporary folder follows TMP, as GetTempPathW does; a missing one is created with all of
// its parents, Korean names and all.
TEST(SpecialFolders, TemporaryFolderFollowsTmpAndIsCreated) {
  TempDir dir;
  const std::string base = Utf8FromWide(dir.path().wstring());
  const std::string tmp = base + "\\임시 폴더\\깊은 곳";
  testsupport::ScopedEnv variable("TMP", tmp + "\\");
  EXPECT_EQ(SpecialFolderPath(kFolderTemp), tmp);
  EXPECT_FALSE(IsFolder(tmp));  // naming it creates nothing
  EXPECT_EQ(GetSpecialFolder(kFolderTemp), tmp);
  EXPECT_TRUE(IsFolder(tmp));
}

TEST(SpecialFolders, HomeProgramFolderAndFont) {
  {
    testsupport::ScopedEnv profile("USERPROFILE", "C:\\users\\사용자\\");
    EXPECT_EQ(HomeFolder(), "C:\\users\\사용자");
  }
  // The folder of this program: its own file is there, by the name it was started with.
  const std::string folder = GetProgramFolder();
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  ASSERT_GE(argc, 1);
  std::wstring name = fs::path(argv[0]).filename().wstring();
  ::LocalFree(argv);
  if (!EndsWith(Utf8FromWide(name), ".exe")) name += L".exe";
  EXPECT_NE(folder.back(), '\\');
  EXPECT_EQ(FileExists(folder + "\\" + Utf8FromWide(name)), 1) << folder;

  // Gulim when the system has it, else Malgun Gothic, else nothing.
  wchar_t windows[MAX_PATH];
  UINT n = ::GetSystemWindowsDirectoryW(windows, MAX_PATH);
  const std::string fonts = Utf8FromWide(std::wstring(windows, n)) + "\\Fonts\\";
  std::string expected;
  if (FileExists(fonts + "malgun.ttf")) expected = fonts + "malgun.ttf";
  if (FileExists(fonts + "gulim.ttc")) expected = fonts + "gulim.ttc";
  EXPECT_TRUE(SameIgnoringCase(DefaultHangulFontFile(), expected)) << DefaultHangulFontFile();
}

// With no stand-in the real privilege call is made (never the power-off): its answer is what
// the token says afterwards.
TEST(PowerControl, ShutdownPrivilegeIsSwitchedOnInTheToken) {
  testsupport::ScopedEnv noStandIn("ZELVORA_POWER_OFF_PROGRAM", "");
  SystemPowerControl power;
  const int result = power.EnableShutdownPrivilege();
  EXPECT_EQ(result == 1, ShutdownPrivilegeEnabled());
}

// ZELVORA_POWER_OFF_PROGRAM replaces the system altogether: what tests use so they never reach
// it. Here the stand-in is this program itself.
TEST(PowerControl, ProgramNamedInTheEnvironmentStandsInForTheSystem) {
  TempDir dir;
  const std::string record = Utf8FromWide((dir.path() / L"calls.txt").wstring());
  wchar_t self[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  ASSERT_GT(n, 0u);
  testsupport::ScopedEnv standIn("ZELVORA_POWER_OFF_PROGRAM", Utf8FromWide(std::wstring(self, n)));
  testsupport::ScopedEnv recordTo("ZELVORA_TEST_POWER_RECORD", record);
  for (int status : {0, 1}) {
    testsupport::ScopedEnv answer("ZELVORA_TEST_POWER_STATUS", std::to_string(status));
    ::DeleteFileW(Wide(record).c_str());
    SystemPowerControl power;
    EXPECT_EQ(power.EnableShutdownPrivilege(), status == 0 ? 1 : 0);
    EXPECT_EQ(power.PowerOff(), status == 0 ? 1 : 0);
    EXPECT_EQ(ReadFile(record), "can-power-off\npower-off\n");
  }
  // Every test program starts with a stand-in that cannot even be started: the answer is no.
  testsupport::ScopedEnv startUp("ZELVORA_POWER_OFF_PROGRAM", "/bin/false");
  EXPECT_EQ(SystemPowerControl().EnableShutdownPrivilege(), 0);
  EXPECT_EQ(SystemPowerControl().PowerOff(), 0);
}
#endif

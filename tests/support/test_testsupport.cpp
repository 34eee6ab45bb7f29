// The test helpers themselves: a folder snapshot sees every kind of change, a clip ffmpeg cannot
// make fails the test that asked for it, a missing tool is a failure when tools are required, and
// a mount made in the private mount namespace dies with a killed test.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#ifdef __linux__
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "TestSupport.h"

namespace fs = std::filesystem;
using testsupport::ScopedEnv;
using testsupport::Snapshot;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// A modification time clearly apart from "now", so that a rewrite is seen however coarse the clock.
void SetOldTime(const std::string& path) { testsupport::SetTime(path, 1600000000); }

}  // namespace

TEST(Snapshot, SeesEveryChangeAndNothingElse) {
  struct Case {
    const char* what;
    std::function<void(const TempDir&)> change;
    bool seen;
  } const cases[] = {
      {"nothing done", [](const TempDir&) {}, false},
      {"a file read", [](const TempDir& d) { testsupport::ReadFile(d.file("a.txt")); }, false},
      {"the same bytes written again", [](const TempDir& d) { WriteFile(d.file("a.txt"), "alpha"); }, true},
      {"other bytes of the same size", [](const TempDir& d) { WriteFile(d.file("a.txt"), "ALPHA"); }, true},
      {"a file's permission bits changed",
       [](const TempDir& d) { fs::permissions(d.file("a.txt"), fs::perms::owner_write, fs::perm_options::remove); }, true},
      {"a file added in a folder", [](const TempDir& d) { WriteFile(d.file("sub/new"), ""); }, true},
      {"a file removed", [](const TempDir& d) { fs::remove(d.file("sub/b.txt")); }, true},
      {"an empty folder added", [](const TempDir& d) { fs::create_directory(d.file("empty")); }, true},
      {"a link pointed elsewhere",
       [](const TempDir& d) {
         fs::remove(d.file("link"));
         fs::create_symlink("sub/b.txt", d.file("link"));
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    fs::create_directory(dir.file("sub"));
    WriteFile(dir.file("a.txt"), "alpha");
    WriteFile(dir.file("sub/b.txt"), "beta");
    SetOldTime(dir.file("a.txt"));
    SetOldTime(dir.file("sub/b.txt"));
    fs::create_symlink("a.txt", dir.file("link"));
    const auto before = Snapshot(dir.path());
    ASSERT_EQ(before.size(), 4u);  // a.txt, sub, sub/b.txt, link
    c.change(dir);
    EXPECT_EQ(Snapshot(dir.path()) != before, c.seen);
  }
}

TEST(Snapshot, OfOneFileSeesThatFile) {
  TempDir dir;
  WriteFile(dir.file("clip.avi"), "bytes");
  SetOldTime(dir.file("clip.avi"));
  const auto before = Snapshot(dir.path() / "clip.avi");
  ASSERT_EQ(before.size(), 1u);
  EXPECT_EQ(Snapshot(dir.path() / "clip.avi"), before);
  WriteFile(dir.file("clip.avi"), "bytes");
  EXPECT_NE(Snapshot(dir.path() / "clip.avi"), before);
  fs::remove(dir.file("clip.avi"));
  EXPECT_TRUE(Snapshot(dir.path() / "clip.avi").empty());
}

TEST(MakeClip, FailsTheTestWhenFfmpegCannotMakeIt) {
  TempDir dir;
  std::string made = "unset";
  // ffmpeg refuses an encoder that does not exist; without ffmpeg on PATH the start fails.
  EXPECT_NONFATAL_FAILURE(
      made = testsupport::MakeClip(dir.file("clip.avi"), {.options = {"-c:v", "no-such-encoder"}}), "could not make");
  EXPECT_EQ(made, "");
  {
    ScopedEnv path("PATH", dir.file("nothing"));
    EXPECT_NONFATAL_FAILURE(made = testsupport::MakeClip(dir.file("clip.avi")), "ffmpeg is not installed");
  }
  EXPECT_EQ(made, "");
  EXPECT_FALSE(fs::exists(dir.file("clip.avi")) && fs::file_size(dir.file("clip.avi")) > 0);
}

TEST(MakeClip, MakesWhatItWasAskedFor) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffprobe");
  TempDir dir;
  const std::string clip = testsupport::MakeClip(dir.file("clip.mkv"), {.seconds = 3, .size = "176x144"});
  ASSERT_EQ(clip, dir.file("clip.mkv"));
  std::string out;
  ASSERT_EQ(testsupport::RunCommand({"ffprobe", "-v", "error", "-show_entries",
                                     "stream=codec_name,width,height:format=format_name,duration", "-of", "csv=p=0",
                                     clip},
                                    &out),
            0)
      << out;
  EXPECT_NE(out.find("mpeg4,176,144"), std::string::npos) << out;
  EXPECT_NE(out.find("mp3"), std::string::npos) << out;
  EXPECT_NE(out.find("matroska"), std::string::npos) << out;
  EXPECT_NE(out.find(",3."), std::string::npos) << out;  // three seconds long
}

// The skip of a missing tool: a failure naming the tool when tools are required, else a skip.
TEST(ToolSkip, MissingToolFailsWhenRequiredAndSkipsOtherwise) {
  ScopedEnv path("PATH", TempDir().file("nothing"));
  {
    ScopedEnv required("ZELVORA_REQUIRE_TOOLS", "1");
    EXPECT_FATAL_FAILURE([] { ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg"); }(), "ffmpeg is not installed (setup installs it)");
    EXPECT_NONFATAL_FAILURE(testsupport::SkipCaseWithoutTool(true, "gcab is not installed"), "gcab is not installed");
  }
  ScopedEnv allowed("ZELVORA_REQUIRE_TOOLS", "0");
  // Its skip note is what marks a test skipped in the suite's report: kept out of this one's.
  testing::internal::CaptureStdout();
  EXPECT_TRUE(testsupport::SkipCaseWithoutTool(true, "gcab is not installed"));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("[  SKIPPED ] a case: gcab is not installed"), std::string::npos);
  EXPECT_FALSE(testsupport::SkipCaseWithoutTool(false, "gcab is not installed"));
}

#ifdef __linux__
namespace {

// Whether `folder` is a mount point in the mount table of process `pid` ("self" for this one).
bool MountedAt(const std::string& pid, const std::string& folder) {
  std::ifstream table("/proc/" + pid + "/mountinfo");
  std::string line;
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    if (fields >> id >> parent >> device >> root >> point && point == folder) return true;
  }
  return false;
}

}  // namespace

// The fault tests mount their small and read-only file systems in a private mount namespace, so
// that a test killed before its unmount leaves nothing mounted on the machine: the namespace, and
// its mounts with it, ends with the last process in it. A child mounts there and is SIGKILLed.
TEST(PrivateMountNamespace, AMountThereNeverOutlivesAKilledTest) {
  TempDir dir;
  const std::string folder = dir.file("mnt");
  fs::create_directory(folder);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives a test that ended meanwhile
    ::close(ready[0]);
    int error = 0;
    if (!testsupport::PrivateMountNamespace() || ::mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=16k") != 0)
      error = errno;
    (void)!::write(ready[1], &error, sizeof error);
    if (error != 0) ::_exit(1);
    for (;;) ::pause();  // mounted, until killed
  }
  ::close(ready[1]);
  int error = -1;
  const bool told = ::read(ready[0], &error, sizeof error) == static_cast<ssize_t>(sizeof error);
  ::close(ready[0]);
  if (!told || error != 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ZELVORA_SKIP_WITHOUT_TOOL(true, std::string("a tmpfs could not be mounted in a private mount namespace: ") +
                                        (told ? std::strerror(error) : "the child said nothing"));
  }
  // The child is alive and paused, so its mount table is there to read.
  EXPECT_TRUE(MountedAt(std::to_string(child), folder)) << "the child's tmpfs is not in its own mount table";
  const bool seenBefore = MountedAt("self", folder);
  ASSERT_EQ(::kill(child, SIGKILL), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
  const bool seenAfter = MountedAt("self", folder);
  if (seenAfter) ::umount2(folder.c_str(), MNT_DETACH);  // what the failure below reports is not left behind
  EXPECT_FALSE(seenBefore) << folder << " was mounted in the namespace that started the test";
  EXPECT_FALSE(seenAfter) << folder << " stayed mounted after the test that mounted it was killed";
}
#endif

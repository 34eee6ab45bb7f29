// File and folder helpers, the wait step's pump hook, and the size and duration texts.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "TestSupport.h"
#include "support/FileUtils.h"
#include "support/TextFormat.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

TEST(FileUtils, MakeFolderPathCreatesOnlyMissingFolders) {
  struct Case {
    const char* existing;  // created before, relative to the temporary folder ("" for none)
    const char* path;      // relative to the temporary folder
    int created;
    const char* made;      // a folder that must exist afterwards
  } const cases[] = {
      {"a", "a/b/", 1, "a/b"},
      {"", "x/./y", 2, "x/y"},
      {"", "p//q///", 2, "p/q"},
      {"", " s / t ", 2, "s/t"},           // blanks around components are trimmed
      {"", "u/../v", 2, "u/v"},             // ".." never climbs out
      {"m/n", "m/n", 0, "m/n"},
#ifdef _WIN32
      {"a", "a\\b\\", 1, "a/b"},  // Windows separates with either slash
      {"", "x\\.\\y", 2, "x/y"},
      {"", "p/q\\r", 3, "p/q/r"},
#endif
  };
  for (const auto& c : cases) {
    TempDir dir;
    if (*c.existing) fs::create_directories(dir.path() / c.existing);
    std::string normalized;
    EXPECT_EQ(MakeFolderPath(dir.str() + "/" + c.path, &normalized), c.created) << c.path;
    EXPECT_TRUE(fs::is_directory(dir.path() / c.made)) << c.path;
    EXPECT_EQ(normalized.back() == '/' || normalized.back() == '\\', false) << normalized;
  }
  EXPECT_EQ(MakeFolderPath(""), 0);
  EXPECT_EQ(MakeFolderPath("/"), 0);
  EXPECT_EQ(MakeFolderPath("//"), 0);
  TempDir dir;
  WriteFile(dir.file("file"), "x");
  EXPECT_EQ(MakeFolderPath(dir.file("file/sub")), 0);  // a file in the way: nothing is created
}

TEST(FileUtils, FileStatusDeleteAndModificationTime) {
  TempDir dir;
  const std::string f = dir.file("f.bin");
  int64_t mtime = -1, size = -1;
  EXPECT_EQ(FileExists(f), 0);
  EXPECT_EQ(GetFileStatus(f, &mtime, &size), 0);
  EXPECT_EQ(SetFileModTime(f, 1), 0);
  WriteFile(f, "12345");
  EXPECT_EQ(FileExists(f), 1);
  EXPECT_EQ(FileExists(dir.str()), 1);
  for (int64_t t : {int64_t{1234567890}, int64_t{0}, int64_t{-86400}, int64_t{4102444800}}) {
    ASSERT_EQ(SetFileModTime(f, t), 1);
    ASSERT_EQ(GetFileStatus(f, &mtime, nullptr), 1);
    EXPECT_EQ(mtime, t);
  }
  ASSERT_EQ(GetFileStatus(f, nullptr, &size), 1);
  EXPECT_EQ(size, 5);
  EXPECT_EQ(DeleteFileIfPresent(f), 1);
  EXPECT_EQ(FileExists(f), 0);
  EXPECT_EQ(DeleteFileIfPresent(f), 1);  // absent counts as done
  fs::create_directory(dir.file("d"));
  EXPECT_EQ(DeleteFileIfPresent(dir.file("d")), 0);
}

TEST(FileUtils, MoveFileByCopy) {
  TempDir dir;
  const std::string src = dir.file("src"), dst = dir.file("dst");
  EXPECT_EQ(MoveFileByCopy(src, dst), 1);  // no source: nothing to do
  EXPECT_FALSE(fs::exists(dst));
  WriteFile(src, "new contents");
  WriteFile(dst, "old contents that are longer");
  EXPECT_EQ(MoveFileByCopy(src, dst), 1);
  EXPECT_FALSE(fs::exists(src));
  EXPECT_EQ(ReadFile(dst), "new contents");
  // Onto itself: refused, and the file keeps its bytes.
  EXPECT_EQ(MoveFileByCopy(dst, dst), 0);
  EXPECT_EQ(ReadFile(dst), "new contents");
  EXPECT_EQ(MoveFileByCopy(dst, dir.file("missing/dst")), 0);
  EXPECT_TRUE(fs::exists(dst));
}

TEST(FileUtils, CutAfterLastSeparator) {
  struct Case {
    const char* path;
    bool keep;
    const char* result;
  } const cases[] = {
      {"/a/b/c.txt", false, "/a/b"}, {"/a/b/c.txt", true, "/a/b/"}, {"name", false, "name"},
      {"/top", false, ""},           {"/top", true, "/"},           {"a/b/", false, "a/b"},
  };
  for (const auto& c : cases) {
    std::string p = c.path;
    EXPECT_EQ(CutAfterLastBackslash(p, c.keep), c.result) << c.path << " " << c.keep;
  }
}

TEST(FileUtils, WaitStepRunsOnlyTheCallingThreadsHook) {
  int calls = 0;
  SetWaitPumpHook([&] { ++calls; });
  EXPECT_EQ(PumpMessages(0, 3), 0);
  EXPECT_EQ(calls, 3);
  std::thread other([] { PumpMessages(0, 2); });
  other.join();
  EXPECT_EQ(calls, 3);
  SetWaitPumpHook({});
  WaitStep(0);
  EXPECT_EQ(calls, 3);
}

TEST(FileUtils, SystemFacts) {
  EXPECT_GE(GetProcessorCount(), 1);
#ifdef _WIN32
  // Every system this build runs on (Windows 7 or later, or Wine) exports GetLocaleInfoEx.
  EXPECT_EQ(GetWindowsVersionCode(), 2006);
#else
  EXPECT_EQ(GetWindowsVersionCode(), 0);
#endif
}

TEST(TextFormat, ByteSizes) {
  struct Case {
    int64_t bytes;
    const char* text;
  } const cases[] = {
      {0, ""},
      {1, "1 Bytes"},
      {1023, "1023 Bytes"},
      {1024, "1KB"},
      {1025, "2KB"},
      {1048576, "1MB"},
      {1048577, "2MB"},
      {1610612736, "1.5GB"},
      {(int64_t{1} << 40) - 1, "1024.0GB"},
      {(int64_t{1} << 40) + 1, "1.0TB"},
      {(int64_t{3} << 40) + (int64_t{1} << 39), "3.0TB"},  // whole terabytes only
      {-5, "-5 Bytes"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatByteSize(c.bytes), c.text) << c.bytes;
}

TEST(TextFormat, Durations) {
  struct Case {
    int64_t seconds;
    char separator;
    const char* text;
  } const cases[] = {
      {3725, ':', "01:02:05"}, {3725, 0, "010205"},     {360000, ':', "100:00:00"},
      {0, ':', "00:00:00"},    {59, '.', "00.00.59"},    {86399, 0, "235959"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_TRUE(FormatDuration(c.seconds, out, c.separator));
    EXPECT_EQ(out, c.text) << c.seconds;
  }
  std::string kept = "kept";
  EXPECT_FALSE(FormatDuration(-1, kept, ':'));
  EXPECT_EQ(kept, "kept");
}

// Diagnostic log: targets, line shape, month stamps, and records of many threads never mixing.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "support/DebugLog.h"
#include "support/WideText.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// 2014-03-09 07:05:31 in local time.
long long March9() {
  std::tm tm{};
  tm.tm_year = 114;
  tm.tm_mon = 2;
  tm.tm_mday = 9;
  tm.tm_hour = 7;
  tm.tm_min = 5;
  tm.tm_sec = 31;
  tm.tm_isdst = -1;
  return static_cast<long long>(std::mktime(&tm));
}

struct LogFolder {
  LogFolder() { fs::create_directories(DebugLogFolder()); }
  ~LogFolder() { fs::remove_all(DebugLogFolder()); }
  std::string file(const std::string& name) const { return DebugLogFolder() + "/" + name; }
};

}  // namespace

TEST(DebugLog, TimestampHasFixedShape) { EXPECT_EQ(LogTimestamp(March9()), "2014.03.09 Su 07:05:31"); }

TEST(DebugLog, PathTargetsGetMonthOrHourStamp) {
  const long long t = March9();
  EXPECT_EQ(ResolveLogPath("/d/logs/error_log.txt", t), "/d/logs/error_log_201403.txt");
  EXPECT_EQ(ResolveLogPath("/d/time_logs/t.log", t), "/d/time_logs/t_2014030907.log");
  EXPECT_EQ(ResolveLogPath("/d/logs/nodot", t), "/d/logs/nodot");
  // A dot in a folder name is not an extension.
  EXPECT_EQ(ResolveLogPath("/home/u/.local/error_log", t), "/home/u/.local/error_log");
  EXPECT_EQ(ResolveLogPath("/d/.hidden", t), "/d/.hidden");
#ifdef _WIN32
  EXPECT_EQ(ResolveLogPath("debug.log", t), DebugLogFolder() + "\\debug.log");
  // Windows paths, with either slash.
  EXPECT_EQ(ResolveLogPath("D:\\logs\\error_log.txt", t), "D:\\logs\\error_log_201403.txt");
  EXPECT_EQ(ResolveLogPath("D:\\time_logs\\t.log", t), "D:\\time_logs\\t_2014030907.log");
  EXPECT_EQ(ResolveLogPath("C:\\v1.2\\log", t), "C:\\v1.2\\log");
#else
  EXPECT_EQ(ResolveLogPath("debug.log", t), DebugLogFolder() + "/debug.log");
#endif
}

#ifdef _WIN32
// The fixed folder of the log, unless a test program moved it; the error log beside the program.
TEST(DebugLog, WindowsFoldersOfTheLogs) {
  {
    testsupport::ScopedEnv unmoved("ZELVORA_DEBUG_LOG_FOLDER", "");
    EXPECT_EQ(DebugLogFolder(), "C:\\debug_logs");
  }
  EXPECT_NE(DebugLogFolder(), "C:\\debug_logs");  // every test program has its own
  wchar_t self[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  ASSERT_GT(n, 0u);
  const fs::path beside = fs::path(std::wstring(self, n)).parent_path() / L"error_log.txt";
  EXPECT_EQ(DefaultErrorLogPath(), Utf8FromWide(beside.wstring()));
}
#endif

TEST(DebugLog, NothingWrittenWithoutTargetOrFolder) {
  EXPECT_FALSE(DebugLog(nullptr, "text"));
  EXPECT_FALSE(DebugLog("", "text"));
  fs::remove_all(DebugLogFolder());
  EXPECT_FALSE(DebugLog("debug.log", "lost"));
  EXPECT_FALSE(fs::exists(DebugLogFolder()));  // never created by the writer
}

TEST(DebugLog, LineShapeAndTrailingLineFeeds) {
  LogFolder folder;
  ASSERT_TRUE(DebugLog("debug.log", "abc\n"));
  ASSERT_TRUE(DebugLog("debug.log", "x\n"));
  ASSERT_TRUE(DebugLog("debug.log", "\n"));
  EXPECT_FALSE(DebugLog("debug.log", "%s", ""));
  std::string text = ReadFile(folder.file("debug.log"));
  ASSERT_EQ(text.size(), 3u * 23 + 3 + 1 + 1 + 3 * 2);
  EXPECT_EQ(text.substr(22, 6), " abc\r\n");
  EXPECT_EQ(text.substr(28 + 22, 4), " x\r\n");
  EXPECT_EQ(text.substr(28 + 26 + 22, 4), " \n\r\n");
}

TEST(DebugLog, LongTextIsCutAndPrefixJoins) {
  LogFolder folder;
  std::string big(5000, 'a');
  ASSERT_TRUE(DebugLogPrefixed("VEKSOCK::", "p.log", "%s", big.c_str()));
  std::string text = ReadFile(folder.file("p.log"));
  EXPECT_EQ(text.size(), 23u + 4095 + 2);
  EXPECT_EQ(text.substr(23, 10), "VEKSOCK::a");
}

TEST(DebugLog, PathTargetWritesStampedFile) {
  TempDir dir;
  ASSERT_TRUE(DebugLog(dir.file("error_log.txt").c_str(), "record"));
  int found = 0;
  for (auto& e : fs::directory_iterator(dir.path()))
    if (e.path().filename().string().rfind("error_log_", 0) == 0) ++found;
  EXPECT_EQ(found, 1);
}

TEST(DebugLog, ConcurrentRecordsNeverMixInsideALine) {
  LogFolder folder;
  constexpr int kThreads = 8, kRecords = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      std::string body(200 + t * 50, static_cast<char>('A' + t));
      for (int i = 0; i < kRecords; ++i) DebugLog("debug.log", "%d:%s", t, body.c_str());
    });
  for (auto& th : threads) th.join();
  std::string text = ReadFile(folder.file("debug.log"));
  size_t lines = 0, start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2, ++lines) {
    std::string line = text.substr(start + 23, end - start - 23);
    int t = line[0] - '0';
    ASSERT_EQ(line, std::to_string(t) + ":" + std::string(200 + t * 50, static_cast<char>('A' + t)));
  }
  EXPECT_EQ(lines, static_cast<size_t>(kThreads * kRecords));
  EXPECT_EQ(start, text.size());
}

// Settings store: file syntax, primitive results, atomic replacement, damaged files, two writers;
// a store over a backend; on Windows the registry itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <thread>
#ifdef _WIN32
#include <windows.h>

#include <process.h>
#include <shellapi.h>

#include <cwchar>

#include "support/WideText.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "TestSupport.h"
#include "platform/RegistryStore.h"
#include "support/AsciiText.h"
#include "support/DebugLog.h"
#include "support/FileUtils.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

constexpr const char* kKey = "SOFTWARE\\Tarvesk\\zelvora\\encoder";
constexpr const char* kSub = "SOFTWARE\\Tarvesk\\zelvora\\encoder\\video_conf";

// The file's number on its volume: a file replaced by another has a new one.
uint64_t FileNumberOf(const std::string& path) {
#ifdef _WIN32
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = ::GetFileInformationByHandle(h, &info) != 0;
  ::CloseHandle(h);
  return ok ? (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow : 0;
#else
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
#endif
}

// "v0", "v1", …: built by appending, which GCC 12 does not mistake for an overlapping copy.
std::string Numbered(const char* stem, int i) {
  std::string name = stem;
  name += std::to_string(i);
  return name;
}

std::string TextOf(RegistryStore& store, const char* key, const char* name) {
  RegValue v;
  return store.Read(key, name, v) == 1 && v.type == kRegSz ? v.text : "<none>";
}

}  // namespace

TEST(RegistryStore, PrimitivesGiveTheirResultCodes) {
  TempDir dir;
  RegistryStore store(dir.file("registry.reg"));
  RegValue v;
  EXPECT_EQ(RegReadValue(store, kKey, "", v), -2);
  EXPECT_EQ(RegEnsureKey(store, kKey), 1);
  EXPECT_EQ(RegEnsureKey(store, kKey), -1);
  EXPECT_EQ(RegEnsureKey(store, "SOFTWARE\\Tarvesk"), -1);  // a parent of a key exists too
  EXPECT_EQ(RegReadValue(store, kKey, "", v), -1);
  EXPECT_EQ(RegReadValue(store, "SOFTWARE\\Tarvesk", "x", v), -1);

  EXPECT_EQ(RegWriteValue(store, kSub, "bitrate", "30", kRegDword, 0), 1);  // creates the key
  ASSERT_EQ(RegReadValue(store, kSub, "BITRATE", v), 1);                    // names ignore case
  EXPECT_EQ(v.type, kRegDword);
  EXPECT_EQ(v.dword, 30u);
  EXPECT_EQ(RegWriteValue(store, kSub, "neg", "-2", kRegDword, 0), 1);
  ASSERT_EQ(RegReadValue(store, kSub, "neg", v), 1);
  EXPECT_EQ(v.dword, 0xfffffffeu);
  EXPECT_EQ(RegWriteDword(store, kKey, "program_rebirth", 0x12345678), 1);

  struct {
    const char* text;
    size_t length;
    const char* stored;
  } const texts[] = {{"abcdef", 0, "abcdef"}, {"abcdef", 3, "abc"}, {"", 0, ""}, {"ab", 100, "ab"}};
  for (const auto& t : texts) {
    ASSERT_EQ(RegWriteValue(store, kKey, "t", t.text, kRegSz, t.length), 1);
    EXPECT_EQ(TextOf(store, kKey, "t"), t.stored) << t.text << " " << t.length;
  }
  EXPECT_EQ(RegWriteValue(store, kKey, "binary", "x", 3, 0), -1);        // a type we do not store
  EXPECT_EQ(RegWriteValue(store, kKey, "t", "a\nb", kRegSz, 0), -1);     // would break the line format
  EXPECT_EQ(RegWriteValue(store, "NEW\\KEY", "t", "a\rb", kRegSz, 0), -2);
  EXPECT_EQ(TextOf(store, kKey, "t"), "ab");
}

TEST(RegistryStore, FileHasRegistryEditorSyntaxAndRoundTrips) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  {
    RegistryStore store(path);
    ASSERT_EQ(RegWriteValue(store, kKey, "", "Zelvora Media Encoder", kRegSz, 0), 1);
    ASSERT_EQ(RegWriteDword(store, kSub, "fps", 30), 1);
    ASSERT_EQ(RegWriteValue(store, kSub, "path", "C:\\a \"b\"\\c 한글", kRegSz, 0), 1);
  }
  const std::string text = ReadFile(path);
  EXPECT_EQ(text,
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\Tarvesk\\zelvora\\encoder]\n"
            "@=\"Zelvora Media Encoder\"\n"
            "\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\Tarvesk\\zelvora\\encoder\\video_conf]\n"
            "\"fps\"=dword:0000001e\n"
            "\"path\"=\"C:\\\\a \\\"b\\\"\\\\c 한글\"\n");
  RegistryStore again(path);
  EXPECT_EQ(TextOf(again, kSub, "path"), "C:\\a \"b\"\\c 한글");
  EXPECT_EQ(TextOf(again, kKey, ""), "Zelvora Media Encoder");
  EXPECT_EQ(again.Serialize(), text);
}

TEST(RegistryStore, ParserAcceptsEditorOutputAndRejectsGarbage) {
  std::vector<std::string> keys;
  std::vector<RegParsedValue> values;
  const std::string good =
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n\r\n; a comment\r\n"
      "[hkey_current_user\\Software\\X]\r\n@=\"d\"\r\n\"n\"=DWORD:1E\r\n";
  ASSERT_TRUE(ParseRegText(good, keys, values));
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(keys[0], "Software\\X");
  EXPECT_EQ(values[1].value.dword, 30u);

  // Not a registry file at all: nothing is kept. std::string, so the NUL bytes reach the parser.
  using namespace std::string_literals;
  const std::string notRegistry[] = {
      "",
      "\x00\x01\x02 binary"s,
      "\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00\x00\x10"s,
      // The right first line, then binary.
      "Windows Registry Editor Version 5.00\n\x00\x01\xff\xfe\n"s,
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\x00\"n\"=dword:1\n"s,
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"n\"=\"a\0b\"\n"s,
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A\x00]\n"s,
      "REGEDIT4\n[HKEY_CURRENT_USER\\A]\n",
  };
  for (const std::string& g : notRegistry) EXPECT_FALSE(ParseRegText(g, keys, values)) << testing::PrintToString(g);

  // One line that cannot be read costs that line only; every other value is kept.
  struct Line {
    const char* name;
    std::string body;     // lines after the header
    size_t kept;          // values read (the good "k" line of every case included)
    int badLine;          // line number of the problem, 0 when there is none
    std::string badName;  // the value name the problem names
  };
  const std::string key = "[HKEY_CURRENT_USER\\A]\n\"k\"=dword:00000001\n";
  const Line cases[] = {
      {"value before any key", "\"n\"=dword:1\n" + key, 1, 2, ""},
      {"another root", "[HKEY_LOCAL_MACHINE\\B]\n\"n\"=dword:1\n" + key, 1, 2, ""},
      {"empty key component", "[HKEY_CURRENT_USER\\A\\\\B]\n" + key, 1, 2, ""},
      {"unclosed key", "[HKEY_CURRENT_USER\\B\n" + key, 1, 2, ""},
      {"hex value", key + "\"n\"=hex:01\n", 1, 4, "n"},
      {"dword of letters", key + "\"n\"=dword:zzzz\n", 1, 4, "n"},
      {"nine-digit dword", key + "\"n\"=dword:123456789\n", 1, 4, "n"},
      {"last line cut short", key + "\"n\"=\"ope", 1, 4, "n"},
      {"text with a tail", key + "\"n\"=\"a\" tail\n", 1, 4, "n"},
      {"Windows path with single backslashes", key + "\"n\"=\"C:\\Program Files\\x\"\n", 2, 0, ""},
      {"Windows folder ending in a backslash", key + "\"n\"=\"C:\\out\\\"\n", 2, 0, ""},
  };
  for (const Line& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<RegProblem> problems;
    ASSERT_TRUE(ParseRegText("Windows Registry Editor Version 5.00\n" + c.body, keys, values, &problems));
    EXPECT_EQ(values.size(), c.kept);
    if (c.badLine == 0) {
      EXPECT_TRUE(problems.empty());
      continue;
    }
    ASSERT_FALSE(problems.empty());
    EXPECT_EQ(problems[0].line, c.badLine);
    EXPECT_EQ(problems[0].name, c.badName);
    EXPECT_FALSE(problems[0].reason.empty());
  }
  // The single backslashes are the path's own; valid escapes keep their meaning.
  const struct {
    std::string written, read;
  } texts[] = {
      {R"("C:\\Program Files\\x")", R"(C:\Program Files\x)"},  // escaped, as the editor writes it
      {R"("C:\Program Files\x")", R"(C:\Program Files\x)"},
      {R"("C:\out\")", R"(C:\out\)"},
      {R"("a\"b")", R"(a"b)"},
  };
  for (const auto& t : texts) {
    ASSERT_TRUE(ParseRegText("Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"n\"=" + t.written + "\n",
                             keys, values));
    ASSERT_EQ(values.size(), 1u) << t.written;
    EXPECT_EQ(values[0].value.text, t.read) << t.written;
  }
}

// The names of the damaged-file copies kept beside `path`.
std::vector<std::string> KeptCopies(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(fs::path(path).parent_path()))
    if (e.path().filename().string().rfind(fs::path(path).filename().string() + ".bad-", 0) == 0)
      names.push_back(e.path().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(RegistryStore, DamagedFileIsKeptAsideOnlyWhenSavingAndNeverOverwritten) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  const std::string first = "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"good\"=dword:7\ngarbage\n";
  WriteFile(path, first);
  RegistryStore store(path);
  RegValue v;
  ASSERT_EQ(store.Read("A", "good", v), 1);  // what parses is kept
  EXPECT_EQ(v.dword, 7u);
  ASSERT_EQ(store.Problems().size(), 1u);
  EXPECT_EQ(store.Problems()[0].line, 4);
  EXPECT_EQ(ReadFile(path), first);  // reading changes nothing
  EXPECT_TRUE(KeptCopies(path).empty());

  EXPECT_EQ(RegWriteDword(store, "A", "n", 1), 1);
  std::vector<std::string> kept = KeptCopies(path);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(ReadFile(kept[0]), first);
  EXPECT_NE(ReadFile(path).find("\"good\"=dword:00000007"), std::string::npos);
  EXPECT_TRUE(store.Problems().empty());
  // A second damage within the same second keeps its own copy.
  const std::string second = "not a registry file";
  WriteFile(path, second);
  RegistryStore again(path);
  EXPECT_EQ(again.Read("A", "good", v), -2);
  EXPECT_EQ(RegWriteDword(again, "A", "n", 2), 1);
  kept = KeptCopies(path);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_TRUE(ReadFile(kept[0]) == first || ReadFile(kept[1]) == first);
  EXPECT_TRUE(ReadFile(kept[0]) == second || ReadFile(kept[1]) == second);
}

TEST(RegistryStore, ReadOnlyStoreNeverWritesNorMovesFiles) {
  TempDir dir;
  const std::string good = dir.file("good.reg"), bad = dir.file("bad.reg");
  WriteFile(good, "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"n\"=dword:00000007\n");
  WriteFile(bad, "nonsense");
  RegistryStore ro(good, true), roBad(bad, true);
  RegValue v;
  ASSERT_EQ(ro.Read("A", "n", v), 1);
  EXPECT_EQ(v.dword, 7u);
  EXPECT_EQ(RegWriteDword(ro, "A", "n", 8), -1);
  EXPECT_EQ(RegWriteDword(ro, "B", "n", 8), -2);
  EXPECT_EQ(RegEnsureKey(ro, "B"), 0);
  EXPECT_EQ(roBad.Read("A", "n", v), -2);
  EXPECT_EQ(ReadFile(bad), "nonsense");
  EXPECT_TRUE(KeptCopies(bad).empty());
}

TEST(RegistryStore, EachWriteReplacesTheFileButABatchReplacesItOnce) {
  TempDir dir;
  const std::string path = dir.file("sub/dir/registry.reg");  // the folder is created on demand
  RegistryStore store(path);
  ASSERT_EQ(RegWriteDword(store, kKey, "a", 1), 1);
  const uint64_t first = FileNumberOf(path);
  ASSERT_EQ(RegWriteDword(store, kKey, "b", 2), 1);
  const uint64_t second = FileNumberOf(path);
  EXPECT_NE(first, second);  // replaced, never rewritten in place
  {
    RegistryStore::Batch batch(store);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(RegWriteDword(store, kSub, Numbered("v", i).c_str(), i), 1);
    RegValue v;
    ASSERT_EQ(store.Read(kSub, "v39", v), 1);  // visible in memory at once
    EXPECT_EQ(FileNumberOf(path), second);      // but not yet on disk
    EXPECT_TRUE(batch.Commit());
  }
  RegistryStore other(path);
  RegValue v;
  ASSERT_EQ(other.Read(kSub, "v39", v), 1);
  EXPECT_EQ(v.dword, 39u);
  // Nothing but the file itself is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.file("sub/dir")), fs::directory_iterator()), 1);
}

TEST(RegistryStore, TwoWritersOfOneFileKeepEachOthersChanges) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  RegistryStore a(path), b(path);
  RegValue v;
  EXPECT_EQ(a.Read(kKey, "x", v), -2);  // both have read the (absent) file
  EXPECT_EQ(b.Read(kKey, "y", v), -2);
  ASSERT_EQ(RegWriteDword(a, kKey, "x", 1), 1);
  ASSERT_EQ(RegWriteDword(b, kKey, "y", 2), 1);
  {
    RegistryStore::Batch batch(a);
    ASSERT_EQ(RegWriteDword(a, kKey, "z", 3), 1);
    ASSERT_EQ(RegWriteDword(b, kKey, "w", 4), 1);  // lands while a's batch is open
    ASSERT_TRUE(batch.Commit());
  }
  RegistryStore c(path);
  for (const char* name : {"x", "y", "z", "w"}) EXPECT_EQ(c.Read(kKey, name, v), 1) << name;
  EXPECT_EQ(b.Read(kKey, "z", v), 1);  // b sees a's newer file
}

std::string WriterValue(int writer, int i) {
  std::string name = Numbered("w", writer);
  name += '-';
  name += std::to_string(i);
  return name;
}

// Writers at the same time, each with a store of its own as two processes would have: the lock
// on the folder puts their replacements one after the other, so no change is lost.
TEST(RegistryStore, ConcurrentWritersLoseNoChange) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  constexpr int kWriters = 3, kWrites = 15;
  std::vector<std::thread> writers;
  std::atomic<int> failures{0};
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      RegistryStore store(path);
      for (int i = 0; i < kWrites; ++i)
        if (RegWriteDword(store, kKey, WriterValue(w, i).c_str(), i) != 1) ++failures;
    });
  }
  for (auto& t : writers) t.join();
  EXPECT_EQ(failures.load(), 0);
  RegistryStore check(path);
  RegValue v;
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kWrites; ++i) {
      const std::string name = WriterValue(w, i);
      ASSERT_EQ(check.Read(kKey, name, v), 1) << name;
      EXPECT_EQ(v.dword, static_cast<uint32_t>(i));
    }
}

// The file a writer of the cross-process test puts beside `go` once its first write returned.
std::string WroteFirst(const std::string& go, int writer) { return go + ".wrote-" + std::to_string(writer); }

// One writer of the cross-process test below, in whatever process it runs: it waits for the
// start file `go` (so that every writer starts together), writes `count` values, and holds back
// its last write until each of the `writers` others has said (WroteFirst) that its first write
// returned. So the writers' runs are proven to overlap: each one's first write comes before every
// other one's last. The sign is a file of its own, not the value in the store, so that a store
// losing that value fails the check at the end at once instead of leaving the others waiting.
// 0 when every write was stored, 1 when one was not, 2 when the others never showed up.
int CrossProcessWriter(const std::string& path, const std::string& go, int writer, int writers, int count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(3);
  auto waitFor = [&](const std::function<bool()>& ready) {
    while (!ready())
      if (std::chrono::steady_clock::now() > deadline) return false;
      else std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return true;
  };
  if (!waitFor([&] { return fs::exists(fs::path(go)); })) return 2;
  RegistryStore store(path);
  int failed = 0;
  for (int i = 0; i < count; ++i) {
    if (i == count - 1 && !waitFor([&] {
          for (int other = 0; other < writers; ++other)
            if (other != writer && !fs::exists(fs::path(WroteFirst(go, other)))) return false;
          return true;
        }))
      return 2;
    if (RegWriteDword(store, kKey, WriterValue(writer, i).c_str(), i) != 1) ++failed;
    if (i == 0) WriteFile(WroteFirst(go, writer), "");
  }
  return failed == 0 ? 0 : 1;
}

#ifdef _WIN32
// Started as "settings-writer FILE GO WRITER WRITERS COUNT", this program is one more writer of
// FILE in a process of its own (CrossProcessWriter), and ends with its result before any test runs.
[[maybe_unused]] const bool kWriterChild = [] {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv && argc == 7 && std::wcscmp(argv[1], L"settings-writer") == 0)
    ::ExitProcess(static_cast<UINT>(CrossProcessWriter(Utf8FromWide(argv[2]), Utf8FromWide(argv[3]), ::_wtoi(argv[4]),
                                                       ::_wtoi(argv[5]), ::_wtoi(argv[6]))));
  ::LocalFree(argv);
  return false;
}();
#endif

// Writers in processes of their own, started together and proven to overlap: the lock on the
// folder holds across processes, so no change of any of them is lost.
TEST(RegistryStore, WritersInOtherProcessesLoseNoChange) {
  TempDir dir;
  const std::string path = dir.file("registry.reg"), go = dir.file("go");
  constexpr int kChildren = 2, kWriters = kChildren + 1, kWrites = 15;
#ifdef _WIN32
  wchar_t self[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  ASSERT_GT(n, 0u);
  const std::wstring program(self, n);
  std::vector<HANDLE> children;
  for (int w = 1; w <= kChildren; ++w) {
    std::wstring commandLine = L"\"" + program + L"\" settings-writer \"" + WideFromUtf8(path) + L"\" \"" +
                               WideFromUtf8(go) + L"\" " + std::to_wstring(w) + L" " + std::to_wstring(kWriters) + L" " +
                               std::to_wstring(kWrites);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                                 nullptr, nullptr, &startup, &process));
    ::CloseHandle(process.hThread);
    children.push_back(process.hProcess);
  }
#else
  std::vector<pid_t> children;
  for (int w = 1; w <= kChildren; ++w) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(CrossProcessWriter(path, go, w, kWriters, kWrites));
    children.push_back(child);
  }
#endif
  WriteFile(go, "");
  EXPECT_EQ(CrossProcessWriter(path, go, 0, kWriters, kWrites), 0);
#ifdef _WIN32
  for (HANDLE child : children) {
    DWORD status = 1;
    EXPECT_EQ(::WaitForSingleObject(child, 300000), WAIT_OBJECT_0);
    EXPECT_TRUE(::GetExitCodeProcess(child, &status));
    EXPECT_EQ(status, 0u);
    ::CloseHandle(child);
  }
#else
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer status " << status;
  }
#endif
  RegistryStore check(path);
  RegValue v;
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kWrites; ++i) {
      const std::string name = WriterValue(w, i);
      ASSERT_EQ(check.Read(kKey, name, v), 1) << name;
      EXPECT_EQ(v.dword, static_cast<uint32_t>(i));
    }
}

// The one copy of an unusable store file that a save kept aside, or empty.
std::string KeptAside(const TempDir& dir) {
  std::vector<std::string> found;
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().filename().string().starts_with("registry.reg.bad-")) found.push_back(e.path().string());
  return found.size() == 1 ? found[0] : std::string();
}

// A store file that cannot be used as it is: too big, not a regular file, or unreadable. The
// store starts from nothing, keeps the file aside for inspection and goes on working; nothing
// hangs and nothing is overwritten.
TEST(RegistryStore, UnusableFilesAreSetAsideNotLostNorWaitedFor) {
  const std::string header = "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"n\"=dword:00000007\n";
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
  } const cases[] = {
      // Valid text throughout: only its size is wrong.
      {"oversized", [&](const std::string& p) { WriteFile(p, header + std::string(5 << 20, ';') + "\n"); }},
      {"a folder", [](const std::string& p) { fs::create_directory(p); }},
#ifndef _WIN32
      {"a FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("registry.reg");
    c.make(path);
    // Loaded on a thread of its own, so that a store stuck opening the file fails the test.
    auto store = std::make_shared<RegistryStore>(path);
    auto result = std::make_shared<std::promise<int>>();
    std::future<int> read = result->get_future();
    std::thread([store, result] {
      RegValue v;
      result->set_value(store->Read("A", "n", v));
    }).detach();
    if (read.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
#ifndef _WIN32
      int unblock = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);  // lets the stuck open return
      read.wait();
      if (unblock >= 0) ::close(unblock);
#endif
      FAIL() << "the store waited on the file";
    }
    EXPECT_EQ(read.get(), -2);  // nothing of it is used
    EXPECT_EQ(KeptAside(dir), "") << "a reader changes nothing on disk";
    EXPECT_EQ(RegWriteDword(*store, "A", "n", 8), 1);
    EXPECT_NE(KeptAside(dir), "") << "the save keeps the unusable file aside";
    RegValue v;
    ASSERT_EQ(RegistryStore(path).Read("A", "n", v), 1);
    EXPECT_EQ(v.dword, 8u);
  }
}

#ifndef _WIN32
// Unreadable for the user who runs the program. Root reads everything, so as root the store
// runs in a child that has given up root first.
TEST(RegistryStore, UnreadableFileIsSetAsideNotOverwritten) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  const std::string text = "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"n\"=dword:00000007\n";
  WriteFile(path, text);
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(10);
    int fd = ::open(path.c_str(), O_RDONLY);
    if (fd >= 0 || errno != EACCES) ::_exit(11);  // the file must really be unreadable here
    RegistryStore store(path);
    RegValue v;
    if (store.Read("A", "n", v) != -2) ::_exit(12);
    if (RegWriteDword(store, "A", "m", 1) != 1) ::_exit(13);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 10) << "could not give up root";
  ASSERT_NE(WEXITSTATUS(status), 11) << "the file was readable after all";
  EXPECT_EQ(WEXITSTATUS(status), 0);
  // What the unreadable file held is still there, aside; the new file has only the new value.
  const std::string aside = KeptAside(dir);
  ASSERT_NE(aside, "") << "not set aside";
  ASSERT_EQ(::chmod(aside.c_str(), 0600), 0);
  EXPECT_EQ(ReadFile(aside), text);
  RegistryStore again(path);
  RegValue v;
  EXPECT_EQ(again.Read("A", "n", v), -1);
  EXPECT_EQ(again.Read("A", "m", v), 1);
}
#endif

namespace {

// Keys in memory; writes to `failingKey` fail. Names compared as given: the store must hand
// them over unchanged.
class MapBackend final : public RegistryBackend {
 public:
  std::map<std::string, std::map<std::string, RegValue>> keys;
  std::string failingKey;
  int calls = 0;

  int Read(std::string_view key, std::string_view name, RegValue& value) override {
    ++calls;
    auto k = keys.find(std::string(key));
    if (k == keys.end()) return -2;
    auto v = k->second.find(std::string(name));
    if (v == k->second.end()) return -1;
    value = v->second;
    return 1;
  }
  int Write(std::string_view key, std::string_view name, const RegValue& value) override {
    ++calls;
    if (key == failingKey) return -2;
    keys[std::string(key)][std::string(name)] = value;
    return 1;
  }
  int EnsureKey(std::string_view key) override {
    ++calls;
    if (keys.count(std::string(key))) return -1;
    if (key == failingKey) return 0;
    keys[std::string(key)];
    return 1;
  }
  bool KeyExists(std::string_view key) override {
    ++calls;
    return keys.count(std::string(key)) > 0;
  }
};

}  // namespace

TEST(RegistryStore, StoreOverABackendHandsOverEveryChangeAtOnce) {
  auto owned = std::make_unique<MapBackend>();
  MapBackend& backend = *owned;
  RegistryStore store(std::move(owned), "memory");
  EXPECT_EQ(store.path(), "memory");
  EXPECT_FALSE(store.readOnly());
  RegValue v;
  EXPECT_EQ(RegReadValue(store, kKey, "", v), -2);
  {
    RegistryStore::Batch batch(store);
    ASSERT_EQ(RegWriteValue(store, kKey, "", "Zelvora Media Encoder", kRegSz, 0), 1);
    EXPECT_EQ(backend.keys[kKey][""].text, "Zelvora Media Encoder");  // made at once, not at the commit
    ASSERT_EQ(RegWriteDword(store, kSub, "bitrate", 800), 1);
    EXPECT_EQ(RegEnsureKey(store, kSub), -1);
    EXPECT_TRUE(batch.Commit());
  }
  ASSERT_EQ(RegReadValue(store, kSub, "bitrate", v), 1);
  EXPECT_EQ(v.dword, 800u);
  EXPECT_EQ(RegReadValue(store, kSub, "missing", v), -1);

  // One failed change spoils its batch, and only its batch.
  backend.failingKey = "Bad";
  {
    RegistryStore::Batch batch(store);
    EXPECT_EQ(RegWriteDword(store, "Bad", "n", 1), -2);
    EXPECT_EQ(RegWriteDword(store, kKey, "after", 2), 1);  // later changes are still made
    EXPECT_FALSE(batch.Commit());
  }
  EXPECT_EQ(backend.keys[kKey]["after"].dword, 2u);
  {
    RegistryStore::Batch batch(store);
    EXPECT_EQ(RegEnsureKey(store, "Bad"), 0);
    EXPECT_FALSE(batch.Commit());
  }
  {
    RegistryStore::Batch batch(store);
    EXPECT_EQ(RegWriteDword(store, kKey, "n", 3), 1);
    EXPECT_TRUE(batch.Commit());
  }

  // Malformed key paths and types the store does not keep never reach the backend as writes.
  const int before = backend.calls;
  for (const char* bad : {"", "\\SOFTWARE", "SOFTWARE\\", "SOFTWARE\\\\X"}) {
    EXPECT_EQ(RegWriteDword(store, bad, "n", 1), -2) << bad;
    EXPECT_EQ(RegReadValue(store, bad, "n", v), -2) << bad;
    EXPECT_EQ(RegEnsureKey(store, bad), 0) << bad;
    EXPECT_FALSE(store.KeyExists(bad)) << bad;
  }
  EXPECT_EQ(backend.calls, before);
  EXPECT_EQ(RegWriteValue(store, kKey, "bin", "x", 3, 0), -1);
  EXPECT_EQ(store.Read(kKey, "bin", v), -1);
  EXPECT_EQ(store.Serialize(), "");  // there is no file
  EXPECT_TRUE(store.Problems().empty());
}

#ifdef _WIN32
namespace {

// The root the settings belong to, found the way Windows documents it: from Vista on (kernel32
// exports GetLocaleInfoEx) the key ieframe.dll's IEGetWriteableHKCU gives, when it gives one.
HKEY ExpectedRoot() {
  static const HKEY root = [] {
    if (!::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetLocaleInfoEx")) return HKEY_CURRENT_USER;
    HMODULE frame = ::LoadLibraryW(L"ieframe.dll");
    if (!frame) return HKEY_CURRENT_USER;
    using Get = HRESULT(WINAPI*)(HKEY*);
    auto get = reinterpret_cast<Get>(reinterpret_cast<void*>(::GetProcAddress(frame, "IEGetWriteableHKCU")));
    HKEY key = nullptr;
    if (!get || FAILED(get(&key)) || !key) key = HKEY_CURRENT_USER;
    return key;
  }();
  return root;
}

// A key of this test program below the real root, removed with everything below it at the end.
struct TestKey {
  std::string path = "SOFTWARE\\Tarvesk\\zelvora-test-" + std::to_string(::_getpid());
  std::wstring wide = L"SOFTWARE\\Tarvesk\\zelvora-test-" + std::to_wstring(::_getpid());
  // Whether the parent was there before: then it is the user's (settings of a real install may
  // live below it or in it) and is never touched.
  bool parentWasThere = false;
  TestKey() {
    HKEY parent = nullptr;
    parentWasThere = ::RegOpenKeyExW(ExpectedRoot(), L"SOFTWARE\\Tarvesk", 0, KEY_READ, &parent) == ERROR_SUCCESS;
    if (parent) ::RegCloseKey(parent);
    ::RegDeleteTreeW(ExpectedRoot(), wide.c_str());
  }
  ~TestKey() {
    ::RegDeleteTreeW(ExpectedRoot(), wide.c_str());
    // A parent this test made goes too, unless something else has come to live there meanwhile
    // (a key with subkeys is never removed).
    if (!parentWasThere) ::RegDeleteKeyW(ExpectedRoot(), L"SOFTWARE\\Tarvesk");
  }
};

std::wstring GetText(const std::wstring& key, const wchar_t* name) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof buffer;
  if (::RegGetValueW(ExpectedRoot(), key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return L"<none>";
  return buffer;
}

bool SetRaw(const std::wstring& key, const wchar_t* name, DWORD type, const void* data, size_t bytes) {
  return ::RegSetKeyValueW(ExpectedRoot(), key.c_str(), name, type, data, static_cast<DWORD>(bytes)) == ERROR_SUCCESS;
}

}  // namespace

// The settings of the current user are the registry's own values: what the store writes, the
// plain Win32 calls read, and the other way round, Korean included.
TEST(SystemRegistry, TextsAndNumbersRoundTripWithTheWin32Calls) {
  TestKey test;
  RegistryStore& store = CurrentUserStore();
  if (ExpectedRoot() == HKEY_CURRENT_USER) {
    EXPECT_EQ(store.path(), "HKEY_CURRENT_USER");
  }
  const std::string key = test.path + "\\encoder";
  const std::wstring wideKey = test.wide + L"\\encoder";

  ASSERT_EQ(RegWriteValue(store, key, "", "Zelvora Media Encoder", kRegSz, 0), 1);
  ASSERT_EQ(RegWriteValue(store, key, "output_folder", "D:\\동영상\\변환 – 끝 ☃", kRegSz, 0), 1);
  ASSERT_EQ(RegWriteValue(store, key, "bitrate", "-2", kRegDword, 0), 1);
  ASSERT_EQ(RegWriteDword(store, key, "program_rebirth", 0x12345678), 1);
  ASSERT_EQ(RegWriteValue(store, key, "lines", "a\r\nb", kRegSz, 0), 1);  // the registry keeps line breaks
  ASSERT_EQ(RegWriteValue(store, key, "empty", "", kRegSz, 0), 1);
  EXPECT_EQ(GetText(wideKey, nullptr), L"Zelvora Media Encoder");
  EXPECT_EQ(GetText(wideKey, L"output_folder"), L"D:\\동영상\\변환 – 끝 ☃");
  EXPECT_EQ(GetText(wideKey, L"lines"), L"a\r\nb");
  EXPECT_EQ(GetText(wideKey, L"empty"), L"");
  for (auto [name, expected] : {std::pair{L"bitrate", 0xfffffffeu}, std::pair{L"program_rebirth", 0x12345678u}}) {
    DWORD value = 0, size = sizeof value;
    ASSERT_EQ(::RegGetValueW(ExpectedRoot(), wideKey.c_str(), name, RRF_RT_REG_DWORD, nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, expected);
  }

  const wchar_t text[] = L"값 ✓ C:\\한글";
  const DWORD number = 30;
  ASSERT_TRUE(SetRaw(wideKey, L"이름", REG_SZ, text, sizeof text));
  ASSERT_TRUE(SetRaw(wideKey, L"fps", REG_DWORD, &number, sizeof number));
  ASSERT_TRUE(SetRaw(wideKey, L"unterminated", REG_SZ, L"abc", 3 * sizeof(wchar_t)));  // stored without its NUL
  ASSERT_TRUE(SetRaw(wideKey, L"binary", REG_BINARY, "\x01\x02", 2));
  RegValue v;
  ASSERT_EQ(RegReadValue(store, key, "이름", v), 1);
  EXPECT_EQ(v.type, kRegSz);
  EXPECT_EQ(v.text, "값 ✓ C:\\한글");
  ASSERT_EQ(RegReadValue(store, key, "FPS", v), 1);  // names ignore case
  EXPECT_EQ(v.type, kRegDword);
  EXPECT_EQ(v.dword, 30u);
  ASSERT_EQ(RegReadValue(store, key, "unterminated", v), 1);
  EXPECT_EQ(v.text, "abc");
  EXPECT_EQ(RegReadValue(store, key, "binary", v), -1);  // a type the settings never use
  std::string longText(5000, 'x');
  ASSERT_EQ(RegWriteValue(store, key, "long", longText, kRegSz, 0), 1);
  ASSERT_EQ(RegReadValue(store, key, "long", v), 1);
  EXPECT_EQ(v.text, longText);
}

TEST(SystemRegistry, MissingKeysAndValuesAndKeyCreation) {
  TestKey test;
  RegistryStore& store = CurrentUserStore();
  const std::string key = test.path + "\\video_conf";
  RegValue v;
  EXPECT_EQ(RegReadValue(store, key, "", v), -2);
  EXPECT_FALSE(store.KeyExists(key));
  EXPECT_EQ(RegEnsureKey(store, key), 1);
  HKEY opened = nullptr;
  ASSERT_EQ(::RegOpenKeyExW(ExpectedRoot(), (test.wide + L"\\video_conf").c_str(), 0, KEY_READ, &opened), ERROR_SUCCESS);
  ::RegCloseKey(opened);
  EXPECT_EQ(RegEnsureKey(store, key), -1);
  EXPECT_EQ(RegEnsureKey(store, test.path), -1);  // its parent exists too
  EXPECT_TRUE(store.KeyExists(key));
  EXPECT_EQ(RegReadValue(store, key, "", v), -1);  // the key without a default value
  EXPECT_EQ(RegReadValue(store, key, "size_w", v), -1);
  EXPECT_EQ(RegReadValue(store, key + "\\deeper", "size_w", v), -2);
}

TEST(SystemRegistry, BatchChangesReachTheRegistry) {
  TestKey test;
  RegistryStore& store = CurrentUserStore();
  const std::string key = test.path + "\\audio_conf";
  {
    RegistryStore::Batch batch(store);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(RegWriteDword(store, key, Numbered("v", i).c_str(), i * 3), 1);
    EXPECT_TRUE(batch.Commit());
  }
  for (int i = 0; i < 20; ++i) {
    DWORD value = 0, size = sizeof value;
    const std::wstring name = L"v" + std::to_wstring(i);
    ASSERT_EQ(::RegGetValueW(ExpectedRoot(), (test.wide + L"\\audio_conf").c_str(), name.c_str(), RRF_RT_REG_DWORD,
                             nullptr, &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, static_cast<DWORD>(i * 3));
  }
  {
    RegistryStore::Batch batch(store);
    EXPECT_EQ(RegWriteDword(store, test.path + "\\\\broken", "n", 1), -2);
    EXPECT_FALSE(batch.Commit());
  }
  RegistryStore::Batch batch(store);
  EXPECT_EQ(RegWriteDword(store, key, "v0", 9), 1);
  EXPECT_TRUE(batch.Commit());
}

// A file store still works on Windows wherever a file is chosen: deep below a Korean folder
// name, past 260 characters, over a file that another writer left.
TEST(RegistryStore, FileStoreAtALongKoreanPath) {
  TempDir dir;
  std::string path = Utf8FromWide(dir.path().wstring());
  for (int i = 0; WideFromUtf8(path).size() < 300; ++i) path += "\\설정을 담는 폴더 " + std::to_string(i);
  const std::string folder = path;
  path += "\\registry.reg";
  ASSERT_GT(WideFromUtf8(path).size(), 260u);
  ASSERT_GT(MakeFolderPath(folder), 0);
  const std::wstring longPath = L"\\\\?\\" + WideFromUtf8(path);
  ASSERT_NE(::GetFileAttributesW((L"\\\\?\\" + WideFromUtf8(folder)).c_str()), INVALID_FILE_ATTRIBUTES);
  // Another writer's file, in the editor's own spelling.
  const std::string before = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\A]\r\n\"kept\"=\"이전 값\"\r\n";
  HANDLE h = ::CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(h, before.data(), static_cast<DWORD>(before.size()), &written, nullptr));
  ::CloseHandle(h);
  const uint64_t first = FileNumberOf(path);
  ASSERT_NE(first, 0u);
  {
    // One replacement: the new file is made while the old one still holds its number.
    RegistryStore store(path);
    RegistryStore::Batch batch(store);
    ASSERT_EQ(RegWriteValue(store, "A", "새 값", "출력 폴더", kRegSz, 0), 1);
    ASSERT_EQ(RegWriteDword(store, "A", "n", 7), 1);
    ASSERT_TRUE(batch.Commit());
  }
  EXPECT_NE(FileNumberOf(path), first);  // replaced, never rewritten in place
  RegistryStore again(path);
  RegValue v;
  ASSERT_EQ(again.Read("A", "kept", v), 1);
  EXPECT_EQ(v.text, "이전 값");
  ASSERT_EQ(again.Read("A", "새 값", v), 1);
  EXPECT_EQ(v.text, "출력 폴더");
  ASSERT_EQ(again.Read("A", "n", v), 1);
  EXPECT_EQ(v.dword, 7u);
  // Nothing but the file itself is left in its folder.
  int entries = 0;
  WIN32_FIND_DATAW found{};
  HANDLE search = ::FindFirstFileW((L"\\\\?\\" + WideFromUtf8(folder) + L"\\*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do {
    if (std::wstring(found.cFileName) != L"." && std::wstring(found.cFileName) != L"..") ++entries;
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
  EXPECT_EQ(entries, 1);
}

// Last of this program: once a file is chosen, the store of the current user is that file.
TEST(SystemRegistry, ChosenFileReplacesTheRegistry) {
  TestKey test;
  TempDir dir;
  const std::string path = Utf8FromWide((dir.path() / L"설정.reg").wstring());
  UseSettingsStoreFile(path, false);
  EXPECT_EQ(CurrentUserStore().path(), path);
  ASSERT_EQ(RegWriteDword(CurrentUserStore(), test.path, "n", 5), 1);
  EXPECT_TRUE(RegistryStore(path).KeyExists(test.path));
  HKEY opened = nullptr;
  EXPECT_NE(::RegOpenKeyExW(ExpectedRoot(), test.wide.c_str(), 0, KEY_READ, &opened), ERROR_SUCCESS);
}
#endif

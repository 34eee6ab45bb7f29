// Settings store: file syntax, primitive results, atomic replacement, damaged files, two writers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "TestSupport.h"
#include "platform/RegistryStore.h"
#include "support/DebugLog.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

constexpr const char* kKey = "SOFTWARE\\Tarvesk\\zelvora\\encoder";
constexpr const char* kSub = "SOFTWARE\\Tarvesk\\zelvora\\encoder\\video_conf";

ino_t InodeOf(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
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
  const ino_t first = InodeOf(path);
  ASSERT_EQ(RegWriteDword(store, kKey, "b", 2), 1);
  const ino_t second = InodeOf(path);
  EXPECT_NE(first, second);  // replaced, never rewritten in place
  {
    RegistryStore::Batch batch(store);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(RegWriteDword(store, kSub, ("v" + std::to_string(i)).c_str(), i), 1);
    RegValue v;
    ASSERT_EQ(store.Read(kSub, "v39", v), 1);  // visible in memory at once
    EXPECT_EQ(InodeOf(path), second);           // but not yet on disk
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
      {"a FIFO", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
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
      int unblock = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);  // lets the stuck open return
      read.wait();
      if (unblock >= 0) ::close(unblock);
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

// Settings store: file syntax, primitive results, atomic replacement, damaged files, two writers.
#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

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

  const char* const garbage[] = {
      "",
      "\x00\x01\x02 binary",
      "REGEDIT4\n[HKEY_CURRENT_USER\\A]\n",
      "Windows Registry Editor Version 5.00\n\"n\"=dword:1\n",                        // value before any key
      "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n",             // another root
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A\\\\B]\n",         // empty component
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"n\"=hex:01\n",
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"n\"=dword:123456789\n",
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"n\"=\"a\\qb\"\n",  // unknown escape
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"n\"=\"open\n",
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\n\"n\"=\"a\" tail\n",
      "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A\n",
  };
  for (const char* g : garbage) EXPECT_FALSE(ParseRegText(g, keys, values)) << g;
}

TEST(RegistryStore, DamagedFileIsMovedAsideAndLogged) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  WriteFile(path, "Windows Registry Editor Version 5.00\n[HKEY_CURRENT_USER\\A]\ngarbage\n");
  fs::create_directories(DebugLogFolder());
  RegistryStore store(path);
  RegValue v;
  EXPECT_EQ(store.Read("A", "", v), -2);  // treated as absent
  EXPECT_FALSE(fs::exists(path));
  EXPECT_NE(ReadFile(path + ".bad").find("garbage"), std::string::npos);
  const std::string log = ReadFile(DebugLogFolder() + "/debug.log");
  fs::remove_all(DebugLogFolder());
  EXPECT_NE(log.find(path + ".bad"), std::string::npos) << log;
  // The store goes on working with a fresh file.
  EXPECT_EQ(RegWriteDword(store, "A", "n", 1), 1);
  EXPECT_TRUE(fs::exists(path));
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
  EXPECT_FALSE(fs::exists(bad + ".bad"));
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

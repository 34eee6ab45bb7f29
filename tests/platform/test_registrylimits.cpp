// The store never writes a file it would refuse to read back, and loads a huge file in one pass.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "platform/RegistryStore.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {
const char kKey[] = "SOFTWARE\\Tarvesk\\zelvora\\encoder";
constexpr size_t kLimit = 4 << 20;  // the largest file the store reads

RegValue Text(std::string text) {
  RegValue v;
  v.type = kRegSz;
  v.text = std::move(text);
  return v;
}
}  // namespace

TEST(RegistryLimits, AWriteThatWouldOutgrowTheReadableSizeIsRefusedAndChangesNothing) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  {
    RegistryStore store(path);
    ASSERT_EQ(store.Write(kKey, "", Text("Zelvora Media Encoder")), 1);
    ASSERT_EQ(store.Write(kKey, "big", Text(std::string(3 << 20, 'a'))), 1);
  }
  const std::string before = ReadFile(path);
  RegistryStore store(path);
  // One more MiB would pass the limit: refused, the file as it was, every value still readable.
  EXPECT_EQ(store.Write(kKey, "more", Text(std::string(1 << 20, 'b'))), -1);
  EXPECT_EQ(ReadFile(path), before);
  RegistryStore reader(path);
  RegValue v;
  EXPECT_EQ(reader.Read(kKey, "more", v), -1);
  ASSERT_EQ(reader.Read(kKey, "big", v), 1);
  EXPECT_EQ(v.text.size(), size_t(3 << 20));
  // A change that keeps the file within the limit still goes through.
  EXPECT_EQ(store.Write(kKey, "small", Text("ok")), 1);
  EXPECT_LE(ReadFile(path).size(), kLimit);
}

TEST(RegistryLimits, ManyValuesLoadWithTheLastOfEachNameWinning) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\SOFTWARE\\Tarvesk\\zelvora\\encoder]\n";
  const int count = 144627;
  for (int i = 0; i < count; ++i) text += "\"v" + std::to_string(i) + "\"=dword:00000001\n";
  // The same names again, in other letter case: they replace the first ones.
  text += "\"V7\"=dword:00000007\n\"v144626\"=\"last\"\n";
  for (int i = 0; i < 50; ++i) text += "[HKEY_CURRENT_USER\\SOFTWARE\\k" + std::to_string(i) + "]\n\"x\"=dword:00000002\n";
  ASSERT_LE(text.size(), kLimit);
  testsupport::WriteFile(path, text);
  RegistryStore store(path);
  EXPECT_TRUE(store.Problems().empty());
  RegValue v;
  ASSERT_EQ(store.Read(kKey, "v0", v), 1);
  EXPECT_EQ(v.dword, 1u);
  ASSERT_EQ(store.Read(kKey, "v7", v), 1);
  EXPECT_EQ(v.dword, 7u);
  ASSERT_EQ(store.Read(kKey, "V144626", v), 1);
  EXPECT_EQ(v.text, "last");
  ASSERT_EQ(store.Read("SOFTWARE\\k49", "x", v), 1);
  EXPECT_EQ(v.dword, 2u);
  // Written back, each name appears once.
  const std::string written = store.Serialize();
  EXPECT_EQ(written.find("\"V7\""), std::string::npos);
  EXPECT_NE(written.find("\"v7\"=dword:00000007"), std::string::npos);
}

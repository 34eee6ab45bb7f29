// The support page setting: only web addresses are taken, typed or found in the store.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "encoder/SettingsFields.h"
#include "encoder/SettingsStore.h"

using testsupport::TempDir;

TEST(SupportAddress, OnlyWebAddressesAreTaken) {
  // What a browser may be handed, and what must never reach it (or, on Windows, the shell).
  const struct {
    const char* value;
    bool accepted;
  } cases[] = {
      {"https://www.tarvesk.com/zelvora", true},
      {"HTTP://help.example.org:8080/a?b=c#d", true},
      {"https://[::1]:8443/", true},
      {"https://지원.example.kr/", true},
      {"", true},  // empty: the program's home page
      {"ftp://files.example.org/", false},
      {"file:///etc/passwd", false},
      {"javascript:alert(1)", false},
      {"www.example.org", false},
      {"https://", false},
      {"https:///path", false},
      {"https://user@evil.example/", false},
      {"https://a.example/x y", false},
      {"https://a.example/\"x", false},
      {"https://a.example/\nrm", false},
      {"/usr/bin/xterm", false},
  };
  const SettingField* f = FindSettingField("encoder.support_address");
  ASSERT_NE(f, nullptr);
  for (const auto& c : cases) {
    EncodingSettings s;
    StoredPaths p;
    std::string error;
    EXPECT_EQ(SetSettingValue(*f, c.value, s, p, error), c.accepted) << "'" << c.value << "' " << error;
    if (c.accepted) {
      EXPECT_EQ(p.support_address, c.value);
    } else {
      EXPECT_NE(error.find("http:// or https://"), std::string::npos) << error;
      EXPECT_TRUE(p.support_address.empty());
    }
  }
}

TEST(SupportAddress, AStoredAddressThatIsNoWebPageIsRefusedOnLoading) {
  TempDir dir;
  for (const auto& [stored, loaded] : {std::pair<std::string, std::string>{"https://help.example.org/", "https://help.example.org/"},
                                       {"file:///home/user/x.desktop", ""}}) {
    {
      RegistryStore store(dir.file("registry.reg"));
      EncodingSettings s;
      ResetSettings(s);
      StoredPaths paths;
      ASSERT_EQ(SaveSettings(s, paths, store), 1);
      ASSERT_EQ(RegWriteValue(store, kSettingsKey, "support_address", stored, kRegSz, 0), 1);
    }
    RegistryStore store(dir.file("registry.reg"));
    EncodingSettings s;
    StoredPaths paths;
    SettingsNotes notes;
    ASSERT_EQ(LoadSettings(s, paths, notes, store), 1);
    EXPECT_EQ(paths.support_address, loaded);
    std::string said;
    for (const auto& note : notes) said += note + "\n";
    EXPECT_EQ(said.find("encoder.support_address") != std::string::npos, loaded.empty()) << said;
  }
}

// Saving only what changed: values another program stored meanwhile survive the window's save.
#include <gtest/gtest.h>

#include <string>

#include "TestSupport.h"
#include "encoder/SettingsFields.h"
#include "encoder/SettingsStore.h"

using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

const std::string kEtcKey = std::string(kSettingsKey) + "\\etc_conf";

EncodingSettings Defaults() {
  EncodingSettings s;
  ResetSettings(s);
  return s;
}

}  // namespace

TEST(SettingsMerge, EmptyStoreGetsTheWholeRecord) {
  TempDir dir;
  RegistryStore store(dir.file("registry.reg"));
  EncodingSettings now = Defaults();
  now.output_type = 2;
  StoredPaths paths;
  paths.output_folder = "/videos/out";
  ASSERT_EQ(SaveChangedSettings(Defaults(), paths, now, paths, store), 1);
  RegistryStore again(dir.file("registry.reg"));
  EncodingSettings loaded;
  StoredPaths loadedPaths;
  ASSERT_EQ(LoadSettings(loaded, loadedPaths, again), 1);
  EXPECT_EQ(loaded.output_type, 2);
  EXPECT_EQ(loaded.video_bitrate, Defaults().video_bitrate);
  EXPECT_EQ(loadedPaths.output_folder, "/videos/out");
}

TEST(SettingsMerge, ValuesStoredMeanwhileSurviveTheWindowsSave) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  StoredPaths paths;
  paths.output_folder = "/videos/out";
  {
    RegistryStore first(path);
    ASSERT_EQ(SaveSettings(Defaults(), paths, first), 1);
  }
  // The window loads the store, as it does at its start.
  RegistryStore window(path);
  EncodingSettings base;
  StoredPaths basePaths;
  ASSERT_EQ(LoadSettings(base, basePaths, window), 1);
  // Meanwhile another program switches the language (stored as etc_conf.no_scan) and the
  // video bit rate.
  {
    RegistryStore other(path);
    ASSERT_EQ(RegWriteDword(other, kEtcKey, "no_scan", 1), 1);
    ASSERT_EQ(RegWriteDword(other, std::string(kSettingsKey) + "\\video_conf", "bitrate", 1500), 1);
  }
  // The window changes the container and the output folder, and saves.
  EncodingSettings now = base;
  now.output_type = 2;
  StoredPaths nowPaths = basePaths;
  nowPaths.output_folder = "/videos/elsewhere";
  ASSERT_EQ(SaveChangedSettings(base, basePaths, now, nowPaths, window), 1);

  RegistryStore reader(path);
  EncodingSettings loaded;
  StoredPaths loadedPaths;
  ASSERT_EQ(LoadSettings(loaded, loadedPaths, reader), 1);
  EXPECT_EQ(loaded.language, 1);
  EXPECT_EQ(loaded.video_bitrate, 1500);
  EXPECT_EQ(loaded.output_type, 2);
  EXPECT_EQ(loadedPaths.output_folder, "/videos/elsewhere");

  // Nothing changed since: the file is not touched at all.
  const std::string before = ReadFile(path);
  ASSERT_EQ(SaveChangedSettings(now, nowPaths, now, nowPaths, window), 1);
  EXPECT_EQ(ReadFile(path), before);
}

TEST(SettingsMerge, ReadOnlyStoreRefuses) {
  TempDir dir;
  RegistryStore store(dir.file("registry.reg"), true);
  EncodingSettings now = Defaults();
  now.output_type = 1;
  StoredPaths paths;
  EXPECT_EQ(SaveChangedSettings(Defaults(), paths, now, paths, store), 0);
}

// The limits of the dialog's texts count characters, and a prefix refuses only a parent step.
TEST(SettingsTexts, LimitsCountCharactersAndOnlyAParentStepIsRefused) {
  const SettingField* prefix = FindSettingField("etc_conf.fn_prefix");
  ASSERT_NE(prefix, nullptr);
  std::string syllables;
  for (int i = 0; i < 63; ++i) syllables += "가";  // 63 characters, 189 bytes
  const struct {
    std::string text;
    bool accepted;
    const char* refusal;
  } cases[] = {
      {syllables, true, ""},
      {syllables + "나", false, "etc_conf.fn_prefix holds at most 63 characters, not 64"},
      {std::string(63, 'p'), true, ""},
      {"v1..2", true, ""},
      {"..x_", true, ""},
      {"..", false, "etc_conf.fn_prefix cannot hold '..'"},
      {"a/b", false, "etc_conf.fn_prefix cannot hold '/'"},
  };
  for (const auto& c : cases) {
    EncodingSettings s = Defaults();
    StoredPaths paths;
    std::string error;
    EXPECT_EQ(SetSettingValue(*prefix, c.text, s, paths, error), c.accepted) << c.text;
    EXPECT_EQ(error, c.refusal) << c.text;
    if (c.accepted) {
      EXPECT_EQ(s.fn_prefix, c.text);
    }
  }
  EXPECT_EQ(CountChars(syllables), 63u);
  EXPECT_EQ(CutText(syllables + "나다", 63), syllables);
}

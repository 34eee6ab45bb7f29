// Encoding settings through a real save and load of the store file: defaults, corrections,
// the empty-prefix sentinel, start-up path defaults and surviving a kill in the middle of a save.
#include <gtest/gtest.h>

#include <algorithm>

#include <csignal>
#include <filesystem>
#include <random>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "TestSupport.h"
#include "encoder/SettingsFields.h"
#include "encoder/SettingsStore.h"
#include "platform/KnownFolders.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Removes the line of value `name` inside the section whose header ends with `section`.
std::string WithoutValue(const std::string& text, const std::string& section, const std::string& name) {
  size_t sec = text.find("\\" + section + "]\n");
  size_t line = text.find("\n\"" + name + "\"=", sec);
  size_t end = text.find('\n', line + 1);
  return text.substr(0, line) + text.substr(end);
}

std::string WithoutSection(const std::string& text, const std::string& section) {
  size_t sec = text.find("\n[HKEY_CURRENT_USER\\SOFTWARE\\Tarvesk\\zelvora\\encoder\\" + section + "]");
  size_t end = text.find("\n[", sec + 1);
  return text.substr(0, sec) + (end == std::string::npos ? "\n" : text.substr(end));
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

struct Loaded {
  int result = 0;
  EncodingSettings s;
  StoredPaths paths;
};

Loaded LoadFrom(const std::string& path) {
  RegistryStore store(path);
  Loaded l;
  l.result = LoadSettings(l.s, l.paths, store);
  return l;
}

// A saved file of reset settings, as text, for tests to edit.
std::string SavedDefaults(const std::string& path) {
  EncodingSettings s;
  ResetSettings(s);
  RegistryStore store(path);
  EXPECT_EQ(SaveSettings(s, StoredPaths{}, store), 1);
  return ReadFile(path);
}

}  // namespace

TEST(SettingsStore, ResetGivesTheRecordDefaults) {
  EncodingSettings s;
  s.volume = 77;
  s.optional = "x";
  ResetSettings(s);
  EXPECT_EQ(s.output_type, 0);
  EXPECT_EQ(s.video_bitrate, 800);
  EXPECT_EQ(s.fps, 3);
  EXPECT_EQ(s.fps_opt, 1);
  EXPECT_EQ(s.size_w, 720);
  EXPECT_EQ(s.size_h, 400);
  EXPECT_EQ(s.size_opt, 1);
  EXPECT_EQ(s.sizing_ratio, 1);
  EXPECT_EQ(s.audio_bitrate, 2);
  EXPECT_EQ(s.sample_rate, 3);
  EXPECT_EQ(s.bitrate_style, 3);
  EXPECT_EQ(s.volume, 0);
  EXPECT_EQ(s.position, 95);
  EXPECT_EQ(s.size, 4);
  EXPECT_EQ(s.blur, 2);
  EXPECT_EQ(s.thickness, 2);
  EXPECT_EQ(s.fn_prefix, "_ZLVR_");
  EXPECT_EQ(s.optional, "");
  EXPECT_EQ(s.font_path, DefaultHangulFontFile());
}

TEST(SettingsStore, NothingStoredLoadsAsZero) {
  TempDir dir;
  Loaded l = LoadFrom(dir.file("registry.reg"));
  EXPECT_EQ(l.result, 0);
  EXPECT_EQ(l.s.video_bitrate, 0);  // the caller resets
}

TEST(SettingsStore, EveryFieldSurvivesSaveAndLoad) {
  TempDir dir;
  EncodingSettings s;
  ResetSettings(s);
  s.output_type = 2;
  s.origin_ado = 1;
  s.optional = "-threads 2 -metadata title=\"a b\" C:\\x";
  s.video_compress = 3;
  s.fps_opt = 0;
  s.audio_compress = 3;
  s.channle_mode = 3;
  s.volume = 250;
  s.font_path = "/usr/share/fonts/한글.ttf";
  s.skip_scan = 1;
  s.language = 1;
  s.fn_prefix = "mobile_";
  StoredPaths paths{"/in", "/out", "/opt/ff", "/opt/mc", "/prog", "/prog/error_log.txt", 0};
  {
    RegistryStore store(dir.file("registry.reg"));
    ASSERT_EQ(SaveSettings(s, paths, store), 1);
  }
  const std::string text = ReadFile(dir.file("registry.reg"));
  // The crossed names: "no_scan" holds the language, "language" the skip-scan switch.
  EXPECT_NE(text.find("\"no_scan\"=dword:00000001"), std::string::npos);
  EXPECT_NE(text.find("\"language\"=dword:00000001"), std::string::npos);
  EXPECT_EQ(text.find("program_rebirth"), std::string::npos);  // not the store's to write
  Loaded l = LoadFrom(dir.file("registry.reg"));
  ASSERT_EQ(l.result, 1);
  for (const auto& f : SettingFields())
    EXPECT_EQ(SettingValueText(f, l.s, l.paths), SettingValueText(f, s, paths)) << f.group << "." << f.name;
}

TEST(SettingsStore, StoredValuesAreCorrectedOnLoad) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  std::string text = SavedDefaults(path);
  text = Replace(text, "\"size_w\"=dword:000002d0", "\"size_w\"=dword:000002d1");  // 721
  text = Replace(text, "\"size_h\"=dword:00000190", "\"size_h\"=dword:00000191");  // 401
  text = Replace(text, "\"bitrate\"=dword:00000320", "\"bitrate\"=dword:00000032");  // 50
  text = Replace(text, "\"volume\"=dword:00000000", "\"volume\"=dword:00000384");    // 900
  text = Replace(text, "\"fps_opt\"=dword:00000001", "\"fps_opt\"=dword:00000007");
  WriteFile(path, text);
  Loaded l = LoadFrom(path);
  ASSERT_EQ(l.result, 1);
  EXPECT_EQ(l.s.size_w, 722);
  EXPECT_EQ(l.s.size_h, 402);
  EXPECT_EQ(l.s.video_bitrate, 100);
  EXPECT_EQ(l.s.volume, 500);
  EXPECT_EQ(l.s.fps_opt, 1);
}

// A stored value gets the checks of a typed one, and every change is noted by setting name.
TEST(SettingsStore, StoredValuesOutsideTypedRangesAreNoted) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  std::string text = SavedDefaults(path);
  const struct {
    std::string from, to;   // stored text edited
    const char* note;       // note that names it
  } edits[] = {
      {"\"output_type\"=dword:00000000", "\"output_type\"=dword:00000007",
       "encoding_options.output_type 7 is outside 0 to 2; it takes its default 0"},
      {"\"fps\"=dword:00000003", "\"fps\"=dword:00000063", "video_conf.fps 99 is outside 0 to 5; it takes its default 4"},
      {"\"size_w\"=dword:000002d0", "\"size_w\"=dword:fffffff0", "video_conf.size_w -16 is outside 0 to 2147483646; it takes its default 720"},
      {"\"position\"=dword:0000005f", "\"position\"=dword:00000096", "sub_conf.position 150 is read as 100"},
      {"\"size\"=dword:00000004", "\"size\"=dword:00000001", "sub_conf.size 1 is read as 3"},
      {"\"fn_prefix\"=\"_ZLVR_\"", "\"fn_prefix\"=\"..\"", "etc_conf.fn_prefix cannot hold '..'; it takes its default \"_ZLVR_\""},
  };
  for (const auto& e : edits) {
    ASSERT_NE(text.find(e.from), std::string::npos) << e.from;
    text = Replace(text, e.from, e.to);
  }
  text += "\"garbage\"=hex:00\n";
  WriteFile(path, text);
  RegistryStore store(path);
  EncodingSettings s;
  StoredPaths paths;
  SettingsNotes notes;
  ASSERT_EQ(LoadSettings(s, paths, notes, store), 1);
  for (const auto& e : edits)
    EXPECT_NE(std::find(notes.begin(), notes.end(), e.note), notes.end()) << e.note;
  // A line that holds no known setting is noted as a line.
  EXPECT_EQ(std::count_if(notes.begin(), notes.end(),
                          [](const std::string& n) { return n.find("\"garbage\"=hex:00") != std::string::npos; }),
            1);
  EXPECT_EQ(s.output_type, 0);
  EXPECT_EQ(s.fps, 4);
  EXPECT_EQ(s.size_w, 720);
  EXPECT_EQ(s.position, 100);
  EXPECT_EQ(s.size, 3);
  EXPECT_EQ(s.fn_prefix, "_ZLVR_");
  EXPECT_EQ(SettingsRangeProblem(s), "");
  s.video_compress = 9;
  EXPECT_EQ(SettingsRangeProblem(s), "the setting video_conf.compress is 9, outside 0 to 3");
  EXPECT_EQ(ReadFile(path), text);  // loading changes nothing
}

TEST(SettingsStore, MissingValuesTakeTheirLoadDefaults) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  std::string text = SavedDefaults(path);
  text = Replace(text, "\"fps\"=dword:00000003", "\"fps\"=dword:00000000");
  text = Replace(text, "\"output_type\"=dword:00000000", "\"output_type\"=dword:00000001");
  WriteFile(path, text);
  // With everything present the values are as stored.
  EXPECT_EQ(LoadFrom(path).s.fps, 0);
  struct Case {
    const char* section;
    const char* name;
    int32_t EncodingSettings::*field;
    int32_t expected;
  } const cases[] = {
      {"video_conf", "bitrate", &EncodingSettings::video_bitrate, 800},
      {"video_conf", "fps", &EncodingSettings::fps, 4},  // "29.970", while a reset gives 3 ("25")
      {"video_conf", "size_w", &EncodingSettings::size_w, 720},
      {"audio_conf", "sample_rate", &EncodingSettings::sample_rate, 3},
      {"sub_conf", "position", &EncodingSettings::position, 95},
      {"encoding_options", "output_type", &EncodingSettings::output_type, 0},  // no default: stays 0
  };
  for (const auto& c : cases) {
    WriteFile(path, WithoutValue(text, c.section, c.name));
    Loaded l = LoadFrom(path);
    ASSERT_EQ(l.result, 1);
    EXPECT_EQ(l.s.*c.field, c.expected) << c.section << "." << c.name;
  }
}

TEST(SettingsStore, MissingGroupKeepsFieldsAsTheyWere) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  WriteFile(path, WithoutSection(SavedDefaults(path), "video_conf"));
  RegistryStore store(path);
  EncodingSettings s;
  s.video_bitrate = 123;
  StoredPaths paths;
  ASSERT_EQ(LoadSettings(s, paths, store), 1);
  EXPECT_EQ(s.video_bitrate, 123);
  EXPECT_EQ(s.fps, 0);
  EXPECT_EQ(s.sample_rate, 3);
  // Without the main key's default value nothing counts as stored.
  WriteFile(path, Replace(ReadFile(path), "@=\"Zelvora Media Encoder\"\n", ""));
  EXPECT_EQ(LoadFrom(path).result, 0);
}

TEST(SettingsStore, EmptyPrefixSurvivesARestartAndAbsentPrefixIsTheDefault) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  EncodingSettings s;
  ResetSettings(s);
  s.fn_prefix.clear();
  {
    RegistryStore store(path);
    ASSERT_EQ(SaveSettings(s, StoredPaths{}, store), 1);
  }
  EXPECT_EQ(s.fn_prefix, "");  // the record keeps meaning "no prefix" after the save
  const std::string text = ReadFile(path);
  EXPECT_NE(text.find("\"fn_prefix\"=\"!!_NO_DATA_!!\""), std::string::npos);
  EXPECT_EQ(LoadFrom(path).s.fn_prefix, "");

  WriteFile(path, WithoutValue(text, "etc_conf", "fn_prefix"));
  EXPECT_EQ(LoadFrom(path).s.fn_prefix, "_ZLVR_");
  WriteFile(path, Replace(text, "!!_NO_DATA_!!", ""));
  EXPECT_EQ(LoadFrom(path).s.fn_prefix, "_ZLVR_");
  WriteFile(path, Replace(text, "!!_NO_DATA_!!", "!!_NO_DATA_!!x"));
  EXPECT_EQ(LoadFrom(path).s.fn_prefix, "!!_NO_DATA_!!x");
}

TEST(SettingsStore, LongTextsAreCutAtTheirCapacity) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  EncodingSettings s;
  ResetSettings(s);
  s.fn_prefix = std::string(62, 'p') + "가나";  // 64 characters: the last one goes, whole
  s.optional = std::string(2000, 'o');
  s.font_path = std::string(300, 'f');
  StoredPaths paths;
  paths.output_folder = std::string(400, 'd');
  {
    RegistryStore store(path);
    ASSERT_EQ(SaveSettings(s, paths, store), 1);
  }
  Loaded l = LoadFrom(path);
  EXPECT_EQ(l.s.fn_prefix, std::string(62, 'p') + "가");
  EXPECT_EQ(l.s.optional.size(), 1023u);
  EXPECT_EQ(l.s.font_path.size(), 259u);
  EXPECT_EQ(l.paths.output_folder.size(), 259u);
}

TEST(SettingsStore, PathsAndUpdateTimeLoadFromTheMainKey) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  EncodingSettings s;
  ResetSettings(s);
  StoredPaths paths{"/a", "/b", "/c", "/d", "/e", "/f", 0};
  RegistryStore store(path);
  ASSERT_EQ(SaveSettings(s, paths, store), 1);
  ASSERT_EQ(RegWriteDword(store, kSettingsKey, "program_rebirth", 1700000000), 1);
  StoredPaths loaded;
  loaded.program_rebirth = 5;
  EncodingSettings t;
  ASSERT_EQ(LoadSettings(t, loaded, store), 1);
  EXPECT_EQ(loaded.last_open_folder, "/a");
  EXPECT_EQ(loaded.error_log_path, "/f");
  EXPECT_EQ(loaded.program_rebirth, 1700000000u);
  // A later save leaves the update time alone.
  ASSERT_EQ(SaveSettings(t, loaded, store), 1);
  RegValue v;
  ASSERT_EQ(RegReadValue(store, kSettingsKey, "program_rebirth", v), 1);
  EXPECT_EQ(v.dword, 1700000000u);
}

TEST(SettingsStore, ReadOnlyStoreRefusesToSave) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  SavedDefaults(path);
  const std::string before = ReadFile(path);
  RegistryStore ro(path, true);
  EncodingSettings s;
  ResetSettings(s);
  s.volume = 100;
  EXPECT_EQ(SaveSettings(s, StoredPaths{}, ro), 0);
  EXPECT_EQ(ReadFile(path), before);
}

TEST(SettingsStore, GarbageFileGivesDefaultsAndIsKeptAside) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  const std::string garbage("\x89PNG\r\n\x1a\n\0\0\0\rIHDR garbage", 24);  // NUL bytes included
  WriteFile(path, garbage);
  Loaded l = LoadFrom(path);
  EXPECT_EQ(l.result, 0);
  // Loading changes nothing; the next save keeps the damaged file beside the new one.
  EXPECT_EQ(ReadFile(path), garbage);
  RegistryStore store(path);
  EncodingSettings s;
  ResetSettings(s);
  ASSERT_EQ(SaveSettings(s, StoredPaths{}, store), 1);
  int kept = 0;
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().filename().string().rfind("registry.reg.bad-", 0) == 0) {
      ++kept;
      EXPECT_EQ(ReadFile(e.path().string()), garbage);
    }
  EXPECT_EQ(kept, 1);
}

#ifndef _WIN32
// A writer killed at any moment leaves a file that loads: the old one or the new one. (The
// writer is a forked copy of this program: POSIX only.)
TEST(SettingsStore, SaveKilledAtRandomMomentsLeavesALoadableFile) {
  TempDir dir;
  const std::string path = dir.file("registry.reg");
  std::mt19937 rng(12345);
  int rounds = 0;
  for (int round = 0; round < 30; ++round) {
    // The writer says when its first save is complete; it is killed at a random moment after.
    int saved[2];
    ASSERT_EQ(::pipe(saved), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(saved[0]);
      RegistryStore store(path);
      EncodingSettings s;
      ResetSettings(s);
      for (int32_t i = 1;; ++i) {
        s.video_bitrate = 1000 + i;
        s.size_w = 2 * (1000 + i);
        s.optional = std::string(static_cast<size_t>(i % 900), 'x');
        if (SaveSettings(s, StoredPaths{}, store) == 1 && saved[1] >= 0) {
          (void)!::write(saved[1], "s", 1);
          ::close(saved[1]);
          saved[1] = -1;
        }
      }
    }
    ::close(saved[1]);
    char byte = 0;
    const bool firstSave = ::read(saved[0], &byte, 1) == 1;
    ::close(saved[0]);
    ::usleep(std::uniform_int_distribution<useconds_t>(0, 30000)(rng));
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(firstSave) << "round " << round << ": the writer never saved";
    ASSERT_FALSE(fs::exists(path + ".bad")) << "round " << round;
    Loaded l = LoadFrom(path);
    ASSERT_EQ(l.result, 1) << "round " << round << ": a saved file no longer loads";
    // Both values come from the same save.
    EXPECT_EQ(l.s.size_w, 2 * l.s.video_bitrate) << "round " << round;
    EXPECT_EQ(l.s.optional.size(), static_cast<size_t>((l.s.video_bitrate - 1000) % 900));
    ++rounds;
  }
  EXPECT_EQ(rounds, 30);
  // The next save clears away temporary files of killed writers.
  RegistryStore store(path);
  EncodingSettings s;
  ResetSettings(s);
  ASSERT_EQ(SaveSettings(s, StoredPaths{}, store), 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}
#endif

TEST(SettingsStore, StartUpPathDefaults) {
  TempDir dir;
  const std::string programFolder = GetProgramFolder();
  StoredPaths p;
  ApplyPathDefaults(p);
  EXPECT_EQ(p.last_open_folder, HomeFolder());
  EXPECT_EQ(p.output_folder, SpecialFolderPath(kFolderDesktop));
  EXPECT_TRUE(fs::is_directory(p.output_folder));
  EXPECT_EQ(p.ProgramFolder, programFolder);
  // Never beside the program (an installed copy's folder is read only): with the user's state
  // (on Windows: the user's local application data, which the test home moves).
#ifdef _WIN32
  const fs::path stateFolder = testsupport::TestHome() / "AppData" / "Local" / "zelvora";
  const std::string oldDefault = programFolder + "\\error_log.txt";
#else
  const fs::path stateFolder = testsupport::TestHome() / ".local/state/zelvora";
  ASSERT_EQ(std::string(std::getenv("XDG_STATE_HOME")), (testsupport::TestHome() / ".local/state").string());
  const std::string oldDefault = programFolder + "/error_log.txt";
#endif
  const std::string errorLog = (stateFolder / "error_log.txt").string();
  EXPECT_EQ(p.error_log_path, errorLog);
  EXPECT_TRUE(fs::is_directory(stateFolder));
  EXPECT_FALSE(p.encoder_path_a.empty());

  // A stored ffmpeg that is gone takes ProgramFolder and the error log with it; a valid
  // mencoder path and the folders stay.
  const std::string mencoder = dir.file("my-mencoder");
  WriteFile(mencoder, "x");
  StoredPaths q{"/in", "/out", dir.file("gone-ffmpeg"), mencoder, "/old/prog", "/old/prog/error_log.txt", 0};
  ApplyPathDefaults(q);
  EXPECT_EQ(q.ProgramFolder, programFolder);
  EXPECT_EQ(q.error_log_path, errorLog);
  // A store holding the old default beside the program moves to the new one; any other is kept.
  StoredPaths old{"/in", "/out", "", "", "", oldDefault, 0};
  ApplyPathDefaults(old);
  EXPECT_EQ(old.error_log_path, errorLog);
  StoredPaths u{"/in", "/out", "", "", "", "/var/log/mine.txt", 0};
  ApplyPathDefaults(u);
  EXPECT_EQ(u.error_log_path, "/var/log/mine.txt");
  EXPECT_NE(q.encoder_path_a, dir.file("gone-ffmpeg"));
  EXPECT_EQ(q.encoder_path_b, mencoder);
  EXPECT_EQ(q.last_open_folder, "/in");
  EXPECT_EQ(q.output_folder, "/out");

  // An existing stored ffmpeg keeps the others as stored.
  StoredPaths r{"/in", "/out", mencoder, dir.file("gone"), "/old/prog", "/old/log.txt", 0};
  ApplyPathDefaults(r);
  EXPECT_EQ(r.ProgramFolder, "/old/prog");
  EXPECT_EQ(r.error_log_path, "/old/log.txt");
  EXPECT_NE(r.encoder_path_b, dir.file("gone"));
}

TEST(SettingsStore, EncodersAreFoundBesideTheProgramElseOnPath) {
  TempDir bin;
#ifdef _WIN32
  const std::string fake = bin.file("ffmpeg.exe");
  const std::string expectedMencoder = GetProgramFolder() + "\\mencoder.exe";
#else
  const std::string fake = bin.file("ffmpeg");
  const std::string expectedMencoder = GetProgramFolder() + "/mencoder";
#endif
  WriteFile(fake, "#!/bin/sh\n");
  fs::permissions(fake, fs::perms::owner_all);
  StoredPaths p;
  {
    testsupport::ScopedEnv path("PATH", bin.str());
    ApplyPathDefaults(p, false);
  }
  EXPECT_EQ(p.encoder_path_a, fake);
  EXPECT_EQ(p.encoder_path_b, expectedMencoder);  // found nowhere: where it is expected
}

TEST(SettingsFields, SettingByNameChecksAndCorrects) {
  struct Case {
    const char* name;
    const char* value;
    bool accepted;
    const char* stored;
  } const cases[] = {
      {"video_conf.size_w", "721", true, "722"},    {"video_conf.size_h", "0", true, "0"},
      {"video_conf.size_w", "-2", false, ""},       {"video_conf.bitrate", "50", true, "100"},
      {"video_conf.bitrate", "4000", true, "4000"}, {"audio_conf.volume", "900", true, "500"},
      {"audio_conf.volume", "-1", false, ""},       {"video_conf.fps", "5", true, "5"},
      {"video_conf.fps", "6", false, ""},           {"encoding_options.output_type", "3", false, ""},
      {"audio_conf.bitrate", "-1", false, ""},      {"sub_conf.blur", "9", true, "8"},
      {"sub_conf.size", "1", true, "3"},            {"sub_conf.size", "9", true, "7"},
      {"sub_conf.position", "101", true, "100"},    {"video_conf.fps_opt", "on", true, "1"},
      {"video_conf.fps_opt", "2", false, ""},       {"video_conf.bitrate", "12x", false, ""},
      {"video_conf.bitrate", "", false, ""},        {"video_conf.bitrate", "99999999999", false, ""},  // refused, not wrapped
      {"etc_conf.language", "1", true, "1"},        {"etc_conf.no_scan", "1", true, "1"},
      {"etc_conf.fn_prefix", "", true, ""},         {"etc_conf.fn_prefix", "a/b", false, ""},
      {"encoder.output_folder", "/x y", true, "/x y"}, {"encoder.program_rebirth", "4294967295", true, "4294967295"},
      {"encoding_options.optional", "a\nb", false, ""},
  };
  for (const auto& c : cases) {
    const SettingField* f = FindSettingField(c.name);
    ASSERT_NE(f, nullptr) << c.name;
    EncodingSettings s;
    StoredPaths p;
    std::string error;
    bool ok = SetSettingValue(*f, c.value, s, p, error);
    EXPECT_EQ(ok, c.accepted) << c.name << "=" << c.value << " " << error;
    if (ok) {
      EXPECT_EQ(SettingValueText(*f, s, p), c.stored) << c.name << "=" << c.value;
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
  EXPECT_EQ(FindSettingField("video_conf.nothing"), nullptr);
  EXPECT_EQ(FindSettingField("bitrate"), nullptr);
}

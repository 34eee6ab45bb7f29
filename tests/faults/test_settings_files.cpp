// Settings files trusted no further than typed settings: the store and --settings FILE, run as the zelvora command.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>

#include "TestSupport.h"
#include "FaultRun.h"

namespace fs = std::filesystem;
using faults::CliResult;
using faults::Zelvora;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const std::string kKey = "HKEY_CURRENT_USER\\SOFTWARE\\Tarvesk\\zelvora\\encoder";

// A settings file: the main key, then `body` (group keys and values as the editor writes them).
std::string RegFile(const std::string& body) {
  return "Windows Registry Editor Version 5.00\n\n[" + kKey + "]\n@=\"Zelvora Media Encoder\"\n" + body;
}
std::string Group(const std::string& name, const std::string& values) {
  return "\n[" + kKey + "\\" + name + "]\n@=\"" + name + "\"\n" + values;
}

class SettingsFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_CONFIG_HOME", root_.file("config").c_str(), 1);
    fs::create_directories(root_.file("config"));
  }
  std::string Store() const { return root_.file("config/Tarvesk/zelvora/registry.reg"); }
  // The copies of a damaged store kept beside it.
  std::vector<std::string> KeptCopies() const {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(Store()).parent_path(), ec))
      if (e.path().filename().string().rfind("registry.reg.bad", 0) == 0) names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  void WriteStore(const std::string& text) {
    fs::create_directories(fs::path(Store()).parent_path());
    WriteFile(Store(), text);
  }
  // A two-second clip of a tiny picture and a tone.
  std::string Clip(const std::string& path) {
    return faults::MakeClip(path, {.sources = {"testsrc=size=160x120:rate=25:duration=2", "sine=frequency=500:duration=2"}});
  }

  TempDir root_;
};

// The prefix is part of a file name: a stored file or a --settings FILE that puts a separator or
// a parent step in it gets the default prefix and a note, and the output stays in its folder.
TEST_F(SettingsFiles, PrefixThatLeavesTheOutputFolderTakesTheDefault) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  const std::string escaping = RegFile(Group("etc_conf", "\"fn_prefix\"=\"../../../../X_\"\n"));
  for (bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "--settings FILE" : "the store");
    TempDir work;
    const std::string out = work.file("a/b/c/d/out");
    fs::create_directories(out);
    std::string clip = Clip(work.file("clip.avi"));
    std::vector<std::string> args = {"encode", "--output-dir", out};
    if (fromFile) {
      WriteFile(work.file("given.reg"), escaping);
      args.insert(args.end(), {"--settings", work.file("given.reg")});
    } else {
      WriteStore(escaping);
    }
    args.push_back(clip);
    auto before = faults::Snapshot(work.path());
    auto storeBefore = faults::Snapshot(root_.file("config"));
    CliResult r = Zelvora(args);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("etc_conf.fn_prefix cannot hold '/'; it takes its default \"_ZLVR_\""), std::string::npos)
        << r.err;
    EXPECT_EQ(faults::LinesWith(r.out, "clip.avi"),
              std::vector<std::string>{"완료\tclip.avi\t" + out + "/_ZLVR_clip.mp4"});
    // Only the output appeared; nothing else anywhere in the tree, the store untouched.
    auto after = faults::Snapshot(work.path());
    ASSERT_EQ(after.erase("a/b/c/d/out/_ZLVR_clip.mp4"), 1u);
    EXPECT_EQ(after, before);
    EXPECT_EQ(faults::Snapshot(root_.file("config")), storeBefore);
    fs::remove_all(root_.file("config/Tarvesk"));
  }
}

TEST_F(SettingsFiles, SetRefusesParentStepsInThePrefix) {
  CliResult r = Zelvora({"settings", "set", "etc_conf.fn_prefix=.."});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("etc_conf.fn_prefix cannot hold '..'"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Store()));
}

// The encoders belong to the machine: a --settings FILE naming other programs starts none of
// them, not in a run and not in a dry run, and says that it ignored them.
TEST_F(SettingsFiles, EncoderPathsAreNeverTakenFromAFile) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  TempDir work;
  const std::string marker = work.file("started");
  faults::WriteScript(work.file("evil-a"), "echo a >> '" + marker + "'\nexit 1\n");
  faults::WriteScript(work.file("evil-b"), "echo b >> '" + marker + "'\nexit 1\n");
  WriteFile(work.file("given.reg"), RegFile("\"encoder_path_a\"=\"" + work.file("evil-a") + "\"\n\"encoder_path_b\"=\"" +
                                            work.file("evil-b") + "\"\n" + Group("encoding_options", "\"output_type\"=dword:00000001\n")));
  std::string clip = Clip(work.file("clip.avi"));
  fs::create_directories(work.file("out"));
  CliResult r = Zelvora({"encode", "--dry-run", "--output-dir", work.file("out"), "--settings", work.file("given.reg"), clip});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(marker)) << ReadFile(marker);
  EXPECT_NE(r.err.find("encoder.encoder_path_a is not taken from"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("encoder.encoder_path_b is not taken from"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find(work.file("evil")), std::string::npos) << r.out;
  EXPECT_TRUE(fs::is_empty(work.file("out")));
}

// Values a typed setting could never have: corrected or reset, each with a note, and never a
// command that leaves the codec to the encoder.
TEST_F(SettingsFiles, OutOfRangeValuesAreCheckedLikeTypedOnes) {
  ZELVORA_SKIP_WITHOUT_PROGRAM("ffmpeg");
  const std::string text = RegFile(
      Group("encoding_options", "\"output_type\"=dword:00000007\n") +
      Group("video_conf", "\"compress\"=dword:00000009\n\"fps\"=dword:00000011\n\"fps_opt\"=dword:00000000\n"
                          "\"size_w\"=dword:fffffff0\n\"size_opt\"=dword:00000000\n") +
      Group("audio_conf", "\"compress\"=dword:00000009\n\"volume\"=dword:fffffffb\n") +
      Group("sub_conf", "\"position\"=dword:00000096\n"));
  // setting name, what the note says, the value it loads as
  const struct {
    const char* name;
    const char* note;
    const char* value;
  } expected[] = {
      {"encoding_options.output_type", "encoding_options.output_type 7 is outside 0 to 2; it takes its default 0", "0"},
      {"video_conf.compress", "video_conf.compress 9 is outside 0 to 3; it takes its default 0", "0"},
      {"video_conf.fps", "video_conf.fps 17 is outside 0 to 5; it takes its default 4", "4"},
      {"video_conf.size_w", "video_conf.size_w -16 is outside 0 to", "720"},
      {"audio_conf.compress", "audio_conf.compress 9 is outside 0 to 3; it takes its default 0", "0"},
      {"audio_conf.volume", "audio_conf.volume -5 is outside 0 to", "0"},
      {"sub_conf.position", "sub_conf.position 150 is read as 100", "100"},
  };
  TempDir work;
  std::string clip = Clip(work.file("clip.avi"));
  WriteFile(work.file("given.reg"), text);
  for (bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile ? "--settings FILE" : "the store");
    if (!fromFile) WriteStore(text);
    auto before = faults::Snapshot(root_.path());
    std::vector<std::string> args = {"encode", "--dry-run", "--output-dir", work.file("out")};
    if (fromFile) args.insert(args.end(), {"--settings", work.file("given.reg")});
    args.push_back(clip);
    CliResult r = Zelvora(args);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (const auto& e : expected) EXPECT_NE(r.err.find(e.note), std::string::npos) << e.name << "\n" << r.err;
    ASSERT_EQ(faults::LinesWith(r.out, clip).size(), 1u) << r.out;
    EXPECT_NE(r.out.find(" -c:v libx264 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" -c:a "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" -r 30000/1001 "), std::string::npos) << r.out;  // fps 4, 29.970
    EXPECT_EQ(faults::Snapshot(root_.path()), before);  // a dry run writes nothing
    if (fromFile) continue;
    for (const auto& e : expected) {
      CliResult g = Zelvora({"settings", "get", e.name});
      EXPECT_EQ(g.out, std::string(e.value) + "\n") << e.name;
    }
  }
}

// One value that cannot be read costs that value only, and the user is told which; reading
// commands leave the file as it is.
TEST_F(SettingsFiles, StoreKeepsEveryValueThatParses) {
  const std::string good = "\"bitrate\"=dword:000004d2\n\"fps_opt\"=dword:00000000\n";
  const struct {
    const char* name;
    std::string badLine;
    const char* setting;  // the setting that takes its default
    const char* value;    // that default
  } cases[] = {
      {"letters in a dword", "\"fps\"=dword:zzzz\n", "video_conf.fps", "4"},
      {"nine-digit dword", "\"fps\"=dword:123456789\n", "video_conf.fps", "4"},
      {"hex value", "\"fps\"=hex:01,00,00,00\n", "video_conf.fps", "4"},
      {"last line cut short", "\"fps\"=dword:00000001\n\"size_w\"=\"72", "video_conf.size_w", "720"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string text = RegFile(Group("video_conf", good + c.badLine));
    WriteStore(text);
    for (std::vector<std::string> args : {std::vector<std::string>{"settings", "show"},
                                          std::vector<std::string>{"settings", "get", c.setting}}) {
      CliResult r = Zelvora(args);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_NE(r.err.find(std::string(c.setting) + ": line "), std::string::npos) << r.err;
      EXPECT_NE(r.err.find(std::string("it takes its default ") + c.value), std::string::npos) << r.err;
    }
    EXPECT_EQ(Zelvora({"settings", "get", "video_conf.bitrate"}).out, "1234\n");
    EXPECT_EQ(Zelvora({"settings", "get", "video_conf.fps_opt"}).out, "0\n");
    EXPECT_EQ(Zelvora({"settings", "get", c.setting}).out, std::string(c.value) + "\n");
    EXPECT_EQ(ReadFile(Store()), text);
    EXPECT_TRUE(KeptCopies().empty());
    // Saving rewrites the file without the line it could not read: the file as it was is kept.
    ASSERT_EQ(Zelvora({"settings", "set", "audio_conf.volume=100"}).status, 0);
    ASSERT_EQ(KeptCopies().size(), 1u);
    EXPECT_EQ(ReadFile(KeptCopies()[0]), text);
    EXPECT_EQ(Zelvora({"settings", "get", "video_conf.bitrate"}).out, "1234\n");
    fs::remove(KeptCopies()[0]);
  }
}

TEST_F(SettingsFiles, WindowsPathWithSingleBackslashesIsKept) {
  const std::string text = RegFile("\"output_folder\"=\"C:\\Users\\me\\Videos\"\n\"last_open_folder\"=\"D:\\clips\\\"\n" +
                                   Group("video_conf", "\"bitrate\"=dword:000004d2\n"));
  WriteStore(text);
  CliResult r = Zelvora({"settings", "get", "encoder.output_folder"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "C:\\Users\\me\\Videos\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(Zelvora({"settings", "get", "encoder.last_open_folder"}).out, "D:\\clips\\\n");
  EXPECT_EQ(Zelvora({"settings", "get", "video_conf.bitrate"}).out, "1234\n");
  EXPECT_EQ(ReadFile(Store()), text);
}

// A file that cannot be read at all: defaults and a note; the file is kept aside only when the
// program next saves, under a name of its own each time.
TEST_F(SettingsFiles, UnreadableStoreIsKeptAsideOnlySaving) {
  const std::string first = "\x89PNG\r\n\x1a\n not settings";
  WriteStore(first);
  for (std::vector<std::string> args :
       {std::vector<std::string>{"settings", "show"}, std::vector<std::string>{"settings", "get", "video_conf.fps"},
        std::vector<std::string>{"probe", root_.file("nothing.avi")},
        std::vector<std::string>{"encode", "--dry-run", root_.file("nothing.avi")}}) {
    CliResult r = Zelvora(args);
    EXPECT_NE(r.err.find("cannot be read"), std::string::npos) << args[0] << ": " << r.err;
    EXPECT_EQ(ReadFile(Store()), first) << args[0];
    EXPECT_TRUE(KeptCopies().empty()) << args[0];
  }
  EXPECT_EQ(Zelvora({"settings", "get", "video_conf.fps"}).out, "3\n");  // the defaults of a first start

  ASSERT_EQ(Zelvora({"settings", "set", "video_conf.bitrate=900"}).status, 0);
  std::vector<std::string> kept = KeptCopies();
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_TRUE(std::regex_match(fs::path(kept[0]).filename().string(),
                               std::regex(R"(registry\.reg\.bad-\d{8}-\d{6}(-\d+)?)")))
      << kept[0];
  EXPECT_EQ(ReadFile(kept[0]), first);
  EXPECT_EQ(Zelvora({"settings", "get", "video_conf.bitrate"}).out, "900\n");

  const std::string second = "garbage again";
  WriteStore(second);
  ASSERT_EQ(Zelvora({"settings", "set", "video_conf.bitrate=901"}).status, 0);
  kept = KeptCopies();
  ASSERT_EQ(kept.size(), 2u);
  std::vector<std::string> contents = {ReadFile(kept[0]), ReadFile(kept[1])};
  std::sort(contents.begin(), contents.end());
  std::vector<std::string> expected = {first, second};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(contents, expected);
}

}  // namespace

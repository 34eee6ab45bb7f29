// zelvora settings: show, get, set, reset and the refusals, run as the real command.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "TestSupport.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RunCommand;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// Every test gets a settings folder of its own.
class SettingsCli : public ::testing::Test {
 protected:
  void SetUp() override { env_ = std::make_unique<testsupport::ScopedEnv>("XDG_CONFIG_HOME", config_.str()); }
  std::string StoreFile() const { return config_.file("Tarvesk/zelvora/registry.reg"); }

  int Zelvora(std::vector<std::string> args, std::string* out = nullptr) {
    args.insert(args.begin(), testsupport::CliPath());
    std::string sink;
    if (out) out->clear();
    return RunCommand(args, out ? out : &sink);
  }
  std::string Get(const std::string& name) {
    std::string out;
    EXPECT_EQ(Zelvora({"settings", "get", name}, &out), 0) << out;
    if (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  TempDir config_;
  std::unique_ptr<testsupport::ScopedEnv> env_;  // the variable comes back as it was
};

// The line of `name` in the output of show.
std::string LineOf(const std::string& show, const std::string& name) {
  size_t at = show.find("\n" + name + " ");
  if (at == std::string::npos) return {};
  return show.substr(at + 1, show.find('\n', at + 1) - at - 1);
}

}  // namespace

TEST_F(SettingsCli, ShowOnAFirstStartListsTheDefaultsWithoutWriting) {
  std::string out;
  ASSERT_EQ(Zelvora({"settings", "show"}, &out), 0) << out;
  EXPECT_NE(out.find("nothing stored"), std::string::npos);
  EXPECT_EQ(LineOf(out, "video_conf.fps").substr(0, 37), "video_conf.fps                   = 3 ");
  EXPECT_NE(LineOf(out, "video_conf.bitrate").find("= 800 "), std::string::npos);
  EXPECT_NE(LineOf(out, "etc_conf.fn_prefix").find("\"_ZLVR_\""), std::string::npos);
  EXPECT_NE(LineOf(out, "etc_conf.language").find("skip-scan"), std::string::npos);
  EXPECT_NE(LineOf(out, "etc_conf.no_scan").find("language"), std::string::npos);
  EXPECT_NE(LineOf(out, "encoder.output_folder").find("# default"), std::string::npos);
  EXPECT_NE(LineOf(out, "encoder.ProgramFolder").find(fs::path(testsupport::CliPath()).parent_path().string()),
            std::string::npos);
  EXPECT_FALSE(fs::exists(StoreFile()));
}

TEST_F(SettingsCli, SetStoresCorrectedValuesAndGetReadsThem) {
  std::string out;
  ASSERT_EQ(Zelvora({"settings", "set", "video_conf.size_w=721", "video_conf.bitrate=50", "audio_conf.volume=900",
                     "etc_conf.fn_prefix=", "etc_conf.no_scan=1"},
                    &out),
            0)
      << out;
  EXPECT_NE(out.find("video_conf.size_w = 722 (given 721)"), std::string::npos) << out;
  EXPECT_EQ(Get("video_conf.size_w"), "722");
  EXPECT_EQ(Get("video_conf.bitrate"), "100");
  EXPECT_EQ(Get("audio_conf.volume"), "500");
  EXPECT_EQ(Get("etc_conf.fn_prefix"), "");
  EXPECT_EQ(Get("etc_conf.no_scan"), "1");
  EXPECT_EQ(Get("video_conf.fps"), "3");  // untouched values keep their defaults
  EXPECT_NE(ReadFile(StoreFile()).find("\"fn_prefix\"=\"!!_NO_DATA_!!\""), std::string::npos);

  ASSERT_EQ(Zelvora({"settings", "show"}, &out), 0);
  EXPECT_NE(LineOf(out, "video_conf.size_w").find("# stored;"), std::string::npos) << out;
  EXPECT_NE(LineOf(out, "etc_conf.fn_prefix").find("no prefix"), std::string::npos) << out;

  // Paths are stored as given; an empty one brings back its start-up default.
  ASSERT_EQ(Zelvora({"settings", "set", "encoder.output_folder=/srv/out dir"}), 0);
  EXPECT_EQ(Get("encoder.output_folder"), "/srv/out dir");
  ASSERT_EQ(Zelvora({"settings", "set", "encoder.output_folder="}), 0);
  EXPECT_NE(Get("encoder.output_folder"), "");
  // The update time is stored too, although a settings save leaves it alone.
  ASSERT_EQ(Zelvora({"settings", "set", "encoder.program_rebirth=1700000000"}), 0);
  EXPECT_EQ(Get("encoder.program_rebirth"), "1700000000");
  ASSERT_EQ(Zelvora({"settings", "set", "video_conf.fps=1"}), 0);
  EXPECT_EQ(Get("encoder.program_rebirth"), "1700000000");
}

TEST_F(SettingsCli, ShowTellsWhatLoadingCorrected) {
  ASSERT_EQ(Zelvora({"settings", "reset"}), 0);
  std::string text = ReadFile(StoreFile());
  text.replace(text.find("\"size_w\"=dword:000002d0"), 23, "\"size_w\"=dword:000002d1");
  WriteFile(StoreFile(), text);
  std::string out;
  ASSERT_EQ(Zelvora({"settings", "show"}, &out), 0);
  EXPECT_NE(LineOf(out, "video_conf.size_w").find("= 722        # stored 721, adjusted"), std::string::npos)
      << LineOf(out, "video_conf.size_w");
}

TEST_F(SettingsCli, ResetRestoresDefaultsAndKeepsPaths) {
  ASSERT_EQ(Zelvora({"settings", "set", "video_conf.fps=0", "encoder.last_open_folder=/media"}), 0);
  std::string out;
  ASSERT_EQ(Zelvora({"settings", "reset"}, &out), 0) << out;
  EXPECT_EQ(Get("video_conf.fps"), "3");
  EXPECT_EQ(Get("encoder.last_open_folder"), "/media");
}

TEST_F(SettingsCli, RefusalsExitWithTwoAndWriteNothing) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } const cases[] = {
      {{"settings", "get", "video_conf.nothing"}, "unknown setting 'video_conf.nothing'"},
      {{"settings", "set", "video_conf.fps=6"}, "video_conf.fps must be from 0 to 5"},
      {{"settings", "set", "video_conf.bitrate=fast"}, "whole number"},
      {{"settings", "set", "sub_conf.size=-1"}, "sub_conf.size must be from 0"},
      {{"settings", "set", "video_conf.fps_opt=2"}, "switch"},
      {{"settings", "set", "video_conf.size_w=800", "audio_conf.bitrate=9"}, "audio_conf.bitrate"},
      {{"settings", "set", "video_conf.fps"}, "not GROUP.NAME=VALUE"},
      {{"settings", "set", "nothing.here=1"}, "unknown setting"},
      {{"settings", "set", "etc_conf.fn_prefix=" + std::string(64, 'p')}, "at most 63 characters"},
      {{"settings", "frobnicate"}, "usage"},
      {{"settings"}, "usage"},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(Zelvora(c.args, &out), 2) << c.args.back();
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n') >= 1, true);
    EXPECT_FALSE(fs::exists(StoreFile())) << c.args.back();  // nothing written, not even partly
  }
  // With a file in place a refused set leaves it byte for byte.
  ASSERT_EQ(Zelvora({"settings", "reset"}), 0);
  const std::string before = ReadFile(StoreFile());
  EXPECT_EQ(Zelvora({"settings", "set", "video_conf.size_w=800", "video_conf.fps=9"}), 2);
  EXPECT_EQ(ReadFile(StoreFile()), before);
}

TEST_F(SettingsCli, UnwritableStoreIsAFailureNotASuccess) {
  fs::create_directories(config_.file("Tarvesk"));
  WriteFile(config_.file("Tarvesk/zelvora"), "a file where the folder should be");
  std::string out;
  EXPECT_EQ(Zelvora({"settings", "set", "video_conf.fps=1"}, &out), 1);
  EXPECT_NE(out.find("could not be written"), std::string::npos) << out;
}

// The default subtitle font is a font with Hangul, or none at all: never the first font the
// system would substitute. fontconfig itself says which fonts cover Korean.
TEST_F(SettingsCli, DefaultSubtitleFontCoversHangulOrIsEmpty) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("fc-list"), "fontconfig is not installed");
  std::string korean;
  RunCommand({"fc-list", ":lang=ko", "file"}, &korean);
  const std::string font = Get("sub_conf.font_path");
  if (korean.empty()) {
    ZELVORA_SKIP_WITHOUT_TOOL(true, "no Hangul font is installed (fonts-nanum)");
  }
  EXPECT_FALSE(font.empty());
  EXPECT_NE(korean.find(font + ":"), std::string::npos) << font << " is not among\n" << korean;

  // A fontconfig that knows only fonts without Hangul: no default font rather than a wrong one.
  TempDir fonts;
  std::string latin;
  RunCommand({"fc-list", ":lang=en", "file"}, &latin);
  std::string folder;
  for (size_t at = 0; at < latin.size();) {
    size_t end = latin.find(":", at);
    if (end == std::string::npos) break;
    fs::path file = latin.substr(at, end - at);
    if (korean.find(file.string() + ":") == std::string::npos) {
      folder = fonts.file("only");
      fs::create_directories(folder);
      fs::copy_file(file, folder + "/" + file.filename().string(), fs::copy_options::skip_existing);
    }
    at = latin.find('\n', end);
    at = at == std::string::npos ? latin.size() : at + 1;
  }
  ASSERT_FALSE(folder.empty()) << "no font without Hangul to try";
  WriteFile(fonts.file("fonts.conf"), "<?xml version=\"1.0\"?>\n<fontconfig><dir>" + folder + "</dir><cachedir>" +
                                          fonts.file("cache") + "</cachedir></fontconfig>\n");
  testsupport::ScopedEnv onlyLatin("FONTCONFIG_FILE", fonts.file("fonts.conf"));
  EXPECT_EQ(Get("sub_conf.font_path"), "");
}

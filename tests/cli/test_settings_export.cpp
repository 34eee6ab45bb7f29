// zelvora settings export FILE: what one account uses, as a file another account (or machine)
// reads with --settings or keeps as its store, field for field.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "TestSupport.h"

namespace fs = std::filesystem;
using testsupport::ScopedEnv;
using testsupport::TempDir;

namespace {

int Zelvora(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr) {
  std::vector<std::string> argv = {ZELVORA_CLI_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string o, e;
  int status = testsupport::RunCommandSplit(argv, &o, &e);
  if (out) *out = o;
  if (err) *err = e;
  return status;
}

// "name = value" of every line of `settings show`, without the comment on where it came from.
std::vector<std::string> ShownValues() {
  std::string out;
  EXPECT_EQ(Zelvora({"settings", "show"}, &out), 0) << out;
  std::vector<std::string> values;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::string value = line.substr(0, line.find(" # "));
    while (!value.empty() && value.back() == ' ') value.pop_back();
    values.push_back(value);
  }
  return values;
}

}  // namespace

TEST(SettingsExport, EveryFieldRoundTrips) {
  TempDir dir;
  ScopedEnv home("HOME", dir.file("a"));
  std::vector<std::string> shownA;
  {
    ScopedEnv config("XDG_CONFIG_HOME", dir.file("a/.config"));
    // Every encoding setting away from its default (the empty prefix is stored as a marker),
    // and the paths that are the user's, not the machine's.
    std::vector<std::string> set = {"settings", "set", "encoding_options.output_type=2",
        "encoding_options.origin_ado=1", "encoding_options.sub_mapping=1", "encoding_options.optional=-metadata title=x",
        "video_conf.compress=1", "video_conf.bitrate=1500", "video_conf.fps=2", "video_conf.fps_opt=0",
        "video_conf.size_w=640", "video_conf.size_h=360", "video_conf.size_opt=0", "video_conf.sizing_ratio=0",
        "video_conf.sizing_trim=1", "audio_conf.compress=1", "audio_conf.bitrate=3", "audio_conf.sample_rate=4",
        "audio_conf.sample_rate_opt=1", "audio_conf.channle_mode=3", "audio_conf.bitrate_style=2",
        "audio_conf.volume=150", "sub_conf.position=80", "sub_conf.size=5", "sub_conf.blur=3", "sub_conf.thickness=4",
        "etc_conf.fn_prefix=", "etc_conf.language=1", "encoder.output_folder=" + dir.file("out"),
        "encoder.update_server=host.example:5000", "encoder.last_open_folder=" + dir.str()};
    std::string out;
    ASSERT_EQ(Zelvora(set, &out), 0) << out;
    ASSERT_EQ(Zelvora({"settings", "export", dir.file("job.reg")}, &out), 0) << out;
    shownA = ShownValues();
  }
  const std::string exported = testsupport::ReadFile(dir.file("job.reg"));
  EXPECT_EQ(exported.rfind("Windows Registry Editor Version 5.00", 0), 0u) << exported;
  // This machine's own paths stay out of a file meant for others.
  EXPECT_EQ(exported.find("/usr/bin/ffmpeg"), std::string::npos) << exported;

  // Another account whose store is the exported file sees every value the first one did.
  ScopedEnv config("XDG_CONFIG_HOME", dir.file("b/.config"));
  fs::create_directories(dir.file("b/.config/Tarvesk/zelvora"));
  fs::copy_file(dir.file("job.reg"), dir.file("b/.config/Tarvesk/zelvora/registry.reg"));
  std::vector<std::string> shownB = ShownValues();
  ASSERT_EQ(shownA.size(), shownB.size());
  for (size_t i = 0; i < shownA.size(); ++i) EXPECT_EQ(shownA[i], shownB[i]);
  EXPECT_GE(shownA.size(), 30u);

  // And encode --settings reads it: an empty prefix, MKV, xvid at 1500 kbit/s.
  fs::remove(dir.file("b/.config/Tarvesk/zelvora/registry.reg"));
  testsupport::WriteFile(dir.file("clip.avi"), std::string(4096, '\0'));
  std::string out, err;
  Zelvora({"encode", "--dry-run", "--settings", dir.file("job.reg"), "--output-dir", dir.file("o"), dir.file("clip.avi")},
          &out, &err);
  EXPECT_EQ(err.find("is not taken from"), std::string::npos) << err;
}

TEST(SettingsExport, FreshAccountExportsTheDefaultsAndBadTargetsFail) {
  TempDir dir;
  ScopedEnv home("HOME", dir.file("h"));
  ScopedEnv config("XDG_CONFIG_HOME", dir.file("h/.config"));
  std::string out, err;
  ASSERT_EQ(Zelvora({"settings", "export", dir.file("job.reg")}, &out, &err), 0) << err;
  EXPECT_NE(testsupport::ReadFile(dir.file("job.reg")).find("\"bitrate\"=dword:"), std::string::npos);
  // Exporting writes nothing into the account itself.
  EXPECT_FALSE(fs::exists(dir.file("h/.config/Tarvesk/zelvora/registry.reg")));
  EXPECT_EQ(Zelvora({"settings", "export", dir.str()}, &out, &err), 2);
  EXPECT_NE(err.find("folder"), std::string::npos) << err;
  EXPECT_EQ(Zelvora({"settings", "export", dir.file("no/such/folder/job.reg")}, &out, &err), 1);
  EXPECT_NE(err.find("cannot write"), std::string::npos) << err;
  EXPECT_EQ(Zelvora({"settings", "export"}, &out, &err), 2);
}

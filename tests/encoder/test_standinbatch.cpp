// Whole batch runs with a real child process on every system: the C++ stand-in plays ffmpeg, so
// the run (names outside ASCII, progress, the judgement of the output, its rename into place,
// the outputs that must be kept) is checked under Windows as well as here.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "encoder/BatchRun.h"
#include "encoder/PathText.h"
#include "encoder/RecordingDisplay.h"
#include "encoder/SettingsStore.h"
#include "platform/PowerOff.h"
#include "probe/ListRow.h"

namespace fs = std::filesystem;
using testsupport::RecordingDisplay;
using testsupport::TempDir;

namespace {

const InterfaceTexts& T() { return kKoreanTexts; }

// A whole MP4 of the shared real-world media, which the stand-in copies as its output.
fs::path SampleMp4() {
  return fs::path(ZELVORA_SOURCE_DIR) / ".." / "shared" / "media" / "realworld" / "Red5__red5-server__sample.mp4";
}

struct StandInBatch : ::testing::Test {
  TempDir dir;
  std::string folder = Utf8Path(dir.path());
  EncodingSettings settings;
  StoredPaths paths;
  FileList list;
  RecordingDisplay display;
  FakePowerControl power;
  std::unique_ptr<CBatchRun> run;

  void SetUp() override {
    if (!fs::exists(SampleMp4())) GTEST_SKIP() << "the shared real-world media are not there: " << SampleMp4();
    ResetSettings(settings);
    paths.ProgramFolder = JoinPath(folder, "program");
    paths.output_folder = JoinPath(folder, "out");
    paths.error_log_path = JoinPath(paths.ProgramFolder, "error_log.txt");
    paths.encoder_path_a = testsupport::NativePath(ZELVORA_STANDIN_PATH);
    fs::create_directories(FsPath(paths.ProgramFolder));
    run = std::make_unique<CBatchRun>(BatchEnvironment{&settings, &paths, &list, &T(), &display, &power});
  }

  // A copy of the sample named `name` (UTF-8), probed into a row as the list does.
  size_t Add(const std::string& name) {
    const std::string path = JoinPath(folder, name);
    fs::copy_file(SampleMp4(), FsPath(path));
    ListRowTexts row;
    int result = -1;
    MediaInfo info;
    ProbeListRow(path, T(), false, row, result, info);
    return list.append(row);
  }

  std::string Output(const std::string& name) const { return JoinPath(paths.output_folder, name); }

  void RunToEnd() {
    ASSERT_EQ(run->OnStartButton(), 1);
    run->JoinThread();
  }

  std::string ErrorLog() const {
    std::string all;
    std::error_code ec;
    for (auto& e : fs::directory_iterator(FsPath(paths.ProgramFolder), ec))
      if (Utf8Path(e.path().filename()).rfind("error_log_", 0) == 0) all += testsupport::ReadFile(e.path().string());
    return all;
  }

  // Names in the output folder other than `expected`: nothing temporary may be left.
  std::vector<std::string> Leftovers(const std::vector<std::string>& expected) const {
    std::vector<std::string> left;
    for (auto& e : fs::directory_iterator(FsPath(paths.output_folder))) {
      std::string name = Utf8Path(e.path().filename());
      if (std::find(expected.begin(), expected.end(), name) == expected.end()) left.push_back(name);
    }
    return left;
  }
};

}  // namespace

TEST_F(StandInBatch, EveryRowIsDoneAndItsOutputTakesItsName) {
  const size_t korean = Add("클립 하나.mp4");
  const size_t plain = Add("clip two.mp4");
  RunToEnd();
  EXPECT_EQ(list.text(korean, kColStatus), T().status_done) << ErrorLog();
  EXPECT_EQ(list.text(plain, kColStatus), T().status_done) << ErrorLog();
  const auto sampleSize = fs::file_size(SampleMp4());
  for (const char* name : {"_ZLVR_클립 하나.mp4", "_ZLVR_clip two.mp4"}) {
    std::error_code ec;
    EXPECT_EQ(fs::file_size(FsPath(Output(name)), ec), sampleSize) << name << ": " << ec.message();
  }
  EXPECT_EQ(run->Outcome(korean).outputPath, Output("_ZLVR_클립 하나.mp4"));
  EXPECT_EQ(Leftovers({"_ZLVR_클립 하나.mp4", "_ZLVR_clip two.mp4"}), std::vector<std::string>{});
  EXPECT_EQ(display.Text(DisplayText::kStatusLine), T().conversion_done);
  EXPECT_EQ(power.powerOffCalls, 0);
}

TEST_F(StandInBatch, OutputsThatMustStayAreKeptAndOthersReplaced) {
  // Without a prefix an existing file is never replaced; with one, the earlier output is.
  fs::create_directories(FsPath(paths.output_folder));
  const size_t kept = Add("kept.mp4");
  testsupport::WriteFile(Utf8Path(FsPath(Output("kept.mp4"))), "the user's own file");
  settings.fn_prefix = "";
  RunToEnd();
  EXPECT_EQ(list.text(kept, kColStatus), T().status_error);
  EXPECT_EQ(testsupport::ReadFile(Utf8Path(FsPath(Output("kept.mp4")))), "the user's own file");
  EXPECT_NE(ErrorLog().find("it is kept"), std::string::npos) << ErrorLog();

  list.setText(kept, kColStatus, T().status_waiting);
  settings.fn_prefix = "new_";
  testsupport::WriteFile(Utf8Path(FsPath(Output("new_kept.mp4"))), "an earlier output");
  RunToEnd();
  EXPECT_EQ(list.text(kept, kColStatus), T().status_done) << ErrorLog();
  std::error_code ec;
  EXPECT_EQ(fs::file_size(FsPath(Output("new_kept.mp4")), ec), fs::file_size(SampleMp4()));
  EXPECT_EQ(Leftovers({"kept.mp4", "new_kept.mp4"}), std::vector<std::string>{});
}

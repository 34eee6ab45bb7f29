// Whole batch runs with a real child process on every system: the C++ stand-in plays ffmpeg, so
// the run (names outside ASCII, progress, the judgement of the output, its rename into place,
// the outputs that must be kept) is checked under Windows as well as here.
#include <gtest/gtest.h>

#include <filesystem>

#include "TestSupport.h"
#include "encoder/BatchRun.h"
#include "encoder/EncoderSystem.h"
#include "encoder/PathText.h"
#include "encoder/RecordingDisplay.h"
#include "encoder/SettingsStore.h"
#include "encoder/Subtitles.h"
#include "platform/PowerOff.h"
#include "probe/ListRow.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::RecordingDisplay;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const InterfaceTexts& T() { return kKoreanTexts; }

// A whole MP4, which the stand-in copies as its output: one of the shared real-world media when
// they lie beside the source tree, else one made once by ffmpeg (the Linux one under Wine, as the
// other fixture tools). Empty when there is neither.
fs::path SampleMp4() {
  static const fs::path sample = [] {
    const fs::path shared =
        fs::path(ZELVORA_SOURCE_DIR) / ".." / "shared" / "media" / "realworld" / "Red5__red5-server__sample.mp4";
    if (fs::exists(shared)) return shared;
    const fs::path made = testsupport::TestHome() / "sample.mp4";
    std::string log;
    const int status = testsupport::RunFixtureTool(
        {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
         "testsrc=size=160x120:rate=25:duration=2", "-f", "lavfi", "-i", "sine=duration=2", "-c:v", "mpeg4", "-c:a",
         "aac", "-shortest", Utf8Path(made)},
        &log);
    std::error_code ec;
    return status == 0 && fs::file_size(made, ec) > 0 ? made : fs::path();
  }();
  return sample;
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
    ZELVORA_SKIP_UNLESS_REQUIRED(SampleMp4().empty(), "neither the shared real-world media nor ffmpeg to make a sample",
                                 testsupport::FixtureToolsRequired());
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
    for (auto& e : fs::directory_iterator(FsTextPath(paths.ProgramFolder), ec))
      if (Utf8Path(e.path().filename()).rfind("error_log_", 0) == 0) all += ReadFile(Utf8Path(e.path()));
    return all;
  }

  // Names in the output folder other than `expected`: nothing temporary may be left. (Listed
  // with the system's own calls on Windows: the C++ library's folder walk cannot take a path
  // past 260 characters there and lists the current folder instead.)
  std::vector<std::string> Leftovers(const std::vector<std::string>& expected) const {
    std::vector<std::string> names, left;
#ifdef _WIN32
    WIN32_FIND_DATAW entry{};
    HANDLE find = ::FindFirstFileW(WidePath(JoinPath(paths.output_folder, "*")).c_str(), &entry);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::string name = Utf8FromWide(entry.cFileName);
        if (name != "." && name != "..") names.push_back(name);
      } while (::FindNextFileW(find, &entry));
      ::FindClose(find);
    }
#else
    for (auto& e : fs::directory_iterator(paths.output_folder)) names.push_back(e.path().filename().string());
#endif
    for (const std::string& name : names)
      if (std::find(expected.begin(), expected.end(), name) == expected.end()) left.push_back(name);
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
  WriteFile(Output("kept.mp4"), "the user's own file");
  settings.fn_prefix = "";
  RunToEnd();
  EXPECT_EQ(list.text(kept, kColStatus), T().status_error);
  EXPECT_EQ(ReadFile(Output("kept.mp4")), "the user's own file");
  EXPECT_NE(ErrorLog().find("it is kept"), std::string::npos) << ErrorLog();

  list.setText(kept, kColStatus, T().status_waiting);
  settings.fn_prefix = "new_";
  WriteFile(Output("new_kept.mp4"), "an earlier output");
  RunToEnd();
  EXPECT_EQ(list.text(kept, kColStatus), T().status_done) << ErrorLog();
  std::error_code ec;
  EXPECT_EQ(fs::file_size(FsPath(Output("new_kept.mp4")), ec), fs::file_size(SampleMp4()));
  EXPECT_EQ(Leftovers({"kept.mp4", "new_kept.mp4"}), std::vector<std::string>{});
}

TEST_F(StandInBatch, PathsPastTwoHundredSixtyCharacters) {
  // Folders nested until both the source and the output path are longer than the 260
  // characters Windows once took.
  std::string deep = folder;
  for (int i = 0; deep.size() < 300; ++i) deep = JoinPath(deep, "폴더-with-a-long-name-" + std::to_string(i));
  fs::create_directories(FsPath(deep));
  folder = deep;
  paths.output_folder = JoinPath(deep, "out");
  const size_t row = Add("긴 경로의 클립.mp4");
  EXPECT_GT(list.text(row, kColFullPath).size(), 300u);
  EXPECT_EQ(list.text(row, kColType), "m4v") << "the probe reads the source by its long path";
  RunToEnd();
  EXPECT_EQ(list.text(row, kColStatus), T().status_done) << ErrorLog();
  std::error_code ec;
  EXPECT_EQ(fs::file_size(FsPath(Output("_ZLVR_긴 경로의 클립.mp4")), ec), fs::file_size(SampleMp4())) << ec.message();
  EXPECT_EQ(Leftovers({"_ZLVR_긴 경로의 클립.mp4"}), std::vector<std::string>{});
  // The temporary folder's own clean-up walks folders with the C++ library: the long part goes first.
  RemoveFolderTree(JoinPath(Utf8Path(dir.path()), "폴더-with-a-long-name-0"));
}

// Subtitles in the Korean code page get a UTF-8 copy in the work folder, the same on every system
// (iconv here, the system's code page tables on Windows); a line that is not CP949 stays as it is.
TEST(SubtitleCopy, KoreanCodePageBecomesUtf8) {
  TempDir dir;
  const std::string folder = JoinPath(Utf8Path(dir.path()), "자막 폴더");
  fs::create_directories(FsPath(folder));
  const std::string ansi = JoinPath(folder, "b.smi"), work = JoinPath(folder, "work");
  WriteFile(ansi, "<SAMI>\r\n<P>\xC0\xDA\xB8\xB7 \xBE\xC8\xB3\xE7\r\n<P>\xC0\xFF\xFF\r\n");
  std::string error;
  const std::string copy = PrepareSubtitle(ansi, work, &error);
  ASSERT_EQ(copy, JoinPath(work, "b.smi")) << error;
  EXPECT_EQ(ReadFile(copy), "<SAMI>\r\n<P>자막 안녕\r\n<P>\xC0\xFF\xFF\r\n");
}

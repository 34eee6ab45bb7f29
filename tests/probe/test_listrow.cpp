// The file-list row texts written after a probe.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "probe/ListRow.h"

using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

InterfaceTexts StatusTexts() {
  InterfaceTexts texts{};
  texts.status_waiting = "대기";
  texts.status_failed = "실패";
  return texts;
}

MediaInfo Info(int32_t duration, int32_t kbps, int64_t size, const char* type) {
  MediaInfo info;
  info.duration_s = duration;
  info.bitrate_kbps = kbps;
  info.file_size = size;
  info.type_name = type;
  return info;
}

}  // namespace

TEST(ListRow, ProbedFileFillsColumns) {
  const InterfaceTexts texts = StatusTexts();
  MediaInfo info = Info(3725, 1536, 5 * 1024 * 1024 + 1, "m4v");
  info.ensureVideo() = {"avc1", 640, 480, 1400, 0};
  info.ensureAudio() = {"mp4a", 44100, 128, 2, 0};
  const ListRowTexts row = MakeListRow("/media/clips/Holiday 1.mp4", kTypeM4v, info, texts, false);
  const ListRowTexts expected = {"Holiday 1.mp4", "01:02:05", "avc1", "mp4a", "640", "480",
                                 "1.5mbps",       "6MB",      "m4v",  "대기", "/media/clips/Holiday 1.mp4", "44100"};
  EXPECT_EQ(row, expected);
}

TEST(ListRow, EmptyWhereTheProbeFoundNothing) {
  const InterfaceTexts texts = StatusTexts();
  struct Case {
    MediaInfo info;
    ListRowTexts expected;
  };
  MediaInfo audioOnly = Info(0, 999, 1023, "mp3");
  audioOnly.ensureAudio() = {"V1.0L3", 0, 999, 2, 0};
  MediaInfo zeroSizes = Info(360000, 1000, 0, "avi");
  zeroSizes.ensureVideo() = {"XVID", 0, -4, 0, 0};
  Case cases[] = {
      {std::move(audioOnly), {"a.mp3", "", "", "V1.0L3", "", "", "999kbps", "1023 Bytes", "mp3", "대기", "a.mp3", "0"}},
      {std::move(zeroSizes), {"a.mp3", "100:00:00", "XVID", "", "", "", "1.0mbps", "", "avi", "대기", "a.mp3", ""}},
      {Info(-5, -1, 1536, "mts"), {"a.mp3", "", "", "", "", "", "", "2KB", "mts", "대기", "a.mp3", ""}},
  };
  for (const auto& c : cases) EXPECT_EQ(MakeListRow("a.mp3", 1, c.info, texts, false), c.expected);
}

TEST(ListRow, FailureAndSkipScan) {
  const InterfaceTexts texts = StatusTexts();
  MediaInfo partial = Info(10, 100, 2048, "mp3");
  ListRowTexts failed = MakeListRow("/x/y.mp3", -1, partial, texts, false);
  EXPECT_EQ(failed, (ListRowTexts{"y.mp3", "", "", "", "", "", "", "", "", "실패", "/x/y.mp3", ""}));

  // Without a scan only the size and the status are written, whatever the probe fields say.
  ListRowTexts skipped = MakeListRow("/x/y.mp3", -1, Info(10, 100, 1536, "mp3"), texts, true);
  EXPECT_EQ(skipped, (ListRowTexts{"y.mp3", "", "", "", "", "", "", "2KB", "", "대기", "/x/y.mp3", ""}));
  ListRowTexts empty = MakeListRow("/x/y.mp3", 1, Info(10, 100, 0, "mp3"), texts, true);
  EXPECT_EQ(empty[kColStatus], "");
}

TEST(ListRow, BitRateTexts) {
  const std::pair<int32_t, const char*> cases[] = {{0, ""},          {-3, ""},          {1, "1kbps"},
                                                   {999, "999kbps"}, {1000, "1.0mbps"}, {1049, "1.0mbps"},
                                                   {1060, "1.1mbps"}, {25000, "25.0mbps"}};
  for (auto [kbps, text] : cases) EXPECT_EQ(FormatBitRate(kbps), text) << kbps;
}

TEST(ListRow, ProbePassOnFiles) {
  const InterfaceTexts texts = StatusTexts();
  TempDir dir;
  WriteFile(dir.file("clip.ts"), std::string(1536, 'x'));
  WriteFile(dir.file("noise.xyz"), std::string(4000, 'x'));
  WriteFile(dir.file("empty.ts"), "");
  struct Case {
    std::string name;
    bool skipScan;
    RowProbe outcome;
    int result;
    const char* size;
    const char* status;
  };
  const Case cases[] = {
      {"clip.ts", false, RowProbe::kProbed, kTypeMts, "2KB", "대기"},
      {"clip.ts", true, RowProbe::kProbed, -1, "2KB", "대기"},
      {"noise.xyz", false, RowProbe::kProbed, -1, "", "실패"},
      {"empty.ts", false, RowProbe::kProbed, -1, "", "실패"},
      {"empty.ts", true, RowProbe::kNoStatus, -1, "", ""},
      {"missing.ts", false, RowProbe::kNotOpened, -1, "", ""},
      {"missing.ts", true, RowProbe::kNoStatus, -1, "", ""},
  };
  for (const auto& c : cases) {
    ListRowTexts row;
    int result = 0;
    MediaInfo info;
    const std::string path = dir.file(c.name);
    EXPECT_EQ(ProbeListRow(path, texts, c.skipScan, row, result, info), c.outcome) << c.name;
    EXPECT_EQ(result, c.result) << c.name;
    EXPECT_EQ(row[kColFileName], c.name);
    EXPECT_EQ(row[kColFullPath], path);
    EXPECT_EQ(row[kColSize], c.size) << c.name;
    EXPECT_EQ(row[kColStatus], c.status) << c.name;
  }
}

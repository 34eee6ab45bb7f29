// The encoder output monitor: time texts, line parsing, line assembly, progress and time estimates, real encoders.
#include <gtest/gtest.h>

#include "RecordingDisplay.h"
#include "TestSupport.h"
#include "encoder/OutputMonitor.h"
#include "encoder/Redirect.h"

using namespace std::chrono_literals;
using testsupport::RecordingDisplay;

namespace {

const std::string kProgress250 =
    "frame=  250 fps= 25 q=28.0 size=     512kB time=00:00:10.00 bitrate= 419.4kbits/s";

std::string ProgressLine(int frame, const std::string& time) {
  return "frame=" + std::to_string(frame) + " fps= 25 q=28.0 size=     512kB time=" + time +
         " bitrate= 419.4kbits/s speed=1.0x    ";
}

}  // namespace

TEST(ReadTimeText, ReadsHoursMinutesSecondsAndDropsTheFraction) {
  const struct {
    const char* text;
    uint32_t seconds;
  } cases[] = {
      {"00:00:12.34", 12}, {"1:02:03", 3723}, {"95.2", 95},     {"02:30", 150},
      {"00:01:30", 90},    {"", 0},           {"N/A", 0},       {"1:2:3:4", 0},
      {"-00:00:01.50", 1}, {"-5", 0},         {"9999999999:00:00", UINT32_MAX},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadTimeText(c.text), c.seconds) << c.text;
  EXPECT_EQ(ReadTimeText(std::string(127, '1').substr(0, 126) + "9"), UINT32_MAX);
  EXPECT_EQ(ReadTimeText(std::string(128, '1')), 0u);
}

TEST(ReadTimeMillis, KeepsTheFractionToTheMillisecond) {
  const struct {
    const char* text;
    uint64_t millis;
  } cases[] = {
      {"00:00:01.96", 1960}, {"00:00:02.00", 2000}, {"1:02:03.5", 3723500}, {"95.2", 95200},
      {"00:00:00.04", 40},   {"12.34567", 12345},   {"02:30", 150000},      {"", 0},
      {"N/A", 0},            {"1:2:3:4.5", 0},      {"-5.5", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(ReadTimeMillis(c.text), c.millis) << c.text;
}

TEST(ParseFfmpegLine, ReadsDurationTimeFrameAspectAndErrors) {
  struct Expect {
    std::optional<uint32_t> duration;
    std::optional<uint32_t> time;
    std::optional<int> frame;
    bool bad_aspect = false;
    bool error = false;
  };
  const struct {
    std::string line;
    Expect e;
  } cases[] = {
      {"  Duration: 00:01:30.52, start: 0.000000, bitrate: 1200 kb/s", {90}},
      {"  Duration: N/A, start: 0.000000, bitrate: N/A", {0}},
      {"  Duration: 00:01:30.52", {}},  // no ',' after the value
      {"  Duration: , start: 0", {}},   // ',' right after the label
      {kProgress250, {std::nullopt, 10, 250}},
      {"frame=250", {}},                                   // no blank after the number
      {"frame=    0 fps=0.0 q=0.0 size=       0kB time=N/A bitrate=N/A", {std::nullopt, 0, 0}},
      {"size=     512kB time=00:00:10.00", {}},            // no blank after the time
      {"xframe=  250 time=1 ", {std::nullopt, 1}},         // "frame=" only at the start counts
      {"Invalid pixel aspect ratio 0/1, limit is 255/255", {std::nullopt, std::nullopt, std::nullopt, true}},
      {"[mpeg4 @ 0x1] INVALID PIXEL ASPECT RATIO", {std::nullopt, std::nullopt, std::nullopt, true}},
      {"Error while opening encoder for output stream #0:0", {std::nullopt, std::nullopt, std::nullopt, false, true}},
      {"[aac @ 0x1] decode ERROR in frame", {std::nullopt, std::nullopt, std::nullopt, false, true}},
      {"error", {}},  // "error " needs its blank
  };
  for (const auto& c : cases) {
    EncoderLine r = ParseFfmpegLine(c.line);
    EXPECT_EQ(r.duration, c.e.duration) << c.line;
    EXPECT_EQ(r.time, c.e.time) << c.line;
    EXPECT_EQ(r.frame, c.e.frame) << c.line;
    EXPECT_EQ(r.bad_aspect, c.e.bad_aspect) << c.line;
    EXPECT_EQ(r.error, c.e.error) << c.line;
    EXPECT_FALSE(r.percent) << c.line;
  }
}

TEST(ParseMencoderLine, ReadsThePercentageOfPosLines) {
  const struct {
    std::string line;
    std::optional<int> percent;
  } cases[] = {
      {"Pos:   0.0s      1f ( 0%)", 0},
      {"Pos:  12.3s    310f (12%) 25.01fps Trem:   1min   5mb  A-V:0.000 [800:128]", 12},
      {"Pos:   3.0s     76f (102%)  0.00fps Trem:   0min   0mb  A-V:0.000 [220:63]  ", 102},
      {"Pos:   3.0s     76f (12", 0},  // no '%' after '('
      {"Pos: no bracket", std::nullopt},
      {"Skipping frame!", std::nullopt},
      {" Pos:  1.0s (5%)", std::nullopt},  // must begin the line
      {kProgress250, std::nullopt},
  };
  for (const auto& c : cases) {
    EncoderLine r = ParseMencoderLine(c.line);
    EXPECT_EQ(r.percent, c.percent) << c.line;
    EXPECT_FALSE(r.time || r.frame || r.duration || r.error || r.bad_aspect) << c.line;
  }
}

TEST(OutputRingBuffer, GrowsInStepsOf4096AndKeepsOrderAcrossTheWrap) {
  OutputRingBuffer ring;
  EXPECT_EQ(ring.Capacity(), 4096u);
  ring.Append(std::string(3000, 'a'));
  ring.Remove(2990);
  ring.Append(std::string(2000, 'b') + "\r");  // wraps around the end
  EXPECT_EQ(ring.Capacity(), 4096u);
  EXPECT_EQ(ring.FindLineEnd(5000), 2010u);
  EXPECT_EQ(ring.FindLineEnd(2010), std::string::npos);
  EXPECT_EQ(ring.FindLineEnd(5000, 1500), 2010u);  // the search resumes past the wrap
  EXPECT_EQ(ring.FindLineEnd(5000, 2011), std::string::npos);
  EXPECT_EQ(ring.Peek(12), "aaaaaaaaaabb");
  ring.Append(std::string(6000, 'c'));  // 8011 bytes: one step of 4096 is enough
  EXPECT_EQ(ring.Capacity(), 8192u);
  EXPECT_EQ(ring.Peek(ring.Size()), std::string(10, 'a') + std::string(2000, 'b') + "\r" + std::string(6000, 'c'));
  ring.Append(std::string(9000, 'd'));
  EXPECT_EQ(ring.Capacity(), 20480u);
  ring.Remove(100000);
  EXPECT_EQ(ring.Size(), 0u);
}

// Feeds chunks as the reader thread would and looks at m_zRowVal and the display.
class MonitorTest : public ::testing::Test {
 protected:
  void Feed(const std::string& text) { monitor.ProcessChunk(text); }
  RecordingDisplay display;
  OutputMonitor monitor{display};
  RowMonitorState& row = monitor.m_zRowVal;

  void SetUp() override {
    row.Clear();
    monitor.ResetProgress(1);
    monitor.StartRun(1000);
    monitor.ResetProgress(0);
    monitor.StartFile(1000);
  }
};

TEST_F(MonitorTest, ChunksSplitInsideALineAreJoined) {
  Feed("Input #0, avi, from 'in.avi':\n  Dura");
  EXPECT_EQ(row.ulDuration, 0u);
  Feed("tion: 00:01:40.00, st");
  Feed("art: 0.000000, bitrate: 1200 kb/s\r\n");
  EXPECT_EQ(row.ulDuration, 100u);
  Feed(kProgress250.substr(0, 40));
  EXPECT_EQ(row.iPercent, 0);
  Feed(kProgress250.substr(40) + "\r");
  EXPECT_EQ(row.iPercent, 10);
  EXPECT_EQ(row.iLastFrame, 250);
  EXPECT_TRUE(row.bOutputDone);
  EXPECT_EQ(display.Text(DisplayText::kFilePercent), "10%");
}

TEST_F(MonitorTest, ShortFilesReachTheirEndToTheMillisecond) {
  // ffmpeg's last progress line names the start of the last frame: 1.96 s of a 2 s clip is its
  // end, though in whole seconds it would be 1 of 2.
  const struct {
    const char* duration;
    const char* lastTime;
    int percent;
  } cases[] = {{"00:00:02.00", "00:00:01.96", 98}, {"00:00:00.50", "00:00:00.48", 96}, {"00:00:10.00", "00:00:09.96", 99}};
  for (const auto& c : cases) {
    row.Clear();
    Feed(std::string("  Duration: ") + c.duration + ", start: 0.000000, bitrate: 300 kb/s\n");
    Feed(ProgressLine(49, c.lastTime) + "\r");
    EXPECT_EQ(row.iPercent, c.percent) << c.duration;
  }
}

TEST_F(MonitorTest, CarriageReturnSeparatedProgressUpdatesEachCount) {
  row.ulDuration = 100;
  Feed(ProgressLine(250, "00:00:10.00") + "\r" + ProgressLine(500, "00:00:20.00") + "\r" +
       ProgressLine(750, "00:00:30.00") + "\r");
  EXPECT_EQ(row.iPercent, 30);
  std::vector<std::string> bars;
  for (const auto& e : display.Events())
    if (e.starts_with("file_bar")) bars.push_back(e);
  EXPECT_EQ(bars, (std::vector<std::string>{"file_bar=0", "file_bar=10", "file_bar=20", "file_bar=30"}));
}

TEST_F(MonitorTest, RepeatedFrameNumbersCountAsAStall) {
  row.ulDuration = 100;
  Feed(kProgress250 + "\n");
  EXPECT_EQ(row.iPercent, 10);
  EXPECT_EQ(row.iSamePosCnt, 0);
  for (int i = 0; i < 11; ++i) Feed(kProgress250 + "\r");
  EXPECT_EQ(row.iSamePosCnt, 11);
  EXPECT_GT(row.iSamePosCnt, SAMEPOSCNT_BREAK);
  Feed(ProgressLine(251, "00:00:10.04") + "\r");
  EXPECT_EQ(row.iSamePosCnt, 0);
  EXPECT_EQ(row.iLastFrame, 251);
}

TEST_F(MonitorTest, StartUpLinesAtFrameZeroAreNoStall) {
  row.ulDuration = 100;
  for (int i = 0; i < 20; ++i) Feed(ProgressLine(0, "00:00:00.00") + "\r");
  EXPECT_EQ(row.iSamePosCnt, 0);
}

TEST_F(MonitorTest, AspectComplaintsCountOnlyBeforeProgress) {
  row.ulDuration = 100;
  const std::string complaint = "[mpeg4 @ 0x55] Invalid pixel aspect ratio 0/1, limit is 255/255\n";
  Feed(complaint + complaint);
  EXPECT_EQ(row.iBadAspectCnt, 2);
  Feed(ProgressLine(250, "00:00:10.00") + "\r");
  EXPECT_EQ(row.iBadAspectCnt, 0) << "progress clears the count";
  Feed(complaint);
  EXPECT_EQ(row.iBadAspectCnt, 0);
}

TEST_F(MonitorTest, DurationNotAvailableFallsBackToTheProbeDuration) {
  row.ulProbeDuration = 50;
  Feed("  Duration: N/A, start: 0.000000, bitrate: N/A\n");
  EXPECT_EQ(row.ulDuration, 0u);
  Feed(ProgressLine(250, "00:00:10.00") + "\r");
  EXPECT_EQ(row.ulDuration, 50u);
  EXPECT_EQ(row.iPercent, 20);
  Feed("  Duration: 00:10:00.00, start: 0.000000, bitrate: 1 kb/s\n");
  EXPECT_EQ(row.ulDuration, 50u) << "a known duration stays";
}

TEST_F(MonitorTest, WithoutAnyDurationProgressLinesChangeNothing) {
  Feed(ProgressLine(250, "00:00:10.00") + "\r");
  EXPECT_EQ(row.iPercent, 0);
  EXPECT_EQ(display.Text(DisplayText::kFilePercent), "00%");
  EXPECT_EQ(row.iLastFrame, 250) << "the stall count still runs";
}

TEST_F(MonitorTest, AlternativeEncoderReadsOnlyPosLines) {
  monitor.m_bUseAlternative = true;
  Feed("Pos:   0.0s      1f ( 0%)  0.00fps Trem:   0min   0mb  A-V:0.000 [0:0]\r");
  EXPECT_EQ(row.iPercent, 0);
  Feed("Skipping frame!\nPos:  12.3s    310f (12%) 25.01fps Trem:   1min   5mb  A-V:0.000 [800:128]\r");
  EXPECT_EQ(row.iPercent, 12);
  EXPECT_EQ(display.Text(DisplayText::kFilePercent), "12%");
  Feed("  Duration: 00:01:40.00, start: 0\n" + kProgress250 + "\nError opening filter!\n");
  EXPECT_EQ(row.ulDuration, 0u);
  EXPECT_EQ(row.iLastFrame, 0);
  EXPECT_TRUE(row.szLastError.Empty());
  EXPECT_EQ(row.iPercent, 12);
}

TEST_F(MonitorTest, LastErrorLineIsKeptAndCut) {
  Feed("[libx264 @ 0x1] Error while opening encoder for output stream #0:0\n");
  EXPECT_EQ(row.szLastError.Get(), "[libx264 @ 0x1] Error while opening encoder for output stream #0:0");
  Feed("ERROR " + std::string(3000, 'e') + "\n");
  EXPECT_EQ(row.szLastError.Get(), "ERROR " + std::string(1017, 'e'));
}

TEST_F(MonitorTest, LineLongerThanTheLimitIsCutAndTheBufferStaysBounded) {
  // One 100 000-byte line in reader-sized chunks, then ordinary output.
  const std::string line = "error " + std::string(100000 - 6, 'x');
  for (size_t at = 0; at < line.size(); at += 2048) Feed(line.substr(at, 2048));
  Feed("\nframe=  7 fps=0.0 q=0.0 size=0kB time=N/A \r");
  EXPECT_EQ(row.szLastError.Get(), "error " + std::string(1017, 'x'));
  EXPECT_EQ(row.iLastFrame, 7) << "output after the long line is read normally";
  const std::string rest = monitor.BufferedOutput();
  EXPECT_TRUE(rest.empty()) << rest.size();
  EXPECT_LE(monitor.OutputCapacity(), 20480u + 4096u);
}

TEST_F(MonitorTest, FlushReadsAFinalLineWithoutLineEnd) {
  Feed("Conversion failed with error code");
  EXPECT_TRUE(row.szLastError.Empty());
  Feed(" 1");
  monitor.FlushOutput();
  EXPECT_EQ(row.szLastError.Get(), "Conversion failed with error code 1");
  EXPECT_TRUE(monitor.BufferedOutput().empty());
}

TEST_F(MonitorTest, UpdateAndResetDriveTheSevenDisplays) {
  double now = 0;
  monitor.SetClock([&] { return now; });
  monitor.ResetProgress(1);
  monitor.StartRun(4000);
  monitor.ResetProgress(0);
  monitor.StartFile(2000);
  display.ClearEvents();
  now = 30;
  monitor.UpdateProgress(50);
  EXPECT_EQ(display.Events(), (std::vector<std::string>{
                                  "file_bar=50", "file_percent=50%", "total_bar=25", "total_percent=25%",
                                  "estimated_total_time=00:02:00", "elapsed_time=00:00:30", "remaining_time=00:01:30"}));
  display.ClearEvents();
  monitor.UpdateProgress(50);
  EXPECT_TRUE(display.Events().empty()) << "an unchanged percentage costs nothing";
  monitor.UpdateProgress(140);
  EXPECT_EQ(display.Text(DisplayText::kFilePercent), "99%");
  EXPECT_EQ(display.Bar(DisplayBar::kFile), 100);
  monitor.FinishFile();
  monitor.ResetProgress(0);
  EXPECT_EQ(display.Text(DisplayText::kFilePercent), "00%");
  EXPECT_EQ(display.Bar(DisplayBar::kFile), 0);
  EXPECT_EQ(monitor.Progress().finished_kbytes, 2000);
  monitor.ResetProgress(1);
  EXPECT_EQ(display.Text(DisplayText::kTotalPercent), "00%");
  EXPECT_EQ(display.Bar(DisplayBar::kTotal), 0);
  EXPECT_EQ(monitor.Progress().finished_kbytes, 0);
}

TEST(ComputeProgress, TimeEstimatesFromSizesElapsedTimeAndPercent) {
  const char* kSame = "-";  // the display is left as it is
  const struct {
    int64_t cur_kbytes, finished_kbytes, total_kbytes;
    int last_file, last_total;
    double elapsed;
    int percent;
    const char *file_label, *total_label, *estimated, *elapsed_text, *remaining;
  } cases[] = {
      {1000, 0, 1000, 0, 0, 10, 50, "50%", "50%", "00:00:20", "00:00:10", "00:00:10"},
      {2000, 1000, 3000, 0, 33, 100, 25, "25%", "50%", "00:03:20", "00:01:40", "00:01:40"},
      {1000, 0, 1000, 0, 0, 61.9, 100, "99%", "99%", "00:01:01", "00:01:01", "00:00:00"},
      {1000, 0, 1000, 0, 0, 10, 250, "99%", "99%", "00:00:10", "00:00:10", "00:00:00"},
      {1, 0, 1000, 0, 0, 10, 50, "50%", kSame, kSame, kSame, kSame},  // half a KiB done: nothing to estimate
      {1, 5, 1000, 0, 0, 10, 50, "50%", kSame, "00:33:20", "00:00:10", "00:33:10"},
      {1000, 0, 2000, 0, 25, 7, 50, "50%", kSame, "00:00:28", "00:00:07", "00:00:21"},  // overall unchanged
      {10485760, 0, 10485760, 0, 0, 3600, 1, "1%", kSame, "100:00:02", "01:00:00", "99:00:02"},
      {1000, 0, 0, 0, 0, 10, 50, "50%", kSame, "00:00:00", "00:00:10", kSame},  // no total: no overall, negative remainder
      {1000, 0, 1000, 40, 0, 10, 40, kSame, kSame, kSame, kSame, kSame},          // unchanged percentage
      {1000, 0, 1000, 0, 0, 10, -5, kSame, kSame, kSame, kSame, kSame},           // negative counts as 0
  };
  auto text = [&](const std::optional<std::string>& v) { return v ? *v : std::string(kSame); };
  for (const auto& c : cases) {
    ProgressState state;
    state.ulCurKbytes = c.cur_kbytes;
    state.finished_kbytes = c.finished_kbytes;
    state.total_kbytes = c.total_kbytes;
    state.last_file_percent = c.last_file;
    state.last_total_percent = c.last_total;
    state.run_start = 1000;
    ProgressView v = ComputeProgress(state, c.percent, 1000 + c.elapsed);
    const std::string where = std::to_string(c.cur_kbytes) + "/" + std::to_string(c.total_kbytes) + " at " +
                              std::to_string(c.percent) + "%";
    EXPECT_EQ(text(v.file_label), c.file_label) << where;
    EXPECT_EQ(text(v.total_label), c.total_label) << where;
    EXPECT_EQ(text(v.estimated_total_time), c.estimated) << where;
    EXPECT_EQ(text(v.elapsed_time), c.elapsed_text) << where;
    EXPECT_EQ(text(v.remaining_time), c.remaining) << where;
  }
}

// ---------------------------------------------------------------- real encoders

namespace {

void RunEncoder(OutputMonitor& monitor, const std::string& commandLine) {
  monitor.ClearOutput();
  monitor.m_zRowVal.bOutputDone = false;
  CRedir redir(&monitor, &OutputMonitor::OnEncoderOutput, &OutputMonitor::OnEncoderTerminate);
  ASSERT_EQ(redir.StartChildProcess(commandLine, 0, 0), 1) << redir.StartError();
  ASSERT_TRUE(redir.WaitForChildEnd(120s));
}

// A clip made by ffmpeg and a monitor with a fresh row for each test.
class OutputMonitorWithEncoders : public ::testing::Test {
 protected:
  void SetUp() override {
    ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("ffmpeg"), "ffmpeg is not installed");
    clip = testsupport::MakeClip(dir.file("clip.avi"), {.seconds = 3});
    monitor.m_zRowVal.Clear();
  }

  testsupport::TempDir dir;
  std::string clip;
  RecordingDisplay display;
  OutputMonitor monitor{display};
};

}  // namespace

TEST_F(OutputMonitorWithEncoders, FfmpegRunReportsDurationAndFullProgress) {
  monitor.ResetProgress(1);
  monitor.StartRun(100);
  monitor.ResetProgress(0);
  monitor.StartFile(100);
  RunEncoder(monitor, "\"ffmpeg\" -i \"" + clip + "\" -y -c:v mpeg4 -c:a aac \"" + dir.file("out file.mp4") + "\"");
  const RowMonitorState& row = monitor.m_zRowVal;
  EXPECT_EQ(row.ulDuration, 3u);
  EXPECT_GT(row.iPercent, 90);
  EXPECT_GT(row.iLastFrame, 60);
  EXPECT_LE(row.iSamePosCnt, SAMEPOSCNT_BREAK);
  EXPECT_TRUE(row.szLastError.Empty()) << row.szLastError.Get();
  EXPECT_TRUE(row.bOutputDone);
  EXPECT_EQ(display.Text(DisplayText::kFilePercent), "99%");
  EXPECT_EQ(display.Bar(DisplayBar::kFile), 100);
  EXPECT_EQ(display.Bar(DisplayBar::kTotal), 100);
  EXPECT_FALSE(display.Text(DisplayText::kElapsedTime).empty());
}

TEST_F(OutputMonitorWithEncoders, ShortClipWithoutSoundEndsAboveNinetyPercent) {
  // Without sound the last progress time is the last frame's start, short of the duration.
  const std::string silent = dir.file("silent 2s.mp4");
  RunEncoder(monitor, "\"ffmpeg\" -i \"" + clip + "\" -y -t 2 -an -c:v mpeg4 \"" + silent + "\"");
  monitor.m_zRowVal.Clear();
  RunEncoder(monitor, "\"ffmpeg\" -i \"" + silent + "\" -y -c:v mpeg4 \"" + dir.file("out.mp4") + "\"");
  EXPECT_EQ(monitor.m_zRowVal.ulDuration, 2u);
  EXPECT_GT(monitor.m_zRowVal.iPercent, 90);
}

TEST_F(OutputMonitorWithEncoders, FfmpegEncoderThatCannotOpenLeavesItsErrorLine) {
  // A negative bit rate: the encoder refuses to open.
  RunEncoder(monitor, "\"ffmpeg\" -i \"" + clip + "\" -y -c:v mpeg4 -b:v -5 \"" + dir.file("o.mp4") + "\"");
  EXPECT_EQ(monitor.m_zRowVal.iPercent, 0);
  EXPECT_EQ(monitor.m_zRowVal.ulDuration, 3u);
  EXPECT_NE(monitor.m_zRowVal.szLastError.Get().find("Error "), std::string::npos)
      << monitor.m_zRowVal.szLastError.Get();
}

TEST_F(OutputMonitorWithEncoders, MencoderRunReportsPosPercentages) {
  ZELVORA_SKIP_WITHOUT_TOOL(!testsupport::HaveProgram("mencoder"), "mencoder is not installed");
  monitor.m_bUseAlternative = true;
  monitor.ResetProgress(0);
  monitor.StartFile(100);
  RunEncoder(monitor, "\"mencoder\" \"" + clip + "\" -ovc copy -oac copy -o \"" + dir.file("out.avi") + "\"");
  EXPECT_GT(monitor.m_zRowVal.iPercent, 90);
  EXPECT_EQ(display.Bar(DisplayBar::kFile), 100);
  EXPECT_EQ(monitor.m_zRowVal.ulDuration, 0u) << "duration lines are ffmpeg's";
}

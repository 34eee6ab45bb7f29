// zelvora probe: the table, the JSON, exit statuses and hostile file names.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"

using testsupport::HaveProgram;
using testsupport::ReadFile;
using testsupport::CliOutcome;
using testsupport::RunCommand;
using testsupport::RunZelvoraSplit;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// A path as a JSON string holds it (Windows paths have backslashes to escape).
std::string JsonPath(const std::string& path) {
  std::string out;
  for (char c : path) out += c == '\\' ? std::string("\\\\") : std::string(1, c);
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) lines.push_back(text.substr(start, nl - start));
  return lines;
}

// Terminal columns up to byte `at`: Hangul syllables take two.
size_t ColumnOf(const std::string& line, size_t at) {
  size_t columns = 0;
  for (size_t i = 0; i < at;) {
    unsigned char c = static_cast<unsigned char>(line[i]);
    size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : 4;
    columns += len == 3 ? 2 : 1;
    i += len;
  }
  return columns;
}

// A transport-stream name is typed by its extension alone, so any 200 bytes probe.
void MakeTs(const std::string& path) { WriteFile(path, std::string(2000, 'x')); }

bool ValidJson(const std::string& text, const TempDir& dir) {
  if (testsupport::SkipCaseWithoutTool(!HaveProgram("python3"), "python3 is not installed")) return true;
  WriteFile(dir.file("out.json"), text);
  return RunCommand({"python3", "-c", "import json,sys; json.load(open(sys.argv[1], encoding='utf-8'))", dir.file("out.json")}) == 0;
}

}  // namespace

TEST(ProbeCommand, TableHasKoreanHeadersAndAlignedColumns) {
  TempDir dir;
  MakeTs(dir.file("first.ts"));
  MakeTs(dir.file("a much longer name.m2ts"));
  CliOutcome run = RunZelvoraSplit({"probe", dir.file("first.ts"), dir.file("a much longer name.m2ts")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  auto lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 3u) << run.out;
  for (const char* header : {"파일명", "재생시간", "비디오", "오디오", "넓이", "높이", "전송률", "파일크기", "형식", "상태"})
    EXPECT_NE(lines[0].find(header), std::string::npos) << header;
  // The status and type texts line up under their headers, counted in terminal columns.
  size_t statusColumn = ColumnOf(lines[0], lines[0].find("상태"));
  size_t typeColumn = ColumnOf(lines[0], lines[0].find("형식"));
  for (size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(ColumnOf(lines[i], lines[i].find("대기")), statusColumn) << lines[i];
    EXPECT_EQ(ColumnOf(lines[i], lines[i].find("mts")), typeColumn) << lines[i];  // centred: 3 in 4 columns, the odd one after
  }
  EXPECT_EQ(lines[1].rfind("first.ts", 0), 0u);
  EXPECT_NE(lines[1].find("2KB"), std::string::npos);
}

TEST(ProbeCommand, JsonObjectPerFileAndExitStatus) {
  TempDir dir;
  MakeTs(dir.file("good.ts"));
  WriteFile(dir.file("noise.xyz"), std::string(3000, 'n'));
  CliOutcome run = RunZelvoraSplit({"probe", "--json", dir.file("good.ts"), dir.file("noise.xyz"), dir.file("gone.mp3")});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(ValidJson(run.out, dir)) << run.out;
  auto lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 5u) << run.out;
  EXPECT_EQ(lines[0], "[");
  EXPECT_EQ(lines[4], "]");
  EXPECT_NE(lines[1].find("\"path\":\"" + JsonPath(dir.file("good.ts")) + "\",\"result\":15,\"type\":\"mts\""),
            std::string::npos);
  EXPECT_NE(lines[1].find("\"file_size\":2000"), std::string::npos);
  EXPECT_NE(lines[1].find("\"video\":null,\"audio\":null"), std::string::npos);
  EXPECT_NE(lines[1].find("\"row\":[\"good.ts\",\"\",\"\",\"\",\"\",\"\",\"\",\"2KB\",\"mts\",\"대기\""), std::string::npos);
  EXPECT_NE(lines[2].find("\"result\":-1,\"type\":null"), std::string::npos);
  EXPECT_NE(lines[2].find("\"실패\""), std::string::npos);
  EXPECT_NE(lines[3].find("\"result\":-1"), std::string::npos);
  // Only the file that could not be read gets a line on stderr.
  auto errors = Lines(run.err);
  ASSERT_EQ(errors.size(), 1u) << run.err;
  EXPECT_NE(errors[0].find("gone.mp3"), std::string::npos);
  EXPECT_NE(errors[0].find("No such file"), std::string::npos);

  CliOutcome ok = RunZelvoraSplit({"probe", "--json", dir.file("good.ts")});
  EXPECT_EQ(ok.status, 0);
  EXPECT_TRUE(ValidJson(ok.out, dir));
}

TEST(ProbeCommand, UsageErrors) {
  TempDir dir;
  MakeTs(dir.file("-dash.ts"));
  const std::vector<std::string> bad[] = {{"probe"}, {"probe", "--json"}, {"probe", "--what", "x.ts"}};
  for (const auto& args : bad) {
    CliOutcome run = RunZelvoraSplit(args);
    EXPECT_EQ(run.status, 2) << args.back();
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("usage: zelvora probe"), std::string::npos);
  }
  // After "--" a name that looks like an option is a file.
  CliOutcome run = RunZelvoraSplit({"probe", "--json", "--", dir.file("-dash.ts")});
  EXPECT_EQ(run.status, 0) << run.err;
}

TEST(ProbeCommand, HostileNamesStayValidJsonAndHarmlessOnTerminal) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows file names hold neither control characters nor bytes that are not UTF-16";
#endif
  TempDir dir;
  const std::string name = std::string("bad\x01\x1b[31m\xff\xc3(\"q\\\xed\xa0\x80.ts");
  MakeTs(dir.file(name));
  CliOutcome json = RunZelvoraSplit({"probe", "--json", dir.file(name)});
  EXPECT_EQ(json.status, 0) << json.err;
  EXPECT_TRUE(ValidJson(json.out, dir)) << json.out;
  EXPECT_NE(json.out.find("bad\\u0001\\u001b[31m\\ufffd\\ufffd(\\\"q\\\\\\ufffd\\ufffd\\ufffd.ts"), std::string::npos) << json.out;

  CliOutcome table = RunZelvoraSplit({"probe", dir.file(name)});
  EXPECT_EQ(table.status, 0);
  EXPECT_EQ(table.out.find('\x1b'), std::string::npos);
  EXPECT_EQ(table.out.find('\x01'), std::string::npos);
  EXPECT_NE(table.out.find("bad??[31m?" "?(\"q\\???.ts"), std::string::npos) << table.out;
}

TEST(ProbeCommand, RealMp3) {
#ifdef _WIN32
  GTEST_SKIP() << "no ffmpeg for Windows is packaged in Debian to make the file with";
#endif
  ZELVORA_SKIP_WITHOUT_TOOL(!HaveProgram("ffmpeg"), "ffmpeg not installed");
  TempDir dir;
  ASSERT_EQ(RunCommand({"ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=65.5", "-ac", "2", "-c:a", "libmp3lame",
                        "-b:a", "64k", dir.file("tone.mp3")}),
            0);
  CliOutcome run = RunZelvoraSplit({"probe", "--json", dir.file("tone.mp3")});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("\"type\":\"mp3\",\"duration_s\":65"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"audio\":{\"codec\":\"V1.0L3\",\"sample_rate\":44100,\"bitrate_kbps\":64,\"channels\":2}"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("\"00:01:05\""), std::string::npos);
}

TEST(ProbeCommand, EnglishWithStoredLanguageOne) {
#ifdef _WIN32
  GTEST_SKIP() << "the settings live in the user's registry there, which no test program may change";
#endif
  TempDir dir;
  MakeTs(dir.file("clip.ts"));
  // The test program's private home holds the settings file the command reads.
  ASSERT_EQ(RunZelvoraSplit({"settings", "set", "etc_conf.no_scan=1"}).status, 0);
  CliOutcome english = RunZelvoraSplit({"probe", dir.file("clip.ts")});
  EXPECT_EQ(english.status, 0) << english.err;
  EXPECT_EQ(english.out.rfind("    file name  duration", 0), 0u) << english.out;
  EXPECT_NE(english.out.find("status"), std::string::npos);
  EXPECT_NE(english.out.find("Waiting"), std::string::npos);

  ASSERT_EQ(RunZelvoraSplit({"settings", "set", "etc_conf.no_scan=0"}).status, 0);
  CliOutcome korean = RunZelvoraSplit({"probe", dir.file("clip.ts")});
  EXPECT_NE(korean.out.find("재생시간"), std::string::npos) << korean.out;
  EXPECT_NE(korean.out.find("대기"), std::string::npos);
}

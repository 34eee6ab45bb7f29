// SAMI and SubRip subtitles read for burning in: cues, clears, classes, markup, hostile text, and why a file has none.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "encoder/SamiToSrt.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const char* const kKorean =
    "\xEF\xBB\xBF<SAMI>\r\n<HEAD>\r\n<STYLE TYPE=\"text/css\">\r\n<!--\r\nP { margin-left:8pt; }\r\n"
    ".KRCC { Name:Korean; lang:ko-KR; SAMIType:CC; }\r\n-->\r\n</STYLE>\r\n</HEAD>\r\n<BODY>\r\n"
    "<SYNC Start=1000><P Class=KRCC>안녕하세요\r\n"
    "<SYNC Start=2500><P Class=KRCC>&nbsp;\r\n"
    "<SYNC Start=3000><P Class=KRCC><font color=\"#ffff00\">첫 줄</font><br>둘째&nbsp;&nbsp; 줄 &lt;끝&gt;\r\n"
    "<SYNC Start=4200><P Class=KRCC>&nbsp;\r\n"
    "</BODY>\r\n</SAMI>\r\n";

TEST(SamiToSrt, TableOfCases) {
  struct Case {
    const char* name;
    std::string sami;
    std::vector<SubtitleCue> cues;
  };
  const Case cases[] = {
      {"korean with clears", kKorean, {{1000, 2500, "안녕하세요"}, {3000, 4200, "첫 줄\n둘째 줄 <끝>"}}},
      {"no clear: next sync ends it, the last shows five seconds",
       "<SYNC Start=0><P>a<SYNC Start=700><P>b</BODY>",
       {{0, 700, "a"}, {700, 5700, "b"}}},
      {"first language class only",
       "<SYNC Start=10><P Class=KRCC>한국어<P Class=ENCC>English<SYNC start=\"20\"><p class=krcc>&nbsp;",
       {{10, 20, "한국어"}}},
      {"syncs out of order are sorted", "<sync start=500><p>late<sync start=100><p>early",
       {{100, 500, "early"}, {500, 5500, "late"}}},
      {"numeric entities and unknown ones", "<SYNC Start=1><P>&#54620;&#xAE00; &bogus; & x",
       {{1, 5001, "한글 &bogus; & x"}}},
      {"sync without a start is skipped", "<SYNC><P>lost<SYNC Start=5><P>kept", {{5, 5005, "kept"}}},
      {"no syncs", "<SAMI><BODY>nothing</BODY></SAMI>", {}},
      {"cut inside a tag", "<SYNC Start=5><P>kept<SYNC Start=9", {{5, 5005, "kept"}}},
      {"empty", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<SubtitleCue> got = ParseSami(c.sami);
    ASSERT_EQ(got.size(), c.cues.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].startMs, c.cues[i].startMs);
      EXPECT_EQ(got[i].endMs, c.cues[i].endMs);
      EXPECT_EQ(got[i].text, c.cues[i].text);
    }
  }
}

TEST(SamiToSrt, EveryPrefixParses) {
  const std::string full = kKorean;
  for (size_t n = 0; n <= full.size(); ++n) {
    std::vector<SubtitleCue> cues = ParseSami(full.substr(0, n));
    EXPECT_LE(cues.size(), 3u);  // a cut "&nbsp;" is text
    for (const SubtitleCue& c : cues) EXPECT_LT(c.startMs, c.endMs);
  }
}

TEST(SamiToSrt, WritesSubRipFile) {
  TempDir dir;
  WriteFile(dir.file("a.smi"), kKorean);
  std::string error;
  EXPECT_EQ(ConvertSamiToSrt(dir.file("a.smi"), dir.file("a.srt"), &error), 2) << error;
  EXPECT_EQ(ReadFile(dir.file("a.srt")),
            "1\n00:00:01,000 --> 00:00:02,500\n안녕하세요\n\n"
            "2\n00:00:03,000 --> 00:00:04,200\n첫 줄\n둘째 줄 <끝>\n\n");
  EXPECT_EQ(FormatSrt({{3723004, 90000000, "x"}}), "1\n01:02:03,004 --> 25:00:00,000\nx\n\n");

  WriteFile(dir.file("empty.smi"), "<SAMI></SAMI>");
  EXPECT_EQ(ConvertSamiToSrt(dir.file("empty.smi"), dir.file("b.srt"), &error), -1);
  EXPECT_NE(error.find("no timed text"), std::string::npos);
  EXPECT_EQ(ConvertSamiToSrt(dir.file("absent.smi"), dir.file("c.srt"), &error), -1);
  EXPECT_EQ(ConvertSamiToSrt(dir.file("a.smi"), dir.file("no/such/folder/d.srt"), &error), -1);
}

TEST(SrtCues, TableOfCases) {
  struct Case {
    const char* name;
    std::string srt;
    std::vector<SubtitleCue> cues;
  };
  const Case cases[] = {
      {"two numbered cues, CRLF and a BOM",
       "\xEF\xBB\xBF" "1\r\n00:00:01,000 --> 00:00:02,500\r\n안녕하세요\r\n\r\n2\r\n00:00:03,000 --> 00:00:04,200\r\n첫 줄\r\n둘째 줄\r\n",
       {{1000, 2500, "안녕하세요"}, {3000, 4200, "첫 줄\n둘째 줄"}}},
      {"no numbers, dot before the milliseconds, long hours", "100:00:00.5 --> 100:00:01.25\nx\n",
       {{360000500, 360001250, "x"}}},
      {"end before start shows for a moment", "00:00:05,000 --> 00:00:01,000\nx\n", {{5000, 5001, "x"}}},
      {"a cue without text is dropped", "1\n00:00:01,000 --> 00:00:02,000\n\n2\n00:00:03,000 --> 00:00:04,000\ny\n",
       {{3000, 4000, "y"}}},
      {"minutes out of range: not a time line", "00:61:00,000 --> 00:62:00,000\nx\n", {}},
      {"no times at all", "1\nhello\n\n", {}},
      {"empty", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<SubtitleCue> cues = ParseSrt(c.srt);
    ASSERT_EQ(cues.size(), c.cues.size());
    for (size_t i = 0; i < cues.size(); ++i) {
      EXPECT_EQ(cues[i].startMs, c.cues[i].startMs);
      EXPECT_EQ(cues[i].endMs, c.cues[i].endMs);
      EXPECT_EQ(cues[i].text, c.cues[i].text);
    }
  }
}

// Every subtitle to burn in says why it cannot be, and a good one of either kind becomes SubRip.
TEST(SubtitleCues, ReasonsAndConversion) {
  TempDir dir;
  const struct {
    const char* file;
    std::string text;
    int cues;          // -1: refused
    const char* why;   // part of the reason
  } cases[] = {
      {"a.smi", kKorean, 2, ""},
      {"b.SMI", "<SAMI><BODY><P>no sync here</BODY></SAMI>", -1, "has no SYNC tags"},
      {"c.smi", "<SAMI><SYNC Start=0><P>&nbsp;</SAMI>", -1, "holds no timed text"},
      {"d.srt", "1\n00:00:00,000 --> 00:00:01,000\nhi\n", 1, ""},
      {"e.srt", "<SAMI><SYNC Start=0><P>sami in an .srt</SAMI>", -1, "holds no timed text"},
      {"f.srt", "", -1, "holds no timed text"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    WriteFile(dir.file(c.file), c.text);
    std::string error;
    EXPECT_EQ(ConvertSubtitleToSrt(dir.file(c.file), dir.file("out.srt"), &error), c.cues) << error;
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
    if (c.cues > 0) {
      EXPECT_EQ(ParseSrt(ReadFile(dir.file("out.srt"))).size(), static_cast<size_t>(c.cues));
    }
  }
  std::string error;
  EXPECT_TRUE(ReadSubtitleCues(dir.file("absent.srt"), &error).empty());
  EXPECT_NE(error.find("cannot open"), std::string::npos);
}

}  // namespace

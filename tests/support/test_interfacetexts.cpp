// Interface text tables: the choice by language value, and no empty English text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/InterfaceTexts.h"

namespace {

// Every text field of a table in record order (the hidden list headers 10 and 11 left out).
std::vector<const char*> AllTexts(const InterfaceTexts& t) {
  std::vector<const char*> out = {t.about_title, t.product_title, t.caption_font.face,
                                  t.second_font.face, t.support_button, t.ok_button, t.window_title,
                                  t.settings_title};
  for (int i = 0; i < 10; ++i) out.push_back(t.list_headers[i]);
  for (const char* s : {t.analysing, t.analysis_done, t.converting, t.conversion_done, t.stopped_by_user,
                        t.converting_for_mobile, t.errors_occurred, t.status_failed, t.status_waiting,
                        t.status_in_progress, t.status_done, t.status_error})
    out.push_back(s);
  for (const char* s : t.page_titles) out.push_back(s);
  for (const char* s : {t.same_folder, t.cancel_button, t.start_button, t.subtitles_included, t.exit_caption,
                        t.exit_question, t.drop_hint, t.subtitle_burn_label, t.subtitle_stream_label, t.same_file,
                        t.no_process})
    out.push_back(s);
  for (const char* s : t.copy_errors) out.push_back(s);
  for (const char* s : {t.update_incomplete, t.xvid_aspect, t.srt_timing}) out.push_back(s);
  return out;
}

}  // namespace

TEST(InterfaceTexts, LanguageOneSelectsEnglishAnythingElseKorean) {
  EXPECT_EQ(&SelectInterfaceTexts(1), &kEnglishTexts);
  for (int v : {0, 2, -1, 100}) EXPECT_EQ(&SelectInterfaceTexts(v), &kKoreanTexts) << v;
  const InterfaceTexts& en = SelectInterfaceTexts(1);
  EXPECT_STREQ(en.window_title, "Zelvora Media Encoder");
  EXPECT_STREQ(en.list_headers[0], "    file name");
  EXPECT_STREQ(en.list_headers[1], "duration");
  EXPECT_STREQ(en.about_title, "ZELVORA - Program Information");
  EXPECT_EQ(en.caption_font.charset, 0);
  EXPECT_EQ(en.caption_font.height, 13);
  const InterfaceTexts& ko = SelectInterfaceTexts(0);
  EXPECT_STREQ(ko.list_headers[0], "    파일명");
  EXPECT_STREQ(ko.status_waiting, "대기");
  EXPECT_STREQ(ko.status_error, "오류");
  EXPECT_EQ(ko.caption_font.charset, 129);
  EXPECT_STREQ(ko.update_incomplete,
               "프로그램 업데이트가 정상적으로 완료 되지 않았습니다.\n실행중 문제가 발생할 수 있습니다.\n"
               "프로그램을 다시 설치하시기를 권장드립니다.");
}

TEST(InterfaceTexts, EveryTextIsFilledInBothTables) {
  for (const InterfaceTexts* t : {&kKoreanTexts, &kEnglishTexts}) {
    auto texts = AllTexts(*t);
    for (size_t i = 0; i < texts.size(); ++i) {
      ASSERT_NE(texts[i], nullptr) << i;
      EXPECT_GT(std::strlen(texts[i]), 0u) << i;
    }
    EXPECT_STREQ(t->list_headers[10], "");
    EXPECT_STREQ(t->list_headers[11], "");
  }
  // English texts are plain ASCII, so they show with any font.
  for (const char* s : AllTexts(kEnglishTexts))
    for (const char* p = s; *p; ++p) EXPECT_LT(static_cast<unsigned char>(*p), 0x80u) << s;
}

// Every user-visible text the program chooses at run time, in a Korean and an English table.
#pragma once

struct InterfaceFont {
  int charset;
  int height;
  const char* face;
};

struct InterfaceTexts {
  const char* about_title;
  const char* product_title;
  InterfaceFont caption_font;
  InterfaceFont second_font;
  const char* support_button;
  const char* ok_button;
  const char* window_title;
  const char* settings_title;
  const char* list_headers[12];
  const char* analysing;
  const char* analysis_done;
  const char* converting;
  const char* conversion_done;
  const char* stopped_by_user;
  const char* converting_for_mobile;
  const char* errors_occurred;
  const char* status_failed;
  const char* status_waiting;
  const char* status_in_progress;
  const char* status_done;
  const char* status_error;
  const char* page_titles[4];
  const char* same_folder;
  const char* cancel_button;
  const char* start_button;
  const char* subtitles_included;
  const char* exit_caption;
  const char* exit_question;
  const char* drop_hint;
  const char* subtitle_burn_label;
  const char* subtitle_stream_label;
  const char* same_file;
  const char* no_process;
  const char* copy_errors[4];
  const char* update_incomplete;
  const char* xvid_aspect;
  const char* srt_timing;
};

extern const InterfaceTexts kKoreanTexts;
extern const InterfaceTexts kEnglishTexts;

// The English table when the language value is 1, the Korean one for any other value.
const InterfaceTexts& SelectInterfaceTexts(int language);

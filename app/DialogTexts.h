// The texts the main window's own layout carries (labels, group captions, buttons, menus), in Korean and English.
#pragma once

struct DialogTexts {
  // Group captions.
  const char* source_group;
  const char* progress_group;
  const char* output_group;
  // Buttons.
  const char* add_files;
  const char* remove_completed;
  const char* move_up;
  const char* move_down;
  const char* settings;
  const char* change_folder;
  const char* open_folder;
  // Labels of the progress and output groups.
  const char* current_file;
  const char* file_progress;
  const char* total_progress;
  const char* status_info;
  const char* estimated_total;
  const char* elapsed;
  const char* remaining;
  const char* output_folder;
  const char* output_name;
  const char* video_info;
  const char* audio_info;
  // The "파일" menu and its items.
  const char* file_menu;
  const char* about_item;
  const char* settings_item;
  const char* exit_item;
  const char* shutdown_item;
  // The "리스트" menu and its items.
  const char* list_menu;
  const char* up_item;
  const char* down_item;
  const char* delete_item;
  const char* remove_done_item;
  const char* select_all_item;
  const char* open_file_folder_item;
  const char* set_waiting_item;
  // The folder chooser's title and the open-file dialog's title.
  const char* folder_chooser_title;
  const char* open_dialog_title;
  // The status line when the power-off asked for after a run was refused by the system, and
  // when no program could open a folder (%1).
  const char* power_off_refused;
  const char* open_failed;
};

extern const DialogTexts kKoreanDialogTexts;
extern const DialogTexts kEnglishDialogTexts;

// The English texts when the language value is 1, the Korean ones for any other value.
const DialogTexts& SelectDialogTexts(int language);

// The four pages of the settings dialog (video, audio, subtitle mapping, other) and the dialog's own texts.
//
// Each page loads its controls from the dialog's copy of the record, collects them back, and is
// enabled or disabled as a whole by the dialog while honouring its own switches:
//   page->Load(copy);            // fill the controls, apply the page's own enabling
//   page->EnablePage(false);     // grey every control of the page
//   page->Collect(copy);         // the controls' values into the copy, corrected
// Widgets carry object names after the record field they edit ("SizeW", "FpsOpt", "Blur"…).
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>

#include "encoder/EncodingSettings.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class CWBButton;

// The texts the dialog's layout carries (labels, buttons, hints, tooltips), in Korean and English.
// The tab titles, the caption and the subtitle switch's two labels come from InterfaceTexts.
struct OptionTexts {
  // Main page.
  const char* output_label;
  const char* output_items[3];
  const char* pindex_opti;
  const char* origin_vdo;
  const char* origin_ado;
  const char* optional_label;
  const char* reset_button;
  const char* save_button;
  const char* cancel_button;
  // Video page.
  const char* video_codec_label;
  const char* video_codecs[4];
  const char* video_bitrate_label;
  const char* kbps;
  const char* fps_label;
  const char* fps_items[6];
  const char* fps_unit;
  const char* keep_source_rate;
  const char* size_label;
  const char* size_times;
  const char* size_opt;
  const char* sizing_label;
  const char* sizing_ratio;
  const char* sizing_trim;
  // Audio page.
  const char* audio_codec_label;
  const char* audio_codecs[4];
  const char* audio_bitrate_label;
  const char* audio_bitrates[6];
  const char* sample_rate_label;
  const char* sample_rates[6];
  const char* hz;
  const char* channel_label;
  const char* channel_modes[4];
  const char* volume_label;
  const char* volume_hint;
  // Subtitle page.
  const char* position_label;
  const char* position_hint;
  const char* size_sub_label;
  const char* size_hint;
  const char* blur_label;
  const char* blur_hint;
  const char* thickness_label;
  const char* thickness_hint;
  const char* font_label;
  const char* font_button;
  const char* font_filter;
  const char* all_files_filter;
  const char* font_dialog_name;
  // Other page.
  const char* prefix_label;
  // Tooltips: what each switch and list does.
  const char* tip_output_type;
  const char* tip_pindex_opti;
  const char* tip_origin_vdo;
  const char* tip_origin_ado;
  const char* tip_sub_burn;
  const char* tip_sub_stream;
  const char* tip_video_codec;
  const char* tip_fps;
  const char* tip_fps_opt;
  const char* tip_size_opt;
  const char* tip_sizing_ratio;
  const char* tip_sizing_trim;
  const char* tip_audio_codec;
  const char* tip_audio_bitrate;
  const char* tip_sample_rate;
  const char* tip_sample_rate_opt;
  const char* tip_channel_mode;
  const char* tip_font_button;
  // Added to the tooltips of what the alternative encoder does, when ffmpeg stands in for it.
  const char* alt_failed_note;
  const char* alt_missing_note;
  // Refusals shown in the dialog.
  const char* font_path_too_long;
  // Refusals of a text field, after its label.
  const char* text_line_break;
  const char* text_too_long;  // %1 the limit, %2 the characters typed
  const char* text_parent_step;
  const char* text_forbidden;  // %1 the character
};

extern const OptionTexts kKoreanOptionTexts;
extern const OptionTexts kEnglishOptionTexts;
// The English texts when the language value is 1, the Korean ones for any other value.
const OptionTexts& SelectOptionTexts(int language);

// A number field's text read as a decimal integer: anything that is not one reads as 0; a
// number too large for the record reads as the largest value it holds.
int32_t ReadNumberText(const QString& text);

// The correction the record's field table gives the value typed for `groupDotName`
// ("sub_conf.blur" above 8 → 8, "video_conf.size_w" odd → even, …).
int32_t CorrectedSetting(const char* groupDotName, int32_t value);

// Stores a text field of the record through the field table (cut to `capChars` characters
// first), so the dialog refuses exactly what `zelvora settings set` refuses (a line break, a '/'
// in the prefix). Returns the refusal in the words of `texts`, or an empty text when the value
// was taken.
QString SetRecordText(const char* groupDotName, const QString& text, size_t capChars, EncodingSettings& s,
                      const OptionTexts& texts);

// The parts all pages share: the enabled flag the dialog gives and the helpers to build rows.
class CTabSpace : public QWidget {
  Q_OBJECT
 public:
  CTabSpace(const OptionTexts& texts, QWidget* parent);
  // Enables or disables every control of the page; within an enabled page the page's own
  // switches still decide.
  void EnablePage(bool enable);
  bool PageEnabled() const { return m_bEnabled; }

 protected:
  virtual void ApplyEnabling() = 0;
  QLabel* Label(const char* text, const char* name = nullptr);
  QComboBox* List(const char* name, const char* const* items, int count, const char* tip);
  QLineEdit* NumberEdit(const char* name, int width);
  QCheckBox* Switch(const char* text, const char* name, const char* tip);

  const OptionTexts& m_texts;
  bool m_bEnabled = true;
};

// Video: codec, bit rate, frame rate, output size and how to resize.
class CTabSpaceA : public CTabSpace {
  Q_OBJECT
 public:
  CTabSpaceA(const OptionTexts& texts, QWidget* parent = nullptr);
  void Load(const EncodingSettings& s);
  void Collect(EncodingSettings& s);
  QComboBox* CodecList() const { return m_codec; }

 protected:
  void ApplyEnabling() override;

 private:
  QComboBox* m_codec;
  QLineEdit* m_bitrate;
  QComboBox* m_fps;
  QCheckBox* m_fpsOpt;
  QLineEdit* m_width;
  QLineEdit* m_height;
  QCheckBox* m_sizeOpt;
  QCheckBox* m_sizingRatio;
  QCheckBox* m_sizingTrim;
};

// Audio: codec, bit rate, sample rate, channels and volume.
class CTabSpaceB : public CTabSpace {
  Q_OBJECT
 public:
  CTabSpaceB(const OptionTexts& texts, QWidget* parent = nullptr);
  void Load(const EncodingSettings& s);
  void Collect(EncodingSettings& s);

 protected:
  void ApplyEnabling() override;

 private:
  QComboBox* m_codec;
  QComboBox* m_bitrate;
  QComboBox* m_sampleRate;
  QCheckBox* m_sampleRateOpt;
  QComboBox* m_channels;
  QLineEdit* m_volume;
};

// Subtitle mapping: how a burned-in subtitle looks, and its font file.
class CTabSpaceC : public CTabSpace {
  Q_OBJECT
 public:
  CTabSpaceC(const OptionTexts& texts, QWidget* parent = nullptr);
  void Load(const EncodingSettings& s);
  // False (with the reason in `error`) when the font path cannot be kept; the copy is then unchanged.
  bool Collect(EncodingSettings& s, QString& error);
  // The range rule of one number field, applied to its text (as leaving the field does).
  void CorrectField(QLineEdit* field);
  // Takes a chosen font file; false with the reason when its path does not fit the record.
  bool TakeFontFile(const QString& path, QString& error);
  QLineEdit* FontPathEdit() const { return m_fontPath; }

 signals:
  // A refusal to show in the dialog.
  void Refused(const QString& why);

 protected:
  void ApplyEnabling() override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ChooseFontFile();
  const char* FieldOf(QLineEdit* field) const;

  QLineEdit* m_position;
  QLineEdit* m_size;
  QLineEdit* m_blur;
  QLineEdit* m_thickness;
  QLineEdit* m_fontPath;
  CWBButton* m_fontButton;
};

// Other: the output file name prefix.
class CTabSpaceD : public CTabSpace {
  Q_OBJECT
 public:
  CTabSpaceD(const OptionTexts& texts, QWidget* parent = nullptr);
  void Load(const EncodingSettings& s);
  // False (with the reason) when the prefix is refused; the copy is then unchanged.
  bool Collect(EncodingSettings& s, QString& error);
  QLineEdit* PrefixEdit() const { return m_prefix; }

 protected:
  void ApplyEnabling() override {}

 private:
  QLineEdit* m_prefix;
};

// Selects item `index` of a list; an index the list does not have (a damaged store) shows the first item.
void ShowIndex(QComboBox* list, int32_t index);

// Limits a text field to `chars` characters as the user sees them (a Korean syllable is one):
// an edit that would go beyond is refused whole, so nothing already typed is lost.
void LimitTextChars(QLineEdit* field, int chars);

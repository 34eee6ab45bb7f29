// The settings dialog's four pages: their rows, loading, collecting with the record's corrections, and enabling.
#include "app/TabSpace.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QValidator>
#include <climits>

#include "encoder/SettingsFields.h"
#include "encoder/SettingsStore.h"
#include "ui/Skin.h"
#include "ui/WBButton.h"

namespace {

QString Q(const char* text) { return QString::fromUtf8(text ? text : ""); }
QString Q(const std::string& text) { return QString::fromStdString(text); }

constexpr int kRowHeight = 22;

// Refuses an edit that would make the text longer than the capacity in characters (code
// points, as the stored value counts them).
class CharCapValidator : public QValidator {
 public:
  CharCapValidator(int chars, QObject* parent) : QValidator(parent), m_chars(chars) {}
  State validate(QString& input, int&) const override {
    return input.toUcs4().size() <= m_chars ? Acceptable : Invalid;
  }

 private:
  int m_chars;
};

QGridLayout* PageGrid(QWidget* page) {
  auto* grid = new QGridLayout(page);
  grid->setContentsMargins(8, 8, 6, 6);
  grid->setHorizontalSpacing(5);
  grid->setVerticalSpacing(5);
  return grid;
}

QHBoxLayout* Row(std::initializer_list<QWidget*> widgets) {
  auto* row = new QHBoxLayout;
  row->setSpacing(4);
  for (QWidget* w : widgets) row->addWidget(w);
  row->addStretch(1);
  return row;
}

}  // namespace

QString SetRecordText(const char* groupDotName, const QString& text, size_t capChars, EncodingSettings& s,
                      const OptionTexts& texts) {
  const SettingField* field = FindSettingField(groupDotName);
  const std::string value = CutText(text.toStdString(), capChars);
  // The window's own words for what the field table refuses; the table's words (which name
  // the stored key) only for a refusal the window does not know.
  const TextCheck check = CheckSettingText(*field, value);
  switch (check.problem) {
    case TextProblem::kNone: break;
    case TextProblem::kLineBreak: return Q(texts.text_line_break);
    case TextProblem::kTooLong: return Q(texts.text_too_long).arg(field->maxChars).arg(CountChars(value));
    case TextProblem::kParentStep: return Q(texts.text_parent_step);
    case TextProblem::kForbidden: return Q(texts.text_forbidden).arg(QChar::fromLatin1(check.bad));
  }
  StoredPaths unused;
  std::string error;
  if (SetSettingValue(*field, value, s, unused, error)) return {};
  return Q(error);
}

int32_t ReadNumberText(const QString& text) {
  const QString t = text.trimmed();
  if (t.isEmpty()) return 0;
  int64_t v = 0;
  for (QChar c : t) {
    if (c < u'0' || c > u'9') return 0;
    if (v <= INT32_MAX) v = v * 10 + (c.unicode() - u'0');
  }
  return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

int32_t CorrectedSetting(const char* groupDotName, int32_t value) {
  const SettingField* field = FindSettingField(groupDotName);
  return field ? ApplySettingRule(field->setRule, value) : value;
}

void ShowIndex(QComboBox* list, int32_t index) {
  list->setCurrentIndex(index >= 0 && index < list->count() ? index : 0);
}

void LimitTextChars(QLineEdit* field, int chars) { field->setValidator(new CharCapValidator(chars, field)); }

// ---- shared page parts ----

CTabSpace::CTabSpace(const OptionTexts& texts, QWidget* parent) : QWidget(parent), m_texts(texts) {
  setAutoFillBackground(false);
}

void CTabSpace::EnablePage(bool enable) {
  m_bEnabled = enable;
  ApplyEnabling();
}

QLabel* CTabSpace::Label(const char* text, const char* name) {
  auto* label = new QLabel(Q(text), this);
  label->setTextFormat(Qt::PlainText);
  if (name) label->setObjectName(name);
  label->setFixedHeight(kRowHeight);
  return label;
}

QComboBox* CTabSpace::List(const char* name, const char* const* items, int count, const char* tip) {
  auto* list = new QComboBox(this);
  list->setObjectName(name);
  for (int i = 0; i < count; ++i) list->addItem(Q(items[i]));
  list->setFixedHeight(kRowHeight);
  list->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  if (tip) list->setToolTip(Q(tip));
  return list;
}

QLineEdit* CTabSpace::NumberEdit(const char* name, int width) {
  auto* edit = new QLineEdit(this);
  edit->setObjectName(name);
  edit->setFixedSize(width, kRowHeight);
  edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  return edit;
}

QCheckBox* CTabSpace::Switch(const char* text, const char* name, const char* tip) {
  auto* box = new QCheckBox(Q(text), this);
  box->setObjectName(name);
  box->setFixedHeight(kRowHeight);
  if (tip) box->setToolTip(Q(tip));
  return box;
}

// ---- video ----

CTabSpaceA::CTabSpaceA(const OptionTexts& t, QWidget* parent) : CTabSpace(t, parent) {
  setObjectName("TabSpaceA");
  m_codec = List("VideoCompress", t.video_codecs, 4, t.tip_video_codec);
  m_bitrate = NumberEdit("VideoBitrate", 64);
  m_fps = List("Fps", t.fps_items, 6, t.tip_fps);
  m_fps->setMinimumWidth(76);
  m_fpsOpt = Switch(t.keep_source_rate, "FpsOpt", t.tip_fps_opt);
  m_width = NumberEdit("SizeW", 52);
  m_height = NumberEdit("SizeH", 52);
  m_sizeOpt = Switch(t.size_opt, "SizeOpt", t.tip_size_opt);
  m_sizingRatio = Switch(t.sizing_ratio, "SizingRatio", t.tip_sizing_ratio);
  m_sizingTrim = Switch(t.sizing_trim, "SizingTrim", t.tip_sizing_trim);

  QGridLayout* grid = PageGrid(this);
  grid->addWidget(Label(t.video_codec_label), 0, 0);
  grid->addLayout(Row({m_codec}), 0, 1, 1, 2);
  grid->addWidget(Label(t.video_bitrate_label), 1, 0);
  grid->addLayout(Row({m_bitrate, Label(t.kbps, "VideoBitrateUnit")}), 1, 1);
  grid->addWidget(Label(t.fps_label), 2, 0);
  grid->addLayout(Row({m_fps, Label(t.fps_unit, "FpsUnit")}), 2, 1);
  grid->addWidget(m_fpsOpt, 2, 2);
  grid->addWidget(Label(t.size_label), 3, 0);
  grid->addLayout(Row({m_width, Label(t.size_times, "SizeTimes"), m_height}), 3, 1);
  grid->addWidget(m_sizeOpt, 3, 2);
  grid->addWidget(Label(t.sizing_label), 4, 0);
  grid->addWidget(m_sizingRatio, 4, 1);
  grid->addWidget(m_sizingTrim, 4, 2);
  grid->setColumnStretch(2, 1);
  grid->setRowStretch(5, 1);

  connect(m_fpsOpt, &QCheckBox::clicked, this, [this] { ApplyEnabling(); });
  connect(m_sizeOpt, &QCheckBox::clicked, this, [this] { ApplyEnabling(); });
  connect(m_sizingRatio, &QCheckBox::clicked, this, [this] { ApplyEnabling(); });
}

void CTabSpaceA::ApplyEnabling() {
  const bool on = m_bEnabled;
  const bool resizing = on && !m_sizeOpt->isChecked();
  for (QWidget* w : {static_cast<QWidget*>(m_codec), static_cast<QWidget*>(m_bitrate),
                     static_cast<QWidget*>(m_fpsOpt), static_cast<QWidget*>(m_sizeOpt)})
    w->setEnabled(on);
  m_fps->setEnabled(on && !m_fpsOpt->isChecked());
  m_width->setEnabled(resizing);
  m_height->setEnabled(resizing);
  m_sizingRatio->setEnabled(resizing);
  m_sizingTrim->setEnabled(resizing && m_sizingRatio->isChecked());
}

void CTabSpaceA::Load(const EncodingSettings& s) {
  ShowIndex(m_codec, s.video_compress);
  m_bitrate->setText(QString::number(s.video_bitrate));
  ShowIndex(m_fps, s.fps);
  m_fpsOpt->setChecked(s.fps_opt != 0);
  m_width->setText(QString::number(s.size_w));
  m_height->setText(QString::number(s.size_h));
  m_sizeOpt->setChecked(s.size_opt != 0);
  m_sizingRatio->setChecked(s.sizing_ratio != 0);
  m_sizingTrim->setChecked(s.sizing_trim != 0);
  ApplyEnabling();
}

void CTabSpaceA::Collect(EncodingSettings& s) {
  s.video_compress = std::max(0, m_codec->currentIndex());
  s.video_bitrate = CorrectedSetting("video_conf.bitrate", ReadNumberText(m_bitrate->text()));
  s.fps = std::max(0, m_fps->currentIndex());
  s.fps_opt = m_fpsOpt->isChecked();
  s.size_w = CorrectedSetting("video_conf.size_w", ReadNumberText(m_width->text()));
  s.size_h = CorrectedSetting("video_conf.size_h", ReadNumberText(m_height->text()));
  s.size_opt = m_sizeOpt->isChecked();
  s.sizing_ratio = m_sizingRatio->isChecked();
  s.sizing_trim = m_sizingTrim->isChecked();
  // What was stored is what the fields show from now on.
  m_bitrate->setText(QString::number(s.video_bitrate));
  m_width->setText(QString::number(s.size_w));
  m_height->setText(QString::number(s.size_h));
}

// ---- audio ----

CTabSpaceB::CTabSpaceB(const OptionTexts& t, QWidget* parent) : CTabSpace(t, parent) {
  setObjectName("TabSpaceB");
  m_codec = List("AudioCompress", t.audio_codecs, 4, t.tip_audio_codec);
  m_codec->setMinimumWidth(100);
  m_bitrate = List("AudioBitrate", t.audio_bitrates, 6, t.tip_audio_bitrate);
  m_bitrate->setMinimumWidth(76);
  m_sampleRate = List("SampleRate", t.sample_rates, 6, t.tip_sample_rate);
  m_sampleRate->setMinimumWidth(76);
  m_sampleRateOpt = Switch(t.keep_source_rate, "SampleRateOpt", t.tip_sample_rate_opt);
  m_channels = List("ChannleMode", t.channel_modes, 4, t.tip_channel_mode);
  m_channels->setMinimumWidth(100);
  m_volume = NumberEdit("Volume", 52);

  QGridLayout* grid = PageGrid(this);
  grid->addWidget(Label(t.audio_codec_label), 0, 0);
  grid->addLayout(Row({m_codec}), 0, 1, 1, 2);
  grid->addWidget(Label(t.audio_bitrate_label), 1, 0);
  grid->addLayout(Row({m_bitrate, Label(t.kbps, "AudioBitrateUnit")}), 1, 1);
  grid->addWidget(Label(t.sample_rate_label), 2, 0);
  grid->addLayout(Row({m_sampleRate, Label(t.hz, "SampleRateUnit")}), 2, 1);
  grid->addWidget(m_sampleRateOpt, 2, 2);
  grid->addWidget(Label(t.channel_label), 3, 0);
  grid->addLayout(Row({m_channels}), 3, 1, 1, 2);
  grid->addWidget(Label(t.volume_label), 4, 0);
  grid->addLayout(Row({m_volume, Label(t.volume_hint, "VolumeHint")}), 4, 1, 1, 2);
  grid->setColumnStretch(2, 1);
  grid->setRowStretch(5, 1);

  connect(m_sampleRateOpt, &QCheckBox::clicked, this, [this] { ApplyEnabling(); });
}

void CTabSpaceB::ApplyEnabling() {
  const bool on = m_bEnabled;
  for (QWidget* w : {static_cast<QWidget*>(m_codec), static_cast<QWidget*>(m_bitrate),
                     static_cast<QWidget*>(m_sampleRateOpt), static_cast<QWidget*>(m_channels),
                     static_cast<QWidget*>(m_volume)})
    w->setEnabled(on);
  m_sampleRate->setEnabled(on && !m_sampleRateOpt->isChecked());
}

void CTabSpaceB::Load(const EncodingSettings& s) {
  ShowIndex(m_codec, s.audio_compress);
  ShowIndex(m_bitrate, s.audio_bitrate);
  ShowIndex(m_sampleRate, s.sample_rate);
  m_sampleRateOpt->setChecked(s.sample_rate_opt != 0);
  ShowIndex(m_channels, s.channle_mode);
  m_volume->setText(QString::number(s.volume));
  ApplyEnabling();
}

void CTabSpaceB::Collect(EncodingSettings& s) {
  s.audio_compress = std::max(0, m_codec->currentIndex());
  s.audio_bitrate = std::max(0, m_bitrate->currentIndex());
  s.sample_rate = std::max(0, m_sampleRate->currentIndex());
  s.sample_rate_opt = m_sampleRateOpt->isChecked();
  s.channle_mode = std::max(0, m_channels->currentIndex());
  s.volume = CorrectedSetting("audio_conf.volume", ReadNumberText(m_volume->text()));
  m_volume->setText(QString::number(s.volume));
}

// ---- subtitle mapping ----

CTabSpaceC::CTabSpaceC(const OptionTexts& t, QWidget* parent) : CTabSpace(t, parent) {
  setObjectName("TabSpaceC");
  m_position = NumberEdit("Position", 44);
  m_size = NumberEdit("Size", 44);
  m_blur = NumberEdit("Blur", 44);
  m_thickness = NumberEdit("Thickness", 44);
  m_fontPath = new QLineEdit(this);
  m_fontPath->setObjectName("FontPath");
  m_fontPath->setFixedHeight(kRowHeight);
  LimitTextChars(m_fontPath, static_cast<int>(kMaxPathChars));
  m_fontButton = new CWBButton(Q(t.font_button), this);
  m_fontButton->setObjectName("BtnFont");
  m_fontButton->LoadBitmaps(QString::fromLatin1(kSkinButton));
  m_fontButton->SetTextColor(Qt::black);
  m_fontButton->setAutoDefault(false);
  m_fontButton->setFixedSize(56, 23);
  m_fontButton->setToolTip(Q(t.tip_font_button));

  QGridLayout* grid = PageGrid(this);
  const std::pair<const char*, const char*> rows[] = {
      {t.position_label, t.position_hint}, {t.size_sub_label, t.size_hint},
      {t.blur_label, t.blur_hint}, {t.thickness_label, t.thickness_hint}};
  QLineEdit* fields[] = {m_position, m_size, m_blur, m_thickness};
  for (int i = 0; i < 4; ++i) {
    grid->addWidget(Label(rows[i].first), i, 0);
    grid->addLayout(Row({fields[i], Label(rows[i].second)}), i, 1, 1, 2);
    fields[i]->installEventFilter(this);
  }
  grid->addWidget(Label(t.font_label), 4, 0);
  grid->addWidget(m_fontPath, 4, 1);
  grid->addWidget(m_fontButton, 4, 2);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(5, 1);

  connect(m_fontButton, &QPushButton::clicked, this, &CTabSpaceC::ChooseFontFile);
}

const char* CTabSpaceC::FieldOf(QLineEdit* field) const {
  if (field == m_position) return "sub_conf.position";
  if (field == m_size) return "sub_conf.size";
  if (field == m_blur) return "sub_conf.blur";
  if (field == m_thickness) return "sub_conf.thickness";
  return nullptr;
}

bool CTabSpaceC::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusOut)
    if (auto* field = qobject_cast<QLineEdit*>(watched); field && FieldOf(field)) CorrectField(field);
  return CTabSpace::eventFilter(watched, event);
}

void CTabSpaceC::CorrectField(QLineEdit* field) {
  const char* name = FieldOf(field);
  if (!name) return;
  field->setText(QString::number(CorrectedSetting(name, ReadNumberText(field->text()))));
}

void CTabSpaceC::ApplyEnabling() {
  for (QWidget* w : {static_cast<QWidget*>(m_position), static_cast<QWidget*>(m_size),
                     static_cast<QWidget*>(m_blur), static_cast<QWidget*>(m_thickness),
                     static_cast<QWidget*>(m_fontPath), static_cast<QWidget*>(m_fontButton)})
    w->setEnabled(m_bEnabled);
}

void CTabSpaceC::Load(const EncodingSettings& s) {
  m_position->setText(QString::number(s.position));
  m_size->setText(QString::number(s.size));
  m_blur->setText(QString::number(s.blur));
  m_thickness->setText(QString::number(s.thickness));
  m_fontPath->setText(Q(s.font_path));
  ApplyEnabling();
}

bool CTabSpaceC::Collect(EncodingSettings& s, QString& error) {
  EncodingSettings next = s;
  for (QLineEdit* field : {m_position, m_size, m_blur, m_thickness}) CorrectField(field);
  next.position = ReadNumberText(m_position->text());
  next.size = ReadNumberText(m_size->text());
  next.blur = ReadNumberText(m_blur->text());
  next.thickness = ReadNumberText(m_thickness->text());
  error = SetRecordText("sub_conf.font_path", m_fontPath->text(), kMaxPathChars, next, m_texts);
  if (!error.isEmpty()) return false;
  s = next;
  return true;
}

bool CTabSpaceC::TakeFontFile(const QString& path, QString& error) {
  // A path cut to fit would name another file: refuse it instead.
  if (path.toUcs4().size() > static_cast<int>(kMaxPathChars)) {
    error = Q(m_texts.font_path_too_long).arg(kMaxPathChars);
    return false;
  }
  m_fontPath->setText(path);
  return true;
}

void CTabSpaceC::ChooseFontFile() {
  const QFileInfo current(m_fontPath->text());
  const QString folder = current.absolutePath();
  QFileDialog dialog(this, QString(), folder.isEmpty() ? QDir::homePath() : folder);
  dialog.setObjectName("FontFileDialog");
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setOption(QFileDialog::ReadOnly, false);
  dialog.setDefaultSuffix("file");
  dialog.setNameFilters({QString("%1 (*.ttc *.ttf *.otf)").arg(Q(m_texts.font_filter)),
                         QString("%1 (*)").arg(Q(m_texts.all_files_filter))});
  dialog.selectFile(Q(m_texts.font_dialog_name));
  dialog.setOption(QFileDialog::DontUseNativeDialog, QGuiApplication::platformName() == "offscreen");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  QString error;
  if (!TakeFontFile(QFileInfo(dialog.selectedFiles().front()).absoluteFilePath(), error)) emit Refused(error);
}

// ---- other ----

CTabSpaceD::CTabSpaceD(const OptionTexts& t, QWidget* parent) : CTabSpace(t, parent) {
  setObjectName("TabSpaceD");
  m_prefix = new QLineEdit(this);
  m_prefix->setObjectName("FnPrefix");
  m_prefix->setFixedSize(200, kRowHeight);
  LimitTextChars(m_prefix, static_cast<int>(kMaxPrefixChars));
  QGridLayout* grid = PageGrid(this);
  grid->addWidget(Label(t.prefix_label), 0, 0);
  grid->addWidget(m_prefix, 0, 1);
  grid->setColumnStretch(2, 1);
  grid->setRowStretch(1, 1);
}

void CTabSpaceD::Load(const EncodingSettings& s) { m_prefix->setText(Q(s.fn_prefix)); }

bool CTabSpaceD::Collect(EncodingSettings& s, QString& error) {
  EncodingSettings next = s;
  error = SetRecordText("etc_conf.fn_prefix", m_prefix->text(), kMaxPrefixChars, next, m_texts);
  if (!error.isEmpty()) return false;
  s = next;
  return true;
}

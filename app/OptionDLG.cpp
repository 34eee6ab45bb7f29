// COptionDLG: the main page of the settings dialog, its enabling rules, reset, save and the pictures of its pages.
#include "app/OptionDLG.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QScreen>
#include <cstdio>

#include "app/AppStartup.h"
#include "encoder/EncoderCaps.h"
#include "encoder/SettingsStore.h"
#include "ui/Skin.h"
#include "ui/WBButton.h"
#include "ui/XTabCtrl.h"

namespace {

QString Q(const char* text) { return QString::fromUtf8(text ? text : ""); }

constexpr QRgb kBody = qRgb(192, 192, 192);
constexpr QRgb kTabHover = qRgb(160, 160, 160);
constexpr QRgb kDisabledText = qRgb(112, 112, 112);
constexpr QRgb kCaptionBlue = qRgb(50, 82, 143);
constexpr int kMkv = 2;
constexpr size_t kOptionalFieldChars = 259;

// Layout of the client area, in pixels from its top left corner.
constexpr int kMargin = 10;
constexpr int kRowHeight = 22;
constexpr int kSwitchHeight = 20;
constexpr int kSwitchStep = 21;
constexpr int kTabsTop = 125;
constexpr int kTabsHeight = 176;
constexpr int kButtonWidth = 100;
constexpr int kButtonHeight = 23;

CWBButton* MakeButton(const char* text, const char* name, QWidget* parent) {
  auto* button = new CWBButton(Q(text), parent);
  button->setObjectName(name);
  button->LoadBitmaps(QString::fromLatin1(kSkinButton));
  button->SetTextColor(Qt::black);
  // Enter never closes this dialog, whichever button has the focus.
  button->setAutoDefault(false);
  button->setDefault(false);
  return button;
}

QCheckBox* MakeSwitch(const char* text, const char* name, QWidget* parent) {
  auto* box = new QCheckBox(Q(text), parent);
  box->setObjectName(name);
  return box;
}

}  // namespace

COptionDLG::COptionDLG(EncodingSettings& record, const InterfaceTexts& texts, QWidget* mainWindow)
    : CFlatDLGex(mainWindow),
      m_pTarget(&record),
      m_zSettings(record),
      m_texts(texts),
      m_optTexts(SelectOptionTexts(&texts == &kEnglishTexts ? 1 : 0)) {
  setObjectName("OptionDLG");
  setModal(true);
  const QFont font = UiFontOf(texts);
  setFont(font);
  QFont captionFont = font;
  captionFont.setWeight(QFont::Normal);
  setWindowTitle(Q(texts.settings_title));
  SetTitle(Q(texts.settings_title));
  SetTitleFont(captionFont);
  SetTitlePos({kBorderWidth + 4 + 18, 10});  // after the logo at the caption's left edge
  SetTitleColors(QColor(kCaptionBlue), Qt::white);
  SetRegionCut(true, Qt::black);
  SetResizable(false);
  setFixedSize(kWidth, kHeight);
  QPalette body = palette();
  body.setColor(QPalette::Window, QColor(kBody));
  setPalette(body);
  // Greyed texts stay readable on the grey body (the style's disabled grey nearly matches it).
  setStyleSheet(QString("QCheckBox:disabled, QLabel:disabled, QComboBox:disabled, QLineEdit:disabled "
                        "{ color: %1; }").arg(QColor(kDisabledText).name()));
  setAutoFillBackground(true);

  BuildMainPage();
  LoadPages();
  Refresh();
  UpdateToolTips();
  PlaceOverOwner(mainWindow);
  m_btnSave->show();
}

COptionDLG::~COptionDLG() {
  if (m_altQuery.joinable()) m_altQuery.join();
}

void COptionDLG::BuildMainPage() {
  const QRect client = ClientRect();
  const int left = client.left() + kMargin;
  const int width = client.width() - 2 * kMargin;
  int y = client.top() + 8;

  auto* outputLabel = new QLabel(Q(m_optTexts.output_label), this);
  outputLabel->setObjectName("OutputTypeLabel");
  const int labelWidth = QFontMetrics(font()).horizontalAdvance(outputLabel->text()) + 8;
  outputLabel->setGeometry(left, y, labelWidth, kRowHeight);
  m_outputType = new QComboBox(this);
  m_outputType->setObjectName("OutputType");
  for (const char* item : m_optTexts.output_items) m_outputType->addItem(Q(item));
  m_outputType->setGeometry(left + labelWidth, y, width - labelWidth, kRowHeight);
  y += kRowHeight + 6;

  m_pindexOpti = MakeSwitch(m_optTexts.pindex_opti, "PindexOpti", this);
  m_originVdo = MakeSwitch(m_optTexts.origin_vdo, "OriginVdo", this);
  m_originAdo = MakeSwitch(m_optTexts.origin_ado, "OriginAdo", this);
  m_subMapping = MakeSwitch(m_texts.subtitle_burn_label, "SubMapping", this);
  m_pindexOpti->setToolTip(Q(m_optTexts.tip_pindex_opti));
  m_originVdo->setToolTip(Q(m_optTexts.tip_origin_vdo));
  m_originAdo->setToolTip(Q(m_optTexts.tip_origin_ado));
  for (QCheckBox* box : {m_pindexOpti, m_originVdo, m_originAdo, m_subMapping}) {
    box->setGeometry(left, y, width, kSwitchHeight);
    y += kSwitchStep;
  }

  m_tabs = new CXTabCtrl(this);
  m_tabs->setObjectName("OptionTabs");
  m_tabs->SetColors(QColor(kBody), QColor(kBody), QColor(kBody), QColor(kTabHover));
  m_tabs->setGeometry(left, client.top() + kTabsTop, width, kTabsHeight);
  m_pageA = new CTabSpaceA(m_optTexts);
  m_pageB = new CTabSpaceB(m_optTexts);
  m_pageC = new CTabSpaceC(m_optTexts);
  m_pageD = new CTabSpaceD(m_optTexts);
  m_tabs->InsertItem(kVideoPage, m_pageA, Q(m_texts.page_titles[0]));
  m_tabs->InsertItem(kAudioPage, m_pageB, Q(m_texts.page_titles[1]));
  m_tabs->InsertItem(kSubtitlePage, m_pageC, Q(m_texts.page_titles[2]));
  m_tabs->InsertItem(kOtherPage, m_pageD, Q(m_texts.page_titles[3]));
  y = client.top() + kTabsTop + kTabsHeight + 8;

  auto* optionalLabel = new QLabel(Q(m_optTexts.optional_label), this);
  optionalLabel->setObjectName("OptionalLabel");
  const int optionalWidth = QFontMetrics(font()).horizontalAdvance(optionalLabel->text()) + 8;
  optionalLabel->setGeometry(left, y, optionalWidth, kRowHeight);
  m_optional = new QLineEdit(this);
  m_optional->setObjectName("Optional");
  m_optional->setGeometry(left + optionalWidth, y, width - optionalWidth, kRowHeight);
  y += kRowHeight + 3;

  m_error = new QLabel(this);
  m_error->setObjectName("OptionError");
  m_error->setTextFormat(Qt::PlainText);
  m_error->setStyleSheet("color: rgb(160, 0, 0);");
  m_error->setGeometry(left, y, width, 16);

  const int buttonY = client.bottom() + 1 - 8 - kButtonHeight;
  m_btnReset = MakeButton(m_optTexts.reset_button, "BtnReset", this);
  m_btnSave = MakeButton(m_optTexts.save_button, "BtnSave", this);
  m_btnCancel = MakeButton(m_optTexts.cancel_button, "BtnCancel", this);
  m_btnReset->setGeometry(left, buttonY, kButtonWidth, kButtonHeight);
  m_btnCancel->setGeometry(left + width - kButtonWidth, buttonY, kButtonWidth, kButtonHeight);
  m_btnSave->setGeometry(left + width - 2 * kButtonWidth - 6, buttonY, kButtonWidth, kButtonHeight);

  connect(m_pindexOpti, &QCheckBox::clicked, this, &COptionDLG::OnPindexClicked);
  connect(m_originVdo, &QCheckBox::clicked, this, &COptionDLG::OnOriginVdoClicked);
  connect(m_originAdo, &QCheckBox::clicked, this, &COptionDLG::OnOriginAdoClicked);
  connect(m_subMapping, &QCheckBox::clicked, this, &COptionDLG::OnSubMappingClicked);
  connect(m_outputType, &QComboBox::activated, this, &COptionDLG::OnOutputTypeChosen);
  connect(m_btnReset, &QPushButton::clicked, this, &COptionDLG::ResetCopy);
  connect(m_btnSave, &QPushButton::clicked, this, &COptionDLG::SaveAndClose);
  connect(m_btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  connect(m_pageC, &CTabSpaceC::Refused, this, [this](const QString& why) { ShowError(why, kSubtitlePage); });
}

void COptionDLG::LoadPages() {
  m_pageA->Load(m_zSettings);
  m_pageB->Load(m_zSettings);
  m_pageC->Load(m_zSettings);
  m_pageD->Load(m_zSettings);
}

bool COptionDLG::IsMkv() const { return m_outputType->currentIndex() == kMkv; }

void COptionDLG::Refresh() {
  const EncodingSettings& s = m_zSettings;
  ShowIndex(m_outputType, s.output_type);
  m_iOutputType = m_outputType->currentIndex();
  m_pindexOpti->setChecked(s.pindex_opti != 0);
  m_originVdo->setChecked(s.origin_vdo != 0);
  m_originAdo->setChecked(s.origin_ado != 0);
  m_subMapping->setChecked(s.sub_mapping != 0);
  m_subMapping->setText(Q(IsMkv() ? m_texts.subtitle_stream_label : m_texts.subtitle_burn_label));
  // Texts longer than the field takes (set through the command line) stay whole unless edited.
  m_optionalCap = std::max(kOptionalFieldChars, CountChars(s.optional));
  LimitTextChars(m_optional, static_cast<int>(m_optionalCap));
  m_optional->setText(QString::fromStdString(s.optional));

  if (s.pindex_opti) {
    for (QCheckBox* box : {m_originVdo, m_originAdo, m_subMapping}) box->setEnabled(false);
    m_pageA->EnablePage(false);
    m_pageB->EnablePage(false);
    m_pageC->EnablePage(false);
  } else {
    for (QCheckBox* box : {m_originVdo, m_originAdo, m_subMapping}) box->setEnabled(true);
    m_pageA->EnablePage(!s.origin_vdo);
    m_subMapping->setEnabled(!s.origin_vdo);
    m_pageB->EnablePage(!s.origin_ado);
    m_pageC->EnablePage(!s.origin_vdo && s.sub_mapping);
  }
  UpdateToolTips();
}

// The other switches are not consulted: unchecking this enables everything again.
void COptionDLG::OnPindexClicked() {
  const bool on = !m_pindexOpti->isChecked();
  for (QCheckBox* box : {m_originVdo, m_originAdo, m_subMapping}) box->setEnabled(on);
  m_pageA->EnablePage(on);
  m_pageB->EnablePage(on);
  m_pageC->EnablePage(on);
}

void COptionDLG::OnOriginVdoClicked() {
  const bool on = !m_originVdo->isChecked();
  m_subMapping->setEnabled(on);
  m_pageA->EnablePage(on);
  m_pageC->EnablePage(on);
}

void COptionDLG::OnOriginAdoClicked() { m_pageB->EnablePage(!m_originAdo->isChecked()); }

// With MKV the subtitle travels as a stream: the burn-in page has nothing to say then.
void COptionDLG::OnSubMappingClicked() {
  if (!IsMkv()) m_pageC->EnablePage(m_subMapping->isChecked());
}

void COptionDLG::OnOutputTypeChosen(int index) {
  if (index == m_iOutputType) return;
  m_iOutputType = index;
  for (QCheckBox* box : {m_originVdo, m_originAdo, m_subMapping}) box->setEnabled(true);
  for (QCheckBox* box : {m_pindexOpti, m_originVdo, m_originAdo, m_subMapping}) box->setChecked(false);
  m_subMapping->setText(Q(IsMkv() ? m_texts.subtitle_stream_label : m_texts.subtitle_burn_label));
  m_pageA->EnablePage(true);
  m_pageB->EnablePage(true);
  m_pageC->EnablePage(true);
  UpdateToolTips();
}

bool COptionDLG::Collect() {
  EncodingSettings next = m_zSettings;
  m_pageA->Collect(next);
  m_pageB->Collect(next);
  QString error;
  if (!m_pageC->Collect(next, error)) {
    ShowError(Q(m_optTexts.font_label) + " " + error, kSubtitlePage);
    return false;
  }
  if (!m_pageD->Collect(next, error)) {
    ShowError(Q(m_optTexts.prefix_label) + " " + error, kOtherPage);
    return false;
  }
  next.output_type = std::max(0, m_outputType->currentIndex());
  next.pindex_opti = m_pindexOpti->isChecked();
  next.origin_vdo = m_originVdo->isChecked();
  next.origin_ado = m_originAdo->isChecked();
  next.sub_mapping = m_subMapping->isChecked();
  error = SetRecordText("encoding_options.optional", m_optional->text(), m_optionalCap, next, m_optTexts);
  if (!error.isEmpty()) {
    ShowError(Q(m_optTexts.optional_label) + " " + error, -1);
    m_optional->setFocus();
    return false;
  }
  m_zSettings = next;
  m_error->clear();
  return true;
}

void COptionDLG::ResetCopy() {
  // Set only in the store, with no control here: a reset of the encoding settings keeps them.
  const int32_t language = m_zSettings.language;
  const int32_t skipScan = m_zSettings.skip_scan;
  ResetSettings(m_zSettings);
  m_zSettings.language = language;
  m_zSettings.skip_scan = skipScan;
  LoadPages();
  Refresh();
  m_error->clear();
}

void COptionDLG::SaveAndClose() {
  if (!Collect()) return;
  *m_pTarget = m_zSettings;
  accept();
}

void COptionDLG::ShowError(const QString& text, int page) {
  m_error->setText(text);
  m_error->setToolTip(text);
  if (page >= 0) m_tabs->SelectTab(page);
}

QString COptionDLG::ErrorText() const { return m_error->text(); }

void COptionDLG::SetAlternativeEncoder(AlternativeEncoder state) {
  m_eAltEncoder = state;
  UpdateToolTips();
}

void COptionDLG::UpdateToolTips() {
  QString note;
  if (m_eAltEncoder == AlternativeEncoder::kFailed) note = "\n" + Q(m_optTexts.alt_failed_note);
  if (m_eAltEncoder == AlternativeEncoder::kMissing) note = "\n" + Q(m_optTexts.alt_missing_note);
  m_outputType->setToolTip(Q(m_optTexts.tip_output_type) + note);
  m_pageA->CodecList()->setToolTip(Q(m_optTexts.tip_video_codec) + note);
  m_subMapping->setToolTip(IsMkv() ? Q(m_optTexts.tip_sub_stream) : Q(m_optTexts.tip_sub_burn) + note);
}

void COptionDLG::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    event->accept();
    return;
  }
  CFlatDLGex::keyPressEvent(event);  // Escape: closes without copying
}

void COptionDLG::PlaceOverOwner(QWidget* owner) {
  if (!owner) {
    if (QScreen* screen = this->screen()) move(screen->availableGeometry().center() - QPoint(kWidth / 2, kHeight / 2));
    return;
  }
  const QPoint topLeft = owner->frameGeometry().center() - QPoint(kWidth / 2, kHeight / 2);
  move(std::max(0, topLeft.x()), std::max(0, topLeft.y()));
}

namespace {

AlternativeEncoder AskAlternativeEncoder(const std::string& mencoder, const std::string& ffmpeg) {
  const EncoderCapabilities caps = GetMencoderCapabilities(mencoder, ffmpeg);
  return !caps.runnable ? AlternativeEncoder::kMissing
         : caps.testDrive < 0 ? AlternativeEncoder::kFailed
                              : AlternativeEncoder::kUsable;
}

}  // namespace

int COptionDLG::Open(EncodingSettings& record, const StoredPaths& paths, const InterfaceTexts& texts,
                     QWidget* mainWindow) {
  COptionDLG dialog(record, texts, mainWindow);
  // The answer is usually at hand (asked after start-up and kept); otherwise the tooltips
  // learn it when the test drive ends. The dialog waits for the question before it goes.
  const std::string mencoder = paths.encoder_path_b, ffmpeg = paths.encoder_path_a;
  dialog.m_altQuery = std::thread([&dialog, mencoder, ffmpeg] {
    const AlternativeEncoder state = AskAlternativeEncoder(mencoder, ffmpeg);
    QMetaObject::invokeMethod(&dialog, [&dialog, state] { dialog.SetAlternativeEncoder(state); },
                              Qt::QueuedConnection);
  });
  return dialog.exec() == QDialog::Accepted ? 1 : 0;
}

int RenderOptionScene(int scene, const QString& outPng, int language) {
  if (scene < 0 || scene > 4) {
    std::fputs("zelvora-gui --screenshot: settings scenes are settings-0 to settings-4\n", stderr);
    return 1;
  }
  EncodingSettings settings;
  ResetSettings(settings);
  settings.language = language;
  // The subtitle page is shown open, as it is while a subtitle file is mapped.
  if (scene == 3) settings.sub_mapping = 1;
  // The main page as a user leaves it after choosing MKV with its subtitle stream.
  if (scene == 0) {
    settings.output_type = 2;
    settings.sub_mapping = 1;
  }
  const InterfaceTexts& texts = SelectInterfaceTexts(language);
  COptionDLG dialog(settings, texts);
  if (scene > 0) dialog.Tabs()->SelectTab(scene - 1);
  dialog.show();
  QApplication::processEvents();
  QImage picture = dialog.grab().toImage();
  if (!picture.save(outPng, "PNG")) {
    std::fputs("zelvora-gui --screenshot: the picture could not be written\n", stderr);
    return 1;
  }
  return 0;
}

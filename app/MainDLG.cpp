// CMainDLG: builds the window, adds and probes files, moves and removes rows, and shows the batch run.
#include "app/MainDLG.h"

#include <QAction>
#include <QApplication>
#include <QAbstractSpinBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QFileDialog>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <algorithm>
#include <array>
#include <cstdio>
#include <unordered_set>

#include "app/AboutBox.h"
#include "app/DialogTexts.h"
#include "app/FileListModel.h"
#include "app/MenuTray.h"
#include "app/OptionDLG.h"
#include "app/ProbePass.h"
#include "encoder/SettingsStore.h"
#include "platform/UserFiles.h"
#include "probe/ListRow.h"
#include "support/AsciiText.h"
#include "support/DebugLog.h"
#include "support/FileUtils.h"
#include "ui/Skin.h"
#include "ui/StaticTrans.h"
#include "ui/WBButton.h"

namespace {

constexpr int kButtonHeight = 23;
constexpr qsizetype kAddSlice = 400;  // dropped paths checked and added per turn of the event loop
constexpr int kProgressGroupHeight = 120;
constexpr int kOutputGroupHeight = 98;
constexpr int kColumnWidths[kColumnCount] = {0, 60, 60, 70, 40, 40, 70, 60, 40, 40, 0, 0};
constexpr QRgb kBody = qRgb(192, 192, 192);
constexpr QRgb kCaptionBlue = qRgb(50, 82, 143);

QString Q(const char* text) { return QString::fromUtf8(text ? text : ""); }
QString Q(const std::string& text) { return QString::fromStdString(text); }

// Lower-cased ASCII letters only: paths are compared ignoring letter case as the list always has.
std::string FoldCase(const std::string& text) {
  std::string folded = text;
  for (char& c : folded)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

// "%" with two hexadecimal digits becomes that byte, "+" a blank; false when nothing changed.
bool DecodeUrlName(const std::string& name, std::string& decoded) {
  decoded.clear();
  auto hex = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '+') {
      decoded += ' ';
    } else if (name[i] == '%' && i + 2 < name.size() && hex(name[i + 1]) >= 0 && hex(name[i + 2]) >= 0) {
      decoded += static_cast<char>(hex(name[i + 1]) * 16 + hex(name[i + 2]));
      i += 2;
    } else {
      decoded += name[i];
    }
  }
  return decoded != name;
}

CWBButton* MakeButton(const char* text, const char* name, const char* skin, QWidget* parent) {
  auto* button = new CWBButton(Q(text), parent);
  button->setObjectName(name);
  button->LoadBitmaps(QString::fromLatin1(skin));
  button->SetTextColor(Qt::black);
  button->setFocusPolicy(Qt::TabFocus);
  return button;
}

// Whether `w` is a field the user types text into: there Ctrl+A, Delete and the other list
// shortcuts edit the text and leave the file list alone.
bool EditsText(const QWidget* w) {
  if (!w) return false;
  if (qobject_cast<const QLineEdit*>(w) || qobject_cast<const QAbstractSpinBox*>(w) ||
      qobject_cast<const QTextEdit*>(w) || qobject_cast<const QPlainTextEdit*>(w))
    return true;
  const auto* combo = qobject_cast<const QComboBox*>(w);
  return combo && combo->isEditable();
}

QLabel* MakeLabel(const QString& text, const char* name, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  if (name) label->setObjectName(name);
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

struct CMainDLG::PendingDisplay {
  std::mutex mutex;
  CMainDLG* window = nullptr;
  bool scheduled = false;
  std::array<std::optional<std::string>, 11> texts;
  std::optional<int> bars[2];
  std::optional<int> selectRow;
  std::optional<bool> controlsEnabled;
  std::optional<bool> trayAnimation;
};

CMainDLG::CMainDLG(const EncodingSettings& settings, const StoredPaths& paths, MainWindowOptions options,
                   QWidget* parent)
    : CFlatDLGex(parent),
      m_settings(settings),
      m_paths(paths),
      m_storedSettings(settings),
      m_storedPaths(paths),
      m_options(options),
      m_texts(&SelectInterfaceTexts(settings.language)),
      m_dialogTexts(&SelectDialogTexts(settings.language)),
      m_pending(std::make_shared<PendingDisplay>()) {
  m_pending->window = this;
  setObjectName("MainWindow");
  setWindowTitle("Zelvora Media Encoder");
  SetTitle(Q(m_texts->window_title));
  SetTitlePos({28, 10});
  SetTitleColors(QColor(kCaptionBlue), Qt::white);
  SetRegionCut(true, Qt::black);
  SetResizable(true);
  setMinimumSize(600, 460);
  setWindowIcon(ProgramIcon());
  QPalette body = palette();
  body.setColor(QPalette::Window, QColor(kBody));
  setPalette(body);
  setAutoFillBackground(true);

  m_model = new FileListModel(m_list, *m_texts, this);
  m_probe = new ProbePass(m_list, *m_texts, this);
  connect(m_probe, &ProbePass::Finished, this, &CMainDLG::FinishAnalysis);
  connect(m_probe, &ProbePass::RowFailed, m_model, &FileListModel::SetCause);
  BatchEnvironment env{&m_settings, &m_paths, &m_list, m_texts, this, nullptr};
  m_batch = std::make_unique<CBatchRun>(env);

  CreateControls();
  CreateMenus();
  if (m_options.trayIcon) {
    m_tray = new CMenuTray(this);
    m_tray->AddTrayIcon(this, "Zelvora Media Encoder", ProgramIcon());
    m_tray->LoadFrames(TrayFrames());
    connect(m_tray, &CMenuTray::RestoreRequested, this, &CMainDLG::ComeForward);
    connect(m_tray, &CMenuTray::MenuRequested, this, [this](const QPoint& at) {
      ComeForward();
      m_trayMenuOpen = true;
      ShowFileMenu(at);
      m_trayMenuOpen = false;
    });
  }
  UpdateMinimumSize();
  resize(800, 600);
  LayoutControls();
  qApp->installEventFilter(this);
  // The hint appears a moment after the window, once the list has its final place.
  if (m_options.showDropHint) QTimer::singleShot(500, this, &CMainDLG::UpdateDropHint);
}

CMainDLG::~CMainDLG() {
  qApp->removeEventFilter(this);
  {
    std::lock_guard lock(m_pending->mutex);
    m_pending->window = nullptr;
  }
  if (!m_closed) {
    m_probe->Abandon();
    m_batch->RequestExit();
    m_batch->JoinThread();
  }
  if (m_cursorOverridden) QApplication::restoreOverrideCursor();
  // Both watch the list, which goes before the window's children do.
  m_listView->setModel(nullptr);
  delete m_probe;
  delete m_model;
}

void CMainDLG::CreateControls() {
  const DialogTexts& d = *m_dialogTexts;
  m_sourceGroup = new QGroupBox(Q(d.source_group), this);
  m_sourceGroup->setObjectName("SourceGroup");

  m_listView = new QTreeView(m_sourceGroup);
  m_listView->setObjectName("FileList");
  m_listView->setModel(m_model);
  m_listView->setRootIsDecorated(false);
  m_listView->setUniformRowHeights(true);
  m_listView->setItemsExpandable(false);
  m_listView->setAllColumnsShowFocus(true);
  m_listView->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_listView->setSelectionMode(QAbstractItemView::ExtendedSelection);
  m_listView->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_listView->setTextElideMode(Qt::ElideRight);
  m_listView->setIconSize(QSize(15, 16));
  m_listView->setContextMenuPolicy(Qt::CustomContextMenu);
  m_listView->setAcceptDrops(true);
  m_listView->viewport()->setAcceptDrops(true);
  m_listView->setDropIndicatorShown(false);
  m_listView->viewport()->installEventFilter(this);
  QHeaderView* header = m_listView->header();
  header->setStretchLastSection(false);
  header->setSectionsMovable(false);
  header->setMinimumSectionSize(0);
  for (int column = 1; column < kColumnCount; ++column) header->resizeSection(column, ColumnWidth(column));
  m_listView->setColumnHidden(kColFullPath, true);
  m_listView->setColumnHidden(kColSampleRate, true);
  connect(m_listView, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& at) { ShowListMenu(m_listView->viewport()->mapToGlobal(at)); });
  connect(m_model, &FileListModel::RowCountChanged, this, [this](int) { UpdateDropHint(); });
  connect(m_listView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
          [this] { ShowSelectedCause(); });

  m_dropHint = new CStaticTrans(Q(m_texts->drop_hint), m_listView->viewport());
  m_dropHint->setObjectName("DropHint");
  m_dropHint->SetTextColor(QColor(kCaptionBlue));
  m_dropHint->setAlignment(Qt::AlignCenter);
  m_dropHint->setWordWrap(true);
  m_dropHint->hide();

  m_btnAdd = MakeButton(d.add_files, "BtnAddFile", kSkinButton, m_sourceGroup);
  m_btnRemoveDone = MakeButton(d.remove_completed, "BtnRemoveCompleted", kSkinButton, m_sourceGroup);
  m_btnUp = MakeButton(d.move_up, "BtnMoveUp", kSkinButton, m_sourceGroup);
  m_btnDown = MakeButton(d.move_down, "BtnMoveDown", kSkinButton, m_sourceGroup);
  m_btnSettings = MakeButton(d.settings, "BtnSettings", kSkinButton, m_sourceGroup);
  m_btnStart = MakeButton(m_texts->start_button, "BtnStart", kSkinStartButton, m_sourceGroup);
  connect(m_btnAdd, &QPushButton::clicked, this, [this] { AddFilesDialog(); });
  connect(m_btnRemoveDone, &QPushButton::clicked, this, &CMainDLG::RemoveCompleted);
  connect(m_btnUp, &QPushButton::clicked, this, [this] { MoveSelection(-1); });
  connect(m_btnDown, &QPushButton::clicked, this, [this] { MoveSelection(+1); });
  connect(m_btnSettings, &QPushButton::clicked, this, &CMainDLG::OpenSettingsDialog);
  connect(m_btnStart, &QPushButton::clicked, this, &CMainDLG::OnStartButton);

  m_progressGroup = new QGroupBox(Q(d.progress_group), this);
  m_progressGroup->setObjectName("ProgressGroup");
  QWidget* pg = m_progressGroup;
  m_lblCurrentFile = MakeLabel(Q(d.current_file), nullptr, pg);
  m_currentFile = MakeLabel({}, "CurrentFile", pg);
  m_lblFileBar = MakeLabel(Q(d.file_progress), nullptr, pg);
  m_fileBar = new QProgressBar(pg);
  m_fileBar->setObjectName("FileBar");
  m_filePercent = MakeLabel("0%", "FilePercent", pg);
  m_lblTotalBar = MakeLabel(Q(d.total_progress), nullptr, pg);
  m_totalBar = new QProgressBar(pg);
  m_totalBar->setObjectName("TotalBar");
  m_totalPercent = MakeLabel("0%", "TotalPercent", pg);
  for (QProgressBar* bar : {m_fileBar, m_totalBar}) {
    bar->setRange(0, 100);
    bar->setValue(0);
    bar->setTextVisible(false);
  }
  m_lblStatus = MakeLabel(Q(d.status_info), nullptr, pg);
  m_status = MakeLabel({}, "StatusLine", pg);
  m_lblEstimated = MakeLabel(Q(d.estimated_total), nullptr, pg);
  m_estimated = MakeLabel("00:00:00", "EstimatedTime", pg);
  m_lblElapsed = MakeLabel(Q(d.elapsed), nullptr, pg);
  m_elapsed = MakeLabel("00:00:00", "ElapsedTime", pg);
  m_lblRemaining = MakeLabel(Q(d.remaining), nullptr, pg);
  m_remaining = MakeLabel("00:00:00", "RemainingTime", pg);

  m_outputGroup = new QGroupBox(Q(d.output_group), this);
  m_outputGroup->setObjectName("OutputGroup");
  QWidget* og = m_outputGroup;
  m_lblOutputFolder = MakeLabel(Q(d.output_folder), nullptr, og);
  m_outputFolder = new QLineEdit(Q(m_paths.output_folder), og);
  m_outputFolder->setObjectName("OutputFolder");
  m_btnChangeFolder = MakeButton(d.change_folder, "BtnChangeFolder", kSkinButton, og);
  m_btnOpenFolder = MakeButton(d.open_folder, "BtnOpenFolder", kSkinButton, og);
  connect(m_btnChangeFolder, &QPushButton::clicked, this, &CMainDLG::BrowseOutputFolder);
  connect(m_btnOpenFolder, &QPushButton::clicked, this, &CMainDLG::OpenOutputFolder);
  m_lblOutputName = MakeLabel(Q(d.output_name), nullptr, og);
  m_outputName = MakeLabel({}, "OutputName", og);
  m_lblVideo = MakeLabel(Q(d.video_info), nullptr, og);
  m_video = MakeLabel({}, "VideoSummary", og);
  m_lblAudio = MakeLabel(Q(d.audio_info), nullptr, og);
  m_audio = MakeLabel({}, "AudioSummary", og);
}

void CMainDLG::CreateMenus() {
  const DialogTexts& d = *m_dialogTexts;
  auto add = [](QMenu* menu, const char* text, int id, std::function<void(int)> act) {
    QAction* action = menu->addAction(Q(text));
    action->setData(id);
    QObject::connect(action, &QAction::triggered, menu, [act, id] { act(id); });
    return action;
  };
  auto command = [this](int id) { OnListCommand(id); };
  m_fileMenu = new QMenu(Q(d.file_menu), this);
  m_fileMenu->setObjectName("FileMenu");
  add(m_fileMenu, d.about_item, kCmdAbout, command);
  add(m_fileMenu, d.settings_item, kCmdSettings, command);
  m_fileMenu->addSeparator();
  add(m_fileMenu, d.exit_item, kCmdExit, command);
  add(m_fileMenu, d.shutdown_item, kCmdShutdownToggle, command)->setCheckable(true);

  m_listMenu = new QMenu(Q(d.list_menu), this);
  m_listMenu->setObjectName("ListMenu");
  add(m_listMenu, d.up_item, kCmdMoveUp, command);
  add(m_listMenu, d.down_item, kCmdMoveDown, command);
  add(m_listMenu, d.delete_item, kCmdDelete, command);
  add(m_listMenu, d.remove_done_item, kCmdRemoveDone, command);
  add(m_listMenu, d.select_all_item, kCmdSelectAll, command);
  add(m_listMenu, d.open_file_folder_item, kCmdOpenFileFolder, command);
  add(m_listMenu, d.set_waiting_item, kCmdSetWaiting, command);
}

// ---- layout ----

int CMainDLG::ColumnWidth(int column) const { return ColumnWidthFor(column, *m_texts); }

int CMainDLG::ColumnWidthFor(int column, const InterfaceTexts& texts) const {
  const int base = kColumnWidths[column];
  if (base == 0) return 0;
  // The given widths hold the Korean texts; a wider font or language widens a column just
  // enough that its header and its usual texts are never cut.
  const QFontMetrics fm = m_listView->fontMetrics();
  const QFontMetrics header = m_listView->header()->fontMetrics();
  int need = header.horizontalAdvance(Q(texts.list_headers[column])) + 14;
  auto text = [&](const QString& t) { need = std::max(need, fm.horizontalAdvance(t) + 12); };
  switch (column) {
    case kColPlayTime: text("00:00:00"); break;
    case kColBitRate: text("999kbps"); text("9.9mbps"); break;
    case kColSize: text("999MB"); break;
    case kColStatus:
      for (const char* status : {texts.status_waiting, texts.status_failed, texts.status_done, texts.status_error,
                                 texts.status_in_progress})
        text(Q(status));
      break;
    default: break;
  }
  return std::max(base, need);
}

void CMainDLG::SetElided(QLabel* label, const QString& text) {
  label->setProperty("fullText", text);
  label->setToolTip(label->fontMetrics().horizontalAdvance(text) > label->width() ? text : QString());
  label->setText(label->fontMetrics().elidedText(text, Qt::ElideMiddle, std::max(0, label->width())));
}

int CMainDLG::ButtonWidth(CWBButton* button) { return TextButtonWidth(button->fontMetrics(), button->text()); }

int CMainDLG::TextButtonWidth(const QFontMetrics& fm, const QString& text) {
  return std::max(76, fm.horizontalAdvance(text) + 24);
}

int CMainDLG::StartButtonWidth() const {
  const QFontMetrics fm = m_btnStart->fontMetrics();
  return std::max({96, fm.horizontalAdvance(Q(m_texts->start_button)) + 28,
                   fm.horizontalAdvance(Q(m_texts->cancel_button)) + 28});
}

// The smallest size is 600×460, or more where the texts need it, in whichever of the two
// languages is wider, so that no text is cut in either (a window started in one language and a
// store switched to the other meet the same smallest size): the row of buttons side by side,
// the file name column at least kMinNameWidth wide beside the other columns at their content
// widths, six rows of the list in view, the label column with a usable bar and folder field
// beside it, and the three times apart from each other.
void CMainDLG::UpdateMinimumSize() {
  constexpr int kMinNameWidth = 140;
  constexpr int kMinRows = 6;
  constexpr int kMinBarWidth = 80;
  constexpr int kMinFolderField = 100;
  const int frameWidth = 2 * kBorderWidth + 8;  // the borders and the groups' margins
  const DialogTexts* words[] = {&SelectDialogTexts(0), &SelectDialogTexts(1)};
  const InterfaceTexts* texts[] = {&SelectInterfaceTexts(0), &SelectInterfaceTexts(1)};
  // The widest of a control's texts in the two languages, in the control's own font.
  auto widest = [&](const QWidget* control, const char* DialogTexts::*text) {
    return std::max(control->fontMetrics().horizontalAdvance(Q(words[0]->*text)),
                    control->fontMetrics().horizontalAdvance(Q(words[1]->*text)));
  };
  auto button = [&](const CWBButton* b, const char* DialogTexts::*text) {
    return std::max(TextButtonWidth(b->fontMetrics(), Q(words[0]->*text)),
                    TextButtonWidth(b->fontMetrics(), Q(words[1]->*text)));
  };

  int buttons = 8 + button(m_btnAdd, &DialogTexts::add_files) + 4 + button(m_btnRemoveDone, &DialogTexts::remove_completed) +
                4 + button(m_btnUp, &DialogTexts::move_up) + 4 + button(m_btnDown, &DialogTexts::move_down) + 4;
  int start = 96;
  for (const InterfaceTexts* t : texts)
    for (const char* caption : {t->start_button, t->cancel_button})
      start = std::max(start, m_btnStart->fontMetrics().horizontalAdvance(Q(caption)) + 28);
  buttons += 12 + button(m_btnSettings, &DialogTexts::settings) + 4 + start + 8;

  int columns = 0;
  for (int column = 1; column < kColumnCount; ++column)
    columns += std::max(ColumnWidthFor(column, *texts[0]), ColumnWidthFor(column, *texts[1]));
  const int list = 16 + kMinNameWidth + columns + 22;

  int labels = 0;
  for (auto [label, text] : {std::pair{m_lblCurrentFile, &DialogTexts::current_file},
                             {m_lblFileBar, &DialogTexts::file_progress}, {m_lblTotalBar, &DialogTexts::total_progress},
                             {m_lblStatus, &DialogTexts::status_info}, {m_lblOutputFolder, &DialogTexts::output_folder},
                             {m_lblOutputName, &DialogTexts::output_name}, {m_lblVideo, &DialogTexts::video_info},
                             {m_lblAudio, &DialogTexts::audio_info}})
    labels = std::max(labels, widest(label, text));
  const int percentWidth = std::max(36, m_filePercent->fontMetrics().horizontalAdvance("100%") + 6);
  const int bars = 9 + labels + 4 + kMinBarWidth + 4 + percentWidth + 9;
  const int folder = 9 + labels + 4 + kMinFolderField + 6 + button(m_btnChangeFolder, &DialogTexts::change_folder) + 4 +
                     button(m_btnOpenFolder, &DialogTexts::open_folder) + 9;
  // The elapsed time sits in the middle, the other two at the edges, each pair 8 pixels apart.
  const int timeWidth = m_estimated->fontMetrics().horizontalAdvance("000:00:00") + 4;
  const int estimated = widest(m_lblEstimated, &DialogTexts::estimated_total) + 4 + timeWidth;
  const int elapsed = widest(m_lblElapsed, &DialogTexts::elapsed) + 4 + timeWidth;
  const int remaining = widest(m_lblRemaining, &DialogTexts::remaining) + 4 + timeWidth;
  const int times = 2 * (9 + std::max(estimated, remaining) + 8) + elapsed;

  const int rowHeight = std::max(m_listView->fontMetrics().height() + 4, 18);
  const int listHeight = m_listView->header()->sizeHint().height() + kMinRows * rowHeight + 4;
  const int height = kCaptionHeight + kBottomHeight + 246 + kButtonHeight + 34 + listHeight;
  setMinimumSize(std::max(600, std::max({buttons, list, bars, folder, times}) + frameWidth), std::max(460, height));
}

void CMainDLG::LayoutControls() {
  if (!m_sourceGroup || isMinimized()) return;
  const QRect client = ClientRect();
  const int width = client.width() - 8;
  const int sourceHeight = std::max(120, client.height() - 246);
  m_sourceGroup->setGeometry(client.left() + 4, client.top() + 4, width, sourceHeight);
  const int listHeight = sourceHeight - kButtonHeight - 34;
  m_listView->setGeometry(8, 18, width - 16, listHeight);
  // Column 0 takes what the fixed columns and the scroll bar leave.
  int fixedColumns = 0;
  for (int column = 1; column < kColumnCount; ++column) fixedColumns += ColumnWidth(column);
  m_listView->header()->resizeSection(kColFileName, std::max(60, m_listView->width() - fixedColumns - 22));
  if (m_dropHint->isVisible()) m_dropHint->setGeometry(m_listView->viewport()->rect().adjusted(16, 0, -16, 0));

  auto buttonWidth = [](CWBButton* b) { return ButtonWidth(b); };
  const int buttonY = 18 + listHeight + 8;
  int x = 8;
  for (CWBButton* b : {m_btnAdd, m_btnRemoveDone, m_btnUp, m_btnDown}) {
    b->setGeometry(x, buttonY, buttonWidth(b), kButtonHeight);
    x += b->width() + 4;
  }
  // The start button keeps one width for both of its captions.
  const int startWidth = StartButtonWidth();
  int right = width - 8;
  m_btnStart->setGeometry(right - startWidth, buttonY, startWidth, kButtonHeight);
  right -= startWidth + 4;
  m_btnSettings->setGeometry(right - buttonWidth(m_btnSettings), buttonY, buttonWidth(m_btnSettings), kButtonHeight);

  const int progressY = m_sourceGroup->geometry().bottom() + 1 + 8;
  m_progressGroup->setGeometry(client.left() + 4, progressY, width, kProgressGroupHeight);
  const int outputY = progressY + kProgressGroupHeight + 8;
  m_outputGroup->setGeometry(client.left() + 4, outputY, width, kOutputGroupHeight);

  // One label column for both groups, as wide as the widest label.
  int labelWidth = 0;
  for (QLabel* l : {m_lblCurrentFile, m_lblFileBar, m_lblTotalBar, m_lblStatus, m_lblOutputFolder, m_lblOutputName,
                    m_lblVideo, m_lblAudio})
    labelWidth = std::max(labelWidth, l->fontMetrics().horizontalAdvance(l->text()));
  const int fieldX = 9 + labelWidth + 4;
  const int fieldRight = width - 9;
  const int rowHeight = 17;
  auto row = [&](QLabel* label, QWidget* field, int y, int fieldWidth, int height = 0) {
    if (height == 0) height = rowHeight;
    label->setGeometry(9, y, labelWidth, height);
    field->setGeometry(fieldX, y, fieldWidth, height);
  };
  const int percentWidth = std::max(36, m_filePercent->fontMetrics().horizontalAdvance("100%") + 6);
  row(m_lblCurrentFile, m_currentFile, 18, fieldRight - fieldX);
  row(m_lblFileBar, m_fileBar, 37, fieldRight - fieldX - percentWidth - 4);
  m_fileBar->setGeometry(fieldX, 37 + 2, fieldRight - fieldX - percentWidth - 4, rowHeight - 4);
  m_filePercent->setGeometry(fieldRight - percentWidth, 37, percentWidth, rowHeight);
  row(m_lblTotalBar, m_totalBar, 56, 0);
  m_totalBar->setGeometry(fieldX, 56 + 2, fieldRight - fieldX - percentWidth - 4, rowHeight - 4);
  m_totalPercent->setGeometry(fieldRight - percentWidth, 56, percentWidth, rowHeight);
  m_filePercent->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  m_totalPercent->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  row(m_lblStatus, m_status, 75, fieldRight - fieldX);

  // The three times: the estimate at the left, the elapsed time from the middle, the remaining
  // time at the right edge.
  const int timeWidth = m_estimated->fontMetrics().horizontalAdvance("000:00:00") + 4;
  auto pair = [&](QLabel* label, QLabel* value, int x0) {
    int w = label->fontMetrics().horizontalAdvance(label->text());
    label->setGeometry(x0, 96, w, rowHeight);
    value->setGeometry(x0 + w + 4, 96, timeWidth, rowHeight);
    return w + 4 + timeWidth;
  };
  pair(m_lblEstimated, m_estimated, 9);
  pair(m_lblElapsed, m_elapsed, width / 2 - (m_lblElapsed->fontMetrics().horizontalAdvance(m_lblElapsed->text()) + 4 + timeWidth) / 2);
  int remainingWidth = m_lblRemaining->fontMetrics().horizontalAdvance(m_lblRemaining->text()) + 4 + timeWidth;
  pair(m_lblRemaining, m_remaining, fieldRight - remainingWidth);

  const int folderButtons = buttonWidth(m_btnChangeFolder) + 4 + buttonWidth(m_btnOpenFolder);
  m_lblOutputFolder->setGeometry(9, 21, labelWidth, rowHeight);
  m_outputFolder->setGeometry(fieldX, 18, fieldRight - fieldX - folderButtons - 6, kButtonHeight);
  m_btnChangeFolder->setGeometry(fieldRight - folderButtons, 18, buttonWidth(m_btnChangeFolder), kButtonHeight);
  m_btnOpenFolder->setGeometry(fieldRight - buttonWidth(m_btnOpenFolder), 18, buttonWidth(m_btnOpenFolder),
                               kButtonHeight);
  // These three rows are 16 pixels apart: each as high as that, so that none covers the next.
  row(m_lblOutputName, m_outputName, 45, fieldRight - fieldX, 16);
  row(m_lblVideo, m_video, 61, fieldRight - fieldX, 16);
  row(m_lblAudio, m_audio, 77, fieldRight - fieldX, 16);

  for (QLabel* l : {m_currentFile, m_status, m_outputName, m_video, m_audio}) {
    QVariant full = l->property("fullText");
    if (full.isValid()) SetElided(l, full.toString());
  }
}

void CMainDLG::resizeEvent(QResizeEvent* event) {
  CFlatDLGex::resizeEvent(event);
  LayoutControls();
}

void CMainDLG::UpdateDropHint() {
  if (!m_options.showDropHint || m_closed) return;
  const bool show = m_list.size() == 0;
  if (show) {
    m_dropHint->setGeometry(m_listView->viewport()->rect().adjusted(16, 0, -16, 0));
    DebugLog(kDebugTarget, "m_xDropMesg.IsWindowVisible()");
  }
  m_dropHint->setVisible(show);
}

// ---- adding files ----

bool CMainDLG::AcceptsMime(const QStringList& formats, bool hasLocalFiles) {
  return hasLocalFiles && !formats.contains(QString::fromLatin1(kPrivateMimeType));
}

int CMainDLG::AppendPaths(const QStringList& paths, bool fromDialog) {
  m_addKnown.clear();
  const size_t rows = m_list.size();
  m_addKnown.reserve(rows + static_cast<size_t>(paths.size()));
  for (size_t i = 0; i < rows; ++i) m_addKnown.insert(FoldCase(m_list.text(i, kColFullPath)));
  m_addQueue = paths;
  m_addNext = 0;
  m_addFromDialog = fromDialog;
  m_addCount = 0;
  AddQueued();
  if (m_addNext < m_addQueue.size()) {
    // A large drop is added a slice per turn of the event loop, so the window keeps
    // answering; meanwhile it is as busy as during the probe pass that follows.
    m_adding = true;
    EnterAnalysingState();
    QTimer::singleShot(0, this, &CMainDLG::ContinueAdding);
  }
  return m_addCount;
}

void CMainDLG::AddQueued() {
  const qsizetype end = std::min(m_addQueue.size(), m_addNext + kAddSlice);
  for (; m_addNext < end; ++m_addNext) {
    const QString& p = m_addQueue[m_addNext];
    std::string path = p.toStdString();
    if (!m_addFromDialog) {
      int64_t size = 0;
      // Folders are not opened, missing paths and relative ones are skipped.
      if (path.find('/', 1) == std::string::npos || !GetFileStatus(path, nullptr, &size)) continue;
      if (QFileInfo(p).isDir()) continue;
    }
    if (!m_addKnown.insert(FoldCase(path)).second) continue;
    m_list.append(NewListRow(path));
    ++m_addCount;
  }
}

void CMainDLG::ContinueAdding() {
  if (m_closing) {
    m_adding = false;
    return;
  }
  AddQueued();
  if (m_addNext < m_addQueue.size()) {
    QTimer::singleShot(0, this, &CMainDLG::ContinueAdding);
    return;
  }
  m_adding = false;
  m_addQueue.clear();
  m_addKnown.clear();
  if (m_addCount == 0) {
    FinishAnalysis();
    return;
  }
  m_dropHint->hide();
  m_probe->Start(m_settings.skip_scan == 1);
}

int CMainDLG::RunDropFiles(const QStringList& paths) {
  DebugLog(kDebugTarget, "RunDropFiles:%08X,%d,%d", static_cast<unsigned>(paths.size()), m_analysing ? 1 : 0,
           IsRunning() ? 1 : 0);
  if (paths.isEmpty() || m_analysing || IsRunning() || m_closing) return 0;
  activateWindow();
  raise();
  int added = AppendPaths(paths, false);
  if (added > 0 && !m_adding) {
    m_dropHint->hide();
    StartAnalysis();
  }
  activateWindow();
  raise();
  return added;
}

int CMainDLG::AddFilesDialog() {
  if (m_analysing || IsRunning()) return 0;
  static const char* const kFilters[][2] = {
      {"Video Files", "*.avi;*.wmv;*.asf;*.mpeg;*.mpg;*.vob;*.ogm;*.mp4;*.m4v;*.mov;*.flv;*.mkv;*.mts;*.tp;*.ts;*.m2ts;*.skm;*.k3g;*.3pg"},
      {"Video for Windows(avi)", "*.avi"},
      {"Moving Picture Experts Group(mpeg)", "*.mpg;*.mpeg;*.vob"},
      {"Windows Media", "*.wmv;*.asf"},
      {"Ogg Vorbis Media", "*.ogm"},
      {"QuickTime Multimedia", "*.m4v;*.mp4;*.mov"},
      {"Flash Video", "*.flv"},
      {"Matroska Video", "*.mkv"},
      {"MPEG-TS Media", "*.mts;*.tp;*.ts;*.m2ts"},
      {"Mobile Multimedia", "*.skm;*.k3g;*.3pg"},
      {"All Files(*.*)", "*"},
  };
  QStringList filters;
  for (const auto& f : kFilters)
    filters << QString("%1 (%2)").arg(Q(f[0]), Q(f[1]).replace(';', ' '));
  QFileDialog dialog(this, Q(m_dialogTexts->open_dialog_title), Q(m_paths.last_open_folder));
  dialog.setObjectName("OpenFilesDialog");
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setNameFilters(filters);
  dialog.setOption(QFileDialog::DontUseNativeDialog, QGuiApplication::platformName() == "offscreen");
  if (dialog.exec() != QDialog::Accepted) return 0;
  QStringList chosen = dialog.selectedFiles();
  DebugLog(kDebugTarget, "GetPathName:%s", chosen.isEmpty() ? "" : chosen.front().toUtf8().constData());
  return AddChosenFiles(chosen);
}

int CMainDLG::AddChosenFiles(const QStringList& paths) {
  if (m_analysing || IsRunning() || m_closing) return 0;
  if (paths.size() == 1) {
    std::string folder = paths.front().toStdString();
    CutAfterLastBackslash(folder, false);
    if (!folder.empty()) m_paths.last_open_folder = folder;
  }
  QStringList named;
  for (const QString& p : paths) {
    std::string path = p.toStdString();
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) continue;
    const std::string folder = path.substr(0, slash + 1);
    std::string decoded;
    // A decoded name that would leave the folder or is not a name at all is not used; a name
    // that is taken already is not replaced: the file is then listed under its own name.
    if (DecodeUrlName(path.substr(slash + 1), decoded) && !decoded.empty() && decoded != "." && decoded != ".." &&
        decoded.find('/') == std::string::npos && decoded.find('\0') == std::string::npos &&
        platform::RenameNoReplace(path, folder + decoded))
      path = folder + decoded;
    named << QString::fromStdString(path);
  }
  int added = AppendPaths(named, true);
  DebugLog(kDebugTarget, "for Check2");
  if (added > 0 && !m_adding) {
    m_dropHint->hide();
    StartAnalysis();
  }
  return added;
}

// ---- the probe pass ----

void CMainDLG::StartAnalysis() {
  if (m_analysing) return;
  EnterAnalysingState();
  m_probe->Start(m_settings.skip_scan == 1);
}

void CMainDLG::EnterAnalysingState() {
  m_analysing = true;
  SetElided(m_status, Q(m_texts->analysing));
  if (!m_cursorOverridden) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
    m_cursorOverridden = true;
  }
  EnableListControls(false, false);
}

void CMainDLG::FinishAnalysis() {
  m_model->Sync();
  m_analysing = false;
  EnableListControls(true, false);
  if (m_cursorOverridden) {
    QApplication::restoreOverrideCursor();
    m_cursorOverridden = false;
  }
  SetElided(m_status, Q(m_texts->analysis_done));
  emit AnalysisFinished();
}

bool CMainDLG::IsRunning() const { return m_batch && m_batch->IsRunning(); }

bool CMainDLG::ShutdownAfterRun() const { return m_batch->ShutdownAfterRun(); }

void CMainDLG::EnableListControls(bool enable, bool running) {
  if (!running) {
    m_listView->setEnabled(enable);
    m_btnStart->setEnabled(enable);
  }
  for (QWidget* w : std::initializer_list<QWidget*>{m_btnChangeFolder, m_btnSettings, m_btnRemoveDone, m_btnAdd,
                                                   m_btnUp, m_btnDown, m_outputFolder})
    w->setEnabled(enable);
}

// ---- moving and removing rows ----

QList<int> CMainDLG::SelectedRows() const {
  QList<int> rows;
  for (const QModelIndex& index : m_listView->selectionModel()->selectedRows()) rows << index.row();
  std::sort(rows.begin(), rows.end());
  return rows;
}

void CMainDLG::SwapRows(int a, int b) {
  std::optional<RowTexts> ra = m_list.row(static_cast<size_t>(a));
  std::optional<RowTexts> rb = m_list.row(static_cast<size_t>(b));
  if (!ra || !rb) return;
  m_list.setRow(static_cast<size_t>(a), *rb);
  m_list.setRow(static_cast<size_t>(b), *ra);
  QItemSelectionModel* selection = m_listView->selectionModel();
  selection->select(m_model->index(a, 0), QItemSelectionModel::Deselect | QItemSelectionModel::Rows);
  selection->select(m_model->index(b, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  selection->setCurrentIndex(m_model->index(b, 0), QItemSelectionModel::NoUpdate);
}

void CMainDLG::MoveSelection(int direction) {
  QList<int> rows = SelectedRows();
  if (rows.isEmpty()) return;
  if (direction < 0) {
    if (rows.front() == 0) return;
    for (int row : rows) SwapRows(row, row - 1);
  } else {
    DebugLog(kDebugTarget, "nSelItem:%d", rows.back());
    if (rows.back() >= static_cast<int>(m_list.size()) - 1) return;
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) SwapRows(*it, *it + 1);
  }
  m_model->Sync();
  m_listView->scrollTo(m_listView->currentIndex());
}

int CMainDLG::RemoveSelected() {
  QList<int> rows = SelectedRows();
  m_listView->selectionModel()->clearSelection();
  for (auto it = rows.rbegin(); it != rows.rend(); ++it) m_model->RemoveRow(*it);
  return static_cast<int>(rows.size());
}

void CMainDLG::RemoveCompleted() {
  if (m_list.size() == 0) return;
  EnableListControls(false, false);
  const std::string done = m_texts->status_done;
  for (long row = static_cast<long>(m_list.size()) - 1; row >= 0; --row)
    if (m_list.text(static_cast<size_t>(row), kColStatus) == done) m_model->RemoveRow(static_cast<int>(row));
  EnableListControls(true, false);
}

// ---- commands and menus ----

void CMainDLG::OnListCommand(int id) {
  switch (id) {
    case kCmdAbout: ShowAboutBox(); return;
    case kCmdSettings:
      if (!IsRunning()) OpenSettingsDialog();
      return;
    case kCmdExit: OnBtnExit(); return;
    case kCmdShutdownToggle:
      if (IsRunning()) m_batch->SetShutdownAfterRun(!m_batch->ShutdownAfterRun());
      return;
    default: break;
  }
  // The list is the batch run's queue while it runs, and the probe pass's while it probes.
  if (IsRunning() || m_analysing || m_closing) return;
  m_model->Sync();
  switch (id) {
    case kCmdSetWaiting:
      for (int row : SelectedRows()) m_list.setText(static_cast<size_t>(row), kColStatus, m_texts->status_waiting);
      break;
    case kCmdMoveUp: MoveSelection(-1); break;
    case kCmdMoveDown: MoveSelection(+1); break;
    case kCmdDelete: RemoveSelected(); break;
    case kCmdRemoveDone: RemoveCompleted(); break;
    case kCmdSelectAll:
      m_listView->selectAll();
      if (m_model->rowCount() > 0)
        m_listView->selectionModel()->setCurrentIndex(m_model->index(m_model->rowCount() - 1, 0),
                                                      QItemSelectionModel::NoUpdate);
      break;
    case kCmdOpenFileFolder: {
      QList<int> rows = SelectedRows();
      if (rows.isEmpty()) break;
      std::string folder = m_list.text(static_cast<size_t>(rows.front()), kColFullPath);
      CutAfterLastBackslash(folder, false);
      if (!folder.empty()) OpenFolder(Q(folder));
      break;
    }
    default: break;
  }
}

void CMainDLG::ShowFileMenu(const QPoint& globalPos) {
  const bool running = IsRunning();
  for (QAction* action : m_fileMenu->actions()) {
    int id = action->data().toInt();
    if (id == kCmdSettings) action->setEnabled(!running);
    if (id == kCmdShutdownToggle) {
      action->setEnabled(running);
      action->setChecked(running && m_batch->ShutdownAfterRun());
    }
  }
  // The arrow, not the wait cursor, while a menu is open from the tray.
  if (m_trayMenuOpen) QApplication::setOverrideCursor(Qt::ArrowCursor);
  m_fileMenu->exec(globalPos);
  if (m_trayMenuOpen) QApplication::restoreOverrideCursor();
}

void CMainDLG::ShowListMenu(const QPoint& globalPos) {
  if (IsRunning() || m_closing || m_list.size() == 0) return;
  const bool selected = !SelectedRows().isEmpty();
  for (QAction* action : m_listMenu->actions()) {
    int id = action->data().toInt();
    if (id == kCmdMoveUp || id == kCmdMoveDown || id == kCmdDelete || id == kCmdOpenFileFolder)
      action->setEnabled(selected);
  }
  m_listMenu->exec(globalPos);
}

void CMainDLG::LogoAction(const QPoint& globalPos) { ShowFileMenu(globalPos); }

void CMainDLG::ExitAction() { OnBtnExit(); }

// ---- output folder ----

void CMainDLG::BrowseOutputFolder() {
  QFileDialog dialog(this, Q(m_dialogTexts->folder_chooser_title), m_outputFolder->text());
  dialog.setObjectName("FolderChooser");
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  dialog.setOption(QFileDialog::DontUseNativeDialog, QGuiApplication::platformName() == "offscreen");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  QString chosen = dialog.selectedFiles().front();
  if (chosen.isEmpty()) return;
  m_paths.output_folder = chosen.toStdString();
  m_outputFolder->setText(chosen);
  SaveNow();
}

void CMainDLG::OpenOutputFolder() {
  const QString folder = m_outputFolder->text();
  if (!folder.isEmpty()) OpenFolder(folder);
}

void CMainDLG::OpenFolder(const QString& folder) {
  // Without a file manager nothing would happen at all: the user is told instead.
  if (!QDesktopServices::openUrl(QUrl::fromLocalFile(folder)))
    SetElided(m_status, Q(m_dialogTexts->open_failed).arg(folder));
}

// ---- the batch run ----

void CMainDLG::OnStartButton() {
  if (m_analysing || m_closing) return;
  if (!IsRunning()) {
    // The typed folder counts from the start of a run.
    std::string folder = m_outputFolder->text().trimmed().toStdString();
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (!folder.empty()) m_paths.output_folder = folder;
    m_outputFolder->setText(Q(m_paths.output_folder));
    SaveNow();
  }
  m_batch->OnStartButton();
}

void CMainDLG::SetText(DisplayText which, const std::string& text) {
  std::lock_guard lock(m_pending->mutex);
  m_pending->texts[static_cast<size_t>(which)] = text;
  if (m_pending->window && !m_pending->scheduled) {
    m_pending->scheduled = true;
    QMetaObject::invokeMethod(this, &CMainDLG::ApplyDisplay, Qt::QueuedConnection);
  }
}

void CMainDLG::SetBar(DisplayBar which, int percent) {
  std::lock_guard lock(m_pending->mutex);
  m_pending->bars[which == DisplayBar::kFile ? 0 : 1] = percent;
  if (m_pending->window && !m_pending->scheduled) {
    m_pending->scheduled = true;
    QMetaObject::invokeMethod(this, &CMainDLG::ApplyDisplay, Qt::QueuedConnection);
  }
}

void CMainDLG::SelectRow(int row) {
  std::lock_guard lock(m_pending->mutex);
  m_pending->selectRow = row;
  if (m_pending->window && !m_pending->scheduled) {
    m_pending->scheduled = true;
    QMetaObject::invokeMethod(this, &CMainDLG::ApplyDisplay, Qt::QueuedConnection);
  }
}

void CMainDLG::SetControlsEnabled(bool enabled) {
  std::lock_guard lock(m_pending->mutex);
  m_pending->controlsEnabled = enabled;
  if (m_pending->window && !m_pending->scheduled) {
    m_pending->scheduled = true;
    QMetaObject::invokeMethod(this, &CMainDLG::ApplyDisplay, Qt::QueuedConnection);
  }
}

void CMainDLG::SetTrayAnimation(bool running) {
  std::lock_guard lock(m_pending->mutex);
  m_pending->trayAnimation = running;
  if (m_pending->window && !m_pending->scheduled) {
    m_pending->scheduled = true;
    QMetaObject::invokeMethod(this, &CMainDLG::ApplyDisplay, Qt::QueuedConnection);
  }
}

void CMainDLG::ApplyDisplay() {
  PendingDisplay shown;
  {
    std::lock_guard lock(m_pending->mutex);
    m_pending->scheduled = false;
    shown.texts = m_pending->texts;
    for (int i = 0; i < 2; ++i) shown.bars[i] = m_pending->bars[i];
    shown.selectRow = m_pending->selectRow;
    shown.controlsEnabled = m_pending->controlsEnabled;
    shown.trayAnimation = m_pending->trayAnimation;
    m_pending->texts = {};
    m_pending->bars[0] = m_pending->bars[1] = std::nullopt;
    m_pending->selectRow.reset();
    m_pending->controlsEnabled.reset();
    m_pending->trayAnimation.reset();
  }
  QLabel* labels[] = {m_status,  m_currentFile, m_outputName, m_video,     m_audio,    m_filePercent,
                      m_totalPercent, m_estimated, m_elapsed, m_remaining, nullptr};
  for (size_t i = 0; i < shown.texts.size(); ++i) {
    if (!shown.texts[i]) continue;
    QString text = Q(*shown.texts[i]);
    if (static_cast<DisplayText>(i) == DisplayText::kStartButton) {
      m_btnStart->setText(text);
    } else if (labels[i] == m_status && text.startsWith(Q(m_texts->errors_occurred) + " ")) {
      // "…(see the log) /long/path/error_log_202612.txt": the file's name fits, the whole path
      // is in the tip.
      const QString path = text.mid(static_cast<qsizetype>(QString::fromUtf8(m_texts->errors_occurred).size()) + 1);
      SetElided(m_status, Q(m_texts->errors_occurred) + " " + QFileInfo(path).fileName());
      m_status->setProperty("fullText", text);
      m_status->setToolTip(text);
    } else if (labels[i] == m_status || labels[i] == m_currentFile || labels[i] == m_outputName ||
               labels[i] == m_video || labels[i] == m_audio) {
      SetElided(labels[i], text);
    } else if (labels[i] && labels[i]->text() != text) {
      labels[i]->setText(text);
    }
  }
  if (shown.bars[0] && m_fileBar->value() != *shown.bars[0]) m_fileBar->setValue(*shown.bars[0]);
  if (shown.bars[1] && m_totalBar->value() != *shown.bars[1]) m_totalBar->setValue(*shown.bars[1]);
  if (shown.selectRow) {
    m_model->Sync();
    QModelIndex index = m_model->index(*shown.selectRow, 0);
    if (index.isValid()) {
      m_listView->selectionModel()->setCurrentIndex(
          index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
      m_listView->scrollTo(index);
    }
  }
  if (shown.controlsEnabled) EnableListControls(*shown.controlsEnabled, true);
  if (shown.trayAnimation && !*shown.trayAnimation && !m_tray) KeepCauses();
  if (shown.trayAnimation && m_tray) {
    if (*shown.trayAnimation) {
      m_tray->StartAnimation(20, 10);
    } else {
      KeepCauses();
      m_tray->StopAnimation();
      // A run that ends unseen is told in a notification.
      if (isMinimized() || !isActiveWindow())
        m_tray->ShowNotification(Q(m_texts->window_title), m_status->property("fullText").toString());
    }
  }
}

// The run has ended: each failed row keeps why it failed, for its tip and the status line.
void CMainDLG::KeepCauses() {
  for (size_t row = 0; row < m_list.size(); ++row) {
    const std::string status = m_list.text(row, kColStatus);
    if (status != m_texts->status_error && status != m_texts->status_failed) continue;
    const RowOutcome outcome = m_batch->Outcome(row);
    const std::string& cause = outcome.cause.empty() ? outcome.message : outcome.cause;
    if (!cause.empty()) m_model->SetCause(Q(m_list.text(row, kColFullPath)), Q(cause));
  }
  ShowSelectedCause();
  // A power-off the user asked for and the system refused is said where the user looks.
  if (m_batch->PowerOffResult() == 0) SetElided(m_status, Q(m_dialogTexts->power_off_refused));
}

// A single failed row selected (outside a run): the status line says why it failed.
void CMainDLG::ShowSelectedCause() {
  if (IsRunning() || m_analysing) return;
  const QList<int> rows = SelectedRows();
  if (rows.size() != 1) return;
  const QString cause = m_model->CauseOf(rows.front());
  if (cause.isEmpty()) return;
  SetElided(m_status, Q(m_list.text(static_cast<size_t>(rows.front()), kColFileName)) + ": " + cause);
}

// ---- about and settings ----

void CMainDLG::ShowAboutBox() {
  CAboutBox about(*m_texts, this, Q(m_paths.encoder_path_a), CAboutBox::SupportAddress(m_paths));
  about.exec();
}

void CMainDLG::OpenSettingsDialog() {
  if (IsRunning()) return;
  // Only "저장후 닫기" replaces the record, and then the store is written at once: a logout or a
  // power-off later must not take the saved choice with it.
  if (COptionDLG::Open(m_settings, m_paths, *m_texts, this) == 1) SaveNow();
}

void CMainDLG::ComeForward() {
  // A minimised window comes back at the size it had; a maximised one stays maximised (the
  // frame keeps that state itself).
  if (isMinimized() || isHidden()) showNormal();
  raise();
  activateWindow();
}

bool CMainDLG::SaveNow() {
  if (!m_options.saveOnExit) return true;
  const std::string typed = m_outputFolder->text().trimmed().toStdString();
  if (!typed.empty()) m_paths.output_folder = typed;
  if (!SaveChangedSettings(m_storedSettings, m_storedPaths, m_settings, m_paths)) {
    DebugLog(kDebugTarget, "RegsSave Error");
    return false;
  }
  m_storedSettings = m_settings;
  m_storedPaths = m_paths;
  return true;
}

// ---- keys, drops and closing ----

bool CMainDLG::KeyCommand(QKeyEvent* key) {
  const Qt::KeyboardModifiers mods = key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
  // The list's shortcuts act on the list only while no text field has the focus: Ctrl+A then
  // Delete in the output-folder field must clear the field, never the user's file list.
  const bool listKeys = !EditsText(QApplication::focusWidget());
  if (mods & Qt::ControlModifier) {
    if (!listKeys) return false;
    switch (key->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter: OnListCommand(kCmdOpenFileFolder); return true;
      case Qt::Key_Up: OnListCommand(kCmdMoveUp); return true;
      case Qt::Key_Down: OnListCommand(kCmdMoveDown); return true;
      case Qt::Key_A: OnListCommand(kCmdSelectAll); return true;
      case Qt::Key_D: OnListCommand(kCmdRemoveDone); return true;
      case Qt::Key_W: OnListCommand(kCmdSetWaiting); return true;
      default: return false;
    }
  }
  if (mods & Qt::AltModifier) {
    if (key->key() == Qt::Key_F4) {
      OnBtnExit();
      return true;
    }
    if (key->key() == Qt::Key_F5) {
      OnListCommand(kCmdShutdownToggle);
      return true;
    }
    return false;
  }
  if (key->key() == Qt::Key_Delete && listKeys) {
    OnListCommand(kCmdDelete);
    return true;
  }
  if (key->key() == Qt::Key_Escape) {
    showMinimized();
    return true;
  }
  return false;
}

bool CMainDLG::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_listView->viewport()) {
    auto localFiles = [](const QMimeData* mime) {
      if (!mime || !mime->hasUrls()) return false;
      for (const QUrl& url : mime->urls())
        if (url.isLocalFile()) return true;
      return false;
    };
    switch (event->type()) {
      case QEvent::DragEnter:
      case QEvent::DragMove: {
        auto* drag = static_cast<QDragMoveEvent*>(event);
        if (AcceptsMime(drag->mimeData()->formats(), localFiles(drag->mimeData()))) {
          drag->setDropAction(Qt::CopyAction);
          drag->accept();
        } else {
          drag->ignore();
        }
        return true;
      }
      case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        if (!AcceptsMime(drop->mimeData()->formats(), localFiles(drop->mimeData()))) {
          drop->ignore();
          return true;
        }
        QStringList paths;
        for (const QUrl& url : drop->mimeData()->urls())
          if (url.isLocalFile()) paths << url.toLocalFile();
        drop->setDropAction(Qt::CopyAction);
        drop->accept();
        RunDropFiles(paths);
        return true;
      }
      case QEvent::Resize:
        if (m_dropHint->isVisible()) m_dropHint->setGeometry(m_listView->viewport()->rect().adjusted(16, 0, -16, 0));
        return false;
      default:
        return false;
    }
  }
  if (event->type() == QEvent::KeyPress && !m_closing) {
    // Keys act wherever the focus is inside this window (the list's own keys only outside text
    // fields), and go on to the focused control. A key a control leaves alone travels up to its
    // parents; it is acted on once, where it arrived.
    QWidget* target = QApplication::focusWidget();
    if (!target || target->window() != this) target = this;
    if (watched == target) {
      auto* key = static_cast<QKeyEvent*>(event);
      if (KeyCommand(key) && (key->key() == Qt::Key_Escape || (key->modifiers() & Qt::AltModifier))) return true;
    }
  }
  return CFlatDLGex::eventFilter(watched, event);
}

void CMainDLG::closeEvent(QCloseEvent* event) {
  // The window manager's close (its button, Alt+F4) is the exit command.
  if (!m_closed) {
    event->ignore();
    OnBtnExit();
    return;
  }
  event->accept();
}

void CMainDLG::OnBtnExit() {
  DebugLog(kDebugTarget, "OnBtnExit()");
  if (m_closing) return;
  if (IsRunning()) {
    // Confirm and cancel: the confirming button says the program's own "확 인", the other Qt's
    // word for cancel in the same language.
    // (A button of its own, not Qt's Ok renamed: Qt gives its own buttons their texts again
    // when the language changes.)
    QMessageBox box(QMessageBox::Question, Q(m_texts->exit_caption), Q(m_texts->exit_question), QMessageBox::Cancel,
                    this);
    box.setObjectName("ExitQuestion");
    QPushButton* confirm = box.addButton(Q(m_texts->ok_button), QMessageBox::AcceptRole);
    confirm->setObjectName("ExitConfirm");
    box.setDefaultButton(QMessageBox::Cancel);
    box.exec();
    if (box.clickedButton() != confirm) return;
  }
  CloseNow();
}

void CMainDLG::Terminate() {
  DebugLog(kDebugTarget, "terminate request");
  if (m_closing) return;
  // A question left open (the exit question, a dialog) must not hold the end up.
  while (QWidget* modal = QApplication::activeModalWidget()) {
    if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
    else modal->close();
    if (QApplication::activeModalWidget() == modal) break;
  }
  CloseNow();
}

void CMainDLG::CloseNow() {
  m_closing = true;
  hide();
  m_probe->Abandon();
  m_batch->RequestExit();
  m_batch->JoinThread();
  ApplyDisplay();
  SaveNow();
  m_closed = true;
  if (m_tray) m_tray->StopAnimation();
  emit Closed();
}

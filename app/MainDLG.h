// The main window: the file list, its buttons and menus, the progress display and the output fields.
#pragma once

#include <QPointer>
#include <QStringList>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

#include "encoder/BatchRun.h"
#include "encoder/Display.h"
#include "encoder/EncodingSettings.h"
#include "encoder/FileList.h"
#include "support/InterfaceTexts.h"
#include "ui/FlatDLG.h"

class CMenuTray;
class CStaticTrans;
class CWBButton;
class FileListModel;
class ProbePass;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QGroupBox;
class QTreeView;
struct DialogTexts;

// Drops carrying this type come from our own windows and are refused.
inline constexpr const char* kPrivateMimeType = "application/x-zelvora-78b2bdfd-f848-4e20-ad10-b5bac267ed41";

// Menu and shortcut command ids.
enum MainCommand : int {
  kCmdAbout = 32772,
  kCmdSettings = 32771,
  kCmdExit = 32773,
  kCmdShutdownToggle = 32774,
  kCmdSetWaiting = 32775,
  kCmdMoveUp = 32800,
  kCmdMoveDown = 32801,
  kCmdDelete = 32802,
  kCmdRemoveDone = 32803,
  kCmdSelectAll = 32804,
  kCmdOpenFileFolder = 32805,
};

struct MainWindowOptions {
  bool saveOnExit = true;   // write the settings the window changes to the store
  bool trayIcon = true;     // show the notification-area icon
  bool showDropHint = true;
};

// The batch run and the probe pass work on other threads; everything they show reaches this
// window as queued calls, so the window never waits for them while they work.
class CMainDLG : public CFlatDLGex, public BatchDisplay {
  Q_OBJECT
 public:
  CMainDLG(const EncodingSettings& settings, const StoredPaths& paths, MainWindowOptions options = {},
           QWidget* parent = nullptr);
  ~CMainDLG() override;

  // Adding files: by drop (or handed over by a second copy) and by the open-file dialog.
  // Both return the number of rows added and start the probe pass when it is above 0.
  int RunDropFiles(const QStringList& paths);
  int AddFilesDialog();
  // The files chosen in the open-file dialog, as the dialog hands them over.
  int AddChosenFiles(const QStringList& paths);

  void StartAnalysis();
  bool IsAnalysing() const { return m_analysing; }
  bool IsRunning() const;

  void EnableListControls(bool enable, bool running);
  void MoveSelection(int direction);
  int RemoveSelected();
  void RemoveCompleted();
  void OnListCommand(int id);
  void ShowFileMenu(const QPoint& globalPos);
  void ShowListMenu(const QPoint& globalPos);
  void BrowseOutputFolder();
  void OpenOutputFolder();
  void OnStartButton();
  void ShowAboutBox();
  void OpenSettingsDialog();
  // The caption's close button, "실행 종료" and Alt+F4: asks during a run, then closes.
  void OnBtnExit();
  // The system ends the program (SIGTERM, SIGHUP): closes without a question, stopping the run
  // (its work file removed) and saving the settings.
  void Terminate();
  // A click on the tray icon, or a second start of the program: the window restored and raised.
  void ComeForward();
  CMenuTray* Tray() const { return m_tray; }
  // Writes to the store what this window changed since it last loaded or saved (the typed
  // output folder included), leaving every other stored value as it is. False when the
  // store could not be written.
  bool SaveNow();

  // Whether a drop of data with these formats would be taken.
  static bool AcceptsMime(const QStringList& formats, bool hasLocalFiles);

  FileList& List() { return m_list; }
  FileListModel* Model() const { return m_model; }
  QTreeView* ListView() const { return m_listView; }
  const InterfaceTexts& Texts() const { return *m_texts; }
  const EncodingSettings& Settings() const { return m_settings; }
  const StoredPaths& Paths() const { return m_paths; }
  CBatchRun& Batch() { return *m_batch; }
  QMenu* FileMenu() const { return m_fileMenu; }
  QMenu* ListMenu() const { return m_listMenu; }
  bool IsClosed() const { return m_closed; }
  bool ShutdownAfterRun() const;
  void LayoutControls();
  // Applies what the batch run has shown so far (normally done by a queued call).
  void ApplyDisplay();

  // BatchDisplay: called from the worker and the encoder's reader thread.
  void SetText(DisplayText which, const std::string& text) override;
  void SetBar(DisplayBar which, int percent) override;
  void SelectRow(int row) override;
  void SetControlsEnabled(bool enabled) override;
  void SetTrayAnimation(bool running) override;

 signals:
  // The probe pass has handed every row to the list.
  void AnalysisFinished();
  // The window has closed: the worker is joined and the settings are saved.
  void Closed();

 protected:
  void ExitAction() override;
  void LogoAction(const QPoint& globalPos) override;
  void resizeEvent(QResizeEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Enter and the dialog's cancel command do not close this window.
  void accept() override {}
  void reject() override {}

 private:
  struct PendingDisplay;

  void CreateControls();
  void CreateMenus();
  void FinishAnalysis();
  void SwapRows(int a, int b);
  QList<int> SelectedRows() const;
  bool KeyCommand(QKeyEvent* key);
  void CloseNow();
  void KeepCauses();
  void OpenFolder(const QString& folder);
  void UpdateMinimumSize();
  static int ButtonWidth(CWBButton* button);
  static int TextButtonWidth(const QFontMetrics& fm, const QString& text);
  int StartButtonWidth() const;
  void ShowSelectedCause();
  void UpdateDropHint();
  int AppendPaths(const QStringList& paths, bool fromDialog);
  void AddQueued();
  void ContinueAdding();
  void EnterAnalysingState();
  void SetElided(QLabel* label, const QString& text);
  int ColumnWidth(int column) const;
  int ColumnWidthFor(int column, const InterfaceTexts& texts) const;

  EncodingSettings m_settings;
  StoredPaths m_paths;
  // What the store holds as far as this window knows: only differences from it are written.
  EncodingSettings m_storedSettings;
  StoredPaths m_storedPaths;
  MainWindowOptions m_options;
  const InterfaceTexts* m_texts;
  const DialogTexts* m_dialogTexts;
  FileList m_list;
  FileListModel* m_model = nullptr;
  ProbePass* m_probe = nullptr;
  std::unique_ptr<CBatchRun> m_batch;
  CMenuTray* m_tray = nullptr;

  bool m_analysing = false;
  bool m_adding = false;  // a large drop is still being added
  QStringList m_addQueue;
  qsizetype m_addNext = 0;
  bool m_addFromDialog = false;
  int m_addCount = 0;
  std::unordered_set<std::string> m_addKnown;
  bool m_trayMenuOpen = false;
  bool m_closing = false;
  bool m_closed = false;
  bool m_cursorOverridden = false;

  std::shared_ptr<PendingDisplay> m_pending;

  QGroupBox* m_sourceGroup = nullptr;
  QTreeView* m_listView = nullptr;
  CStaticTrans* m_dropHint = nullptr;
  CWBButton* m_btnAdd = nullptr;
  CWBButton* m_btnRemoveDone = nullptr;
  CWBButton* m_btnUp = nullptr;
  CWBButton* m_btnDown = nullptr;
  CWBButton* m_btnSettings = nullptr;
  CWBButton* m_btnStart = nullptr;
  QGroupBox* m_progressGroup = nullptr;
  QLabel* m_lblCurrentFile = nullptr;
  QLabel* m_currentFile = nullptr;
  QLabel* m_lblFileBar = nullptr;
  QProgressBar* m_fileBar = nullptr;
  QLabel* m_filePercent = nullptr;
  QLabel* m_lblTotalBar = nullptr;
  QProgressBar* m_totalBar = nullptr;
  QLabel* m_totalPercent = nullptr;
  QLabel* m_lblStatus = nullptr;
  QLabel* m_status = nullptr;
  QLabel* m_lblEstimated = nullptr;
  QLabel* m_estimated = nullptr;
  QLabel* m_lblElapsed = nullptr;
  QLabel* m_elapsed = nullptr;
  QLabel* m_lblRemaining = nullptr;
  QLabel* m_remaining = nullptr;
  QGroupBox* m_outputGroup = nullptr;
  QLabel* m_lblOutputFolder = nullptr;
  QLineEdit* m_outputFolder = nullptr;
  CWBButton* m_btnChangeFolder = nullptr;
  CWBButton* m_btnOpenFolder = nullptr;
  QLabel* m_lblOutputName = nullptr;
  QLabel* m_outputName = nullptr;
  QLabel* m_lblVideo = nullptr;
  QLabel* m_video = nullptr;
  QLabel* m_lblAudio = nullptr;
  QLabel* m_audio = nullptr;
  QMenu* m_fileMenu = nullptr;
  QMenu* m_listMenu = nullptr;
};

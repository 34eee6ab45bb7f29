// The settings dialog: output container, four switches, four pages and extra options, over a private copy of the record.
//
// The main window opens it for "인코딩 설정" (button and menu item):
//   COptionDLG::Open(m_settings, m_paths, *m_texts, this);   // 1 when saved, 0 otherwise
// Only "저장후 닫기" copies the edited record back, whole; "취소", Escape and the caption's close
// button leave the main window's record as it was. Nothing is written to the store here: the
// main window saves when it closes.
//
// Pictures for the documentation (zelvora-gui --screenshot OUT.png --scene settings-N):
//   RenderOptionScene(n, "out.png", language);   // n 0: main page, 1-4: the four pages
#pragma once

#include <QString>
#include <thread>

#include "app/TabSpace.h"
#include "encoder/EncodingSettings.h"
#include "support/InterfaceTexts.h"
#include "ui/FlatDLG.h"

class CWBButton;
class CXTabCtrl;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

// What the tooltips say about the jobs of the alternative encoder (mencoder).
enum class AlternativeEncoder {
  kUnknown,   // not asked (yet)
  kUsable,    // it passed its test drive: it does those jobs
  kFailed,    // it failed its test drive: ffmpeg stands in
  kMissing,   // it cannot be run: ffmpeg stands in
};

class COptionDLG : public CFlatDLGex {
  Q_OBJECT
 public:
  static constexpr int kWidth = 440;
  static constexpr int kHeight = 440;
  enum Page { kVideoPage = 0, kAudioPage = 1, kSubtitlePage = 2, kOtherPage = 3 };

  // Edits a copy of `record`; "저장후 닫기" copies the copy back into `record`.
  COptionDLG(EncodingSettings& record, const InterfaceTexts& texts, QWidget* mainWindow = nullptr);
  ~COptionDLG() override;

  // Runs the dialog modally over `mainWindow`; asks in the background whether the alternative
  // encoder works, for the tooltips. Returns 1 when the record was replaced, 0 otherwise.
  static int Open(EncodingSettings& record, const StoredPaths& paths, const InterfaceTexts& texts,
                  QWidget* mainWindow);

  // Fills the main page's controls from the copy and applies its enabling rules.
  void Refresh();
  // Every page's and the main page's values into the copy. False (with the refusal shown and
  // its page selected) when a text cannot be kept; the copy is then unchanged.
  bool Collect();
  // "설정값 초기화": the copy back to the record defaults (the language and the skip-scan
  // switch, which have no control here, stay), every page reloaded, the main page refreshed.
  void ResetCopy();
  // "저장후 닫기": collect, copy back, close.
  void SaveAndClose();

  void SetAlternativeEncoder(AlternativeEncoder state);
  AlternativeEncoder AlternativeEncoderState() const { return m_eAltEncoder; }

  const EncodingSettings& Copy() const { return m_zSettings; }
  CXTabCtrl* Tabs() const { return m_tabs; }
  CTabSpaceA* VideoPage() const { return m_pageA; }
  CTabSpaceB* AudioPage() const { return m_pageB; }
  CTabSpaceC* SubtitlePage() const { return m_pageC; }
  CTabSpaceD* OtherPage() const { return m_pageD; }
  QString ErrorText() const;

 protected:
  void ExitAction() override { reject(); }
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void BuildMainPage();
  void LoadPages();
  void ShowError(const QString& text, int page);
  void UpdateToolTips();
  void OnPindexClicked();
  void OnOriginVdoClicked();
  void OnOriginAdoClicked();
  void OnSubMappingClicked();
  void OnOutputTypeChosen(int index);
  void PlaceOverOwner(QWidget* owner);
  bool IsMkv() const;

  EncodingSettings* m_pTarget;
  EncodingSettings m_zSettings;
  const InterfaceTexts& m_texts;
  const OptionTexts& m_optTexts;
  AlternativeEncoder m_eAltEncoder = AlternativeEncoder::kUnknown;
  int m_iOutputType = 0;       // the container shown, to tell a real change from a re-pick
  size_t m_optionalCap = 259;  // characters the extra-options field takes

  QComboBox* m_outputType;
  QCheckBox* m_pindexOpti;
  QCheckBox* m_originVdo;
  QCheckBox* m_originAdo;
  QCheckBox* m_subMapping;
  QLineEdit* m_optional;
  CXTabCtrl* m_tabs;
  CTabSpaceA* m_pageA;
  CTabSpaceB* m_pageB;
  CTabSpaceC* m_pageC;
  CTabSpaceD* m_pageD;
  QLabel* m_error;
  CWBButton* m_btnReset;
  CWBButton* m_btnSave;
  CWBButton* m_btnCancel;
  std::thread m_altQuery;  // the background question about the alternative encoder
};

// Renders the settings dialog off screen with the default settings: scene 0 the main page
// (first tab), 1 to 4 the pages. Writes a PNG; returns 0 on success, else 1 with the reason on
// standard error. Needs a QApplication.
int RenderOptionScene(int scene, const QString& outPng, int language);

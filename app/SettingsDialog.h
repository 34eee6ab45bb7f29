// The settings window: every stored setting in one table, checked as the command line checks it.
#pragma once

#include "encoder/EncodingSettings.h"
#include "support/InterfaceTexts.h"
#include "ui/FlatDLG.h"

class QTableWidget;
class QLabel;

// Edits a copy of the record; OK checks every changed value with the same rules as
// `zelvora settings set` and keeps the window open on the first refusal, naming it.
class CSettingsDialog : public CFlatDLGex {
  Q_OBJECT
 public:
  CSettingsDialog(const EncodingSettings& settings, const StoredPaths& paths, const InterfaceTexts& texts,
                  QWidget* parent = nullptr);
  const EncodingSettings& Settings() const { return m_settings; }
  const StoredPaths& Paths() const { return m_paths; }
  // Takes the table's values; false (with the reason shown) when one is refused.
  bool Collect();

 protected:
  void ExitAction() override { reject(); }
  void resizeEvent(QResizeEvent* event) override;

 private:
  EncodingSettings m_settings;
  StoredPaths m_paths;
  QTableWidget* m_table;
  QLabel* m_error;
  QWidget* m_ok;
  QWidget* m_cancel;
};

// The program's start-up steps around the main window: settings, folder defaults, the update decision, fonts, warming caches.
#pragma once

#include <QFont>
#include <QList>
#include <QString>
#include <QWidget>
#include <atomic>
#include <string>
#include <thread>

#include "encoder/EncodingSettings.h"
#include "support/InterfaceTexts.h"

// Loads the stored settings, with the defaults when there are none. Returns what LoadSettings returned.
int LoadStartupSettings(EncodingSettings& settings, StoredPaths& paths);

// The error log and the work files of a path set that points into the program folder (or
// nowhere) move to the user's state and cache folders: an installed program folder is not
// writable, and one user's files do not belong beside the program.
void KeepPrivateFilesOutOfProgramFolder(StoredPaths& paths);

// A message of the update check, shown once the window is up.
struct StartupMessage {
  QString caption;
  QString text;
  bool error = false;
};

// The update decision of a start: 1 ends the start (the update module took over), 0 goes on.
// The weekly check runs only when "update_server" names a server; what it has to say is added
// to `messages`, for ShowStartupMessages once the window shows.
int RunUpdateDecision(const StoredPaths& paths, const InterfaceTexts& texts, QList<StartupMessage>& messages);

// Shows `messages` as message boxes over `window`, one after the other; the window stays usable
// meanwhile (the files of the command line are listed, the list can be worked on).
void ShowStartupMessages(QWidget* window, const QList<StartupMessage>& messages);

// The interface font of a text table: a Hangul font through fontconfig for the Korean table,
// Verdana (or its nearest) for the English one.
QFont UiFontOf(const InterfaceTexts& texts);

// The program's look for every window: the interface font, the grey body and the caption blue
// for selections and progress.
void ApplyProgramLook(const InterfaceTexts& texts);

// Qt's own texts (the standard buttons of message boxes, the file and folder dialogs) in the
// language of the chosen text table, from Qt's translations (qt6-translations-l10n); a second
// call replaces the first. False when the Korean translation is not installed (the English
// table needs none).
bool InstallQtTranslations(int language);

// Asks the encoders what they have and test-drives the alternative encoder once, in the
// background after start-up, so that a run never waits for it between its start and its first file.
class EncoderWarmUp {
 public:
  explicit EncoderWarmUp(const StoredPaths& paths);
  ~EncoderWarmUp();  // waits for the questions under way
  bool Done() const { return m_done; }

 private:
  std::thread m_thread;
  std::atomic<bool> m_done{false};
};

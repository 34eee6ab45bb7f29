// Start-up helpers of the desktop program.
#include "app/AppStartup.h"

#include <QApplication>
#include <QMessageBox>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <QPalette>
#include <QStyleFactory>
#include <QStringList>
#include <cstdlib>
#include <memory>
#include <ctime>

#include "encoder/EncoderCaps.h"
#include "encoder/SettingsStore.h"
#include "platform/KnownFolders.h"
#include "platform/RegistryStore.h"
#include "support/DebugLog.h"
#include "support/FileUtils.h"
#include "update/UpdateCheck.h"

namespace {

// An XDG base folder: the variable when it holds an absolute path, else the home-relative default.
std::string XdgFolder(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (value && value[0] == '/') return value;
  return HomeFolder() + "/" + fallback;
}

bool InFolder(const std::string& path, const std::string& folder) {
  return !folder.empty() && path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
         path[folder.size()] == '/';
}

}  // namespace

void KeepPrivateFilesOutOfProgramFolder(StoredPaths& paths) {
  const std::string program = GetProgramFolder();
  if (paths.error_log_path.empty() || InFolder(paths.error_log_path, program)) {
    std::string folder = XdgFolder("XDG_STATE_HOME", ".local/state") + "/zelvora";
    MakeFolderPath(folder);
    paths.error_log_path = folder + "/error_log.txt";
  }
  // Work files (subtitle copies) go below ProgramFolder's "work" folder.
  if (paths.ProgramFolder.empty() || paths.ProgramFolder == program) {
    std::string folder = CapabilityCacheFolder();
    MakeFolderPath(folder);
    paths.ProgramFolder = folder;
  }
}

int LoadStartupSettings(EncodingSettings& settings, StoredPaths& paths) {
  int loaded = LoadSettings(settings, paths);
  if (!loaded) ResetSettings(settings);
  return loaded;
}

int RunUpdateDecision(const StoredPaths& paths, const InterfaceTexts& texts, QList<StartupMessage>& messages) {
  if (paths.update_server.empty()) return 0;
  UpdateCheckSetup setup;
  // The install folder the check expects the program in; tests and private installs move it.
  if (const char* folder = std::getenv("ZELVORA_PROGRAM_FILES"); folder && folder[0] == '/') setup.programFiles = folder;
  // Said over the window rather than before it: a warning box that had to be answered first
  // kept the window and the files the user started it with out of sight.
  setup.message = [&messages](const std::string& text, const std::string& caption, bool error) {
    messages.append({QString::fromStdString(caption), QString::fromStdString(text), error});
  };
  const int result = RunStartupUpdateDecision(CurrentUserStore(), static_cast<int64_t>(std::time(nullptr)), texts,
                                              setup);
  DebugLog(kDebugTarget, "update decision %s: %d", paths.update_server.c_str(), result);
  // Only a started update module takes over; every other result lets the start go on.
  return result == kUpdateStarted ? 1 : 0;
}

void ShowStartupMessages(QWidget* window, const QList<StartupMessage>& messages) {
  if (messages.isEmpty()) return;
  const StartupMessage& first = messages.front();
  auto* box = new QMessageBox(first.error ? QMessageBox::Critical : QMessageBox::Warning, first.caption, first.text,
                              QMessageBox::Ok, window);
  box->setObjectName("StartupMessage");
  box->setAttribute(Qt::WA_DeleteOnClose);
  // Not modal: the window answers while the message waits to be read.
  box->setWindowModality(Qt::NonModal);
  const QList<StartupMessage> rest = messages.mid(1);
  QObject::connect(box, &QDialog::finished, window, [window, rest] { ShowStartupMessages(window, rest); });
  box->show();
}

QFont UiFontOf(const InterfaceTexts& texts) {
  QFont font;
  if (texts.caption_font.charset == 129) {
    font.setFamilies(QStringList{"NanumGothic", "Nanum Gothic", "Noto Sans CJK KR", "UnDotum", "Baekmuk Dotum"});
  } else {
    font.setFamilies(QStringList{QString::fromUtf8(texts.caption_font.face), "DejaVu Sans", "Liberation Sans"});
  }
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(texts.caption_font.height);
  font.setWeight(QFont::Normal);
  return font;
}

void ApplyProgramLook(const InterfaceTexts& texts) {
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setFont(UiFontOf(texts));
  QPalette palette = QApplication::palette();
  const QColor body(192, 192, 192), blue(50, 82, 143);
  palette.setColor(QPalette::Window, body);
  palette.setColor(QPalette::Button, QColor(212, 212, 212));
  palette.setColor(QPalette::Highlight, blue);
  palette.setColor(QPalette::HighlightedText, Qt::white);
  palette.setColor(QPalette::Inactive, QPalette::Highlight, QColor(96, 122, 170));
  palette.setColor(QPalette::Inactive, QPalette::HighlightedText, Qt::white);
  QApplication::setPalette(palette);
  // Group captions in the caption's blue, bold, like the window title.
  qApp->setStyleSheet("QGroupBox { font-weight: bold; color: rgb(50, 82, 143); }"
                      "QGroupBox QLabel, QGroupBox QLineEdit { font-weight: normal; color: black; }"
                      "QGroupBox QTreeView, QGroupBox QHeaderView { font-weight: normal; }");
}

bool InstallQtTranslations(int language) {
  static QTranslator* installed = nullptr;
  if (installed) {
    QCoreApplication::removeTranslator(installed);
    delete installed;
    installed = nullptr;
  }
  if (&SelectInterfaceTexts(language) == &SelectInterfaceTexts(1)) return true;
  auto translator = std::make_unique<QTranslator>();
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  if (!translator->load(QLocale(QLocale::Korean, QLocale::SouthKorea), "qtbase", "_", folder)) {
    DebugLog(kDebugTarget, "Qt's Korean texts (qtbase_ko.qm) are not in %s", folder.toUtf8().constData());
    return false;
  }
  installed = translator.release();
  QCoreApplication::installTranslator(installed);
  return true;
}

EncoderWarmUp::EncoderWarmUp(const StoredPaths& paths) {
  std::string ffmpeg = paths.encoder_path_a, mencoder = paths.encoder_path_b;
  m_thread = std::thread([this, ffmpeg, mencoder] {
    GetFfmpegCapabilities(ffmpeg);
    if (FileExists(mencoder)) GetMencoderCapabilities(mencoder, ffmpeg);
    m_done = true;
  });
}

EncoderWarmUp::~EncoderWarmUp() {
  if (m_thread.joinable()) m_thread.join();
}

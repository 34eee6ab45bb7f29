// RunScreenshot: drives a real window (real probes, a real conversion) to the scene, then grabs it.
#include "app/Screenshot.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QTemporaryDir>
#include <QTreeView>
#include <QThread>
#include <cstdio>
#include <functional>

#include "app/AboutBox.h"
#include "app/AppStartup.h"
#include "app/FileListModel.h"
#include "app/MainDLG.h"
#include "app/OptionDLG.h"
#include "encoder/SettingsStore.h"
#include "platform/RegistryStore.h"

namespace {

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
  return true;
}

QString LabelText(CMainDLG& window, const char* name) {
  auto* label = window.findChild<QLabel*>(name);
  return label ? label->text() : QString();
}

int Fail(const char* what) {
  std::fprintf(stderr, "zelvora-gui --screenshot: %s\n", what);
  return 1;
}

}  // namespace

int RunScreenshot(const QString& outPng, const QString& scene, int language, const QStringList& files) {
  // The settings dialog's pictures: settings-0 (main page) to settings-4 (its pages).
  if (scene.startsWith("settings-")) {
    ApplyProgramLook(SelectInterfaceTexts(language));
  InstallQtTranslations(language);
    InstallQtTranslations(language);
    bool number = false;
    const int page = scene.mid(9).toInt(&number);
    return number ? RenderOptionScene(page, outPng, language) : Fail("settings scenes are settings-0 to settings-4");
  }
  static const QStringList kScenes = {"empty", "probed", "running", "done", "about", "menu", "minimum"};
  if (!kScenes.contains(scene)) return Fail("unknown scene (empty, probed, running, done, about, menu, minimum)");
  const bool needsFiles =
      scene == "probed" || scene == "running" || scene == "done" || scene == "menu" || scene == "minimum";
  if (needsFiles && files.isEmpty()) return Fail("this scene needs FILE arguments");

  // Pictures never read or write the user's settings: a private store and output folder.
  QTemporaryDir scratch;
  if (!scratch.isValid()) return Fail("no temporary folder");
  UseSettingsStoreFile((scratch.path() + "/registry.reg").toStdString(), false);
  EncodingSettings settings;
  ResetSettings(settings);
  settings.language = language;
  StoredPaths paths;
  paths.output_folder = (scratch.path() + "/output").toStdString();
  paths.last_open_folder = scratch.path().toStdString();
  ApplyPathDefaults(paths, true);
  paths.error_log_path = (scratch.path() + "/error_log.txt").toStdString();
  paths.ProgramFolder = scratch.path().toStdString();

  ApplyProgramLook(SelectInterfaceTexts(language));
  InstallQtTranslations(language);
  MainWindowOptions options;
  options.saveOnExit = false;
  options.trayIcon = false;
  CMainDLG window(settings, paths, options);
  window.show();
  WaitUntil([&] { return window.findChild<QWidget*>("DropHint")->isVisible(); }, 3000);

  if (needsFiles) {
    QStringList full;
    for (const QString& f : files) full << QFileInfo(f).absoluteFilePath();
    if (window.RunDropFiles(full) == 0) return Fail("none of the files could be added");
    if (!WaitUntil([&] { return !window.IsAnalysing(); }, 60000)) return Fail("the probe pass did not end");
    QApplication::processEvents();
  }
  if (scene == "minimum") {
    // The probed list at the smallest size the window can be dragged to.
    window.resize(1, 1);
    QApplication::processEvents();
  }
  if (scene == "running" || scene == "done") {
    window.OnStartButton();
    if (!window.IsRunning()) return Fail("no file was waiting to be converted");
    if (scene == "running") {
      // Mid-run: both bars moved and the three times are under way.
      bool mid = WaitUntil(
          [&] {
            auto* bar = window.findChild<QProgressBar*>("FileBar");
            return !window.IsRunning() ||
                   (bar->value() >= 25 && LabelText(window, "ElapsedTime") != "00:00:00" &&
                    LabelText(window, "RemainingTime") != "00:00:00" &&
                    window.findChild<QProgressBar*>("TotalBar")->value() > 0);
          },
          120000);
      if (!mid || !window.IsRunning()) return Fail("the conversion ended before it could be pictured mid-run");
    } else {
      if (!WaitUntil([&] { return !window.IsRunning(); }, 600000)) return Fail("the conversion did not end");
      window.Batch().JoinThread();
      window.ApplyDisplay();
    }
  }
  QApplication::processEvents();

  QImage picture = window.GrabWindow();
  if (scene == "about") {
    const QString encoder = QString::fromStdString(window.Paths().encoder_path_a);
    CAboutBox about(window.Texts(), &window, encoder);
    about.show();
    // The encoder's version arrives from the encoder itself: the picture shows it once known.
    WaitUntil([&] { return encoder.isEmpty() || !CAboutBox::EncoderVersion(encoder).isEmpty(); }, 15000);
    QApplication::processEvents();
    QPainter painter(&picture);
    painter.drawImage(about.geometry().topLeft() - window.geometry().topLeft(), about.GrabWindow());
  } else if (scene == "menu") {
    auto* list = window.ListView();
    list->selectionModel()->select(window.Model()->index(0, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    picture = window.GrabWindow();
    QMenu* menu = window.ListMenu();
    for (QAction* action : menu->actions()) action->setEnabled(true);
    menu->ensurePolished();
    menu->adjustSize();
    const QPoint at = list->viewport()->mapTo(&window, QPoint(160, 40));
    QPainter painter(&picture);
    painter.drawPixmap(at, menu->grab());
  }
  if (scene == "running" || scene == "done") {
    if (window.IsRunning()) window.OnStartButton();
    window.Batch().JoinThread();
  }
  if (!picture.save(outPng, "PNG")) return Fail("the picture could not be written");
  return 0;
}

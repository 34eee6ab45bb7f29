// zelvora-gui: the desktop program; one copy per user, started with optional files to add.
#include <QApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QScreen>
#include <QSessionManager>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/AppStartup.h"
#include "app/MainDLG.h"
#include "app/Screenshot.h"
#include "app/SingleInstance.h"
#include "encoder/SettingsStore.h"
#include "platform/TerminationRequests.h"
#include "support/DebugLog.h"

namespace {

const char kUsage[] =
    "usage: zelvora-gui [FILE…]\n"
    "       zelvora-gui --screenshot OUT.png --scene NAME [--lang 1] [FILE…]\n"
    "\n"
    "Starts Zelvora Media Encoder with FILE… in its list. When it runs already, the files go\n"
    "to the running copy, which comes to the front.\n"
    "\n"
    "  --screenshot OUT.png  render the window off screen in a scene and write a PNG\n"
    "  --scene NAME          empty, probed, running, done, about, menu, minimum (the\n"
    "                        probed list at the smallest window size),\n"
    "                        settings-0 (settings dialog) to settings-4 (its pages)\n"
    "  --lang N              1: the English texts (default: Korean)\n";

struct Arguments {
  QString screenshot;
  QString scene;
  int language = 0;
  QStringList files;
};

// -1 when the arguments are fine, else the exit status.
int Parse(int argc, char** argv, Arguments& a) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (!std::strcmp(arg, "--help") || !std::strcmp(arg, "-h")) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (!std::strcmp(arg, "--version")) {
      std::printf("zelvora-gui %s\n", ZELVORA_VERSION);
      return 0;
    } else if (!std::strcmp(arg, "--screenshot")) {
      const char* v = value();
      if (!v) break;
      a.screenshot = QString::fromLocal8Bit(v);
    } else if (!std::strcmp(arg, "--scene")) {
      const char* v = value();
      if (!v) break;
      a.scene = QString::fromLocal8Bit(v);
    } else if (!std::strcmp(arg, "--lang")) {
      const char* v = value();
      if (!v) break;
      a.language = std::atoi(v);
    } else if (!std::strcmp(arg, "--")) {
      for (++i; i < argc; ++i) a.files << QString::fromLocal8Bit(argv[i]);
    } else if (arg[0] == '-' && arg[1] != '\0') {
      std::fprintf(stderr, "zelvora-gui: unknown option '%s'\n%s", arg, kUsage);
      return 2;
    } else {
      a.files << QString::fromLocal8Bit(arg);
    }
  }
  if (argc > 1 && (!std::strcmp(argv[argc - 1], "--screenshot") || !std::strcmp(argv[argc - 1], "--scene") ||
                   !std::strcmp(argv[argc - 1], "--lang"))) {
    std::fprintf(stderr, "zelvora-gui: %s needs a value\n%s", argv[argc - 1], kUsage);
    return 2;
  }
  if (a.screenshot.isEmpty() != a.scene.isEmpty()) {
    std::fprintf(stderr, "zelvora-gui: --screenshot and --scene go together\n%s", kUsage);
    return 2;
  }
  return -1;
}

QStringList Absolute(const QStringList& files) {
  QStringList full;
  for (const QString& f : files) full << QFileInfo(f).absoluteFilePath();
  return full;
}

}  // namespace

int main(int argc, char** argv) {
  platform::IgnoreFileSizeSignal();
  Arguments args;
  int status = Parse(argc, argv, args);
  if (status >= 0) return status;
  // Pictures need no display.
  if (!args.screenshot.isEmpty() && !qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");

  QApplication app(argc, argv);
  QApplication::setApplicationName("zelvora");
  QApplication::setQuitOnLastWindowClosed(false);
  if (!args.screenshot.isEmpty()) return RunScreenshot(args.screenshot, args.scene, args.language, args.files);

  DebugLog(kDebugTarget, "u32:%04X", 0xF00F);
  // From here a SIGTERM or SIGHUP waits on a descriptor until the window is there to act on it.
  const int terminationFd = platform::TerminationRequestDescriptor();
  SingleInstance instance;
  const SingleInstance::Role role = instance.Claim();
  if (role == SingleInstance::Role::kFailed) {
    // Said, never a silent end: the user started the program and sees nothing otherwise.
    const QString text = "Zelvora Media Encoder cannot start: " + instance.ErrorText();
    std::fprintf(stderr, "zelvora-gui: %s\n", instance.ErrorText().toUtf8().constData());
    QMessageBox::critical(nullptr, "Zelvora Media Encoder", text);
    return 1;
  }
  if (role == SingleInstance::Role::kSecond) {
    // A second start hands its files (if any) to the running copy, which comes forward.
    if (instance.HandOver(Absolute(args.files))) return 0;
    std::fputs("zelvora-gui: a copy is running but did not answer\n", stderr);
    return 1;
  }

  EncodingSettings settings;
  StoredPaths paths;
  LoadStartupSettings(settings, paths);
  const InterfaceTexts& texts = SelectInterfaceTexts(settings.language);
  InstallQtTranslations(settings.language);
  QList<StartupMessage> updateMessages;
  if (RunUpdateDecision(paths, texts, updateMessages) == 1) return 0;
  ApplyPathDefaults(paths, true);
  KeepPrivateFilesOutOfProgramFolder(paths);
  ApplyProgramLook(texts);

  CMainDLG window(settings, paths);
  QObject::connect(&window, &CMainDLG::Closed, &app, &QApplication::quit);
  // SIGTERM and SIGHUP end the program as the exit command does, without its question: the
  // encoder stops, its work file goes, the settings are saved.
  std::unique_ptr<QSocketNotifier> terminations;
  if (terminationFd >= 0) {
    terminations = std::make_unique<QSocketNotifier>(terminationFd, QSocketNotifier::Read);
    QObject::connect(terminations.get(), &QSocketNotifier::activated, &window, [&window] {
      if (platform::TakeTerminationRequest() != 0) window.Terminate();
    });
  }
  // The session ends (logout, power-off): what the user changed is written before it goes.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &window, [&window](QSessionManager&) { window.SaveNow(); });
  QObject::connect(&app, &QCoreApplication::aboutToQuit, &window, [&window] {
    if (!window.IsClosed()) window.Terminate();
  });
  if (QScreen* screen = window.screen())
    window.move(screen->availableGeometry().center() - QPoint(window.width() / 2, window.height() / 2));
  window.show();
  ShowStartupMessages(&window, updateMessages);

  // Files of the command line and of later copies; those that come while the list is busy wait.
  auto pending = std::make_shared<QStringList>(Absolute(args.files));
  auto feed = [&window, pending] {
    if (pending->isEmpty() || window.IsAnalysing() || window.IsRunning() || window.IsClosed()) return;
    QStringList files = *pending;
    pending->clear();
    window.RunDropFiles(files);
  };
  QTimer feeder;
  QObject::connect(&feeder, &QTimer::timeout, &window, feed);
  feeder.start(250);
  QObject::connect(&instance, &SingleInstance::FilesReceived, &window, [&window, pending, feed](const QStringList& f) {
    window.ComeForward();
    *pending += f;
    feed();
  });
  QTimer::singleShot(0, &window, feed);

  // The encoders are asked once, after the window is up.
  std::unique_ptr<EncoderWarmUp> warmUp;
  QTimer::singleShot(200, &window, [&warmUp, &window] { warmUp = std::make_unique<EncoderWarmUp>(window.Paths()); });
  return app.exec();
}

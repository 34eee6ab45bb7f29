// The first copy of zelvora-gui started as a user starts it, with files on its command line, on
// an X display of its own, while its weekly update check asks a server on loopback: the window
// comes up with the files, and what the check has to say is shown over it, not before it.
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <climits>
#include <filesystem>
#include <memory>

#include "../update/ServedFolder.h"
#include "../update/Signing.h"
#include "TestSupport.h"
#include "encoder/SettingsStore.h"
#include "support/InterfaceTexts.h"
#include "update/UpdateCheck.h"

using testsupport::TempDir;
namespace fs = std::filesystem;

namespace {

constexpr int kBound = 120000;  // ms: a start on a loaded machine, an ASan build

// Runs a program to its end (bounded) and returns its output; empty when it failed.
QString Output(const QString& program, const QStringList& args, const QProcessEnvironment& env) {
  QProcess p;
  p.setProcessEnvironment(env);
  p.start(program, args);
  if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit) return {};
  return QString::fromUtf8(p.readAllStandardOutput());
}

// The names of the windows shown on the display, as a window manager or a pager lists them.
QStringList ShownWindows(const QProcessEnvironment& env) {
  const QString ids = Output("xdotool", {"search", "--onlyvisible", "--name", "."}, env);
  QStringList names;
  for (const QString& id : ids.split('\n', Qt::SkipEmptyParts))
    names << Output("xdotool", {"getwindowname", id}, env).trimmed();
  return names;
}

}  // namespace

class TestWindowFirstCopy : public QObject {
  Q_OBJECT

 private slots:
  void theWindowShowsTheFilesAndTheUpdateChecksOutcome_data() {
    QTest::addColumn<bool>("published");
    // Nothing newer on the server: the check is done and says nothing.
    QTest::newRow("up to date") << true;
    // A server without the program's section: the check fails and says so.
    QTest::newRow("server error") << false;
  }

  void theWindowShowsTheFilesAndTheUpdateChecksOutcome() {
    QFETCH(bool, published);
    for (const char* tool : {"Xvfb", "xdotool", "ffmpeg", "minisign"}) ZELVORA_QSKIP_WITHOUT_PROGRAM(tool);
    TempDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("DISPLAY");
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_STATE_HOME", "XDG_CACHE_HOME"}) {
      const QString folder = QString::fromStdString(home.file(name));
      QDir().mkpath(folder);
      QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
      env.insert(name, folder);
    }
    // The support log writes once its folder is there: the test reads what the window did.
    const std::string debugLog = home.file("XDG_STATE_HOME") + "/zelvora/debug_logs";
    fs::create_directories(debugLog);

    // The display, as the desktop session gives it. Without -noreset the server starts over
    // whenever its last client leaves (each xdotool below is one), and a program connecting at
    // that moment is refused. A display no client reaches (another one ending at the same number
    // can take its socket) is replaced.
    QProcess xvfb;
    for (int attempt = 0; attempt < 3 && !env.contains("DISPLAY"); ++attempt) {
      if (xvfb.state() != QProcess::NotRunning) {
        xvfb.kill();
        xvfb.waitForFinished(30000);
      }
      xvfb.start("Xvfb", {"-displayfd", "1", "-noreset", "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
      QVERIFY(xvfb.waitForStarted(30000));
      QTRY_VERIFY_WITH_TIMEOUT(xvfb.canReadLine() || xvfb.state() == QProcess::NotRunning, 60000);
      const QString display = QString::fromLatin1(xvfb.readLine()).trimmed();
      if (display.isEmpty()) continue;
      QProcessEnvironment probe = env;
      probe.insert("DISPLAY", ":" + display);
      QProcess client;
      client.setProcessEnvironment(probe);
      client.start("xdotool", {"getdisplaygeometry"});
      if (client.waitForFinished(30000) && client.exitStatus() == QProcess::NormalExit && client.exitCode() == 0)
        env.insert("DISPLAY", ":" + display);
    }
    QVERIFY2(env.contains("DISPLAY"), "Xvfb gave no display a client can connect to");
    env.insert("QT_QPA_PLATFORM", "xcb");
    // On a display Qt talks to the X server, the session bus and fontconfig, whose libraries
    // keep buffers to the end: not this program's leaks, so a sanitizer build passes over them
    // (the window's own are checked off screen by the other tests).
    testsupport::WriteFile(home.file("lsan.supp"), "leak:libdbus-1.so\nleak:libxcb\nleak:libX11\nleak:libfontconfig\n"
                                                   "leak:libQt6XcbQpa\nleak:libQt6DBus\n");
    env.insert("LSAN_OPTIONS", env.value("LSAN_OPTIONS") + ":suppressions=" + QString::fromStdString(home.file("lsan.supp")));
    env.remove("WAYLAND_DISPLAY");

    // The program installed where it updates itself: PROGRAM_FILES/Tarvesk/zelvora/encoder.
    const std::string programFiles = home.file("P");
    const std::string installed = programFiles + "/" + kEncoderInstallFolder;
    fs::create_directories(installed);
    fs::copy_file(ZELVORA_GUI_PATH, installed + "/zelvora-gui");
    env.insert("ZELVORA_PROGRAM_FILES", QString::fromStdString(programFiles));

    // The publisher's server over a folder, on loopback.
    signing::KeyPair key;
    QVERIFY2(key.ok(), key.output().c_str());
    const std::string root = home.file("root");
    fs::create_directories(root);
    if (published) {
      const std::string section = root + "/" + kEncoderSection;
      fs::create_directories(section + "/files");
      testsupport::WriteFile(section + "/files/zelvora", "encoder");
      testsupport::WriteFile(section + "/manifest.tsv", "U\tM\t\tzelvora\n");
      signing::SignSection(key, section);
      QVERIFY(fs::exists(section + "/manifest.tsv.minisig"));
      testsupport::WriteFile(installed + "/zelvora", "encoder");
      testsupport::SetTime(installed + "/zelvora", testsupport::TimeOf(section + "/files/zelvora"));
    }
    served::Server server(root, home.file("server.log"));
    QVERIFY(server.listening());

    // The user's settings: the server and the publisher's key, pinned as `zelvora settings set` does.
    const std::string store = home.file("XDG_CONFIG_HOME") + "/Tarvesk/zelvora/registry.reg";
    {
      EncodingSettings defaults;
      ResetSettings(defaults);
      StoredPaths paths;
      paths.output_folder = home.file("out");
      paths.update_server = "127.0.0.1:" + std::to_string(server.port());
      paths.update_key = key.PublicKey();
      RegistryStore writer(store);
      QCOMPARE(SaveSettings(defaults, paths, writer), 1);
    }
    const QStringList clips = {QString::fromStdString(home.file("first clip.avi")),
                               QString::fromStdString(home.file("second.avi"))};
    for (const QString& clip : clips) testsupport::MakeClip(clip.toStdString());

    QProcess gui;
    gui.setProcessEnvironment(env);
    gui.setProcessChannelMode(QProcess::ForwardedChannels);
    gui.start(QString::fromStdString(installed + "/zelvora-gui"), clips);
    QVERIFY(gui.waitForStarted(60000));

    // The window is up (titled as its caption says), with the files listed.
    const QString title = QString::fromUtf8(SelectInterfaceTexts(0).window_title);
    QTRY_VERIFY_WITH_TIMEOUT(ShownWindows(env).contains(title) || gui.state() != QProcess::Running, kBound);
    QVERIFY2(gui.state() == QProcess::Running, qPrintable(QString("ended with %1").arg(gui.exitCode())));
    auto logged = [&] {
      QString text;
      for (const auto& entry : fs::directory_iterator(debugLog))
        text += QString::fromStdString(testsupport::ReadFile(entry.path().string()));
      return text;
    };
    QTRY_VERIFY_WITH_TIMEOUT(logged().contains("RunDropFiles:00000002"), kBound);

    // The check's outcome: the server's view of the exchange, and what the user is told (a
    // message box is a window of its own, with the product's name as its caption).
    const QString caption = QString::fromUtf8(SelectInterfaceTexts(0).product_title);
    auto shown = [&] {
      const QStringList names = ShownWindows(env);
      return QString("window %1, boxes %2").arg(names.contains(title) ? 1 : 0).arg(names.count(caption) - (caption == title ? 1 : 0));
    };
    if (published) {
      QVERIFY2(server.LogSays("end=done"), server.Log().c_str());
      QCOMPARE(shown(), QString("window 1, boxes 0"));
      // Checked this week: the time of the check is kept.
      RegistryStore reader(store);
      RegValue rebirth;
      QCOMPARE(RegReadValue(reader, kUpdateSettingsKey, "program_rebirth", rebirth), 1);
      QVERIFY(rebirth.dword > 0);
    } else {
      QVERIFY2(server.LogSays("end=error 1 unknown section"), server.Log().c_str());
      // The warning beside the window, both shown at once: the window was not held for it.
      QTRY_COMPARE_WITH_TIMEOUT(shown(), QString("window 1, boxes 1"), kBound);
      // Answered as a user does: Enter on the box (the smaller of the two).
      QString box;
      int smallest = INT_MAX;
      for (const QString& id : Output("xdotool", {"search", "--onlyvisible", "--name", "^" + caption + "$"}, env)
                                   .split('\n', Qt::SkipEmptyParts)) {
        const QString geometry = Output("xdotool", {"getwindowgeometry", "--shell", id}, env);
        const auto width = QRegularExpression("WIDTH=(\\d+)").match(geometry);
        if (width.hasMatch() && width.captured(1).toInt() < smallest) {
          smallest = width.captured(1).toInt();
          box = id;
        }
      }
      QVERIFY(!box.isEmpty());
      Output("xdotool", {"windowfocus", "--sync", box, "key", "Return"}, env);
      QTRY_COMPARE_WITH_TIMEOUT(shown(), QString("window 1, boxes 0"), kBound);
    }

    gui.terminate();
    QVERIFY(gui.waitForFinished(kBound));
    QCOMPARE(gui.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gui.exitCode(), 0);
    xvfb.terminate();
    xvfb.waitForFinished(30000);
  }
};

QTEST_MAIN(TestWindowFirstCopy)
#include "test_window_firstcopy.moc"

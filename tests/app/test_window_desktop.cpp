// The window as a desktop user meets it: shortcuts after a border resize, text fields that keep their keys.
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <memory>

#include "TestSupport.h"
#include "app/FileListModel.h"
#include "app/MainDLG.h"
#include "app/MenuTray.h"
#include "app/OptionDLG.h"
#include "encoder/SettingsStore.h"

using testsupport::TempDir;

namespace {

QStringList Names(CMainDLG* window) {
  QStringList names;
  for (size_t i = 0; i < window->List().size(); ++i) names << QString::fromStdString(window->List().text(i, kColFileName));
  return names;
}

struct Stored {
  int result = 0;
  EncodingSettings settings;
  StoredPaths paths;
};

Stored LoadStore(const std::string& path) {
  RegistryStore store(path);
  Stored s;
  s.result = LoadSettings(s.settings, s.paths, store);
  return s;
}

void SendMouse(QWidget* to, QEvent::Type type, const QPoint& at, Qt::MouseButtons buttons) {
  const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
  QMouseEvent event(type, QPointF(at), QPointF(to->mapToGlobal(at)), button, buttons, Qt::NoModifier);
  QApplication::sendEvent(to, &event);
}

}  // namespace

class TestWindowDesktop : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<CMainDLG> window_;

  // Three rows of files that are no media, probed (as failed) and ready for the list's commands.
  void ListThreeRows() {
    QStringList paths;
    for (const char* name : {"a.avi", "b.avi", "c.avi"}) {
      testsupport::WriteFile(dir_->file(name), "not media");
      paths << QString::fromStdString(dir_->file(name));
    }
    QCOMPARE(window_->RunDropFiles(paths), 3);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsAnalysing(), 60000);
    QCOMPARE(Names(window_.get()), QStringList({"a.avi", "b.avi", "c.avi"}));
  }

  void SelectRow(int row) {
    window_->ListView()->selectionModel()->setCurrentIndex(
        window_->Model()->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  }

  // The right border dragged 20 pixels outwards as a user does it: the mouse comes over the
  // border (the sizing cursor shows), presses, moves, releases, and goes back into the list.
  void DragRightBorder() {
    const QSize before = window_->size();
    const QPoint edge(window_->width() - 2, window_->height() / 2);
    SendMouse(window_.get(), QEvent::MouseMove, edge, Qt::NoButton);
    QCOMPARE(window_->cursor().shape(), Qt::SizeHorCursor);
    SendMouse(window_.get(), QEvent::MouseButtonPress, edge, Qt::LeftButton);
    SendMouse(window_.get(), QEvent::MouseMove, edge + QPoint(20, 0), Qt::LeftButton);
    SendMouse(window_.get(), QEvent::MouseButtonRelease, edge + QPoint(20, 0), Qt::NoButton);
    QTRY_COMPARE(window_->size(), before + QSize(20, 0));
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), QPointF(window_->ListView()->viewport()->mapToGlobal(QPoint(5, 5))));
    QApplication::sendEvent(window_->ListView()->viewport(), &enter);
    QCOMPARE(window_->cursor().shape(), Qt::ArrowCursor);
  }

  // The window as the program makes it: a tray icon (on a desktop that has a notification
  // area), and settings written to the user's store.
  void OpenWithTrayAndStore() {
    window_.reset();
    CMenuTray::SetAvailabilityCheck([] { return true; });
    EncodingSettings settings;
    ResetSettings(settings);
    StoredPaths paths;
    paths.output_folder = dir_->file("out");
    ApplyPathDefaults(paths, false);
    window_ = std::make_unique<CMainDLG>(settings, paths);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

 private slots:
  void init() {
    dir_ = std::make_unique<TempDir>();
    EncodingSettings settings;
    ResetSettings(settings);
    StoredPaths paths;
    paths.output_folder = dir_->file("out");
    ApplyPathDefaults(paths, false);
    paths.error_log_path = dir_->file("error_log.txt");
    paths.ProgramFolder = dir_->str();
    MainWindowOptions options;
    options.trayIcon = false;
    options.saveOnExit = false;
    window_ = std::make_unique<CMainDLG>(settings, paths, options);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

  void cleanup() {
    window_.reset();
    dir_.reset();
    CMenuTray::SetAvailabilityCheck(nullptr);
  }

  void shortcutsWorkAfterResizingByTheBorder() {
    ListThreeRows();
    DragRightBorder();
    QTreeView* list = window_->ListView();
    list->setFocus();
    SelectRow(0);
    QTest::keyClick(list, Qt::Key_Down, Qt::ControlModifier);
    QCOMPARE(Names(window_.get()), QStringList({"b.avi", "a.avi", "c.avi"}));
    QTest::keyClick(list, Qt::Key_Delete);
    QCOMPARE(Names(window_.get()), QStringList({"b.avi", "c.avi"}));
    // A second drag, and Escape still minimises.
    DragRightBorder();
    QTest::keyClick(list, Qt::Key_Escape);
    QTRY_VERIFY(window_->isMinimized());
  }

  void textFieldKeepsItsKeys() {
    ListThreeRows();
    auto* field = window_->findChild<QLineEdit*>("OutputFolder");
    QVERIFY(field);
    const QString folder = field->text();
    QVERIFY(!folder.isEmpty());
    // In the field, Ctrl+A selects its text and Delete deletes it; the list keeps every row.
    SelectRow(1);
    field->setFocus();
    QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(field, Qt::Key_Delete);
    QCOMPARE(field->text(), QString());
    QCOMPARE(Names(window_.get()), QStringList({"a.avi", "b.avi", "c.avi"}));
    QTest::keyClick(field, Qt::Key_Down, Qt::ControlModifier);
    QCOMPARE(Names(window_.get()), QStringList({"a.avi", "b.avi", "c.avi"}));
    QTest::keyClicks(field, "x");
    QCOMPARE(field->text(), QString("x"));
    // In the list the same keys act on the list.
    QTreeView* list = window_->ListView();
    list->setFocus();
    QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(list->selectionModel()->selectedRows().size(), 3);
    QTest::keyClick(list, Qt::Key_Delete);
    QCOMPARE(window_->List().size(), size_t(0));
    QCOMPARE(field->text(), QString("x"));
  }

  void aClickOnTheTrayIconRestoresTheWindow() {
    OpenWithTrayAndStore();
    QVERIFY(window_->Tray() != nullptr);
    QVERIFY(window_->Tray()->IsAvailable());
    auto* icon = window_->Tray()->findChild<QSystemTrayIcon*>();
    QVERIFY(icon != nullptr);
    for (QSystemTrayIcon::ActivationReason reason : {QSystemTrayIcon::Trigger, QSystemTrayIcon::DoubleClick}) {
      window_->showMinimized();
      QTRY_VERIFY(window_->isMinimized());
      emit icon->activated(reason);
      QTRY_VERIFY(!window_->isMinimized());
      QVERIFY(window_->isVisible());
    }
  }

  void theDialogsSaveReachesTheStoreAtOnce() {
    OpenWithTrayAndStore();
    const std::string store = DefaultSettingsStorePath();
    std::filesystem::remove(store);
    // The dialog is answered once it is up: MKV chosen, "저장후 닫기" clicked.
    QTimer::singleShot(0, [] {
      QTRY_VERIFY(qobject_cast<COptionDLG*>(QApplication::activeModalWidget()) != nullptr);
      QWidget* dialog = QApplication::activeModalWidget();
      dialog->findChild<QComboBox*>("OutputType")->setCurrentIndex(2);
      dialog->findChild<QPushButton*>("BtnSave")->click();
    });
    window_->OpenSettingsDialog();
    QCOMPARE(window_->Settings().output_type, 2);
    // The window is still open, and the store has the choice already.
    QVERIFY(window_->isVisible());
    Stored saved = LoadStore(store);
    QCOMPARE(saved.result, 1);
    QCOMPARE(saved.settings.output_type, 2);
  }

  void aChangeMadeElsewhereSurvivesTheWindowsClose() {
    OpenWithTrayAndStore();
    const std::string store = DefaultSettingsStorePath();
    std::filesystem::remove(store);
    {
      EncodingSettings defaults;
      ResetSettings(defaults);
      RegistryStore writer(store);
      QCOMPARE(SaveSettings(defaults, window_->Paths(), writer), 1);
    }
    // `zelvora settings set etc_conf.no_scan=1` while the window is open.
    {
      RegistryStore other(store);
      QCOMPARE(RegWriteDword(other, std::string(kSettingsKey) + "\\etc_conf", "no_scan", 1), 1);
    }
    // The window changes the output folder, then closes.
    auto* field = window_->findChild<QLineEdit*>("OutputFolder");
    const QString typed = QString::fromStdString(dir_->file("typed"));
    field->setText(typed);
    window_->OnBtnExit();
    QVERIFY(window_->IsClosed());
    Stored saved = LoadStore(store);
    QCOMPARE(saved.settings.language, 1);
    QCOMPARE(QString::fromStdString(saved.paths.output_folder), typed);
  }

  // A real copy of the program ended by SIGTERM (as a logout or `kill` ends it) quits in order:
  // a normal exit, and the store keeps what was written to it while the program ran.
  void aRealProgramEndedBySigtermQuitsInOrder() {
#ifdef Q_OS_WIN
    QSKIP("Windows has no SIGTERM");
#else
    TempDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_STATE_HOME", "XDG_CACHE_HOME"}) {
      const QString folder = QString::fromStdString(home.file(name));
      QDir().mkpath(folder);
      QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
      env.insert(name, folder);
    }
    env.insert("QT_QPA_PLATFORM", "offscreen");
    const std::string store = home.file("XDG_CONFIG_HOME") + "/Tarvesk/zelvora/registry.reg";
    {
      EncodingSettings defaults;
      ResetSettings(defaults);
      StoredPaths paths;
      paths.output_folder = home.file("out");
      RegistryStore writer(store);
      QCOMPARE(SaveSettings(defaults, paths, writer), 1);
    }
    QProcess gui;
    gui.setProcessEnvironment(env);
    gui.setProcessChannelMode(QProcess::ForwardedChannels);
    gui.start(ZELVORA_GUI_PATH, {});
    QVERIFY(gui.waitForStarted(60000));
    // Up once its single-instance socket is there.
    const QString socket = QString::fromStdString(home.file("XDG_RUNTIME_DIR")) + "/Zelvora Media Encoder.socket";
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socket) || gui.state() == QProcess::NotRunning, 120000);
    QCOMPARE(gui.state(), QProcess::Running);
    {
      RegistryStore other(store);
      QCOMPARE(RegWriteDword(other, std::string(kSettingsKey) + "\\video_conf", "bitrate", 1500), 1);
    }
    gui.terminate();  // SIGTERM
    QVERIFY(gui.waitForFinished(120000));
    QCOMPARE(gui.exitStatus(), QProcess::NormalExit);
    QCOMPARE(gui.exitCode(), 0);
    Stored saved = LoadStore(store);
    QCOMPARE(saved.result, 1);
    QCOMPARE(saved.settings.video_bitrate, 1500);
    QCOMPARE(QString::fromStdString(saved.paths.output_folder), QString::fromStdString(home.file("out")));
#endif
  }
};

QTEST_MAIN(TestWindowDesktop)
#include "test_window_desktop.moc"

// The window as a desktop user meets it: shortcuts after a border resize, text fields that keep their keys.
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QMenu>
#include <QMessageBox>
#include <QRegularExpression>
#include <QLabel>
#include <QDeadlineTimer>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <filesystem>
#include <functional>
#include <memory>
#ifndef _WIN32
#include <unistd.h>
#endif

#include "TestSupport.h"
#include "WindowUnderTest.h"
#include "app/AboutBox.h"
#include "app/AppStartup.h"
#include "app/FileListModel.h"
#include "app/MainDLG.h"
#include "app/MenuTray.h"
#include "app/OptionDLG.h"
#include "app/SingleInstance.h"
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
    window_ = windowtest::Show(settings, windowtest::PathsIn(*dir_));
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

  // The lock and the socket go only where nobody else can enter.
  void singleInstanceFolderIsTheUsersOwn() {
#ifdef Q_OS_WIN
    QSKIP("folder modes are POSIX");
#else
    TempDir root;
    const QString runtime = QString::fromStdString(root.file("runtime"));
    const QString tmp = QString::fromStdString(root.file("tmp"));
    const QString cache = QString::fromStdString(root.file("cache"));
    for (const QString& folder : {runtime, tmp, cache}) QDir().mkpath(folder);
    const QString shared = tmp + QString("/zelvora-%1").arg(getuid());
    const QString cacheFolder = cache + "/zelvora/instance";
    const QFile::Permissions privateMode = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    const QFile::Permissions openMode = privateMode | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                        QFile::WriteOther | QFile::ExeOther;
    const struct {
      const char* what;
      bool runtimeSet;
      QFile::Permissions runtimeMode;
      bool sharedExists;
      QFile::Permissions sharedMode;
      QString expect;
    } cases[] = {
        {"private runtime folder", true, privateMode, false, {}, runtime},
        {"runtime folder others can enter", true, openMode, false, {}, shared},
        {"no runtime folder", false, {}, false, {}, shared},
        {"shared folder made by someone with other rights", false, {}, true, openMode, cacheFolder},
    };
    testsupport::ScopedEnv tmpdir("TMPDIR", tmp.toStdString());
    testsupport::ScopedEnv cacheHome("XDG_CACHE_HOME", cache.toStdString());
    for (const auto& c : cases) {
      QDir(shared).removeRecursively();
      QFile::setPermissions(runtime, c.runtimeMode);
      testsupport::ScopedEnv xdg("XDG_RUNTIME_DIR", c.runtimeSet ? runtime.toStdString() : std::string());
      if (c.sharedExists) {
        QDir().mkpath(shared);
        QFile::setPermissions(shared, c.sharedMode);
      }
      QVERIFY2(SingleInstance::DefaultFolder() == c.expect, c.what);
      SingleInstance first;
      QVERIFY2(first.Claim() == SingleInstance::Role::kFirst, c.what);
      QVERIFY2(first.SocketName().startsWith(c.expect + "/"), c.what);
    }
#endif
  }

  // A row that failed in a run tells why: the tip of its row, and the status line once it is selected.
  void aFailedRowShowsItsCause() {
    window_.reset();
    EncodingSettings settings;
    ResetSettings(settings);
    StoredPaths paths = windowtest::PathsIn(*dir_);
    // An encoder that fails at once, without a word.
    paths.encoder_path_a = paths.encoder_path_b = "/bin/false";
    window_ = windowtest::Show(settings, paths);
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    const std::string clip = dir_->file("clip.avi");
    QCOMPARE(testsupport::RunCommand({"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25",
                                      "-t", "1", "-c:v", "mpeg4", clip}),
             0);
    QCOMPARE(window_->RunDropFiles({QString::fromStdString(clip)}), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsAnalysing(), 60000);
    window_->OnStartButton();
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsRunning(), 120000);
    window_->Batch().JoinThread();
    QTRY_COMPARE(QString::fromStdString(window_->List().text(0, kColStatus)), QString("오류"));
    const RowOutcome outcome = window_->Batch().Outcome(0);
    const std::string recorded = outcome.cause.empty() ? outcome.message : outcome.cause;
    QVERIFY(!recorded.empty());
    QTRY_VERIFY(window_->Model()->data(window_->Model()->index(0, kColStatus), Qt::ToolTipRole).toString() ==
                QString::fromStdString(recorded));
    SelectRow(0);
    auto* status = window_->findChild<QLabel*>("StatusLine");
    QVERIFY(status->property("fullText").toString().startsWith("clip.avi: "));
    QVERIFY(status->property("fullText").toString().endsWith(QString::fromStdString(recorded)));
  }

  // At the smallest size, in either language, every button and label shows its whole text, no
  // two of them overlap, the file name column keeps a readable width, and the smallest size is
  // the same in both languages: the wider language's texts decide it.
  void theSmallestSizeCutsNoText() {
    QSize smallest[2];
    for (int language : {0, 1}) {
      window_.reset();
      EncodingSettings settings;
      ResetSettings(settings);
      settings.language = language;
      window_ = windowtest::Show(settings, windowtest::PathsIn(*dir_));
      QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
      window_->resize(1, 1);
      QCOMPARE(window_->size(), window_->minimumSize());
      smallest[language] = window_->size();
      QVERIFY(window_->width() >= 600 && window_->height() >= 460);
      const QList<QPushButton*> buttons = window_->findChildren<QPushButton*>();
      QVERIFY(buttons.size() >= 8);
      QList<QWidget*> texts;
      for (QPushButton* b : buttons) {
        if (!b->isVisible()) continue;
        const QByteArray what = QString("language %1, %2 \"%3\"").arg(language).arg(b->objectName(), b->text()).toUtf8();
        QVERIFY2(b->fontMetrics().horizontalAdvance(b->text()) + 8 <= b->width(), what.constData());
        texts << b;
      }
      // The labels of the two lower groups, the times and percentages among them.
      for (const char* group : {"ProgressGroup", "OutputGroup"})
        for (QLabel* label : window_->findChild<QWidget*>(group)->findChildren<QLabel*>()) {
          if (!label->isVisible() || label->text().isEmpty()) continue;
          const QByteArray what = QString("language %1, label \"%2\"").arg(language).arg(label->text()).toUtf8();
          QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(), what.constData());
          texts << label;
        }
      auto textOf = [](QWidget* w) {
        if (auto* label = qobject_cast<QLabel*>(w)) return label->text();
        return static_cast<QPushButton*>(w)->text();
      };
      for (QWidget* w : texts) {
        const QByteArray what = QString("language %1, \"%2\" at %3,%4 %5x%6").arg(language).arg(textOf(w))
                                    .arg(w->x()).arg(w->y()).arg(w->width()).arg(w->height()).toUtf8();
        QVERIFY2(QRect(QPoint(0, 0), window_->size()).contains(QRect(w->mapTo(window_.get(), QPoint(0, 0)), w->size())),
                 what.constData());
        QVERIFY2(QRect(QPoint(0, 0), w->parentWidget()->size()).contains(w->geometry()), what.constData());
        for (QWidget* other : texts)
          if (other != w && other->parentWidget() == w->parentWidget())
            QVERIFY2(!w->geometry().intersects(other->geometry()), (what + " and \"" + textOf(other).toUtf8() + "\"").constData());
      }
      QVERIFY(window_->ListView()->header()->sectionSize(kColFileName) >= 140);
      QVERIFY(window_->findChild<QLineEdit*>("OutputFolder")->width() >= 100);
    }
    QCOMPARE(smallest[0], smallest[1]);
  }

  // The Korean window speaks Korean throughout: its own texts, its menus, and Qt's buttons in
  // its message boxes.
  void theKoreanWindowIsKoreanThroughout() {
    QVERIFY(InstallQtTranslations(0));
    const QRegularExpression latin("[A-Za-z]");
    QStringList english;
    // An accelerator key in Korean texts is written "(&Y)": the key's name, not English.
    const QRegularExpression accelerator("\\(&[A-Za-z]\\)");
    auto check = [&](const QString& where, QString text) {
      text.remove(accelerator);
      if (latin.match(text).hasMatch()) english << where + ": " + text;
    };
    for (QWidget* w : window_->findChildren<QWidget*>()) {
      if (!w->isVisible()) continue;
      if (auto* label = qobject_cast<QLabel*>(w); label && label != window_->findChild<QLabel*>("StatusLine"))
        check(label->objectName(), label->text());
      if (auto* button = qobject_cast<QPushButton*>(w)) check(button->objectName(), button->text());
      if (auto* group = qobject_cast<QGroupBox*>(w)) check(group->objectName(), group->title());
    }
    for (QMenu* menu : {window_->FileMenu(), window_->ListMenu()})
      for (QAction* action : menu->actions())  // the key names after the tab are the keyboard's
        check(menu->objectName(), action->text().section('\t', 0, 0));
    for (int column = 0; column < kColumnCount; ++column)
      check("header", window_->Model()->headerData(column, Qt::Horizontal, Qt::DisplayRole).toString());
    // The exit question's buttons, as the window asks it.
    QMessageBox box(QMessageBox::Question, "종료 확인", "인코딩 작업 중입니다. 종료하시겠습니까?",
                    QMessageBox::Yes | QMessageBox::No, window_.get());
    for (QAbstractButton* button : box.buttons()) check("exit question", button->text());
    QVERIFY2(english.isEmpty(), qPrintable(english.join("\n")));
    QVERIFY(InstallQtTranslations(1));
  }

  // An MP4 cut before its movie atom is no media for any reader: it is failed as soon as it
  // is added, with the cause in its tip, while the whole file beside it waits.
  void aCutMp4IsFailedWhenAdded() {
    ZELVORA_QSKIP_WITHOUT_PROGRAM("ffmpeg");
    ZELVORA_QSKIP_WITHOUT_PROGRAM("ffprobe");
    const std::string whole = dir_->file("whole.mp4");
    const std::string cut = dir_->file("cut.mp4");
    testsupport::MakeClip(whole);
    testsupport::WriteFile(cut, testsupport::ReadFile(whole).substr(0, 6000));
    // The peer tool's reading of the two files.
    std::string said;
    testsupport::RunCommand({"ffprobe", "-v", "error", cut}, &said);
    QVERIFY2(said.find("moov atom not found") != std::string::npos, said.c_str());
    QCOMPARE(testsupport::RunCommand({"ffprobe", "-v", "error", whole}), 0);

    QCOMPARE(window_->RunDropFiles({QString::fromStdString(cut), QString::fromStdString(whole)}), 2);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsAnalysing(), 60000);
    QCOMPARE(QString::fromStdString(window_->List().text(0, kColStatus)), QString("실패"));
    QCOMPARE(QString::fromStdString(window_->List().text(1, kColStatus)), QString("대기"));
    QCOMPARE(window_->Model()->data(window_->Model()->index(0, kColStatus), Qt::ToolTipRole).toString(),
             QString("moov atom not found"));
    SelectRow(0);
    auto* status = window_->findChild<QLabel*>("StatusLine");
    QCOMPARE(status->property("fullText").toString(), QString("cut.mp4: moov atom not found"));
  }

  // Quitting during a run stops the file being converted: it was stopped, not failed, so the
  // error log says nothing of it and the row waits for the next run.
  void quittingDuringARunFailsNoFile() {
    ZELVORA_QSKIP_WITHOUT_PROGRAM("ffmpeg");
    window_.reset();
    EncodingSettings settings;
    ResetSettings(settings);
    StoredPaths paths = windowtest::PathsIn(*dir_);
    paths.error_log_path = dir_->file("logs/error_log.txt");
    // An encoder that works until it is stopped.
    testsupport::WriteFile(dir_->file("enc.sh"), "#!/bin/sh\nexec sleep 600\n");
    std::filesystem::permissions(dir_->file("enc.sh"), std::filesystem::perms::owner_all);
    paths.encoder_path_a = paths.encoder_path_b = dir_->file("enc.sh");
    window_ = windowtest::Show(settings, paths);
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
    const std::string clip = dir_->file("clip.avi");
    testsupport::MakeClip(clip);
    QCOMPARE(window_->RunDropFiles({QString::fromStdString(clip)}), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsAnalysing(), 60000);
    window_->OnStartButton();
    QTRY_VERIFY_WITH_TIMEOUT(window_->Batch().ActiveChildPid() > 0, 60000);

    bool answered = false, cancelIsDefault = false;
    QString confirm, cancel;
    std::function<void()> answer = [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || box->objectName() != "ExitQuestion") {
        QTimer::singleShot(10, window_.get(), answer);
        return;
      }
      answered = true;
      auto* yes = box->findChild<QPushButton*>("ExitConfirm");
      if (!yes) return box->reject();
      confirm = yes->text();
      cancel = box->button(QMessageBox::Cancel)->text();
      cancelIsDefault = box->defaultButton() == box->button(QMessageBox::Cancel);
      yes->click();
    };
    QVERIFY(InstallQtTranslations(0));
    QTimer::singleShot(0, window_.get(), answer);
    window_->OnBtnExit();
    QVERIFY(InstallQtTranslations(1));
    QVERIFY(answered);
    // The confirming button in the program's own words, the other in the same language.
    QCOMPARE(confirm, QString("확 인"));
    QVERIFY2(!cancel.remove(QRegularExpression("\\(&[A-Za-z]\\)")).contains(QRegularExpression("[A-Za-z]")),
             qPrintable(cancel));
    QVERIFY(cancelIsDefault);
    QVERIFY(!window_->IsRunning());
    QCOMPARE(QString::fromStdString(window_->List().text(0, kColStatus)), QString("대기"));
    QString logged;
    if (std::filesystem::exists(dir_->file("logs")))
      for (const auto& entry : std::filesystem::directory_iterator(dir_->file("logs")))
        logged += QString::fromStdString(testsupport::ReadFile(entry.path().string()));
    QVERIFY2(!logged.contains("Failed encoding"), qPrintable(logged));
  }

  // The about box names the program's version and the encoder's, as the encoder itself says it
  // (its -version's first line), asked in the background: the box opens before the answer.
  void theAboutBoxShowsTheEncodersVersion() {
    ZELVORA_QSKIP_WITHOUT_PROGRAM("ffmpeg");
    const QString ffmpeg = QStandardPaths::findExecutable("ffmpeg");
    QVERIFY(!ffmpeg.isEmpty());
    std::string said;
    QCOMPARE(testsupport::RunCommand({"ffmpeg", "-version"}, &said), 0);
    const QString first = QString::fromStdString(said.substr(0, said.find('\n'))).trimmed();
    QVERIFY(first.startsWith("ffmpeg version "));
    const QString shown =
        first.left(first.indexOf(" Copyright") > 0 ? first.indexOf(" Copyright") : first.size()).replace(" version ", " ");
    const QString missing = QString::fromStdString(dir_->file("no-such-encoder"));
    const InterfaceTexts& texts = SelectInterfaceTexts(0);
    for (const auto& [path, expected] : {std::pair{ffmpeg, shown}, std::pair{missing, QString("not found")}}) {
      CAboutBox about(texts, window_.get(), path);
      auto* product = about.findChild<QLabel*>("ProductVersion");
      auto* encoder = about.findChild<QLabel*>("ProgramVersion");
      QVERIFY(product && encoder);
      QVERIFY2(product->text().contains(QRegularExpression("^Product Version : \\d+,\\d+,\\d+,\\d+$")),
               qPrintable(product->text()));
      QVERIFY(CAboutBox::EncoderVersion(path).isEmpty());  // not waited for
      about.show();
      QTRY_COMPARE_WITH_TIMEOUT(encoder->text(), "Encoder Version : " + expected, 30000);
      // The whole line fits the box.
      QVERIFY2(encoder->fontMetrics().horizontalAdvance(encoder->text()) <= encoder->width(),
               qPrintable(encoder->text()));
    }
    // Asked once: a second box has the answer at once.
    CAboutBox again(texts, window_.get(), ffmpeg);
    QCOMPARE(again.findChild<QLabel*>("ProgramVersion")->text(), "Encoder Version : " + shown);
    QCOMPARE(again.findChild<QLabel*>("ProgramVersion")->toolTip(), first);
  }

  // During a real run the status line never says the analysis while the file's bar moves; after
  // it no time or percentage of the finished run stays shown as if it were still counting.
  void aRunLeavesNoStaleFigures() {
    ZELVORA_QSKIP_WITHOUT_PROGRAM("ffmpeg");
    const std::string clip = dir_->file("clip.avi");
    testsupport::ClipSpec spec;
    spec.seconds = 4;
    testsupport::MakeClip(clip, spec);
    QCOMPARE(window_->RunDropFiles({QString::fromStdString(clip)}), 1);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsAnalysing(), 60000);
    const InterfaceTexts& texts = SelectInterfaceTexts(0);
    auto* status = window_->findChild<QLabel*>("StatusLine");
    auto* fileBar = window_->findChild<QProgressBar*>("FileBar");
    QVERIFY(status && fileBar);
    QStringList besideAMovingBar;
    int highest = 0;
    connect(fileBar, &QProgressBar::valueChanged, this, [&](int value) {
      highest = std::max(highest, value);
      if (value > 0) besideAMovingBar << status->property("fullText").toString();
    });
    window_->OnStartButton();
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsRunning(), 120000);
    window_->Batch().JoinThread();
    QTRY_COMPARE(QString::fromStdString(window_->List().text(0, kColStatus)), QString("완료"));
    fileBar->disconnect(this);
    QVERIFY(highest > 0);
    QVERIFY2(!besideAMovingBar.contains(QString::fromUtf8(texts.analysing)), qPrintable(besideAMovingBar.join("\n")));
    for (const char* name : {"EstimatedTime", "ElapsedTime", "RemainingTime"})
      QTRY_COMPARE(window_->findChild<QLabel*>(name)->text(), QString("00:00:00"));
    for (const char* name : {"FilePercent", "TotalPercent"})
      QTRY_COMPARE(window_->findChild<QLabel*>(name)->text(), QString("00%"));
    QTRY_COMPARE(status->property("fullText").toString(), QString::fromUtf8(texts.conversion_done));
  }
};

QTEST_MAIN(TestWindowDesktop)
#include "test_window_desktop.moc"

// The main window as a user drives it: adding files, probing, moving and removing rows, converting, cancelling, quitting.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <filesystem>
#include <memory>

#include "TestSupport.h"
#include "app/FileListModel.h"
#include "app/MainDLG.h"
#include "app/SingleInstance.h"
#include "encoder/SettingsStore.h"

namespace fs = std::filesystem;
using testsupport::TempDir;

namespace {

const char kKoWaiting[] = "대기";
const char kKoFailed[] = "실패";
const char kKoDone[] = "완료";
const char kKoError[] = "오류";

QString Text(QWidget* root, const char* name) {
  if (auto* label = root->findChild<QLabel*>(name)) return label->text();
  if (auto* button = root->findChild<QPushButton*>(name)) return button->text();
  return {};
}

QWidget* Child(QWidget* root, const char* name) { return root->findChild<QWidget*>(name); }

// Sends a drag enter and, when it is taken, a drop of `mime` onto the list.
bool DropOnList(CMainDLG* window, QMimeData* mime) {
  QWidget* viewport = window->ListView()->viewport();
  const QPointF at(viewport->width() / 2.0, viewport->height() / 2.0);
  QDragEnterEvent enter(at.toPoint(), Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(viewport, &enter);
  if (!enter.isAccepted()) return false;
  QDropEvent drop(at, Qt::CopyAction, mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(viewport, &drop);
  return drop.isAccepted();
}

QMimeData* FileMime(const QStringList& paths) {
  auto* mime = new QMimeData;
  QList<QUrl> urls;
  for (const QString& p : paths) urls << QUrl::fromLocalFile(p);
  mime->setUrls(urls);
  return mime;
}

QStringList Column(CMainDLG* window, int column) {
  QStringList texts;
  for (size_t i = 0; i < window->List().size(); ++i)
    texts << QString::fromStdString(window->List().text(i, column));
  return texts;
}

// Answers the next message box with `button` once it is up, looking for it from the event loop
// every 10 ms for at most a minute. The test checks the result after the call that asks: a
// question that never came then fails the test (a failed check inside a timer's function would
// only leave that function, and the test would wait on).
std::shared_ptr<bool> AnswerNextQuestion(QMessageBox::StandardButton button) {
  auto answered = std::make_shared<bool>(false);
  auto* look = new QTimer(qApp);  // owned by the application until it deletes itself
  const QDeadlineTimer deadline(60000);
  QObject::connect(look, &QTimer::timeout, look, [=] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box && !deadline.hasExpired()) return;
    look->stop();
    look->deleteLater();
    if (!box) return;
    *answered = true;
    // A question may name its buttons in its own words: then the button of the same role answers.
    QAbstractButton* answer = box->button(button);
    const bool accept = button == QMessageBox::Yes || button == QMessageBox::Ok;
    for (QAbstractButton* b : box->buttons()) {
      if (answer) break;
      const QMessageBox::ButtonRole role = box->buttonRole(b);
      if (accept ? role == QMessageBox::AcceptRole || role == QMessageBox::YesRole
                 : role == QMessageBox::RejectRole || role == QMessageBox::NoRole)
        answer = b;
    }
    if (answer) answer->click();
    else box->reject();
  });
  look->start(10);
  return answered;
}

}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<CMainDLG> window_;
  std::string output_;

  void Open() {
    EncodingSettings settings;
    ResetSettings(settings);
    StoredPaths paths;
    output_ = dir_->file("out");
    paths.output_folder = output_;
    ApplyPathDefaults(paths, false);
    paths.error_log_path = dir_->file("error_log.txt");
    paths.ProgramFolder = dir_->str();
    MainWindowOptions options;
    options.trayIcon = false;
    window_ = std::make_unique<CMainDLG>(settings, paths, options);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

  // Drops `paths` and waits until the probe pass has handed every row over.
  void DropAndProbe(const QStringList& paths) {
    std::unique_ptr<QMimeData> mime(FileMime(paths));
    QVERIFY(DropOnList(window_.get(), mime.get()));
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsAnalysing(), 60000);
  }

  void SelectRows(const QList<int>& rows) {
    QItemSelectionModel* selection = window_->ListView()->selectionModel();
    selection->clearSelection();
    for (int row : rows)
      selection->select(window_->Model()->index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  }

  QList<int> Selected() {
    QList<int> rows;
    for (const QModelIndex& i : window_->ListView()->selectionModel()->selectedRows()) rows << i.row();
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  // Five empty files listed without probing: each row's status is set by the test.
  void ListFiveRows(const QStringList& statuses) {
    QStringList paths;
    for (const char* name : {"a.avi", "b.avi", "c.avi", "d.avi", "e.avi"}) {
      testsupport::WriteFile(dir_->file(name), "not media");
      paths << QString::fromStdString(dir_->file(name));
    }
    DropAndProbe(paths);
    for (int i = 0; i < 5; ++i) window_->List().setText(i, kColStatus, statuses[i].toStdString());
    window_->Model()->Sync();
  }

 private slots:
  void init() {
    dir_ = std::make_unique<TempDir>();
    Open();
  }

  void cleanup() {
    window_.reset();
    dir_.reset();
  }

  void dropsAddFilesOnceAndSkipFolders() {
    testsupport::WriteFile(dir_->file("clip.avi"), "x");
    testsupport::WriteFile(dir_->file("CLIP.avi"), "x");  // the same name ignoring letter case
    fs::create_directory(dir_->file("folder.avi"));
    // On the empty list the drop hint shows (once the window has settled); a dropped folder (with a
    // file that is not there) adds nothing, and the hint stays.
    QTRY_VERIFY(Child(window_.get(), "DropHint")->isVisible());
    {
      std::unique_ptr<QMimeData> mime(FileMime(
          {QString::fromStdString(dir_->file("folder.avi")), QString::fromStdString(dir_->file("missing.avi"))}));
      DropOnList(window_.get(), mime.get());
      QTRY_VERIFY_WITH_TIMEOUT(!window_->IsAnalysing(), 30000);
      // What the drop left queued runs before the hint is looked at: a hint hidden a turn of
      // the event loop later is as wrong as one hidden at once.
      bool queuedRan = false;
      QTimer::singleShot(0, window_.get(), [&] { queuedRan = true; });
      QTRY_VERIFY(queuedRan);
      QCOMPARE(window_->Model()->rowCount(), 0);
      QVERIFY(Child(window_.get(), "DropHint")->isVisible());
    }
    const struct {
      QStringList paths;
      QStringList expectNames;
    } cases[] = {
        {{QString::fromStdString(dir_->file("clip.avi"))}, {"clip.avi"}},
        {{QString::fromStdString(dir_->file("clip.avi")), QString::fromStdString(dir_->file("CLIP.avi"))},
         {"clip.avi"}},
        {{QString::fromStdString(dir_->file("folder.avi")), QString::fromStdString(dir_->file("missing.avi"))},
         {"clip.avi"}},
    };
    for (const auto& c : cases) {
      std::unique_ptr<QMimeData> mime(FileMime(c.paths));
      QVERIFY(DropOnList(window_.get(), mime.get()));
      QTRY_VERIFY_WITH_TIMEOUT(!window_->IsAnalysing(), 30000);
      QCOMPARE(Column(window_.get(), kColFileName), c.expectNames);
    }
    QCOMPARE(window_->Model()->rowCount(), 1);
    QVERIFY(!Child(window_.get(), "DropHint")->isVisible());
  }

  void privateMimeTypeIsRefused() {
    testsupport::WriteFile(dir_->file("own.avi"), "x");
    std::unique_ptr<QMimeData> mime(FileMime({QString::fromStdString(dir_->file("own.avi"))}));
    mime->setData(kPrivateMimeType, "1");
    QVERIFY(!DropOnList(window_.get(), mime.get()));
    QCOMPARE(window_->List().size(), size_t(0));
    QVERIFY(!CMainDLG::AcceptsMime({"text/uri-list", kPrivateMimeType}, true));
    QVERIFY(CMainDLG::AcceptsMime({"text/uri-list"}, true));
    QVERIFY(!CMainDLG::AcceptsMime({"text/plain"}, false));
  }

  void dialogAddsDecodeNamesWithoutReplacingFiles() {
    testsupport::WriteFile(dir_->file("my%20clip+1.avi"), "first");
    testsupport::WriteFile(dir_->file("taken%20name.avi"), "mine");
    testsupport::WriteFile(dir_->file("taken name.avi"), "someone else's");
    testsupport::WriteFile(dir_->file("up%2F..%2Fx.avi"), "escape");
    QStringList chosen = {QString::fromStdString(dir_->file("my%20clip+1.avi")),
                          QString::fromStdString(dir_->file("taken%20name.avi")),
                          QString::fromStdString(dir_->file("up%2F..%2Fx.avi"))};
    QCOMPARE(window_->AddChosenFiles(chosen), 3);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsAnalysing(), 30000);
    QCOMPARE(Column(window_.get(), kColFileName), QStringList({"my clip 1.avi", "taken%20name.avi", "up%2F..%2Fx.avi"}));
    QCOMPARE(testsupport::ReadFile(dir_->file("my clip 1.avi")), std::string("first"));
    QVERIFY(!fs::exists(dir_->file("my%20clip+1.avi")));
    QCOMPARE(testsupport::ReadFile(dir_->file("taken name.avi")), std::string("someone else's"));
    QCOMPARE(testsupport::ReadFile(dir_->file("taken%20name.avi")), std::string("mine"));
    // The same files again add nothing.
    QCOMPARE(window_->AddChosenFiles({QString::fromStdString(dir_->file("my clip 1.avi"))}), 0);
  }

  void probeResultsFillTheColumns() {
    const std::string clip = testsupport::MakeClip(dir_->file("probe.avi"), {.seconds = 2, .size = "320x240"});
    QVERIFY(!clip.empty());
    testsupport::WriteFile(dir_->file("garbage.mp4"), std::string(3000, '\x5a'));
    DropAndProbe({QString::fromStdString(clip), QString::fromStdString(dir_->file("garbage.mp4"))});
    std::optional<RowTexts> row = window_->List().row(0);
    QVERIFY(row.has_value());
    QCOMPARE((*row)[kColPlayTime], std::string("00:00:02"));
    QCOMPARE((*row)[kColWidth], std::string("320"));
    QCOMPARE((*row)[kColHeight], std::string("240"));
    QCOMPARE((*row)[kColType], std::string("avi"));
    QCOMPARE((*row)[kColSampleRate], std::string("44100"));
    QCOMPARE((*row)[kColStatus], std::string(kKoWaiting));
    QCOMPARE(window_->List().text(1, kColStatus), std::string(kKoFailed));
    // The list shows what the list holds, the hidden columns hidden.
    QCOMPARE(window_->Model()->data(window_->Model()->index(0, kColWidth), Qt::DisplayRole).toString(), "320");
    QVERIFY(window_->ListView()->isColumnHidden(kColFullPath));
    QVERIFY(window_->ListView()->isColumnHidden(kColSampleRate));
    QCOMPARE(Text(window_.get(), "StatusLine"), QString("미디어 파일을 분석 완료하였습니다."));
  }

  void enablingRulesWhileAnalysing() {
    QStringList paths;
    // More files than one turn of the event loop adds: the drop is added in slices.
    for (int i = 0; i < 900; ++i) {
      std::string path = dir_->file("f" + std::to_string(i) + ".avi");
      testsupport::WriteFile(path, "x");
      paths << QString::fromStdString(path);
    }
    std::unique_ptr<QMimeData> mime(FileMime(paths));
    QVERIFY(DropOnList(window_.get(), mime.get()));
    // Until the pass has handed its rows over, the list and every editing control rest.
    QVERIFY(window_->IsAnalysing());
    for (const char* name : {"FileList", "BtnStart", "BtnAddFile", "BtnRemoveCompleted", "BtnMoveUp", "BtnMoveDown",
                             "BtnSettings", "BtnChangeFolder", "OutputFolder"})
      QVERIFY2(!Child(window_.get(), name)->isEnabled(), name);
    QVERIFY(Child(window_.get(), "BtnOpenFolder")->isEnabled());
    QCOMPARE(Text(window_.get(), "StatusLine"), QString("미디어 파일을 분석중입니다. 잠시만 기다려 주십시오."));
    // A second drop meanwhile is ignored.
    testsupport::WriteFile(dir_->file("late.avi"), "x");
    std::unique_ptr<QMimeData> late(FileMime({QString::fromStdString(dir_->file("late.avi"))}));
    DropOnList(window_.get(), late.get());
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsAnalysing(), 60000);
    QCOMPARE(window_->List().size(), size_t(900));
    for (const char* name : {"FileList", "BtnStart", "BtnAddFile", "BtnMoveUp", "OutputFolder"})
      QVERIFY2(Child(window_.get(), name)->isEnabled(), name);
    // Every row was probed (as failed: the files are no media), in the order dropped.
    QCOMPARE(Column(window_.get(), kColStatus).count(kKoFailed), 900);
    QCOMPARE(window_->Model()->rowCount(), 900);
    QCOMPARE(Column(window_.get(), kColFileName).mid(0, 3), QStringList({"f0.avi", "f1.avi", "f2.avi"}));
  }

  void movingABlockOfRows() {
    ListFiveRows({kKoWaiting, kKoWaiting, kKoWaiting, kKoWaiting, kKoWaiting});
    SelectRows({0, 3});
    window_->ListView()->setFocus();
    QTest::keyClick(window_->ListView(), Qt::Key_Down, Qt::ControlModifier);
    QCOMPARE(Column(window_.get(), kColFileName), QStringList({"b.avi", "a.avi", "c.avi", "e.avi", "d.avi"}));
    QCOMPARE(Selected(), QList<int>({1, 4}));
    // A selection at the edge does not move.
    QTest::keyClick(window_->ListView(), Qt::Key_Down, Qt::ControlModifier);
    QCOMPARE(Column(window_.get(), kColFileName), QStringList({"b.avi", "a.avi", "c.avi", "e.avi", "d.avi"}));
    SelectRows({1, 2});
    QTest::mouseClick(qobject_cast<QPushButton*>(Child(window_.get(), "BtnMoveUp")), Qt::LeftButton);
    QCOMPARE(Column(window_.get(), kColFileName), QStringList({"a.avi", "c.avi", "b.avi", "e.avi", "d.avi"}));
    QCOMPARE(Selected(), QList<int>({0, 1}));
    QTest::mouseClick(qobject_cast<QPushButton*>(Child(window_.get(), "BtnMoveUp")), Qt::LeftButton);
    QCOMPARE(Column(window_.get(), kColFileName), QStringList({"a.avi", "c.avi", "b.avi", "e.avi", "d.avi"}));
  }

  void deletingSettingWaitingAndRemovingDone() {
    ListFiveRows({kKoDone, kKoError, kKoFailed, kKoDone, kKoWaiting});
    // Delete in the list removes the selected rows.
    SelectRows({1});
    window_->ListView()->setFocus();
    QTest::keyClick(window_->ListView(), Qt::Key_Delete);
    QCOMPARE(Column(window_.get(), kColFileName), QStringList({"a.avi", "c.avi", "d.avi", "e.avi"}));
    // Ctrl+W: the selected rows wait again, whatever they were.
    SelectRows({1});
    window_->ListView()->setFocus();
    QTest::keyClick(window_->ListView(), Qt::Key_W, Qt::ControlModifier);
    QCOMPARE(Column(window_.get(), kColStatus), QStringList({kKoDone, kKoWaiting, kKoDone, kKoWaiting}));
    // "완료된 항목 제거" leaves every other status alone.
    window_->List().setText(1, kColStatus, kKoFailed);
    QTest::mouseClick(qobject_cast<QPushButton*>(Child(window_.get(), "BtnRemoveCompleted")), Qt::LeftButton);
    QCOMPARE(Column(window_.get(), kColFileName), QStringList({"c.avi", "e.avi"}));
    QCOMPARE(Column(window_.get(), kColStatus), QStringList({kKoFailed, kKoWaiting}));
    QCOMPARE(window_->Model()->rowCount(), 2);
  }

  void startConvertsToDone() {
    const std::string clip = testsupport::MakeClip(dir_->file("tiny.avi"), {.seconds = 1, .size = "320x240"});
    QVERIFY(!clip.empty());
    DropAndProbe({QString::fromStdString(clip)});
    QTest::mouseClick(qobject_cast<QPushButton*>(Child(window_.get(), "BtnStart")), Qt::LeftButton);
    QVERIFY(window_->IsRunning());
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsRunning(), 300000);
    window_->Batch().JoinThread();
    QTRY_COMPARE(Text(window_.get(), "BtnStart"), QString("인코딩 시작"));
    QCOMPARE(window_->List().text(0, kColStatus), std::string(kKoDone));
    bool found = false;
    for (const auto& entry : fs::directory_iterator(output_))
      found = found || (entry.path().extension() == ".mp4" && fs::file_size(entry.path()) > 0);
    QVERIFY(found);
    QCOMPARE(Text(window_.get(), "StatusLine"), QString("미디어 파일을 변환 완료하였습니다."));
    QVERIFY(Child(window_.get(), "BtnAddFile")->isEnabled());
  }

  void cancelSetsTheRowWaitingAndRulesDuringARun() {
    const std::string clip = testsupport::MakeClip(dir_->file("long.avi"), {.seconds = 60, .size = "640x480"});
    QVERIFY(!clip.empty());
    DropAndProbe({QString::fromStdString(clip)});
    QTest::mouseClick(qobject_cast<QPushButton*>(Child(window_.get(), "BtnStart")), Qt::LeftButton);
    // The run starts after the encoders' capability queries (real ffmpeg runs): a bound that only
    // a hang reaches.
    QTRY_COMPARE_WITH_TIMEOUT(Text(window_.get(), "BtnStart"), QString("인코딩 취소"), 120000);
    // During a run the list and the cancel button stay usable; editing rests.
    QVERIFY(Child(window_.get(), "FileList")->isEnabled());
    QVERIFY(Child(window_.get(), "BtnStart")->isEnabled());
    QVERIFY(Child(window_.get(), "BtnOpenFolder")->isEnabled());
    for (const char* name : {"BtnAddFile", "BtnRemoveCompleted", "BtnMoveUp", "BtnMoveDown", "BtnSettings",
                             "BtnChangeFolder", "OutputFolder"})
      QVERIFY2(!Child(window_.get(), name)->isEnabled(), name);
    QTRY_COMPARE_WITH_TIMEOUT(window_->List().text(0, kColStatus), std::string("진행"), 120000);
    // List commands are ignored during a run.
    SelectRows({0});
    window_->OnListCommand(kCmdDelete);
    QCOMPARE(window_->List().size(), size_t(1));
    QTest::mouseClick(qobject_cast<QPushButton*>(Child(window_.get(), "BtnStart")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsRunning(), 60000);
    window_->Batch().JoinThread();
    QCOMPARE(window_->List().text(0, kColStatus), std::string(kKoWaiting));
    QTRY_COMPARE(Text(window_.get(), "StatusLine"), QString("사용자에 의해 중지되었습니다."));
  }

  void exitQuestionDuringARun() {
    const std::string clip = testsupport::MakeClip(dir_->file("long.avi"), {.seconds = 60, .size = "640x480"});
    QVERIFY(!clip.empty());
    DropAndProbe({QString::fromStdString(clip)});
    const QString typed = QString::fromStdString(dir_->file("typed-out"));
    qobject_cast<QLineEdit*>(Child(window_.get(), "OutputFolder"))->setText(typed);
    window_->OnStartButton();
    QVERIFY(window_->IsRunning());
    QSignalSpy closed(window_.get(), &CMainDLG::Closed);
    // No: the run goes on.
    auto no = AnswerNextQuestion(QMessageBox::No);
    window_->OnBtnExit();
    QVERIFY(*no);
    QVERIFY(window_->IsRunning());
    QVERIFY(!window_->IsClosed());
    QCOMPARE(closed.count(), 0);
    // Yes: the worker is waited for, then the settings are saved.
    auto yes = AnswerNextQuestion(QMessageBox::Yes);
    window_->OnBtnExit();
    QVERIFY(*yes);
    QVERIFY(window_->IsClosed());
    QCOMPARE(closed.count(), 1);
    QVERIFY(!window_->IsRunning());
    EncodingSettings saved;
    StoredPaths paths;
    QCOMPARE(LoadSettings(saved, paths), 1);
    QCOMPARE(QString::fromStdString(paths.output_folder), typed);
  }

  void resizingStopsAtTheSmallestSize() {
    window_->resize(300, 200);
    // 600×460, or more where the language's texts need it.
    QCOMPARE(window_->size(), window_->minimumSize());
    QVERIFY(window_->width() >= 600 && window_->height() >= 460);
    window_->resize(1000, 700);
    QCOMPARE(window_->size(), QSize(1000, 700));
    // The lower groups follow the list down; the list takes the new height.
    QWidget* list = window_->ListView();
    QWidget* output = Child(window_.get(), "OutputGroup");
    QVERIFY(output->geometry().bottom() < window_->height());
    QVERIFY(list->height() > 300);
  }

  void secondCopyHandsOverItsFiles() {
    TempDir runtime;
    // A runtime folder is the user's own, closed to others: the program uses no other.
    QFile::setPermissions(QString::fromStdString(runtime.str()), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    SingleInstance first(QString::fromStdString(runtime.str()));
    QCOMPARE(first.Claim(), SingleInstance::Role::kFirst);
    QSignalSpy received(&first, &SingleInstance::FilesReceived);
    testsupport::WriteFile(dir_->file("handed.avi"), "x");

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_RUNTIME_DIR", QString::fromStdString(runtime.str()));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    auto runSecond = [&](const QStringList& args) -> int {
      QProcess second;
      second.setProcessEnvironment(env);
      second.setWorkingDirectory(QString::fromStdString(dir_->str()));
      second.start(ZELVORA_GUI_PATH, args);
      // The hand-over needs this process's event loop, so wait without blocking it.
      QDeadlineTimer deadline(60000);
      while (second.state() != QProcess::NotRunning && !deadline.hasExpired()) QTest::qWait(20);
      return second.state() == QProcess::NotRunning ? second.exitCode() : -1;
    };
    // Without files the second copy asks the first to come forward, and ends.
    QCOMPARE(runSecond({}), 0);
    QTRY_COMPARE(received.count(), 1);
    QCOMPARE(received.front().front().toStringList(), QStringList());
    // With files it hands them over (relative names made whole) and ends.
    QCOMPARE(runSecond({"handed.avi"}), 0);
    QTRY_COMPARE(received.count(), 2);
    QCOMPARE(received.back().front().toStringList(), QStringList({QString::fromStdString(dir_->file("handed.avi"))}));
  }
};

QTEST_MAIN(TestMainWindow)
#include "test_mainwindow.moc"

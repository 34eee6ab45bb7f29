// The window in use: the support page a user is sent to, and the figures of a real run read
// from the window's own widgets while it runs.
#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QTimer>
#include <QUrl>
#include <functional>
#include <memory>

#include "TestSupport.h"
#include "WindowUnderTest.h"
#include "app/AboutBox.h"
#include "app/MainDLG.h"
#include "encoder/SettingsStore.h"

using testsupport::TempDir;

namespace {

// Stands in for the desktop's browser: what the program asked it to open.
class BrowserStandIn : public QObject {
  Q_OBJECT
 public:
  BrowserStandIn() {
    QDesktopServices::setUrlHandler("https", this, "open");
    QDesktopServices::setUrlHandler("http", this, "open");
  }
  ~BrowserStandIn() override {
    QDesktopServices::unsetUrlHandler("https");
    QDesktopServices::unsetUrlHandler("http");
  }
  QList<QUrl> opened;
 public slots:
  void open(const QUrl& url) { opened << url; }
};

// The home page the AppStream metadata names, as the software centre shows it.
QString MetadataHomePage() {
  QFile file(ZELVORA_METAINFO_PATH);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const auto match = QRegularExpression("<url type=\"homepage\">([^<]+)</url>").match(QString::fromUtf8(file.readAll()));
  return match.hasMatch() ? match.captured(1) : QString();
}

QString Time(QLabel* label) { return label->text(); }

int Seconds(const QString& clock) {
  const QStringList parts = clock.split(':');
  if (parts.size() != 3) return -1;
  return parts[0].toInt() * 3600 + parts[1].toInt() * 60 + parts[2].toInt();
}

}  // namespace

class TestWindowInUse : public QObject {
  Q_OBJECT

 private:
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<CMainDLG> window_;

  void Open(const StoredPaths& stored) {
    window_.reset();
    EncodingSettings settings;
    ResetSettings(settings);
    window_ = windowtest::Show(settings, windowtest::PathsIn(*dir_, stored));
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

 private slots:
  void init() { dir_ = std::make_unique<TempDir>(); }

  void cleanup() {
    window_.reset();
    dir_.reset();
  }

  // "기술 지원" in the about box sends the browser to the support page of the settings: the
  // program's home page (the one its AppStream metadata names) unless the user stored another.
  void theSupportButtonOpensTheSupportPageOfTheSettings() {
    const QString home = MetadataHomePage();
    QVERIFY2(home.startsWith("https://"), qPrintable(home));
    BrowserStandIn browser;
    const struct {
      const char* stored;  // nullptr: none in the store
      QString expected;
    } cases[] = {{nullptr, home}, {"http://help.example.org/zelvora?lang=ko", "http://help.example.org/zelvora?lang=ko"},
                 {"file:///usr/bin/xterm", home}};
    for (const auto& c : cases) {
      // Through the store, as `zelvora settings set` or an edit by hand leaves it.
      const std::string storePath = dir_->file("registry.reg");
      std::filesystem::remove(storePath);
      {
        RegistryStore store(storePath);
        EncodingSettings defaults;
        ResetSettings(defaults);
        QCOMPARE(SaveSettings(defaults, StoredPaths{}, store), 1);
        if (c.stored) QCOMPARE(RegWriteValue(store, kSettingsKey, "support_address", c.stored, kRegSz, 0), 1);
      }
      RegistryStore store(storePath);
      EncodingSettings loaded;
      StoredPaths paths;
      QCOMPARE(LoadSettings(loaded, paths, store), 1);
      Open(paths);

      browser.opened.clear();
      bool clicked = false;
      std::function<void()> click = [&] {
        QWidget* box = QApplication::activeModalWidget();
        if (!box || box->objectName() != "AboutBox") {
          QTimer::singleShot(10, window_.get(), click);
          return;
        }
        auto* support = box->findChild<QPushButton*>("BtnSupport");
        QVERIFY(support);
        QCOMPARE(support->text(), QString("기술 지원"));
        QTest::mouseClick(support, Qt::LeftButton);
        clicked = true;
        box->findChild<QPushButton*>("BtnOk")->click();
      };
      QTimer::singleShot(0, window_.get(), click);
      // The about item of the file menu, as the user picks it.
      QAction* about = nullptr;
      for (QAction* a : window_->FileMenu()->actions())
        if (a->data().toInt() == kCmdAbout) about = a;
      QVERIFY(about);
      about->trigger();
      QVERIFY(clicked);
      QCOMPARE(browser.opened, QList<QUrl>({QUrl(c.expected)}));
    }
  }

  // A real run read as the user reads it: both bars only rise and reach 100, the three times
  // show, the elapsed time counts up and the three add up, and after the run all are back at
  // zero. Everything is read from the window's widgets while the encoder runs.
  void theFiguresOfARealRunAsTheWindowShowsThem() {
    ZELVORA_QSKIP_WITHOUT_PROGRAM("ffmpeg");
    Open(StoredPaths{});
    // Two clips, long enough that the run lasts seconds on any machine.
    QStringList clips;
    for (const char* name : {"first.avi", "second.avi"}) {
      testsupport::ClipSpec spec;
      spec.seconds = 12;
      spec.size = "640x360";
      testsupport::MakeClip(dir_->file(name), spec);
      clips << QString::fromStdString(dir_->file(name));
    }
    QCOMPARE(window_->RunDropFiles(clips), 2);
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsAnalysing(), 60000);

    auto* fileBar = window_->findChild<QProgressBar*>("FileBar");
    auto* totalBar = window_->findChild<QProgressBar*>("TotalBar");
    auto* estimated = window_->findChild<QLabel*>("EstimatedTime");
    auto* elapsed = window_->findChild<QLabel*>("ElapsedTime");
    auto* remaining = window_->findChild<QLabel*>("RemainingTime");
    auto* current = window_->findChild<QLabel*>("CurrentFile");
    auto* output = window_->findChild<QLabel*>("OutputName");
    QVERIFY(fileBar && totalBar && estimated && elapsed && remaining && current && output);

    // Every value each bar takes; a bar starts again at 0 for each file and after the run.
    QList<int> fileValues, totalValues;
    connect(fileBar, &QProgressBar::valueChanged, this, [&](int value) { fileValues << value; });
    connect(totalBar, &QProgressBar::valueChanged, this, [&](int value) { totalValues << value; });
    // The times and names as shown, sampled on every turn of the event loop during the run.
    QStringList elapsedShown, currentShown, outputShown;
    QList<QStringList> threeShown;
    QTimer sampler;
    connect(&sampler, &QTimer::timeout, this, [&] {
      if (!window_->IsRunning()) return;
      const QStringList three = {Time(estimated), Time(elapsed), Time(remaining)};
      if (threeShown.isEmpty() || threeShown.last() != three) threeShown << three;
      if (elapsedShown.isEmpty() || elapsedShown.last() != Time(elapsed)) elapsedShown << Time(elapsed);
      const QString file = current->property("fullText").toString(), out = output->property("fullText").toString();
      if (!file.isEmpty() && !currentShown.contains(file)) currentShown << file;
      if (!out.isEmpty() && !outputShown.contains(out)) outputShown << out;
    });
    sampler.start(0);
    window_->OnStartButton();
    QTRY_VERIFY_WITH_TIMEOUT(!window_->IsRunning(), 300000);
    sampler.stop();
    window_->Batch().JoinThread();
    QTRY_COMPARE(QString::fromStdString(window_->List().text(1, kColStatus)), QString("완료"));
    fileBar->disconnect(this);
    totalBar->disconnect(this);

    // The bars: rising only, to 100, between their starts at 0.
    auto rises = [](const QList<int>& values) {
      QList<QList<int>> runs;
      for (int v : values) {
        if (v == 0 || runs.isEmpty()) runs.append(QList<int>());
        if (v != 0) runs.last() << v;
      }
      runs.removeAll(QList<int>());
      return runs;
    };
    auto said = [](const QList<int>& values) {
      QStringList t;
      for (int v : values) t << QString::number(v);
      return t.join(' ');
    };
    const QList<QList<int>> fileRuns = rises(fileValues), totalRuns = rises(totalValues);
    QVERIFY2(fileRuns.size() == 2, qPrintable(said(fileValues)));
    QVERIFY2(totalRuns.size() == 1, qPrintable(said(totalValues)));
    for (const QList<int>& run : fileRuns + totalRuns) {
      for (int i = 1; i < run.size(); ++i) QVERIFY2(run[i] > run[i - 1], qPrintable(said(run)));
      QVERIFY2(run.last() == 100, qPrintable(said(run)));
    }
    // Both files, each by its name, each with an output name beside it.
    QCOMPARE(currentShown.size(), 2);
    QVERIFY2(currentShown[0].contains("first.avi") && currentShown[1].contains("second.avi"), qPrintable(currentShown.join(", ")));
    QCOMPARE(outputShown.size(), 2);
    // The three times: shown as clock texts, the elapsed one counting up, an estimate shown once
    // time has passed, and the three adding up once an update of all three is in (the window
    // may draw between the three fields of one update). Whether the estimate changes depends on
    // how steadily this machine encodes, so that is not asked.
    const QRegularExpression clock("^\\d\\d:\\d\\d:\\d\\d$");
    int addingUp = 0;
    QSet<QString> estimates;
    for (const QStringList& three : threeShown) {
      for (const QString& t : three) QVERIFY2(clock.match(t).hasMatch(), qPrintable(three.join(" ")));
      if (Seconds(three[1]) > 0) {
        estimates << three[0];
        addingUp += Seconds(three[0]) == Seconds(three[1]) + Seconds(three[2]);
      }
    }
    QVERIFY2(addingUp > 0, qPrintable(elapsedShown.join(" ")));
    estimates.remove("00:00:00");  // before the encoder's first progress line
    QVERIFY2(!estimates.isEmpty(), qPrintable(elapsedShown.join(" ")));
    for (int i = 1; i < elapsedShown.size(); ++i) QVERIFY(Seconds(elapsedShown[i]) >= Seconds(elapsedShown[i - 1]));
    QVERIFY2(elapsedShown.size() >= 2, qPrintable(elapsedShown.join(" ")));
    // After the run: nothing of it stays shown.
    for (QLabel* time : {estimated, elapsed, remaining}) QTRY_COMPARE(time->text(), QString("00:00:00"));
    QTRY_COMPARE(fileBar->value(), 0);
    QTRY_COMPARE(totalBar->value(), 0);
    QVERIFY(current->property("fullText").toString().isEmpty());
  }
};

QTEST_MAIN(TestWindowInUse)
#include "test_window_inuse.moc"

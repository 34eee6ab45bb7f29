// The tray icon: tips, frames, the animation's cycle and a desktop without a tray.
#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QWidget>

#include "app/MenuTray.h"
#include "ui/Skin.h"

namespace {

// Frames told apart by their colour.
QList<QIcon> ColouredFrames(int count) {
  QList<QIcon> frames;
  for (int i = 0; i < count; ++i) {
    QPixmap p(16, 16);
    p.fill(QColor(20 * i, 0, 0));
    frames.append(QIcon(p));
  }
  return frames;
}

}  // namespace

class TestMenuTray : public QObject {
  Q_OBJECT

 private slots:
  void addSetsTipAndWindowIcon() {
    QWidget owner;
    CMenuTray tray;
    const int shown = tray.AddTrayIcon(&owner, QStringLiteral("Zelvora Media Encoder"), ProgramIcon());
    // The off-screen desktop has no notification area: nothing shown, nothing broken.
    QCOMPARE(shown, QSystemTrayIcon::isSystemTrayAvailable() ? 1 : 0);
    QCOMPARE(tray.IsAvailable(), shown == 1);
    QCOMPARE(tray.ToolTip(), QStringLiteral("Zelvora Media Encoder"));
    QCOMPARE(tray.CurrentFrame(), -1);
    QVERIFY(!owner.windowIcon().isNull());
    QCOMPARE(owner.windowIcon().availableSizes(), ProgramIcon().availableSizes());
    if (!tray.IsAvailable()) QVERIFY(!tray.ShowNotification(QStringLiteral("t"), QStringLiteral("완료")));
  }

  void mouseOnTheIconReachesTheOwner() {
    CMenuTray tray;
    tray.AddTrayIcon(nullptr, QStringLiteral("Zelvora Media Encoder"), ProgramIcon());
    auto* icon = tray.findChild<QSystemTrayIcon*>();
    QVERIFY(icon != nullptr);
    QSignalSpy doubles(&tray, &CMenuTray::RestoreRequested);
    QSignalSpy menus(&tray, &CMenuTray::MenuRequested);
    const struct {
      QSystemTrayIcon::ActivationReason reason;
      int doubles;
      int menus;
    } cases[] = {{QSystemTrayIcon::Trigger, 1, 0},
                 {QSystemTrayIcon::DoubleClick, 2, 0},
                 {QSystemTrayIcon::Context, 2, 1},
                 {QSystemTrayIcon::MiddleClick, 2, 1}};
    for (const auto& c : cases) {
      emit icon->activated(c.reason);
      QCOMPARE(doubles.count(), c.doubles);
      QCOMPARE(menus.count(), c.menus);
    }
  }

  void tipsAreCutAndRunningTipFollowsTheBase_data() {
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("tip");
    QTest::addColumn<QString>("running");
    QTest::newRow("product") << "Zelvora Media Encoder" << "Zelvora Media Encoder"
                             << "Zelvora Media Encoder - Running";
    QTest::newRow("empty") << "" << "" << "Running";
    const QString longTip(200, QChar('a'));
    QTest::newRow("long") << longTip << QString(127, QChar('a'))
                          << (QString(127, QChar('a')) + " - Running").left(127);
  }

  void tipsAreCutAndRunningTipFollowsTheBase() {
    QFETCH(QString, base);
    QFETCH(QString, tip);
    QFETCH(QString, running);
    CMenuTray tray;
    tray.AddTrayIcon(nullptr, base, ProgramIcon());
    QCOMPARE(tray.ToolTip(), tip);
    QCOMPARE(tray.RunningTip(), running);
    tray.LoadFrames(ColouredFrames(3));
    tray.StartAnimation(20, 10);
    QCOMPARE(tray.ToolTip(), running);
    tray.StopAnimation();
    QCOMPARE(tray.ToolTip(), tip);
  }

  void framesStopAtTheFirstMissingOne() {
    CMenuTray tray;
    QCOMPARE(tray.LoadFrames(TrayFrames()), 9);
    QList<QIcon> four = ColouredFrames(6);
    four[4] = QIcon();
    QCOMPARE(tray.LoadFrames(four), 4);
    QCOMPARE(tray.LoadFrames({}), 0);
    // Without frames a run shows no animation at all.
    tray.AddTrayIcon(nullptr, QStringLiteral("Z"), ProgramIcon());
    tray.StartAnimation(20, 10);
    QVERIFY(!tray.IsAnimating());
    QCOMPARE(tray.ToolTip(), QStringLiteral("Z"));
  }

  void animationCyclesEveryFrameAndWraps() {
    CMenuTray tray;
    tray.AddTrayIcon(nullptr, QStringLiteral("Zelvora Media Encoder"), ProgramIcon());
    QCOMPARE(tray.LoadFrames(ColouredFrames(4)), 4);
    // A short frame time keeps the test quick; the order is what matters.
    QSignalSpy shown(&tray, &CMenuTray::FrameShown);
    tray.StartAnimation(1, 5);
    QVERIFY(tray.IsAnimating());
    QCOMPARE(tray.FrameInterval(), 5);
    QCOMPARE(tray.CurrentFrame(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(shown.count() >= 6, 10000);
    QList<int> seen;
    for (int i = 0; i < 6; ++i) seen.append(shown.at(i).at(0).toInt());
    QCOMPARE(seen, (QList<int>{0, 1, 2, 3, 0, 1}));
    // A second start while running keeps going; after a stop the static icon and base tip
    // return, and the next run starts again from the first frame.
    tray.StartAnimation(1, 5);
    QVERIFY(tray.IsAnimating());
    tray.StopAnimation();
    QVERIFY(!tray.IsAnimating());
    QCOMPARE(tray.CurrentFrame(), -1);
    QCOMPARE(tray.ToolTip(), QStringLiteral("Zelvora Media Encoder"));
    tray.StartAnimation(20, 10);
    QCOMPARE(tray.CurrentFrame(), 0);
    QCOMPARE(tray.FrameInterval(), 200);
    QCOMPARE(tray.ToolTip(), QStringLiteral("Zelvora Media Encoder - Running"));
  }
};

QTEST_MAIN(TestMenuTray)
#include "test_menutray.moc"

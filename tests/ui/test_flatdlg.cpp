// The skinned dialogs: caption buttons, moving, resizing, maximising and the cut outline.
#include <QApplication>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include "ui/FlatDLG.h"
#include "ui/Skin.h"

namespace {

// Counts the actions the caption hands to the window.
class CountingDlg : public CFlatDLGex {
 public:
  int exits = 0;
  int logos = 0;

 protected:
  void ExitAction() override {
    ++exits;
    CFlatDLGex::ExitAction();
  }
  void LogoAction(const QPoint& at) override {
    ++logos;
    CFlatDLGex::LogoAction(at);
  }
};

QPoint Center(QWidget* w) { return w->rect().center(); }

}  // namespace

class TestFlatDlg : public QObject {
  Q_OBJECT

 private:
  CountingDlg* dlg_ = nullptr;

  CMyStatic* Button(const char* name) { return dlg_->findChild<CMyStatic*>(QString::fromLatin1(name)); }

  // A drag with the left button from `from` by `delta`, in the dialog's coordinates at the
  // press. One move: QTest maps later points through the window's new position, which a real
  // mouse (in screen coordinates) would not.
  void Drag(const QPoint& from, const QPoint& delta) {
    QTest::mousePress(dlg_, Qt::LeftButton, Qt::NoModifier, from);
    QTest::mouseMove(dlg_, from + delta);
    QTest::mouseRelease(dlg_, Qt::LeftButton, Qt::NoModifier, from + delta);
  }

 private slots:
  void init() {
    dlg_ = new CountingDlg;
    dlg_->SetTitle(QStringLiteral("Zelvora Media Encoder"));
    dlg_->SetRegionCut(true, Qt::black);
    dlg_->setMinimumSize(600, 460);
    dlg_->setGeometry(100, 80, 800, 600);
    dlg_->show();
    QVERIFY(QTest::qWaitForWindowExposed(dlg_));
  }

  void cleanup() {
    delete dlg_;
    dlg_ = nullptr;
  }

  void captionButtonsHaveNamesAndTips() {
    const struct {
      const char* name;
      const char* tip;
    } cases[] = {{"BtnMini", "Minimize Window"},
                 {"BtnMaxi", "Maximize/Normalize Window"},
                 {"BtnExit", "Exit Window"},
                 {"BtnLogo", "Windows Control Menu"}};
    for (const auto& c : cases) {
      CMyStatic* b = Button(c.name);
      QVERIFY2(b != nullptr, c.name);
      QCOMPARE(b->toolTip(), QString::fromLatin1(c.tip));
      QVERIFY(b->isVisible());
      // Inside the caption.
      const QRect r(b->mapTo(dlg_, QPoint(0, 0)), b->size());
      QVERIFY2(r.top() >= 0 && r.bottom() < CFlatDLG::kCaptionHeight, c.name);
    }
    // Right-aligned in the order minimise, maximise, close; the logo at the left.
    QVERIFY(Button("BtnMini")->x() < Button("BtnMaxi")->x());
    QVERIFY(Button("BtnMaxi")->x() < Button("BtnExit")->x());
    QVERIFY(Button("BtnExit")->geometry().right() < dlg_->width() - CFlatDLG::kBorderWidth);
    QVERIFY(Button("BtnLogo")->x() < 28);
    // The skin's sizes: 15×16 caption buttons, a 14×14 logo.
    QCOMPARE(Button("BtnExit")->size(), QSize(15, 16));
    QCOMPARE(Button("BtnLogo")->size(), QSize(14, 14));
  }

  void captionButtonLooks() {
    CMyStatic* exit = Button("BtnExit");
    QCOMPARE(exit->CurrentLook(), CMyStatic::kNormal);
    const QImage normal = exit->grab().toImage();
    QEnterEvent enter(QPointF(3, 3), QPointF(3, 3), exit->mapToGlobal(QPointF(3, 3)));
    QApplication::sendEvent(exit, &enter);
    QCOMPARE(exit->CurrentLook(), CMyStatic::kHover);
    const QImage hover = exit->grab().toImage();
    QTest::mousePress(exit, Qt::LeftButton, Qt::NoModifier, Center(exit));
    QCOMPARE(exit->CurrentLook(), CMyStatic::kPressed);
    const QImage pressed = exit->grab().toImage();
    QVERIFY(normal != hover);
    QVERIFY(hover != pressed);
    QVERIFY(normal != pressed);
    QTest::mouseRelease(exit, Qt::LeftButton, Qt::NoModifier, QPoint(200, 200));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(exit, &leave);
    QCOMPARE(exit->CurrentLook(), CMyStatic::kNormal);
  }

  void closeActsOnlyWhenReleasedOverItself() {
    CMyStatic* exit = Button("BtnExit");
    QSignalSpy spy(dlg_, &CFlatDLG::ExitRequested);
    // Released outside: nothing.
    QTest::mousePress(exit, Qt::LeftButton, Qt::NoModifier, Center(exit));
    QTest::mouseRelease(exit, Qt::LeftButton, Qt::NoModifier, QPoint(-30, 40));
    QCOMPARE(dlg_->exits, 0);
    QCOMPARE(dlg_->PressedButton(), int(CFlatDLG::kNone));
    // Released over itself: the exit action, once; the window stays open (the owner decides).
    QTest::mouseClick(exit, Qt::LeftButton, Qt::NoModifier, Center(exit));
    QCOMPARE(dlg_->exits, 1);
    QCOMPARE(spy.count(), 1);
    QVERIFY(dlg_->isVisible());
    // Pressed on one button, released on another: the remembered button does not match.
    QTest::mousePress(Button("BtnMini"), Qt::LeftButton, Qt::NoModifier, Center(Button("BtnMini")));
    QTest::mouseRelease(exit, Qt::LeftButton, Qt::NoModifier, Center(exit));
    QCOMPARE(dlg_->exits, 1);
    QVERIFY(!dlg_->isMinimized());
  }

  void logoOpensTheOwnersMenu() {
    QSignalSpy spy(dlg_, &CFlatDLG::LogoRequested);
    CMyStatic* logo = Button("BtnLogo");
    QTest::mouseClick(logo, Qt::LeftButton, Qt::NoModifier, Center(logo));
    QCOMPARE(dlg_->logos, 1);
    QCOMPARE(spy.count(), 1);
    // The menu opens at the logo, in screen coordinates.
    const QPoint at = spy.at(0).at(0).toPoint();
    QVERIFY(QRect(logo->mapToGlobal(QPoint(0, 0)), QSize(15, 40)).contains(at));
  }

  void maximiseButtonTogglesAndSwapsGlyph() {
    const QRect normal = dlg_->geometry();
    CMyStatic* maxi = Button("BtnMaxi");
    const QImage maximiseGlyph = maxi->grab().toImage();
    QTest::mouseClick(maxi, Qt::LeftButton, Qt::NoModifier, Center(maxi));
    QVERIFY(dlg_->IsMaximized());
    QCOMPARE(dlg_->geometry(), dlg_->screen()->availableGeometry());
    QVERIFY(maxi->Alternate());
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(maxi, &leave);
    QVERIFY(maxi->grab().toImage() != maximiseGlyph);
    // While maximised the frame neither resizes nor moves.
    QCOMPARE(dlg_->ResizeEdgesAt(QPoint(1, 200)), Qt::Edges());
    QTest::mouseClick(maxi, Qt::LeftButton, Qt::NoModifier, Center(maxi));
    QVERIFY(!dlg_->IsMaximized());
    QCOMPARE(dlg_->geometry(), normal);
    QVERIFY(!maxi->Alternate());
    QApplication::sendEvent(maxi, &leave);
    QCOMPARE(maxi->grab().toImage(), maximiseGlyph);
  }

  void doubleClickOnCaptionTogglesMaximised() {
    const QRect normal = dlg_->geometry();
    QTest::mouseDClick(dlg_, Qt::LeftButton, Qt::NoModifier, QPoint(300, 15));
    QVERIFY(dlg_->IsMaximized());
    QVERIFY(Button("BtnMaxi")->Alternate());
    QTest::mouseDClick(dlg_, Qt::LeftButton, Qt::NoModifier, QPoint(300, 15));
    QVERIFY(!dlg_->IsMaximized());
    QCOMPARE(dlg_->geometry(), normal);
    QVERIFY(!Button("BtnMaxi")->Alternate());
    // Below the caption a double click does nothing to the window.
    QTest::mouseDClick(dlg_, Qt::LeftButton, Qt::NoModifier, QPoint(300, 200));
    QVERIFY(!dlg_->IsMaximized());
  }

  void minimiseButtonMinimises() {
    CMyStatic* mini = Button("BtnMini");
    QTest::mouseClick(mini, Qt::LeftButton, Qt::NoModifier, Center(mini));
    QTRY_VERIFY(dlg_->isMinimized());
  }

  void movesByTheCaption() {
    const QRect before = dlg_->geometry();
    Drag(QPoint(300, 15), QPoint(40, 30));
    QCOMPARE(dlg_->geometry(), before.translated(40, 30));
    // Below the caption the body does not move the window.
    Drag(QPoint(300, 200), QPoint(40, 30));
    QCOMPARE(dlg_->geometry(), before.translated(40, 30));
  }

  void resizeZones_data() {
    QTest::addColumn<QPoint>("pos");
    QTest::addColumn<int>("edges");
    QTest::addColumn<int>("cursor");
    const int L = Qt::LeftEdge, R = Qt::RightEdge, T = Qt::TopEdge, B = Qt::BottomEdge;
    // The dialog is 800×600: 5-pixel edges, 10-pixel corners along the edges.
    QTest::newRow("left edge") << QPoint(0, 300) << L << int(Qt::SizeHorCursor);
    QTest::newRow("left edge inner pixel") << QPoint(4, 300) << L << int(Qt::SizeHorCursor);
    QTest::newRow("past the left edge") << QPoint(5, 300) << 0 << int(Qt::ArrowCursor);
    QTest::newRow("right edge") << QPoint(799, 300) << R << int(Qt::SizeHorCursor);
    QTest::newRow("right edge inner pixel") << QPoint(795, 300) << R << int(Qt::SizeHorCursor);
    QTest::newRow("top edge") << QPoint(400, 2) << T << int(Qt::SizeVerCursor);
    QTest::newRow("bottom edge") << QPoint(400, 597) << B << int(Qt::SizeVerCursor);
    QTest::newRow("top-left along the left") << QPoint(1, 9) << (L | T) << int(Qt::SizeFDiagCursor);
    QTest::newRow("top-left along the top") << QPoint(9, 1) << (L | T) << int(Qt::SizeFDiagCursor);
    QTest::newRow("left, just past the corner") << QPoint(1, 10) << L << int(Qt::SizeHorCursor);
    QTest::newRow("top-right") << QPoint(795, 3) << (R | T) << int(Qt::SizeBDiagCursor);
    QTest::newRow("bottom-left") << QPoint(3, 592) << (L | B) << int(Qt::SizeBDiagCursor);
    QTest::newRow("bottom-right") << QPoint(792, 598) << (R | B) << int(Qt::SizeFDiagCursor);
    QTest::newRow("caption") << QPoint(400, 15) << 0 << int(Qt::ArrowCursor);
    QTest::newRow("body") << QPoint(400, 300) << 0 << int(Qt::ArrowCursor);
  }

  void resizeZones() {
    QFETCH(QPoint, pos);
    QFETCH(int, edges);
    QFETCH(int, cursor);
    QCOMPARE(int(dlg_->ResizeEdgesAt(pos)), edges);
    QTest::mouseMove(dlg_, pos);
    QCOMPARE(int(dlg_->cursor().shape()), cursor);
  }

  void sizingCursorDoesNotFollowOntoChildren() {
    auto* child = new QWidget(dlg_);
    child->setGeometry(9, 40, 300, 200);
    child->show();
    QTest::mouseMove(dlg_, QPoint(1, 100));
    QCOMPARE(child->cursor().shape(), Qt::SizeHorCursor);  // inherited while at the edge
    // Straight onto the child, with no move over the frame in between.
    QEnterEvent enter(QPointF(50, 50), QPointF(50, 50), child->mapToGlobal(QPointF(50, 50)));
    QApplication::sendEvent(child, &enter);
    QCOMPARE(child->cursor().shape(), Qt::ArrowCursor);
    QCOMPARE(dlg_->cursor().shape(), Qt::ArrowCursor);
  }

  void resizingFollowsTheDraggedEdgesAndStopsAtTheSmallestSize() {
    const QRect start = dlg_->geometry();
    // Outwards from the lower-right corner: the top-left stays put.
    Drag(QPoint(797, 597), QPoint(30, 20));
    QCOMPARE(dlg_->geometry(), QRect(start.topLeft(), QSize(830, 620)));
    // Far inwards: stops at 600×460.
    Drag(QPoint(827, 617), QPoint(-500, -500));
    QCOMPARE(dlg_->geometry(), QRect(start.topLeft(), QSize(600, 460)));
    // From the upper-left corner inwards: the lower-right corner stays put instead.
    dlg_->setGeometry(start);
    Drag(QPoint(2, 2), QPoint(500, 500));
    QCOMPARE(dlg_->geometry().bottomRight(), start.bottomRight());
    QCOMPARE(dlg_->size(), QSize(600, 460));
    // One edge changes one side only.
    dlg_->setGeometry(start);
    Drag(QPoint(0, 300), QPoint(-25, 40));
    QCOMPARE(dlg_->geometry(), start.adjusted(-25, 0, 0, 0));
  }

  void fixedSizeDialogMovesButDoesNotResize() {
    dlg_->SetResizable(false);
    const QRect start = dlg_->geometry();
    QCOMPARE(dlg_->ResizeEdgesAt(QPoint(797, 597)), Qt::Edges());
    Drag(QPoint(797, 597), QPoint(-100, -100));
    QCOMPARE(dlg_->geometry(), start);
    QTest::mouseDClick(dlg_, Qt::LeftButton, Qt::NoModifier, QPoint(300, 15));
    QVERIFY(!dlg_->IsMaximized());
    QVERIFY(!Button("BtnMaxi")->isVisible());
    Drag(QPoint(300, 15), QPoint(-20, 10));
    QCOMPARE(dlg_->geometry(), start.translated(-20, 10));
  }

  void outlineIsCutAtTheCornersKeyColour() {
    // Expected from the corner images themselves: exactly their black pixels are outside.
    const struct {
      const char* path;
      bool right;
      bool bottom;
    } corners[] = {{kSkinCaptionLeft, false, false},
                   {kSkinCaptionRight, true, false},
                   {kSkinBottomLeft, false, true},
                   {kSkinBottomRight, true, true}};
    const QRegion outline = dlg_->OutlineRegion();
    int cut = 0;
    for (const auto& c : corners) {
      const QImage piece = SkinPixmap(c.path).toImage();
      QVERIFY(!piece.isNull());
      const QPoint origin(c.right ? dlg_->width() - piece.width() : 0, c.bottom ? dlg_->height() - piece.height() : 0);
      for (int y = 0; y < piece.height(); ++y)
        for (int x = 0; x < piece.width(); ++x) {
          const bool black = (piece.pixel(x, y) & 0xffffff) == 0;
          cut += black;
          QCOMPARE(outline.contains(origin + QPoint(x, y)), !black);
        }
    }
    QVERIFY(cut >= 4);  // every corner is rounded
    QVERIFY(outline.contains(QPoint(400, 300)));
    // Pictures: transparent outside the outline, and the key colour never painted.
    const QImage picture = dlg_->GrabWindow();
    QCOMPARE(picture.size(), dlg_->size());
    QCOMPARE(qAlpha(picture.pixel(0, 0)), 0);
    QCOMPARE(qAlpha(picture.pixel(799, 599)), 255 * outline.contains(QPoint(799, 599)));
    QCOMPARE(qAlpha(picture.pixel(400, 300)), 255);
    QVERIFY((dlg_->grab().toImage().pixel(0, 0) & 0xffffff) != 0);
    // Rebuilt after a size change.
    dlg_->resize(700, 500);
    QVERIFY(!dlg_->OutlineRegion().contains(QPoint(699, 0)));
    QVERIFY(dlg_->OutlineRegion().contains(QPoint(650, 250)));
    dlg_->SetRegionCut(false);
    QVERIFY(dlg_->OutlineRegion().contains(QPoint(0, 0)));
  }

  void captionFollowsActivation() {
    QWidget other;
    other.setGeometry(0, 0, 100, 100);
    dlg_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dlg_));
    QVERIFY(dlg_->IsCaptionActive());
    const QImage active = dlg_->grab(QRect(0, 0, 200, CFlatDLG::kCaptionHeight)).toImage();
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QTRY_VERIFY(!dlg_->IsCaptionActive());
    QCOMPARE(Button("BtnLogo")->CurrentLook(), CMyStatic::kInactive);
    QVERIFY(dlg_->grab(QRect(0, 0, 200, CFlatDLG::kCaptionHeight)).toImage() != active);
    dlg_->activateWindow();
    QTRY_VERIFY(dlg_->IsCaptionActive());
    QCOMPARE(Button("BtnLogo")->CurrentLook(), CMyStatic::kNormal);
  }

  void longTitleIsCutBeforeTheButtons() {
    dlg_->SetTitleColors(QColor(50, 82, 143), Qt::white);
    dlg_->resize(600, 460);
    dlg_->SetTitle(QString(20, QChar(0xD55C)) + QStringLiteral(" Zelvora Media Encoder ") + QString(40, QChar(0xAE00)));
    const QImage caption = dlg_->grab(QRect(0, 0, dlg_->width(), CFlatDLG::kCaptionHeight)).toImage();
    const int buttons = Button("BtnMini")->x();
    auto ink = [&](int x0, int x1) {
      int n = 0;
      for (int y = 0; y < caption.height(); ++y)
        for (int x = x0; x < x1; ++x) {
          const QColor c = caption.pixelColor(x, y);
          n += c.blue() - c.red() > 50 && c.red() < 120;
        }
      return n;
    };
    // Text right up to the end of its room, then the gap before the buttons stays clear.
    QVERIFY(ink(28, 200) > 50);
    QVERIFY(ink(buttons - 80, buttons - 6) > 0);
    QCOMPARE(ink(buttons - 5, buttons), 0);
  }

  void fixedDialogKeepsItsActiveCaption() {
    CFlatDLG fixed;
    fixed.setFixedSize(330, 152);
    fixed.show();
    QVERIFY(QTest::qWaitForWindowExposed(&fixed));
    QVERIFY(!fixed.Resizable());
    QCOMPARE(fixed.ResizeEdgesAt(QPoint(329, 151)), Qt::Edges());
    dlg_->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(dlg_));
    QVERIFY(fixed.IsCaptionActive());
    QCOMPARE(fixed.CaptionButton(CFlatDLG::kLogo)->CurrentLook(), CMyStatic::kNormal);
  }

  void clientRectIsInsideTheFrame() {
    QCOMPARE(dlg_->ClientRect(), QRect(5, 31, 800 - 10, 600 - 31 - 25));
  }
};

QTEST_MAIN(TestFlatDlg)
#include "test_flatdlg.moc"

// The toolkit's controls and resources: bitmap buttons, transparent text, the tab control,
// the skin images and the version block.
#include <QApplication>
#include <QSignalSpy>
#include <QTest>

#include "ui/Skin.h"
#include "ui/StaticTrans.h"
#include "ui/VersionInfo.h"
#include "ui/WBButton.h"
#include "ui/XTabCtrl.h"

namespace {

const QColor kBackdrop(200, 30, 30);

// A parent painted in a colour no skin image uses, so that transparency shows.
QWidget* Backdrop(QSize size) {
  auto* w = new QWidget;
  QPalette pal = w->palette();
  pal.setColor(QPalette::Window, kBackdrop);
  w->setPalette(pal);
  w->setAutoFillBackground(true);
  w->resize(size);
  return w;
}

// Columns of `image` holding a pixel close to `color` (within `tolerance` per channel).
QRect InkBox(const QImage& image, const QColor& color, int tolerance) {
  QRect box;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (qAbs(c.red() - color.red()) <= tolerance && qAbs(c.green() - color.green()) <= tolerance &&
          qAbs(c.blue() - color.blue()) <= tolerance)
        box |= QRect(x, y, 1, 1);
    }
  return box;
}

bool Near(const QColor& a, const QColor& b, int tolerance = 3) {
  return qAbs(a.red() - b.red()) <= tolerance && qAbs(a.green() - b.green()) <= tolerance &&
         qAbs(a.blue() - b.blue()) <= tolerance;
}

}  // namespace

class TestWidgets : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    QFont font(QStringLiteral("NanumGothic"));
    font.setPixelSize(12);
    QApplication::setFont(font);
  }

  void skinImagesHaveTheirSizes() {
    const struct {
      const char* path;
      QSize size;
    } cases[] = {
        {kSkinCaptionLeft, {8, 31}},          {kSkinCaptionMiddle, {25, 31}},
        {kSkinCaptionRight, {8, 31}},         {kSkinCaptionInactiveLeft, {8, 31}},
        {kSkinCaptionInactiveMiddle, {25, 31}}, {kSkinCaptionInactiveRight, {8, 31}},
        {kSkinBottomLeft, {8, 25}},           {kSkinBottomMiddle, {25, 25}},
        {kSkinBottomRight, {8, 25}},          {kSkinBorderLeft, {5, 8}},
        {kSkinBorderRight, {5, 8}},           {kSkinMinimize, {15, 48}},
        {kSkinMaximize, {15, 96}},            {kSkinClose, {15, 48}},
        {kSkinLogo, {14, 70}},                {kSkinButton, {200, 23}},
        {kSkinStartButton, {200, 23}},        {kSkinAboutButton, {200, 23}},
        {kSkinFileTypes, {240, 16}},
    };
    for (const auto& c : cases) {
      const QPixmap p = SkinPixmap(c.path);
      QVERIFY2(!p.isNull(), c.path);
      QCOMPARE(p.size(), c.size);
    }
    QVERIFY(SkinPixmap(":/skin/no-such-piece.png").isNull());
  }

  void iconsAndFrames() {
    const QIcon icon = ProgramIcon();
    const QList<QSize> sizes = icon.availableSizes();
    for (int s : {16, 32, 48, 256}) QVERIFY2(sizes.contains(QSize(s, s)), qPrintable(QString::number(s)));
    const QList<QIcon> frames = TrayFrames();
    QCOMPARE(frames.size(), kTrayFrameCount);
    // Each frame differs from the one before: the animation moves.
    for (int i = 1; i < frames.size(); ++i)
      QVERIFY(frames[i].pixmap(16, 16).toImage() != frames[i - 1].pixmap(16, 16).toImage());
  }

  void fileTypeStrip() {
    const QList<QPixmap> icons = FileTypeIcons();
    QCOMPARE(icons.size(), 16);
    const QImage strip = SkinPixmap(kSkinFileTypes).toImage();
    for (int i = 0; i < icons.size(); ++i) {
      QCOMPARE(icons[i].size(), QSize(15, 16));
      const QImage icon = icons[i].toImage();
      // White in the strip is transparent in the icon; everything else is kept as drawn.
      for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 15; ++x) {
          const QRgb src = strip.pixel(15 * i + x, y);
          if ((src & 0xffffff) == 0xffffff)
            QCOMPARE(qAlpha(icon.pixel(x, y)), 0);
          else
            QCOMPARE(icon.pixel(x, y) | 0xff000000u, src | 0xff000000u);
        }
    }
    // The types look different from one another.
    for (int i = 1; i < icons.size(); ++i) QVERIFY(icons[i].toImage() != icons[i - 1].toImage());
  }

  void buttonLoadRefusesWhatItCannotCut() {
    CWBButton b(QStringLiteral("x"));
    QVERIFY(!b.LoadBitmaps(QStringLiteral("/nonexistent/strip.png")));
    QVERIFY(!b.HasBitmaps());
    QPixmap odd(201, 23);
    odd.fill(Qt::gray);
    QVERIFY(!b.LoadBitmaps(odd));  // not five equal images
    QPixmap thin(20, 23);
    odd.fill(Qt::gray);
    QVERIFY(!b.LoadBitmaps(thin, 5, 4, 4, 4, 4));  // 4-pixel images cannot hold 4 + 4 borders
    QVERIFY(b.LoadBitmaps(QString::fromLatin1(kSkinButton)));
    QVERIFY(b.HasBitmaps());
    // Without bitmaps nothing is drawn: the parent shows through.
    QScopedPointer<QWidget> parent(Backdrop(QSize(120, 40)));
    auto* bare = new CWBButton(QStringLiteral("텍스트"), parent.data());
    bare->setGeometry(10, 10, 100, 23);
    const QImage shot = parent->grab().toImage();
    QCOMPARE(InkBox(shot.copy(10, 10, 100, 23), kBackdrop, 0), QRect(0, 0, 100, 23));
  }

  void buttonStates() {
    QScopedPointer<QWidget> parent(Backdrop(QSize(200, 60)));
    auto* b = new CWBButton(QStringLiteral("인코딩 시작"), parent.data());
    QVERIFY(b->LoadBitmaps(QString::fromLatin1(kSkinStartButton)));
    b->setGeometry(10, 10, 120, 23);
    auto* other = new QPushButton(parent.data());
    other->setGeometry(150, 10, 20, 20);
    parent->show();
    QVERIFY(QTest::qWaitForWindowExposed(parent.data()));
    other->setFocus();

    QCOMPARE(b->CurrentState(), CWBButton::kNormal);
    QCOMPARE(b->CurrentTextColor(), QColor(Qt::black));
    QCOMPARE(b->TextRect(), b->rect());

    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), b->mapToGlobal(QPointF(5, 5)));
    QApplication::sendEvent(b, &enter);
    QCOMPARE(b->CurrentState(), CWBButton::kMouseOver);

    b->setDown(true);
    QCOMPARE(b->CurrentState(), CWBButton::kPressed);
    QCOMPARE(b->TextRect(), b->rect().translated(CWBButton::kPressedTextOffset, 0));
    b->setDown(false);

    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(b, &leave);
    parent->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(parent.data()));
    b->setFocus();
    QTRY_VERIFY(b->hasFocus());
    QCOMPARE(b->CurrentState(), CWBButton::kFocused);
    other->setFocus();

    b->setEnabled(false);
    QCOMPARE(b->CurrentState(), CWBButton::kDisabled);
    QCOMPARE(b->CurrentTextColor(), CWBButton::DisabledTextColor());
    // The five states draw five different images.
    QSet<QByteArray> looks;
    b->setEnabled(true);
    auto look = [&] {
      const QImage i = b->grab().toImage().convertToFormat(QImage::Format_ARGB32);
      return QByteArray(reinterpret_cast<const char*>(i.constBits()), i.sizeInBytes());
    };
    looks.insert(look());
    QApplication::sendEvent(b, &enter);
    looks.insert(look());
    b->setDown(true);
    looks.insert(look());
    b->setDown(false);
    QApplication::sendEvent(b, &leave);
    b->setFocus();
    looks.insert(look());
    b->setEnabled(false);
    looks.insert(look());
    QCOMPARE(looks.size(), 5);
  }

  void buttonDrawing() {
    QScopedPointer<QWidget> parent(Backdrop(QSize(160, 40)));
    auto* b = new CWBButton(QStringLiteral("가나다"), parent.data());
    QVERIFY(b->LoadBitmaps(QString::fromLatin1(kSkinButton)));
    b->setGeometry(10, 10, 140, 23);
    parent->show();
    QVERIFY(QTest::qWaitForWindowExposed(parent.data()));
    const QRect area(10, 10, 140, 23);
    const QImage normal = parent->grab(area).toImage();
    // White corners of the strip are transparent: the parent shows there; the face is opaque.
    QVERIFY((SkinPixmap(kSkinButton).toImage().pixel(0, 0) & 0xffffff) == 0xffffff);
    QVERIFY(Near(normal.pixelColor(0, 0), kBackdrop));
    QVERIFY(!Near(normal.pixelColor(70, 3), kBackdrop, 40));
    // Text: dark, centred on one line.
    const QRect ink = InkBox(normal, Qt::black, 60);
    QVERIFY(ink.isValid());
    QVERIFY(qAbs(ink.center().x() - 70) <= 2);
    QVERIFY(qAbs(ink.center().y() - 11) <= 2);
    // Pressed: the same text 5 pixels to the right.
    b->setDown(true);
    const QRect pressedInk = InkBox(parent->grab(area).toImage(), Qt::black, 60);
    QCOMPARE(pressedInk, ink.translated(5, 0));
    b->setDown(false);
    // Disabled: the text turns grey; no black remains.
    b->setEnabled(false);
    const QImage disabled = parent->grab(area).toImage();
    QVERIFY(!InkBox(disabled, Qt::black, 60).isValid());
    const QRect grey = InkBox(disabled, CWBButton::DisabledTextColor(), 30);
    QVERIFY(grey.isValid());
    QVERIFY(ink.contains(grey.center()));
    // The borders keep their pixels when the image is stretched: the left column of the face
    // is the strip's left column.
    const QImage strip = WithTransparentColor(SkinPixmap(kSkinButton).toImage(), qRgb(255, 255, 255));
    b->setEnabled(true);
    const QImage face = parent->grab(area).toImage();
    for (int y = 2; y < 21; ++y) QCOMPARE(face.pixelColor(0, y).rgb() | 0xff000000u, strip.pixel(0, y) | 0xff000000u);
  }

  void transparentText() {
    QScopedPointer<QWidget> parent(Backdrop(QSize(300, 40)));
    auto* text = new CStaticTrans(QStringLiteral("여기에 파일을 끌어다 놓으세요"), parent.data());
    text->SetTextColor(QColor(50, 82, 143));
    text->setAlignment(Qt::AlignCenter);
    text->setGeometry(0, 0, 300, 40);
    parent->show();
    QVERIFY(QTest::qWaitForWindowExposed(parent.data()));
    const QImage shot = parent->grab().toImage();
    QVERIFY(Near(shot.pixelColor(2, 2), kBackdrop));
    const QRect ink = InkBox(shot, QColor(50, 82, 143), 40);
    QVERIFY(ink.isValid());
    QVERIFY(qAbs(ink.center().x() - 150) <= 3);
    // Hangul whole: the ink is as wide as the font's own bounds of the text, not cut.
    QRect drawn;
    for (int y = 0; y < shot.height(); ++y)
      for (int x = 0; x < shot.width(); ++x)
        if (!Near(shot.pixelColor(x, y), kBackdrop, 30)) drawn |= QRect(x, y, 1, 1);
    const QRect bounds = QFontMetrics(text->font()).tightBoundingRect(text->text());
    QVERIFY2(qAbs(drawn.width() - bounds.width()) <= 2 && qAbs(drawn.height() - bounds.height()) <= 2, qPrintable(QStringLiteral("%1x%2 for %3x%4").arg(drawn.width()).arg(drawn.height())
                                 .arg(bounds.width()).arg(bounds.height())));
    QVERIFY(text->testAttribute(Qt::WA_TransparentForMouseEvents));
  }

  void tabControl() {
    CXTabCtrl tabs;
    tabs.resize(400, 200);
    tabs.SetColors(QColor(192, 192, 192), QColor(192, 192, 192), QColor(192, 192, 192), QColor(160, 160, 160));
    QWidget* pages[3] = {new QWidget, new QWidget, new QWidget};
    const char* names[3] = {"비디오", "오디오", "자막"};
    for (int i = 0; i < 3; ++i) QCOMPARE(tabs.InsertItem(i, pages[i], QString::fromUtf8(names[i])), i);
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));
    QCOMPARE(tabs.CurSel(), 0);
    QVERIFY(pages[0]->isVisible());
    QVERIFY(!pages[1]->isVisible() && !pages[2]->isVisible());
    QCOMPARE(pages[0]->geometry(), tabs.PageRect());

    QSignalSpy spy(&tabs, &CXTabCtrl::SelChanged);
    tabs.SelectTab(2);
    QCOMPARE(tabs.CurSel(), 2);
    QVERIFY(!pages[0]->isVisible() && pages[2]->isVisible());
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toInt(), 2);
    tabs.SelectTab(7);  // no such tab: nothing changes
    QCOMPARE(tabs.CurSel(), 2);
    QCOMPARE(spy.count(), 1);

    // A click on a tab selects it.
    QWidget* bar = tabs.findChild<QWidget*>(QStringLiteral("TabBar"));
    QVERIFY(bar != nullptr);
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, tabs.TabRect(1).center());
    QCOMPARE(tabs.CurSel(), 1);
    QCOMPARE(spy.count(), 2);
    QVERIFY(pages[1]->isVisible() && !pages[2]->isVisible());

    // The keyboard reaches every page and stops at the ends.
    const struct {
      Qt::Key key;
      int selected;
    } keys[] = {{Qt::Key_Right, 2}, {Qt::Key_Right, 2}, {Qt::Key_Home, 0}, {Qt::Key_Left, 0},
                {Qt::Key_End, 2}, {Qt::Key_Left, 1}};
    for (const auto& k : keys) {
      QTest::keyClick(bar, k.key);
      QCOMPARE(tabs.CurSel(), k.selected);
      QVERIFY(pages[k.selected]->isVisible());
    }
    QCOMPARE(spy.count(), 6);
  }

  void tabsShareANarrowControl() {
    CXTabCtrl tabs;
    const QStringList texts{"Video settings", "Audio settings", "Subtitle mapping settings", "Other settings"};
    for (const QString& t : texts) tabs.InsertItem(-1, new QWidget, t);
    QFont bold = tabs.font();
    bold.setBold(true);
    for (int width : {900, 300}) {
      tabs.resize(width, 200);
      int right = 0;
      for (int i = 0; i < tabs.Count(); ++i) {
        const QRect r = tabs.TabRect(i);
        QVERIFY(r.left() >= right);  // side by side, never overlapping
        right = r.right() + 1;
        // With room, every tab holds its whole text.
        if (width == 900) QVERIFY(r.width() > QFontMetrics(bold).horizontalAdvance(texts[i]));
      }
      QVERIFY(right <= width);
    }
  }

  void tabHoverHighlight() {
    CXTabCtrl tabs;
    tabs.resize(400, 200);
    const QColor hover(160, 160, 160);
    tabs.SetColors(QColor(192, 192, 192), QColor(192, 192, 192), QColor(192, 192, 192), hover);
    for (const char* name : {"비디오", "오디오", "자막"}) tabs.InsertItem(-1, new QWidget, QString::fromUtf8(name));
    tabs.show();
    QVERIFY(QTest::qWaitForWindowExposed(&tabs));
    QWidget* bar = tabs.findChild<QWidget*>(QStringLiteral("TabBar"));
    QCOMPARE(tabs.HoverIndex(), -1);
    const QRect second = tabs.TabRect(1);
    // A point inside the tab clear of its text and frame.
    const QPoint probe(second.left() + 5, second.top() + 8);
    QVERIFY(!Near(tabs.grab().toImage().pixelColor(probe), hover));
    QTest::mouseMove(bar, second.center());
    QTRY_COMPARE(tabs.HoverIndex(), 1);
    QVERIFY(Near(tabs.grab().toImage().pixelColor(probe), hover));
    QTest::mouseMove(bar, tabs.TabRect(2).center());
    QTRY_COMPARE(tabs.HoverIndex(), 2);
    QVERIFY(!Near(tabs.grab().toImage().pixelColor(probe), hover));
    // The mouse leaves the control: no tab stays highlighted.
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(bar, &leave);
    QCOMPARE(tabs.HoverIndex(), -1);
  }

  void versionBlock_data() {
    QTest::addColumn<QString>("dotted");
    QTest::addColumn<QString>("block");
    QTest::newRow("three parts") << "0.1.0" << "0,1,0,0";
    QTest::newRow("four parts") << "1.2.3.4" << "1,2,3,4";
    QTest::newRow("one part") << "7" << "7,0,0,0";
    QTest::newRow("16-bit ceiling") << "70000.1" << "65535,1,0,0";
    QTest::newRow("largest part") << "65535.65535.65535.65535" << "65535,65535,65535,65535";
    QTest::newRow("empty") << "" << "";
    QTest::newRow("five parts") << "1.2.3.4.5" << "";
    QTest::newRow("letters") << "1.2b" << "";
    QTest::newRow("empty part") << "1..2" << "";
    QTest::newRow("trailing dot") << "1.2." << "";
  }

  void versionBlock() {
    QFETCH(QString, dotted);
    QFETCH(QString, block);
    QCOMPARE(QString::fromStdString(VersionBlockText(dotted.toUtf8().constData())), block);
  }
};

QTEST_MAIN(TestWidgets)
#include "test_widgets.moc"

// Renders the skinned toolkit off screen into PNG pictures, to look at the art as a whole:
// a main-window-like dialog, an about-like box, a tabbed dialog and the enlarged skin pieces.
// Usage: QT_QPA_PLATFORM=offscreen zelvora_skingallery OUTPUT_FOLDER
#include <QApplication>
#include <QDir>
#include <QFrame>
#include <QHeaderView>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QProgressBar>
#include <QTreeWidget>
#include <cstdio>

#include "ui/FlatDLG.h"
#include "ui/Skin.h"
#include "ui/StaticTrans.h"
#include "ui/VersionInfo.h"
#include "ui/WBButton.h"
#include "ui/XTabCtrl.h"

namespace {

QString g_out;

// The window as the desktop would show it: the outline cut by its mask, over a plain backdrop.
void Shoot(QWidget* w, const QString& name) {
  w->show();
  QApplication::processEvents();
  auto* flat = qobject_cast<CFlatDLG*>(w);
  const QImage grabbed = flat != nullptr ? flat->GrabWindow() : w->grab().toImage();
  QImage shot(grabbed.width() + 24, grabbed.height() + 24, QImage::Format_ARGB32);
  shot.fill(QColor(74, 96, 128));
  QPainter p(&shot);
  p.drawImage(12, 12, grabbed);
  p.end();
  shot.save(g_out + "/" + name);
}

QImage Enlarged(const QPixmap& pixmap, int factor) {
  QImage backed(pixmap.size(), QImage::Format_ARGB32);
  backed.fill(QColor(192, 192, 192));
  QPainter p(&backed);
  p.drawPixmap(0, 0, pixmap);
  p.end();
  return backed.scaled(pixmap.size() * factor, Qt::IgnoreAspectRatio, Qt::FastTransformation);
}

void Pieces() {
  QImage sheet(1100, 560, QImage::Format_ARGB32);
  sheet.fill(QColor(192, 192, 192));
  QPainter p(&sheet);
  int x = 10;
  for (const char* path : {kSkinMinimize, kSkinMaximize, kSkinClose, kSkinLogo}) {
    const QImage big = Enlarged(SkinPixmap(path), 4);
    p.drawImage(x, 10, big);
    x += big.width() + 16;
  }
  int y = 10;
  for (const char* path : {kSkinButton, kSkinStartButton}) {
    const QImage big = Enlarged(SkinPixmap(path), 2);
    p.drawImage(x, y, big);
    y += big.height() + 10;
  }
  const QImage types = Enlarged(QPixmap::fromImage(WithTransparentColor(SkinPixmap(kSkinFileTypes).toImage(),
                                                                        qRgb(255, 255, 255))), 3);
  p.drawImage(x, y + 10, types);
  y = 420;
  x = 10;
  const QIcon icon = ProgramIcon();
  for (int size : {16, 32, 48}) {
    p.drawPixmap(x, y, icon.pixmap(size, size));
    x += size + 12;
  }
  p.drawPixmap(x, 300, icon.pixmap(256, 256).scaled(128, 128, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  x += 140;
  const QList<QIcon> frames = TrayFrames();
  for (int i = 0; i < frames.size(); ++i) {
    p.drawPixmap(x + i * 40, y, frames[i].pixmap(16, 16));
    p.drawPixmap(x + i * 40, y + 24, frames[i].pixmap(32, 32));
  }
  p.end();
  sheet.save(g_out + "/pieces.png");
}

CWBButton* Button(const QString& text, QWidget* parent, const char* strip, const QRect& r) {
  auto* b = new CWBButton(text, parent);
  b->LoadBitmaps(strip);
  b->setGeometry(r);
  return b;
}

CFlatDLGex* MainLike() {
  auto* dlg = new CFlatDLGex;
  dlg->SetTitle(QStringLiteral("Zelvora Media Encoder"));
  dlg->SetTitlePos({28, 10});
  dlg->SetTitleColors(QColor(50, 82, 143), Qt::white);
  dlg->SetRegionCut(true, Qt::black);
  dlg->setMinimumSize(600, 460);
  dlg->resize(640, 480);
  auto* frame = new QFrame(dlg);
  frame->setFrameShape(QFrame::StyledPanel);
  frame->setGeometry(9, 35, 622, 230);
  auto* caption = new QLabel(QStringLiteral("원본 파일"), dlg);
  caption->move(18, 37);
  auto* list = new QTreeWidget(dlg);
  list->setGeometry(17, 55, 606, 170);
  list->setHeaderLabels({QStringLiteral("파일 이름"), QStringLiteral("재생 시간"), QStringLiteral("비디오"),
                         QStringLiteral("오디오"), QStringLiteral("상태")});
  list->setRootIsDecorated(false);
  const QList<QPixmap> icons = FileTypeIcons();
  const char* names[] = {"여름 휴가.mp4", "강아지 영상.avi", "회의 녹음.mp3", "콘서트 실황.mkv", "unknown.bin"};
  const int types[] = {12, 6, 1, 8, 0};
  for (int i = 0; i < 5; ++i) {
    auto* item = new QTreeWidgetItem(list, {QString::fromUtf8(names[i]), "00:03:12", i == 2 ? "" : "h264",
                                            "aac", i == 4 ? QStringLiteral("실패") : QStringLiteral("대기")});
    item->setIcon(0, QIcon(icons.value(types[i])));
  }
  list->header()->resizeSection(0, 200);
  auto* hint = new CStaticTrans(QStringLiteral("여기에 동영상 파일을 끌어다 놓으세요"), dlg);
  hint->SetTextColor(QColor(50, 82, 143));
  hint->setAlignment(Qt::AlignCenter);
  hint->setGeometry(17, 170, 606, 30);
  int x = 17;
  for (const char* text : {"파일 추가", "완료된 항목 제거", "위로 이동", "아래로 이동"}) {
    const QString t = QString::fromUtf8(text);
    const int w = QFontMetrics(dlg->font()).horizontalAdvance(t) + 24;
    Button(t, dlg, kSkinButton, QRect(x, 233, w, 23));
    x += w + 4;
  }
  Button(QStringLiteral("인코딩 시작"), dlg, kSkinStartButton, QRect(623 - 90, 233, 90, 23));
  auto* settings = Button(QStringLiteral("인코딩 설정"), dlg, kSkinButton, QRect(623 - 90 - 4 - 90, 233, 90, 23));
  settings->setEnabled(false);
  auto* bar = new QProgressBar(dlg);
  bar->setGeometry(80, 290, 480, 18);
  bar->setValue(42);
  auto* status = new CStaticTrans(QStringLiteral("분석 완료 — 5개 파일"), dlg);
  status->setGeometry(10, 480 - 25 + 4, 400, 18);
  Shoot(dlg, "main.png");
  dlg->SetMaximized(true);
  Shoot(dlg, "main_max.png");
  dlg->SetMaximized(false);
  return dlg;
}

void AboutLike() {
  auto* dlg = new CFlatDLG;
  dlg->SetTitle(QStringLiteral("Zelvora Media Encoder 정보"));
  dlg->SetTitlePos({7 + 21, 7});
  dlg->SetRegionCut(true, Qt::black);
  dlg->setFixedSize(330, 152);
  auto* title = new CStaticTrans(QStringLiteral("Zelvora Media Encoder"), dlg);
  QFont big = title->font();
  big.setBold(true);
  big.setPixelSize(15);
  title->setFont(big);
  title->setGeometry(20, 38, 290, 22);
  QFont mono(QStringLiteral("Courier New"));
  mono.setPixelSize(14);
  const QString version = QString::fromStdString(VersionBlockText("0.1.0"));
  auto* l1 = new CStaticTrans(QStringLiteral("Product Version : ") + version, dlg);
  auto* l2 = new CStaticTrans(QStringLiteral("Program Version : ") + version, dlg);
  l1->setFont(mono);
  l2->setFont(mono);
  l1->setGeometry(20, 62, 290, 16);
  l2->setGeometry(20, 78, 290, 16);
  Button(QStringLiteral("기술 지원"), dlg, kSkinAboutButton, QRect(150, 152 - 25 - 25, 80, 23));
  auto* ok = Button(QStringLiteral("확 인"), dlg, kSkinAboutButton, QRect(236, 152 - 25 - 25, 80, 23));
  ok->setFocus();
  Shoot(dlg, "about.png");
}

void Tabs() {
  auto* dlg = new CFlatDLGex;
  dlg->SetTitle(QStringLiteral("인코딩 설정"));
  dlg->SetTitlePos({28, 10});
  dlg->SetResizable(false);
  dlg->SetRegionCut(true, Qt::black);
  dlg->resize(420, 300);
  auto* tabs = new CXTabCtrl(dlg);
  tabs->SetColors(QColor(192, 192, 192), QColor(192, 192, 192), QColor(192, 192, 192), QColor(160, 160, 160));
  tabs->setGeometry(10, 38, 400, 200);
  for (const char* t : {"비디오", "오디오", "자막", "기타"}) {
    auto* page = new QWidget;
    auto* label = new QLabel(QString::fromUtf8(t) + QStringLiteral(" 설정 페이지"), page);
    label->move(12, 12);
    tabs->InsertItem(tabs->Count(), page, QString::fromUtf8(t));
  }
  Button(QStringLiteral("확 인"), dlg, kSkinButton, QRect(420 - 10 - 80 - 4 - 80, 300 - 25 - 30, 80, 23));
  Button(QStringLiteral("취 소"), dlg, kSkinButton, QRect(420 - 10 - 80, 300 - 25 - 30, 80, 23));
  dlg->show();
  QApplication::processEvents();
  // Hover the second tab the way the mouse would.
  QWidget* bar = tabs->findChild<QWidget*>(QStringLiteral("TabBar"));
  QMouseEvent move(QEvent::MouseMove, tabs->TabRect(2).center(), bar->mapToGlobal(tabs->TabRect(2).center()),
                   Qt::NoButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(bar, &move);
  Shoot(dlg, "tabs.png");
  dlg->activateWindow();
  QApplication::processEvents();
}

// The five looks of a push button, with Korean text, side by side.
void ButtonStates() {
  QWidget body;
  QPalette pal = body.palette();
  pal.setColor(QPalette::Window, QColor(192, 192, 192));
  body.setPalette(pal);
  body.setAutoFillBackground(true);
  body.resize(560, 80);
  const char* labels[] = {"보통", "눌림", "포커스", "사용 안 함", "마우스 위"};
  QList<CWBButton*> buttons;
  for (int row = 0; row < 2; ++row)
    for (int i = 0; i < 5; ++i) {
      auto* b = Button(QString::fromUtf8(labels[i]), &body, row == 0 ? kSkinButton : kSkinStartButton,
                       QRect(10 + i * 108, 12 + row * 34, 100, 23));
      buttons.append(b);
    }
  auto* sink = new QPushButton(&body);
  sink->setGeometry(0, 0, 1, 1);
  body.show();
  sink->setFocus();
  QApplication::processEvents();
  for (int row = 0; row < 2; ++row) {
    CWBButton** b = buttons.data() + row * 5;
    b[1]->setDown(true);
    b[3]->setEnabled(false);
    QEnterEvent enter(QPointF(5, 5), QPointF(5, 5), b[4]->mapToGlobal(QPointF(5, 5)));
    QApplication::sendEvent(b[4], &enter);
  }
  QImage shot(body.size(), QImage::Format_ARGB32);
  QPainter p(&shot);
  body.render(&p);
  // Focus belongs to one widget at a time: each focused look is drawn on its own.
  for (int row = 0; row < 2; ++row) {
    CWBButton* b = buttons[row * 5 + 2];
    b->setFocus();
    QApplication::processEvents();
    b->render(&p, b->pos());
  }
  p.end();
  shot.save(g_out + "/buttons.png");
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: zelvora_skingallery OUTPUT_FOLDER\n");
    return 2;
  }
  QFont font(QStringLiteral("NanumGothic"));
  font.setPixelSize(12);
  QApplication::setFont(font);
  g_out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(g_out);
  Pieces();
  CFlatDLGex* main = MainLike();
  AboutLike();
  Tabs();
  // Another window is active now: the main dialog shows its inactive caption.
  Shoot(main, "main_inactive.png");
  ButtonStates();
  return 0;
}

// CAboutBox: a fixed 330×152 skinned box centred over the main window.
#include "app/AboutBox.h"

#include <QDesktopServices>
#include <QFont>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QUrl>

#include "app/DialogTexts.h"
#include "ui/Skin.h"
#include "ui/StaticTrans.h"
#include "ui/VersionInfo.h"
#include "ui/WBButton.h"

CAboutBox::CAboutBox(const InterfaceTexts& texts, QWidget* parent) : CFlatDLG(parent) {
  setObjectName("AboutBox");
  setWindowTitle(QString::fromUtf8(texts.about_title));
  SetTitle(QString::fromUtf8(texts.about_title));
  SetTitlePos({7, 7});
  SetTitleColors(QColor(50, 82, 143), Qt::white);
  SetRegionCut(true, Qt::black);
  SetResizable(false);
  setFixedSize(kWidth, kHeight);
  QPalette body = palette();
  body.setColor(QPalette::Window, QColor(192, 192, 192));
  setPalette(body);
  setAutoFillBackground(true);

  // A fixed, modal box: only the close button; no logo menu under the title.
  for (int button : {kMinimize, kMaximize, kLogo})
    if (CMyStatic* b = CaptionButton(button)) b->hide();
  const QRect client = ClientRect();
  auto* title = new CStaticTrans(QString::fromUtf8(texts.product_title), this);
  title->setObjectName("ProductTitle");
  QFont titleFont = font();
  titleFont.setBold(true);
  titleFont.setPixelSize(font().pixelSize() > 0 ? font().pixelSize() + 2 : 14);
  title->setFont(titleFont);
  title->SetTextColor(QColor(50, 82, 143));
  title->setGeometry(client.left() + 14, client.top() + 5, client.width() - 28, 20);

  // The version block of this build: the project version, compiled in.
  const QString version = QString::fromStdString(VersionBlockText(ZELVORA_VERSION));
  QFont mono(QStringList{"Courier New", "Liberation Mono", "DejaVu Sans Mono"});
  mono.setStyleHint(QFont::Monospace);
  mono.setPixelSize(12);
  mono.setWeight(QFont::Medium);
  auto* product = new CStaticTrans("Product Version : " + version, this);
  product->setObjectName("ProductVersion");
  product->setFont(mono);
  product->setGeometry(client.left() + 14, client.top() + 27, client.width() - 28, 16);
  auto* program = new CStaticTrans("Program Version : " + version, this);
  program->setObjectName("ProgramVersion");
  program->setFont(mono);
  program->setGeometry(client.left() + 14, client.top() + 43, client.width() - 28, 16);

  auto* support = new CWBButton(QString::fromUtf8(texts.support_button), this);
  support->setObjectName("BtnSupport");
  support->LoadBitmaps(QString::fromLatin1(kSkinAboutButton));
  auto* ok = new CWBButton(QString::fromUtf8(texts.ok_button), this);
  ok->setObjectName("BtnOk");
  ok->LoadBitmaps(QString::fromLatin1(kSkinAboutButton));
  const int buttonY = client.top() + 66;
  ok->setGeometry(client.right() - 14 - 80, buttonY, 80, 23);
  support->setGeometry(client.right() - 14 - 80 - 6 - 80, buttonY, 80, 23);
  const QString address = QString::fromUtf8(texts.support_address ? texts.support_address : "");
  const QString caption = QString::fromUtf8(texts.window_title);
  const DialogTexts& words = SelectDialogTexts(&texts == &SelectInterfaceTexts(1) ? 1 : 0);
  const QString failed = QString::fromUtf8(words.open_failed).arg(address);
  connect(support, &QPushButton::clicked, this, [this, address, caption, failed] {
    // Without a browser nothing would happen at all: the user is told, with the address.
    if (!address.isEmpty() && !QDesktopServices::openUrl(QUrl(address))) QMessageBox::information(this, caption, failed);
  });
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  ok->setDefault(true);

  // Over the main window when it is the larger, else in the middle of the screen.
  QRect around;
  if (parent && parent->width() > kWidth && parent->height() > kHeight)
    around = parent->frameGeometry();
  else if (QScreen* screen = this->screen())
    around = screen->availableGeometry();
  if (around.isValid()) move(around.center() - QPoint(kWidth / 2, kHeight / 2));
}

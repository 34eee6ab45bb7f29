// CAboutBox: a fixed 330×152 skinned box centred over the main window.
#include "app/AboutBox.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QHash>
#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <QFont>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QUrl>
#include <functional>
#include <vector>

#include "app/DialogTexts.h"
#include "ui/Skin.h"
#include "ui/StaticTrans.h"
#include "ui/VersionInfo.h"
#include "ui/WBButton.h"

namespace {

// The encoder's answer per path, asked once per program run. A path still being asked has an
// entry with an empty answer and the callers waiting for it.
struct EncoderAnswer {
  QString line;
  bool answered = false;
  std::vector<std::function<void(const QString&)>> waiting;
};
QHash<QString, EncoderAnswer>& EncoderAnswers() {
  static QHash<QString, EncoderAnswer> answers;
  return answers;
}

// How long the encoder may take to print its version before it counts as not answering.
constexpr int kVersionTimeoutMs = 10000;

void Answer(const QString& path, const QString& line) {
  EncoderAnswer& entry = EncoderAnswers()[path];
  entry.line = line;
  entry.answered = true;
  auto waiting = std::move(entry.waiting);
  entry.waiting.clear();
  for (auto& call : waiting) call(line);
}

// Calls `done` with the first line of `path -version`, at once when known, else when the
// encoder has answered; the window's thread never waits for it.
void AskEncoderVersion(const QString& path, std::function<void(const QString&)> done) {
  EncoderAnswer& entry = EncoderAnswers()[path];
  if (entry.answered) {
    done(entry.line);
    return;
  }
  const bool asking = !entry.waiting.empty();
  entry.waiting.push_back(std::move(done));
  if (asking) return;
  // Owned by the application, so that the answer is kept when the box is closed before it.
  auto* process = new QProcess(QCoreApplication::instance());
  process->setProcessChannelMode(QProcess::SeparateChannels);
  auto* timer = new QTimer(process);
  timer->setSingleShot(true);
  QObject::connect(timer, &QTimer::timeout, process, [process] { process->kill(); });
  QObject::connect(process, &QProcess::finished, process, [process, path](int code, QProcess::ExitStatus status) {
    const QString first = QString::fromLocal8Bit(process->readAllStandardOutput()).section('\n', 0, 0).trimmed();
    Answer(path, status == QProcess::NormalExit && code == 0 && !first.isEmpty() ? first : QString("unknown"));
    process->deleteLater();
  });
  QObject::connect(process, &QProcess::errorOccurred, process, [process, path](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;  // the others end in finished
    Answer(path, "not found");
    process->deleteLater();
  });
  process->start(path, {"-version"});
  timer->start(kVersionTimeoutMs);
}

}  // namespace

QString CAboutBox::EncoderVersion(const QString& encoderPath) {
  const auto it = EncoderAnswers().constFind(encoderPath);
  return it != EncoderAnswers().cend() && it->answered ? it->line : QString();
}

QString CAboutBox::SupportAddress(const StoredPaths& paths) {
  // The loader has refused a stored address that is no web page; empty means the default.
  return paths.support_address.empty() ? QString::fromUtf8(ZELVORA_HOME_PAGE)
                                       : QString::fromStdString(paths.support_address);
}

CAboutBox::CAboutBox(const InterfaceTexts& texts, QWidget* parent, const QString& encoderPath,
                     const QString& supportAddress)
    : CFlatDLG(parent) {
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
  // The second line names the encoder that does the converting: the program's own version is
  // the line above, and which ffmpeg a machine has is what differs between machines.
  auto* program = new CStaticTrans("Encoder Version : ", this);
  program->setObjectName("ProgramVersion");
  program->setFont(mono);
  program->setGeometry(client.left() + 14, client.top() + 43, client.width() - 28, 16);
  if (encoderPath.isEmpty()) {
    program->hide();
  } else {
    QPointer<CStaticTrans> line(program);
    AskEncoderVersion(encoderPath, [line](const QString& answer) {
      if (!line) return;
      // "ffmpeg version N Copyright …": the words before the copyright fit the line; all in the tip.
      QString shown = answer;
      if (int cut = shown.indexOf(" Copyright"); cut > 0) shown.truncate(cut);
      shown.replace(" version ", " ");  // "ffmpeg 5.1.9-0+deb12u1": the line's label says it is a version
      line->setText("Encoder Version : " + shown);
      line->setToolTip(answer);
    });
  }

  auto* support = new CWBButton(QString::fromUtf8(texts.support_button), this);
  support->setObjectName("BtnSupport");
  support->LoadBitmaps(QString::fromLatin1(kSkinAboutButton));
  auto* ok = new CWBButton(QString::fromUtf8(texts.ok_button), this);
  ok->setObjectName("BtnOk");
  ok->LoadBitmaps(QString::fromLatin1(kSkinAboutButton));
  const int buttonY = client.top() + 66;
  ok->setGeometry(client.right() - 14 - 80, buttonY, 80, 23);
  support->setGeometry(client.right() - 14 - 80 - 6 - 80, buttonY, 80, 23);
  const QString address = supportAddress;
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

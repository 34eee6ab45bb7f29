#include "ui/Skin.h"

#include <QFile>
#include <QImage>

// Resources of a static library are registered by an explicit call; outside any namespace.
static void InitSkinResources() { Q_INIT_RESOURCE(skin); }

namespace {

void EnsureResources() {
  static const bool done = [] {
    InitSkinResources();
    return true;
  }();
  (void)done;
}

}  // namespace

QPixmap SkinPixmap(const char* path) {
  EnsureResources();
  QPixmap pixmap;
  if (!pixmap.load(QString::fromLatin1(path))) return QPixmap();
  return pixmap;
}

QImage WithTransparentColor(const QImage& image, QRgb key) {
  QImage out = image.convertToFormat(QImage::Format_ARGB32);
  const QRgb opaqueKey = key | 0xff000000u;
  for (int y = 0; y < out.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x)
      if ((line[x] | 0xff000000u) == opaqueKey && qAlpha(line[x]) == 255) line[x] = 0;
  }
  return out;
}

QIcon ProgramIcon() {
  EnsureResources();
  QIcon icon;
  for (int size : {16, 32, 48, 256}) {
    const QString path = QStringLiteral(":/skin/icon_%1.png").arg(size);
    if (QFile::exists(path)) icon.addFile(path, QSize(size, size));
  }
  return icon;
}

QList<QPixmap> FileTypeIcons() {
  QList<QPixmap> icons;
  const QPixmap strip = SkinPixmap(kSkinFileTypes);
  if (strip.isNull() || strip.height() < 16) return icons;
  const QImage image = WithTransparentColor(strip.toImage(), qRgb(255, 255, 255));
  for (int x = 0; x + 15 <= image.width(); x += 15)
    icons.append(QPixmap::fromImage(image.copy(x, 0, 15, 16)));
  return icons;
}

QList<QIcon> TrayFrames() {
  EnsureResources();
  QList<QIcon> frames;
  for (int i = 1; i <= kTrayFrameCount; ++i) {
    QIcon frame;
    for (int size : {16, 32}) {
      const QString path = QStringLiteral(":/skin/tray_%1_%2.png").arg(i).arg(size);
      if (QFile::exists(path)) frame.addFile(path, QSize(size, size));
    }
    if (frame.isNull()) break;
    frames.append(frame);
  }
  return frames;
}

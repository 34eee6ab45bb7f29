#include "ui/WBButton.h"

#include <QPainter>
#include <QStyleOptionButton>

#include "ui/Skin.h"

namespace {

// Draws `image` over `target`, keeping the border widths unstretched and stretching the rest.
void DrawNineSlice(QPainter& p, const QRect& target, const QPixmap& image, QMargins m) {
  const int w = image.width();
  const int h = image.height();
  // Borders wider than the target shrink to fit rather than overlap.
  m.setLeft(qMin(m.left(), target.width() / 2));
  m.setRight(qMin(m.right(), target.width() - m.left()));
  m.setTop(qMin(m.top(), target.height() / 2));
  m.setBottom(qMin(m.bottom(), target.height() - m.top()));
  const int sx[4] = {0, m.left(), w - m.right(), w};
  const int sy[4] = {0, m.top(), h - m.bottom(), h};
  const int dx[4] = {target.left(), target.left() + m.left(), target.right() + 1 - m.right(), target.right() + 1};
  const int dy[4] = {target.top(), target.top() + m.top(), target.bottom() + 1 - m.bottom(), target.bottom() + 1};
  for (int row = 0; row < 3; ++row)
    for (int col = 0; col < 3; ++col) {
      const QRect src(sx[col], sy[row], sx[col + 1] - sx[col], sy[row + 1] - sy[row]);
      const QRect dst(dx[col], dy[row], dx[col + 1] - dx[col], dy[row + 1] - dy[row]);
      if (src.isEmpty() || dst.isEmpty()) continue;
      p.drawPixmap(dst, image, src);
    }
}

}  // namespace

CWBButton::CWBButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
  setAttribute(Qt::WA_Hover);
  setMouseTracking(true);
}

bool CWBButton::LoadBitmaps(const QString& path, int states, int left, int top, int right, int bottom) {
  // Through the skin, so that resource paths find the skin's resources registered.
  return LoadBitmaps(SkinPixmap(path.toUtf8().constData()), states, left, top, right, bottom);
}

bool CWBButton::LoadBitmaps(const QPixmap& strip, int states, int left, int top, int right, int bottom) {
  images_.clear();
  update();
  if (strip.isNull() || states <= 0 || strip.width() % states != 0) return false;
  const int w = strip.width() / states;
  if (left + right > w || top + bottom > strip.height()) return false;
  const QImage image = WithTransparentColor(strip.toImage(), qRgb(255, 255, 255));
  for (int i = 0; i < states; ++i) images_.append(QPixmap::fromImage(image.copy(i * w, 0, w, image.height())));
  borders_ = QMargins(left, top, right, bottom);
  return true;
}

void CWBButton::SetTextColor(const QColor& color) {
  textColor_ = color;
  update();
}

QColor CWBButton::DisabledTextColor() { return QColor(128, 128, 128); }

CWBButton::State CWBButton::CurrentState() const {
  if (!isEnabled()) return kDisabled;
  if (isDown()) return kPressed;
  if (mouseOver_) return kMouseOver;
  if (hasFocus()) return kFocused;
  return kNormal;
}

QColor CWBButton::CurrentTextColor() const { return isEnabled() ? textColor_ : DisabledTextColor(); }

QRect CWBButton::TextRect() const {
  return CurrentState() == kPressed ? rect().translated(kPressedTextOffset, 0) : rect();
}

QSize CWBButton::sizeHint() const {
  const QFontMetrics fm(font());
  const QSize image = images_.isEmpty() ? QSize(40, 23) : images_.first().size();
  return QSize(qMax(image.width(), fm.horizontalAdvance(text()) + 24), qMax(image.height(), fm.height() + 8));
}

void CWBButton::paintEvent(QPaintEvent*) {
  if (images_.isEmpty()) return;
  const State state = CurrentState();
  QPainter p(this);
  DrawNineSlice(p, rect(), images_[qMin<int>(state, images_.size() - 1)], borders_);
  p.setFont(font());
  p.setPen(CurrentTextColor());
  p.drawText(TextRect(), Qt::AlignCenter | Qt::TextSingleLine | Qt::TextShowMnemonic, text());
}

void CWBButton::enterEvent(QEnterEvent* e) {
  mouseOver_ = true;
  update();
  QPushButton::enterEvent(e);
}

void CWBButton::leaveEvent(QEvent* e) {
  mouseOver_ = false;
  update();
  QPushButton::leaveEvent(e);
}

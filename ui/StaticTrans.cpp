#include "ui/StaticTrans.h"

#include <QPainter>

CStaticTrans::CStaticTrans(const QString& text, QWidget* parent) : QLabel(text, parent) {
  setAttribute(Qt::WA_TranslucentBackground);
  setAttribute(Qt::WA_TransparentForMouseEvents);
  setAutoFillBackground(false);
}

void CStaticTrans::SetTextColor(const QColor& color) {
  textColor_ = color;
  update();
}

void CStaticTrans::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setFont(font());
  p.setPen(textColor_);
  const int flags = static_cast<int>(alignment()) | (wordWrap() ? Qt::TextWordWrap : Qt::TextSingleLine);
  p.drawText(contentsRect(), flags, text());
}

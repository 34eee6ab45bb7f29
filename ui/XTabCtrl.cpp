#include "ui/XTabCtrl.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

// The row of tabs: draws them and tracks the one under the mouse.
class CXTabBar : public QWidget {
 public:
  explicit CXTabBar(CXTabCtrl* owner) : QWidget(owner), owner_(owner) {
    setObjectName(QStringLiteral("TabBar"));
    setMouseTracking(true);
    setAttribute(Qt::WA_Hover);
    // Reachable with Tab, then the arrow keys change pages, as with any tab control.
    setFocusPolicy(Qt::TabFocus);
  }

  int hover() const { return hover_; }

  QRect tabRect(int index) const {
    if (index < 0 || index >= owner_->texts_.size()) return QRect();
    // Each tab as wide as its text (bold when selected) with some air; when they do not all
    // fit, every tab gives up the same share.
    QFont bold = font();
    bold.setBold(true);
    const QFontMetrics fm(bold);
    QList<int> widths;
    int total = 0;
    for (const QString& text : owner_->texts_) {
      widths.append(qMax(60, fm.horizontalAdvance(text) + 24));
      total += widths.last();
    }
    const int room = owner_->width() - 4;
    int x = 2;
    for (int i = 0; i < widths.size(); ++i) {
      const int w = total > room && room > 0 ? widths[i] * room / total : widths[i];
      if (i == index) return QRect(x, 2, w, height() - 2);
      x += w;
    }
    return QRect();
  }

  int tabAt(const QPoint& pos) const {
    for (int i = 0; i < owner_->texts_.size(); ++i)
      if (tabRect(i).contains(pos)) return i;
    return -1;
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.fillRect(rect(), owner_->back_);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor dark(96, 96, 96);
    const QColor light(240, 240, 240);
    for (int i = 0; i < owner_->texts_.size(); ++i) {
      if (i == owner_->current_) continue;
      drawTab(p, i, false, dark, light);
    }
    // The page's top line, interrupted under the selected tab, which is drawn last.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(light);
    p.drawLine(0, height() - 1, width() - 1, height() - 1);
    p.setRenderHint(QPainter::Antialiasing);
    if (owner_->current_ >= 0) drawTab(p, owner_->current_, true, dark, light);
  }

  void drawTab(QPainter& p, int i, bool selected, const QColor& dark, const QColor& light) {
    QRect r = tabRect(i);
    if (!selected) r.adjust(1, 2, -1, -1);
    QPainterPath path;
    const qreal radius = 4;
    path.moveTo(r.left() + 0.5, r.bottom() + 1);
    path.lineTo(r.left() + 0.5, r.top() + radius);
    path.quadTo(r.left() + 0.5, r.top() + 0.5, r.left() + radius, r.top() + 0.5);
    path.lineTo(r.right() - radius, r.top() + 0.5);
    path.quadTo(r.right() + 0.5, r.top() + 0.5, r.right() + 0.5, r.top() + radius);
    path.lineTo(r.right() + 0.5, r.bottom() + 1);
    const QColor fill = selected ? owner_->selected_ : (i == hover_ ? owner_->hover_ : owner_->normal_);
    p.fillPath(path, fill);
    p.setPen(QPen(light, 1));
    QPainterPath lit;
    lit.moveTo(r.left() + 0.5, r.bottom() + 1);
    lit.lineTo(r.left() + 0.5, r.top() + radius);
    lit.quadTo(r.left() + 0.5, r.top() + 0.5, r.left() + radius, r.top() + 0.5);
    lit.lineTo(r.right() - radius, r.top() + 0.5);
    p.drawPath(lit);
    p.setPen(QPen(dark, 1));
    QPainterPath shade;
    shade.moveTo(r.right() - radius, r.top() + 0.5);
    shade.quadTo(r.right() + 0.5, r.top() + 0.5, r.right() + 0.5, r.top() + radius);
    shade.lineTo(r.right() + 0.5, r.bottom() + 1);
    p.drawPath(shade);
    QFont f = font();
    f.setBold(selected);
    p.setFont(f);
    p.setPen(owner_->text_);
    const QString text = QFontMetrics(f).elidedText(owner_->texts_[i], Qt::ElideRight, r.width() - 8);
    p.drawText(r, Qt::AlignCenter | Qt::TextSingleLine, text);
    if (selected && hasFocus()) {
      p.setRenderHint(QPainter::Antialiasing, false);
      p.setPen(QPen(owner_->text_, 1, Qt::DotLine));
      p.setBrush(Qt::NoBrush);
      p.drawRect(r.adjusted(4, 4, -5, -4));
      p.setRenderHint(QPainter::Antialiasing);
    }
  }

  void keyPressEvent(QKeyEvent* e) override {
    const int count = static_cast<int>(owner_->texts_.size());
    if (count == 0) return QWidget::keyPressEvent(e);
    int index = owner_->current_;
    switch (e->key()) {
      case Qt::Key_Left: index = qMax(0, index - 1); break;
      case Qt::Key_Right: index = qMin(count - 1, index + 1); break;
      case Qt::Key_Home: index = 0; break;
      case Qt::Key_End: index = count - 1; break;
      default: return QWidget::keyPressEvent(e);
    }
    if (index != owner_->current_) owner_->SelectTab(index);
  }

  void focusInEvent(QFocusEvent*) override { update(); }
  void focusOutEvent(QFocusEvent*) override { update(); }

  void mouseMoveEvent(QMouseEvent* e) override { setHover(tabAt(e->position().toPoint())); }
  void leaveEvent(QEvent*) override { setHover(-1); }
  void mousePressEvent(QMouseEvent* e) override {
    if (e->button() != Qt::LeftButton) return;
    const int index = tabAt(e->position().toPoint());
    if (index >= 0 && index != owner_->current_) owner_->SelectTab(index);
  }

 private:
  void setHover(int index) {
    if (index == hover_) return;
    hover_ = index;
    update();
  }

  CXTabCtrl* owner_;
  int hover_ = -1;
};

CXTabCtrl::CXTabCtrl(QWidget* parent) : QWidget(parent), bar_(new CXTabBar(this)) {
  setObjectName(QStringLiteral("TabCtrl"));
}

int CXTabCtrl::InsertItem(int index, QWidget* page, const QString& text, int /*image*/) {
  if (index < 0 || index > pages_.size()) index = static_cast<int>(pages_.size());
  pages_.insert(index, page);
  texts_.insert(index, text);
  if (page != nullptr) {
    page->setParent(this);
    page->setGeometry(PageRect());
  }
  if (current_ < 0) {
    current_ = 0;
  } else if (index <= current_) {
    ++current_;
  }
  for (int i = 0; i < pages_.size(); ++i)
    if (pages_[i] != nullptr) pages_[i]->setVisible(i == current_);
  bar_->update();
  return index;
}

void CXTabCtrl::SelectTab(int index) {
  if (index < 0 || index >= pages_.size()) return;
  if (current_ >= 0 && current_ < pages_.size() && pages_[current_] != nullptr) pages_[current_]->hide();
  current_ = index;
  if (pages_[index] != nullptr) {
    pages_[index]->setGeometry(PageRect());
    pages_[index]->show();
  }
  bar_->update();
  emit SelChanged(index);
}

QWidget* CXTabCtrl::Page(int index) const { return index >= 0 && index < pages_.size() ? pages_[index] : nullptr; }

QString CXTabCtrl::TabText(int index) const { return index >= 0 && index < texts_.size() ? texts_[index] : QString(); }

void CXTabCtrl::SetColors(const QColor& selected, const QColor& normal, const QColor& back, const QColor& hover) {
  selected_ = selected;
  normal_ = normal;
  back_ = back;
  hover_ = hover;
  bar_->update();
  update();
}

void CXTabCtrl::SetTextColor(const QColor& color) {
  text_ = color;
  bar_->update();
}

int CXTabCtrl::HoverIndex() const { return bar_->hover(); }

QRect CXTabCtrl::TabRect(int index) const { return bar_->tabRect(index).translated(bar_->pos()); }

QRect CXTabCtrl::PageRect() const { return rect().adjusted(3, kTabHeight + 3, -3, -3); }

void CXTabCtrl::resizeEvent(QResizeEvent*) {
  bar_->setGeometry(0, 0, width(), kTabHeight + 1);
  for (QWidget* page : pages_)
    if (page != nullptr) page->setGeometry(PageRect());
}

void CXTabCtrl::paintEvent(QPaintEvent*) {
  // The page frame: light on the top and left, dark on the bottom and right.
  QPainter p(this);
  const QRect r = rect().adjusted(0, kTabHeight, -1, -1);
  p.fillRect(r, selected_);
  p.setPen(QColor(240, 240, 240));
  p.drawLine(r.topLeft(), r.bottomLeft());
  p.setPen(QColor(96, 96, 96));
  p.drawLine(r.bottomLeft(), r.bottomRight());
  p.drawLine(r.topRight(), r.bottomRight());
}

#include "ui/FlatDLG.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QWindow>

#include <functional>

#include "support/DebugLog.h"
#include "ui/Skin.h"

namespace {

// Watches every widget of the application for the mouse entering one of the dialog's children.
// It is an object of its own: the application keeps one entry per filter object, so a dialog
// that installed and removed itself would also remove the filter its subclass installed (the
// main window's keys), and every shortcut would stop after the first hover over a border.
class ChildEnterWatcher : public QObject {
 public:
  ChildEnterWatcher(QWidget* dialog, std::function<void()> entered)
      : QObject(dialog), dialog_(dialog), entered_(std::move(entered)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() == QEvent::Enter && watched != dialog_ && watched->isWidgetType() &&
        dialog_->isAncestorOf(static_cast<QWidget*>(watched)))
      entered_();
    return false;
  }

 private:
  QWidget* dialog_;
  std::function<void()> entered_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// CMyStatic

CMyStatic::CMyStatic(int number, const QString& name, QWidget* parent) : QWidget(parent), number_(number) {
  setObjectName(name);
  setAttribute(Qt::WA_Hover);
  setMouseTracking(true);
}

bool CMyStatic::SetStrip(const QPixmap& strip, int states) {
  images_.clear();
  if (strip.isNull() || states <= 0 || strip.height() % states != 0) return false;
  const int h = strip.height() / states;
  for (int i = 0; i < states; ++i) images_.append(strip.copy(0, i * h, strip.width(), h));
  setFixedSize(strip.width(), h);
  update();
  return true;
}

CMyStatic::Look CMyStatic::CurrentLook() const {
  if (pressed_ && hover_) return kPressed;
  if (hover_ || pressed_) return kHover;
  if (inactive_) return kInactive;
  return kNormal;
}

void CMyStatic::SetAlternate(bool on) {
  alternate_ = on;
  update();
}

void CMyStatic::SetInactive(bool on) {
  inactive_ = on;
  update();
}

QSize CMyStatic::sizeHint() const { return images_.isEmpty() ? QSize(15, 16) : images_.first().size(); }

void CMyStatic::paintEvent(QPaintEvent*) {
  if (images_.isEmpty()) return;
  int index = CurrentLook();
  // Strips of three have no inactive look; six hold the second glyph after the first three.
  if (index == kInactive && images_.size() <= kInactive) index = kNormal;
  if (images_.size() == 6) index = (index == kInactive ? kNormal : index) + (alternate_ ? 3 : 0);
  if (index >= images_.size()) index = 0;
  QPainter p(this);
  p.drawPixmap(0, 0, images_[index]);
}

void CMyStatic::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  pressed_ = true;
  hover_ = true;
  update();
  emit Message(0, number_);
}

void CMyStatic::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton || !pressed_) return;
  pressed_ = false;
  hover_ = rect().contains(e->position().toPoint());
  update();
  // Released elsewhere: the press is forgotten and nothing happens.
  emit Message(hover_ ? 1 : -1, number_);
}

void CMyStatic::mouseDoubleClickEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  // A double click is a second press for the button; its release then acts once more.
  pressed_ = true;
  update();
  emit Message(2, number_);
}

void CMyStatic::enterEvent(QEnterEvent*) {
  hover_ = true;
  update();
}

void CMyStatic::leaveEvent(QEvent*) {
  hover_ = false;
  update();
}

// ---------------------------------------------------------------------------------------------
// CFlatDLG

CFlatDLG::CFlatDLG(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Window | Qt::FramelessWindowHint);
  setMouseTracking(true);
  setAutoFillBackground(false);
  setContentsMargins(kBorderWidth, kCaptionHeight, kBorderWidth, kBottomHeight);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QColor(192, 192, 192));
  setPalette(pal);

  capLeft_ = SkinPixmap(kSkinCaptionLeft);
  capMiddle_ = SkinPixmap(kSkinCaptionMiddle);
  capRight_ = SkinPixmap(kSkinCaptionRight);
  inLeft_ = SkinPixmap(kSkinCaptionInactiveLeft);
  inMiddle_ = SkinPixmap(kSkinCaptionInactiveMiddle);
  inRight_ = SkinPixmap(kSkinCaptionInactiveRight);
  bottomLeft_ = SkinPixmap(kSkinBottomLeft);
  bottomMiddle_ = SkinPixmap(kSkinBottomMiddle);
  bottomRight_ = SkinPixmap(kSkinBottomRight);
  borderLeft_ = SkinPixmap(kSkinBorderLeft);
  borderRight_ = SkinPixmap(kSkinBorderRight);

  btnMini_ = new CMyStatic(kMinimize, QStringLiteral("BtnMini"), this);
  btnMaxi_ = new CMyStatic(kMaximize, QStringLiteral("BtnMaxi"), this);
  btnExit_ = new CMyStatic(kClose, QStringLiteral("BtnExit"), this);
  btnLogo_ = new CMyStatic(kLogo, QStringLiteral("BtnLogo"), this);
  btnMini_->SetStrip(SkinPixmap(kSkinMinimize), 3);
  btnMaxi_->SetStrip(SkinPixmap(kSkinMaximize), 6);
  btnExit_->SetStrip(SkinPixmap(kSkinClose), 3);
  btnLogo_->SetStrip(SkinPixmap(kSkinLogo), 5);
  btnMini_->setToolTip(QStringLiteral("Minimize Window"));
  btnMaxi_->setToolTip(QStringLiteral("Maximize/Normalize Window"));
  btnExit_->setToolTip(QStringLiteral("Exit Window"));
  btnLogo_->setToolTip(QStringLiteral("Windows Control Menu"));
  for (CMyStatic* b : {btnMini_, btnMaxi_, btnExit_, btnLogo_})
    connect(b, &CMyStatic::Message, this, &CFlatDLG::OnButtonMessage);
  btnMaxi_->setVisible(resizable_);

  resize(400, 300);
}

void CFlatDLG::SetTitle(const QString& title) {
  title_ = title;
  setWindowTitle(title);
  update();
}

void CFlatDLG::SetTitlePos(const QPoint& pos) {
  titlePos_ = pos;
  update();
}

void CFlatDLG::SetTitleColors(const QColor& text, const QColor& shadow) {
  titleColor_ = text;
  titleShadow_ = shadow;
  update();
}

void CFlatDLG::SetTitleFont(const QFont& font) {
  titleFont_ = font;
  titleFontSet_ = true;
  update();
}

void CFlatDLG::SetResizable(bool on) {
  resizable_ = on;
  // A window that cannot change its size cannot be maximised either.
  btnMaxi_->setVisible(on);
  if (!on && maximized_) SetMaximized(false);
  PlaceCaptionButtons();
}

void CFlatDLG::SetRegionCut(bool on, const QColor& key) {
  regionCut_ = on;
  regionKey_ = key;
  UpdateRegion();
}

void CFlatDLG::SetMaximized(bool on) {
  if (on == maximized_ || (on && !resizable_)) return;
  if (on) {
    normalGeometry_ = geometry();
    QScreen* s = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    maximized_ = true;
    if (s != nullptr) setGeometry(s->availableGeometry());
  } else {
    maximized_ = false;
    if (normalGeometry_.isValid()) setGeometry(normalGeometry_);
  }
  btnMaxi_->SetAlternate(maximized_);
  SetSizingCursor(std::nullopt);
}

QRect CFlatDLG::ClientRect() const { return contentsRect(); }

QImage CFlatDLG::GrabWindow() {
  QImage image = grab().toImage().convertToFormat(QImage::Format_ARGB32);
  if (!regionCut_) return image;
  const qreal ratio = image.devicePixelRatio();
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x)
      if (!outline_.contains(QPoint(int(x / ratio), int(y / ratio)))) line[x] = 0;
  }
  return image;
}

Qt::Edges CFlatDLG::ResizeEdgesAt(const QPoint& pos) const {
  Qt::Edges edges;
  if (!resizable_ || maximized_ || !rect().contains(pos)) return edges;
  const int w = width();
  const int h = height();
  const bool left = pos.x() < kEdgeZone;
  const bool right = pos.x() >= w - kEdgeZone;
  const bool top = pos.y() < kEdgeZone;
  const bool bottom = pos.y() >= h - kEdgeZone;
  if (left) edges |= Qt::LeftEdge;
  if (right) edges |= Qt::RightEdge;
  if (top) edges |= Qt::TopEdge;
  if (bottom) edges |= Qt::BottomEdge;
  // Near a corner along an edge, the press takes the corner.
  if (left || right) {
    if (pos.y() < kCornerZone) edges |= Qt::TopEdge;
    if (pos.y() >= h - kCornerZone) edges |= Qt::BottomEdge;
  }
  if (top || bottom) {
    if (pos.x() < kCornerZone) edges |= Qt::LeftEdge;
    if (pos.x() >= w - kCornerZone) edges |= Qt::RightEdge;
  }
  return edges;
}

CMyStatic* CFlatDLG::CaptionButton(int number) const {
  switch (number) {
    case kMinimize: return btnMini_;
    case kMaximize: return btnMaxi_;
    case kClose: return btnExit_;
    case kLogo: return btnLogo_;
    default: return nullptr;
  }
}

void CFlatDLG::ExitAction() {
  DebugLog(kDebugTarget, "CFlatDLG::ExitAction");
  emit ExitRequested();
}

void CFlatDLG::LogoAction(const QPoint& globalPos) { emit LogoRequested(globalPos); }

void CFlatDLG::OnButtonMessage(int event, int number) {
  DebugLog(kDebugTarget, "OnMesgFromBtn:%d", event);
  if (event == 0 || event == 2) {
    pressedButton_ = number;
    return;
  }
  const int pressed = pressedButton_;
  pressedButton_ = kNone;
  if (event != 1 || pressed != number) return;
  switch (number) {
    case kMinimize: showMinimized(); break;
    case kMaximize: ToggleMaximized(); break;
    case kClose: ExitAction(); break;
    case kLogo: {
      const CMyStatic* logo = btnLogo_;
      LogoAction(logo->mapToGlobal(QPoint(0, logo->height())));
      break;
    }
    default: break;
  }
}

void CFlatDLG::PlaceCaptionButtons() {
  // Right-aligned in the order minimise, maximise, close, centred in the caption's height.
  const int y = (kCaptionHeight - btnExit_->height()) / 2;
  int x = width() - kBorderWidth - 3 - btnExit_->width();
  btnExit_->move(x, y);
  if (btnMaxi_->isVisibleTo(this)) {
    x -= btnMaxi_->width() + 2;
    btnMaxi_->move(x, y);
  }
  x -= btnMini_->width() + 2;
  btnMini_->move(x, y);
  btnLogo_->move(kBorderWidth + 4, (kCaptionHeight - btnLogo_->height()) / 2);
}

void CFlatDLG::DrawRow(QPainter& p, int y, int height, const QPixmap& left, const QPixmap& middle,
                       const QPixmap& right) {
  const int w = width();
  const int leftW = left.isNull() ? 0 : left.width();
  const int rightW = right.isNull() ? 0 : right.width();
  if (!middle.isNull())
    p.drawTiledPixmap(QRect(leftW, y, qMax(0, w - leftW - rightW), height), middle);
  if (!left.isNull()) p.drawPixmap(0, y, left);
  if (!right.isNull()) p.drawPixmap(w - rightW, y, right);
}

void CFlatDLG::paintEvent(QPaintEvent*) {
  QPainter p(this);
  // Nothing outside the outline: where the platform cannot shape the window (off-screen
  // pictures) the corners then show the plain background rather than the key colour.
  if (regionCut_ && !outline_.isEmpty()) p.setClipRegion(outline_);
  p.fillRect(rect(), palette().color(QPalette::Window));
  const bool active = captionActive_ || !tracksActivation_;
  DrawRow(p, 0, kCaptionHeight, active ? capLeft_ : inLeft_, active ? capMiddle_ : inMiddle_,
          active ? capRight_ : inRight_);
  const int sideTop = kCaptionHeight;
  const int sideHeight = height() - kCaptionHeight - kBottomHeight;
  if (sideHeight > 0) {
    if (!borderLeft_.isNull())
      p.drawTiledPixmap(QRect(0, sideTop, borderLeft_.width(), sideHeight), borderLeft_);
    if (!borderRight_.isNull())
      p.drawTiledPixmap(QRect(width() - borderRight_.width(), sideTop, borderRight_.width(), sideHeight),
                        borderRight_);
  }
  DrawRow(p, height() - kBottomHeight, kBottomHeight, bottomLeft_, bottomMiddle_, bottomRight_);

  if (!title_.isEmpty()) {
    // Single line, cut with an ellipsis before the caption buttons.
    const int right = btnMini_->x() - 6;
    // Until a window chooses a caption font, the caption follows the window's own font at the
    // normal weight, as every skinned window's caption has it (the settings dialog sets it so).
    QFont font = titleFont_;
    if (!titleFontSet_) {
      font = this->font();
      font.setWeight(QFont::Normal);
    }
    p.setFont(font);
    const QFontMetrics fm(font);
    const QString text = fm.elidedText(title_, Qt::ElideRight, qMax(0, right - titlePos_.x()));
    const QRect box(titlePos_.x(), titlePos_.y(), qMax(0, right - titlePos_.x()), fm.height());
    // The top of the text box sits at the given position, as a top-aligned single line.
    p.setPen(titleShadow_);
    p.drawText(box.translated(1, 1), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    p.setPen(titleColor_);
    p.drawText(box, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
  }
}

void CFlatDLG::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  PlaceCaptionButtons();
  UpdateRegion();
}

void CFlatDLG::UpdateRegion() {
  // Off-screen platforms keep no window shape; the outline is still computed for whoever asks.
  const bool shaped = QGuiApplication::platformName() != QLatin1String("offscreen") &&
                      QGuiApplication::platformName() != QLatin1String("minimal");
  if (!regionCut_) {
    outline_ = QRegion(rect());
    if (shaped) clearMask();
    return;
  }
  QRegion region(rect());
  const QRgb key = regionKey_.rgb() | 0xff000000u;
  auto cut = [&](const QPixmap& piece, int x0, int y0) {
    if (piece.isNull()) return;
    const QImage image = piece.toImage().convertToFormat(QImage::Format_ARGB32);
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x)
        if ((image.pixel(x, y) | 0xff000000u) == key) region -= QRegion(x0 + x, y0 + y, 1, 1);
  };
  cut(capLeft_, 0, 0);
  cut(capRight_, width() - capRight_.width(), 0);
  cut(bottomLeft_, 0, height() - kBottomHeight);
  cut(bottomRight_, width() - bottomRight_.width(), height() - kBottomHeight);
  outline_ = region;
  if (shaped) setMask(region);
}

void CFlatDLG::changeEvent(QEvent* e) {
  if (e->type() == QEvent::ActivationChange && tracksActivation_) {
    captionActive_ = isActiveWindow();
    btnLogo_->SetInactive(!captionActive_);
    update();
  }
  QDialog::changeEvent(e);
}

bool CFlatDLG::CaptionAt(const QPoint& pos) const { return pos.y() >= 0 && pos.y() < kCaptionHeight; }

void CFlatDLG::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) {
    QDialog::mousePressEvent(e);
    return;
  }
  const QPoint pos = e->position().toPoint();
  const Qt::Edges edges = ResizeEdgesAt(pos);
  if (edges == Qt::Edges() && (!CaptionAt(pos) || maximized_)) {
    QDialog::mousePressEvent(e);
    return;
  }
  // Wayland lets no client place its own window; the compositor moves and resizes it there.
  if (QGuiApplication::platformName() == QLatin1String("wayland") && windowHandle() != nullptr) {
    if (edges != Qt::Edges() ? windowHandle()->startSystemResize(edges) : windowHandle()->startSystemMove())
      return;
  }
  dragging_ = true;
  dragEdges_ = edges;
  dragStart_ = e->globalPosition().toPoint();
  dragGeometry_ = geometry();
}

void CFlatDLG::mouseMoveEvent(QMouseEvent* e) {
  if (!dragging_) {
    UpdateCursor(e->position().toPoint());
    QDialog::mouseMoveEvent(e);
    return;
  }
  const QPoint delta = e->globalPosition().toPoint() - dragStart_;
  if (dragEdges_ == Qt::Edges()) {
    move(dragGeometry_.topLeft() + delta);
    return;
  }
  // The edge being dragged follows the mouse; the opposite edge stays put, and the size never
  // goes below the smallest size (nor above the largest).
  const QSize minSize = minimumSize().expandedTo(QSize(2 * kCornerZone + 1, kCaptionHeight + kBottomHeight));
  const QSize maxSize = maximumSize();
  QRect g = dragGeometry_;
  if (dragEdges_ & Qt::LeftEdge)
    g.setLeft(qBound(g.right() - maxSize.width() + 1, g.left() + delta.x(), g.right() - minSize.width() + 1));
  if (dragEdges_ & Qt::RightEdge)
    g.setRight(qBound(g.left() + minSize.width() - 1, g.right() + delta.x(), g.left() + maxSize.width() - 1));
  if (dragEdges_ & Qt::TopEdge)
    g.setTop(qBound(g.bottom() - maxSize.height() + 1, g.top() + delta.y(), g.bottom() - minSize.height() + 1));
  if (dragEdges_ & Qt::BottomEdge)
    g.setBottom(qBound(g.top() + minSize.height() - 1, g.bottom() + delta.y(), g.top() + maxSize.height() - 1));
  setGeometry(g);
}

void CFlatDLG::mouseReleaseEvent(QMouseEvent* e) {
  if (dragging_ && e->button() == Qt::LeftButton) {
    dragging_ = false;
    UpdateCursor(e->position().toPoint());
    return;
  }
  QDialog::mouseReleaseEvent(e);
}

void CFlatDLG::mouseDoubleClickEvent(QMouseEvent* e) {
  const QPoint pos = e->position().toPoint();
  if (e->button() == Qt::LeftButton && CaptionAt(pos) && ResizeEdgesAt(pos) == Qt::Edges() && resizable_) {
    dragging_ = false;
    ToggleMaximized();
    return;
  }
  QDialog::mouseDoubleClickEvent(e);
}

void CFlatDLG::leaveEvent(QEvent* e) {
  if (!dragging_) SetSizingCursor(std::nullopt);
  QDialog::leaveEvent(e);
}

void CFlatDLG::UpdateCursor(const QPoint& pos) {
  const Qt::Edges edges = ResizeEdgesAt(pos);
  const bool horizontal = edges & (Qt::LeftEdge | Qt::RightEdge);
  const bool vertical = edges & (Qt::TopEdge | Qt::BottomEdge);
  if (horizontal && vertical) {
    const bool mainDiagonal = edges == (Qt::LeftEdge | Qt::TopEdge) || edges == (Qt::RightEdge | Qt::BottomEdge);
    SetSizingCursor(mainDiagonal ? Qt::SizeFDiagCursor : Qt::SizeBDiagCursor);
  } else if (horizontal) {
    SetSizingCursor(Qt::SizeHorCursor);
  } else if (vertical) {
    SetSizingCursor(Qt::SizeVerCursor);
  } else {
    SetSizingCursor(std::nullopt);
  }
}

void CFlatDLG::SetSizingCursor(std::optional<Qt::CursorShape> shape) {
  // Children inherit the window's cursor; a quick mouse can jump from an edge straight onto
  // one without a move over the frame in between. While a sizing cursor is set, entering any
  // child puts the arrow back.
  if (shape) {
    setCursor(*shape);
    if (!childWatcher_) {
      childWatcher_ = new ChildEnterWatcher(this, [this] {
        if (!dragging_) SetSizingCursor(std::nullopt);
      });
      qApp->installEventFilter(childWatcher_);
    }
  } else {
    unsetCursor();
    if (childWatcher_) {
      // Deleted later: this may run inside the watcher's own filter call.
      qApp->removeEventFilter(childWatcher_);
      childWatcher_->deleteLater();
      childWatcher_ = nullptr;
    }
  }
}

bool CFlatDLG::event(QEvent* e) {
  if (e->type() == QEvent::Close) DebugLog(kDebugTarget, "WM_CLOSE");
  if (e->type() == QEvent::Quit) DebugLog(kDebugTarget, "WM_QUIT");
  return QDialog::event(e);
}

// ---------------------------------------------------------------------------------------------
// CFlatDLGex

CFlatDLGex::CFlatDLGex(QWidget* parent) : CFlatDLG(parent) {
  SetResizable(true);
  SetTracksActivation(true);
}

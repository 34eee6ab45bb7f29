// Skinned windows: frameless dialogs that draw their own caption, borders and bottom bar.
//
// Usage:
//   class CMainDLG : public CFlatDLGex {
//     void ExitAction() override { OnBtnExit(); }              // the caption's close button
//     void LogoAction(const QPoint& at) override { ShowFileMenu(at); }
//   };
//   dlg->SetTitle("Zelvora Media Encoder"); dlg->SetTitlePos({28, 10});
//   dlg->SetTitleColors(QColor(50, 82, 143), Qt::white);
//   dlg->SetRegionCut(true, Qt::black);
//   dlg->setMinimumSize(600, 460);      // the smallest size, frame included
//   Place children inside ClientRect() (below the caption, between the borders, above the
//   bottom bar); contentsMargins() are set to the frame, so Qt layouts fit there too.
// The caption buttons are children named "BtnMini", "BtnMaxi", "BtnExit" and "BtnLogo".
// For pictures taken off screen, GrabWindow() gives the window with its rounded corners.
// CFlatDLG is the fixed-size kind (resizing off, no inactive caption); CFlatDLGex resizes,
// maximises and shows the inactive caption while another window is active.
// As a QDialog, Escape calls reject(): override reject() in a window that must not close so.
#pragma once

#include <QDialog>
#include <QImage>
#include <QPixmap>
#include <QRegion>

#include <optional>

// A caption button: a vertical strip of equal state images (normal, mouse-over, pressed);
// a strip of six holds a second glyph (the restore look of the maximise button) below the first.
class CMyStatic : public QWidget {
  Q_OBJECT
 public:
  enum Look { kNormal = 0, kHover = 1, kPressed = 2, kInactive = 3 };
  CMyStatic(int number, const QString& name, QWidget* parent);
  // Cuts `strip` into `states` images of the strip's width; false when it cannot be cut.
  bool SetStrip(const QPixmap& strip, int states);
  int Number() const { return number_; }
  Look CurrentLook() const;
  // Second glyph of a six-image strip (the maximise button while maximised).
  void SetAlternate(bool on);
  bool Alternate() const { return alternate_; }
  // The logo's inactive look while its window is inactive.
  void SetInactive(bool on);
  QSize sizeHint() const override;

 signals:
  // 0 button down, 1 button up over the button, 2 double click; then the button number.
  void Message(int event, int number);

 protected:
  void paintEvent(QPaintEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void mouseDoubleClickEvent(QMouseEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;

 private:
  int number_;
  QList<QPixmap> images_;
  bool hover_ = false;
  bool pressed_ = false;
  bool alternate_ = false;
  bool inactive_ = false;
};

class CFlatDLG : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kCaptionHeight = 31;
  static constexpr int kBorderWidth = 5;
  static constexpr int kBottomHeight = 25;
  static constexpr int kEdgeZone = 5;     // resizing from an edge
  static constexpr int kCornerZone = 10;  // resizing from a corner, along the edges
  enum CaptionButton { kNone = 0, kMinimize = 1, kMaximize = 2, kClose = 3, kLogo = 4 };

  explicit CFlatDLG(QWidget* parent = nullptr);

  void SetTitle(const QString& title);
  QString Title() const { return title_; }
  void SetTitlePos(const QPoint& pos);
  // First colour for the text, second for its shadow one pixel right and down.
  void SetTitleColors(const QColor& text, const QColor& shadow);
  // Without one, the caption uses the window's font at the normal weight.
  void SetTitleFont(const QFont& font);
  void SetResizable(bool on);
  bool Resizable() const { return resizable_; }
  // Cuts the window outline at the pixels of the four corner pieces that have colour `key`.
  void SetRegionCut(bool on, const QColor& key = Qt::black);

  // Maximised fills the screen's work area; normal returns to the size before.
  void SetMaximized(bool on);
  bool IsMaximized() const { return maximized_; }
  void ToggleMaximized() { SetMaximized(!maximized_); }
  bool IsCaptionActive() const { return captionActive_; }

  // The area inside the frame, in this widget's coordinates.
  QRect ClientRect() const;
  // Which edges a press at `pos` would resize (none when not resizable or maximised).
  Qt::Edges ResizeEdgesAt(const QPoint& pos) const;
  // The window's outline: the whole rectangle, less the key-coloured corner pixels when cut.
  QRegion OutlineRegion() const { return outline_; }
  // The window as a screen shows it (for pictures): a grab, transparent outside the outline.
  QImage GrabWindow();
  CMyStatic* CaptionButton(int number) const;
  int PressedButton() const { return pressedButton_; }

 signals:
  void ExitRequested();
  void LogoRequested(const QPoint& globalPos);

 protected:
  // The caption's close button released over itself. The base traces and emits ExitRequested.
  virtual void ExitAction();
  // The caption's logo button released over itself. The base emits LogoRequested.
  virtual void LogoAction(const QPoint& globalPos);
  // Whether the caption follows activation (CFlatDLGex turns it on).
  void SetTracksActivation(bool on) { tracksActivation_ = on; }

  void paintEvent(QPaintEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void changeEvent(QEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseMoveEvent(QMouseEvent*) override;
  void mouseReleaseEvent(QMouseEvent*) override;
  void mouseDoubleClickEvent(QMouseEvent*) override;
  void leaveEvent(QEvent*) override;
  bool event(QEvent*) override;

 private:
  void SetSizingCursor(std::optional<Qt::CursorShape> shape);
  void OnButtonMessage(int event, int number);
  void PlaceCaptionButtons();
  void UpdateRegion();
  void UpdateCursor(const QPoint& pos);
  void DrawRow(QPainter& p, int y, int height, const QPixmap& left, const QPixmap& middle,
               const QPixmap& right);
  bool CaptionAt(const QPoint& pos) const;

  QPixmap capLeft_, capMiddle_, capRight_;
  QPixmap inLeft_, inMiddle_, inRight_;
  QPixmap bottomLeft_, bottomMiddle_, bottomRight_;
  QPixmap borderLeft_, borderRight_;
  CMyStatic* btnMini_;
  CMyStatic* btnMaxi_;
  CMyStatic* btnExit_;
  CMyStatic* btnLogo_;
  QString title_;
  QPoint titlePos_{28, 10};
  QColor titleColor_{50, 82, 143};
  QColor titleShadow_{255, 255, 255};
  QFont titleFont_;
  bool titleFontSet_ = false;
  bool resizable_ = false;
  bool tracksActivation_ = false;
  bool captionActive_ = true;
  bool regionCut_ = false;
  QColor regionKey_{0, 0, 0};
  QRegion outline_;
  bool maximized_ = false;
  QRect normalGeometry_;
  int pressedButton_ = kNone;
  // A drag in progress: moving (no edges) or resizing from `dragEdges_`.
  bool dragging_ = false;
  QObject* childWatcher_ = nullptr;  // set while a sizing cursor shows
  Qt::Edges dragEdges_;
  QPoint dragStart_;
  QRect dragGeometry_;
};

class CFlatDLGex : public CFlatDLG {
  Q_OBJECT
 public:
  explicit CFlatDLGex(QWidget* parent = nullptr);
};

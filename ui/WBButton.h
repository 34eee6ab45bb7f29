// A push button drawn from a strip of five state images (normal, pressed, focused,
// disabled, mouse-over), with white as the transparent colour.
//
// Usage:
//   auto* add = new CWBButton("파일 추가", parent);
//   add->setObjectName("BtnAddFile");
//   add->LoadBitmaps(kSkinButton);          // 200×23 strip, borders 4,4,4,4
//   add->SetTextColor(Qt::black);
//   connect(add, &QPushButton::clicked, …);
// The image is fitted to the button's size keeping the four border widths unstretched.
// The text is centred on one line, moves 5 pixels right while pressed, and is grey when
// the button is disabled. Without a loaded strip nothing is drawn.
#pragma once

#include <QPushButton>

class CWBButton : public QPushButton {
  Q_OBJECT
 public:
  enum State { kNormal = 0, kPressed = 1, kFocused = 2, kDisabled = 3, kMouseOver = 4 };
  static constexpr int kPressedTextOffset = 5;

  explicit CWBButton(const QString& text = QString(), QWidget* parent = nullptr);

  // Cuts the strip at `path` into `states` images; false when it cannot be loaded or cut.
  bool LoadBitmaps(const QString& path, int states = 5, int left = 4, int top = 4, int right = 4,
                   int bottom = 4);
  bool LoadBitmaps(const QPixmap& strip, int states = 5, int left = 4, int top = 4, int right = 4,
                   int bottom = 4);
  bool HasBitmaps() const { return !images_.isEmpty(); }
  void SetTextColor(const QColor& color);
  QColor TextColor() const { return textColor_; }
  // The grey of disabled text.
  static QColor DisabledTextColor();

  // What the next paint shows: the state image and where the text goes.
  State CurrentState() const;
  QColor CurrentTextColor() const;
  QRect TextRect() const;
  bool IsMouseOver() const { return mouseOver_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  void enterEvent(QEnterEvent*) override;
  void leaveEvent(QEvent*) override;

 private:
  QList<QPixmap> images_;
  QMargins borders_{4, 4, 4, 4};
  QColor textColor_{0, 0, 0};
  bool mouseOver_ = false;
};

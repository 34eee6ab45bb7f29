// A text drawn without background over whatever its parent painted (the main window's drop
// hint, the about box's version lines). It lets mouse presses and drops through to what lies
// beneath, as a plain text should.
//
// Usage: auto* hint = new CStaticTrans("파일을 여기에 끌어 놓으세요", parent);
//        hint->SetTextColor(QColor(50, 82, 143)); hint->setAlignment(Qt::AlignCenter);
#pragma once

#include <QLabel>

class CStaticTrans : public QLabel {
  Q_OBJECT
 public:
  explicit CStaticTrans(const QString& text = QString(), QWidget* parent = nullptr);
  void SetTextColor(const QColor& color);
  QColor TextColor() const { return textColor_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QColor textColor_{0, 0, 0};
};

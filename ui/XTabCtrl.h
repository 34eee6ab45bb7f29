// A tab control that carries one page widget per tab and draws its tabs in its owner's colours,
// highlighting the tab under the mouse.
//
// Usage:
//   auto* tabs = new CXTabCtrl(parent);
//   tabs->SetColors(QColor(192,192,192), QColor(192,192,192), QColor(192,192,192), QColor(160,160,160));
//   tabs->InsertItem(0, videoPage, "비디오");   // the page becomes a child shown in PageRect()
//   tabs->InsertItem(1, audioPage, "오디오");
//   connect(tabs, &CXTabCtrl::SelChanged, …);  // after every change of tab
//   tabs->SelectTab(1);
// The tab bar is a child named "TabBar"; the tab under the mouse is HoverIndex() (-1: none).
// With the focus on the tab bar, Left/Right/Home/End change the page.
#pragma once

#include <QList>
#include <QWidget>

class CXTabBar;

class CXTabCtrl : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kTabHeight = 22;

  explicit CXTabCtrl(QWidget* parent = nullptr);

  // Inserts a tab at `index` (appends when out of range); returns its index. The first page
  // inserted is shown, the others hidden.
  int InsertItem(int index, QWidget* page, const QString& text, int image = -1);
  // Hides the page of the current tab, shows the page of `index`, then emits SelChanged.
  void SelectTab(int index);
  int CurSel() const { return current_; }
  int Count() const { return static_cast<int>(pages_.size()); }
  QWidget* Page(int index) const;
  QString TabText(int index) const;
  // Selected tab, other tabs, the area behind the tabs, the tab under the mouse.
  void SetColors(const QColor& selected, const QColor& normal, const QColor& back, const QColor& hover);
  void SetTextColor(const QColor& color);
  int HoverIndex() const;
  QRect TabRect(int index) const;
  QRect PageRect() const;

 signals:
  void SelChanged(int index);

 protected:
  void resizeEvent(QResizeEvent*) override;
  void paintEvent(QPaintEvent*) override;

 private:
  friend class CXTabBar;
  CXTabBar* bar_;
  QList<QWidget*> pages_;
  QStringList texts_;
  int current_ = -1;
  QColor selected_{192, 192, 192};
  QColor normal_{192, 192, 192};
  QColor back_{192, 192, 192};
  QColor hover_{160, 160, 160};
  QColor text_{0, 0, 0};
};

// The about box: product title, the compiled-in version and the support link.
#pragma once

#include "support/InterfaceTexts.h"
#include "ui/FlatDLG.h"

class CAboutBox : public CFlatDLG {
  Q_OBJECT
 public:
  static constexpr int kWidth = 330;
  static constexpr int kHeight = 152;
  CAboutBox(const InterfaceTexts& texts, QWidget* parent = nullptr);

 protected:
  void ExitAction() override { accept(); }
};

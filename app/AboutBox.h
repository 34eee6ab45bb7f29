// The about box: product title, the compiled-in version and the support link.
#pragma once

#include <QString>

#include "encoder/EncodingSettings.h"
#include "support/InterfaceTexts.h"
#include "ui/FlatDLG.h"

class CAboutBox : public CFlatDLG {
  Q_OBJECT
 public:
  static constexpr int kWidth = 330;
  static constexpr int kHeight = 152;
  // `encoderPath`: the encoder whose version the box shows (asked once per program run, in the
  // background); empty leaves that line out. `supportAddress`: the page the support button
  // opens (SupportAddress of the settings).
  CAboutBox(const InterfaceTexts& texts, QWidget* parent = nullptr, const QString& encoderPath = {},
            const QString& supportAddress = QString::fromUtf8(ZELVORA_HOME_PAGE));
  // The support page the settings name: the stored support_address, else the program's home page.
  static QString SupportAddress(const StoredPaths& paths);
  // The first line the encoder printed for -version, or empty until it has answered.
  static QString EncoderVersion(const QString& encoderPath);

 protected:
  void ExitAction() override { accept(); }
};

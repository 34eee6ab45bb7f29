// The skin: the program's own images, shipped as Qt resources under ":/skin/".
//
// Usage:
//   QPixmap caption = SkinPixmap(kSkinCaptionMiddle);       // one piece, null when missing
//   button->LoadBitmaps(kSkinButton);                       // a CWBButton strip (200×23)
//   window->setWindowIcon(ProgramIcon());                   // 16/32/48/256
//   QList<QPixmap> types = FileTypeIcons();                 // 15×16 each, white made transparent,
//                                                           // index = the probe's MediaType
//   tray->LoadFrames(TrayFrames());                         // the nine animation frames
// Every function here loads the resources on first use, so callers need no set-up.
#pragma once

#include <QIcon>
#include <QList>
#include <QPixmap>
#include <QString>

// Resource paths of the skin pieces (sizes in pixels).
inline constexpr const char* kSkinCaptionLeft = ":/skin/caption_left.png";              // 8×31
inline constexpr const char* kSkinCaptionMiddle = ":/skin/caption_middle.png";          // 25×31
inline constexpr const char* kSkinCaptionRight = ":/skin/caption_right.png";            // 8×31
inline constexpr const char* kSkinCaptionInactiveLeft = ":/skin/caption_inactive_left.png";
inline constexpr const char* kSkinCaptionInactiveMiddle = ":/skin/caption_inactive_middle.png";
inline constexpr const char* kSkinCaptionInactiveRight = ":/skin/caption_inactive_right.png";
inline constexpr const char* kSkinBottomLeft = ":/skin/bottom_left.png";                // 8×25
inline constexpr const char* kSkinBottomMiddle = ":/skin/bottom_middle.png";            // 25×25
inline constexpr const char* kSkinBottomRight = ":/skin/bottom_right.png";              // 8×25
inline constexpr const char* kSkinBorderLeft = ":/skin/border_left.png";                // 5×8
inline constexpr const char* kSkinBorderRight = ":/skin/border_right.png";              // 5×8
inline constexpr const char* kSkinMinimize = ":/skin/btn_minimize.png";                 // 15×48: 3 states
inline constexpr const char* kSkinMaximize = ":/skin/btn_maximize.png";                 // 15×96: 3 + 3 (restore)
inline constexpr const char* kSkinClose = ":/skin/btn_close.png";                       // 15×48: 3 states
inline constexpr const char* kSkinLogo = ":/skin/btn_logo.png";                         // 14×70: 5 states
inline constexpr const char* kSkinButton = ":/skin/button.png";                         // 200×23: ordinary buttons
inline constexpr const char* kSkinStartButton = ":/skin/button_start.png";              // 200×23: start/cancel
inline constexpr const char* kSkinAboutButton = ":/skin/button_about.png";              // 200×23: about box
inline constexpr const char* kSkinFileTypes = ":/skin/filetypes.png";                   // 240×16: 16 of 15×16
inline constexpr int kTrayFrameCount = 9;

// The piece at `path`, or a null pixmap when it is missing (the caller then leaves it undrawn).
QPixmap SkinPixmap(const char* path);

// The program icon in its four sizes.
QIcon ProgramIcon();

// The list's type icons: the 240×16 strip cut into 15×16 images, white made transparent.
QList<QPixmap> FileTypeIcons();

// The tray animation frames, in order; a missing frame ends the list early.
QList<QIcon> TrayFrames();

// An image with every pixel of colour `key` made fully transparent.
QImage WithTransparentColor(const QImage& image, QRgb key);

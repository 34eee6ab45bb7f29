// The notification-area icon: the program's way back to its window and to the "파일" menu,
// animated while a batch run is active.
//
// Usage (the main window owns one for its whole life):
//   tray_ = new CMenuTray(this);
//   tray_->AddTrayIcon(this, "Zelvora Media Encoder", ProgramIcon());  // also the window icon
//   tray_->LoadFrames(TrayFrames());                                   // nine frames
//   connect(tray_, &CMenuTray::RestoreRequested, …);   // a click: show normal, raise, activate
//   connect(tray_, &CMenuTray::MenuRequested, …);   // raise, ShowFileMenu(globalPos)
//   tray_->StartAnimation(20, 10);   // run starts: a frame every 20 ms × 10 = 200 ms
//   tray_->StopAnimation();          // run ends: static icon, base tip
//   tray_->ShowNotification(title, finalStatusLine);   // run ended while minimised/inactive
// Where the desktop has no notification area, IsAvailable() is false, the calls still keep
// their state (tip, frame) and nothing is shown; the caption's logo button stays the way to
// the "파일" menu.
#pragma once

#include <QIcon>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

class QWidget;

class CMenuTray : public QObject {
  Q_OBJECT
 public:
  static constexpr int kMaxTipLength = 127;

  explicit CMenuTray(QObject* parent = nullptr);
  ~CMenuTray() override;

  // Creates the icon with `tip` (cut to 127 characters) and sets `icon` as the owner's window
  // icon. Returns 1 when the icon is shown, 0 when the desktop has no notification area.
  int AddTrayIcon(QWidget* owner, const QString& tip, const QIcon& icon);
  // Keeps the frames up to the first null one; returns how many were kept.
  int LoadFrames(const QList<QIcon>& frames);
  // Cycles the frames from the first, one every frameMs × rounds milliseconds, with the
  // running tip; does nothing without frames. A second start while animating keeps going.
  void StartAnimation(int frameMs = 20, int rounds = 10);
  // Back to the static icon and the base tip.
  void StopAnimation();
  // Shows `message` as a notification; false when the desktop cannot show one.
  bool ShowNotification(const QString& title, const QString& message);

  bool IsAvailable() const;
  // Replaces the desktop's answer to "is there a notification area" (null: ask the desktop
  // again), for windows tested off screen, where there is none.
  static void SetAvailabilityCheck(bool (*check)());
  bool IsAnimating() const { return animating_; }
  int FrameCount() const { return static_cast<int>(frames_.size()); }
  // The frame shown now (-1: the static icon) and the tip shown now.
  int CurrentFrame() const { return shownFrame_; }
  QString ToolTip() const { return tip_; }
  QString BaseTip() const { return baseTip_; }
  // "%s - Running" with the base tip, or "Running" when it is empty.
  QString RunningTip() const;
  int FrameInterval() const { return timer_.interval(); }

 signals:
  // A click or a double click on the icon. Desktops whose tray speaks D-Bus (KDE, GNOME with
  // the AppIndicator extension) send a click only, never a double click.
  void RestoreRequested();
  void MenuRequested(const QPoint& globalPos);
  // Each animation frame as it is shown (its index).
  void FrameShown(int index);

 private:
  void OnActivated(QSystemTrayIcon::ActivationReason reason);
  void ShowFrame(int index);
  void SetTip(const QString& tip);

  QSystemTrayIcon* icon_ = nullptr;
  QIcon staticIcon_;
  QList<QIcon> frames_;
  QString baseTip_;
  QString tip_;
  QTimer timer_;
  bool animating_ = false;
  int nextFrame_ = 0;
  int shownFrame_ = -1;
};

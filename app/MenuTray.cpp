#include "app/MenuTray.h"

#include <QCursor>
#include <QWidget>

#include "support/DebugLog.h"

namespace {
bool (*gAvailabilityCheck)() = nullptr;
}  // namespace

CMenuTray::CMenuTray(QObject* parent) : QObject(parent) {
  timer_.setTimerType(Qt::PreciseTimer);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (frames_.isEmpty()) return;
    if (nextFrame_ >= frames_.size()) nextFrame_ = 0;
    ShowFrame(nextFrame_++);
  });
}

CMenuTray::~CMenuTray() {
  timer_.stop();
  if (animating_) DebugLog(kDebugTarget, "Thread End(Ani)");
  if (icon_ != nullptr) icon_->hide();
}

int CMenuTray::AddTrayIcon(QWidget* owner, const QString& tip, const QIcon& icon) {
  staticIcon_ = icon;
  baseTip_ = tip.left(kMaxTipLength);
  if (owner != nullptr) owner->setWindowIcon(icon);
  if (icon_ == nullptr) {
    icon_ = new QSystemTrayIcon(this);
    connect(icon_, &QSystemTrayIcon::activated, this, &CMenuTray::OnActivated);
  }
  icon_->setIcon(icon);
  SetTip(baseTip_);
  shownFrame_ = -1;
  if (!(gAvailabilityCheck ? gAvailabilityCheck() : QSystemTrayIcon::isSystemTrayAvailable())) return 0;
  icon_->show();
  return 1;
}

int CMenuTray::LoadFrames(const QList<QIcon>& frames) {
  frames_.clear();
  for (const QIcon& frame : frames) {
    if (frame.isNull()) break;
    frames_.append(frame);
  }
  return static_cast<int>(frames_.size());
}

void CMenuTray::StartAnimation(int frameMs, int rounds) {
  if (frames_.isEmpty()) return;
  if (animating_) return;
  animating_ = true;
  DebugLog(kDebugTarget, "Thread Run(Ani)");
  // The icon lives on the GUI thread, so a timer there cycles it instead of a thread of its own.
  timer_.setInterval(qMax(1, frameMs) * qMax(1, rounds));
  nextFrame_ = 0;
  SetTip(RunningTip());
  ShowFrame(nextFrame_++);
  timer_.start();
}

void CMenuTray::StopAnimation() {
  timer_.stop();
  animating_ = false;
  nextFrame_ = 0;
  shownFrame_ = -1;
  if (icon_ != nullptr) icon_->setIcon(staticIcon_);
  SetTip(baseTip_);
}

bool CMenuTray::ShowNotification(const QString& title, const QString& message) {
  if (icon_ == nullptr || !icon_->isVisible() || !QSystemTrayIcon::supportsMessages()) return false;
  icon_->showMessage(title, message, staticIcon_, 10000);
  return true;
}

void CMenuTray::SetAvailabilityCheck(bool (*check)()) { gAvailabilityCheck = check; }

bool CMenuTray::IsAvailable() const { return icon_ != nullptr && icon_->isVisible(); }

QString CMenuTray::RunningTip() const {
  const QString tip = baseTip_.isEmpty() ? QStringLiteral("Running") : QStringLiteral("%1 - Running").arg(baseTip_);
  return tip.left(kMaxTipLength);
}

void CMenuTray::OnActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) emit RestoreRequested();
  if (reason == QSystemTrayIcon::Context) emit MenuRequested(QCursor::pos());
}

void CMenuTray::ShowFrame(int index) {
  shownFrame_ = index;
  if (icon_ != nullptr) icon_->setIcon(frames_[index]);
  emit FrameShown(index);
}

void CMenuTray::SetTip(const QString& tip) {
  tip_ = tip;
  if (icon_ != nullptr) icon_->setToolTip(tip);
}

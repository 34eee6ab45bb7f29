// A BatchDisplay for tests: records every call in order and keeps the latest value of each display.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "encoder/Display.h"

namespace testsupport {

class RecordingDisplay : public BatchDisplay {
 public:
  void SetText(DisplayText which, const std::string& text) override {
    std::lock_guard lock(mutex_);
    texts_[which] = text;
    events_.push_back(std::string(DisplayTextName(which)) + "=" + text);
  }
  void SetBar(DisplayBar which, int percent) override {
    std::lock_guard lock(mutex_);
    bars_[which] = percent;
    events_.push_back(std::string(which == DisplayBar::kFile ? "file_bar" : "total_bar") + "=" +
                      std::to_string(percent));
  }
  void SelectRow(int row) override {
    std::lock_guard lock(mutex_);
    selected_row_ = row;
    events_.push_back("select=" + std::to_string(row));
  }
  void SetControlsEnabled(bool enabled) override {
    std::lock_guard lock(mutex_);
    controls_enabled_ = enabled;
    events_.push_back(std::string("controls=") + (enabled ? "on" : "off"));
  }
  void SetTrayAnimation(bool running) override {
    std::lock_guard lock(mutex_);
    tray_running_ = running;
    events_.push_back(std::string("tray=") + (running ? "on" : "off"));
  }

  // Latest text of a display; "" when it was never set.
  std::string Text(DisplayText which) const {
    std::lock_guard lock(mutex_);
    auto it = texts_.find(which);
    return it == texts_.end() ? std::string() : it->second;
  }
  // Latest value of a bar; -1 when it was never set.
  int Bar(DisplayBar which) const {
    std::lock_guard lock(mutex_);
    auto it = bars_.find(which);
    return it == bars_.end() ? -1 : it->second;
  }
  int SelectedRow() const {
    std::lock_guard lock(mutex_);
    return selected_row_;
  }
  bool ControlsEnabled() const {
    std::lock_guard lock(mutex_);
    return controls_enabled_;
  }
  bool TrayRunning() const {
    std::lock_guard lock(mutex_);
    return tray_running_;
  }
  // Every call so far, as "name=value", in order.
  std::vector<std::string> Events() const {
    std::lock_guard lock(mutex_);
    return events_;
  }
  void ClearEvents() {
    std::lock_guard lock(mutex_);
    events_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::map<DisplayText, std::string> texts_;
  std::map<DisplayBar, int> bars_;
  std::vector<std::string> events_;
  int selected_row_ = -1;
  bool controls_enabled_ = true;
  bool tray_running_ = false;
};

}  // namespace testsupport

// The file list: rows of twelve texts shared by the probe pass, the batch worker and the GUI.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "probe/ListRow.h"

using RowTexts = ListRowTexts;
inline constexpr int kColumnCount = kListColumnCount;

// A row is nothing but its texts; the list is the batch run's queue. Every access is
// locked, so the probe pass, the worker and the GUI may touch it at the same time.
class FileList {
 public:
  size_t size() const;
  // Appends a row and returns its index.
  size_t append(const RowTexts& row);
  // A copy of row i, or nothing when it no longer exists.
  std::optional<RowTexts> row(size_t i) const;
  std::string text(size_t i, int column) const;
  // False when row i no longer exists.
  bool setText(size_t i, int column, const std::string& text);
  bool setRow(size_t i, const RowTexts& row);
  bool remove(size_t i);
  void clear();
  // Index of the first row whose column holds `text`, if any.
  std::optional<size_t> find(int column, const std::string& text) const;
  bool any(int column, const std::string& text) const { return find(column, text).has_value(); }

  // Called after every change with the index of the changed row (or -1 for a reset), outside
  // the lock; the GUI model hooks in here.
  void setObserver(std::function<void(long)> observer);

 private:
  void notify(long index) const;

  mutable std::mutex mutex_;
  std::vector<RowTexts> rows_;
  std::function<void(long)> observer_;
};

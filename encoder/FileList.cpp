// FileList: a locked vector of text rows with a change observer.
#include "encoder/FileList.h"

size_t FileList::size() const {
  std::lock_guard lock(mutex_);
  return rows_.size();
}

size_t FileList::append(const RowTexts& row) {
  size_t index;
  {
    std::lock_guard lock(mutex_);
    rows_.push_back(row);
    index = rows_.size() - 1;
  }
  notify(static_cast<long>(index));
  return index;
}

std::optional<RowTexts> FileList::row(size_t i) const {
  std::lock_guard lock(mutex_);
  if (i >= rows_.size()) return std::nullopt;
  return rows_[i];
}

std::string FileList::text(size_t i, int column) const {
  std::lock_guard lock(mutex_);
  if (i >= rows_.size() || column < 0 || column >= kColumnCount) return {};
  return rows_[i][static_cast<size_t>(column)];
}

bool FileList::setText(size_t i, int column, const std::string& text) {
  {
    std::lock_guard lock(mutex_);
    if (i >= rows_.size() || column < 0 || column >= kColumnCount) return false;
    rows_[i][static_cast<size_t>(column)] = text;
  }
  notify(static_cast<long>(i));
  return true;
}

bool FileList::setRow(size_t i, const RowTexts& row) {
  {
    std::lock_guard lock(mutex_);
    if (i >= rows_.size()) return false;
    rows_[i] = row;
  }
  notify(static_cast<long>(i));
  return true;
}

bool FileList::remove(size_t i) {
  {
    std::lock_guard lock(mutex_);
    if (i >= rows_.size()) return false;
    rows_.erase(rows_.begin() + static_cast<long>(i));
  }
  notify(-1);
  return true;
}

void FileList::clear() {
  {
    std::lock_guard lock(mutex_);
    rows_.clear();
  }
  notify(-1);
}

std::optional<size_t> FileList::find(int column, const std::string& text) const {
  std::lock_guard lock(mutex_);
  if (column < 0 || column >= kColumnCount) return std::nullopt;
  for (size_t i = 0; i < rows_.size(); ++i)
    if (rows_[i][static_cast<size_t>(column)] == text) return i;
  return std::nullopt;
}

void FileList::setObserver(std::function<void(long)> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void FileList::notify(long index) const {
  std::function<void(long)> observer;
  {
    std::lock_guard lock(mutex_);
    observer = observer_;
  }
  if (observer) observer(index);
}

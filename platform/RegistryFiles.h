// The file operations under the settings store's file, one implementation per system (posix/,
// win32/), and the store each system gives the current user.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/RegistryStore.h"

namespace regfiles {

// The file's identity, size and time; `exists` false when nothing stands at `path`.
StoreFileId StatFile(const std::string& path);

// Whether anything (a file, a folder, a link) stands at `path`.
bool SomethingAt(const std::string& path);

enum class ReadOutcome { kRead, kMissing, kFailed };

// Reads the whole file when it is a regular file of at most `maxSize` bytes, with `id` of the
// file as read. Never waits on a FIFO or a device put where the file belongs. On kFailed,
// `error` says why.
ReadOutcome ReadSmallFile(const std::string& path, size_t maxSize, std::string& text, StoreFileId& id,
                          std::string& error);

// An exclusive lock held by every writer of the files of one folder, across processes, while
// it reads, writes and replaces: concurrent writers apply their changes one after the other.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool ok() const { return handle_ != kNone; }

 private:
  friend bool ReplaceWholeFile(const FolderLock& lock, const std::string& path, const std::string& text);
  static constexpr intptr_t kNone = -1;
  intptr_t handle_ = kNone;  // the descriptor or handle that holds the lock
};

// Under the lock: removes temporaries that writers who died left beside `path`, writes `text`
// to a new temporary in the same folder, flushes it to the disk and puts it in place of `path`
// in one step, so that a crash leaves the old file or the new one, never a torn one.
bool ReplaceWholeFile(const FolderLock& lock, const std::string& path, const std::string& text);

// Under the lock: makes the file at `path` also (or only) reachable as `kept`, a name that is
// never an existing one. 1 when done, 0 when `kept` exists already, -1 on another failure
// (`error` says why).
int KeepFileAs(const std::string& path, const std::string& kept, std::string& error);

// The folder part of `path` and its last component.
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);

// The local time as "YYYYMMDD-HHMMSS".
std::string LocalStamp();

// The store CurrentUserStore() starts with.
std::unique_ptr<RegistryStore> NewCurrentUserStore();

}  // namespace regfiles

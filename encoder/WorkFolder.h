// A private folder for the work files of one row (UTF-8 subtitle copies, SubRip rewrites).
#pragma once

#include <cstdint>
#include <string>

// The folder is $XDG_CACHE_HOME/zelvora/work/<name> (else the same below the temporary folder),
// mode 0700 (on Windows: the local application data folder's zelvora\work\<name>, private by
// that folder's own permissions), where <name> is made from the source path: a dry run names exactly the files a run
// of the same source makes. A folder another run is using is never shared (the next free name
// is taken); one left by a run that died is emptied and reused. Everything in it is removed
// when the object ends. The program folder is never written.
class RowWorkFolder {
 public:
  explicit RowWorkFolder(std::string sourcePath);
  ~RowWorkFolder();
  RowWorkFolder(const RowWorkFolder&) = delete;
  RowWorkFolder& operator=(const RowWorkFolder&) = delete;

  // The folder, made on first use; empty with the reason in `error` when no folder can be made.
  std::string Path(std::string* error);

 private:
  // Takes `folder` when no other run holds it (made when missing, emptied when left over). False
  // with `why` empty when another run holds it, with the reason when it cannot be made.
  bool TryTake(const std::string& folder, std::string& why);
  // Makes each missing folder of `path`, private to this user.
  static bool MakePrivateFolders(const std::string& path, std::string& why);

  std::string source_;
  std::string path_;
  intptr_t lock_ = -1;  // the descriptor (Windows: the handle) that marks the folder ours while it is
};

// The base of all work folders: $XDG_CACHE_HOME/zelvora/work, or the temporary folder's
// zelvora-<uid>/work when the first cannot be made. On Windows: the local application data
// folder's zelvora\work, or the (per-user) temporary folder's zelvora\work.
std::string WorkFolderBase(bool temporary);

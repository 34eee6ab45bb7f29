// A private folder for the work files of one row (UTF-8 subtitle copies, SubRip rewrites).
#pragma once

#include <string>

// The folder is $XDG_CACHE_HOME/zelvora/work/<name> (else the same below the temporary folder),
// mode 0700, where <name> is made from the source path: a dry run names exactly the files a run
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
  bool TryTake(const std::string& folder, std::string& why);

  std::string source_;
  std::string path_;
  int lockFd_ = -1;  // holds an advisory lock on the folder while it is ours
};

// The base of all work folders: $XDG_CACHE_HOME/zelvora/work, or the temporary folder's
// zelvora-<uid>/work when the first cannot be made.
std::string WorkFolderBase(bool temporary);

// Work folders on POSIX: mode 0700, an flock on the folder while it is ours.
#include "encoder/WorkFolder.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/KnownFolders.h"

namespace fs = std::filesystem;

bool RowWorkFolder::MakePrivateFolders(const std::string& path, std::string& why) {
  std::error_code ec;
  fs::path walked;
  for (const auto& part : fs::path(path)) {
    walked /= part;
    if (walked == walked.root_path()) continue;
    if (::mkdir(walked.c_str(), 0700) != 0 && errno != EEXIST) {
      why = walked.string() + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st{};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    why = path + ": not a folder";
    return false;
  }
  return true;
}

std::string WorkFolderBase(bool temporary) {
  if (!temporary) return SpecialFolderPath(kFolderInternetCache) + "/zelvora/work";
  return SpecialFolderPath(kFolderTemp) + "/zelvora-" + std::to_string(::getuid()) + "/work";
}

RowWorkFolder::~RowWorkFolder() {
  if (!path_.empty()) {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  if (lock_ >= 0) ::close(static_cast<int>(lock_));
}

bool RowWorkFolder::TryTake(const std::string& folder, std::string& why) {
  bool made = ::mkdir(folder.c_str(), 0700) == 0;
  if (!made && errno != EEXIST) {
    why = folder + ": " + std::strerror(errno);
    return false;
  }
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    why = folder + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {  // another run works in it
    ::close(fd);
    return false;
  }
  // Left over by a run that ended without cleaning up: start empty.
  std::error_code ec;
  if (!made)
    for (const auto& e : fs::directory_iterator(folder, ec)) fs::remove_all(e.path(), ec);
  lock_ = fd;
  path_ = folder;
  return true;
}

// Private per-row work folders under the user's cache, locked while in use and removed after.
#include "encoder/WorkFolder.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/KnownFolders.h"

namespace fs = std::filesystem;

namespace {

// FNV-1a: a stable short name for a source path (not a secret, only a folder name).
uint64_t NameHash(const std::string& text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

// Makes each missing folder of `path` below `base` (which must exist or be makeable) with 0700.
bool MakePrivateFolders(const std::string& path, std::string& why) {
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

}  // namespace

std::string WorkFolderBase(bool temporary) {
  if (!temporary) return SpecialFolderPath(kFolderInternetCache) + "/zelvora/work";
  return SpecialFolderPath(kFolderTemp) + "/zelvora-" + std::to_string(::getuid()) + "/work";
}

RowWorkFolder::RowWorkFolder(std::string sourcePath) : source_(std::move(sourcePath)) {}

RowWorkFolder::~RowWorkFolder() {
  if (!path_.empty()) {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  if (lockFd_ >= 0) ::close(lockFd_);
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
  lockFd_ = fd;
  path_ = folder;
  return true;
}

std::string RowWorkFolder::Path(std::string* error) {
  if (!path_.empty()) return path_;
  char name[32];
  std::snprintf(name, sizeof name, "%016" PRIx64, NameHash(source_));
  std::string reasons;
  for (bool temporary : {false, true}) {
    std::string base = WorkFolderBase(temporary), why;
    if (!MakePrivateFolders(base, why)) {
      reasons += (reasons.empty() ? "" : "; ") + why;
      continue;
    }
    for (int n = 1; n <= 64; ++n) {
      std::string folder = base + "/" + name + (n == 1 ? std::string() : "-" + std::to_string(n));
      if (TryTake(folder, why)) return path_;
      if (!why.empty()) break;
    }
    if (!why.empty()) reasons += (reasons.empty() ? "" : "; ") + why;
  }
  if (error) *error = "no work folder can be made for the subtitle (" + reasons + ")";
  return {};
}

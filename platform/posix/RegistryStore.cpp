// The settings store's file operations over POSIX calls: flock on the folder, fsync, rename.
#include "platform/RegistryStore.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/KnownFolders.h"
#include "platform/RegistryFiles.h"
#include "support/FileUtils.h"

namespace regfiles {

namespace {

StoreFileId IdOf(const struct stat& st) {
  return StoreFileId{true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                     static_cast<int64_t>(st.st_size),
                     static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// Temporary files of writers that died before their rename; only called under the folder lock,
// when no other writer can be between its mkstemp and its rename.
void RemoveStaleTemporaries(int folderFd, const std::string& prefix) {
  int dup = ::dup(folderFd);
  if (dup < 0) return;
  DIR* dir = ::fdopendir(dup);
  if (!dir) {
    ::close(dup);
    return;
  }
  while (struct dirent* e = ::readdir(dir))
    if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) ::unlinkat(folderFd, e->d_name, 0);
  ::closedir(dir);
}

}  // namespace

StoreFileId StatFile(const std::string& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) return {};
  return IdOf(st);
}

bool SomethingAt(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

ReadOutcome ReadSmallFile(const std::string& path, size_t maxSize, std::string& text, StoreFileId& id,
                          std::string& error) {
  // Non-blocking: a FIFO put where the file belongs must not hang the program in open().
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return ReadOutcome::kMissing;
    error = std::string("the file cannot be read: ") + std::strerror(errno);
    return ReadOutcome::kFailed;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > maxSize) {
    ::close(fd);
    error = "the file is not a settings file this program can read";
    return ReadOutcome::kFailed;
  }
  id = IdOf(st);
  text.resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::read(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  text.resize(done);
  ::close(fd);
  return ReadOutcome::kRead;
}

// An advisory lock on the folder itself, so that no lock file is left behind.
FolderLock::FolderLock(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return;
    }
  }
  handle_ = fd;
}

FolderLock::~FolderLock() {
  if (handle_ != kNone) ::close(static_cast<int>(handle_));  // closing releases the lock
}

bool ReplaceWholeFile(const FolderLock& lock, const std::string& path, const std::string& text) {
  const int folderFd = static_cast<int>(lock.handle_);
  RemoveStaleTemporaries(folderFd, NameOf(path) + ".tmp");
  std::string temp = path + ".tmpXXXXXX";
  int fd = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself is durable only once the folder is on disk.
  ::fsync(folderFd);
  return true;
}

int KeepFileAs(const std::string& path, const std::string& kept, std::string& error) {
  // A hard link keeps the file under the new name while the replacement goes on as usual.
  if (::link(path.c_str(), kept.c_str()) == 0) return 1;
  if (errno == EEXIST) return 0;
  // A file system without hard links (or a folder at the name): move it, which never
  // replaces an existing name here because the name was just found free under the lock.
  if (::access(kept.c_str(), F_OK) != 0 && ::rename(path.c_str(), kept.c_str()) == 0) return 1;
  error = std::strerror(errno);
  return -1;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LocalStamp() {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  struct tm local{};
  ::localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  return stamp;
}

std::unique_ptr<RegistryStore> NewCurrentUserStore() {
  return std::make_unique<RegistryStore>(DefaultSettingsStorePath());
}

}  // namespace regfiles

std::string DefaultSettingsStorePath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::string base = config && config[0] == '/' ? std::string(config) : HomeFolder() + "/.config";
  return base + "/Tarvesk/zelvora/registry.reg";
}

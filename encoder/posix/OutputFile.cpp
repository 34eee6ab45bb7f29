// Temporary outputs on POSIX: exclusive creation, flock marking them in use, rename into place.
#include "encoder/OutputFile.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool SameId(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

std::string Cause(int error) { return std::strerror(error); }

}  // namespace

std::optional<FileId> FileIdOf(const std::string& path, bool follow) {
  struct stat st {};
  if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return std::nullopt;
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

bool PathEntryExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string WhyNotRegularFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return Cause(errno);
  struct stat st {};
  int statError = ::fstat(fd, &st) == 0 ? 0 : errno;
  ::close(fd);
  if (statError) return Cause(statError);
  if (S_ISREG(st.st_mode)) return {};
  if (S_ISDIR(st.st_mode)) return "is a folder, not a regular file";
  if (S_ISFIFO(st.st_mode)) return "is a FIFO, not a regular file";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "is a device, not a regular file";
  if (S_ISSOCK(st.st_mode)) return "is a socket, not a regular file";
  return "is not a regular file";
}

// ---------------------------------------------------------------- PendingOutput

bool PendingOutput::Create(const std::string& finalPath, std::string* error) {
  Discard();
  const std::string folder = FolderOfPath(finalPath);
  for (int tries = 0; tries < 100; ++tries) {
    std::string path = TemporaryOutputCandidate(finalPath);
    // Exclusive: a name that exists (another run's, a link planted there) is never opened.
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      if (error) *error = "cannot create a file in the output folder " + folder + ": " + Cause(errno);
      return false;
    }
    // The lock says "in use" to a later run's clean-up. That clean-up may have taken the name
    // between our create and our lock; then the name is no longer ours and we start again.
    struct stat mine {}, named {};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &mine) != 0 || ::lstat(path.c_str(), &named) != 0 ||
        !SameId(mine, named)) {
      ::close(fd);
      continue;
    }
    handle_ = fd;
    temporary_ = path;
    final_ = finalPath;
    return true;
  }
  if (error) *error = "cannot find a free temporary name in the output folder " + folder;
  return false;
}

bool PendingOutput::Commit(bool replace, const std::set<FileId>& keep, std::string* error) {
  if (temporary_.empty()) {
    if (error) *error = "no output was written";
    return false;
  }
  // The file is judged whole now; make it so on the disk before it takes the final name.
  if (::fsync(static_cast<int>(handle_)) != 0) {
    if (error) *error = "cannot write " + final_ + ": " + Cause(errno);
    Discard();
    return false;
  }
  int result;
  if (!replace) {
    result = ::renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, final_.c_str(), RENAME_NOREPLACE);
    if (result != 0 && errno == EINVAL) {
      // A file system without the flag: a hard link fails the same way when the name exists.
      result = ::link(temporary_.c_str(), final_.c_str());
      if (result == 0) ::unlink(temporary_.c_str());
    }
    if (result != 0 && errno == EEXIST) {
      if (error) *error = "a file already exists at " + final_ + "; it is kept (an empty file name prefix never replaces a file)";
      Discard();
      return false;
    }
  } else {
    for (bool follow : {false, true}) {
      std::optional<FileId> there = FileIdOf(final_, follow);
      if (there && keep.count(*there)) {
        if (error) *error = final_ + " is a source file of this run; it is kept";
        Discard();
        return false;
      }
    }
    // rename replaces the entry itself: a link at the final name goes, its target stays.
    result = ::rename(temporary_.c_str(), final_.c_str());
  }
  if (result != 0) {
    if (error) *error = "cannot rename the output to " + final_ + ": " + Cause(errno);
    Discard();
    return false;
  }
  temporary_.clear();
  ::close(static_cast<int>(handle_));
  handle_ = -1;
  return true;
}

void PendingOutput::Discard() {
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

int RemoveAbandonedOutputs(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  int removed = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (!IsTemporaryOutputName(entry->d_name)) continue;
    const std::string path = folder + "/" + entry->d_name;
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held {}, named {};
    // Unlocked means its run has ended; the name must still be the file we locked.
    if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        ::lstat(path.c_str(), &named) == 0 && SameId(held, named) && ::unlink(path.c_str()) == 0)
      ++removed;
    ::close(fd);
  }
  ::closedir(dir);
  return removed;
}

// MemberWriter over descriptor-relative POSIX calls (openat with O_NOFOLLOW, renameat).
#include "update/MemberWriter.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "support/FileUtils.h"

namespace {

std::atomic<unsigned> gTempCounter{0};

std::string Reason(const char* what, const std::string& name) { return std::string(what) + " " + name + ": " + std::strerror(errno); }

// Splits "a/b/c" into its folder part "a/b" and its name "c".
void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  size_t slash = path.rfind('/');
  folder = slash == std::string::npos ? std::string() : path.substr(0, slash);
  name = slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

MemberWriter::MemberWriter(const std::string& base) {
  // The missing folders of the path are made from the top down, and remembered, so that a
  // failed install can take away exactly what it made.
  std::vector<std::string> missing;
  struct stat st{};
  for (std::string at = base; !at.empty() && at != "/" && ::lstat(at.c_str(), &st) != 0 && errno == ENOENT;) {
    missing.push_back(at);
    const size_t slash = at.find_last_of('/');
    if (slash == std::string::npos) break;
    at.resize(slash);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it)
    if (::mkdir(it->c_str(), 0755) == 0) m_createdAbove.push_back(*it);
  m_base = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

MemberWriter::~MemberWriter() {
  if (m_base >= 0) ::close(m_base);
}

int MemberWriter::OpenFolder(const std::string& path, bool create, unsigned mode, std::string& error, std::string*) {
  int current = ::dup(m_base);
  if (current < 0) {
    error = Reason("cannot use folder", ".");
    return -1;
  }
  size_t start = 0;
  while (start < path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    start = end + 1;
    int next = ::openat(current, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create) {
      if (::mkdirat(current, part.c_str(), mode | 0700) == 0) {
        m_createdBelow.push_back(path.substr(0, end));
      } else if (errno != EEXIST) {
        error = Reason("cannot create folder", path);
        ::close(current);
        return -1;
      }
      next = ::openat(current, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      // ELOOP or ENOTDIR: a link or a file stands where a folder should be.
      error = Reason("cannot open folder", path);
      const int saved = errno;
      ::close(current);
      errno = saved;  // the caller tells a missing folder from a refused one
      return -1;
    }
    ::close(current);
    current = next;
  }
  return current;
}

bool MemberWriter::MakeFolders(const std::string& path, unsigned mode, std::string& error) {
  int fd = OpenFolder(path, true, mode, error);
  if (fd < 0) return false;
  // The folder's own bits follow the member, keeping ours to write into it.
  ::fchmod(fd, (mode & 0755) | 0700);
  ::close(fd);
  return true;
}

bool MemberWriter::Exists(const std::string& path) {
  std::string folder, name, error;
  SplitPath(path, folder, name);
  int dir = OpenFolder(folder, false, 0, error);
  if (dir < 0) return false;
  struct stat st{};
  bool found = ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  ::close(dir);
  return found;
}

bool MemberWriter::Begin(const std::string& path, Pending& file, std::string& error) {
  std::string folder;
  SplitPath(path, folder, file.name);
  file.relFolder = folder;
  file.folder = OpenFolder(folder, true, 0755, error);
  if (file.folder < 0) return false;
  // Only a file or a link is ever replaced: a folder, a FIFO or a device at the name would
  // make the install fail half-way, or (opened to be judged) hang it.
  struct stat st{};
  if (::fstatat(file.folder, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) &&
      !S_ISLNK(st.st_mode)) {
    error = "cannot replace " + path + ": it is not a file";
    ::close(file.folder);
    file.folder = -1;
    return false;
  }
  for (int attempt = 0; attempt < 100 && file.fd < 0; ++attempt) {
    file.temp = ".zvtmp-" + std::to_string(::getpid()) + "-" + std::to_string(gTempCounter++);
    file.fd = ::openat(file.folder, file.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file.fd < 0 && errno != EEXIST) break;
  }
  if (file.fd < 0) {
    error = Reason("cannot create", path);
    file.temp.clear();
    ::close(file.folder);
    file.folder = -1;
    return false;
  }
  return true;
}

// Gives the written file its bits and time and closes it; whether all of that succeeded.
static bool Seal(MemberWriter::Pending& file, unsigned mode, std::optional<std::time_t> mtime, std::string& error) {
  const int fd = static_cast<int>(file.fd);
  bool ok = ::fchmod(fd, mode & 0777) == 0;
  if (ok && mtime) {
    timespec times[2] = {{0, UTIME_OMIT}, {*mtime, 0}};
    ok = ::futimens(fd, times) == 0;
  }
  if (!ok) error = Reason("cannot set attributes of", file.name);
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = Reason("cannot write", file.name);
  }
  file.fd = -1;
  return ok;
}

bool MemberWriter::Write(Pending& file, const char* data, size_t size) { return WriteAll(static_cast<int>(file.fd), data, size); }

bool MemberWriter::Commit(Pending& file, unsigned mode, std::optional<std::time_t> mtime, std::string& error) {
  bool ok = Seal(file, mode, mtime, error);
  if (ok && ::renameat(file.folder, file.temp.c_str(), file.folder, file.name.c_str()) != 0) {
    ok = false;
    error = Reason("cannot put in place", file.name);
  }
  if (!ok) ::unlinkat(file.folder, file.temp.c_str(), 0);
  ::close(file.folder);
  file.folder = -1;
  return ok;
}

void MemberWriter::Abort(Pending& file) {
  if (file.fd >= 0) ::close(static_cast<int>(file.fd));
  if (file.folder >= 0) {
    ::unlinkat(file.folder, file.temp.c_str(), 0);
    ::close(file.folder);
  }
  file.fd = -1;
  file.folder = -1;
  file.temp.clear();
}

bool MemberWriter::Finish(Pending& file, unsigned mode, std::optional<std::time_t> mtime, std::string& error) {
  bool ok = Seal(file, mode, mtime, error);
  if (!ok) ::unlinkat(file.folder, file.temp.c_str(), 0);
  ::close(file.folder);
  file.folder = -1;
  if (!ok) file.temp.clear();
  return ok;
}

// Renames `name` to a new name of our own in `dir`, never replacing anything at that name;
// the new name in `kept`.
static bool RenameAside(int dir, const std::string& name, std::string& kept) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    kept = ".zvold-" + std::to_string(::getpid()) + "-" + std::to_string(gTempCounter++);
    if (::renameat2(dir, name.c_str(), dir, kept.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EINVAL) {
      // A file system without the flag: the name is new with near certainty, and checked.
      struct stat st{};
      if (::fstatat(dir, kept.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
      if (::renameat(dir, name.c_str(), dir, kept.c_str()) == 0) return true;
    }
    if (errno != EEXIST) break;
  }
  kept.clear();
  return false;
}

// A second name for the file at `name` in `dir`, so that it can take its name back: a hard
// link when the file system has them (the name never stands empty), else a rename.
static bool Keep(int dir, const std::string& name, MemberWriter::Pending& file, std::string& error) {
  file.kept.clear();
  file.keptAside = false;
  struct stat st{};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno == ENOENT) return true;
    error = Reason("cannot look at", name);
    return false;
  }
  if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    errno = EISDIR;
    error = "cannot replace " + name + ": it is not a file";
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string kept = ".zvold-" + std::to_string(::getpid()) + "-" + std::to_string(gTempCounter++);
    if (::linkat(dir, name.c_str(), dir, kept.c_str(), 0) == 0) {
      file.kept = kept;
      return true;
    }
    if (errno == EEXIST) continue;
    if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) break;
    // No hard links here: the old file is renamed away.
    if (RenameAside(dir, name, file.kept)) {
      file.keptAside = true;
      return true;
    }
    break;
  }
  error = Reason("cannot keep the old", name);
  return false;
}

bool MemberWriter::Place(Pending& file, std::string& error) {
  if (file.temp.empty()) return false;
  const int dir = OpenFolder(file.relFolder, false, 0, error);
  if (dir < 0) return false;
  bool ok = Keep(dir, file.name, file, error);
  if (ok && ::renameat(dir, file.temp.c_str(), dir, file.name.c_str()) != 0) {
    error = Reason("cannot put in place", file.name);
    ok = false;
    if (file.keptAside) ::renameat(dir, file.kept.c_str(), dir, file.name.c_str());
    else if (!file.kept.empty()) ::unlinkat(dir, file.kept.c_str(), 0);
    file.kept.clear();
  }
  if (!ok) ::unlinkat(dir, file.temp.c_str(), 0);
  ::close(dir);
  file.temp.clear();
  file.placed = ok;
  return ok;
}

bool MemberWriter::SetAside(const std::string& path, Pending& file, std::string& error) {
  SplitPath(path, file.relFolder, file.name);
  const int dir = OpenFolder(file.relFolder, false, 0, error);
  if (dir < 0) {
    // A folder that is not there holds nothing to take away.
    if (errno == ENOENT) return true;
    return false;
  }
  file.kept.clear();
  struct stat st{};
  bool ok = true;
  if (::fstatat(dir, file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    ok = false;
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
      error = "cannot remove " + path + ": it is not a file";
    } else {
      ok = RenameAside(dir, file.name, file.kept);
      if (!ok) error = Reason("cannot remove", path);
    }
  } else if (errno != ENOENT) {
    ok = false;
    error = Reason("cannot look at", path);
  }
  ::close(dir);
  file.keptAside = ok && !file.kept.empty();
  file.placed = file.keptAside;
  return ok;
}

void MemberWriter::Restore(Pending& file) {
  if (!file.placed) return;
  std::string error;
  const int dir = OpenFolder(file.relFolder, false, 0, error);
  if (dir >= 0) {
    // A rename onto the name replaces the new file with the old one in one step.
    if (!file.kept.empty()) ::renameat(dir, file.kept.c_str(), dir, file.name.c_str());
    else ::unlinkat(dir, file.name.c_str(), 0);
    ::close(dir);
  }
  file.kept.clear();
  file.placed = false;
}

void MemberWriter::Release(Pending& file) {
  if (file.placed && !file.kept.empty()) {
    std::string error;
    const int dir = OpenFolder(file.relFolder, false, 0, error);
    if (dir >= 0) {
      ::unlinkat(dir, file.kept.c_str(), 0);
      ::close(dir);
    }
  }
  file.kept.clear();
  file.placed = false;
}

void MemberWriter::RemoveCreatedFolders() {
  for (auto it = m_createdBelow.rbegin(); it != m_createdBelow.rend(); ++it) {
    std::string folder, name, error;
    SplitPath(*it, folder, name);
    const int dir = OpenFolder(folder, false, 0, error);
    if (dir < 0) continue;
    ::unlinkat(dir, name.c_str(), AT_REMOVEDIR);  // refused when something else is in it
    ::close(dir);
  }
  m_createdBelow.clear();
  for (auto it = m_createdAbove.rbegin(); it != m_createdAbove.rend(); ++it) ::rmdir(it->c_str());
  m_createdAbove.clear();
}

void MemberWriter::Discard(Pending& file) {
  if (file.fd >= 0 || file.folder >= 0) return Abort(file);
  if (file.temp.empty()) return;
  std::string error;
  const int dir = OpenFolder(file.relFolder, false, 0, error);
  if (dir >= 0) {
    ::unlinkat(dir, file.temp.c_str(), 0);
    ::close(dir);
  }
  file.temp.clear();
}

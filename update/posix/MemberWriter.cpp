// MemberWriter over descriptor-relative POSIX calls (openat with O_NOFOLLOW, renameat).
#include "update/MemberWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

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
  MakeFolderPath(base);
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
      if (::mkdirat(current, part.c_str(), mode | 0700) != 0 && errno != EEXIST) {
        error = Reason("cannot create folder", path);
        ::close(current);
        return -1;
      }
      next = ::openat(current, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      // ELOOP or ENOTDIR: a link or a file stands where a folder should be.
      error = Reason("cannot open folder", path);
      ::close(current);
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
  for (int attempt = 0; attempt < 100 && file.fd < 0; ++attempt) {
    file.temp = ".zvtmp-" + std::to_string(::getpid()) + "-" + std::to_string(gTempCounter++);
    file.fd = ::openat(file.folder, file.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file.fd < 0 && errno != EEXIST) break;
  }
  if (file.fd < 0) {
    error = Reason("cannot create", path);
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
}

bool MemberWriter::Finish(Pending& file, unsigned mode, std::optional<std::time_t> mtime, std::string& error) {
  bool ok = Seal(file, mode, mtime, error);
  if (!ok) ::unlinkat(file.folder, file.temp.c_str(), 0);
  ::close(file.folder);
  file.folder = -1;
  if (!ok) file.temp.clear();
  return ok;
}

bool MemberWriter::Place(Pending& file, std::string& error) {
  if (file.temp.empty()) return false;
  const int dir = OpenFolder(file.relFolder, false, 0, error);
  if (dir < 0) return false;
  const bool ok = ::renameat(dir, file.temp.c_str(), dir, file.name.c_str()) == 0;
  if (!ok) {
    error = Reason("cannot put in place", file.name);
    ::unlinkat(dir, file.temp.c_str(), 0);
  }
  ::close(dir);
  file.temp.clear();
  return ok;
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

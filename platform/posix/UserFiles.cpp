// Private folders, no-replace renames and thread priority on POSIX.
#include "platform/UserFiles.h"

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool IsPrivateFolder(const std::string& folder) {
  struct stat st {};
  // lstat: a link planted at the name by someone else is not the folder it points to.
  if (::lstat(folder.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == ::getuid() && (st.st_mode & 0777) == 0700;
}

bool MakePrivateFolder(const std::string& folder) {
  std::error_code ec;
  const std::filesystem::path path(folder);
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return IsPrivateFolder(folder);
}

unsigned long CurrentUserNumber() { return static_cast<unsigned long>(::getuid()); }

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without the flag: a hard link fails on an existing name just the same.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

void LowerThisThreadPriority() { ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 5); }

}  // namespace platform

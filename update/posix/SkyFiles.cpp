// The update client's file calls over POSIX.
#include "update/SkyFiles.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/AsciiText.h"
#include "support/FileUtils.h"

namespace skyfiles {

FileHandle CreateTemp(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
}

bool Write(FileHandle file, const char* data, size_t size) { return WriteAll(static_cast<int>(file), data, size); }

bool Close(FileHandle file) { return ::close(static_cast<int>(file)) == 0; }

// Programs carry no ".exe" here; a received file that starts like one is treated as one.
bool LooksExecutable(const std::string& path) {
  char head[4] = {};
  // Without waiting: a FIFO put at the name would otherwise hold the caller until someone writes.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  ssize_t n = ::read(fd, head, sizeof head);
  ::close(fd);
  return (n >= 2 && head[0] == '#' && head[1] == '!') || (n == 4 && std::memcmp(head, "\x7f" "ELF", 4) == 0);
}

void TakeInstallMode(const std::string& target, const std::string& received) {
  struct stat st{};
  mode_t mode = LooksExecutable(received) ? 0755 : 0644;
  if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;
  ::chmod(received.c_str(), mode);
}

// A rename is atomic and replaces a link at the target rather than following it.
bool MoveInto(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  return MoveFileByCopy(from, to) == 1 && !FileExists(from);
}

bool IsRegularFile(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string MakeUniqueFolder(const std::string& parent, const std::string& prefix) {
  std::string pattern = parent + "/" + prefix + "XXXXXX";
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

bool UserIsSystem() {
  std::vector<char> buf(16384);
  struct passwd pw{};
  struct passwd* found = nullptr;
  return ::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_name &&
         SameIgnoringCase(found->pw_name, "system");
}

std::string RunningExecutable() {
  std::vector<char> buf(4096);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
}

}  // namespace skyfiles

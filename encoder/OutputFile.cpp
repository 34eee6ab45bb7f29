// Temporary outputs: exclusive creation, locks that mark them in use, judgement by our probe, rename into place.
#include "encoder/OutputFile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "probe/Probe.h"

namespace {

// Hidden, recognisably ours, and ending in the output's own name so that the encoder picks its
// container from the extension as it would for the final name.
constexpr char kTemporaryLead[] = ".zelvora-";
constexpr size_t kRandomChars = 6;
constexpr size_t kMaxNameBytes = 255;

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The final name cut to `maxBytes`, keeping its extension and never splitting a UTF-8 sequence.
std::string CutName(const std::string& name, size_t maxBytes) {
  if (name.size() <= maxBytes) return name;
  size_t dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
  if (ext.size() >= maxBytes) ext.clear();
  size_t keep = maxBytes - ext.size();
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return name.substr(0, keep) + ext;
}

bool IsTemporaryName(const char* name) {
  const size_t lead = sizeof kTemporaryLead - 1;
  return std::strncmp(name, kTemporaryLead, lead) == 0 && std::strlen(name) > lead + kRandomChars &&
         name[lead + kRandomChars] == '-';
}

std::string RandomChars() {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::string out;
  for (size_t i = 0; i < kRandomChars; ++i) out += kAlphabet[pick(generator)];
  return out;
}

bool SameId(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

std::string Cause(int error) { return std::strerror(error); }

}  // namespace

std::optional<FileId> FileIdOf(const std::string& path, bool follow) {
  struct stat st {};
  if ((follow ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st)) != 0) return std::nullopt;
  return FileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
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
  const std::string folder = FolderOf(finalPath);
  const std::string cut = CutName(NameOf(finalPath), kMaxNameBytes - (sizeof kTemporaryLead - 1) - kRandomChars - 1);
  for (int tries = 0; tries < 100; ++tries) {
    std::string path = folder + "/" + kTemporaryLead + RandomChars() + "-" + cut;
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
    fd_ = fd;
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
  if (::fsync(fd_) != 0) {
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
  ::close(fd_);
  fd_ = -1;
  return true;
}

void PendingOutput::Discard() {
  if (!temporary_.empty()) ::unlink(temporary_.c_str());
  temporary_.clear();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int RemoveAbandonedOutputs(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return 0;
  int removed = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (!IsTemporaryName(entry->d_name)) continue;
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

std::string JudgeFinishedOutput(const std::string& path, int outputType, int sourceSeconds) {
  MediaInfoEx summary;
  const int type = getMediaInfo2Ex(&summary, path);
  const char* wanted = outputType == 1 ? "AVI" : outputType == 2 ? "MKV" : "MP4";
  bool matches = false;
  switch (outputType) {
    case 1: matches = type == kTypeAvi; break;
    case 2: matches = type == kTypeMkv; break;
    default: matches = type == kTypeMp4 || type == kTypeM4a || type == kTypeM4v || type == kTypeMov; break;
  }
  if (!matches) return std::string("the output does not read back as a ") + wanted + " file";
  // Whole seconds on both sides: the threshold is rounded down, so a file within a second of
  // 90 % passes rather than a whole file failing on rounding.
  if (sourceSeconds > 0 && int64_t{summary.duration_s} < int64_t{sourceSeconds} * 9 / 10) {
    char text[160];
    std::snprintf(text, sizeof text, "the output plays %d s of the source's %d s: it is cut short", summary.duration_s,
                  sourceSeconds);
    return text;
  }
  return {};
}

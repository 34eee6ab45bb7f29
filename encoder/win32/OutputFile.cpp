// Temporary outputs on Windows: exclusive creation, a byte-range lock marking them in use, MoveFileExW into place.
#include "encoder/OutputFile.h"

#include "encoder/PathText.h"
#include "encoder/SystemError.h"
#include "support/WideText.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The lock that marks a temporary output in use covers one byte far past any real end, so
// that it never stands in the way of the encoder writing the file (Windows locks are binding).
OVERLAPPED InUseByte() {
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFF0;
  at.OffsetHigh = 0x7FFFFFFF;
  return at;
}

bool LockInUse(HANDLE h) {
  OVERLAPPED at = InUseByte();
  return ::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

std::optional<FileId> IdOfHandle(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(h, &info)) return std::nullopt;
  return FileId{info.dwVolumeSerialNumber, (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
}

// Marks the file of `h` for removal (it goes when its last handle closes); `h` needs DELETE access.
bool MarkForRemoval(HANDLE h) {
  FILE_DISPOSITION_INFO remove{TRUE};
  return ::SetFileInformationByHandle(h, FileDispositionInfo, &remove, sizeof remove) != 0;
}

HANDLE AsHandle(intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

std::optional<FileId> FileIdOf(const std::string& path, bool follow) {
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<FileId> id = IdOfHandle(h);
  ::CloseHandle(h);
  return id;
}

bool PathEntryExists(const std::string& path) {
  // The attributes of a link are its own: a link to nothing still exists here.
  return ::GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string WhyNotRegularFile(const std::string& path) {
  HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return SystemErrorText(LastSystemError());
  const DWORD type = ::GetFileType(h);
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = type == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info);
  ::CloseHandle(h);
  if (type == FILE_TYPE_PIPE) return "is a pipe, not a regular file";
  if (type == FILE_TYPE_CHAR) return "is a device, not a regular file";
  if (!known) return "is not a regular file";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "is a folder, not a regular file";
  return {};
}

// ---------------------------------------------------------------- PendingOutput

bool PendingOutput::Create(const std::string& finalPath, std::string* error) {
  Discard();
  const std::string folder = FolderOfPath(finalPath);
  for (int tries = 0; tries < 100; ++tries) {
    std::string path = TemporaryOutputCandidate(finalPath);
    // Exclusive: a name that exists (another run's, a link planted there) is never opened. The
    // encoder opens the file again to write it, so reading, writing and renaming stay shared;
    // the handle is not inherited by the encoder.
    HANDLE h = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      DWORD cause = ::GetLastError();
      if (cause == ERROR_FILE_EXISTS || cause == ERROR_ALREADY_EXISTS) continue;
      if (error) *error = "cannot create a file in the output folder " + folder + ": " + SystemErrorText(cause);
      return false;
    }
    // The lock says "in use" to a later run's clean-up. That clean-up may have taken the name
    // between our create and our lock; then the name is no longer ours and we start again.
    std::optional<FileId> mine = LockInUse(h) ? IdOfHandle(h) : std::nullopt;
    if (!mine || FileIdOf(path, false) != mine) {
      ::CloseHandle(h);
      continue;
    }
    handle_ = reinterpret_cast<intptr_t>(h);
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
  if (!::FlushFileBuffers(AsHandle(handle_))) {
    if (error) *error = "cannot write " + final_ + ": " + SystemErrorText(LastSystemError());
    Discard();
    return false;
  }
  DWORD flags = MOVEFILE_WRITE_THROUGH;
  if (replace) {
    for (bool follow : {false, true}) {
      std::optional<FileId> there = FileIdOf(final_, follow);
      if (there && keep.count(*there)) {
        if (error) *error = final_ + " is a source file of this run; it is kept";
        Discard();
        return false;
      }
    }
    // The entry itself is replaced: a link at the final name goes, its target stays.
    flags |= MOVEFILE_REPLACE_EXISTING;
  }
  // Our handle stays open (and locked) through the rename, so no clean-up can take the file
  // meanwhile; it allows the rename, as it shares deletion.
  if (!::MoveFileExW(WidePath(temporary_).c_str(), WidePath(final_).c_str(), flags)) {
    DWORD cause = ::GetLastError();
    if (!replace && (cause == ERROR_ALREADY_EXISTS || cause == ERROR_FILE_EXISTS)) {
      if (error) *error = "a file already exists at " + final_ + "; it is kept (an empty file name prefix never replaces a file)";
    } else if (error) {
      *error = "cannot rename the output to " + final_ + ": " + SystemErrorText(cause);
    }
    Discard();
    return false;
  }
  temporary_.clear();
  ::CloseHandle(AsHandle(handle_));
  handle_ = -1;
  return true;
}

void PendingOutput::Discard() {
  if (!temporary_.empty()) {
    // Removed through a handle of the same file while ours still holds the lock, so that
    // nothing else can have taken the name in between; by name only when that fails.
    bool removed = false;
    HANDLE del = ::CreateFileW(WidePath(temporary_).c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (del != INVALID_HANDLE_VALUE) {
      removed = handle_ != -1 && IdOfHandle(del) == IdOfHandle(AsHandle(handle_)) && MarkForRemoval(del);
      ::CloseHandle(del);
    }
    if (handle_ != -1) ::CloseHandle(AsHandle(handle_));
    handle_ = -1;
    if (!removed) ::DeleteFileW(WidePath(temporary_).c_str());
  }
  temporary_.clear();
  if (handle_ != -1) ::CloseHandle(AsHandle(handle_));
  handle_ = -1;
}

int RemoveAbandonedOutputs(const std::string& folder) {
  WIN32_FIND_DATAW entry{};
  HANDLE find = ::FindFirstFileExW(WidePath(JoinPath(folder, "*")).c_str(), FindExInfoBasic, &entry,
                                   FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return 0;
  int removed = 0;
  do {
    const std::string name = Utf8FromWide(entry.cFileName);
    if (!IsTemporaryOutputName(name)) continue;
    if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) continue;
    HANDLE h = ::CreateFileW(WidePath(JoinPath(folder, name)).c_str(), GENERIC_READ | DELETE, kShareAll, nullptr,
                             OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // Not openable so: an encoder still writes it without sharing its removal.
    if (h == INVALID_HANDLE_VALUE) continue;
    // Unlocked means its run has ended.
    if (::GetFileType(h) == FILE_TYPE_DISK && LockInUse(h) && MarkForRemoval(h)) ++removed;
    ::CloseHandle(h);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return removed;
}

// Work folders on Windows: below the user's own local application data (private by its
// permissions), held by an unshared lock file beside the folder that goes with its handle.
#include "encoder/WorkFolder.h"

#include <filesystem>

#include "encoder/EncoderSystem.h"
#include "encoder/PathText.h"
#include "encoder/SystemError.h"
#include "platform/KnownFolders.h"
#include "support/WideText.h"

namespace fs = std::filesystem;

namespace {

bool IsPlainFolder(const std::string& path) {
  DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

bool RowWorkFolder::MakePrivateFolders(const std::string& path, std::string& why) {
  std::error_code ec;
  fs::create_directories(FsPath(path), ec);
  if (ec) {
    why = path + ": " + ec.message();
    return false;
  }
  if (!IsPlainFolder(path)) {
    why = path + ": not a folder";
    return false;
  }
  return true;
}

std::string WorkFolderBase(bool temporary) {
  // The temporary folder is the user's own here, so it needs no user number in the name.
  return JoinPath(temporary ? SpecialFolderPath(kFolderTemp) : UserLocalDataFolder(), "zelvora\\work");
}

RowWorkFolder::~RowWorkFolder() {
  if (!path_.empty()) {
    RemoveFolderTree(path_);
  }
  if (lock_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(lock_));
}

bool RowWorkFolder::TryTake(const std::string& folder, std::string& why) {
  bool made = ::CreateDirectoryW(WidePath(folder).c_str(), nullptr) != 0;
  if (!made && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    why = folder + ": " + SystemErrorText(LastSystemError());
    return false;
  }
  // The folder is ours while we hold its lock file open unshared; the file goes when the handle
  // does, also when this process dies.
  HANDLE lock = ::CreateFileW(WidePath(folder + ".lock").c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (lock == INVALID_HANDLE_VALUE) {
    DWORD cause = ::GetLastError();
    // Another run works in it, or its lock file is still going away.
    if (cause == ERROR_SHARING_VIOLATION || cause == ERROR_LOCK_VIOLATION || cause == ERROR_ACCESS_DENIED) return false;
    why = folder + ".lock: " + SystemErrorText(cause);
    return false;
  }
  if (!IsPlainFolder(folder)) {
    ::CloseHandle(lock);
    why = folder + ": not a folder";
    return false;
  }
  // Left over by a run that ended without cleaning up: start empty.
  if (!made) RemoveFolderTree(folder, true);
  lock_ = reinterpret_cast<intptr_t>(lock);
  path_ = folder;
  return true;
}

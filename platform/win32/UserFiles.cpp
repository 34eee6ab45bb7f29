// Private folders, no-replace renames and thread priority on Windows.
#include "platform/UserFiles.h"

#include <windows.h>

#include <filesystem>

#include "support/WideText.h"

namespace platform {

bool IsPrivateFolder(const std::string& folder) {
  const DWORD attributes = ::GetFileAttributesW(WidePath(folder).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool MakePrivateFolder(const std::string& folder) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(WidePath(folder)), ec);
  return IsPrivateFolder(folder);
}

unsigned long CurrentUserNumber() { return 0; }

bool RenameNoReplace(const std::string& from, const std::string& to) {
  // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
  return ::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(), MOVEFILE_COPY_ALLOWED) != 0;
}

void LowerThisThreadPriority() { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

}  // namespace platform

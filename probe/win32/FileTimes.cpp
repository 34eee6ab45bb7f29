// File times through GetFileAttributesExW, which keeps the creation time on every Windows file system.
#include "probe/FileTimes.h"

#include "support/WideText.h"

namespace {

// FILETIME counts 100 ns steps since 1601; the summary counts seconds since 1970.
int64_t UnixSeconds(const FILETIME& ft) {
  int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return ticks / 10000000 - 11644473600LL;
}

}  // namespace

bool GetFileTimes(const std::string& path, FileTimes* times) {
  if (!times) return false;
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data)) return false;
  times->size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  times->modified = UnixSeconds(data.ftLastWriteTime);
  times->created = UnixSeconds(data.ftCreationTime);
  return true;
}

// Size and duration texts.
#include "support/TextFormat.h"

#include <cstdio>

std::string FormatByteSize(int64_t bytes) {
  if (bytes == 0) return {};
  constexpr int64_t kKB = 1024, kMB = kKB * 1024, kGB = kMB * 1024, kTB = kGB * 1024;
  char out[64];
  if (bytes >= kTB)
    std::snprintf(out, sizeof out, "%3.1fTB", static_cast<double>(bytes / kTB));
  else if (bytes >= kGB)
    std::snprintf(out, sizeof out, "%3.1fGB", static_cast<double>(bytes) / static_cast<double>(kGB));
  else if (bytes >= kMB)
    std::snprintf(out, sizeof out, "%dMB", static_cast<int>((bytes + kMB - 1) / kMB));
  else if (bytes >= kKB)
    std::snprintf(out, sizeof out, "%dKB", static_cast<int>((bytes + kKB - 1) / kKB));
  else
    std::snprintf(out, sizeof out, "%d Bytes", static_cast<int>(bytes));
  return out;
}

bool FormatDuration(int64_t seconds, std::string& out, char separator) {
  if (seconds < 0) return false;
  long long h = seconds / 3600, m = (seconds / 60) % 60, s = seconds % 60;
  char buf[64];
  if (separator)
    std::snprintf(buf, sizeof buf, "%02lld%c%02lld%c%02lld", h, separator, m, separator, s);
  else
    std::snprintf(buf, sizeof buf, "%02lld%02lld%02lld", h, m, s);
  out = buf;
  return true;
}

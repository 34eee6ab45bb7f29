// Member paths made safe to join below a destination, and DOS times.
#include "update/ArchiveSafety.h"

#include <vector>

std::optional<std::string> SafeMemberPath(std::string_view stored) {
  if (stored.empty() || stored.find('\0') != std::string_view::npos) return std::nullopt;
  if (stored[0] == '/' || stored[0] == '\\') return std::nullopt;
  // "C:" names a drive; a colon in a first component is never a plain folder name from Windows.
  if (stored.size() >= 2 && stored[1] == ':') return std::nullopt;
  std::string path;
  size_t start = 0;
  while (start <= stored.size()) {
    size_t end = stored.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = stored.size();
    std::string_view part = stored.substr(start, end - start);
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") {
      if (!path.empty()) path += '/';
      path += part;
    }
    start = end + 1;
  }
  if (path.empty()) return std::nullopt;
  return path;
}

std::optional<std::time_t> DosDateTimeToUnix(uint16_t date, uint16_t time) {
  const int day = date & 0x1F, month = (date >> 5) & 0x0F, year = 1980 + (date >> 9);
  const int second = (time & 0x1F) * 2, minute = (time >> 5) & 0x3F, hour = time >> 11;
  if (day < 1 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59) return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return std::nullopt;
  return t;
}

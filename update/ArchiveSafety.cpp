// Member paths made safe to join below a destination, and DOS times.
#include "update/ArchiveSafety.h"

#include <vector>

#include "support/AsciiText.h"

namespace {

// Windows opens a device, or another stream of a file, for some names of plain look, and drops
// a trailing dot or space: such a name would not be the file it says.
[[maybe_unused]] bool WindowsRefusesPart(std::string_view part) {
  if (part.find_first_of(":<>\"|?*") != std::string_view::npos) return true;
  if (part.back() == '.' || part.back() == ' ') return true;
  const std::string_view stem = part.substr(0, part.find('.'));
  static constexpr std::string_view kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (auto d : kDevices)
    if (SameIgnoringCase(TrimBlanks(stem), d)) return true;
  if (stem.size() == 4 && (SameIgnoringCase(stem.substr(0, 3), "COM") || SameIgnoringCase(stem.substr(0, 3), "LPT")) &&
      stem[3] >= '0' && stem[3] <= '9')
    return true;
  return false;
}

}  // namespace

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
#ifdef _WIN32
    if (!part.empty() && part != "." && WindowsRefusesPart(part)) return std::nullopt;
#endif
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

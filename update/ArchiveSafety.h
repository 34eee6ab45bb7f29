// What ZIP and cabinet extraction share: safe member paths, size limits, DOS times, the report.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

// Archives whose members declare more than this in total are refused: an update package is
// far smaller, and a forged size must not fill the disk.
inline constexpr uint64_t kMaxArchiveTotal = uint64_t{1} << 30;
// Nor may a member (or a cabinet as a whole) claim to grow more than this many times.
inline constexpr uint64_t kMaxArchiveRatio = 1000;

// Whether `declared` bytes made from `stored` bytes grow more than kMaxArchiveRatio times, exactly
// (declared > stored × ratio, without the product overflowing): 10 bytes may declare 10000, not 10001.
inline bool ExceedsArchiveRatio(uint64_t declared, uint64_t stored) {
  const uint64_t whole = declared / kMaxArchiveRatio;
  return whole > stored || (whole == stored && declared % kMaxArchiveRatio != 0);
}

// The member's path below the destination with '/' separators, backslashes read as
// separators too, empty and "." parts dropped. Nothing when the name is empty, absolute
// (leading separator or a drive letter), climbs with "..", or holds a NUL.
std::optional<std::string> SafeMemberPath(std::string_view stored);

// Seconds since 1970 for a DOS date and time read as local time; nothing when a field is out of range.
std::optional<std::time_t> DosDateTimeToUnix(uint16_t date, uint16_t time);

// How an extraction went, member by member.
struct ArchiveReport {
  int members = 0;    // members in the archive (positions 0 … members − 1)
  int extracted = 0;  // written whole and checked
  int failed = 0;     // unsupported, encrypted, damaged, or a file error
  int skipped = 0;    // unsafe name, a link, or (without overwrite) already present
  bool stopped = false;  // asked to stop: the member under way was dropped, the rest not begun
};

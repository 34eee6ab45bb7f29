// Case-insensitive comparison and blank trimming in ASCII terms.
#include "support/AsciiText.h"

#include <algorithm>
#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool SameAt(std::string_view text, size_t at, std::string_view word) {
  for (size_t k = 0; k < word.size(); ++k)
    if (AsciiLower(text[at + k]) != AsciiLower(word[k])) return false;
  return true;
}

}  // namespace

bool SameIgnoringCase(std::string_view a, std::string_view b) { return a.size() == b.size() && SameAt(a, 0, b); }

bool ContainsIgnoringCase(std::string_view text, std::string_view needle) {
  if (needle.empty()) return true;
  if (needle.size() > text.size()) return false;
  // Only the places where the needle's first letter stands (in either case) are compared;
  // memchr finds them far faster than a comparison at every byte, which is what keeps an
  // encoder's 20 KB lines of noise cheap. The next place of each case is kept until passed,
  // so the text is searched once for each.
  const char* const begin = text.data();
  const char* const end = begin + (text.size() - needle.size() + 1);  // past the last start
  const char lower = AsciiLower(needle[0]);
  const char upper = lower >= 'a' && lower <= 'z' ? static_cast<char>(lower - 'a' + 'A') : lower;
  auto next = [end](char c, const char* from) {
    const void* found = from < end ? std::memchr(from, c, static_cast<size_t>(end - from)) : nullptr;
    return found ? static_cast<const char*>(found) : end;
  };
  const char* atLower = next(lower, begin);
  const char* atUpper = upper == lower ? end : next(upper, begin);
  for (;;) {
    const char* at = std::min(atLower, atUpper);
    if (at == end) return false;
    if (SameAt(text, static_cast<size_t>(at - begin), needle)) return true;
    if (atLower == at) atLower = next(lower, at + 1);
    if (atUpper == at) atUpper = next(upper, at + 1);
  }
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

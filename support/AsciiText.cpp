// Case-insensitive comparison and blank trimming in ASCII terms.
#include "support/AsciiText.h"

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
  if (needle.size() > text.size()) return false;
  for (size_t i = 0; i + needle.size() <= text.size(); ++i)
    if (SameAt(text, i, needle)) return true;
  return false;
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

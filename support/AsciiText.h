// Texts compared and trimmed in ASCII terms, the same way everywhere: letter case is ignored
// for A to Z only (other bytes, such as those of UTF-8 letters, compare as they are), and
// blanks are spaces and tabs.
#pragma once

#include <string_view>

constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Whether `a` and `b` are the same text ignoring letter case.
bool SameIgnoringCase(std::string_view a, std::string_view b);

// Whether `needle` occurs in `text` ignoring letter case (an empty needle always does).
bool ContainsIgnoringCase(std::string_view text, std::string_view needle);

// `text` without the blanks at its start and end.
std::string_view TrimBlanks(std::string_view text);

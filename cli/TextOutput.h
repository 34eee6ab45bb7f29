// Text for the terminal and for JSON from bytes that may come from hostile files.
#pragma once

#include <string>
#include <string_view>

// A JSON string literal (with its quotes): control characters escaped, bytes that are not
// valid UTF-8 replaced by U+FFFD, so the output is valid JSON whatever the input.
std::string JsonString(std::string_view text);

// The text with control characters and invalid UTF-8 replaced by '?', so that nothing a
// file holds can move the cursor or change the terminal's state.
std::string TerminalSafe(std::string_view text);

// Columns the text takes in a terminal: East Asian wide characters (Hangul, CJK) take two,
// combining marks none, everything else one.
size_t DisplayWidth(std::string_view text);

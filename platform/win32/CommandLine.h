// Argument vectors turned into the one command line a Windows program receives, and the file
// name rules by which programs are found.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "support/WideText.h"

namespace platform::win32 {

// One argument quoted so that the C runtime (and CommandLineToArgvW) splits it back unchanged:
// backslashes are literal except before a double quote, where each one is doubled and the
// quote escaped; a run of backslashes that ends the argument is doubled because the closing
// quote follows it.
inline std::wstring QuoteArgument(const std::wstring& arg) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
      continue;
    }
    out.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, L'\\');
  return out + L"\"";
}

// The command line for argv, or none with the reason in `error`. The program's own name is read
// by other rules (up to the next quote, no escapes), so it is always quoted and may hold no quote.
inline std::optional<std::wstring> BuildCommandLine(const std::vector<std::string>& argv, std::string& error) {
  std::wstring line;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (argv[i].find('\0') != std::string::npos) {
      error = "argument " + std::to_string(i) + " holds a NUL character and cannot be passed";
      return std::nullopt;
    }
    std::optional<std::wstring> wide = StrictWideFromUtf8(argv[i]);
    if (!wide) {
      error = "argument " + std::to_string(i) + " is not valid UTF-8";
      return std::nullopt;
    }
    if (i == 0) {
      if (wide->find(L'"') != std::wstring::npos) {
        error = argv[0] + ": a program name with a double quote cannot be passed";
        return std::nullopt;
      }
      line = L"\"" + *wide + L"\"";
    } else {
      line += L" " + QuoteArgument(*wide);
    }
  }
  // The system's limit for a command line, terminator included.
  if (line.size() >= 32767) {
    error = argv[0] + ": the command line is longer than Windows allows (32766 characters)";
    return std::nullopt;
  }
  return line;
}

inline bool EndsWithNoCase(const std::string& text, const char* suffix) {
  size_t n = std::char_traits<char>::length(suffix);
  if (text.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = text[text.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

// Files that CreateProcess runs by themselves. A batch file would be handed to cmd.exe, a
// shell that reads its arguments anew: we never start one.
inline bool IsProgramName(const std::string& name) { return EndsWithNoCase(name, ".exe") || EndsWithNoCase(name, ".com"); }
inline bool IsBatchName(const std::string& name) { return EndsWithNoCase(name, ".bat") || EndsWithNoCase(name, ".cmd"); }

}  // namespace platform::win32

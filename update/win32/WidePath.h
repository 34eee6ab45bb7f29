// UTF-8 paths of the update code turned into the wide, long-path form the Win32 calls take.
#pragma once

#include <windows.h>

#include <string>

#include "support/WideText.h"

namespace widepath {

// Empty when the text is not valid UTF-8: a replaced character would name another file.
inline std::wstring Widen(const std::string& text) { return StrictWideFromUtf8(text).value_or(std::wstring()); }

inline std::string Narrow(const std::wstring& wide) { return Utf8FromWide(wide); }

// The absolute "\\?\" form of `path`, which is not cut at 260 characters. Relative paths and
// '/' separators are resolved first, since the prefixed form takes the text literally.
// Empty when the text is not valid UTF-8 or cannot be resolved.
inline std::wstring Long(const std::string& path) {
  std::wstring wide = Widen(path);
  if (wide.empty()) return {};
  if (wide.rfind(L"\\\\?\\", 0) == 0) return wide;
  for (wchar_t& c : wide)
    if (c == L'/') c = L'\\';
  DWORD n = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return {};
  std::wstring full(n, L'\0');
  n = ::GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (n == 0 || n >= full.size()) return {};
  full.resize(n);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// The system's text for a Win32 error code, in UTF-8 without the trailing line break.
inline std::string ErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
  return text.empty() ? "error " + std::to_string(error) : Narrow(text);
}

}  // namespace widepath

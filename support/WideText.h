// UTF-8 inside, wide text at the Windows boundary: every path and text handed to a W call goes
// through these, so that Korean names and paths past 260 characters reach the system intact.
#pragma once

#ifdef _WIN32
#include <windows.h>

#include <optional>
#include <string>

// UTF-8 to wide text, or none when `text` is not valid UTF-8: where a replacement character
// would name another file or hand a program another argument than the one asked for.
inline std::optional<std::wstring> StrictWideFromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

inline std::wstring WideFromUtf8(const std::string& text) {
  if (text.empty()) return {};
  int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  return wide;
}

inline std::string Utf8FromWide(const std::wstring& wide) {
  if (wide.empty()) return {};
  int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string text(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0)
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), n, nullptr, nullptr);
  return text;
}

// A path for the W calls: absolute paths get the \\?\ prefix, which lifts the 260-character
// limit; that form takes no forward slashes, so they become backslashes.
inline std::wstring WidePath(const std::string& path) {
  std::wstring wide = WideFromUtf8(path);
  for (auto& c : wide)
    if (c == L'/') c = L'\\';
  bool drive = wide.size() > 2 && wide[1] == L':' && wide[2] == L'\\';
  if (drive && wide.size() >= 248) return L"\\\\?\\" + wide;
  return wide;
}
#endif

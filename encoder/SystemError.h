// The system's own text for an error code, in UTF-8: errno values on POSIX, Win32 error codes on Windows.
#pragma once

#include <string>

#ifdef _WIN32
#include "support/WideText.h"

// The system's text for a Win32 error code, without the line break it ends with.
inline std::string SystemErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
    text.pop_back();
  return text.empty() ? "error " + std::to_string(code) : Utf8FromWide(text);
}

inline unsigned long LastSystemError() { return ::GetLastError(); }
#else
#include <cerrno>
#include <cstring>

inline std::string SystemErrorText(int code) { return std::strerror(code); }

inline int LastSystemError() { return errno; }
#endif

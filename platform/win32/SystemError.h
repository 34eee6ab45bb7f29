// The system's own text for a Win32 error code, for the messages of the Windows platform files.
#pragma once

#include <windows.h>

#include <string>

#include "support/WideText.h"

namespace platform::win32 {

// "The system cannot find the file specified. (error 2)": the system's words in UTF-8, with the
// number kept for a report that is read on a system in another language.
inline std::string ErrorText(DWORD error) {
  wchar_t* buffer = nullptr;
  DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n && buffer ? std::wstring(buffer, n) : std::wstring();
  if (buffer) ::LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
    text.pop_back();
  std::string number = "error " + std::to_string(error);
  return text.empty() ? number : Utf8FromWide(text) + " (" + number + ")";
}

// Closes a handle once; null and INVALID_HANDLE_VALUE are both "none".
inline void CloseHandleOnce(HANDLE& handle) {
  if (handle && handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  handle = nullptr;
}

}  // namespace platform::win32

// Paths are UTF-8 text everywhere in the program; these turn them into std::filesystem paths and
// back, and know this system's separators.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

#ifdef _WIN32
#include "support/WideText.h"

inline constexpr char kPathSeparator = '\\';
inline constexpr const char* kPathSeparators = "/\\";  // Windows takes both slashes in a path
#else
inline constexpr char kPathSeparator = '/';
inline constexpr const char* kPathSeparators = "/";
#endif

// The file system's path for UTF-8 text. On Windows std::filesystem would read a narrow string
// in the ANSI code page (and throw on what it cannot convert), so the text is widened here; a
// long absolute path gets the \\?\ form that lifts the 260-character limit.
inline std::filesystem::path FsPath(const std::string& utf8) {
#ifdef _WIN32
  return std::filesystem::path(WidePath(utf8));
#else
  return std::filesystem::path(utf8);
#endif
}

// The same path for work on its text alone (absolute, normal form, root): never in the long
// \\?\ form, which those operations do not understand.
inline std::filesystem::path FsTextPath(const std::string& utf8) {
#ifdef _WIN32
  return std::filesystem::path(WideFromUtf8(utf8));
#else
  return std::filesystem::path(utf8);
#endif
}

// UTF-8 text for a file system path, without the \\?\ form FsPath may have added.
inline std::string Utf8Path(const std::filesystem::path& path) {
#ifdef _WIN32
  std::wstring wide = path.wstring();
  if (wide.rfind(L"\\\\?\\UNC\\", 0) == 0)
    wide = L"\\\\" + wide.substr(8);
  else if (wide.rfind(L"\\\\?\\", 0) == 0)
    wide = wide.substr(4);
  return Utf8FromWide(wide);
#else
  return path.string();
#endif
}

// Where the last separator of `path` is, or npos.
inline size_t LastPathSeparator(const std::string& path) { return path.find_last_of(kPathSeparators); }

inline bool EndsWithPathSeparator(const std::string& path) {
  return !path.empty() && std::string(kPathSeparators).find(path.back()) != std::string::npos;
}

// `folder` and `name` joined by one separator.
inline std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return EndsWithPathSeparator(folder) ? folder + name : folder + kPathSeparator + name;
}

// The absolute, lexically normal form of `path` (relative to the current folder), or `path`
// itself when it has none.
inline std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  std::filesystem::path full = std::filesystem::absolute(FsTextPath(path), ec);
  if (ec) return path;
  return Utf8Path(full.lexically_normal());
}

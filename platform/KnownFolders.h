// Well-known folders of this system: the program folder, the user's folders, the default subtitle font.
#pragma once

#include <string>

// Kinds of special folder, numbered as callers pass them.
inline constexpr int kFolderSystem = 0x100;        // /usr/lib
inline constexpr int kFolderTemp = 0x101;          // $TMPDIR or /tmp
inline constexpr int kFolderDesktop = 0x102;       // the XDG desktop folder
inline constexpr int kFolderInternetCache = 0x103; // $XDG_CACHE_HOME
inline constexpr int kFolderProgramFiles = 0x104;  // /opt
inline constexpr int kFolderLocalData = 0x105;     // $XDG_DATA_HOME

// The folder of `kind` without a trailing separator, created (with its parents) when missing.
// Empty for an unknown kind. `osVersion` and `lowFlag` only matter on Windows: here the
// per-user local data folder serves for both of its flavours.
std::string GetSpecialFolder(int kind, int osVersion = 0, int lowFlag = 0);

// The same path, without creating anything.
std::string SpecialFolderPath(int kind);

// The user's home folder ($HOME, else the password database).
std::string HomeFolder();

// The folder that holds the running executable (no trailing separator).
std::string GetProgramFolder();

// The file of the default Hangul sans-serif font as fontconfig names it, or empty when
// fontconfig cannot tell. Asked once per process.
std::string DefaultHangulFontFile();

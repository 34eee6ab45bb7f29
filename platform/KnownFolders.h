// Well-known folders of this system: the program folder, the user's folders, the default subtitle font.
#pragma once

#include <string>

// Kinds of special folder, numbered as callers pass them (here; on Windows).
inline constexpr int kFolderSystem = 0x100;        // /usr/lib; the system folder
inline constexpr int kFolderTemp = 0x101;          // $TMPDIR or /tmp; GetTempPathW
inline constexpr int kFolderDesktop = 0x102;       // the XDG desktop folder; the desktop
inline constexpr int kFolderInternetCache = 0x103; // $XDG_CACHE_HOME; the internet cache
inline constexpr int kFolderProgramFiles = 0x104;  // /opt; program files
inline constexpr int kFolderLocalData = 0x105;     // $XDG_DATA_HOME; AppData\LocalLow or Local

// The folder of `kind` without a trailing separator, created (with its parents) when missing.
// Empty for an unknown kind. `osVersion` and `lowFlag` only matter on Windows, for the local
// data folder: from Vista on (`osVersion` above 2005) LocalLow when `lowFlag` is 1, Local when
// it is 0, and for another value LocalLow only in the browser's protected mode; before Vista
// the program files folder. Here the per-user local data folder serves for every flavour.
std::string GetSpecialFolder(int kind, int osVersion = 0, int lowFlag = 0);

// The same path, without creating anything (on Windows the known folders the shell creates
// when they are missing; the local data folder in its LocalLow flavour).
std::string SpecialFolderPath(int kind);

// The user's home folder ($HOME, else the password database; on Windows %USERPROFILE%, else
// the profile folder).
std::string HomeFolder();

// The folder that holds the running executable (no trailing separator).
std::string GetProgramFolder();

// The file of the default Hangul sans-serif font as fontconfig names it, or empty when
// fontconfig cannot tell (on Windows gulim.ttc or else malgun.ttf of the Fonts folder, when
// there). Asked once per process.
std::string DefaultHangulFontFile();

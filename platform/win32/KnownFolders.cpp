// Special folders from the shell's known folders; program folder from the module's file name.
#include "platform/KnownFolders.h"

#include <windows.h>

#include <knownfolders.h>
#include <shlobj.h>

#include <cstdlib>

#include "support/FileUtils.h"
#include "support/WideText.h"

namespace {

std::string WithoutTrailingSeparator(std::string path) {
  // "C:\" keeps its separator: without it the text names the current folder of the drive.
  while (path.size() > 1 && (path.back() == '\\' || path.back() == '/') && path[path.size() - 2] != ':')
    path.pop_back();
  return path;
}

// A known folder, created by the shell when it is missing; empty when the shell cannot tell.
std::string KnownFolder(REFKNOWNFOLDERID id) {
  wchar_t* path = nullptr;
  std::string folder;
  if (SUCCEEDED(::SHGetKnownFolderPath(id, KF_FLAG_CREATE, nullptr, &path)) && path)
    folder = WithoutTrailingSeparator(Utf8FromWide(path));
  ::CoTaskMemFree(path);
  return folder;
}

std::string WindowsFolder() {
  wchar_t buffer[MAX_PATH];
  UINT n = ::GetSystemWindowsDirectoryW(buffer, MAX_PATH);
  return n > 0 && n < MAX_PATH ? WithoutTrailingSeparator(Utf8FromWide(std::wstring(buffer, n))) : std::string();
}

std::string OrFallback(std::string folder, std::string fallback) { return folder.empty() ? fallback : folder; }

// Whether the process runs in the browser's protected mode: ieframe.dll says so, or refuses to
// tell with "access denied", which only a protected process gets.
bool InProtectedMode() {
  std::wstring system(MAX_PATH, L'\0');
  UINT n = ::GetSystemDirectoryW(system.data(), static_cast<UINT>(system.size()));
  if (n == 0 || n >= system.size()) return false;
  system.resize(n);
  HMODULE frame = ::LoadLibraryExW((system + L"\\ieframe.dll").c_str(), nullptr, 0);
  if (!frame) return false;
  using IsProtected = HRESULT(WINAPI*)(BOOL*);
  auto ask = reinterpret_cast<IsProtected>(reinterpret_cast<void*>(::GetProcAddress(frame, "IEIsProtectedModeProcess")));
  BOOL yes = FALSE;
  HRESULT result = ask ? ask(&yes) : E_NOTIMPL;
  ::FreeLibrary(frame);
  return (SUCCEEDED(result) && yes) || result == E_ACCESSDENIED;
}

}  // namespace

std::string HomeFolder() {
  // The wide variable: the narrow copy holds the ANSI code page's rendering of the name.
  if (const wchar_t* profile = ::_wgetenv(L"USERPROFILE"); profile && *profile)
    return WithoutTrailingSeparator(Utf8FromWide(profile));
  return KnownFolder(FOLDERID_Profile);
}

std::string SpecialFolderPath(int kind) {
  switch (kind) {
    case kFolderSystem: {
      wchar_t buffer[MAX_PATH];
      UINT n = ::GetSystemDirectoryW(buffer, MAX_PATH);
      return n > 0 && n < MAX_PATH ? WithoutTrailingSeparator(Utf8FromWide(std::wstring(buffer, n)))
                                   : std::string("C:\\Windows\\System");
    }
    case kFolderTemp: {
      // GetTempPathW answers with at most MAX_PATH + 1 characters and a trailing backslash.
      wchar_t buffer[MAX_PATH + 2];
      DWORD n = ::GetTempPathW(MAX_PATH + 2, buffer);
      return n > 0 && n <= MAX_PATH + 1 ? WithoutTrailingSeparator(Utf8FromWide(std::wstring(buffer, n)))
                                        : std::string("C:\\temp");
    }
    case kFolderDesktop:
      return OrFallback(KnownFolder(FOLDERID_Desktop), "C:\\Windows\\바탕 화면");
    case kFolderInternetCache:
      return OrFallback(KnownFolder(FOLDERID_InternetCache),
                        OrFallback(WindowsFolder(), "C:\\Windows") + "\\Local Settings\\Temporary Internet Files");
    case kFolderProgramFiles:
      return OrFallback(KnownFolder(FOLDERID_ProgramFiles), "C:\\Program Files");
    case kFolderLocalData:
      // The low flavour, which the update client's log uses; GetSpecialFolder chooses.
      return KnownFolder(FOLDERID_LocalAppDataLow);
    default:
      return {};
  }
}

std::string GetSpecialFolder(int kind, int osVersion, int lowFlag) {
  std::string path;
  if (kind == kFolderLocalData) {
    // Before Vista there is no per-user local folder of either flavour: program files serve.
    if (osVersion <= 2005) return GetSpecialFolder(kFolderProgramFiles, osVersion, lowFlag);
    const bool low = lowFlag == 1 || (lowFlag != 0 && InProtectedMode());
    path = KnownFolder(low ? FOLDERID_LocalAppDataLow : FOLDERID_LocalAppData);
    if (path.empty()) return {};
  } else {
    path = SpecialFolderPath(kind);
  }
  if (!path.empty()) MakeFolderPath(path);
  return path;
}

std::string GetProgramFolder() {
  std::string path = RunningExecutablePath();
  size_t cut = path.find_last_of("\\/");
  if (cut == std::string::npos) return {};
  path.resize(cut);
  // The folder of "C:\zelvora.exe" is "C:\".
  return path.size() == 2 && path[1] == ':' ? path + "\\" : path;
}

std::string DefaultHangulFontFile() {
  static const std::string font = [] {
    std::string fonts = KnownFolder(FOLDERID_Fonts);
    if (fonts.empty()) fonts = OrFallback(WindowsFolder(), "C:\\Windows") + "\\Fonts";
    // Gulim is the subtitle font of every Korean system before Windows 10; Malgun Gothic is
    // on every system since Vista.
    for (const char* name : {"gulim.ttc", "malgun.ttf"})
      if (FileExists(fonts + "\\" + name)) return fonts + "\\" + name;
    return std::string();
  }();
  return font;
}

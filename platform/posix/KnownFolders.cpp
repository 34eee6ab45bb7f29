// Special folders from the XDG variables and user-dirs.dirs; program folder from /proc/self/exe.
#include "platform/KnownFolders.h"

#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <unistd.h>
#include <vector>

#include "platform/CaptureRun.h"
#include "support/FileUtils.h"

namespace {

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : std::string();
}

std::string WithoutTrailingSlash(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// An XDG base folder: the variable when it holds an absolute path, else home + fallback.
std::string XdgFolder(const char* variable, const char* homeRelative) {
  std::string v = Env(variable);
  if (!v.empty() && v.front() == '/') return WithoutTrailingSlash(v);
  return HomeFolder() + homeRelative;
}

// XDG_DESKTOP_DIR from user-dirs.dirs: a quoted absolute path or one starting with "$HOME".
std::string DesktopFromUserDirs() {
  std::ifstream in(XdgFolder("XDG_CONFIG_HOME", "/.config") + "/user-dirs.dirs");
  std::string line;
  const std::string key = "XDG_DESKTOP_DIR=";
  while (std::getline(in, line)) {
    if (line.compare(0, key.size(), key) != 0) continue;
    std::string value = line.substr(key.size());
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') return {};
    value = value.substr(1, value.size() - 2);
    if (value.compare(0, 5, "$HOME") == 0) return WithoutTrailingSlash(HomeFolder() + value.substr(5));
    if (!value.empty() && value.front() == '/') return WithoutTrailingSlash(value);
    return {};
  }
  return {};
}

}  // namespace

std::string HomeFolder() {
  std::string home = Env("HOME");
  if (!home.empty()) return WithoutTrailingSlash(home);
  std::vector<char> buf(16384);
  struct passwd pw{};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_dir)
    return WithoutTrailingSlash(found->pw_dir);
  return "/";
}

std::string SpecialFolderPath(int kind) {
  switch (kind) {
    case kFolderSystem:
      return "/usr/lib";
    case kFolderTemp: {
      std::string tmp = Env("TMPDIR");
      return !tmp.empty() && tmp.front() == '/' ? WithoutTrailingSlash(tmp) : "/tmp";
    }
    case kFolderDesktop: {
      std::string desktop = DesktopFromUserDirs();
      return desktop.empty() ? HomeFolder() + "/Desktop" : desktop;
    }
    case kFolderInternetCache:
      return XdgFolder("XDG_CACHE_HOME", "/.cache");
    case kFolderProgramFiles:
      return "/opt";
    case kFolderLocalData:
      return XdgFolder("XDG_DATA_HOME", "/.local/share");
    default:
      return {};
  }
}

std::string GetSpecialFolder(int kind, int, int) {
  std::string path = SpecialFolderPath(kind);
  if (!path.empty()) MakeFolderPath(path);
  return path;
}

std::string GetProgramFolder() {
  std::string path = RunningExecutablePath();
  if (path.empty()) return {};
  CutAfterLastBackslash(path, false);
  return path.empty() ? "/" : path;
}

std::string DefaultHangulFontFile() {
  static const std::string font = [] {
    // fc-match always names some font, Hangul or not: its language list must hold Korean.
    // Asked once per process; a cold font cache on a busy machine can take seconds.
    CaptureResult r = RunAndCapture({"fc-match", "-f", "%{file}\n%{lang}\n", "sans:lang=ko"}, 30000, 16384,
                                    CaptureStreams::kOutputOnly);
    if (r.exitStatus != 0) return std::string();
    const std::string& out = r.output;
    size_t end = out.find('\n');
    if (end == std::string::npos) return std::string();
    std::string file = out.substr(0, end);
    std::string langs = "|" + out.substr(end + 1, out.find('\n', end + 1) - end - 1) + "|";
    if (langs.find("|ko|") == std::string::npos) return std::string();
    if (file.empty() || file.front() != '/' || !FileExists(file)) return std::string();
    return file;
  }();
  return font;
}

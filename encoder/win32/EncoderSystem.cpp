// The encoding engine's own system calls on Windows.
#include "encoder/EncoderSystem.h"

#include <cstdio>
#include <cstdlib>
#include <random>

#include "encoder/PathText.h"
#include "platform/KnownFolders.h"
#include "support/WideText.h"

void StopEncoderAtOnce(int pid) {
  if (pid <= 0) return;
  HANDLE process = ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (!process) return;
  // Its handles (the output file among them) are closed once the process has ended.
  if (::TerminateProcess(process, 1)) ::WaitForSingleObject(process, 2000);
  ::CloseHandle(process);
}

std::string UnexpectedEncoderEnd(const platform::ExitInfo& exit) {
  // Exit statuses with both top bits set are exception codes: the process crashed.
  const unsigned code = static_cast<unsigned>(exit.code);
  if (!exit.signalled && (code & 0xC0000000u) != 0xC0000000u) return {};
  char text[96];
  std::snprintf(text, sizeof text, "the encoder ended with the exception 0x%08X", code);
  return text;
}

bool Cp949ToUtf8(std::string_view line, std::string& out) {
  if (line.empty()) {
    out.clear();
    return true;
  }
  const int size = static_cast<int>(line.size());
  int n = ::MultiByteToWideChar(949, MB_ERR_INVALID_CHARS, line.data(), size, nullptr, 0);
  if (n <= 0) return false;
  std::wstring wide(static_cast<size_t>(n), L'\0');
  if (::MultiByteToWideChar(949, MB_ERR_INVALID_CHARS, line.data(), size, wide.data(), n) != n) return false;
  out = Utf8FromWide(wide);
  return true;
}

std::string MakeUniqueFolder(const std::string& base, const std::string& lead) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  for (int tries = 0; tries < 100; ++tries) {
    std::string name = lead;
    for (int i = 0; i < 6; ++i) name += kAlphabet[pick(generator)];
    std::string path = JoinPath(base, name);
    // The temporary folder is the user's own; a new folder in it takes its permissions.
    if (::CreateDirectoryW(WidePath(path).c_str(), nullptr)) return path;
    if (::GetLastError() != ERROR_ALREADY_EXISTS) return {};
  }
  return {};
}

std::string UserLocalDataFolder() {
  if (const char* moved = std::getenv("ZELVORA_LOCAL_DATA_FOLDER"); moved && *moved) return moved;
  // Any version from Vista on: the Local flavour.
  return GetSpecialFolder(kFolderLocalData, 2006, 0);
}

bool ProgramFileStamp(const std::string& path, long long& size, long long& mtimeNs) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (path.empty() || !::GetFileAttributesExW(WidePath(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return false;
  size = static_cast<long long>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  // 100 ns steps since 1601.
  mtimeNs = static_cast<long long>(
      ((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime) * 100);
  return true;
}

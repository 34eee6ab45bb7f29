// Subtitle lookup and UTF-8 copies of subtitles written in the Korean code page.
#include "encoder/Subtitles.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "encoder/EncoderSystem.h"
#include "encoder/PathText.h"
#include "support/DebugLog.h"
#include "support/FileUtils.h"

namespace {

constexpr size_t kMaxLine = 8191;

// Reads lines of at most kMaxLine bytes (a longer line continues as the next one), keeping
// the terminator so that a copy is byte for byte the same where nothing is converted.
bool NextLine(std::istream& in, std::string& line) {
  line.clear();
  char c;
  while (line.size() < kMaxLine && in.get(c)) {
    line.push_back(c);
    if (c == '\n') break;
  }
  return !line.empty();
}

bool IsAsciiOnly(std::string_view line) {
  for (unsigned char c : line)
    if (c > 127) return false;
  return true;
}

}  // namespace

std::string FindSubtitleFile(const std::string& sourcePath, int outputType) {
  size_t slash = LastPathSeparator(sourcePath);
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = sourcePath.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot < nameStart) return {};
  std::string candidate = sourcePath.substr(0, dot) + (outputType == 2 ? ".srt" : ".smi");
  std::error_code ec;
  if (!std::filesystem::is_regular_file(FsPath(candidate), ec) || std::filesystem::file_size(FsPath(candidate), ec) == 0 ||
      ec)
    return {};
  return candidate;
}

int Utf8LineVerdict(std::string_view line) {
  int state = 0;  // bytes of a sequence seen so far
  for (unsigned char c : line) {
    if (c <= 127) {
      state = 0;
      continue;
    }
    if (state == 0) {
      if (c < 0xE0 || c > 0xEF) return 0;
      state = 1;
    } else if (state == 1) {
      if (c < 0x80 || c > 0xBF) return 0;
      state = 2;
    } else {
      return (c >= 0x80 && c <= 0xBF) ? 1 : 0;
    }
  }
  return -1;
}

bool IsUtf8SubtitleFile(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  if (!in) return false;
  std::string line;
  while (NextLine(in, line)) {
    int verdict = Utf8LineVerdict(line);
    if (verdict >= 0) return verdict == 1;
  }
  return false;
}

std::string MakeUtf8SubtitleCopy(const std::string& path, const std::string& folder, const std::string& name,
                                 std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return std::string();
  };
  MakeFolderPath(folder);
  std::string target = JoinPath(folder, name.empty() ? path.substr(LastPathSeparator(path) + 1) : name);
  std::error_code ec;
  if (std::filesystem::equivalent(FsPath(path), FsPath(target), ec))
    return fail("the copy would replace the subtitle itself");
  std::ifstream in(FsPath(path), std::ios::binary);
  if (!in) return fail("the subtitle " + path + " cannot be read: " + std::strerror(errno));
  std::string temp = target + ".part";
  {
    std::ofstream out(FsPath(temp), std::ios::binary | std::ios::trunc);
    if (!out) return fail("the subtitle copy " + temp + " cannot be written: " + std::strerror(errno));
    std::string line, converted;
    while (NextLine(in, line)) {
      if (IsAsciiOnly(line) || Utf8LineVerdict(line) == 1 || !Cp949ToUtf8(line, converted))
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
      else
        out.write(converted.data(), static_cast<std::streamsize>(converted.size()));
    }
    if (!out.flush()) {
      out.close();
      std::filesystem::remove(FsPath(temp), ec);
      return fail("the subtitle copy " + temp + " cannot be written");
    }
  }
  std::filesystem::rename(FsPath(temp), FsPath(target), ec);
  if (ec) {
    std::string why = ec.message();
    std::filesystem::remove(FsPath(temp), ec);
    return fail("the subtitle copy " + target + " cannot be written: " + why);
  }
  return target;
}

std::string PrepareSubtitle(const std::string& path, const std::string& workFolder, std::string* error,
                            const std::string& copyName) {
  if (IsUtf8SubtitleFile(path)) return path;
  std::string copy = MakeUtf8SubtitleCopy(path, workFolder, copyName, error);
  DebugLog("", "sTempPath:%s,%s", path.c_str(), copy.c_str());
  return copy;
}

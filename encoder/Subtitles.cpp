// Subtitle lookup and UTF-8 copies of subtitles written in the Korean code page.
#include "encoder/Subtitles.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iconv.h>
#include <unistd.h>

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

// CP949 → UTF-8 of one line; false when the line is not valid CP949.
bool ConvertCp949(std::string_view line, std::string& out) {
  iconv_t cd = iconv_open("UTF-8", "CP949");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  out.assign(line.size() * 3 + 16, '\0');
  char* in = const_cast<char*>(line.data());
  size_t inLeft = line.size();
  char* dst = out.data();
  size_t outLeft = out.size();
  size_t r = iconv(cd, &in, &inLeft, &dst, &outLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || inLeft != 0) return false;
  out.resize(out.size() - outLeft);
  return true;
}

}  // namespace

std::string FindSubtitleFile(const std::string& sourcePath, int outputType) {
  size_t slash = sourcePath.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = sourcePath.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot < nameStart) return {};
  std::string candidate = sourcePath.substr(0, dot) + (outputType == 2 ? ".srt" : ".smi");
  std::error_code ec;
  if (!std::filesystem::is_regular_file(candidate, ec) || std::filesystem::file_size(candidate, ec) == 0 || ec)
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
  std::ifstream in(path, std::ios::binary);
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
  std::string target = folder + "/" + (name.empty() ? path.substr(path.rfind('/') + 1) : name);
  std::error_code ec;
  if (std::filesystem::equivalent(path, target, ec)) return fail("the copy would replace the subtitle itself");
  std::ifstream in(path, std::ios::binary);
  if (!in) return fail("the subtitle " + path + " cannot be read: " + std::strerror(errno));
  std::string temp = target + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return fail("the subtitle copy " + temp + " cannot be written: " + std::strerror(errno));
    std::string line, converted;
    while (NextLine(in, line)) {
      if (IsAsciiOnly(line) || Utf8LineVerdict(line) == 1 || !ConvertCp949(line, converted))
        out.write(line.data(), static_cast<std::streamsize>(line.size()));
      else
        out.write(converted.data(), static_cast<std::streamsize>(converted.size()));
    }
    if (!out.flush()) {
      ::unlink(temp.c_str());
      return fail("the subtitle copy " + temp + " cannot be written");
    }
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    std::string why = std::strerror(errno);
    ::unlink(temp.c_str());
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

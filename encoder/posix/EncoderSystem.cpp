// The encoding engine's own system calls on POSIX.
#include "encoder/EncoderSystem.h"

#include <csignal>
#include <cstring>
#include <filesystem>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

void StopEncoderAtOnce(int pid) {
  if (pid > 0) ::kill(-pid, SIGKILL);
}

std::string UnexpectedEncoderEnd(const platform::ExitInfo& exit) {
  if (!exit.signalled) return {};
  const char* name = sigdescr_np(exit.code);
  return "the encoder was ended by signal " + std::to_string(exit.code) + " (" + (name ? name : "unknown") + ")";
}

bool Cp949ToUtf8(std::string_view line, std::string& out) {
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

std::string MakeUniqueFolder(const std::string& base, const std::string& lead) {
  std::string pattern = (base.empty() ? std::string("/tmp") : base) + "/" + lead + "XXXXXX";
  return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

bool ProgramFileStamp(const std::string& path, long long& size, long long& mtimeNs) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = static_cast<long long>(st.st_size);
  mtimeNs = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return true;
}

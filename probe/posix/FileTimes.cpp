// File times through statx, which reports the birth time on file systems that keep it.
#include "probe/FileTimes.h"

#include <fcntl.h>
#include <sys/stat.h>

bool GetFileTimes(const std::string& path, FileTimes* times) {
  if (!times) return false;
#ifdef STATX_BTIME
  struct statx st {};
  if (::statx(AT_FDCWD, path.c_str(), 0, STATX_SIZE | STATX_MTIME | STATX_CTIME | STATX_BTIME, &st) == 0) {
    times->size = static_cast<int64_t>(st.stx_size);
    times->modified = st.stx_mtime.tv_sec;
    times->created = (st.stx_mask & STATX_BTIME) ? st.stx_btime.tv_sec : st.stx_ctime.tv_sec;
    return true;
  }
#endif
  struct stat plain {};
  if (::stat(path.c_str(), &plain) != 0) return false;
  times->size = plain.st_size;
  times->modified = plain.st_mtime;
  times->created = plain.st_ctime;
  return true;
}

// MediaFile: positional reads through a one-block cache, so header walks cost few system calls.
#include "probe/MediaFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/WideText.h"
#ifdef _WIN32
#include <io.h>
#endif

namespace {

#ifdef _WIN32
// Windows has no pread: a read at an offset through the file's handle, which leaves the
// descriptor's own position alone as pread does.
ssize_t PositionalRead(int fd, void* dst, size_t n, int64_t at) {
  HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  OVERLAPPED where{};
  where.Offset = static_cast<DWORD>(at & 0xFFFFFFFF);
  where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(at) >> 32);
  DWORD got = 0;
  DWORD want = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
  if (!::ReadFile(h, dst, want, &got, &where)) return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
  return static_cast<ssize_t>(got);
}

// Opens a regular file for reading by its UTF-8 name; -1 otherwise.
int OpenRegularFile(const std::string& path, int64_t* size) {
  int fd = ::_wopen(WidePath(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  if (fd < 0) return -1;
  struct _stat64 st {};
  if (::_fstat64(fd, &st) != 0 || !(st.st_mode & _S_IFREG)) {
    ::_close(fd);
    return -1;
  }
  *size = st.st_size;
  return fd;
}
#else
ssize_t PositionalRead(int fd, void* dst, size_t n, int64_t at) { return ::pread(fd, dst, n, at); }

int OpenRegularFile(const std::string& path, int64_t* size) {
  // Without O_NONBLOCK, opening a FIFO waits for a writer forever; the type is checked below.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return -1;
  }
  *size = st.st_size;
  return fd;
}
#endif

}  // namespace

namespace {
constexpr size_t kBlock = 64 * 1024;
}

MediaFile::~MediaFile() { close(); }

MediaFile::MediaFile(MediaFile&& other) noexcept { *this = std::move(other); }

MediaFile& MediaFile::operator=(MediaFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    memory_ = other.memory_;
    bytes_ = std::move(other.bytes_);
    size_ = other.size_;
    pos_ = other.pos_;
    cache_ = std::move(other.cache_);
    cacheOffset_ = other.cacheOffset_;
    cacheLength_ = other.cacheLength_;
    systemReads_ = other.systemReads_;
    other.fd_ = -1;
    other.memory_ = false;
    other.cacheOffset_ = -1;
  }
  return *this;
}

void MediaFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool MediaFile::open(const std::string& path) {
  close();
  memory_ = false;
  int64_t size = 0;
  int fd = OpenRegularFile(path, &size);
  if (fd < 0) return false;
  fd_ = fd;
  size_ = size;
  pos_ = 0;
  cacheOffset_ = -1;
  cacheLength_ = 0;
  return true;
}

MediaFile MediaFile::FromMemory(std::string bytes) {
  MediaFile f;
  f.memory_ = true;
  f.size_ = static_cast<int64_t>(bytes.size());
  f.bytes_ = std::move(bytes);
  return f;
}

bool MediaFile::seek(int64_t pos) {
  if (pos < 0 || !isOpen()) return false;
  pos_ = pos;
  return true;
}

size_t MediaFile::read(void* dst, size_t n) {
  size_t got = readAt(pos_, dst, n);
  pos_ += static_cast<int64_t>(got);
  return got;
}

size_t MediaFile::readAt(int64_t offset, void* dst, size_t n) const {
  if (!isOpen() || offset < 0 || offset >= size_ || n == 0) return 0;
  n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(n), size_ - offset));
  if (memory_) {
    std::memcpy(dst, bytes_.data() + offset, n);
    return n;
  }
  auto* out = static_cast<uint8_t*>(dst);
  size_t done = 0;
  while (done < n) {
    int64_t at = offset + static_cast<int64_t>(done);
    if (cacheOffset_ < 0 || at < cacheOffset_ || at >= cacheOffset_ + static_cast<int64_t>(cacheLength_)) {
      // Large reads bypass the cache; small ones fill a block starting where they begin.
      if (n - done >= kBlock) {
        ssize_t r = PositionalRead(fd_, out + done, n - done, at);
        ++systemReads_;
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        done += static_cast<size_t>(r);
        continue;
      }
      cache_.resize(kBlock);
      ssize_t r;
      do {
        r = PositionalRead(fd_, cache_.data(), kBlock, at);
      } while (r < 0 && errno == EINTR);
      ++systemReads_;
      if (r <= 0) break;
      cacheOffset_ = at;
      cacheLength_ = static_cast<size_t>(r);
    }
    size_t inCache = static_cast<size_t>(cacheOffset_ + static_cast<int64_t>(cacheLength_) - at);
    size_t take = std::min(inCache, n - done);
    std::memcpy(out + done, cache_.data() + (at - cacheOffset_), take);
    done += take;
  }
  return done;
}

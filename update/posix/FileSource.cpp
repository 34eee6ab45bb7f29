// The archive file as a byte source, read with pread (64-bit offsets).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "update/ZipReader.h"

namespace {

class FileSource : public ByteSource {
 public:
  FileSource(int fd, uint64_t size) : m_fd(fd), m_size(size) {}
  ~FileSource() override { ::close(m_fd); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  uint64_t Size() const override { return m_size; }

  bool ReadAt(uint64_t offset, char* data, size_t size) const override {
    if (offset > m_size || size > m_size - offset) return false;
    while (size > 0) {
      ssize_t n = ::pread(m_fd, data, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      size -= static_cast<size_t>(n);
      offset += static_cast<uint64_t>(n);
    }
    return true;
  }

 private:
  int m_fd;
  uint64_t m_size;
};

}  // namespace

std::unique_ptr<ByteSource> OpenFileSource(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<FileSource>(fd, static_cast<uint64_t>(st.st_size));
}

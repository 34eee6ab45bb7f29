// The archive file as a byte source, read at 64-bit offsets with overlapped positions.
#include <windows.h>

#include "update/ZipReader.h"
#include "update/win32/WidePath.h"

namespace {

class FileSource : public ByteSource {
 public:
  FileSource(HANDLE file, uint64_t size) : m_file(file), m_size(size) {}
  ~FileSource() override { ::CloseHandle(m_file); }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  uint64_t Size() const override { return m_size; }

  // The offset travels in the OVERLAPPED record of each read, so reads share no file position.
  bool ReadAt(uint64_t offset, char* data, size_t size) const override {
    if (offset > m_size || size > m_size - offset) return false;
    while (size > 0) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(offset);
      at.OffsetHigh = static_cast<DWORD>(offset >> 32);
      const DWORD want = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
      DWORD got = 0;
      if (!::ReadFile(m_file, data, want, &got, &at) || got == 0) return false;
      data += got;
      size -= got;
      offset += got;
    }
    return true;
  }

 private:
  HANDLE m_file;
  uint64_t m_size;
};

}  // namespace

std::unique_ptr<ByteSource> OpenFileSource(const std::string& path) {
  const std::wstring wide = widepath::Long(path);
  if (wide.empty()) return nullptr;
  HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER size{};
  if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &size) || size.QuadPart < 0) {
    ::CloseHandle(file);
    return nullptr;
  }
  // A folder cannot be opened without FILE_FLAG_BACKUP_SEMANTICS, so this is a regular file.
  return std::make_unique<FileSource>(file, static_cast<uint64_t>(size.QuadPart));
}

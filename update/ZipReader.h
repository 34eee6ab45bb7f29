// Reading a ZIP archive: the central directory and one member's data, over any byte source.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Random access to the archive's bytes.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual uint64_t Size() const = 0;
  // Reads exactly `size` bytes at `offset`; false when they are not all there.
  virtual bool ReadAt(uint64_t offset, char* data, size_t size) const = 0;
};

class MemorySource : public ByteSource {
 public:
  explicit MemorySource(std::string_view bytes) : m_bytes(bytes) {}
  uint64_t Size() const override { return m_bytes.size(); }
  bool ReadAt(uint64_t offset, char* data, size_t size) const override;

 private:
  std::string_view m_bytes;
};

// The archive file opened for reading; null when it cannot be opened.
std::unique_ptr<ByteSource> OpenFileSource(const std::string& path);

// One central-directory record.
struct ZipEntry {
  std::string name;  // as stored
  uint16_t madeBy = 0;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t dosTime = 0;
  uint16_t dosDate = 0;
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t size = 0;
  uint32_t externalAttributes = 0;
  uint64_t localOffset = 0;

  bool Encrypted() const { return (flags & 0x0001) != 0; }
  bool IsFolder() const;
  bool IsLink() const;
  // Permission bits for the extracted file or folder.
  unsigned Mode() const;
};

struct ZipDirectory {
  std::vector<ZipEntry> entries;
};

// The central directory, found through the end record searched for from the end of the
// archive. Nothing, with `error` set, when it is missing, spans volumes or does not fit.
std::optional<ZipDirectory> ReadZipDirectory(const ByteSource& source, std::string* error = nullptr);

// Why an archive must not be extracted at all (declared sizes past the limits), or empty.
std::string ZipLimitsError(const ZipDirectory& directory);

enum class ZipMemberStatus { kOk, kUnsupportedMethod, kEncrypted, kBadHeader, kBadData, kTooLong, kTooShort, kCrcMismatch, kWriteError };

const char* ZipMemberStatusText(ZipMemberStatus status);

// Decodes one member, handing its data to `sink` in chunks of at most 65535 bytes; never
// hands over more than the member's declared size. A sink that returns false stops the
// member with kWriteError.
ZipMemberStatus DecodeZipMember(const ByteSource& source, const ZipEntry& entry,
                                const std::function<bool(const char*, size_t)>& sink);

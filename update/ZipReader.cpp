// ZIP central directory and member data: stored members copied, deflated ones inflated by zlib.
#include "update/ZipReader.h"

#include <zlib.h>

#include "update/ArchiveSafety.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kEndSignature = 0x06054b50;       // 50 4B 05 06
constexpr uint32_t kEnd64Signature = 0x06064b50;     // 50 4B 06 06
constexpr uint32_t kLocator64Signature = 0x07064b50; // 50 4B 06 07
constexpr uint32_t kCentralSignature = 0x02014b50;   // 50 4B 01 02
constexpr uint32_t kLocalSignature = 0x04034b50;     // 50 4B 03 04
constexpr size_t kEndSize = 22;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
// The end record sits before a comment of at most 65535 bytes.
constexpr size_t kEndSearch = kEndSize + 0xFFFF;
// A central directory larger than this is no update package.
constexpr uint64_t kMaxDirectory = 64u << 20;
constexpr size_t kReadChunk = 16384;
constexpr size_t kWriteChunk = 65535;
constexpr unsigned kHostUnix = 3;

uint16_t U16(const char* p) { return static_cast<uint16_t>(static_cast<uint8_t>(p[0]) | static_cast<uint8_t>(p[1]) << 8); }
uint32_t U32(const char* p) { return U16(p) | static_cast<uint32_t>(U16(p + 2)) << 16; }
uint64_t U64(const char* p) { return U32(p) | static_cast<uint64_t>(U32(p + 4)) << 32; }

bool Fail(std::string* error, const char* text) {
  if (error) *error = text;
  return false;
}

struct EndRecord {
  uint64_t entries = 0;
  uint64_t directorySize = 0;
  uint64_t directoryOffset = 0;
  uint64_t position = 0;  // where the end record (or the ZIP64 one) starts
};

// The ZIP64 end record, reached through the locator just before the plain end record.
bool ReadEnd64(const ByteSource& source, EndRecord& end, std::string* error) {
  char locator[20];
  if (end.position < sizeof locator || !source.ReadAt(end.position - sizeof locator, locator, sizeof locator) ||
      U32(locator) != kLocator64Signature)
    return Fail(error, "ZIP64 end record locator missing");
  if (U32(locator + 4) != 0 || U32(locator + 16) > 1) return Fail(error, "archive spans several volumes");
  const uint64_t at = U64(locator + 8);
  char record[56];
  if (at > end.position || !source.ReadAt(at, record, sizeof record) || U32(record) != kEnd64Signature)
    return Fail(error, "ZIP64 end record missing");
  if (U32(record + 16) != 0 || U32(record + 20) != 0) return Fail(error, "archive spans several volumes");
  end.entries = U64(record + 32);
  end.directorySize = U64(record + 40);
  end.directoryOffset = U64(record + 48);
  end.position = at;
  return true;
}

bool FindEnd(const ByteSource& source, EndRecord& end, std::string* error) {
  const uint64_t size = source.Size();
  if (size < kEndSize) return Fail(error, "too short for a ZIP archive");
  const size_t window = static_cast<size_t>(std::min<uint64_t>(size, kEndSearch));
  std::string tail(window, '\0');
  if (!source.ReadAt(size - window, tail.data(), window)) return Fail(error, "cannot read the archive's end");
  for (size_t i = window - kEndSize + 1; i-- > 0;) {
    const char* p = tail.data() + i;
    if (U32(p) != kEndSignature) continue;
    if (U16(p + 4) != 0 || U16(p + 6) != 0) return Fail(error, "archive spans several volumes");
    end.entries = U16(p + 10);
    end.directorySize = U32(p + 12);
    end.directoryOffset = U32(p + 16);
    end.position = size - window + i;
    if (end.entries == 0xFFFF || end.directorySize == 0xFFFFFFFF || end.directoryOffset == 0xFFFFFFFF)
      return ReadEnd64(source, end, error);
    return true;
  }
  return Fail(error, "no end of central directory record");
}

// Sizes and offset that did not fit 32 bits come from the ZIP64 extra field, in this order.
bool ApplyZip64Extra(std::string_view extra, ZipEntry& entry) {
  while (extra.size() >= 4) {
    const uint16_t id = U16(extra.data()), length = U16(extra.data() + 2);
    if (length > extra.size() - 4) return false;
    std::string_view body = extra.substr(4, length);
    if (id == 0x0001) {
      for (uint64_t* field : {&entry.size, &entry.compressedSize, &entry.localOffset}) {
        if (*field != 0xFFFFFFFF) continue;
        if (body.size() < 8) return false;
        *field = U64(body.data());
        body.remove_prefix(8);
      }
      return true;
    }
    extra.remove_prefix(4 + length);
  }
  return entry.size != 0xFFFFFFFF && entry.compressedSize != 0xFFFFFFFF && entry.localOffset != 0xFFFFFFFF;
}

}  // namespace

bool MemorySource::ReadAt(uint64_t offset, char* data, size_t size) const {
  if (offset > m_bytes.size() || size > m_bytes.size() - offset) return false;
  if (size) std::memcpy(data, m_bytes.data() + offset, size);
  return true;
}

bool ZipEntry::IsFolder() const {
  if (!name.empty() && (name.back() == '/' || name.back() == '\\')) return true;
  if ((madeBy >> 8) == kHostUnix && ((externalAttributes >> 16) & 0170000) == 0040000) return true;
  return (externalAttributes & 0x10) != 0;  // the DOS folder attribute
}

bool ZipEntry::IsLink() const { return (madeBy >> 8) == kHostUnix && ((externalAttributes >> 16) & 0170000) == 0120000; }

unsigned ZipEntry::Mode() const {
  const unsigned unixMode = (externalAttributes >> 16) & 0777;
  if ((madeBy >> 8) == kHostUnix && unixMode != 0) return unixMode & 0755;
  if (IsFolder()) return 0755;
  return (externalAttributes & 0x01) ? 0444 : 0644;  // the DOS read-only attribute
}

std::optional<ZipDirectory> ReadZipDirectory(const ByteSource& source, std::string* error) {
  EndRecord end;
  if (!FindEnd(source, end, error)) return std::nullopt;
  if (end.directoryOffset > end.position || end.directorySize > end.position - end.directoryOffset) {
    Fail(error, "central directory lies outside the archive");
    return std::nullopt;
  }
  if (end.directorySize > kMaxDirectory || end.entries > end.directorySize / kCentralSize) {
    Fail(error, "central directory too large for its entries");
    return std::nullopt;
  }
  std::string directory(static_cast<size_t>(end.directorySize), '\0');
  if (!source.ReadAt(end.directoryOffset, directory.data(), directory.size())) {
    Fail(error, "cannot read the central directory");
    return std::nullopt;
  }
  ZipDirectory result;
  result.entries.reserve(static_cast<size_t>(end.entries));
  std::string_view rest(directory);
  for (uint64_t i = 0; i < end.entries; ++i) {
    if (rest.size() < kCentralSize || U32(rest.data()) != kCentralSignature) {
      Fail(error, "central directory record damaged");
      return std::nullopt;
    }
    const char* p = rest.data();
    ZipEntry e;
    e.madeBy = U16(p + 4);
    e.flags = U16(p + 8);
    e.method = U16(p + 10);
    e.dosTime = U16(p + 12);
    e.dosDate = U16(p + 14);
    e.crc = U32(p + 16);
    e.compressedSize = U32(p + 20);
    e.size = U32(p + 24);
    const size_t nameLength = U16(p + 28), extraLength = U16(p + 30), commentLength = U16(p + 32);
    e.externalAttributes = U32(p + 38);
    e.localOffset = U32(p + 42);
    const size_t recordLength = kCentralSize + nameLength + extraLength + commentLength;
    if (recordLength > rest.size()) {
      Fail(error, "central directory record runs past the directory");
      return std::nullopt;
    }
    e.name.assign(rest.substr(kCentralSize, nameLength));
    if (!ApplyZip64Extra(rest.substr(kCentralSize + nameLength, extraLength), e)) {
      Fail(error, "ZIP64 sizes missing");
      return std::nullopt;
    }
    result.entries.push_back(std::move(e));
    rest.remove_prefix(recordLength);
  }
  return result;
}

std::string ZipLimitsError(const ZipDirectory& directory) {
  uint64_t total = 0;
  for (const ZipEntry& e : directory.entries) {
    if (e.size > kMaxArchiveTotal - total)
      return "members declare more than " + std::to_string(kMaxArchiveTotal) + " bytes in total";
    total += e.size;
    if (ExceedsArchiveRatio(e.size, e.compressedSize))
      return "member " + e.name + " declares a compression ratio above " + std::to_string(kMaxArchiveRatio) + ":1";
  }
  return {};
}

const char* ZipMemberStatusText(ZipMemberStatus status) {
  switch (status) {
    case ZipMemberStatus::kOk: return "ok";
    case ZipMemberStatus::kUnsupportedMethod: return "unsupported compression method";
    case ZipMemberStatus::kEncrypted: return "encrypted member";
    case ZipMemberStatus::kBadHeader: return "local header damaged";
    case ZipMemberStatus::kBadData: return "compressed data damaged";
    case ZipMemberStatus::kTooLong: return "data longer than declared";
    case ZipMemberStatus::kTooShort: return "data shorter than declared";
    case ZipMemberStatus::kCrcMismatch: return "CRC error";
    case ZipMemberStatus::kWriteError: return "write error";
  }
  return "unknown";
}

namespace {

// Where the member's data starts, after its local header, name and extra field.
std::optional<uint64_t> DataStart(const ByteSource& source, const ZipEntry& entry) {
  char local[kLocalSize];
  if (!source.ReadAt(entry.localOffset, local, sizeof local) || U32(local) != kLocalSignature) return std::nullopt;
  const uint64_t start = entry.localOffset + kLocalSize + U16(local + 26) + U16(local + 28);
  if (start > source.Size() || entry.compressedSize > source.Size() - start) return std::nullopt;
  return start;
}

ZipMemberStatus CopyStored(const ByteSource& source, const ZipEntry& entry, uint64_t start, uLong& crc,
                           const std::function<bool(const char*, size_t)>& sink) {
  if (entry.compressedSize != entry.size) return ZipMemberStatus::kBadData;
  std::vector<char> chunk(kWriteChunk);
  for (uint64_t done = 0; done < entry.size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kWriteChunk, entry.size - done));
    if (!source.ReadAt(start + done, chunk.data(), n)) return ZipMemberStatus::kBadData;
    crc = crc32(crc, reinterpret_cast<const Bytef*>(chunk.data()), static_cast<uInt>(n));
    if (!sink(chunk.data(), n)) return ZipMemberStatus::kWriteError;
    done += n;
  }
  return ZipMemberStatus::kOk;
}

ZipMemberStatus Inflate(const ByteSource& source, const ZipEntry& entry, uint64_t start, uLong& crc,
                        const std::function<bool(const char*, size_t)>& sink) {
  z_stream zs{};
  if (inflateInit2(&zs, -15) != Z_OK) return ZipMemberStatus::kBadData;
  std::vector<char> in(kReadChunk), out(kWriteChunk);
  uint64_t read = 0, written = 0;
  ZipMemberStatus status = ZipMemberStatus::kOk;
  int ret = Z_OK;
  while (ret != Z_STREAM_END) {
    if (zs.avail_in == 0) {
      if (read == entry.compressedSize) {
        status = ZipMemberStatus::kTooShort;  // the deflate stream never ended
        break;
      }
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kReadChunk, entry.compressedSize - read));
      if (!source.ReadAt(start + read, in.data(), n)) {
        status = ZipMemberStatus::kBadData;
        break;
      }
      read += n;
      zs.next_in = reinterpret_cast<Bytef*>(in.data());
      zs.avail_in = static_cast<uInt>(n);
    }
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    ret = inflate(&zs, Z_NO_FLUSH);
    if (ret != Z_OK && ret != Z_STREAM_END) {
      status = ZipMemberStatus::kBadData;
      break;
    }
    const size_t produced = out.size() - zs.avail_out;
    if (produced > entry.size - written) {
      status = ZipMemberStatus::kTooLong;
      break;
    }
    crc = crc32(crc, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(produced));
    if (produced && !sink(out.data(), produced)) {
      status = ZipMemberStatus::kWriteError;
      break;
    }
    written += produced;
  }
  inflateEnd(&zs);
  if (status == ZipMemberStatus::kOk && written != entry.size) status = ZipMemberStatus::kTooShort;
  return status;
}

}  // namespace

ZipMemberStatus DecodeZipMember(const ByteSource& source, const ZipEntry& entry,
                                const std::function<bool(const char*, size_t)>& sink) {
  if (entry.Encrypted()) return ZipMemberStatus::kEncrypted;
  if (entry.method != 0 && entry.method != 8) return ZipMemberStatus::kUnsupportedMethod;
  std::optional<uint64_t> start = DataStart(source, entry);
  if (!start) return ZipMemberStatus::kBadHeader;
  uLong crc = crc32(0, nullptr, 0);
  ZipMemberStatus status = entry.method == 0 ? CopyStored(source, entry, *start, crc, sink)
                                             : Inflate(source, entry, *start, crc, sink);
  if (status == ZipMemberStatus::kOk && crc != entry.crc) status = ZipMemberStatus::kCrcMismatch;
  return status;
}

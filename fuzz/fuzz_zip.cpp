// The ZIP reader: central directory, size limits, member names and every member's data.
#include <cstdlib>

#include "FuzzSupport.h"
#include "update/ArchiveSafety.h"
#include "update/ZipReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes = fuzzsupport::Bytes(data, size);
  MemorySource source(bytes);
  std::optional<ZipDirectory> directory = ReadZipDirectory(source);
  if (!directory) return 0;
  for (const ZipEntry& entry : directory->entries) {
    SafeMemberPath(entry.name);
    entry.IsFolder();
    entry.Mode();
    DosDateTimeToUnix(entry.dosDate, entry.dosTime);
  }
  // The extractor decodes only archives within the limits; so does the fuzzer.
  if (!ZipLimitsError(*directory).empty()) return 0;
  for (const ZipEntry& entry : directory->entries) {
    uint64_t handed = 0;
    DecodeZipMember(source, entry, [&](const char*, size_t n) {
      handed += n;
      if (handed > entry.size) std::abort();  // never more than the member declares
      return true;
    });
  }
  return 0;
}

// The Matroska parser.
#include "FuzzSupport.h"
#include "probe/Parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MediaFile file = fuzzsupport::InMemory(data, size);
  // The parser reads up to end_offset, which the probe sets to the file length.
  MediaInfo info;
  info.start_offset = 0;
  info.end_offset = info.file_size = static_cast<int64_t>(size);
  RunMkv(file, info);
  return 0;
}

// The MP4 / QuickTime atom test and parser.
#include "FuzzSupport.h"
#include "probe/Parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 128) IsAtom(std::span<const uint8_t>(data, 128));
  MediaFile file = fuzzsupport::InMemory(data, size);
  // The parser walks [start_offset, end_offset), which the probe sets to the whole file.
  MediaInfo info;
  info.start_offset = 0;
  info.end_offset = info.file_size = static_cast<int64_t>(size);
  ParseMp4(file, info);
  return 0;
}

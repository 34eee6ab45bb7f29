// The MP4 / QuickTime atom test and parser.
#include "FuzzSupport.h"
#include "probe/Parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 128) IsAtom(std::span<const uint8_t>(data, 128));
  MediaFile file = fuzzsupport::InMemory(data, size);
  MediaInfo info;
  ParseMp4(file, info);
  return 0;
}

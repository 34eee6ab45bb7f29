// The transport stream reader: the layout search, and the reader over the input in full.
#include "FuzzSupport.h"
#include "probe/Parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FindTsLayout(std::span<const uint8_t>(data, size));
  MediaFile file = fuzzsupport::InMemory(data, size);
  MediaInfo info;
  RunTs(file, info);
  return 0;
}

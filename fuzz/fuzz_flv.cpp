// The FLV parser.
#include "FuzzSupport.h"
#include "probe/Parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MediaFile file = fuzzsupport::InMemory(data, size);
  MediaInfo info;
  RunFlv(file, info);
  return 0;
}

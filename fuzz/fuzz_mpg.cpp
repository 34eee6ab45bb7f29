// The MPEG program stream parser, in check mode and in full.
#include "FuzzSupport.h"
#include "probe/Parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MediaFile file = fuzzsupport::InMemory(data, size);
  MediaInfo scratch;
  RunMpg(file, scratch, true);
  file.seek(0);
  MediaInfo info;
  RunMpg(file, info, false);
  return 0;
}

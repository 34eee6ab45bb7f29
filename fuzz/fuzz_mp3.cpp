// The MPEG audio parser, in check mode and in full, from the start and from an offset.
#include "FuzzSupport.h"
#include "probe/Parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MediaFile file = fuzzsupport::InMemory(data, size);
  MediaInfo scratch;
  RunMpegAudio(file, scratch, true, 0);
  MediaInfo info;
  RunMpegAudio(file, info, false, 0);
  MediaInfo later;
  RunMpegAudio(file, later, false, size > 0 ? data[0] : 1);
  return 0;
}

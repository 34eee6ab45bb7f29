// The Ogg parsers, without and with a video stream.
#include "FuzzSupport.h"
#include "probe/Parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MediaFile file = fuzzsupport::InMemory(data, size);
  MediaInfo audio;
  RunOgg(file, audio);
  file.seek(0);
  MediaInfo video;
  RunOgm(file, video);
  return 0;
}

// The ASF stream queries, the header values of the summary and both parsers.
#include "FuzzSupport.h"
#include "probe/Parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  MediaFile file = fuzzsupport::InMemory(data, size);
  int64_t value = 0;
  AsfStreamQuery(file, &value, kAsfHasAudioStream, true);
  AsfStreamQuery(file, &value, kAsfHasVideoStream, true);
  AsfFilePropertiesQuery(file, &value, kAsfMaxDataPacketSize, true);
  AsfSimpleIndexQuery(file, &value, kAsfIndexMaxPacketCount, true);
  MediaInfo audio;
  RunWma(file, audio);
  file.seek(0);
  MediaInfo video;
  RunWmv(file, video);
  return 0;
}

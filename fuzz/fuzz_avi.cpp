// The AVI parser, which opens its file by name.
#include "FuzzSupport.h"
#include "probe/Parsers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = fuzzsupport::OnDisk(fuzzsupport::Bytes(data, size), ".avi");
  MediaInfo info;
  ParseAvi(path, info);
  return 0;
}

// The whole probe on arbitrary bytes: detection, dispatch, every parser and the summary.
// The first byte picks the file name's extension, which steers detection.
#include <iterator>

#include "FuzzSupport.h"
#include "probe/Probe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const kExtensions[] = {"",     ".mp3", ".mp2", ".ogg", ".ogm", ".wma", ".wmv", ".asf",
                                            ".mpg", ".vob", ".avi", ".mkv", ".mp4", ".m4a", ".mov", ".3gp",
                                            ".flv", ".ts",  ".xyz", ".mpeg"};
  if (size == 0) return 0;
  const std::string extension = kExtensions[data[0] % std::size(kExtensions)];
  const std::string bytes = fuzzsupport::Bytes(data + 1, size - 1);
  // The AVI reader and the summary open the file by name, so the bytes go to disk too.
  const std::string path = fuzzsupport::OnDisk(bytes, extension);

  MediaFile file = MediaFile::FromMemory(bytes);
  MediaInfo info;
  ProbeMediaFile(&file, &info, path);

  MediaInfoEx summary;
  getMediaInfo2Ex(&summary, path);
  return 0;
}

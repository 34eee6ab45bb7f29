// AVI probe step: turns what the AVI reader found into the media information record.
#include <algorithm>
#include <limits>

#include "probe/AviReader.h"
#include "probe/Parsers.h"

namespace {

int32_t ClampToInt32(double v) {
  if (!(v > 0)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(v);
}

int32_t ClampToInt32(int64_t v) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

}  // namespace

int ParseAvi(const std::string& path, MediaInfo& info) {
  std::unique_ptr<AviReader> reader = AviReader::Open(path);
  if (!reader) return 0;

  const double frameRate = reader->frameRate();
  const AviReader::AudioTrack& audio = reader->audio();  // the first track after opening

  StreamInfo& a = info.ensureAudio();
  StreamInfo& v = info.ensureVideo();
  // A tag outside the table leaves the name empty; tag 0 (also "no audio") reads "unknown".
  a.setCodec(WaveFormatDisplayName(audio.formatTag));
  a.value1 = ClampToInt32(static_cast<int64_t>(audio.sampleRate));
  a.value2 = audio.bitrateKbps;
  a.value3 = audio.channels;
  v.setCodec(reader->compression());
  v.value1 = reader->width();
  v.value2 = reader->height();

  if (frameRate > 0) info.duration_s = ClampToInt32(reader->frameCount() / frameRate);
  info.index_entries = reader->indexEntries();
  if (info.duration_s != 0) {
    int64_t bits = std::max<int64_t>(info.end_offset - info.start_offset, 0) * 8;
    info.bitrate_kbps = ClampToInt32(bits / info.duration_s / 1000);
    v.value3 = std::max<int32_t>(info.bitrate_kbps - a.value2, 0);
  }

  info.payload_start = ClampToInt32(reader->payloadStart());
  // The payload ends a little before the index; an index too close to the start to allow
  // that says nothing, and 0 means "unknown" to the summary.
  info.payload_end = reader->indexPosition() != 0 ? std::max<int64_t>(reader->indexPosition() - 4 - 1024, 0) : 0;
  info.fps = frameRate;
  return 1;
}

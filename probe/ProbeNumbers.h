// Small helpers the Ogg, FLV and program-stream parsers share: the byte range a container
// occupies, and safe conversions of computed or file-supplied numbers into record fields.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "probe/MediaFile.h"
#include "probe/MediaInfo.h"

// The container's bytes: [start_offset, end_offset) of a filled record. A record the probe
// has not filled yet (end_offset 0, as detection's scratch records) means "from where the
// stream stands to the end of the file". Always clamped to the file.
struct ContainerRange {
  int64_t start = 0;
  int64_t end = 0;
  int64_t size() const { return end - start; }
};

inline ContainerRange RangeOf(const MediaFile& file, const MediaInfo& info) {
  const bool filled = info.end_offset > 0;
  int64_t end = filled ? std::min(info.end_offset, file.size()) : file.size();
  int64_t start = filled ? static_cast<int64_t>(info.start_offset) : file.tell();
  return {std::clamp<int64_t>(start, 0, end), end};
}

// Truncates toward zero into int32; NaN gives 0 and out-of-range values clamp, because a
// metadata double or a quotient of hostile sizes can be anything.
inline int32_t TruncToInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

inline int32_t ClampToInt32(int64_t v) {
  return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

// H.264 and HEVC parameter sets: the picture size with its cropping applied and the frame rate
// of the timing information, as a player shows them.
#pragma once

#include <optional>
#include <string_view>

struct PictureFormat {
  int width = 0;
  int height = 0;
  double fps = 0.0;  // 0 when the parameter set carries no timing
};

// An H.264 sequence parameter set NAL unit, its one-byte header included.
std::optional<PictureFormat> DecodeAvcSps(std::string_view nal);
// An HEVC sequence parameter set NAL unit, its two-byte header included; the frame rate is not
// read from it (see DecodeHevcVpsFrameRate).
std::optional<PictureFormat> DecodeHevcSps(std::string_view nal);
// The frame rate of an HEVC video parameter set's timing information; 0 when it has none.
double DecodeHevcVpsFrameRate(std::string_view nal);

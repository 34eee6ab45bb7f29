// Option texts for the two encoders, built from the settings record and what is known about one source.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "encoder/EncoderCaps.h"
#include "encoder/EncodingSettings.h"
#include "probe/MediaInfo.h"

// The part of the per-file monitor state the builders read and write. The batch run fills it
// from m_zRowVal before building and copies ulProbeDuration back afterwards.
struct BuildRowInput {
  uint32_t ulProbeDuration = 0;  // written: play time from the probe, for encoders that print none
  int iCodecOverride = -1;       // read: a video codec index that replaces the setting when >= 0
  int iBadAspectCnt = 0;         // read: earlier "Invalid pixel aspect ratio" failures of this file
};

// What the builders read from the source's list row.
struct SourceRow {
  std::string fullPath;        // full path of the source
  std::string typeText;        // container type name ("avi", "wma", …)
  std::string sampleRateText;  // audio sample rate in Hz as shown, possibly empty
  int width = 0;               // frame size from the row, 0 when not known
  int height = 0;
};

// The probe summary of the source: result -1 when the probe failed (summary then zero-filled).
struct SourceProbe {
  int result = -1;
  MediaInfoEx summary;
};

// Runs the probe summary on `path` for the builders.
SourceProbe ProbeSource(const std::string& path);

// Everything one build needs besides the monitor state. Builders never touch the file system or
// run anything, so a table of these drives them in tests.
struct BuildInput {
  const EncodingSettings* settings = nullptr;
  SourceRow row;
  std::string subtitlePath;  // chosen by the batch run, or empty
  SourceProbe probe;
  int processors = 1;                              // 0 or less counts as 1
  const EncoderCapabilities* ffmpeg = nullptr;     // what the installed ffmpeg offers; null: as named
};

// An option text: every option ends with one blank. `error` is set when the text must not be run
// (a path that cannot be quoted); `substitutions` names every change made for the installed
// encoders, for the error log.
struct BuiltOptions {
  std::string text;
  std::vector<std::string> substitutions;
  std::string error;
};

BuiltOptions BuildFfmpegArgs(const BuildInput& in, BuildRowInput& rowVal);
BuiltOptions BuildMencoderArgs(const BuildInput& in, BuildRowInput& rowVal);

// A subtitle to burn into the picture with ffmpeg's subtitles filter.
struct BurnInSubtitle {
  std::string file;        // a file the filter reads (an SRT made by ConvertSamiToSrt)
  std::string fontsDir;    // folder of the configured font file, or empty
  std::string fontFamily;  // family name of that font, or empty for the default font
};

// The ffmpeg equivalent of a job the batch run routed to mencoder: the same container, codec
// choice, frame rate, size and audio as ffmpeg expresses them; "h264(Middle Quility)" as libx264
// with mencoder's middle-quality tuning; the subtitle (when `burnIn.file` is set) burned in with
// the sub_conf look. `reason` says why mencoder is not used and opens the substitution list.
BuiltOptions BuildFfmpegFallbackArgs(const BuildInput& in, BuildRowInput& rowVal, const BurnInSubtitle& burnIn,
                                     const std::string& reason);

// ffmpeg filter-graph escaping: first of one option value, then of one whole filter description.
std::string EscapeFilterOptionValue(const std::string& value);
std::string EscapeFilterDescription(const std::string& description);

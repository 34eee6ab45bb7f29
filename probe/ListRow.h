// The twelve texts of a file-list row as the probe pass fills them, shared by the window and the CLI.
#pragma once

#include <array>
#include <string>

#include "probe/MediaInfo.h"
#include "support/InterfaceTexts.h"

enum ListColumn : int {
  kColFileName = 0,
  kColPlayTime = 1,
  kColVideo = 2,
  kColAudio = 3,
  kColWidth = 4,
  kColHeight = 5,
  kColBitRate = 6,
  kColSize = 7,
  kColType = 8,
  kColStatus = 9,
  kColFullPath = 10,  // hidden
  kColSampleRate = 11,  // hidden; read by the encoder
};
inline constexpr int kListColumnCount = 12;

using ListRowTexts = std::array<std::string, kListColumnCount>;

// A row as it is added: the name after the last path separator and the full path.
ListRowTexts NewListRow(const std::string& path);

// The row after probing `path`: `result` is what ProbeMediaFile returned for it and `info`
// what it filled. With `skipScan` nothing was probed and only info.file_size counts; a size
// that is not above 0 leaves the row without a status.
ListRowTexts MakeListRow(const std::string& path, int result, const MediaInfo& info, const InterfaceTexts& texts,
                         bool skipScan);

// "128kbps" below 1000 kbit/s, "1.5mbps" from there; empty when not above 0.
std::string FormatBitRate(int32_t kbps);

enum class RowProbe {
  kProbed,     // the row has a status: waiting, or failed when `result` is below 1
  kNoStatus,   // skip-scan found no size: the row stays without a status
  kNotOpened,  // the file could not be opened: the row stays without a status, to be tried again
};

// Opens and probes `path` (or only takes its size with `skipScan`) and fills `row`, as the
// list's probe pass does. `result` receives the probe result (-1 when nothing was probed)
// and `info` what the probe filled.
RowProbe ProbeListRow(const std::string& path, const InterfaceTexts& texts, bool skipScan, ListRowTexts& row,
                      int& result, MediaInfo& info);

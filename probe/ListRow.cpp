// Filling a file-list row from a probe result.
#include "probe/ListRow.h"

#include <cstdio>

#include "probe/FileTimes.h"
#include "probe/Probe.h"
#include "support/DebugLog.h"
#include "support/TextFormat.h"

namespace {

std::string Text(const char* text) { return text ? text : ""; }

std::string Number(int32_t value) { return std::to_string(value); }

}  // namespace

ListRowTexts NewListRow(const std::string& path) {
  ListRowTexts row;
#ifdef _WIN32
  size_t slash = path.find_last_of("/\\");  // Windows takes both slashes in a path
#else
  size_t slash = path.find_last_of('/');
#endif
  row[kColFileName] = slash == std::string::npos ? path : path.substr(slash + 1);
  row[kColFullPath] = path;
  return row;
}

std::string FormatBitRate(int32_t kbps) {
  if (kbps <= 0) return {};
  char text[32];
  if (kbps < 1000)
    std::snprintf(text, sizeof text, "%dkbps", kbps);
  else
    std::snprintf(text, sizeof text, "%3.1fmbps", kbps / 1000.0);
  return text;
}

ListRowTexts MakeListRow(const std::string& path, int result, const MediaInfo& info, const InterfaceTexts& texts,
                         bool skipScan) {
  ListRowTexts row = NewListRow(path);
  if (skipScan) {
    if (info.file_size > 0) {
      row[kColSize] = FormatByteSize(info.file_size);
      row[kColStatus] = Text(texts.status_waiting);
    }
    return row;
  }
  if (result < 1) {
    row[kColStatus] = Text(texts.status_failed);
    return row;
  }
  if (info.duration_s != 0) FormatDuration(info.duration_s, row[kColPlayTime], ':');
  if (info.video) {
    row[kColVideo] = info.video->codec;
    if (info.video->value1 > 0) row[kColWidth] = Number(info.video->value1);
    if (info.video->value2 > 0) row[kColHeight] = Number(info.video->value2);
  }
  if (info.audio) {
    row[kColAudio] = info.audio->codec;
    row[kColSampleRate] = Number(info.audio->value1);
  }
  row[kColBitRate] = FormatBitRate(info.bitrate_kbps);
  if (info.file_size > 0) row[kColSize] = FormatByteSize(info.file_size);
  row[kColType] = Text(info.type_name);
  row[kColStatus] = Text(texts.status_waiting);
  return row;
}

RowProbe ProbeListRow(const std::string& path, const InterfaceTexts& texts, bool skipScan, ListRowTexts& row,
                      int& result, MediaInfo& info) {
  result = -1;
  info = MediaInfo{};
  if (skipScan) {
    FileTimes times;
    if (GetFileTimes(path, &times)) info.file_size = times.size;
    row = MakeListRow(path, result, info, texts, true);
    return info.file_size > 0 ? RowProbe::kProbed : RowProbe::kNoStatus;
  }
  MediaFile file;
  if (!file.open(path)) {
    row = NewListRow(path);
    return RowProbe::kNotOpened;
  }
  DebugLog(kDebugTarget, "sFilePath:%s", path.c_str());
  result = ProbeMediaFile(&file, &info, path);
  if (result < 1) {
    DebugLog(kDebugTarget, "Error:%s", path.c_str());
  } else {
    DebugLog(kDebugTarget, "%s,%f,%lld,%lld", Text(info.type_name).c_str(), info.fps,
             static_cast<long long>(info.file_size), static_cast<long long>(info.payload_end));
  }
  row = MakeListRow(path, result, info, texts, false);
  return RowProbe::kProbed;
}

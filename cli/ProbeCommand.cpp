// zelvora probe: what each media file holds, as the file list shows it or as JSON.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/Commands.h"
#include "cli/SettingsNotes.h"
#include "cli/TextOutput.h"
#include "encoder/PathText.h"
#include "encoder/SettingsStore.h"
#include "probe/ListRow.h"
#include "probe/Probe.h"
#include "support/InterfaceTexts.h"

namespace {

const char kProbeUsage[] =
    "usage: zelvora probe [--json] FILE…\n"
    "  Shows what each media file holds, as the file list shows it: one row per file.\n"
    "  --json  one JSON array with an object per file instead\n"
    "Exit status: 0 when every file was recognised, 1 when any was not, 2 for a usage error.\n";

struct FileReport {
  std::string path;
  int result = -1;
  MediaInfo info;
  ListRowTexts row;
};

// The columns the list shows; the full path and the sample rate are hidden there.
constexpr int kVisibleColumns = 10;

enum class Align { kLeft, kCentre, kRight };

Align ColumnAlign(int column) {
  if (column == kColFileName || column == kColFullPath) return Align::kLeft;
  if (column >= kColWidth && column <= kColSize) return Align::kRight;
  return Align::kCentre;
}

// The list's language: English when the stored language value is 1, Korean otherwise
// (also when nothing is stored yet).
const InterfaceTexts& ListTexts() {
  EncodingSettings settings;
  StoredPaths paths;
  if (LoadSettingsTelling(settings, paths) != 1) return SelectInterfaceTexts(0);
  return SelectInterfaceTexts(settings.language);
}

std::string WhyNotOpened(const std::string& path) {
  std::error_code ec;
  auto status = std::filesystem::status(FsPath(path), ec);
  if (ec) return ec.message();
  if (std::filesystem::is_directory(status)) return "is a folder, not a file";
  if (!std::filesystem::is_regular_file(status)) return "is not a regular file";
  return "cannot be opened for reading";
}

FileReport ProbeOne(const std::string& path, const InterfaceTexts& texts) {
  FileReport report;
  report.path = path;
  // The row's hidden column holds the full path, as the list keeps it for the encoder.
  std::string full = AbsolutePath(path);
  if (ProbeListRow(full, texts, false, report.row, report.result, report.info) == RowProbe::kNotOpened) {
    std::fprintf(stderr, "zelvora: %s: %s\n", TerminalSafe(path).c_str(), WhyNotOpened(path).c_str());
    report.result = -1;
  }
  return report;
}

std::string Pad(const std::string& text, size_t width, Align align) {
  size_t used = DisplayWidth(text);
  size_t gap = width > used ? width - used : 0;
  size_t before = align == Align::kRight ? gap : align == Align::kCentre ? gap / 2 : 0;
  return std::string(before, ' ') + text + std::string(gap - before, ' ');
}

void PrintTable(const std::vector<FileReport>& reports, const InterfaceTexts& texts) {
  std::vector<std::vector<std::string>> lines;
  std::vector<std::string> header;
  for (int c = 0; c < kVisibleColumns; ++c) header.push_back(TerminalSafe(texts.list_headers[c] ? texts.list_headers[c] : ""));
  lines.push_back(header);
  for (const auto& report : reports) {
    std::vector<std::string> cells;
    for (int c = 0; c < kVisibleColumns; ++c) cells.push_back(TerminalSafe(report.row[c]));
    lines.push_back(cells);
  }
  size_t widths[kVisibleColumns] = {};
  for (const auto& cells : lines)
    for (int c = 0; c < kVisibleColumns; ++c) widths[c] = std::max(widths[c], DisplayWidth(cells[c]));
  for (const auto& cells : lines) {
    std::string out;
    for (int c = 0; c < kVisibleColumns; ++c) {
      if (c > 0) out += "  ";
      out += Pad(cells[c], widths[c], ColumnAlign(c));
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    std::printf("%s\n", out.c_str());
  }
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

std::string JsonStream(const StreamInfo* s, bool video) {
  if (!s) return "null";
  std::string out = "{\"codec\":" + JsonString(s->codec);
  if (video) {
    out += ",\"width\":" + std::to_string(s->value1) + ",\"height\":" + std::to_string(s->value2) +
           ",\"bitrate_kbps\":" + std::to_string(s->value3);
  } else {
    out += ",\"sample_rate\":" + std::to_string(s->value1) + ",\"bitrate_kbps\":" + std::to_string(s->value2) +
           ",\"channels\":" + std::to_string(s->value3);
  }
  return out + "}";
}

std::string JsonReport(const FileReport& r) {
  const MediaInfo& i = r.info;
  std::string out = "{\"path\":" + JsonString(r.path);
  out += ",\"result\":" + std::to_string(r.result);
  out += ",\"type\":" + std::string(r.result > 0 && i.type_name ? JsonString(i.type_name) : "null");
  out += ",\"duration_s\":" + std::to_string(i.duration_s);
  out += ",\"bitrate_kbps\":" + std::to_string(i.bitrate_kbps);
  out += ",\"file_size\":" + std::to_string(i.file_size);
  out += ",\"fps\":" + JsonNumber(i.fps);
  out += ",\"start_offset\":" + std::to_string(i.start_offset);
  out += ",\"index_entries\":" + std::to_string(i.index_entries);
  out += ",\"payload_start\":" + std::to_string(i.payload_start);
  out += ",\"payload_end\":" + std::to_string(i.payload_end);
  out += ",\"video\":" + JsonStream(i.video.get(), true);
  out += ",\"audio\":" + JsonStream(i.audio.get(), false);
  out += ",\"row\":[";
  for (int c = 0; c < kListColumnCount; ++c) {
    if (c > 0) out += ',';
    out += JsonString(r.row[c]);
  }
  return out + "]}";
}

int UsageError(const char* message) {
  std::fprintf(stderr, "zelvora probe: %s\n%s", message, kProbeUsage);
  return 2;
}

}  // namespace

int RunProbeCommand(int argc, char** argv) {
  bool json = false;
  bool optionsEnded = false;
  std::vector<std::string> files;
  for (int a = 1; a < argc; ++a) {
    std::string arg = argv[a];
    if (!optionsEnded && arg == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && arg == "--json") {
      json = true;
    } else if (!optionsEnded && (arg == "--help" || arg == "-h")) {
      std::fputs(kProbeUsage, stdout);
      return 0;
    } else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
      std::string message = "unknown option '" + TerminalSafe(arg) + "'";
      return UsageError(message.c_str());
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) return UsageError("no file given");

  const InterfaceTexts& texts = ListTexts();
  std::vector<FileReport> reports;
  bool allProbed = true;
  if (json) std::fputs("[\n", stdout);
  for (size_t n = 0; n < files.size(); ++n) {
    FileReport report = ProbeOne(files[n], texts);
    allProbed &= report.result > 0;
    if (json) {
      // One object per line, written as soon as it is known.
      std::printf("  %s%s\n", JsonReport(report).c_str(), n + 1 < files.size() ? "," : "");
    } else {
      reports.push_back(std::move(report));
    }
  }
  if (json)
    std::fputs("]\n", stdout);
  else
    PrintTable(reports, texts);
  return allProbed ? 0 : 1;
}

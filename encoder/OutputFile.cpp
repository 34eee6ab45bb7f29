// Temporary outputs: their names, and the judgement of a finished file by our probe.
#include "encoder/OutputFile.h"

#include <cstdio>
#include <cstring>
#include <random>

#include "encoder/PathText.h"
#include "probe/Probe.h"

namespace {

// Hidden, recognisably ours, and ending in the output's own name so that the encoder picks its
// container from the extension as it would for the final name.
constexpr char kTemporaryLead[] = ".zelvora-";
constexpr size_t kRandomChars = 6;
constexpr size_t kMaxNameBytes = 255;

std::string NameOf(const std::string& path) {
  size_t slash = LastPathSeparator(path);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The final name cut to `maxBytes`, keeping its extension and never splitting a UTF-8 sequence.
std::string CutName(const std::string& name, size_t maxBytes) {
  if (name.size() <= maxBytes) return name;
  size_t dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? std::string() : name.substr(dot);
  if (ext.size() >= maxBytes) ext.clear();
  size_t keep = maxBytes - ext.size();
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  return name.substr(0, keep) + ext;
}

std::string RandomChars() {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 generator{std::random_device{}()};
  std::uniform_int_distribution<size_t> pick(0, sizeof kAlphabet - 2);
  std::string out;
  for (size_t i = 0; i < kRandomChars; ++i) out += kAlphabet[pick(generator)];
  return out;
}

}  // namespace

std::string FolderOfPath(const std::string& path) {
  size_t slash = LastPathSeparator(path);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? path.substr(0, 1) : path.substr(0, slash);
}

std::string TemporaryOutputCandidate(const std::string& finalPath) {
  const std::string cut = CutName(NameOf(finalPath), kMaxNameBytes - (sizeof kTemporaryLead - 1) - kRandomChars - 1);
  return JoinPath(FolderOfPath(finalPath), kTemporaryLead + RandomChars() + "-" + cut);
}

bool IsTemporaryOutputName(const std::string& name) {
  const size_t lead = sizeof kTemporaryLead - 1;
  return name.compare(0, lead, kTemporaryLead) == 0 && name.size() > lead + kRandomChars &&
         name[lead + kRandomChars] == '-';
}

std::string JudgeFinishedOutput(const std::string& path, int outputType, int sourceSeconds) {
  MediaInfoEx summary;
  const int type = getMediaInfo2Ex(&summary, path);
  const char* wanted = outputType == 1 ? "AVI" : outputType == 2 ? "MKV" : "MP4";
  bool matches = false;
  switch (outputType) {
    case 1: matches = type == kTypeAvi; break;
    case 2: matches = type == kTypeMkv; break;
    default: matches = type == kTypeMp4 || type == kTypeM4a || type == kTypeM4v || type == kTypeMov; break;
  }
  if (!matches) return std::string("the output does not read back as a ") + wanted + " file";
  // Whole seconds on both sides: the threshold is rounded down, so a file within a second of
  // 90 % passes rather than a whole file failing on rounding.
  if (sourceSeconds > 0 && int64_t{summary.duration_s} < int64_t{sourceSeconds} * 9 / 10) {
    char text[160];
    std::snprintf(text, sizeof text, "the output plays %d s of the source's %d s: it is cut short", summary.duration_s,
                  sourceSeconds);
    return text;
  }
  return {};
}

// Whole encoder command lines.
#include "encoder/CommandLine.h"

#include <utility>

namespace {

// Appends a quoted path, or records why it cannot be quoted.
bool AppendPath(std::string& out, const char* what, const std::string& path, std::string& error) {
  if (AppendQuotedArgument(out, path)) return true;
  error = std::string("the ") + what + " path contains a double quote and cannot be passed to the encoder: " + path;
  return false;
}

}  // namespace

std::string AppendOptional(const std::string& options, const std::string& optional) {
  if (optional.empty()) return options;
  return options + " " + optional + " ";
}

CommandLine BuildCommandLine(EncoderKind kind, const std::string& encoderPath, const std::string& sourcePath,
                             const std::string& options, const std::string& optional, const std::string& outputPath) {
  CommandLine line;
  std::string all = AppendOptional(options, optional);
  std::string& t = line.text;
  bool ok = AppendPath(t, "encoder", encoderPath, line.error);
  if (kind == EncoderKind::Ffmpeg) {
    t += " -i ";
    ok = ok && AppendPath(t, "source", sourcePath, line.error);
    t += " -y " + all + " ";
    ok = ok && AppendPath(t, "output", outputPath, line.error);
  } else {
    t += " " + all + " -o ";
    ok = ok && AppendPath(t, "output", outputPath, line.error);
    t += " ";
    ok = ok && AppendPath(t, "source", sourcePath, line.error);
  }
  if (!ok) t.clear();
  return line;
}

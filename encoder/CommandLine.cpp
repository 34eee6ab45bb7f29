// Whole encoder command lines and their shell-free splitting.
#include "encoder/CommandLine.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string AppendOptional(const std::string& options, const std::string& optional) {
  if (optional.empty()) return options;
  return options + " " + optional + " ";
}

CommandLine BuildCommandLine(EncoderKind kind, const std::string& encoderPath, const std::string& sourcePath,
                             const std::string& options, const std::string& optional, const std::string& outputPath) {
  CommandLine line;
  const std::pair<const char*, const std::string*> paths[] = {
      {"encoder", &encoderPath}, {"source", &sourcePath}, {"output", &outputPath}};
  for (auto [what, path] : paths) {
    if (path->find('"') != std::string::npos) {
      line.error = std::string("the ") + what + " path contains a double quote and cannot be passed to the encoder: " +
                   *path;
      return line;
    }
  }
  std::string all = AppendOptional(options, optional);
  if (kind == EncoderKind::Ffmpeg)
    line.text = "\"" + encoderPath + "\" -i \"" + sourcePath + "\" -y " + all + " \"" + outputPath + "\"";
  else
    line.text = "\"" + encoderPath + "\" " + all + " -o \"" + outputPath + "\" \"" + sourcePath + "\"";
  return line;
}

bool SplitCommandLine(const std::string& line, std::vector<std::string>& argv, std::string* error) {
  argv.clear();
  std::string current;
  bool inArgument = false;  // also true for "" so that an empty quoted argument survives
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inArgument = true;
    } else if (!quoted && IsBlank(c)) {
      if (inArgument) argv.push_back(std::move(current));
      current.clear();
      inArgument = false;
    } else {
      current += c;
      inArgument = true;
    }
  }
  if (quoted) {
    argv.clear();
    if (error) *error = "the command line has a double quote without its closing partner";
    return false;
  }
  if (inArgument) argv.push_back(std::move(current));
  if (argv.empty()) {
    if (error) *error = "the command line is empty";
    return false;
  }
  return true;
}

// The whole command line of one encoder attempt, and splitting such a line into argv without any shell.
#pragma once

#include <string>
#include <vector>

#include "encoder/EncoderCaps.h"

// `text` is the line to log and to run; when `error` is set the line must not be run.
struct CommandLine {
  std::string text;
  std::string error;
};

// The option text with the user's extra options appended: one blank, the text and one blank,
// or the option text alone when `optional` is empty.
std::string AppendOptional(const std::string& options, const std::string& optional);

// ffmpeg:   "<encoder>" -i "<source>" -y <options> "<output>"
// mencoder: "<encoder>" <options> -o "<output>" "<source>"
// `options` is a builder's text; `optional` is appended to it as AppendOptional does. A path that
// holds a double quote cannot be passed intact, so it is refused with an error.
CommandLine BuildCommandLine(EncoderKind kind, const std::string& encoderPath, const std::string& sourcePath,
                             const std::string& options, const std::string& optional, const std::string& outputPath);

// Splits a command line into arguments: blanks separate, double quotes group (and are removed),
// every other character - backslashes included - is taken as it is; nothing is expanded.
// Returns false with `error` set for an unterminated quote or an empty line.
bool SplitCommandLine(const std::string& line, std::vector<std::string>& argv, std::string* error = nullptr);

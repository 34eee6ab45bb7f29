// The whole command line of one encoder attempt, as the batch run starts it and a dry run shows it.
#pragma once

#include <string>

#include "encoder/CommandArgs.h"
#include "encoder/EncoderCaps.h"

// `text` is the line to log and to run (SplitCommandLine turns it into argv without a shell);
// when `error` is set the line must not be run.
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

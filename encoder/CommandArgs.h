// Command-line text and argument vectors: our command lines are written as one text, but run without a shell.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// Splits a command line into arguments. Blanks (space, tab) separate arguments outside
// double quotes; a double quote opens or closes a quoted part and is itself dropped, so
// "a b"c is the one argument `a bc` and "" is an empty argument. Nothing else is
// special: no backslash escapes, no variables, no wildcards. An unclosed quote or a
// line without any argument is refused: returns false with the reason in `error`.
bool SplitCommandLine(std::string_view line, std::vector<std::string>& args, std::string& error);

// Appends `arg` in double quotes to `out`. A text holding a double quote cannot be
// quoted (SplitCommandLine would cut it differently) and is refused: returns false and
// leaves `out` unchanged. Callers that put paths into a command line use this, so that
// such a path is refused instead of being run with a wrong argument.
bool AppendQuotedArgument(std::string& out, std::string_view arg);

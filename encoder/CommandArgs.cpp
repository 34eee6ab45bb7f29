// Splitting command-line text into arguments, and quoting arguments for it.
#include "encoder/CommandArgs.h"

bool SplitCommandLine(std::string_view line, std::vector<std::string>& args, std::string& error) {
  args.clear();
  error.clear();
  std::string current;
  bool in_argument = false;  // a quoted part, even an empty one, makes an argument
  bool quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      in_argument = true;
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (in_argument) args.push_back(std::move(current));
      current.clear();
      in_argument = false;
    } else {
      current.push_back(c);
      in_argument = true;
    }
  }
  if (quoted) {
    args.clear();
    error = "unbalanced double quote in the command line";
    return false;
  }
  if (in_argument) args.push_back(std::move(current));
  if (args.empty()) {
    error = "empty command line";
    return false;
  }
  return true;
}

bool AppendQuotedArgument(std::string& out, std::string_view arg) {
  if (arg.find('"') != std::string_view::npos) return false;
  out.push_back('"');
  out.append(arg);
  out.push_back('"');
  return true;
}

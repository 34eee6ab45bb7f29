// Real media for probe tests: files made by ffmpeg at test time and ffprobe's view of them.
#pragma once

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace testmedia {

inline bool HaveFfmpeg() { return testsupport::HaveProgram("ffmpeg") && testsupport::HaveProgram("ffprobe"); }

// Whether this ffmpeg has an encoder of that name.
inline bool HaveEncoder(const std::string& name) {
  std::string out;
  if (testsupport::RunCommand({"ffmpeg", "-hide_banner", "-encoders"}, &out) != 0) return false;
  return out.find(" " + name + " ") != std::string::npos;
}

// Runs ffmpeg quietly with `args` followed by the output path; true when it made the file.
inline bool MakeMedia(std::vector<std::string> args, const std::string& path) {
  args.insert(args.begin(), {"ffmpeg", "-v", "error", "-nostdin", "-y"});
  args.push_back(path);
  return testsupport::RunCommand(args) == 0;
}

// "key=value" lines of ffprobe for one stream ("v:0", "a:0") or, with an empty selector, the format.
inline std::map<std::string, std::string> Ffprobe(const std::string& path, const std::string& selector,
                                                   const std::string& entries) {
  std::vector<std::string> argv = {"ffprobe", "-v", "error"};
  if (!selector.empty()) argv.insert(argv.end(), {"-select_streams", selector});
  argv.insert(argv.end(), {"-show_entries", entries, "-of", "default=noprint_wrappers=1", path});
  std::string out;
  testsupport::RunCommand(argv, &out);
  std::map<std::string, std::string> values;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

inline int FfprobeInt(const std::map<std::string, std::string>& v, const std::string& key) {
  auto it = v.find(key);
  return it == v.end() ? -1 : std::atoi(it->second.c_str());
}

// "30000/1001" → 29.97…
inline double Rational(const std::string& text) {
  double num = 0, den = 1;
  if (std::sscanf(text.c_str(), "%lf/%lf", &num, &den) != 2 || den == 0) return 0;
  return num / den;
}

// The play time ffprobe reports, in whole seconds (truncated).
inline int FfprobeSeconds(const std::string& path) {
  auto v = Ffprobe(path, "", "format=duration");
  return static_cast<int>(std::atof(v["duration"].c_str()));
}

}  // namespace testmedia

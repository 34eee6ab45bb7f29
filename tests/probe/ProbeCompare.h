// Probe tests against real media: files made by ffmpeg at test time, ffprobe's view of them,
// and a probe run over bytes built in memory.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "probe/MediaFile.h"
#include "probe/MediaInfo.h"
#include "probe/Probe.h"

namespace probecompare {

inline bool HaveFfmpeg() { return testsupport::HaveProgram("ffmpeg") && testsupport::HaveProgram("ffprobe"); }

// Whether this ffmpeg has an encoder of that name.
inline bool HaveEncoder(const std::string& name) {
  std::string out;
  if (testsupport::RunCommand({"ffmpeg", "-hide_banner", "-encoders"}, &out) != 0) return false;
  return out.find(" " + name + " ") != std::string::npos;
}

// Runs ffmpeg quietly with `args` and the output path last; true when the file was made.
inline bool MakeMedia(std::vector<std::string> args, const std::string& path) {
  args.insert(args.begin(), {"ffmpeg", "-v", "error", "-nostdin", "-y"});
  args.push_back(path);
  return testsupport::RunCommand(args) == 0;
}

// What ffprobe says about a file's first video and first audio stream and its length.
struct Facts {
  int width = 0, height = 0;
  double fps = 0;
  int sampleRate = 0, channels = 0;
  double duration = 0;
};

inline std::map<std::string, std::string> FfprobeValues(const std::string& path, const std::string& select,
                                                        const std::string& entries) {
  std::vector<std::string> argv = {"ffprobe", "-v", "error"};
  if (!select.empty()) argv.insert(argv.end(), {"-select_streams", select});
  argv.insert(argv.end(), {"-show_entries", entries, "-of", "default=noprint_wrappers=1", path});
  std::string out;
  testsupport::RunCommand(argv, &out);
  std::map<std::string, std::string> values;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (size_t eq = line.find('='); eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  return values;
}

inline double Rational(const std::string& text) {
  double num = 0, den = 1;
  return std::sscanf(text.c_str(), "%lf/%lf", &num, &den) == 2 && den != 0 ? num / den : 0;
}

inline Facts Ffprobe(const std::string& path) {
  Facts f;
  auto v = FfprobeValues(path, "v:0", "stream=width,height,r_frame_rate");
  f.width = std::atoi(v["width"].c_str());
  f.height = std::atoi(v["height"].c_str());
  f.fps = Rational(v["r_frame_rate"]);
  auto a = FfprobeValues(path, "a:0", "stream=sample_rate,channels");
  f.sampleRate = std::atoi(a["sample_rate"].c_str());
  f.channels = std::atoi(a["channels"].c_str());
  f.duration = std::atof(FfprobeValues(path, "", "format=duration")["duration"].c_str());
  return f;
}

// ProbeMediaFile on a file on disk.
struct Probed {
  int type = -1;
  MediaInfo info;
};
inline Probed ProbePath(const std::string& path) {
  Probed p;
  MediaFile file;
  if (file.open(path)) p.type = ProbeMediaFile(&file, &p.info, path);
  return p;
}

// ProbeMediaFile on bytes in memory; `name` only gives the extension.
inline Probed ProbeBytes(const std::string& bytes, const std::string& name) {
  Probed p;
  MediaFile file = MediaFile::FromMemory(bytes);
  p.type = ProbeMediaFile(&file, &p.info, name);
  return p;
}

}  // namespace probecompare

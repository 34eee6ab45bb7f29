// Real media for probe tests: files made by ffmpeg at test time, ffprobe's view of them, and the
// probe run over a file on disk or over bytes built in memory.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "probe/MediaFile.h"
#include "probe/MediaInfo.h"
#include "probe/Probe.h"

namespace testmedia {

inline bool HaveFfmpeg() { return testsupport::HaveProgram("ffmpeg") && testsupport::HaveProgram("ffprobe"); }

// Whether this ffmpeg has an encoder of that name.
inline bool HaveEncoder(const std::string& name) {
  std::string out;
  if (testsupport::RunCommand({"ffmpeg", "-hide_banner", "-encoders"}, &out) != 0) return false;
  return out.find(" " + name + " ") != std::string::npos;
}

// Argument lists one after the other: inputs, then options.
inline std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
  std::vector<std::string> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A test picture as an ffmpeg input; `rate` may be a fraction such as "30000/1001", `seconds`
// need not be whole.
inline std::vector<std::string> TestPicture(const std::string& size = "320x240", const std::string& rate = "25",
                                            const std::string& seconds = "2") {
  return {"-f", "lavfi", "-i", "testsrc=size=" + size + ":rate=" + rate + ":duration=" + seconds};
}

// A 440 Hz sine tone at `rate` Hz as an ffmpeg input, on the channel layout `layout` ("mono",
// "stereo", "5.1").
inline std::vector<std::string> TestTone(int rate, const std::string& layout = "stereo",
                                         const std::string& seconds = "2") {
  return {"-f", "lavfi", "-i",
          "sine=frequency=440:sample_rate=" + std::to_string(rate) + ":duration=" + seconds +
              ",aformat=channel_layouts=" + layout};
}

// Runs ffmpeg quietly with `args` and the output path last; true when it made the file. What ffmpeg
// said goes to *log when given.
inline bool MakeMedia(std::vector<std::string> args, const std::string& path, std::string* log = nullptr) {
  args.insert(args.begin(), {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"});
  args.push_back(path);
  return testsupport::RunCommand(args, log) == 0;
}

// ffprobe's "key=value" lines for one stream ("v:0", "a:0") or, with an empty selector, the
// format; empty when ffprobe fails or there is no such stream.
inline std::map<std::string, std::string> FfprobeValues(const std::string& path, const std::string& selector,
                                                        const std::string& entries) {
  std::vector<std::string> argv = {"ffprobe", "-v", "error"};
  if (!selector.empty()) argv.insert(argv.end(), {"-select_streams", selector});
  argv.insert(argv.end(), {"-show_entries", entries, "-of", "default=noprint_wrappers=1", path});
  std::string out;
  if (testsupport::RunCommand(argv, &out) != 0) return {};
  std::map<std::string, std::string> values;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);)
    if (size_t eq = line.find('='); eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  return values;
}

// One value of FfprobeValues as a number; -1 when ffprobe did not give it.
inline int FfprobeInt(const std::map<std::string, std::string>& values, const std::string& key) {
  auto it = values.find(key);
  return it == values.end() ? -1 : std::atoi(it->second.c_str());
}

// "30000/1001" → 29.97…
inline double Rational(const std::string& text) {
  double num = 0, den = 1;
  return std::sscanf(text.c_str(), "%lf/%lf", &num, &den) == 2 && den != 0 ? num / den : 0;
}

// The play time ffprobe reports, in whole seconds (truncated).
inline int FfprobeSeconds(const std::string& path) {
  return static_cast<int>(std::atof(FfprobeValues(path, "", "format=duration")["duration"].c_str()));
}

// What ffprobe says about a file: its first video and first audio stream, and its length.
struct Described {
  bool ok = false;  // ffprobe read the file
  bool hasVideo = false;
  bool hasAudio = false;
  int width = 0;
  int height = 0;
  double frameRate = 0;     // r_frame_rate of the video stream
  double avgFrameRate = 0;  // avg_frame_rate: frames over the stream's duration
  int sampleRate = 0;
  int channels = 0;
  double duration = 0;  // 0 when the file states none
};

inline Described Describe(const std::string& path) {
  Described d;
  auto format = FfprobeValues(path, "", "format=duration");
  if (format.empty()) return d;
  d.ok = true;
  d.duration = std::atof(format["duration"].c_str());
  auto v = FfprobeValues(path, "v:0", "stream=width,height,r_frame_rate,avg_frame_rate");
  d.hasVideo = !v.empty();
  d.width = std::atoi(v["width"].c_str());
  d.height = std::atoi(v["height"].c_str());
  d.frameRate = Rational(v["r_frame_rate"]);
  d.avgFrameRate = Rational(v["avg_frame_rate"]);
  auto a = FfprobeValues(path, "a:0", "stream=sample_rate,channels");
  d.hasAudio = !a.empty();
  d.sampleRate = std::atoi(a["sample_rate"].c_str());
  d.channels = std::atoi(a["channels"].c_str());
  return d;
}

// Where the last packet of any stream ends, by ffprobe's reading of the packets: the play time of
// a file whose header states none (ffprobe then reports no duration).
inline double PacketsEnd(const std::string& path) {
  std::string out;
  if (testsupport::RunCommand(
          {"ffprobe", "-v", "error", "-show_entries", "packet=pts_time,duration_time", "-of", "csv=p=0", path}, &out) !=
      0)
    return 0;
  std::istringstream lines(out);
  double end = 0;
  for (std::string line; std::getline(lines, line);) {
    const size_t comma = line.find(',');
    if (comma == std::string::npos) continue;
    end = std::max(end, std::atof(line.c_str()) + std::atof(line.c_str() + comma + 1));
  }
  return end;
}

// What ProbeMediaFile made of a file: the type it returned (-1 also when the file would not open).
struct Probed {
  int type = -1;
  MediaInfo info;
};

// ProbeMediaFile on a file on disk.
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

}  // namespace testmedia

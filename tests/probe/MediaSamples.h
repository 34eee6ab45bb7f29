// Real media for probe tests: made with ffmpeg at test time and described by ffprobe.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace mediasamples {

// Two seconds of a test picture at 25 frames per second.
inline std::vector<std::string> TestPicture(const std::string& size = "320x240", int rate = 25) {
  return {"-f", "lavfi", "-i", "testsrc=size=" + size + ":rate=" + std::to_string(rate) + ":duration=2"};
}

// A sine tone of `seconds` at `rate` Hz on `channels` channels.
inline std::vector<std::string> TestTone(int rate, int channels, int seconds = 2) {
  const std::string layout = channels == 1 ? "mono" : "stereo";
  return {"-f", "lavfi", "-i",
          "sine=frequency=440:sample_rate=" + std::to_string(rate) + ":duration=" + std::to_string(seconds) +
              ",aformat=channel_layouts=" + layout};
}

// Runs ffmpeg quietly with `inputs` then `options` into `out`; true when it made the file.
inline bool MakeWithFfmpeg(const std::vector<std::string>& inputs, const std::vector<std::string>& options,
                           const std::string& out, std::string* log = nullptr) {
  std::vector<std::string> argv = {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-y"};
  argv.insert(argv.end(), inputs.begin(), inputs.end());
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(out);
  return testsupport::RunCommand(argv, log) == 0;
}

inline bool HaveFfmpeg() { return testsupport::HaveProgram("ffmpeg") && testsupport::HaveProgram("ffprobe"); }

// What ffprobe says about a file: the first video and the first audio stream, and the duration.
struct Described {
  bool ok = false;
  bool hasVideo = false;
  bool hasAudio = false;
  int width = 0;
  int height = 0;
  double frameRate = 0;     // r_frame_rate of the video stream
  double avgFrameRate = 0;  // avg_frame_rate: frames over the stream's duration
  int sampleRate = 0;
  int channels = 0;
  double duration = 0;
};

inline double Ratio(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return std::atof(text.c_str());
  const double den = std::atof(text.c_str() + slash + 1);
  return den != 0 ? std::atof(text.substr(0, slash).c_str()) / den : 0;
}

// Parses ffprobe's compact output: one line per section, "section|key=value|…".
inline Described Describe(const std::string& path) {
  std::string out;
  Described d;
  if (testsupport::RunCommand(
          {"ffprobe", "-v", "error", "-show_entries",
           "stream=codec_type,width,height,r_frame_rate,avg_frame_rate,sample_rate,channels:format=duration", "-of",
           "compact", path},
          &out) != 0)
    return d;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string section, field, type;
    std::getline(fields, section, '|');
    std::vector<std::pair<std::string, std::string>> values;
    while (std::getline(fields, field, '|')) {
      const size_t eq = field.find('=');
      if (eq != std::string::npos) values.emplace_back(field.substr(0, eq), field.substr(eq + 1));
    }
    for (auto& [key, value] : values)
      if (key == "codec_type") type = value;
    for (auto& [key, value] : values) {
      if (section == "format" && key == "duration") d.duration = std::atof(value.c_str());
      if (section != "stream") continue;
      if (type == "video" && !d.hasVideo) {
        if (key == "width") d.width = std::atoi(value.c_str());
        if (key == "height") d.height = std::atoi(value.c_str());
        if (key == "r_frame_rate") d.frameRate = Ratio(value);
        if (key == "avg_frame_rate") d.avgFrameRate = Ratio(value);
      }
      if (type == "audio" && !d.hasAudio) {
        if (key == "sample_rate") d.sampleRate = std::atoi(value.c_str());
        if (key == "channels") d.channels = std::atoi(value.c_str());
      }
    }
    if (section == "stream" && type == "video") d.hasVideo = true;
    if (section == "stream" && type == "audio") d.hasAudio = true;
  }
  d.ok = true;
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

}  // namespace mediasamples

// Reading the encoders' own listings, and deciding whether mencoder can do a given job.
#include "encoder/EncoderCaps.h"

#include <sstream>

namespace {

std::string Trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return {};
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::string FirstWord(const std::string& s) {
  std::istringstream in(s);
  std::string word;
  in >> word;
  return word;
}

bool Encodes(const EncodingSettings& s, bool video) {
  return s.pindex_opti == 0 && (video ? s.origin_vdo : s.origin_ado) == 0;
}

}  // namespace

EncoderCapabilities EncoderCapabilities::Everything(EncoderKind kind) {
  EncoderCapabilities caps;
  caps.kind = kind;
  caps.runnable = true;
  caps.listed = true;
  if (kind == EncoderKind::Ffmpeg) {
    caps.videoEncoders = {"libx264", "libxvid", "mpeg4"};
    caps.audioEncoders = {"libvo_aacenc", "aac", "libmp3lame", "mp2", "libvorbis"};
    caps.filters = {"subtitles"};
  } else {
    caps.videoEncoders = {"copy", "lavc", "xvid", "x264"};
    caps.audioEncoders = {"copy", "faac", "lavc", "mp3lame"};
    caps.testDrive = 1;
    caps.lavcAudioWorks = true;
  }
  return caps;
}

// " V....D libx264   libx264 H.264 / AVC …" below a line of dashes.
bool ParseFfmpegEncoders(const std::string& text, EncoderCapabilities& caps) {
  std::istringstream in(text);
  std::string line;
  bool body = false;
  while (std::getline(in, line)) {
    std::string t = Trim(line);
    if (!body) {
      body = t.size() >= 6 && t.find_first_not_of('-') == std::string::npos;
      continue;
    }
    if (t.size() < 8 || t[6] != ' ') continue;
    std::string name = FirstWord(t.substr(7));
    if (name.empty()) continue;
    if (t[0] == 'V') caps.videoEncoders.insert(name);
    if (t[0] == 'A') caps.audioEncoders.insert(name);
    if (t[3] == 'X') caps.experimental.insert(name);
  }
  return body;
}

// " ... subtitles         V->V       Render text subtitles …": three flag characters, the name, the pads.
bool ParseFfmpegFilters(const std::string& text, EncoderCapabilities& caps) {
  std::istringstream in(text);
  std::string line;
  bool any = false;
  while (std::getline(in, line)) {
    if (line.size() < 6 || line[0] != ' ' || line[4] != ' ') continue;
    bool flags = true;
    for (int i = 1; i <= 3; ++i) flags = flags && (line[i] == '.' || (line[i] >= 'A' && line[i] <= 'Z'));
    if (!flags) continue;
    std::istringstream fields(line.substr(5));
    std::string name, pads;
    fields >> name >> pads;
    if (name.empty() || pads.find("->") == std::string::npos) continue;
    caps.filters.insert(name);
    any = true;
  }
  return any;
}

// "Available codecs:" followed by lines "   name     - description".
bool ParseMencoderCodecs(const std::string& text, std::set<std::string>& codecs) {
  std::istringstream in(text);
  std::string line;
  bool body = false;
  while (std::getline(in, line)) {
    if (!body) {
      body = line.find("Available codecs:") != std::string::npos;
      continue;
    }
    size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::string name = Trim(line.substr(0, dash));
    if (!name.empty() && name.find(' ') == std::string::npos) codecs.insert(name);
  }
  return body && !codecs.empty();
}

std::string MencoderJobProblem(const EncoderCapabilities& m, const EncodingSettings& s) {
  if (!m.runnable) return m.error.empty() ? "mencoder cannot be run" : m.error;
  if (m.testDrive < 0) return m.testDriveText.empty() ? "mencoder failed its test drive" : m.testDriveText;
  if (Encodes(s, true)) {
    const char* need = s.video_compress == 1 ? "xvid" : s.video_compress == 2 ? "lavc" : "x264";
    if (!m.hasVideo(need)) return std::string("mencoder lacks the ") + need + " video encoder";
  }
  if (Encodes(s, false)) {
    bool lavc = s.audio_compress == 2 || ((s.audio_compress == 1 || s.audio_compress == 3) && s.output_type == 0);
    if (s.audio_compress == 0 && !m.hasAudio("faac")) return "mencoder lacks the faac audio encoder";
    if (lavc && !(m.hasAudio("lavc") && m.lavcAudioWorks)) return "mencoder's libavcodec audio encoders do not work";
    if ((s.audio_compress == 1 || s.audio_compress == 3) && s.output_type != 0 && !m.hasAudio("mp3lame"))
      return "mencoder lacks the mp3lame audio encoder";
  }
  return {};
}

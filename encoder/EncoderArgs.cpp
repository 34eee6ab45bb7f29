// Option texts for ffmpeg and mencoder, and the ffmpeg stand-in for jobs mencoder cannot do.
#include "encoder/EncoderArgs.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "support/DebugLog.h"

namespace {

// Value tables by settings index; anything outside a table takes its "other" entry.
const char* const kFpsTexts[] = {"15", "24000/1001", "24", "25", "30000/1001", "30"};
const int kAudioKbps[] = {48, 64, 128, 192, 256, 320};
const int kSampleRates[] = {22050, 24000, 32000, 44100, 48000, 64000};
const char* const kFfmpegVideoCodecs[] = {"libx264", "libxvid", "mpeg4"};
const char* const kFfmpegAudioCodecs[] = {"libvo_aacenc", "libmp3lame", "mp2", "libvorbis"};

template <typename T, size_t N>
const T* At(const T (&table)[N], int index) {
  return index >= 0 && static_cast<size_t>(index) < N ? &table[index] : nullptr;
}

const char* FpsText(int index) {
  const char* const* t = At(kFpsTexts, index);
  return t ? *t : "30000/1001";
}
int AudioKbps(int index) {
  const int* v = At(kAudioKbps, index);
  return v ? *v : 128;
}
int TableSampleRate(int index) {
  const int* v = At(kSampleRates, index);
  return v ? *v : 44100;
}

void Appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Appendf(std::string& out, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  if (n > 0) {
    size_t old = out.size();
    out.resize(old + static_cast<size_t>(n) + 1);
    std::vsnprintf(out.data() + old, static_cast<size_t>(n) + 1, format, again);
    out.resize(old + static_cast<size_t>(n));
  }
  va_end(again);
}

// The row's sample-rate text read as an integer (leading digits; nothing readable is 0).
long ReadInteger(const std::string& text) {
  errno = 0;
  long v = std::strtol(text.c_str(), nullptr, 10);
  if (errno == ERANGE) v = v < 0 ? INT_MIN : INT_MAX;
  if (v > INT_MAX) v = INT_MAX;
  if (v < INT_MIN) v = INT_MIN;
  return v;
}

// A source sample rate kept as is, but never below 22050 (also when the column is empty).
int SampleRate(const EncodingSettings& s, const SourceRow& row) {
  if (s.sample_rate_opt != 0) {
    long rate = ReadInteger(row.sampleRateText);
    return rate < 22050 ? 22050 : static_cast<int>(rate);
  }
  return TableSampleRate(s.sample_rate);
}

// A frame rate from an untrusted file: only a finite positive value counts.
bool KnownRate(double fps) { return std::isfinite(fps) && fps > 0; }

int Threads(int processors) { return processors > 0 ? processors : 1; }
int Even(int v) { return v % 2 != 0 ? v + 1 : v; }

// Paths go between double quotes, and nothing can escape a quote inside them.
void RequireQuotable(const std::string& path, const char* what, BuiltOptions& out) {
  if (out.error.empty() && path.find('"') != std::string::npos)
    out.error = std::string("the ") + what + " path contains a double quote and cannot be passed to the encoder: " + path;
}

// ---- ffmpeg encoder names and their stand-ins ----

struct Equivalent {
  const char* wanted;
  const char* candidates[2];
};
// Nearest built-in (or otherwise common) encoder for each name the option texts use.
const Equivalent kEquivalents[] = {
    {"libvo_aacenc", {"aac", nullptr}},   {"libx264", {"mpeg4", nullptr}}, {"libxvid", {"mpeg4", nullptr}},
    {"mpeg4", {"libxvid", nullptr}},      {"libmp3lame", {"libshine", "mp2"}}, {"mp2", {"mp2fixed", "libtwolame"}},
    {"libvorbis", {"vorbis", nullptr}},
};

// "-c:v name " for `wanted`, or for its stand-in when the installed ffmpeg lacks it.
std::string CodecOption(const char* flag, const std::string& wanted, const EncoderCapabilities* caps,
                        std::vector<std::string>& substitutions) {
  std::string chosen = wanted;
  if (caps && !caps->hasEncoder(wanted)) {
    bool found = false;
    for (const Equivalent& e : kEquivalents) {
      if (wanted != e.wanted) continue;
      for (const char* c : e.candidates) {
        if (c && caps->hasEncoder(c)) {
          chosen = c;
          found = true;
          break;
        }
      }
    }
    substitutions.push_back(found ? wanted + " -> " + chosen : wanted + " is missing from this ffmpeg and has no stand-in");
  }
  std::string option = std::string(flag) + " " + chosen + " ";
  // An experimental encoder is refused unless asked for explicitly.
  if (caps && caps->experimental.count(chosen)) option += "-strict experimental ";
  return option;
}

// ---- what the mencoder line sets, shared with its ffmpeg stand-in ----

// The "-ofps" text of the mencoder line: a "wma" row keeping its rate gets 30000/1001 unprobed;
// a kept rate comes from the probe, and 30000/1001 when the probe knows none.
std::string MencoderFrameRate(const BuildInput& in) {
  const EncodingSettings& s = *in.settings;
  if (s.fps_opt == 0) return FpsText(s.fps);
  if (strcasecmp(in.row.typeText.c_str(), "wma") == 0) return "30000/1001";
  if (in.probe.result != -1 && KnownRate(in.probe.summary.fps)) {
    std::string text;
    Appendf(text, "%4.2f", in.probe.summary.fps);
    return text;
  }
  return "30000/1001";
}

// Whether the mencoder line has size options at all: not with the size kept, without a target,
// with a source of negative size, with an unknown source size while keeping the aspect ratio,
// nor when the target is the (even) source size.
bool MencoderSetsSize(const EncodingSettings& s, int sourceW, int sourceH) {
  if (s.size_opt != 0 || s.size_w <= 0 || s.size_h <= 0) return false;
  if (sourceW == 0 || sourceH == 0) return s.sizing_ratio == 0;
  if (sourceW < 0 || sourceH < 0) return false;
  return !(Even(s.size_w) == Even(sourceW) && Even(s.size_h) == Even(sourceH));
}

// mencoder's audio goes through libavcodec (with "-channels 2") for mp2, and for mp3 in MP4.
bool MencoderUsesLavcAudio(const EncodingSettings& s) {
  return s.audio_compress == 2 || ((s.audio_compress == 1 || s.audio_compress == 3) && s.output_type == 0);
}

// The dB gain of "-af volume=N:1": the volume percent / 100 × 2, truncated.
int MencoderVolumeGain(int volume) { return static_cast<int>(volume / 100.0 * 2); }

// ---- ffmpeg frame size ----

struct FfmpegSize {
  enum Kind { kNone, kSize, kChain } kind = kNone;
  int w = 0;
  int h = 0;
  std::string chain;  // "scale=…,pad=…" or "scale=…,crop=…"
};

FfmpegSize ComputeFfmpegSize(const EncodingSettings& s, int sw, int sh, int codec, int badAspectCnt) {
  FfmpegSize out;
  int tw = Even(s.size_w);
  int th = Even(s.size_h);
  if (s.size_opt != 0 || tw <= 0 || th <= 0 || (tw == sw && th == sh)) return out;
  if (s.sizing_ratio == 0 || sw <= 0 || sh <= 0) {
    out.kind = FfmpegSize::kSize;
    out.w = tw;
    out.h = th;
    return out;
  }
  double rw = static_cast<double>(sw) / tw;
  double rh = static_cast<double>(sh) / th;
  int adj = badAspectCnt > 0 ? badAspectCnt : 0;
  bool fitWidth = s.sizing_trim != 0 ? rh > rw : !(rh > rw);
  int w, h, x, y;
  if (fitWidth) {
    w = tw;
    h = static_cast<int>(static_cast<double>(tw) * sh / sw) + adj;
    // mpeg4 takes odd sizes; the H.264 and xvid encoders want even ones.
    if (codec != 2 && h % 2 != 0) ++h;
    x = 0;
    y = std::abs(h - th) / 2;
  } else {
    h = th;
    w = static_cast<int>(static_cast<double>(sw) * th / sh) + adj;
    if (codec != 2 && w % 2 != 0) ++w;
    x = std::abs(w - tw) / 2;
    y = 0;
  }
  if (x + y > 0) {
    out.kind = FfmpegSize::kChain;
    Appendf(out.chain, "scale=%d:%d,%s=%d:%d:%d:%d", w, h, s.sizing_trim != 0 ? "crop" : "pad", tw, th, x, y);
  } else {
    out.kind = FfmpegSize::kSize;
  }
  out.w = w;
  out.h = h;
  return out;
}

// ---- the ffmpeg option text, for ffmpeg jobs and for mencoder jobs done by ffmpeg ----

struct FfmpegJob {
  bool fallback = false;                   // a job routed to mencoder, done by ffmpeg
  const BurnInSubtitle* burnIn = nullptr;  // fallback only: subtitle drawn into the picture
};

std::string SubtitlesFilter(const EncodingSettings& s, const BurnInSubtitle& b);

void AppendFfmpegVideo(const BuildInput& in, const BuildRowInput& rowVal, const FfmpegJob& job, BuiltOptions& out) {
  const EncodingSettings& s = *in.settings;
  const MediaInfoEx& summary = in.probe.summary;
  if (job.fallback) {
    // The output rate of the mencoder line it replaces, which always sets one.
    Appendf(out.text, "-r %s ", MencoderFrameRate(in).c_str());
  } else if (s.fps_opt != 0) {
    if (KnownRate(summary.fps)) Appendf(out.text, "-r %4.2f ", summary.fps);
  } else {
    Appendf(out.text, "-r %s ", FpsText(s.fps));
  }
  int codec = rowVal.iCodecOverride >= 0 ? rowVal.iCodecOverride : s.video_compress;
  int threads = Threads(in.processors);
  if (job.fallback && codec == 3) {
    // mencoder's middle-quality x264 tuning in ffmpeg's words.
    out.text += CodecOption("-c:v", "libx264", in.ffmpeg, out.substitutions);
    Appendf(out.text,
            "-subq 1 -flags global_header -trellis 0 -refs 1 -level 13 -coder 0 -8x8dct 0 -bf 0 -weightp 0 "
            "-threads %d ",
            threads);
    out.substitutions.push_back("h264(Middle Quility) -> libx264 with the same tuning");
  } else {
    if (const char* const* name = At(kFfmpegVideoCodecs, codec))
      out.text += CodecOption("-c:v", *name, in.ffmpeg, out.substitutions);
    else if (out.error.empty())
      out.error = "video_conf.compress " + std::to_string(codec) + " names no video codec";
    Appendf(out.text,
            "-subq 5 -flags global_header -trellis 0 -refs 1 -level 30 -coder 0 -bf 0 -weightp 0 -threads %d ",
            threads);
  }
  Appendf(out.text, "-b:v %dk ", s.video_bitrate);

  FfmpegSize size = job.fallback && !MencoderSetsSize(s, in.row.width, in.row.height)
                        ? FfmpegSize{}
                        : ComputeFfmpegSize(s, in.row.width, in.row.height, codec, rowVal.iBadAspectCnt);
  if (job.burnIn && !job.burnIn->file.empty()) {
    std::string chain;
    if (size.kind == FfmpegSize::kChain) chain = size.chain + ",";
    if (size.kind == FfmpegSize::kSize) Appendf(chain, "scale=%d:%d,", size.w, size.h);
    chain += SubtitlesFilter(s, *job.burnIn);
    // Quoted, so that blanks in the subtitle or font path stay inside one argument.
    out.text += "-vf \"" + chain + "\" ";
    out.substitutions.push_back("subtitle burned in with ffmpeg's subtitles filter");
  } else if (size.kind == FfmpegSize::kSize) {
    Appendf(out.text, "-s %dx%d ", size.w, size.h);
  } else if (size.kind == FfmpegSize::kChain) {
    out.text += "-vf " + size.chain + " ";
  }
}

void AppendFfmpegAudio(const BuildInput& in, const FfmpegJob& job, BuiltOptions& out) {
  const EncodingSettings& s = *in.settings;
  if (const char* const* name = At(kFfmpegAudioCodecs, s.audio_compress))
    out.text += CodecOption("-c:a", *name, in.ffmpeg, out.substitutions);
  else if (out.error.empty())
    out.error = "audio_conf.compress " + std::to_string(s.audio_compress) + " names no audio codec";
  Appendf(out.text, "-ab %dk ", AudioKbps(s.audio_bitrate));
  Appendf(out.text, "-ar %d ", SampleRate(s, in.row));
  // mencoder's libavcodec mp2 and mp3 are always given two channels, whatever the mode.
  out.text += s.channle_mode == 3 && !(job.fallback && MencoderUsesLavcAudio(s)) ? "-ac 1 " : "-ac 2 ";
  // mencoder's LAME takes the mode as given: stereo and dual channel are not joint stereo,
  // which ffmpeg's LAME would pick by itself.
  bool lame = job.fallback && !MencoderUsesLavcAudio(s) && (s.audio_compress == 1 || s.audio_compress == 3) &&
              out.text.find("-c:a libmp3lame ") != std::string::npos;
  if (lame && s.channle_mode != 3) Appendf(out.text, "-joint_stereo %d ", s.channle_mode == 1 ? 1 : 0);
  DebugLog(kDebugTarget, "iVolume:%d", s.volume);
  if (s.volume > 0 && job.fallback)
    // mencoder normalises the level, then adds N dB; dynaudnorm is ffmpeg's normaliser.
    Appendf(out.text, "-af dynaudnorm,volume=%ddB ", MencoderVolumeGain(s.volume));
  else if (s.volume > 0)
    Appendf(out.text, "-af volume=%3.1f ", s.volume / 100.0);
}

BuiltOptions BuildFfmpegOptions(const BuildInput& in, BuildRowInput& rowVal, const FfmpegJob& job) {
  BuiltOptions out;
  const EncodingSettings& s = *in.settings;
  bool mkvSubtitle = !job.fallback && s.output_type == 2 && !in.subtitlePath.empty();
  if (mkvSubtitle) {
    RequireQuotable(in.subtitlePath, "subtitle", out);
    Appendf(out.text, "-i \"%s\" ", in.subtitlePath.c_str());
  }
  int32_t duration = in.probe.result > 0 ? in.probe.summary.duration_s : 0;
  rowVal.ulProbeDuration = duration > 0 ? static_cast<uint32_t>(duration) : 0;

  // mencoder copies both streams when only the packet index is to be optimised; its stand-in does too.
  bool copyVideo = s.origin_vdo != 0 || (job.fallback && s.pindex_opti != 0);
  bool copyAudio = s.origin_ado != 0 || (job.fallback && s.pindex_opti != 0);
  if (copyVideo)
    out.text += "-c:v copy ";
  else
    AppendFfmpegVideo(in, rowVal, job, out);
  if (copyAudio)
    out.text += "-c:a copy ";
  else
    AppendFfmpegAudio(in, job, out);
  if (mkvSubtitle) out.text += "-c:s copy ";
  return out;
}

// ---- mencoder ----

void AppendMencoderAudio(const EncodingSettings& s, const SourceRow& row, std::string& text) {
  Appendf(text, "-srate %d ", SampleRate(s, row));
  int r = AudioKbps(s.audio_bitrate);
  switch (s.audio_compress) {
    case 0:
      Appendf(text, "-oac faac -faacopts br=%d:mpeg=4:object=2:raw=yes:tns=yes ", r);
      break;
    case 1:
    case 3:
      if (s.output_type == 0)
        Appendf(text, "-oac lavc -lavcopts acodec=libmp3lame:abitrate=%d -channels 2 ", r);
      else
        Appendf(text,
                "-oac mp3lame -lameopts vbr=%d -lameopts br=%d -lameopts mode=%d -lameopts aq=%d -lameopts padding=3 "
                "-audio-preload 0.0 -hr-mp3-seek ",
                s.bitrate_style, r, s.channle_mode, 7);
      break;
    case 2:
      Appendf(text, "-oac lavc -lavcopts acodec=mp2:abitrate=%d -channels 2 ", r);
      break;
    default:
      break;
  }
  DebugLog(kDebugTarget, "iVolume:%d", s.volume);
  if (s.volume > 0) Appendf(text, "-af volnorm -af volume=%d:1 ", MencoderVolumeGain(s.volume));
}

void AppendMencoderCodec(const EncodingSettings& s, int threads, std::string& text) {
  int b = s.video_bitrate;
  switch (s.video_compress) {
    case 0:
      Appendf(text, "-ovc x264 -x264encopts bitrate=%d:threads=%d ", b, threads);
      break;
    case 1:
      Appendf(text, "-ovc xvid -xvidencopts bitrate=%d:max_bframes=0:quant_type=h263:me_quality=6:threads=%d ", b,
              threads);
      break;
    case 2:
      Appendf(text, "-ovc lavc -lavcopts vcodec=mpeg4 -lavcopts vbitrate=%d ", b);
      break;
    case 3:
      Appendf(text,
              "-ovc x264 -x264encopts bitrate=%d:subq=1:global_header:trellis=0:frameref=1:level_idc=13:nocabac:"
              "no8x8dct:bframes=0:weightp=0:threads=%d ",
              b, threads);
      break;
    default:
      break;
  }
}

void AppendMencoderFrameRate(const BuildInput& in, BuildRowInput& rowVal, std::string& text) {
  const EncodingSettings& s = *in.settings;
  // Only a kept rate that was not taken from a "wma" row consults the probe.
  if (s.fps_opt != 0 && strcasecmp(in.row.typeText.c_str(), "wma") != 0 && in.probe.result != -1) {
    int32_t duration = in.probe.summary.duration_s;
    rowVal.ulProbeDuration = duration > 0 ? static_cast<uint32_t>(duration) : 0;
  }
  Appendf(text, "-ofps %s ", MencoderFrameRate(in).c_str());
}

void AppendScaleExpand(int tw, int th, std::string& text) {
  Appendf(text, "-vf-add scale=%d:%d -vf-add expand=%d:%d:-1:-1:1 ", tw, th, tw, th);
}

void AppendMencoderSize(const EncodingSettings& s, int sourceW, int sourceH, std::string& text) {
  if (s.size_opt != 0 || s.size_w <= 0 || s.size_h <= 0) return;
  int tw = Even(s.size_w);
  int th = Even(s.size_h);
  if (sourceW == 0 || sourceH == 0) {
    if (s.sizing_ratio == 0) AppendScaleExpand(tw, th, text);
    return;
  }
  if (sourceW < 0 || sourceH < 0) return;
  int sw = Even(sourceW);
  int sh = Even(sourceH);
  if (tw == sw && th == sh) return;
  if (s.sizing_ratio == 0) {
    AppendScaleExpand(tw, th, text);
    return;
  }
  double rw = static_cast<double>(sw) / tw;
  double rh = static_cast<double>(sh) / th;
  if (s.sizing_trim != 0) {
    if (rh > rw) {
      int ch = static_cast<int>(static_cast<double>(th) * sw / tw);
      Appendf(text, "-vf-add crop=%d:%d:0:%d ", sw, ch, (sh - ch) / 2);
    } else {
      int cw = static_cast<int>(static_cast<double>(sh) * tw / th);
      Appendf(text, "-vf-add crop=%d:%d:%d:0 ", cw, sh, (sw - cw) / 2);
    }
    AppendScaleExpand(tw, th, text);
    return;
  }
  int w, h;
  if (rh > rw) {
    w = Even(static_cast<int>(static_cast<double>(th) * sw / sh));
    h = th;
  } else {
    w = tw;
    h = Even(static_cast<int>(static_cast<double>(sh) * tw / sw));
  }
  Appendf(text, "-vf-add crop=%d:%d:-1:-1 -vf-add scale=%d:%d -vf-add expand=%d:%d:-1:-1:1 ", sw, sh, w, h, tw, th);
}

// ---- the subtitles filter ----

// Escapes `specials` and the blanks at either end, which ffmpeg's tokenizer would otherwise drop.
std::string EscapeFor(const std::string& s, const char* specials) {
  size_t first = s.find_first_not_of(" \t\r\n");
  size_t last = s.find_last_not_of(" \t\r\n");
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    bool edgeBlank = std::strchr(" \t\r\n", c) && (first == std::string::npos || i < first || i > last);
    if (std::strchr(specials, c) || edgeBlank) out += '\\';
    out += c;
  }
  return out;
}

// The subtitle look of sub_conf in libass style fields (script height 288 lines, as ffmpeg sets up
// for text subtitles): the text scale is a percentage of the picture diagonal, 4:3 assumed.
std::string ForceStyle(const EncodingSettings& s, const std::string& family) {
  std::string style;
  std::string name;
  // libass splits the overrides at ',' and at the last '='; a quote would end the argument.
  for (char c : family)
    if (c != ',' && c != '=' && c != '"') name += c;
  if (!name.empty()) style = "FontName=" + name + ",";
  int scale = s.size > 0 ? s.size : 1;
  int position = s.position < 0 ? 0 : (s.position > 100 ? 100 : s.position);
  Appendf(style, "FontSize=%d,Outline=%d,Blur=%d,Alignment=2,MarginV=%d", (scale * 48 + 5) / 10,
          s.thickness > 0 ? s.thickness : 0, s.blur > 0 ? s.blur : 0, (100 - position) * 288 / 100);
  return style;
}

std::string SubtitlesFilter(const EncodingSettings& s, const BurnInSubtitle& b) {
  std::string options = "filename=" + EscapeFilterOptionValue(b.file);
  if (!b.fontsDir.empty()) options += ":fontsdir=" + EscapeFilterOptionValue(b.fontsDir);
  options += ":force_style=" + EscapeFilterOptionValue(ForceStyle(s, b.fontFamily));
  return EscapeFilterDescription("subtitles=" + options);
}

}  // namespace

std::string EscapeFilterOptionValue(const std::string& value) { return EscapeFor(value, "\\':"); }
std::string EscapeFilterDescription(const std::string& description) { return EscapeFor(description, "\\'[],;"); }

BuiltOptions BuildFfmpegArgs(const BuildInput& in, BuildRowInput& rowVal) {
  return BuildFfmpegOptions(in, rowVal, FfmpegJob{});
}

BuiltOptions BuildMencoderArgs(const BuildInput& in, BuildRowInput& rowVal) {
  BuiltOptions out;
  const EncodingSettings& s = *in.settings;
  bool encodeAudio = s.pindex_opti == 0 && s.origin_ado == 0;
  bool encodeVideo = s.pindex_opti == 0 && s.origin_vdo == 0;
  DebugLog(kDebugTarget, "sType:%.9s", in.row.typeText.c_str());
  // A codec index outside the tables would leave the encoder to pick one of its own.
  if (encodeAudio && (s.audio_compress < 0 || s.audio_compress > 3))
    out.error = "audio_conf.compress " + std::to_string(s.audio_compress) + " names no audio codec";
  if (encodeVideo && (s.video_compress < 0 || s.video_compress > 3))
    out.error = "video_conf.compress " + std::to_string(s.video_compress) + " names no video codec";
  out.text += s.output_type == 0 ? "-of lavf -lavfopts format=MP4 -lavcopts vglobal=1 " : "-noodml ";
  if (encodeAudio)
    AppendMencoderAudio(s, in.row, out.text);
  else
    out.text += "-oac copy ";
  if (!encodeVideo) {
    out.text += "-ovc copy ";
    return out;
  }
  AppendMencoderCodec(s, Threads(in.processors), out.text);
  AppendMencoderFrameRate(in, rowVal, out.text);
  AppendMencoderSize(s, in.row.width, in.row.height, out.text);
  if (!in.subtitlePath.empty()) {
    RequireQuotable(s.font_path, "font", out);
    RequireQuotable(in.subtitlePath, "subtitle", out);
    Appendf(out.text,
            "-font \"%s\" -sub \"%s\" -utf8 -subpos %d -subfont-text-scale %d -subfont-blur %d -subfont-outline %d ",
            s.font_path.c_str(), in.subtitlePath.c_str(), s.position, s.size, s.blur, s.thickness);
  }
  return out;
}

BuiltOptions BuildFfmpegFallbackArgs(const BuildInput& in, BuildRowInput& rowVal, const BurnInSubtitle& burnIn,
                                     const std::string& reason) {
  const EncodingSettings& s = *in.settings;
  bool encodeVideo = s.pindex_opti == 0 && s.origin_vdo == 0;
  FfmpegJob job;
  job.fallback = true;
  job.burnIn = encodeVideo && !burnIn.file.empty() ? &burnIn : nullptr;
  BuiltOptions body = BuildFfmpegOptions(in, rowVal, job);
  BuiltOptions out;
  out.text = std::move(body.text);
  out.error = std::move(body.error);
  out.substitutions.push_back("ffmpeg instead of mencoder" + (reason.empty() ? std::string() : " (" + reason + ")"));
  out.substitutions.insert(out.substitutions.end(), body.substitutions.begin(), body.substitutions.end());
  if (job.burnIn) {
    RequireQuotable(burnIn.file, "subtitle", out);
    RequireQuotable(burnIn.fontsDir, "font folder", out);
  }
  return out;
}

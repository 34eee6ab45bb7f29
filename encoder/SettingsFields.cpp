// The table of stored settings and reading, checking and printing values by name.
#include "encoder/SettingsFields.h"

#include <array>
#include <charconv>
#include <climits>

#include "encoder/SettingsStore.h"
#include "platform/KnownFolders.h"
#include "support/AsciiText.h"
#include "support/Minisign.h"
#include "support/ServerAddress.h"

namespace {

using K = SettingKind;
using R = SettingRule;
using ES = EncodingSettings;
using SP = StoredPaths;

constexpr int64_t kAny = INT32_MAX;

constexpr std::array kGroups = {
    SettingGroup{"encoding_options", "encoding options"},
    SettingGroup{"video_conf", "video encoding options"},
    SettingGroup{"audio_conf", "audio encoding options"},
    SettingGroup{"sub_conf", "subscript mapping options"},
    SettingGroup{"etc_conf", "etc options"},
};

// Switches: 0 or 1.
constexpr SettingField Switch(const char* group, const char* name, int32_t ES::*field, int32_t def,
                              bool hasMissing, const char* meaning) {
  return {.group = group, .name = name, .kind = K::kSwitch, .number = field, .recordDefault = def,
          .hasMissingDefault = hasMissing, .missingDefault = def, .minSet = 0, .maxSet = 1, .meaning = meaning};
}

constexpr SettingField Number(const char* group, const char* name, int32_t ES::*field, int32_t def,
                              bool hasMissing, int32_t missing, int64_t lo, int64_t hi, const char* meaning,
                              R loadRule = R::kNone, R setRule = R::kNone) {
  return {.group = group, .name = name, .kind = K::kNumber, .number = field, .recordDefault = def,
          .hasMissingDefault = hasMissing, .missingDefault = missing, .loadRule = loadRule,
          .setRule = setRule, .minSet = lo, .maxSet = hi, .meaning = meaning};
}

constexpr SettingField Text(const char* group, const char* name, std::string ES::*field, bool hasMissing,
                            size_t maxChars, const char* meaning) {
  return {.group = group, .name = name, .kind = K::kText, .text = field, .hasMissingDefault = hasMissing,
          .maxChars = maxChars, .meaning = meaning};
}

constexpr SettingField Path(const char* name, std::string SP::*field, const char* meaning) {
  return {.group = "encoder", .name = name, .kind = K::kPath, .path = field, .maxChars = kMaxPathChars,
          .meaning = meaning};
}

const std::array kFields = {
    Number("encoding_options", "output_type", &ES::output_type, 0, false, 0, 0, 2,
           "output container: 0 MP4, 1 AVI, 2 MKV"),
    Switch("encoding_options", "pindex_opti", &ES::pindex_opti, 0, false,
           "only optimise the packet index, do not encode"),
    Switch("encoding_options", "origin_vdo", &ES::origin_vdo, 0, false, "keep the source video stream (copy)"),
    Switch("encoding_options", "origin_ado", &ES::origin_ado, 0, false, "keep the source audio stream (copy)"),
    Switch("encoding_options", "sub_mapping", &ES::sub_mapping, 0, true,
           "use the subtitle file beside the source (.smi burned in, .srt carried in MKV)"),
    Text("encoding_options", "optional", &ES::optional, false, kMaxOptionalChars,
         "extra encoder options appended to every command line"),

    Number("video_conf", "compress", &ES::video_compress, 0, false, 0, 0, 3,
           "video codec: 0 h264 (high quality), 1 xvid, 2 mp4v, 3 h264 (middle quality)"),
    Number("video_conf", "bitrate", &ES::video_bitrate, 800, true, 800, INT32_MIN, kAny,
           "video bit rate in kbit/s (below 100 becomes 100)", R::kFloor100, R::kFloor100),
    Number("video_conf", "fps", &ES::fps, 3, true, 4, 0, 5,
           "frame rate: 0 15, 1 23.976, 2 24, 3 25, 4 29.970, 5 30"),
    Switch("video_conf", "fps_opt", &ES::fps_opt, 1, true, "keep the source frame rate (fps is ignored)"),
    Number("video_conf", "size_w", &ES::size_w, 720, true, 720, 0, kAny - 1,
           "output width in pixels (an odd value is raised by 1)", R::kEven, R::kEven),
    Number("video_conf", "size_h", &ES::size_h, 400, true, 400, 0, kAny - 1,
           "output height in pixels (an odd value is raised by 1)", R::kEven, R::kEven),
    Switch("video_conf", "size_opt", &ES::size_opt, 1, true, "keep the source frame size"),
    Switch("video_conf", "sizing_ratio", &ES::sizing_ratio, 1, true, "when resizing, keep the aspect ratio"),
    Switch("video_conf", "sizing_trim", &ES::sizing_trim, 0, false,
           "when keeping the aspect ratio, crop the excess instead of padding"),

    Number("audio_conf", "compress", &ES::audio_compress, 0, false, 0, 0, 3,
           "audio codec: 0 aac, 1 mp3, 2 mp2, 3 vorbis"),
    Number("audio_conf", "bitrate", &ES::audio_bitrate, 2, true, 2, 0, 5,
           "audio bit rate: 0 48, 1 64, 2 128, 3 192, 4 256, 5 320 kbit/s"),
    Number("audio_conf", "sample_rate", &ES::sample_rate, 3, true, 3, 0, 5,
           "sample rate: 0 22050, 1 24000, 2 32000, 3 44100, 4 48000, 5 64000 Hz"),
    Switch("audio_conf", "sample_rate_opt", &ES::sample_rate_opt, 0, false,
           "keep the source sample rate (sample_rate is ignored)"),
    Number("audio_conf", "channle_mode", &ES::channle_mode, 0, false, 0, 0, 3,
           "channels: 0 stereo, 1 joint stereo, 2 dual channel, 3 mono"),
    Number("audio_conf", "bitrate_style", &ES::bitrate_style, 3, false, 0, 0, 4,
           "LAME rate-control mode for mencoder (0 cbr, 1 mt, 2 rh, 3 abr, 4 mtrh)"),
    Number("audio_conf", "volume", &ES::volume, 0, false, 0, 0, kAny,
           "volume in percent: 0 not applied, 100 original, at most 500", R::kCap500, R::kCap500),

    Number("sub_conf", "position", &ES::position, 95, true, 95, 0, kAny, "vertical subtitle position, 0 to 100",
           R::kNone, R::kCap100),
    Number("sub_conf", "size", &ES::size, 4, true, 4, 0, kAny, "subtitle text scale, 3 to 7", R::kNone,
           R::kClamp3To7),
    Number("sub_conf", "blur", &ES::blur, 2, true, 2, 0, kAny, "outline blur, 0 to 8", R::kNone, R::kCap8),
    Number("sub_conf", "thickness", &ES::thickness, 2, true, 2, 0, kAny, "outline thickness, 0 to 8", R::kNone,
           R::kCap8),
    Text("sub_conf", "font_path", &ES::font_path, true, kMaxPathChars, "subtitle font file"),

    // The two switches of this group are stored under each other's names.
    Number("etc_conf", "no_scan", &ES::language, 0, false, 0, 0, 1,
           "interface language, stored under \"no_scan\": 1 English, otherwise Korean"),
    Switch("etc_conf", "language", &ES::skip_scan, 0, false,
           "skip-scan switch, stored under \"language\": 1 = added files are not probed"),
    Text("etc_conf", "fn_prefix", &ES::fn_prefix, true, kMaxPrefixChars,
         "prefix of every output file name (may be empty)"),

    Path("last_open_folder", &SP::last_open_folder, "folder last used to add files"),
    Path("output_folder", &SP::output_folder, "folder that receives the encoded files"),
    Path("encoder_path_a", &SP::encoder_path_a, "ffmpeg"),
    Path("encoder_path_b", &SP::encoder_path_b, "mencoder"),
    Path("ProgramFolder", &SP::ProgramFolder, "program folder (read only: subtitle work files go to the cache folder)"),
    Path("error_log_path", &SP::error_log_path, "error log of the encoder (month-stamped)"),
    Path("update_server", &SP::update_server, "update server as HOST[:PORT] (port 4654 when omitted; empty: no update check)"),
    Path("update_key", &SP::update_key,
         "publisher's minisign public key (the key line of minisign.pub); updates are installed only when signed with it"),
    Path("support_address", &SP::support_address,
         "web page the about box's support button opens, http:// or https:// (empty: " ZELVORA_HOME_PAGE ")"),
    SettingField{.group = "encoder", .name = "program_rebirth", .kind = K::kTime, .minSet = 0,
                 .maxSet = UINT32_MAX, .meaning = "time of the last update check (seconds since 1970)"},
};

bool ParseInteger(std::string_view text, int64_t& out) {
  if (text.empty()) return false;
  const char* first = text.data();
  if (*first == '+') ++first;
  auto [end, ec] = std::from_chars(first, text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size();
}

bool ParseSwitch(std::string_view text, int32_t& out) {
  static constexpr std::string_view kOn[] = {"1", "on", "yes", "true"};
  static constexpr std::string_view kOff[] = {"0", "off", "no", "false"};
  for (auto w : kOn)
    if (SameIgnoringCase(text, w)) return out = 1, true;
  for (auto w : kOff)
    if (SameIgnoringCase(text, w)) return out = 0, true;
  return false;
}

std::string FullName(const SettingField& f) { return std::string(f.group) + "." + f.name; }

// Whether a part of `text` between separators is "..": a step to the parent folder. Two dots
// inside a name ("v1..2") are only part of that name.
bool HasParentStep(std::string_view text) {
#ifdef _WIN32
  constexpr std::string_view kSeparators = "/\\";
#else
  constexpr std::string_view kSeparators = "/";
#endif
  size_t start = 0;
  for (;;) {
    const size_t end = text.find_first_of(kSeparators, start);
    if (text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start) == "..") return true;
    if (end == std::string_view::npos) return false;
    start = end + 1;
  }
}

// Why a text cannot be a value of `f`, or empty: the one check of typed and stored texts.
std::string TextRefusal(const SettingField& f, std::string_view text) {
  const std::string name = FullName(f);
  // The update settings are read as the check reads them, so that a bad value is refused
  // where it is typed, not found wrong at the next start.
  if (f.path == &SP::update_server && !text.empty() && text.find_first_of("\r\n") == std::string_view::npos) {
    std::string host;
    int port = 0;
    if (!ParseServerAddress(text, 4654, host, port))
      return name + " is a host name or address with an optional :PORT from 1 to 65535, not '" + std::string(text) + "'";
  }
  if (f.path == &SP::support_address && !text.empty() && !IsWebAddress(text))
    return name + " is a web address beginning with http:// or https://, not '" + std::string(text) + "'";
  if (f.path == &SP::update_key && !text.empty()) {
    std::string why;
    if (!ParseMinisignKey(text, &why)) return name + ": " + why;
  }
  const TextCheck check = CheckSettingText(f, text);
  switch (check.problem) {
    case TextProblem::kNone: return {};
    case TextProblem::kLineBreak: return name + " cannot hold a line break";
    case TextProblem::kTooLong:
      return name + " holds at most " + std::to_string(f.maxChars) + " characters, not " +
             std::to_string(CountChars(text));
    case TextProblem::kParentStep: return name + " cannot hold '..'";
    case TextProblem::kForbidden: return name + " cannot hold '" + std::string(1, check.bad) + "'";
  }
  return {};
}

}  // namespace

bool IsWebAddress(std::string_view text) {
  // Handed to a browser (or, on Windows, to the shell, which would also run a program): only
  // the two web schemes, and nothing a command line or a browser would read as a second word.
  for (char c : text)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f || c == '"' || c == '\\') return false;
  std::string_view rest;
  for (std::string_view scheme : {std::string_view("https://"), std::string_view("http://")})
    if (text.size() > scheme.size() && SameIgnoringCase(text.substr(0, scheme.size()), scheme))
      rest = text.substr(scheme.size());
  const std::string_view host = rest.substr(0, rest.find_first_of("/?#"));
  if (host.empty() || host.front() == '.' || host.front() == ':') return false;
  // A name, an IPv4 or bracketed IPv6 address with an optional port; no user part ("x@host").
  for (char c : host)
    if (!(static_cast<unsigned char>(c) >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
          (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' || c == '[' || c == ']'))
      return false;
  return true;
}

TextCheck CheckSettingText(const SettingField& f, std::string_view text) {
  if (text.find_first_of("\r\n") != std::string_view::npos) return {TextProblem::kLineBreak, '\n'};
  if (CountChars(text) > f.maxChars) return {TextProblem::kTooLong, 0};
  if (f.text != &ES::fn_prefix) return {};
  // A prefix is part of a file name: a separator or a parent step would send outputs into
  // another folder.
  if (text.find('/') != std::string_view::npos) return {TextProblem::kForbidden, '/'};
  if (HasParentStep(text)) return {TextProblem::kParentStep, 0};
#ifdef _WIN32
  // Windows also takes a backslash as a separator, a ':' names a drive or another stream of the file,
  // and the rest cannot be in a file name at all.
  if (size_t bad = text.find_first_of("\\:*?\"<>|"); bad != std::string_view::npos)
    return {TextProblem::kForbidden, text[bad]};
#endif
  return {};
}

int32_t SettingLoadDefault(const SettingField& f) { return f.hasMissingDefault ? f.missingDefault : f.recordDefault; }

std::string CheckStoredNumber(const SettingField& f, int32_t& value) {
  const int32_t stored = value;
  if (f.kind == K::kSwitch) {
    value = value != 0 ? 1 : 0;
  } else if (value < f.minSet || value > f.maxSet) {
    value = SettingLoadDefault(f);
    return FullName(f) + " " + std::to_string(stored) + " is outside " + std::to_string(f.minSet) + " to " +
           std::to_string(f.maxSet) + "; it takes its default " + std::to_string(value);
  } else {
    value = ApplySettingRule(f.setRule, value);
  }
  if (value == stored) return {};
  return FullName(f) + " " + std::to_string(stored) + " is read as " + std::to_string(value);
}

std::string CheckStoredText(const SettingField& f, std::string& value, const std::string& fallback) {
  std::string why = TextRefusal(f, value);
  if (why.empty()) return {};
  value = fallback;
  return why + "; it takes its default \"" + fallback + "\"";
}

std::string SettingsRangeProblem(const EncodingSettings& s) {
  for (const auto& f : kFields) {
    if (f.kind != K::kNumber && f.kind != K::kSwitch) continue;
    int32_t v = s.*f.number;
    if (v < f.minSet || v > f.maxSet)
      return "the setting " + FullName(f) + " is " + std::to_string(v) + ", outside " + std::to_string(f.minSet) +
             " to " + std::to_string(f.maxSet);
  }
  return {};
}

std::span<const SettingGroup> SettingGroups() { return kGroups; }

std::span<const SettingField> SettingFields() { return kFields; }

const SettingField* FindSettingField(std::string_view groupDotName) {
  for (const auto& f : kFields)
    if (FullName(f) == groupDotName) return &f;
  return nullptr;
}

int32_t ApplySettingRule(SettingRule rule, int32_t v) {
  switch (rule) {
    case R::kNone:
      return v;
    case R::kEven:
      return v % 2 == 0 ? v : v == INT32_MAX ? v - 1 : v + 1;
    case R::kFloor100:
      return v < 100 ? 100 : v;
    case R::kCap500:
      return v > 500 ? 500 : v;
    case R::kCap100:
      return v > 100 ? 100 : v;
    case R::kClamp3To7:
      return v <= 2 ? 3 : v >= 8 ? 7 : v;
    case R::kCap8:
      return v > 8 ? 8 : v;
  }
  return v;
}

std::string SettingTextDefault(const SettingField& field) {
  if (field.text == &ES::fn_prefix) return kDefaultPrefix;
  if (field.text == &ES::font_path) return DefaultHangulFontFile();
  return {};
}

std::string SettingValueText(const SettingField& f, const EncodingSettings& s, const StoredPaths& paths) {
  switch (f.kind) {
    case K::kNumber:
    case K::kSwitch:
      return std::to_string(s.*f.number);
    case K::kText:
      return s.*f.text;
    case K::kPath:
      return paths.*f.path;
    case K::kTime:
      return std::to_string(paths.program_rebirth);
  }
  return {};
}

bool SetSettingValue(const SettingField& f, std::string_view text, EncodingSettings& s, StoredPaths& paths,
                     std::string& error) {
  const std::string name = FullName(f);
  if (f.kind == K::kSwitch) {
    int32_t v = 0;
    if (!ParseSwitch(text, v)) {
      error = name + " is a switch: give 0 or 1, not '" + std::string(text) + "'";
      return false;
    }
    s.*f.number = v;
    return true;
  }
  if (f.kind == K::kNumber || f.kind == K::kTime) {
    int64_t v = 0;
    if (!ParseInteger(text, v)) {
      error = name + " takes a whole number, not '" + std::string(text) + "'";
      return false;
    }
    if (v < f.minSet || v > f.maxSet) {
      error = name + " must be from " + std::to_string(f.minSet) + " to " + std::to_string(f.maxSet) + ", not " +
              std::to_string(v);
      return false;
    }
    if (f.kind == K::kTime)
      paths.program_rebirth = static_cast<uint32_t>(v);
    else
      s.*f.number = ApplySettingRule(f.setRule, static_cast<int32_t>(v));
    return true;
  }
  // The whole minisign.pub text may be given: its key line is what is kept.
  std::string keyLine;
  if (f.path == &SP::update_key && text.find('\n') != std::string_view::npos) {
    std::string why;
    if (!ParseMinisignKey(text, &why)) {
      error = name + ": " + why;
      return false;
    }
    std::string_view t = text;
    while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ' || t.back() == '\t')) t.remove_suffix(1);
    keyLine = std::string(TrimBlanks(t.substr(t.rfind('\n') + 1)));
    text = keyLine;
  }
  if (std::string why = TextRefusal(f, text); !why.empty()) {
    error = why;
    return false;
  }
  if (f.kind == K::kPath)
    paths.*f.path = std::string(text);
  else
    s.*f.text = std::string(text);
  return true;
}

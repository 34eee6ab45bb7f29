// MPEG audio elementary streams: the first valid frame, its Xing/Info, VBRI or LAME header,
// and the play time and bit rate derived from them.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "probe/MpegAudio.h"
#include "probe/MpegAudioHeader.h"
#include "probe/Parsers.h"
#include "probe/Probe.h"

namespace {

constexpr size_t kSearchWindow = 128 * 1024;

constexpr const char* kModeNames[4] = {"stereo", "joint stereo", "dual channel", "mono"};

constexpr const char* kLameMethods[16] = {
    "   ",
    "cbr",
    "abr",
    "vbr-old / vbr-rh",
    "vbr-new / vbr-mtrh",
    "vbr-mt",
    "vbr (full vbr method 4)",
    "cbr (constant bitrate 2 pass)",
    "abr (2 pass)",
    "rserved",
    "   ",
    "   ",
    "   ",
    "   ",
    "   ",
    "   ",
};

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

// Big-endian 32-bit value at `at`, or nothing when the bytes end before it.
bool ReadBe32(std::span<const uint8_t> bytes, size_t at, uint32_t& value) {
  if (at > bytes.size() || bytes.size() - at < 4) return false;
  value = (uint32_t{bytes[at]} << 24) | (uint32_t{bytes[at + 1]} << 16) | (uint32_t{bytes[at + 2]} << 8) | bytes[at + 3];
  return true;
}

bool HasText(std::span<const uint8_t> bytes, size_t at, const char* text) {
  size_t n = std::strlen(text);
  return at <= bytes.size() && bytes.size() - at >= n && std::memcmp(bytes.data() + at, text, n) == 0;
}

// Frame length coefficient and slot size: bytes per frame = floor(bitrate × c / rate / d) × d.
void FrameCoefficients(const MpegAudioState& s, int& c, int& d) {
  bool mpeg1 = s.version == 1.0;
  if (s.layer == 1) {
    c = mpeg1 ? 48 : 24;
    d = 4;
  } else {
    c = (s.layer == 3 && !mpeg1) ? 72 : 144;
    d = 1;
  }
}

// "3.99r", "3.100", "3.90.3": a LAME version of 3.90 or later, which is when the method byte
// became reliable. The minor number is compared as a number, so 3.100 counts as later than 3.99.
bool LameVersionAtLeast390(std::span<const uint8_t> text) {
  size_t i = 0;
  int major = 0, minor = 0, minorDigits = 0;
  if (i >= text.size() || !std::isdigit(text[i])) return false;
  while (i < text.size() && std::isdigit(text[i])) major = major * 10 + (text[i++] - '0');
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && std::isdigit(text[i]) && minorDigits < 3) {
      minor = minor * 10 + (text[i++] - '0');
      ++minorDigits;
    }
  }
  if (minorDigits == 1) minor *= 10;  // "3.9" reads as 3.90
  return major > 3 || (major == 3 && minor >= 90);
}

// The VBR header a Fraunhofer encoder writes 36 bytes into the first frame.
void ReadVbri(MpegAudioState& s, std::span<const uint8_t> bytes, int64_t offset) {
  s.rate_control = "vbr";
  s.vbr_kind = "Fraunhofer";
  uint32_t expected = 0, frames = 0;
  if (!ReadBe32(bytes, 46, expected) || expected == 0) return;  // byte count of the audio data
  // Compare what the header promises with what the file holds behind the first frame.
  int64_t found = s.file_length - offset;
  int64_t want = expected;
  if (found == want + 1) {
    s.file_length -= 1;
  } else if (found > want + 1) {
    s.warning = Format("Too much data in file: expecting %u bytes of audio data, found %lld (%lld bytes too many)",
                       expected, static_cast<long long>(found), static_cast<long long>(found - want));
  } else if (found == want - 1) {
    s.warning = "Last byte of data truncated (this is a known bug in Meracl ID3 Tag Writer before v1.3.5)";
  } else if (found < want - 1) {
    s.warning = Format("Probable truncated file: expecting %u bytes of audio data, only found %lld (short by %lld bytes)",
                       expected, static_cast<long long>(found), static_cast<long long>(want - found));
  }
  // The frame count beside the byte count gives the stream's real average, as with Xing;
  // the first frame's own rate says nothing about a variable-rate stream.
  s.stated_bytes = expected;
  if (ReadBe32(bytes, 50, frames) && frames > 0) {
    s.stated_frames = frames;
    int c, d;
    FrameCoefficients(s, c, d);
    double averageFrame = static_cast<double>(expected) / frames;
    s.average_bitrate = static_cast<int64_t>(averageFrame * s.sample_rate / c);
    s.frame_length = static_cast<int64_t>(averageFrame);
  }
}

void ReadLame(MpegAudioState& s, std::span<const uint8_t> bytes, size_t tagAt) {
  size_t lame = tagAt + 120;
  if (!HasText(bytes, lame, "LAME") || bytes.size() - lame < 10) return;
  if (!LameVersionAtLeast390(bytes.subspan(lame + 4, 5))) return;
  // Encoder delay and end padding, 12 bits each, follow the method byte, the low-pass byte,
  // the replay gain (8 bytes), the encoding flags and the bit-rate byte.
  if (bytes.size() - lame >= 24) {
    s.encoder_delay = (bytes[lame + 21] << 4) | (bytes[lame + 22] >> 4);
    s.end_padding = ((bytes[lame + 22] & 0x0F) << 8) | bytes[lame + 23];
  }
  const char* method = kLameMethods[bytes[lame + 9] & 0x0F];
  s.rate_control.assign(method, std::min<size_t>(3, std::strlen(method)));
  if ((bytes[lame + 9] & 0x0F) != 1 || s.average_bitrate <= 0) return;
  // A constant-rate stream: report the standard rate the encoder was asked for.
  s.rate_control = "cbr";
  int64_t kbps = (s.average_bitrate + 500) / 1000;
  int64_t snapped = kbps > 320 ? kbps : SnapToStandardBitrate(static_cast<int>(kbps));
  s.bitrate = snapped * 1000;
  s.average_bitrate = snapped * 1000;
}

// Xing (variable rate) or Info (constant rate): frame count and byte count of the stream.
bool ReadXing(MpegAudioState& s, std::span<const uint8_t> bytes) {
  size_t at;
  bool mono = s.channel_mode == 3;
  if (s.version == 1.0)
    at = mono ? 21 : 36;
  else
    at = mono ? 13 : 21;
  if (!HasText(bytes, at, "Xing") && !HasText(bytes, at, "Info")) return false;
  s.rate_control = "vbr";
  s.vbr_kind = "Xing";
  uint32_t flags = 0, frames = 0, byteCount = 0;
  size_t field = at + 4;
  if (!ReadBe32(bytes, field, flags)) return true;
  field += 4;
  if ((flags & 1) && ReadBe32(bytes, field, frames)) field += 4;
  if ((flags & 2) && ReadBe32(bytes, field, byteCount)) field += 4;
  s.stated_frames = frames;
  s.stated_bytes = byteCount;
  if (frames > 0 && byteCount > 0) {
    int c, d;
    FrameCoefficients(s, c, d);
    double averageFrame = static_cast<double>(byteCount) / frames;
    s.average_bitrate = static_cast<int64_t>(averageFrame * s.sample_rate / c);
    s.frame_length = static_cast<int64_t>(averageFrame);
  }
  ReadLame(s, bytes, at);
  return true;
}

bool Invalid(MpegAudioState& s, std::span<const uint8_t> b, std::string why) {
  s.valid = false;
  s.error = why.empty() ? Format("Invalid MPEG audio header (%02X%02X%02X%02X)", b[0], b[1], b[2], b[3]) : std::move(why);
  return false;
}

}  // namespace

int SamplesPerFrame(const MpegAudioState& s) {
  if (s.layer == 1) return 384;
  return (s.layer == 3 && s.version != 1.0) ? 576 : 1152;
}

int64_t MpegAudioPlaySeconds(const MpegAudioState& s) {
  const int64_t audioBytes = std::max<int64_t>(s.file_length - s.first_frame_offset, 0);
  // A header whose byte count is far below what the file holds belongs to a shorter stream
  // (a file joined or re-encoded behind an old header): the data then says more than the
  // header. A file holding less than stated is cut short, and the header knows the length.
  const bool staleHeader = s.stated_bytes > 0 && audioBytes - s.stated_bytes > s.stated_bytes / 16;
  if (s.stated_frames > 0 && s.sample_rate > 0 && !staleHeader) {
    const int64_t whole = s.stated_frames * SamplesPerFrame(s);
    int64_t samples = whole - s.encoder_delay - s.end_padding;
    if (samples <= 0) samples = whole;
    return std::max<int64_t>(samples / s.sample_rate, 1);
  }
  if (s.average_bitrate <= 0) return 0;
  // bytes × 8 / rate without overflowing for any file length.
  const int64_t avg = s.average_bitrate;
  const int64_t seconds = audioBytes / avg * 8 + (audioBytes % avg) * 8 / avg;
  return seconds == 0 && audioBytes > 0 ? 1 : seconds;
}

int SnapToStandardBitrate(int kbps) {
  static constexpr int kStandard[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  int best = kStandard[0];
  for (int rate : kStandard)
    if (std::abs(kbps - rate) <= std::abs(kbps - best)) best = rate;  // ascending: a tie goes up
  return best;
}

bool DecodeMpegAudioBytes(MpegAudioState& s, std::span<const uint8_t> b, int64_t offset) {
  s.valid = false;
  if (b.size() < 4) {
    s.error = Format("Invalid Header Buffer Size : %d", static_cast<int>(b.size()));
    return false;
  }
  b = b.first(std::min(b.size(), kMpegAudioHeaderBytes));
  auto header = DecodeMpegAudioHeader(b);
  if (!header) {
    // Name the first field that ruled the bytes out, as far as the sync lets us tell.
    if ((b[1] & 0xE0) == 0xE0 && ((b[1] >> 1) & 3) == 0) return Invalid(s, b, Format("Invalid Layer idx (%d)", 0));
    if ((b[1] & 0xE0) == 0xE0) return Invalid(s, b, Format("Invalid Frequency idx (%d)", (b[2] >> 2) & 3));
    return Invalid(s, b, {});
  }
  if (header->bitrateIndex == 15) return Invalid(s, b, Format("Invalid Bitrate idx (%d)", header->bitrateIndex));

  s.version = header->version();
  s.layer = header->layer;
  s.codec = s.layer == 2 ? "mp2" : "mp3";
  s.sample_rate = header->sampleRate;
  s.crc_protected = header->crcProtected;
  s.crc = (s.crc_protected && b.size() >= 6) ? static_cast<uint16_t>((b[4] << 8) | b[5]) : 0;
  s.padding = header->padding;
  s.private_bit = header->privateBit;
  s.channel_mode = header->channelMode;
  s.copyright = header->copyright;
  s.original = header->original;
  s.channels = header->channels;
  const int kbps = header->bitrateKbps;
  s.bitrate = kbps == 0 ? -1 : int64_t{kbps} * 1000;  // free format: no bit rate

  // MPEG-1 Layer II allows only some rates per channel mode; the lower sampling
  // frequencies of MPEG-2 allow every rate in every mode. Mono above 192 kbit/s is outside
  // the table too, but common encoders (ffmpeg's default mono MP2 is 384 kbit/s) write it,
  // and refusing it sends the frame search into the audio data to lock onto noise.
  if (s.layer == 2 && s.version == 1.0 && kbps > 0) {
    if (s.channel_mode != 3 && (kbps == 32 || kbps == 48 || kbps == 56 || kbps == 80))
      return Invalid(s, b, Format("%dkbps not allowed in Layer 2 and `%s` mode.", kbps, kModeNames[s.channel_mode]));
  }

  int c, d;
  FrameCoefficients(s, c, d);
  s.frame_length = s.bitrate * c / s.sample_rate / d * d + (s.padding ? d : 0);
  if (s.bitrate > 0 && s.frame_length < 1)
    return Invalid(s, b, Format("Frame at offset(%lld) is has an invalid frame length.", static_cast<long long>(offset)));
  s.average_bitrate = s.bitrate;
  s.rate_control.clear();
  s.vbr_kind.clear();
  s.stated_frames = 0;
  s.stated_bytes = 0;
  s.encoder_delay = 0;
  s.end_padding = 0;

  if (HasText(b, 36, "VBRI"))
    ReadVbri(s, b, offset);
  else if (!ReadXing(s, b))
    s.rate_control = "cbr";
  s.valid = true;
  return true;
}

bool DecodeMPEGaudioHeaderEx(MpegAudioState& state, int64_t offset) {
  uint8_t bytes[kMpegAudioHeaderBytes];
  if (!state.file || offset < 0) return false;
  size_t got = state.file->readAt(offset, bytes, sizeof bytes);
  return DecodeMpegAudioBytes(state, std::span<const uint8_t>(bytes, got), offset);
}

bool FindMpegAudioFrame(MpegAudioState& state, int64_t offset) {
  if (!state.file) return false;
  const MediaFile& file = *state.file;
  int64_t rest = offset >= 0 && offset < file.size() ? file.size() - offset : 0;
  size_t window = static_cast<size_t>(std::min<int64_t>(rest, kSearchWindow));
  std::vector<uint8_t> buffer(window);
  size_t got = window ? file.readAt(offset, buffer.data(), window) : 0;
  if (got == 0) {
    state.error = Format("Invalid %d at offset %lld", 0, static_cast<long long>(offset));
    return false;
  }
  bool windowReachesEnd = static_cast<int64_t>(got) == rest;
  for (size_t i = 0; i + 1 < got; ++i) {
    // A candidate: the first eight sync bits, then three more with a usable version and layer.
    if (buffer[i] != 0xFF || buffer[i + 1] <= 0xE0) continue;
    int64_t at = offset + static_cast<int64_t>(i);
    MpegAudioState scratch = state;
    bool valid;
    if (got - i >= kMpegAudioHeaderBytes || windowReachesEnd)
      valid = DecodeMpegAudioBytes(scratch, std::span<const uint8_t>(buffer).subspan(i), at);
    else
      valid = DecodeMPEGaudioHeaderEx(scratch, at);
    if (valid) {
      scratch.first_frame_offset = at;
      state = std::move(scratch);
      return true;
    }
  }
  if (!windowReachesEnd)
    state.error = Format("Could not find valid MPEG audio synch within the first %dKB", static_cast<int>(got / 1024));
  else
    state.error = "Could not find valid MPEG audio synch before end of file";
  return false;
}

int RunMpegAudio(MediaFile& file, MediaInfo& info, bool checkMode, int64_t startOffset) {
  if (!file.isOpen() || startOffset < 0) return 0;
  try {
    PositionGuard keep(file);
    int64_t start = startOffset;
    if (start == 0) {
      Id3Header tag;
      if (ParseId3Header(file, &tag)) start = tag.length;
    }
    MpegAudioState state;
    state.file = &file;
    state.file_length = file.size();
    if (!FindMpegAudioFrame(state, start)) return 0;
    if (checkMode || info.audio) return 1;

    StreamInfo& audio = info.ensureAudio();
    char codec[32];
    std::snprintf(codec, sizeof codec, "V%3.1fL%d", state.version, state.layer);
    audio.setCodec(codec);
    audio.value1 = state.sample_rate;
    audio.value3 = state.channels;
    int64_t kbps = state.average_bitrate > 0 ? (state.average_bitrate + 500) / 1000 : 0;
    audio.value2 = static_cast<int32_t>(std::min<int64_t>(kbps, INT32_MAX));
    info.bitrate_kbps = audio.value2;
    const int64_t seconds = MpegAudioPlaySeconds(state);
    if (seconds > 0) info.duration_s = static_cast<int32_t>(std::min<int64_t>(seconds, INT32_MAX));
    info.payload_start = static_cast<int32_t>(std::min<int64_t>(start, INT32_MAX));
    info.payload_end = info.end_offset;
    return 1;
  } catch (...) {
    return 0;
  }
}

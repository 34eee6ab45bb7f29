// MPEG program stream parser: the first video sequence header, the audio through the MPEG
// audio parser, and a play-time estimate from the file size and the two bit rates.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "probe/Parsers.h"
#include "probe/ProbeNumbers.h"

namespace {

// Only the start of the stream is searched.
constexpr int64_t kWindow = 100000;
constexpr uint8_t kSequenceHeader[4] = {0x00, 0x00, 0x01, 0xB3};
constexpr uint8_t kExtension[4] = {0x00, 0x00, 0x01, 0xB5};
constexpr uint8_t kAudioPacket[4] = {0x00, 0x00, 0x01, 0xC0};
// The fixed part of a sequence header, start code included.
constexpr size_t kSequenceHeaderSize = 12;
// Where the audio search starts behind an audio packet's start code when its header cannot
// be read, and on how many successive offsets the audio parser is tried.
constexpr int64_t kAudioSkip = 12;
constexpr int kAudioTries = 7;
// A bit-rate value of all ones marks variable bit rate.
constexpr uint32_t kVariableBitRate = 0x3FFFF;

struct SequenceHeader {
  int width = 0;
  int height = 0;
  double fps = 0.0;
  int64_t bitRate = 0;  // bit/s; 0 when variable
  bool variable = false;
  bool mpeg2 = false;
};

std::optional<size_t> Find(const std::vector<uint8_t>& window, const uint8_t (&code)[4], size_t from = 0) {
  if (window.size() < 4) return std::nullopt;
  for (size_t i = from; i + 4 <= window.size(); ++i)
    if (std::memcmp(&window[i], code, 4) == 0) return i;
  return std::nullopt;
}

// The first sequence header whose fixed part lies wholly within the window.
std::optional<size_t> FindSequenceHeader(const std::vector<uint8_t>& window) {
  for (auto p = Find(window, kSequenceHeader); p; p = Find(window, kSequenceHeader, *p + 1))
    if (window.size() - *p >= kSequenceHeaderSize) return p;
  return std::nullopt;
}

double FrameRate(int code) {
  static constexpr double kRates[9] = {0, 23.976, 24, 25, 29.97, 30, 50, 59.94, 60};
  return code >= 1 && code <= 8 ? kRates[code] : 0.0;
}

SequenceHeader DecodeSequenceHeader(const std::vector<uint8_t>& w, size_t p) {
  SequenceHeader s;
  s.width = (w[p + 4] << 4) | (w[p + 5] >> 4);           // horizontal size, 12 bits
  s.height = ((w[p + 5] & 0x0F) << 8) | w[p + 6];        // vertical size, 12 bits
  s.fps = FrameRate(w[p + 7] & 0x0F);                    // aspect ratio (4 bits, unused), frame rate code
  const uint32_t rate = (uint32_t{w[p + 8]} << 10) | (uint32_t{w[p + 9]} << 2) | (w[p + 10] >> 6);  // 18 bits
  s.variable = rate == kVariableBitRate;
  s.bitRate = s.variable ? 0 : int64_t{rate} * 400;
  // Then marker, VBV buffer size (10), constrained flag, and the two matrix flags, each
  // followed by 64 bytes of matrix when set; the non-intra flag moves with the intra matrix.
  size_t end = p + kSequenceHeaderSize;
  const bool intra = w[p + 11] & 0x02;
  bool nonIntra = w[p + 11] & 0x01;
  if (intra) {
    nonIntra = w.size() - p > 75 && (w[p + 75] & 0x01);
    end += 64;
  }
  if (nonIntra) end += 64;
  // An MPEG-2 sequence header is always followed by its extension.
  s.mpeg2 = end <= w.size() && w.size() - end >= 4 && std::memcmp(&w[end], kExtension, 4) == 0;
  return s;
}

// Overhead correction of the size-based play time: rows by audio kbit/s, columns by log10 of
// the video kbit/s (1 to 4); values are measured multiplexing efficiencies.
constexpr int kRowRates[12] = {32, 48, 56, 64, 96, 128, 160, 192, 224, 256, 320, 384};
constexpr double kEfficiency[12][4] = {
    {0.967628794436853, 0.980227626436031, 0.984491618324446, 0.985282184517994},
    {0.977910008920983, 0.978777003535932, 0.984673866407613, 0.985268301379996},
    {0.97312498553676, 0.977662430893804, 0.983260636185213, 0.984392260663334},
    {0.975564268327576, 0.979525670549339, 0.983657300919317, 0.985112253940447},
    {0.978802524749729, 0.97985533141487, 0.982295686979256, 0.983481511912469},
    {0.981694005092548, 0.982167593607212, 0.982975692747087, 0.983976342015205},
    {0.982589409456118, 0.982091339907396, 0.982390714325397, 0.983282178365157},
    {0.983203847433626, 0.982573169431796, 0.98210286227124, 0.982826207644762},
    {0.983651629853877, 0.982471860182389, 0.981830218062538, 0.982373510162648},
    {0.984586302209492, 0.983722941196754, 0.982452166221083, 0.982864517210079},
    {0.984956528026318, 0.983768314280511, 0.98228852759604, 0.982442438272719},
    {0.98560947743576, 0.984457339443272, 0.982597039983733, 0.982467380830389},
};

}  // namespace

// Bilinear interpolation in the efficiency table; both rates in bit/s.
double MpgOverheadFactor(double videoBitRate, double audioBitRate) {
  const double video = std::clamp(videoBitRate / 1000.0, 10.0, 10000.0);
  const double audio = std::clamp(audioBitRate / 1000.0, 32.0, 384.0);
  int lower = 0;
  while (lower + 1 < 12 && kRowRates[lower + 1] <= audio) ++lower;
  const int upper = lower + 1 < 12 ? lower + 1 : lower;
  const double l = upper == lower ? 1.0 : (kRowRates[upper] - audio) / (kRowRates[upper] - kRowRates[lower]);
  const double x = std::log10(video);
  const int lo = static_cast<int>(std::floor(x)) - 1, hi = static_cast<int>(std::ceil(x)) - 1;
  const double d = x - std::floor(x);
  auto row = [&](int column) { return l * kEfficiency[lower][column] + (1 - l) * kEfficiency[upper][column]; };
  return (1 - d) * row(lo) + d * row(hi);
}

namespace {

// Where the payload of the PES packet whose start code is at `p` begins (ISO/IEC 11172-1
// 2.4.3.6, ISO/IEC 13818-1 2.4.3.7); nullopt when its header runs past the window.
std::optional<size_t> PesPayload(const std::vector<uint8_t>& w, size_t p) {
  size_t j = p + 6;  // start code, packet length
  if (j >= w.size()) return std::nullopt;
  if ((w[j] & 0xC0) == 0x80) {  // MPEG-2: flags (2 bytes), header data length, header data
    if (w.size() - j < 3) return std::nullopt;
    j += 3 + w[j + 2];
  } else {  // MPEG-1: stuffing, optional STD buffer size, then PTS, PTS and DTS, or 0x0F
    for (int n = 0; j < w.size() && w[j] == 0xFF && n < 16; ++n) ++j;
    if (j < w.size() && (w[j] & 0xC0) == 0x40) j += 2;
    if (j >= w.size()) return std::nullopt;
    if ((w[j] & 0xF0) == 0x20) j += 5;
    else if ((w[j] & 0xF0) == 0x30) j += 10;
    else j += 1;
  }
  return j <= w.size() ? std::optional<size_t>(j) : std::nullopt;
}

// Runs the MPEG audio parser on the first MPEG audio packet's payload. Without such a packet
// in the window there is no MPEG audio to find: a frame search over the multiplex would only
// meet chance sync patterns in the video data.
bool FindAudio(MediaFile& file, MediaInfo& info, const std::vector<uint8_t>& window, int64_t start) {
  const auto packet = Find(window, kAudioPacket);
  if (!packet) return false;
  const auto payload = PesPayload(window, *packet);
  const int64_t from = start + static_cast<int64_t>(payload ? *payload : *packet + kAudioSkip);
  for (int i = 0; i < kAudioTries; ++i)
    if (RunMpegAudio(file, info, false, from + i) == 1) return true;
  return false;
}

int ParseMpg(MediaFile& file, MediaInfo& info, bool checkMode) {
  const ContainerRange range = RangeOf(file, info);
  std::vector<uint8_t> window(static_cast<size_t>(std::min(range.size(), kWindow)));
  window.resize(file.readAt(range.start, window.data(), window.size()));
  const auto p = FindSequenceHeader(window);
  if (checkMode || !p) return p ? 1 : 0;

  const SequenceHeader seq = DecodeSequenceHeader(window, *p);
  info.fps = seq.fps;
  const bool audioFound = FindAudio(file, info, window, range.start);
  const int32_t audioKbps = info.audio ? info.audio->value2 : 0;
  if (audioFound && audioKbps > 0 && seq.bitRate > 0) {
    const int64_t total = int64_t{audioKbps} * 1000 + seq.bitRate;
    const int64_t seconds = range.size() * 8 / total;
    info.duration_s = TruncToInt32(static_cast<double>(seconds) *
                                   MpgOverheadFactor(static_cast<double>(seq.bitRate), audioKbps * 1000.0));
    info.bitrate_kbps = ClampToInt32((total + 999) / 1000);
  } else {
    // Without both rates there is no estimate; the audio parser's own play time would treat
    // the whole multiplex as audio.
    info.bitrate_kbps = 0;
    info.duration_s = 0;
  }
  if (!info.video) {
    StreamInfo& video = info.ensureVideo();
    video.setCodec(seq.mpeg2 ? "MPEG-2" : "MPEG-1");
    video.value1 = seq.width;
    video.value2 = seq.height;
    video.value3 = ClampToInt32(seq.bitRate / 1000);  // kbit/s, as every stream record
    video.value4 = seq.variable ? 2 : 1;
  }
  return 1;
}

}  // namespace

int RunMpg(MediaFile& file, MediaInfo& info, bool checkMode) {
  PositionGuard keep(file);
  return ParseMpg(file, info, checkMode);
}

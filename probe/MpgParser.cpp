// MPEG program stream parser: the first video sequence header, the audio through the MPEG
// audio parser, and the play time from the stream's clock, or else an estimate from the file
// size and the two bit rates.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "probe/Parsers.h"
#include "probe/ProbeNumbers.h"

namespace {

// Only the start of the stream is searched.
constexpr int64_t kWindow = 100000;
constexpr uint8_t kSequenceHeader[4] = {0x00, 0x00, 0x01, 0xB3};
constexpr uint8_t kExtension[4] = {0x00, 0x00, 0x01, 0xB5};
constexpr uint8_t kAudioPacket[4] = {0x00, 0x00, 0x01, 0xC0};
constexpr uint8_t kPackHeader[4] = {0x00, 0x00, 0x01, 0xBA};
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

// A 33-bit count of the 90 kHz system clock in its five-byte form: 4 bits of prefix, bits 32..30,
// marker, bits 29..15, marker, bits 14..0, marker; nullopt when a marker bit is clear.
std::optional<int64_t> Timestamp(const uint8_t* b) {
  if (!(b[0] & 1) || !(b[2] & 1) || !(b[4] & 1)) return std::nullopt;
  return int64_t{(b[0] >> 1) & 7} << 30 | int64_t{b[1]} << 22 | int64_t{b[2] >> 1} << 15 | int64_t{b[3]} << 7 |
         b[4] >> 1;
}

struct PesHeader {
  std::optional<int64_t> pts;
  size_t payload = 0;  // offset of the payload from the start code
};

// The header of the PES packet that `packet` begins with, start code included (ISO/IEC
// 11172-1 2.4.3.6, ISO/IEC 13818-1 2.4.3.7); nullopt when it runs past the bytes given.
std::optional<PesHeader> ReadPesHeader(std::span<const uint8_t> packet) {
  PesHeader h;
  size_t j = 6;  // start code, packet length
  if (j >= packet.size()) return std::nullopt;
  if ((packet[j] & 0xC0) == 0x80) {  // MPEG-2: flags (2 bytes), header data length, header data
    if (packet.size() - j < 3) return std::nullopt;
    const bool hasPts = packet[j + 1] & 0x80;
    const size_t length = packet[j + 2];
    j += 3;
    if (hasPts && length >= 5 && packet.size() - j >= 5) h.pts = Timestamp(&packet[j]);
    h.payload = j + length;
  } else {  // MPEG-1: stuffing, optional STD buffer size, then PTS, PTS and DTS, or 0x0F
    for (int n = 0; j < packet.size() && packet[j] == 0xFF && n < 16; ++n) ++j;
    if (j < packet.size() && (packet[j] & 0xC0) == 0x40) j += 2;
    if (j >= packet.size()) return std::nullopt;
    const int kind = packet[j] >> 4;
    const size_t fields = kind == 2 ? 5 : kind == 3 ? 10 : 1;
    if (packet.size() - j >= 5 && (kind == 2 || kind == 3)) h.pts = Timestamp(&packet[j]);
    h.payload = j + fields;
  }
  if (h.payload > packet.size()) return std::nullopt;
  return h;
}

// Where the payload of the PES packet whose start code is at `p` begins; nullopt when its
// header runs past the window.
std::optional<size_t> PesPayload(const std::vector<uint8_t>& w, size_t p) {
  const auto h = ReadPesHeader(std::span<const uint8_t>(w).subspan(p));
  return h ? std::optional<size_t>(p + h->payload) : std::nullopt;
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

// ---- play time from the system clock ----

constexpr int64_t kClockRate = 90000;
constexpr int64_t kClockWrap = int64_t{1} << 33;
// The last timestamps are looked for within this many bytes at the end of the container.
constexpr int64_t kTailWindow = 256 * 1024;
// A clock span that gives the file a higher rate than this is a discontinuity, not the
// play time: program streams carry at most MPEG-2 high-level rates (80 Mbit/s).
constexpr double kMaxPlausibleBitRate = 200e6;
// A stated overall rate within a tenth of the measured one (multiplexing overhead) is kept.
constexpr int32_t kRateTolerance = 10;
// Timestamps are kept per elementary stream: stream ids 0xBD to 0xEF, and the substreams of
// private stream 1 (AC-3, LPCM, subpictures share its id) at 0x100 + their substream number.
constexpr size_t kStreamKeys = 0x200;

struct ClockReadings {
  int64_t firstScr = -1, lastScr = -1;
  std::array<int64_t, kStreamKeys> firstPts, lastPts;
  ClockReadings() {
    firstPts.fill(-1);
    lastPts.fill(-1);
  }
};

void Note(int64_t value, int64_t& first, int64_t& last) {
  if (first < 0) first = value;
  last = value;
}

// The pack header at `p`, MPEG-1 or MPEG-2 form; its length, or nullopt when it is not one.
std::optional<size_t> ReadPack(const std::vector<uint8_t>& w, size_t p, ClockReadings& t) {
  if (w.size() - p < 12) return std::nullopt;
  const uint8_t* b = &w[p + 4];
  if ((b[0] >> 4) == 0x2) {  // MPEG-1: SCR in the timestamp form, then the mux rate (3 bytes)
    const auto scr = Timestamp(b);
    if (!scr) return std::nullopt;
    Note(*scr, t.firstScr, t.lastScr);
    return 12;
  }
  if ((b[0] >> 6) != 0x1 || w.size() - p < 14) return std::nullopt;
  // MPEG-2: '01', SCR 32..30, marker, 29..15 and marker, 14..0 and marker with the 9-bit
  // extension in between, then the mux rate (3 bytes) and the stuffing length (low 3 bits).
  if (!(b[0] & 0x04) || !(b[2] & 0x04) || !(b[4] & 0x04) || !(b[5] & 0x01)) return std::nullopt;
  const int64_t scr = int64_t{(b[0] >> 3) & 7} << 30 | int64_t{b[0] & 3} << 28 | int64_t{b[1]} << 20 |
                      int64_t{b[2] >> 3} << 15 | int64_t{b[2] & 3} << 13 | int64_t{b[3]} << 5 | b[4] >> 3;
  Note(scr, t.firstScr, t.lastScr);
  const size_t length = 14 + (w[p + 13] & 0x07);
  return w.size() - p >= length ? std::optional<size_t>(length) : std::nullopt;
}

// The unit at `p`: a pack header, the end code, or a packet with its length field (system
// header, stream map, padding, PES). Its length, or nullopt when none begins there or it runs
// past the window. Records the SCR of a pack and the PTS of an audio or video packet.
std::optional<size_t> ReadUnit(const std::vector<uint8_t>& w, size_t p, ClockReadings& t) {
  if (w.size() - p < 6 || w[p] != 0 || w[p + 1] != 0 || w[p + 2] != 1) return std::nullopt;
  const uint8_t id = w[p + 3];
  if (id == 0xBA) return ReadPack(w, p, t);
  if (id == 0xB9) return 4;         // program end code
  if (id < 0xBB) return std::nullopt;  // not a system start code: out of step
  const size_t length = 6 + (size_t{w[p + 4]} << 8 | w[p + 5]);
  if (w.size() - p < length) return std::nullopt;
  if (id == 0xBD || (id >= 0xC0 && id <= 0xEF)) {
    const auto packet = std::span<const uint8_t>(w).subspan(p, length);
    const auto h = ReadPesHeader(packet);
    if (h && h->pts) {
      size_t key = id;
      if (id == 0xBD) key = h->payload < packet.size() ? 0x100 + packet[h->payload] : kStreamKeys;
      if (key < kStreamKeys) Note(*h->pts, t.firstPts[key], t.lastPts[key]);
    }
  }
  return length;
}

// Walks the window unit by unit from its first pack header, and from the next pack header
// whenever the walk falls out of step.
ClockReadings ReadClock(const std::vector<uint8_t>& w) {
  ClockReadings t;
  size_t from = 0;
  while (const auto pack = Find(w, kPackHeader, from)) {
    size_t p = *pack;
    while (const auto length = ReadUnit(w, p, t)) p += *length;
    from = std::max(p, *pack + 1);
  }
  return t;
}

// `value` relative to `reference` on the 33-bit clock, taken the short way round: a step of more
// than half the clock's range (about 13 hours) counts as backwards.
int64_t ClockOffset(int64_t value, int64_t reference) {
  const int64_t ticks = ((value - reference) % kClockWrap + kClockWrap) % kClockWrap;
  return ticks > kClockWrap / 2 ? ticks - kClockWrap : ticks;
}

// Ticks from the earliest first presentation time of the streams seen at the start to the latest
// last one of the same streams at the end, as a player counts them; else from the first to the
// last pack clock. 0 when the timestamps are missing or do not move forward.
int64_t ClockTicks(const ClockReadings& head, const ClockReadings& tail, bool* fromPts) {
  int64_t reference = -1, start = 0, end = 0;
  bool any = false;
  for (size_t k = 0; k < kStreamKeys; ++k) {
    if (head.firstPts[k] < 0 || tail.lastPts[k] < 0) continue;
    if (reference < 0) reference = head.firstPts[k];
    const int64_t first = ClockOffset(head.firstPts[k], reference), last = ClockOffset(tail.lastPts[k], reference);
    start = any ? std::min(start, first) : first;
    end = any ? std::max(end, last) : last;
    any = true;
  }
  *fromPts = any && end > start;
  if (*fromPts) return end - start;
  if (head.firstScr < 0 || tail.lastScr < 0) return 0;
  return std::max<int64_t>(0, ClockOffset(tail.lastScr, head.firstScr));
}

// Play time in seconds from the timestamps at the start (`head`, the parser's window) and in the
// container's last bytes; nullopt when they are missing or do not fit the file's size.
std::optional<double> ClockPlayTime(const MediaFile& file, const ContainerRange& range,
                                    const std::vector<uint8_t>& head, double fps) {
  std::vector<uint8_t> tail(static_cast<size_t>(std::min(range.size(), kTailWindow)));
  tail.resize(file.readAt(range.end - static_cast<int64_t>(tail.size()), tail.data(), tail.size()));
  bool fromPts = false;
  const int64_t ticks = ClockTicks(ReadClock(head), ReadClock(tail), &fromPts);
  if (ticks <= 0) return std::nullopt;
  double seconds = static_cast<double>(ticks) / kClockRate;
  // A presentation time marks when the last picture appears; it stays for one frame period.
  if (fromPts && fps > 0) seconds += 1.0 / fps;
  if (static_cast<double>(range.size()) * 8.0 / seconds > kMaxPlausibleBitRate) return std::nullopt;
  return seconds;
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
  // The clock beats the estimate: the header's rate is often a variable-rate marker or only a
  // maximum. The overall rate then follows from the size where the header gave none, or gave
  // one that the file plainly does not have (a ceiling rather than the rate).
  if (const auto seconds = ClockPlayTime(file, range, window, seq.fps)) {
    info.duration_s = TruncToInt32(*seconds);
    if (info.duration_s > 0) {
      const int32_t measured = TruncToInt32(static_cast<double>(range.size()) * 8.0 / info.duration_s / 1000.0);
      if (std::abs(int64_t{info.bitrate_kbps} - measured) > measured / kRateTolerance) info.bitrate_kbps = measured;
    }
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

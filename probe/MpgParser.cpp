// MPEG program stream parser: the first video sequence header, the audio through the MPEG
// audio parser or from the first AC-3, DTS or LPCM frame of private stream 1, and the play time
// from the stream's clock, or else an estimate from the file size and the bit rates.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "probe/MpegElementary.h"
#include "probe/Parsers.h"
#include "probe/ProbeNumbers.h"

namespace {

// Only the start of the stream is searched.
constexpr int64_t kWindow = 100000;
constexpr uint8_t kAudioPacket[4] = {0x00, 0x00, 0x01, 0xC0};
constexpr uint8_t kPackHeader[4] = {0x00, 0x00, 0x01, 0xBA};
// Where the audio search starts behind an audio packet's start code when its header cannot
// be read, and on how many successive offsets the audio parser is tried.
constexpr int64_t kAudioSkip = 12;
constexpr int kAudioTries = 7;

std::optional<size_t> Find(const std::vector<uint8_t>& window, const uint8_t (&code)[4], size_t from = 0) {
  if (window.size() < 4) return std::nullopt;
  for (size_t i = from; i + 4 <= window.size(); ++i)
    if (std::memcmp(&window[i], code, 4) == 0) return i;
  return std::nullopt;
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

// ---- audio carried in private stream 1 (AC-3, DTS, LPCM), and audio-only streams ----

constexpr uint8_t kPrivateStream1 = 0xBD;

struct PesUnit {
  uint8_t id = 0;
  size_t start = 0;    // start code
  size_t payload = 0;  // first payload byte
  size_t end = 0;      // one past the packet
};

// Walks the window unit by unit from its first pack header (and from the next one whenever
// the walk falls out of step), handing each PES packet with a readable header to `visit`, which
// returns false to stop.
template <typename Visit>
void ForEachPes(const std::vector<uint8_t>& w, Visit visit) {
  size_t from = 0;
  ClockReadings ignored;
  while (const auto pack = Find(w, kPackHeader, from)) {
    size_t p = *pack;
    while (const auto length = ReadUnit(w, p, ignored)) {
      const uint8_t id = w[p + 3];
      if (id == kPrivateStream1 || (id >= 0xC0 && id <= 0xEF)) {
        const auto h = ReadPesHeader(std::span<const uint8_t>(w).subspan(p, *length));
        if (h && !visit(PesUnit{id, p, p + h->payload, p + *length})) return;
      }
      p += *length;
    }
    from = std::max(p, *pack + 1);
  }
}

// DVD linear PCM: after the substream header, emphasis, mute and frame number (1 byte), then
// quantisation (2 bits: 16, 20, 24), rate (2: 48, 96, 44.1, 32 kHz), a reserved bit and
// channels − 1 (3), and the dynamic range (1 byte).
std::optional<AudioDescription> DecodeLpcm(std::span<const uint8_t> b) {
  if (b.size() < 3) return std::nullopt;
  static constexpr int kRates[4] = {48000, 96000, 44100, 32000};
  static constexpr int kBits[4] = {16, 20, 24, 0};
  const int bits = kBits[b[1] >> 6], rate = kRates[(b[1] >> 4) & 3], channels = (b[1] & 7) + 1;
  if (bits == 0) return std::nullopt;
  return AudioDescription{0x0001, rate, channels, rate * channels * bits / 1000};
}

// The first audio substream of private stream 1 in the window, described from its first frame.
std::optional<AudioDescription> FindPrivateAudio(const std::vector<uint8_t>& w) {
  std::optional<AudioDescription> found;
  ForEachPes(w, [&](const PesUnit& u) {
    if (u.id != kPrivateStream1 || u.payload + 4 > u.end) return true;
    const uint8_t sub = w[u.payload];
    // Substream id, frame count, first access unit pointer (2 bytes), then the frames.
    const auto frames = std::span<const uint8_t>(w).subspan(u.payload + 4, u.end - u.payload - 4);
    if (sub >= 0xA0 && sub <= 0xA7) {
      found = DecodeLpcm(frames);
    } else if (sub >= 0x80 && sub <= 0x8F) {
      // The first frame starts where the pointer says; looking for its sync word also copes
      // with writers that get the pointer wrong.
      for (size_t i = 0; !found && i + 1 < frames.size(); ++i)
        found = sub <= 0x87 ? DecodeAc3(frames.subspan(i)) : DecodeDts(frames.subspan(i));
    }
    return !found;
  });
  return found;
}

// A stream without video: it starts with a pack header and carries an audio packet that the
// walk over its units meets.
bool HasPackedAudio(const std::vector<uint8_t>& w) {
  ClockReadings ignored;
  if (w.size() < 4 || std::memcmp(w.data(), kPackHeader, 4) != 0 || !ReadPack(w, 0, ignored)) return false;
  bool audio = false;
  ForEachPes(w, [&](const PesUnit& u) {
    audio = (u.id >= 0xC0 && u.id <= 0xDF) ||
            (u.id == kPrivateStream1 && u.payload < u.end && ((w[u.payload] & 0xF0) == 0x80 || (w[u.payload] & 0xF8) == 0xA0));
    return !audio;
  });
  return audio;
}

void FillAudio(MediaInfo& info, const AudioDescription& a) {
  if (info.audio) return;
  StreamInfo& audio = info.ensureAudio();
  audio.setCodec(WaveFormatDisplayName(a.waveTag));
  audio.value1 = a.sampleRate;
  audio.value2 = a.kbps;
  audio.value3 = a.channels;
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
  // A program stream need not carry video: one with only audio packets is one all the same.
  const bool audioOnly = !p && HasPackedAudio(window);
  if (checkMode) return p || audioOnly ? 1 : 0;
  if (!p && !audioOnly) return 0;

  const SequenceHeader seq = p ? DecodeSequenceHeader(window, *p) : SequenceHeader{};
  info.fps = seq.fps;
  bool audioFound = FindAudio(file, info, window, range.start);
  if (!audioFound) {
    if (const auto a = FindPrivateAudio(window)) {
      FillAudio(info, *a);
      audioFound = true;
    }
  }
  const int32_t audioKbps = info.audio ? info.audio->value2 : 0;
  if (audioFound && audioKbps > 0 && seq.bitRate > 0) {
    const int64_t total = int64_t{audioKbps} * 1000 + seq.bitRate;
    const int64_t seconds = range.size() * 8 / total;
    info.duration_s = TruncToInt32(static_cast<double>(seconds) *
                                   MpgOverheadFactor(static_cast<double>(seq.bitRate), audioKbps * 1000.0));
    info.bitrate_kbps = ClampToInt32((total + 999) / 1000);
  } else if (audioOnly && audioKbps > 0) {
    // Audio alone: its rate is the stream's, less the little the packet headers add.
    info.duration_s = TruncToInt32(static_cast<double>(range.size()) * 8.0 / (audioKbps * 1000.0));
    info.bitrate_kbps = audioKbps;
  } else if (p && !audioFound && seq.bitRate > 0 && !Find(window, kPackHeader)) {
    // A video elementary stream has no clock at all: its header's rate and the size are what
    // there is to time it by.
    info.duration_s = TruncToInt32(static_cast<double>(range.size()) * 8.0 / static_cast<double>(seq.bitRate));
    info.bitrate_kbps = ClampToInt32(seq.bitRate / 1000);
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
  if (!info.video && p) {
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

// MPEG system-stream syntax shared by the program-stream and transport-stream parsers.
#include "probe/MpegElementary.h"

#include <cstring>

namespace {

constexpr uint8_t kSequenceHeaderCode[4] = {0x00, 0x00, 0x01, 0xB3};
constexpr uint8_t kExtensionCode[4] = {0x00, 0x00, 0x01, 0xB5};
// A bit-rate value of all ones marks variable bit rate.
constexpr uint32_t kVariableBitRate = 0x3FFFF;
// Channels of the AC-3 and E-AC-3 audio coding modes, the low-frequency channel not counted.
constexpr int kAc3ModeChannels[8] = {2, 1, 2, 3, 3, 4, 4, 5};

double FrameRate(int code) {
  static constexpr double kRates[9] = {0, 23.976, 24, 25, 29.97, 30, 50, 59.94, 60};
  return code >= 1 && code <= 8 ? kRates[code] : 0.0;
}

}  // namespace

std::optional<int64_t> Timestamp(const uint8_t* b) {
  if (!(b[0] & 1) || !(b[2] & 1) || !(b[4] & 1)) return std::nullopt;
  return int64_t{(b[0] >> 1) & 7} << 30 | int64_t{b[1]} << 22 | int64_t{b[2] >> 1} << 15 | int64_t{b[3]} << 7 |
         b[4] >> 1;
}

int64_t ClockOffset(int64_t value, int64_t reference) {
  const int64_t ticks = ((value - reference) % kClockWrap + kClockWrap) % kClockWrap;
  return ticks > kClockWrap / 2 ? ticks - kClockWrap : ticks;
}

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

std::optional<size_t> FindSequenceHeader(const std::vector<uint8_t>& w, size_t from) {
  for (size_t i = from; w.size() >= kSequenceHeaderSize && i <= w.size() - kSequenceHeaderSize; ++i)
    if (std::memcmp(&w[i], kSequenceHeaderCode, 4) == 0) return i;
  return std::nullopt;
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
  s.mpeg2 = end <= w.size() && w.size() - end >= 4 && std::memcmp(&w[end], kExtensionCode, 4) == 0;
  return s;
}

// An AC-3 sync frame (ATSC A/52 5.4.1): sync word, CRC, sample rate code (2 bits) and frame size
// code (6), stream id (5) and mode (3), audio coding mode (3), the mix levels the mode has, and
// the low-frequency channel flag.
std::optional<AudioDescription> DecodeAc3(std::span<const uint8_t> b) {
  if (b.size() < 8 || b[0] != 0x0B || b[1] != 0x77) return std::nullopt;
  static constexpr int kRates[3] = {48000, 44100, 32000};
  static constexpr int kKbps[19] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640};
  const int rateCode = b[4] >> 6, sizeCode = b[4] & 0x3F, streamId = b[5] >> 3;
  if (rateCode == 3 || sizeCode / 2 >= 19 || streamId > 10) return std::nullopt;
  const uint16_t bits = static_cast<uint16_t>(b[6] << 8 | b[7]);
  const int mode = bits >> 13;
  int at = 3;                               // bits of `bits` used so far
  if ((mode & 1) && mode != 1) at += 2;     // centre mix level
  if (mode & 4) at += 2;                    // surround mix level
  if (mode == 2) at += 2;                   // Dolby surround mode
  const int lfe = (bits >> (15 - at)) & 1;  // low-frequency effects channel
  return AudioDescription{0x2000, kRates[rateCode], kAc3ModeChannels[mode] + lfe, kKbps[sizeCode / 2]};
}

// An E-AC-3 sync frame (ATSC A/52 E.1.2.1): sync word, stream type (2 bits), substream id (3),
// frame size in words − 1 (11), sample rate code (2), then the reduced rate code or the blocks
// per frame code (2), audio coding mode (3), low-frequency channel flag (1), bit stream id (5).
std::optional<AudioDescription> DecodeEac3(std::span<const uint8_t> b) {
  if (b.size() < 6 || b[0] != 0x0B || b[1] != 0x77) return std::nullopt;
  const int streamId = b[5] >> 3;
  if (streamId < 11 || streamId > 16) return std::nullopt;
  static constexpr int kRates[3] = {48000, 44100, 32000};
  static constexpr int kReducedRates[3] = {24000, 22050, 16000};
  static constexpr int kBlocks[4] = {1, 2, 3, 6};
  const int words = (((b[2] & 0x07) << 8) | b[3]) + 1;
  const int rateCode = b[4] >> 6, second = (b[4] >> 4) & 3, mode = (b[4] >> 1) & 7, lfe = b[4] & 1;
  if (rateCode == 3 && second == 3) return std::nullopt;
  const int rate = rateCode == 3 ? kReducedRates[second] : kRates[rateCode];
  const int blocks = rateCode == 3 ? 6 : kBlocks[second];
  const int64_t kbps = int64_t{words} * 2 * 8 * rate / (256 * blocks) / 1000;
  return AudioDescription{0, rate, kAc3ModeChannels[mode] + lfe, static_cast<int>(kbps)};
}

// A DTS core frame header (ETSI TS 102 114 5.3): sync word, frame type, deficit samples, CRC
// flag, blocks, frame size, then the channel arrangement (6 bits), the sample rate (4) and the
// bit rate (5) codes.
std::optional<AudioDescription> DecodeDts(std::span<const uint8_t> b) {
  if (b.size() < 10 || b[0] != 0x7F || b[1] != 0xFE || b[2] != 0x80 || b[3] != 0x01) return std::nullopt;
  static constexpr int kRates[16] = {0, 8000, 16000, 32000, 0, 0, 11025, 22050, 44100, 0, 0, 12000, 24000, 48000, 0, 0};
  static constexpr int kModeChannels[16] = {1, 2, 2, 2, 2, 3, 3, 4, 4, 5, 6, 6, 6, 7, 8, 8};
  static constexpr int kKbps[29] = {32,  56,  64,  96,  112, 128, 192, 224, 256, 320,  384,  448,  512,  576, 640,
                                    768, 896, 1024, 1152, 1280, 1344, 1408, 1411, 1472, 1536, 1920, 2048, 3072, 3840};
  const uint64_t v = uint64_t{b[4]} << 40 | uint64_t{b[5]} << 32 | uint64_t{b[6]} << 24 | uint64_t{b[7]} << 16 |
                     uint64_t{b[8]} << 8 | b[9];
  // From bit 47 of v: frame type (1), deficit (5), CRC flag (1), blocks (7), frame size (14),
  // arrangement (6), rate (4), bit rate (5).
  const int arrangement = static_cast<int>((v >> 14) & 0x3F), rate = static_cast<int>((v >> 10) & 0xF);
  const int kbpsCode = static_cast<int>((v >> 5) & 0x1F);
  if (kRates[rate] == 0) return std::nullopt;
  return AudioDescription{0x0008, kRates[rate], arrangement < 16 ? kModeChannels[arrangement] : 0,
                          kbpsCode < 29 ? kKbps[kbpsCode] : 0};
}

// An ADTS header (ISO/IEC 13818-7 6.2): sync (12 bits), id, layer (2, always 0), protection
// absent; profile (2), sampling frequency index (4), private bit, channel configuration (3),
// four flag bits, frame length (13) counting the header.
std::optional<AudioDescription> DecodeAdts(std::span<const uint8_t> b) {
  if (b.size() < 7 || b[0] != 0xFF || (b[1] & 0xF6) != 0xF0) return std::nullopt;
  static constexpr int kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};
  const int rateIndex = (b[2] >> 2) & 0x0F;
  const int configuration = ((b[2] & 1) << 2) | (b[3] >> 6);
  const size_t length = (size_t{b[3] & 3u} << 11) | (size_t{b[4]} << 3) | (b[5] >> 5);
  if (rateIndex >= 13 || length < 7) return std::nullopt;
  // Configuration 7 is the 7.1 layout; 0 leaves the channels to a program config element.
  const int channels = configuration == 7 ? 8 : configuration;
  return AudioDescription{0, kRates[rateIndex], channels, 0};
}

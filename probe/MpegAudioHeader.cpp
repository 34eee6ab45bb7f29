// MPEG audio frame header decoding with the ISO/IEC 11172-3 and 13818-3 bit-rate and sample-rate tables.
#include "probe/MpegAudioHeader.h"

namespace {

// Bit rates in kbit/s by bit-rate index; index 0 is free format, 15 is invalid.
constexpr int kBitratesV1[3][16] = {
    {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},  // Layer I
    {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},     // Layer II
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},      // Layer III
};
// MPEG-2 and MPEG-2.5 (lower sampling frequencies): Layer I, and Layers II and III together.
constexpr int kBitratesV2L1[16] = {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0};
constexpr int kBitratesV2L23[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};

// Sample rates by version index (0 MPEG-2.5, 1 reserved, 2 MPEG-2, 3 MPEG-1) and rate index.
constexpr int kSampleRates[4][3] = {
    {11025, 12000, 8000},
    {0, 0, 0},
    {22050, 24000, 16000},
    {44100, 48000, 32000},
};

}  // namespace

double MpegAudioHeader::version() const { return versionIndex == 3 ? 1.0 : versionIndex == 2 ? 2.0 : 2.5; }

const char* MpegAudioHeader::versionName() const { return versionIndex == 3 ? "1" : versionIndex == 2 ? "2" : "2.5"; }

std::optional<MpegAudioHeader> DecodeMpegAudioHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return std::nullopt;
  const uint32_t h = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | bytes[3];
  if ((h >> 21) != 0x7FF) return std::nullopt;  // 11 sync bits

  MpegAudioHeader out;
  out.versionIndex = static_cast<int>((h >> 19) & 3);
  const int layerIndex = static_cast<int>((h >> 17) & 3);  // 1 III, 2 II, 3 I
  out.crcProtected = ((h >> 16) & 1) == 0;                 // the bit is set when there is no CRC
  out.bitrateIndex = static_cast<int>((h >> 12) & 15);
  out.sampleRateIndex = static_cast<int>((h >> 10) & 3);
  out.padding = ((h >> 9) & 1) != 0;
  out.privateBit = ((h >> 8) & 1) != 0;
  out.channelMode = static_cast<int>((h >> 6) & 3);
  out.modeExtension = static_cast<int>((h >> 4) & 3);
  out.copyright = ((h >> 3) & 1) != 0;
  out.original = ((h >> 2) & 1) != 0;
  out.emphasis = static_cast<int>(h & 3);
  if (out.versionIndex == 1 || layerIndex == 0 || out.sampleRateIndex == 3) return std::nullopt;

  out.layer = 4 - layerIndex;
  out.sampleRate = kSampleRates[out.versionIndex][out.sampleRateIndex];
  if (out.versionIndex == 3) {
    out.bitrateKbps = kBitratesV1[out.layer - 1][out.bitrateIndex];
  } else {
    out.bitrateKbps = out.layer == 1 ? kBitratesV2L1[out.bitrateIndex] : kBitratesV2L23[out.bitrateIndex];
  }
  out.channels = out.channelMode == 3 ? 1 : 2;
  return out;
}

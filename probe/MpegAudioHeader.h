// Decoding of the four bytes that open an MPEG audio frame (MPEG-1, MPEG-2, MPEG-2.5; Layers I-III).
#pragma once

#include <cstdint>
#include <optional>
#include <span>

struct MpegAudioHeader {
  int versionIndex = 0;  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1 (1 is reserved and never decoded)
  int layer = 0;         // 1, 2 or 3
  bool crcProtected = false;
  int bitrateIndex = 0;  // 0 free format, 15 invalid
  int bitrateKbps = 0;   // 0 for free format and for the invalid index 15
  int sampleRateIndex = 0;
  int sampleRate = 0;  // Hz
  bool padding = false;
  bool privateBit = false;
  int channelMode = 0;  // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
  int modeExtension = 0;
  bool copyright = false;
  bool original = false;
  int emphasis = 0;
  int channels = 0;  // 1 for single channel, else 2

  // 1.0, 2.0 or 2.5.
  double version() const;
  // "1", "2" or "2.5".
  const char* versionName() const;
};

// Decodes the first four bytes of `bytes` when they carry the 11 sync bits and a valid version,
// layer and sample-rate index; the bit-rate index is decoded but not judged (free format and
// index 15 give a bit rate of 0), so each caller applies its own rule to it.
std::optional<MpegAudioHeader> DecodeMpegAudioHeader(std::span<const uint8_t> bytes);

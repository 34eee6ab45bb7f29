// Syntax shared by the MPEG system streams (program and transport streams): PES headers and their
// 33-bit clock, the MPEG-1/2 video sequence header, and the sync frames of AC-3, E-AC-3, DTS and
// ADTS AAC audio.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

// The 90 kHz system clock and its 33-bit range.
inline constexpr int64_t kClockRate = 90000;
inline constexpr int64_t kClockWrap = int64_t{1} << 33;

// A 33-bit count of the system clock in its five-byte form: 4 bits of prefix, bits 32..30,
// marker, bits 29..15, marker, bits 14..0, marker; nullopt when a marker bit is clear.
std::optional<int64_t> Timestamp(const uint8_t* b);

// `value` relative to `reference` on the 33-bit clock, taken the short way round: a step of more
// than half the clock's range (about 13 hours) counts as backwards.
int64_t ClockOffset(int64_t value, int64_t reference);

struct PesHeader {
  std::optional<int64_t> pts;
  size_t payload = 0;  // offset of the payload from the start code
};

// The header of the PES packet that `packet` begins with, start code included (ISO/IEC
// 11172-1 2.4.3.6, ISO/IEC 13818-1 2.4.3.7); nullopt when it runs past the bytes given.
std::optional<PesHeader> ReadPesHeader(std::span<const uint8_t> packet);

struct SequenceHeader {
  int width = 0;
  int height = 0;
  double fps = 0.0;
  int64_t bitRate = 0;  // bit/s; 0 when variable
  bool variable = false;
  bool mpeg2 = false;
};

// The fixed part of a sequence header, start code included.
inline constexpr size_t kSequenceHeaderSize = 12;

// The first sequence header (00 00 01 B3) whose fixed part lies wholly within `w`, from `from` on.
std::optional<size_t> FindSequenceHeader(const std::vector<uint8_t>& w, size_t from = 0);
// Decodes the sequence header at `p` (its fixed part must lie within `w`); an MPEG-2 header is
// told by the extension that follows it.
SequenceHeader DecodeSequenceHeader(const std::vector<uint8_t>& w, size_t p);

// What one audio sync frame says.
struct AudioDescription {
  uint16_t waveTag = 0;  // names the codec through the wave format table
  int sampleRate = 0;
  int channels = 0;
  int kbps = 0;
};

// An AC-3 sync frame (bit stream id up to 10) at the start of `b`.
std::optional<AudioDescription> DecodeAc3(std::span<const uint8_t> b);
// An E-AC-3 sync frame (bit stream id 11 to 16) at the start of `b`; the wave tag is left 0.
std::optional<AudioDescription> DecodeEac3(std::span<const uint8_t> b);
// A DTS core frame header at the start of `b`.
std::optional<AudioDescription> DecodeDts(std::span<const uint8_t> b);
// An ADTS AAC frame header at the start of `b` whose frame length fits the bytes given or runs to
// their end; the wave tag is left 0.
std::optional<AudioDescription> DecodeAdts(std::span<const uint8_t> b);

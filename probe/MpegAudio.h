// MPEG audio (MPEG-1, MPEG-2, MPEG-2.5, Layers I to III) frame decoding and frame search.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "probe/MediaFile.h"

// What the parser learns from the first valid frame; a candidate frame is decoded into
// a copy, so a failed try leaves the state it was tried on unchanged.
struct MpegAudioState {
  MediaFile* file = nullptr;
  int64_t file_length = 0;
  int64_t first_frame_offset = 0;
  double version = 0.0;  // 1.0, 2.0 or 2.5
  int layer = 0;         // 1 to 3
  int channel_mode = 0;  // 0 stereo, 1 joint stereo, 2 dual channel, 3 single channel
  int channels = 0;
  int sample_rate = 0;
  bool crc_protected = false;
  uint16_t crc = 0;
  bool private_bit = false;
  bool copyright = false;
  bool original = false;
  bool padding = false;
  int64_t bitrate = 0;       // bit/s; -1 for a free-format stream
  int64_t frame_length = 0;  // bytes
  std::string rate_control;  // "cbr", "vbr", or the first three letters of a LAME method
  std::string vbr_kind;      // "Xing" or "Fraunhofer"
  bool valid = false;
  std::string codec;             // "mp2" for Layer II, else "mp3"
  int64_t average_bitrate = 0;  // bit/s
  // What a Xing/Info or VBRI header states about the whole stream; 0 when it states nothing.
  int64_t stated_frames = 0;
  int64_t stated_bytes = 0;
  int64_t encoder_delay = 0;  // LAME tag: samples the encoder added at the start
  int64_t end_padding = 0;    // and at the end
  // Kept for diagnosis only; the probe does not report them.
  std::string warning;
  std::string error;
};

// The number of bytes one header decode looks at (header, side information and a VBR header).
inline constexpr size_t kMpegAudioHeaderBytes = 226;

// Decodes the frame that `bytes` begin with (at most kMpegAudioHeaderBytes are looked at);
// `offset` is where they stand in the file. True when they start a valid frame.
bool DecodeMpegAudioBytes(MpegAudioState& state, std::span<const uint8_t> bytes, int64_t offset);

// Reads the bytes at `offset` of state.file and decodes them.
bool DecodeMPEGaudioHeaderEx(MpegAudioState& state, int64_t offset);

// Finds the first valid frame at or after `offset`, within the first 128 KiB.
bool FindMpegAudioFrame(MpegAudioState& state, int64_t offset);

// Samples one frame carries: 384 (Layer I), 1152 (Layer II, MPEG-1 Layer III), 576 (Layer III
// at the lower sampling frequencies).
int SamplesPerFrame(const MpegAudioState& state);

// The stream's play time in seconds, from the stated frame count when a VBR header gives one
// that the file does not plainly contradict, else from the audio bytes and the average bit
// rate; 0 when neither is known. A stream of which frames were found never lasts 0 seconds.
int64_t MpegAudioPlaySeconds(const MpegAudioState& state);

// The nearest standard bit rate (kbit/s) for a constant-rate stream; half-way goes up.
int SnapToStandardBitrate(int kbps);

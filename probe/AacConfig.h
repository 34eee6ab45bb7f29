// The AAC decoder configuration (AudioSpecificConfig) and the MP4 "esds" descriptors that carry it.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "probe/ByteReader.h"

struct AacConfig {
  int coreSampleRate = 0;    // of the AAC core; 0 when the config gives none
  int outputSampleRate = 0;  // what a decoder plays: the SBR rate when the config states one
  bool explicitSbr = false;
  int channels = 0;  // 0 when the config leaves them to a program config element
};

// Decodes an AudioSpecificConfig; nothing when it is too short for its first fields.
std::optional<AacConfig> DecodeAacConfig(std::string_view bytes);

// The AudioSpecificConfig in the payload of an "esds" atom (ES descriptor 0x03 → decoder config
// 0x04 → decoder specific info 0x05), for the MPEG-4 and MPEG-2 AAC object types only; every
// length is bounded by the reader. Never throws.
std::optional<AacConfig> ReadEsdsAacConfig(ByteReader esds);

// AAC AudioSpecificConfig decoding and the "esds" descriptor chain that leads to it.
#include "probe/AacConfig.h"

#include <algorithm>
#include <string>

namespace {

// Object types that announce SBR (HE-AAC) and parametric stereo (HE-AAC v2) explicitly.
constexpr uint32_t kObjectSbr = 5;
constexpr uint32_t kObjectPs = 29;
constexpr uint32_t kObjectLc = 2;
constexpr uint32_t kSyncExtension = 0x2B7;

// Descriptor tags of the elementary stream descriptor.
constexpr uint8_t kEsDescriptor = 0x03;
constexpr uint8_t kDecoderConfig = 0x04;
constexpr uint8_t kDecoderSpecificInfo = 0x05;

// Object type indications whose decoder specific info is an AudioSpecificConfig:
// MPEG-4 audio, and MPEG-2 AAC main, LC and SSR.
bool IsAacObjectType(uint8_t oti) { return oti == 0x40 || (oti >= 0x66 && oti <= 0x68); }

// A decoder specific info longer than this holds nothing more that is read here.
constexpr size_t kMaxConfigBytes = 64;

class Bits {
 public:
  explicit Bits(std::string_view bytes) : bytes_(bytes) {}

  uint32_t read(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (pos_ >= bytes_.size() * 8) throw ReadError{};
      const auto byte = static_cast<uint8_t>(bytes_[pos_ / 8]);
      v = (v << 1) | ((byte >> (7 - pos_ % 8)) & 1u);
      ++pos_;
    }
    return v;
  }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
};

uint32_t ObjectType(Bits& b) {
  const uint32_t type = b.read(5);
  return type == 31 ? 32 + b.read(6) : type;
}

int SampleRate(Bits& b) {
  static constexpr int kRates[13] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};
  const uint32_t index = b.read(4);
  if (index == 15) return static_cast<int>(b.read(24));  // explicit frequency
  return index < 13 ? kRates[index] : 0;
}

// Channel configurations 1 to 6 are that many channels; the later ones name fixed layouts.
int Channels(uint32_t configuration) {
  switch (configuration) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
      return static_cast<int>(configuration);
    case 7:
      return 8;  // 7.1
    case 11:
      return 7;  // 6.1
    case 12:
      return 8;  // 7.1 with back channels
    case 13:
      return 24;  // 22.2
    case 14:
      return 8;  // 7.1 with top channels
    default:
      return 0;  // stated in a program config element, or reserved
  }
}

// The length of a descriptor: 1 to 4 bytes of 7 bits each, the high bit marking "more follows".
uint32_t DescriptorLength(ByteReader& r) {
  uint32_t length = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t b = r.u8();
    length = (length << 7) | (b & 0x7F);
    if (!(b & 0x80)) break;
  }
  return length;
}

// The body of the first descriptor with `tag` among those `r` holds, or nothing.
std::optional<ByteReader> FindDescriptor(ByteReader& r, uint8_t tag) {
  while (r.remaining() >= 2) {
    const uint8_t found = r.u8();
    const uint32_t length = DescriptorLength(r);
    ByteReader body = r.sub(length);  // clamped to what remains
    if (found == tag) return body;
    if (length > r.remaining()) return std::nullopt;
    r.skip(length);
  }
  return std::nullopt;
}

std::optional<AacConfig> ReadEsds(ByteReader& esds) {
  esds.skip(4);  // version and flags
  auto es = FindDescriptor(esds, kEsDescriptor);
  if (!es) return std::nullopt;
  es->skip(2);  // ES_ID
  const uint8_t flags = es->u8();
  if (flags & 0x80) es->skip(2);         // depends-on ES_ID
  if (flags & 0x40) es->skip(es->u8());  // URL
  if (flags & 0x20) es->skip(2);         // OCR ES_ID
  auto decoder = FindDescriptor(*es, kDecoderConfig);
  if (!decoder) return std::nullopt;
  const uint8_t objectType = decoder->u8();
  decoder->skip(12);  // stream type, buffer size, maximum and average bit rate
  if (!IsAacObjectType(objectType)) return std::nullopt;
  auto info = FindDescriptor(*decoder, kDecoderSpecificInfo);
  if (!info) return std::nullopt;
  const auto length = static_cast<size_t>(std::min<int64_t>(info->remaining(), kMaxConfigBytes));
  return DecodeAacConfig(info->bytes(length));
}

}  // namespace

std::optional<AacConfig> DecodeAacConfig(std::string_view bytes) {
  AacConfig config;
  try {
    Bits b(bytes);
    const uint32_t objectType = ObjectType(b);
    config.coreSampleRate = SampleRate(b);
    config.outputSampleRate = config.coreSampleRate;
    config.channels = Channels(b.read(4));
    if (objectType == kObjectSbr || objectType == kObjectPs) {
      config.explicitSbr = true;
      config.outputSampleRate = SampleRate(b);
      // Parametric stereo makes two channels of a single coded one.
      if (objectType == kObjectPs && config.channels == 1) config.channels = 2;
    } else if (objectType == kObjectLc) {
      // Backward-compatible signalling: after the GA specific config of a plain LC stream a sync
      // extension may announce SBR and its output rate.
      b.read(1);                   // frame length flag
      if (b.read(1)) b.read(14);   // depends on core coder: core coder delay
      b.read(1);                   // extension flag
      if (b.read(11) == kSyncExtension && ObjectType(b) == kObjectSbr && b.read(1)) {
        const int output = SampleRate(b);
        if (output > 0) {
          config.explicitSbr = true;
          config.outputSampleRate = output;
        }
      }
    }
  } catch (const ReadError&) {
    if (config.coreSampleRate == 0 && config.channels == 0) return std::nullopt;
  }
  return config;
}

std::optional<AacConfig> ReadEsdsAacConfig(ByteReader esds) {
  try {
    return ReadEsds(esds);
  } catch (const ReadError&) {
    return std::nullopt;
  }
}

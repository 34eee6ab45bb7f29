// H.264 and HEVC parameter sets, read bit by bit over the NAL unit's payload.
#include "probe/VideoParameterSets.h"

#include <array>
#include <cstdint>
#include <vector>

#include "probe/ByteReader.h"

namespace {

// Bits of a NAL unit's payload with the emulation-prevention bytes removed.
class BitReader {
 public:
  explicit BitReader(std::string_view nal) {
    int zeros = 0;
    for (char ch : nal) {
      const auto c = static_cast<uint8_t>(ch);
      if (zeros >= 2 && c == 3) {
        zeros = 0;
        continue;
      }
      zeros = c == 0 ? zeros + 1 : 0;
      bytes_.push_back(c);
    }
  }
  uint32_t bits(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) {
      if (bit_ >= bytes_.size() * 8) throw ReadError{};
      v = (v << 1) | ((bytes_[bit_ / 8] >> (7 - bit_ % 8)) & 1u);
      ++bit_;
    }
    return v;
  }
  void skip(int n) {
    for (; n > 0; n -= 32) bits(n < 32 ? n : 32);
  }
  uint32_t ue() {
    int zeros = 0;
    while (bits(1) == 0)
      if (++zeros > 31) throw ReadError{};
    return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits(zeros));
  }
  int32_t se() {
    const uint32_t k = ue();
    return k & 1 ? static_cast<int32_t>((k + 1) / 2) : -static_cast<int32_t>(k / 2);
  }

 private:
  std::vector<uint8_t> bytes_;
  size_t bit_ = 0;
};

bool HasChromaFormat(uint32_t profile) {
  for (uint32_t p : {100u, 110u, 122u, 244u, 44u, 83u, 86u, 118u, 128u, 138u, 139u, 134u, 135u, 144u})
    if (p == profile) return true;
  return false;
}

void SkipScalingLists(BitReader& b, uint32_t chromaFormat) {
  const int lists = chromaFormat == 3 ? 12 : 8;
  for (int i = 0; i < lists; ++i) {
    if (!b.bits(1)) continue;
    const int size = i < 6 ? 16 : 64;
    int last = 8, next = 8;
    for (int j = 0; j < size; ++j) {
      if (next != 0) next = (last + b.se() + 256) % 256;
      if (next != 0) last = next;
    }
  }
}

struct ChromaFormat {
  uint32_t idc = 1;  // 4:2:0 unless the profile says otherwise
  bool separatePlanes = false;
};

// Reads a sequence parameter set (H.264 7.3.2.1) up to the picture size; false when it
// cannot be followed.
bool ReadToPictureSize(BitReader& b, ChromaFormat& chroma) {
  if ((b.bits(8) & 0x1F) != 7) return false;  // NAL header: must be a sequence parameter set
  const uint32_t profile = b.bits(8);          // profile_idc
  b.bits(16);                                  // constraint flags, level_idc
  b.ue();                                      // seq_parameter_set_id
  if (HasChromaFormat(profile)) {
    chroma.idc = b.ue();
    if (chroma.idc > 3) return false;
    if (chroma.idc == 3) chroma.separatePlanes = b.bits(1);
    b.ue();     // bit_depth_luma_minus8
    b.ue();     // bit_depth_chroma_minus8
    b.bits(1);  // qpprime_y_zero_transform_bypass_flag
    if (b.bits(1)) SkipScalingLists(b, chroma.idc);
  }
  b.ue();  // log2_max_frame_num_minus4
  const uint32_t pocType = b.ue();
  if (pocType == 0) {
    b.ue();  // log2_max_pic_order_cnt_lsb_minus4
  } else if (pocType == 1) {
    b.bits(1);  // delta_pic_order_always_zero_flag
    b.se();     // offset_for_non_ref_pic
    b.se();     // offset_for_top_to_bottom_field
    const uint32_t cycle = b.ue();
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle; ++i) b.se();
  }
  b.ue();     // max_num_ref_frames
  b.bits(1);  // gaps_in_frame_num_value_allowed_flag
  return true;
}

// Frame rate of timing information: ticks of `units` at `scale` per second, `per` ticks a frame;
// 0 for values no real stream has.
double TimingRate(uint32_t units, uint32_t scale, double per) {
  if (units == 0 || scale == 0) return 0.0;
  const double fps = scale / (per * units);
  return fps > 0.0 && fps <= 1000.0 ? fps : 0.0;
}

// The H.264 VUI up to its timing information (E.1.1); the frame rate, or 0 without timing.
double AvcVuiFrameRate(BitReader& b) {
  if (b.bits(1) && b.bits(8) == 255) b.bits(32);  // aspect ratio info, extended sample aspect ratio
  if (b.bits(1)) b.bits(1);                        // overscan info
  if (b.bits(1)) {                                 // video signal type
    b.bits(4);                                     // video format, full range
    if (b.bits(1)) b.bits(24);                     // colour description
  }
  if (b.bits(1)) {  // chroma location
    b.ue();
    b.ue();
  }
  if (!b.bits(1)) return 0.0;  // timing_info_present_flag
  const uint32_t units = b.bits(32), scale = b.bits(32);
  // A frame is two fields, and the clock ticks per field.
  return TimingRate(units, scale, 2.0);
}

// profile_tier_level (HEVC 7.3.3) with the profile present, skipped.
void SkipProfileTierLevel(BitReader& b, int subLayers) {
  b.skip(96);  // profile space, tier, profile, compatibility flags, constraint flags, level
  std::array<bool, 8> profile{}, level{};
  for (int i = 0; i < subLayers; ++i) {
    profile[i] = b.bits(1);
    level[i] = b.bits(1);
  }
  if (subLayers > 0)
    for (int i = subLayers; i < 8; ++i) b.bits(2);  // reserved
  for (int i = 0; i < subLayers; ++i) {
    if (profile[i]) b.skip(88);
    if (level[i]) b.skip(8);
  }
}

bool Plausible(int64_t width, int64_t height) { return width >= 1 && height >= 1 && width <= 65535 && height <= 65535; }

}  // namespace

std::optional<PictureFormat> DecodeAvcSps(std::string_view nal) {
  try {
    BitReader b(nal);
    ChromaFormat chroma;
    if (!ReadToPictureSize(b, chroma)) return std::nullopt;
    const int64_t widthMbs = int64_t{b.ue()} + 1;
    const int64_t heightUnits = int64_t{b.ue()} + 1;
    const int64_t frameMbsOnly = b.bits(1);
    if (!frameMbsOnly) b.bits(1);  // mb_adaptive_frame_field_flag
    b.bits(1);                     // direct_8x8_inference_flag
    int64_t crop[4] = {};          // left, right, top, bottom
    if (b.bits(1))
      for (auto& c : crop) c = b.ue();
    // The coded size of a 1080-line picture is 1088 lines: the cropping makes it 1080.
    const bool planar = chroma.idc == 0 || chroma.separatePlanes;
    const int64_t unitX = planar || chroma.idc == 3 ? 1 : 2;
    const int64_t unitY = (planar || chroma.idc != 1 ? 1 : 2) * (2 - frameMbsOnly);
    const int64_t width = widthMbs * 16 - unitX * (crop[0] + crop[1]);
    const int64_t height = (2 - frameMbsOnly) * heightUnits * 16 - unitY * (crop[2] + crop[3]);
    if (!Plausible(width, height)) return std::nullopt;
    PictureFormat format{static_cast<int>(width), static_cast<int>(height), 0.0};
    try {
      if (b.bits(1)) format.fps = AvcVuiFrameRate(b);  // vui_parameters_present_flag
    } catch (const ReadError&) {
      // A set cut inside its VUI still gives the size.
    }
    return format;
  } catch (const ReadError&) {
    return std::nullopt;
  }
}

// HEVC 7.3.2.2: the sequence parameter set up to the conformance window.
std::optional<PictureFormat> DecodeHevcSps(std::string_view nal) {
  try {
    BitReader b(nal);
    if (((b.bits(16) >> 9) & 0x3F) != 33) return std::nullopt;  // NAL header: type 33
    b.bits(4);                                                   // sps_video_parameter_set_id
    const int subLayers = static_cast<int>(b.bits(3));           // sps_max_sub_layers_minus1
    if (subLayers > 6) return std::nullopt;
    b.bits(1);  // sps_temporal_id_nesting_flag
    SkipProfileTierLevel(b, subLayers);
    b.ue();  // sps_seq_parameter_set_id
    const uint32_t chroma = b.ue();
    if (chroma > 3) return std::nullopt;
    const bool separate = chroma == 3 && b.bits(1);
    const int64_t codedWidth = b.ue(), codedHeight = b.ue();
    int64_t crop[4] = {};  // left, right, top, bottom, in chroma units
    if (b.bits(1))
      for (auto& c : crop) c = b.ue();
    const int64_t unitX = !separate && (chroma == 1 || chroma == 2) ? 2 : 1;
    const int64_t unitY = !separate && chroma == 1 ? 2 : 1;
    const int64_t width = codedWidth - unitX * (crop[0] + crop[1]);
    const int64_t height = codedHeight - unitY * (crop[2] + crop[3]);
    if (!Plausible(width, height)) return std::nullopt;
    return PictureFormat{static_cast<int>(width), static_cast<int>(height), 0.0};
  } catch (const ReadError&) {
    return std::nullopt;
  }
}

// HEVC 7.3.2.1: the video parameter set up to its timing information.
double DecodeHevcVpsFrameRate(std::string_view nal) {
  try {
    BitReader b(nal);
    if (((b.bits(16) >> 9) & 0x3F) != 32) return 0.0;  // NAL header: type 32
    b.bits(4);                                          // vps_video_parameter_set_id
    b.bits(2);                                          // base layer internal and available flags
    b.bits(6);                                          // vps_max_layers_minus1
    const int subLayers = static_cast<int>(b.bits(3));  // vps_max_sub_layers_minus1
    if (subLayers > 6) return 0.0;
    b.bits(17);  // temporal id nesting flag, reserved 0xFFFF
    SkipProfileTierLevel(b, subLayers);
    const bool allOrdering = b.bits(1);  // vps_sub_layer_ordering_info_present_flag
    for (int i = allOrdering ? 0 : subLayers; i <= subLayers; ++i) {
      b.ue();  // max_dec_pic_buffering_minus1
      b.ue();  // max_num_reorder_pics
      b.ue();  // max_latency_increase_plus1
    }
    const uint32_t maxLayerId = b.bits(6);
    const uint32_t layerSets = b.ue();  // vps_num_layer_sets_minus1
    if (layerSets > 1023) return 0.0;
    for (uint32_t i = 1; i <= layerSets; ++i) b.skip(static_cast<int>(maxLayerId) + 1);  // layer id included flags
    if (!b.bits(1)) return 0.0;  // vps_timing_info_present_flag
    const uint32_t units = b.bits(32), scale = b.bits(32);
    return TimingRate(units, scale, 1.0);
  } catch (const ReadError&) {
    return 0.0;
  }
}

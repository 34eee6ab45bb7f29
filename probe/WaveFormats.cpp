// Wave format tag → codec name: the fixed table the AVI parser names audio streams with.
#include <algorithm>
#include <array>
#include <string_view>

#include "probe/Parsers.h"

namespace {

struct WaveFormatRow {
  uint16_t tag;
  std::string_view shortName;  // up to three characters, or "_" to show the long name
  std::string_view longName;
};

// Ordered by tag, so a lookup is a binary search.
constexpr WaveFormatRow kWaveFormats[] = {
    {0x0000, "_", "unknown"},
    {0x0001, "PCM", "PCM"},
    {0x0002, "_", "ADPCM"},
    {0x0003, "_", "IEEE_FLOAT"},
    {0x0004, "_", "VSELP"},
    {0x0005, "_", "IBM_CVSD"},
    {0x0006, "_", "ALAW"},
    {0x0007, "_", "MULAW"},
    {0x0008, "DTS", "DTS"},
    {0x0010, "_", "OKI_ADPCM"},
    {0x0011, "_", "DVI_ADPCM"},
    {0x0012, "_", "MEDIASPACE_ADPCM"},
    {0x0013, "_", "SIERRA_ADPCM"},
    {0x0014, "_", "G723_ADPCM"},
    {0x0015, "_", "DIGISTD"},
    {0x0016, "_", "DIGIFIX"},
    {0x0017, "_", "DIALOGIC_OKI_ADPCM"},
    {0x0018, "_", "MEDIAVISION_ADPCM"},
    {0x0019, "_", "CU_CODEC"},
    {0x0020, "_", "YAMAHA_ADPCM"},
    {0x0021, "_", "SONARC"},
    {0x0022, "_", "DSPGROUP_TRUESPEECH"},
    {0x0023, "_", "ECHOSC1 Echo"},
    {0x0024, "_", "AUDIOFILE_AF36"},
    {0x0025, "_", "APTX"},
    {0x0026, "_", "AUDIOFILE_AF10"},
    {0x0027, "_", "PROSODY_1612"},
    {0x0028, "_", "LRC"},
    {0x0030, "AC2", "DOLBY_AC2"},
    {0x0031, "_", "GSM610"},
    {0x0032, "MSN", "MSNAUDIO"},
    {0x0033, "_", "ANTEX_ADPCME"},
    {0x0034, "_", "CONTROL_RES_VQLPC"},
    {0x0035, "_", "DIGIREAL"},
    {0x0036, "_", "DIGIADPCM"},
    {0x0037, "_", "CONTROL_RES_CR10"},
    {0x0038, "_", "NMS_VBXADPCM"},
    {0x0039, "_", "CS_IMAADPCM"},
    {0x003A, "_", "ECHOSC3"},
    {0x003B, "_", "ROCKWELL_ADPCM"},
    {0x003C, "_", "ROCKWELL_DIGITALK"},
    {0x003D, "_", "XEBEC Xebec"},
    {0x0040, "_", "G721_ADPCM"},
    {0x0041, "_", "G728_CELP"},
    {0x0042, "_", "MSG723"},
    {0x0050, "MP2", "MPEG (MP1/MP2)"},
    {0x0052, "_", "RT24"},
    {0x0053, "_", "PAC"},
    {0x0055, "MP3", "MPEGLAYER3 (MP3)"},
    {0x0057, "AMR", "AMR_NB"},
    {0x0058, "AMR", "AMR_WB"},
    {0x0059, "_", "LUCENT_G723"},
    {0x0060, "_", "CIRRUS"},
    {0x0061, "_", "ESPCM"},
    {0x0062, "_", "VOXWARE"},
    {0x0063, "VOX", "VOXWARE_VOX"},
    {0x0064, "_", "G726_ADPCM"},
    {0x0065, "_", "G722_ADPCM"},
    {0x0066, "_", "DSAT"},
    {0x0067, "_", "DSAT_DISPLAY"},
    {0x0069, "VOX", "VOXWARE_BYTE_ALIGNED"},
    {0x0070, "VOX", "VOXWARE_AC8"},
    {0x0071, "VOX", "VOXWARE_AC10"},
    {0x0072, "VOX", "VOXWARE_AC16"},
    {0x0073, "VOX", "VOXWARE_AC20"},
    {0x0074, "VOX", "VOXWARE_RT24"},
    {0x0075, "VOX", "VOXWARE_RT29"},
    {0x0076, "VOX", "VOXWARE_RT29HW"},
    {0x0077, "VOX", "VOXWARE_VR12"},
    {0x0078, "VOX", "VOXWARE_VR18"},
    {0x0079, "VOX", "VOXWARE_TQ40"},
    {0x0080, "_", "SOFTSOUND"},
    {0x0081, "VOX", "VOXWARE_TQ60"},
    {0x0082, "_", "MSRT24"},
    {0x0083, "_", "G729A"},
    {0x0084, "_", "MVI_MVI2"},
    {0x0085, "_", "DF_G726"},
    {0x0086, "_", "DF_GSM610"},
    {0x0088, "_", "ISIAUDIO"},
    {0x0089, "_", "ONLIVE"},
    {0x0091, "SBC", "SIEMENS_SBC24"},
    {0x0092, "AC3", "DOLBY_AC3_SPDIF"},
    {0x0093, "_", "MEDIASONIC_G723"},
    {0x0094, "_", "PROSODY_8KBPS"},
    {0x0097, "_", "ZYXEL_ADPCM"},
    {0x0098, "_", "PHILIPS_LPCBB"},
    {0x0099, "_", "PACKED Studer"},
    {0x00A0, "_", "MALDEN_PHONYTALK"},
    {0x00FF, "AAC", "RAW_AAC1"},
    {0x0100, "_", "RHETOREX_ADPCM"},
    {0x0101, "_", "IRAT"},
    {0x0111, "VVO", "VIVO_G723"},
    {0x0112, "VVO", "VIVO_SIREN"},
    {0x0123, "_", "DIGITAL_G723"},
    {0x0125, "_", "SANYO_LD_ADPCM"},
    {0x0130, "_", "SIPROLAB_ACEPLNET"},
    {0x0131, "_", "SIPROLAB_ACELP4800"},
    {0x0132, "_", "SIPROLAB_ACELP8V3"},
    {0x0133, "_", "SIPROLAB_G729"},
    {0x0134, "_", "SIPROLAB_G729A"},
    {0x0135, "_", "SIPROLAB_KELVIN"},
    {0x0140, "_", "G726ADPCM"},
    {0x0150, "_", "QUALCOMM_PUREVOICE"},
    {0x0151, "_", "QUALCOMM_HALFRATE"},
    {0x0155, "_", "TUBGSM"},
    {0x0160, "MSA", "MSAUDIO1 (ALSO DIVX)"},
    {0x0161, "DIV", "DIVX (same as WMA)"},
    {0x0200, "_", "CREATIVE_ADPCM"},
    {0x0202, "_", "CREATIVE_FASTSPEECH8"},
    {0x0203, "_", "CREATIVE_FASTSPEECH10"},
    {0x0210, "_", "UHER_ADPCM"},
    {0x0220, "_", "QUARTERDECK"},
    {0x0230, "_", "ILINK_VC"},
    {0x0240, "_", "RAW_SPORT"},
    {0x0250, "_", "IPI_HSX"},
    {0x0251, "_", "IPI_RPELP"},
    {0x0260, "_", "CS2"},
    {0x0270, "_", "SONY_SCX"},
    {0x0300, "_", "FM_TOWNS_SND"},
    {0x0400, "_", "BTV_DIGITAL"},
    {0x0401, "_", "Intel Music Coder (IMC)"},
    {0x0450, "_", "QDESIGN_MUSIC"},
    {0x0680, "_", "VME_VMPCM"},
    {0x0681, "_", "TPC"},
    {0x1000, "_", "OLIGSM"},
    {0x1001, "_", "OLIADPCM"},
    {0x1002, "_", "OLICELP"},
    {0x1003, "_", "OLISBC"},
    {0x1004, "_", "OLIOPR"},
    {0x1100, "_", "LH_CODEC"},
    {0x1101, "_", "L & H CELP codec"},
    {0x1102, "_", "L & H SBC codec"},
    {0x1103, "_", "L & H SBC codec"},
    {0x1104, "_", "L & H SBC codec"},
    {0x1400, "_", "NORRIS"},
    {0x1401, "_", "ISIAUDIO"},
    {0x1500, "_", "SOUNDSPACE_MUSICOMPRESS"},
    {0x1610, "AAC", "MPEG_HEAAC"},
    {0x181C, "VOX", "VOXWARE_RT24_SPEECH"},
    {0x1FC4, "_", "NCT ALF2CD codec"},
    {0x2000, "AC3", "Dolby Digital AC3"},
    {0x2001, "DTS", "DTS2"},
    {0x674F, "OGG", "OGG_VORBIS_1"},
    {0x6750, "OGG", "OGG_VORBIS_2"},
    {0x6751, "OGG", "OGG_VORBIS_3"},
    {0x676F, "OGG", "OGG_VORBIS_1_PLUS"},
    {0x6770, "OGG", "OGG_VORBIS_2_PLUS"},
    {0x6771, "OGG", "OGG_VORBIS_3_PLUS"},
    {0x704F, "_", "OPUS"},
    {0xA109, "_", "SPEEX"},
    {0xF1AC, "_", "FLAC"},
};

constexpr bool StrictlyOrdered() {
  for (size_t i = 1; i < std::size(kWaveFormats); ++i)
    if (kWaveFormats[i - 1].tag >= kWaveFormats[i].tag) return false;
  return true;
}
static_assert(StrictlyOrdered(), "the lookup searches by halves");
static_assert(std::size(kWaveFormats) == 151);

const WaveFormatRow* Find(uint16_t tag) {
  auto it = std::lower_bound(std::begin(kWaveFormats), std::end(kWaveFormats), tag,
                             [](const WaveFormatRow& row, uint16_t t) { return row.tag < t; });
  return (it != std::end(kWaveFormats) && it->tag == tag) ? it : nullptr;
}

}  // namespace

bool LookupWaveFormat(uint16_t tag, std::string* shortName, std::string* longName) {
  const WaveFormatRow* row = Find(tag);
  if (!row) return false;
  if (shortName) shortName->assign(row->shortName);
  if (longName) longName->assign(row->longName);
  return true;
}

std::string WaveFormatDisplayName(uint16_t tag) {
  const WaveFormatRow* row = Find(tag);
  if (!row) return {};
  return std::string(row->shortName == "_" ? row->longName : row->shortName);
}

// Wave format names: every known tag's displayed name, the short/long split, and unknown tags.
#include <gtest/gtest.h>

#include <map>

#include "probe/Parsers.h"

namespace {

// The whole table as the file list shows it.
const std::map<uint16_t, std::string> kDisplayed = {
    {0x0000, "unknown"},
    {0x0001, "PCM"},
    {0x0002, "ADPCM"},
    {0x0003, "IEEE_FLOAT"},
    {0x0004, "VSELP"},
    {0x0005, "IBM_CVSD"},
    {0x0006, "ALAW"},
    {0x0007, "MULAW"},
    {0x0008, "DTS"},
    {0x0010, "OKI_ADPCM"},
    {0x0011, "DVI_ADPCM"},
    {0x0012, "MEDIASPACE_ADPCM"},
    {0x0013, "SIERRA_ADPCM"},
    {0x0014, "G723_ADPCM"},
    {0x0015, "DIGISTD"},
    {0x0016, "DIGIFIX"},
    {0x0017, "DIALOGIC_OKI_ADPCM"},
    {0x0018, "MEDIAVISION_ADPCM"},
    {0x0019, "CU_CODEC"},
    {0x0020, "YAMAHA_ADPCM"},
    {0x0021, "SONARC"},
    {0x0022, "DSPGROUP_TRUESPEECH"},
    {0x0023, "ECHOSC1 Echo"},
    {0x0024, "AUDIOFILE_AF36"},
    {0x0025, "APTX"},
    {0x0026, "AUDIOFILE_AF10"},
    {0x0027, "PROSODY_1612"},
    {0x0028, "LRC"},
    {0x0030, "AC2"},
    {0x0031, "GSM610"},
    {0x0032, "MSN"},
    {0x0033, "ANTEX_ADPCME"},
    {0x0034, "CONTROL_RES_VQLPC"},
    {0x0035, "DIGIREAL"},
    {0x0036, "DIGIADPCM"},
    {0x0037, "CONTROL_RES_CR10"},
    {0x0038, "NMS_VBXADPCM"},
    {0x0039, "CS_IMAADPCM"},
    {0x003A, "ECHOSC3"},
    {0x003B, "ROCKWELL_ADPCM"},
    {0x003C, "ROCKWELL_DIGITALK"},
    {0x003D, "XEBEC Xebec"},
    {0x0040, "G721_ADPCM"},
    {0x0041, "G728_CELP"},
    {0x0042, "MSG723"},
    {0x0050, "MP2"},
    {0x0052, "RT24"},
    {0x0053, "PAC"},
    {0x0055, "MP3"},
    {0x0057, "AMR"},
    {0x0058, "AMR"},
    {0x0059, "LUCENT_G723"},
    {0x0060, "CIRRUS"},
    {0x0061, "ESPCM"},
    {0x0062, "VOXWARE"},
    {0x0063, "VOX"},
    {0x0064, "G726_ADPCM"},
    {0x0065, "G722_ADPCM"},
    {0x0066, "DSAT"},
    {0x0067, "DSAT_DISPLAY"},
    {0x0069, "VOX"},
    {0x0070, "VOX"},
    {0x0071, "VOX"},
    {0x0072, "VOX"},
    {0x0073, "VOX"},
    {0x0074, "VOX"},
    {0x0075, "VOX"},
    {0x0076, "VOX"},
    {0x0077, "VOX"},
    {0x0078, "VOX"},
    {0x0079, "VOX"},
    {0x0080, "SOFTSOUND"},
    {0x0081, "VOX"},
    {0x0082, "MSRT24"},
    {0x0083, "G729A"},
    {0x0084, "MVI_MVI2"},
    {0x0085, "DF_G726"},
    {0x0086, "DF_GSM610"},
    {0x0088, "ISIAUDIO"},
    {0x0089, "ONLIVE"},
    {0x0091, "SBC"},
    {0x0092, "AC3"},
    {0x0093, "MEDIASONIC_G723"},
    {0x0094, "PROSODY_8KBPS"},
    {0x0097, "ZYXEL_ADPCM"},
    {0x0098, "PHILIPS_LPCBB"},
    {0x0099, "PACKED Studer"},
    {0x00A0, "MALDEN_PHONYTALK"},
    {0x00FF, "AAC"},
    {0x0100, "RHETOREX_ADPCM"},
    {0x0101, "IRAT"},
    {0x0111, "VVO"},
    {0x0112, "VVO"},
    {0x0123, "DIGITAL_G723"},
    {0x0125, "SANYO_LD_ADPCM"},
    {0x0130, "SIPROLAB_ACEPLNET"},
    {0x0131, "SIPROLAB_ACELP4800"},
    {0x0132, "SIPROLAB_ACELP8V3"},
    {0x0133, "SIPROLAB_G729"},
    {0x0134, "SIPROLAB_G729A"},
    {0x0135, "SIPROLAB_KELVIN"},
    {0x0140, "G726ADPCM"},
    {0x0150, "QUALCOMM_PUREVOICE"},
    {0x0151, "QUALCOMM_HALFRATE"},
    {0x0155, "TUBGSM"},
    {0x0160, "MSA"},
    {0x0161, "DIV"},
    {0x0200, "CREATIVE_ADPCM"},
    {0x0202, "CREATIVE_FASTSPEECH8"},
    {0x0203, "CREATIVE_FASTSPEECH10"},
    {0x0210, "UHER_ADPCM"},
    {0x0220, "QUARTERDECK"},
    {0x0230, "ILINK_VC"},
    {0x0240, "RAW_SPORT"},
    {0x0250, "IPI_HSX"},
    {0x0251, "IPI_RPELP"},
    {0x0260, "CS2"},
    {0x0270, "SONY_SCX"},
    {0x0300, "FM_TOWNS_SND"},
    {0x0400, "BTV_DIGITAL"},
    {0x0401, "Intel Music Coder (IMC)"},
    {0x0450, "QDESIGN_MUSIC"},
    {0x0680, "VME_VMPCM"},
    {0x0681, "TPC"},
    {0x1000, "OLIGSM"},
    {0x1001, "OLIADPCM"},
    {0x1002, "OLICELP"},
    {0x1003, "OLISBC"},
    {0x1004, "OLIOPR"},
    {0x1100, "LH_CODEC"},
    {0x1101, "L & H CELP codec"},
    {0x1102, "L & H SBC codec"},
    {0x1103, "L & H SBC codec"},
    {0x1104, "L & H SBC codec"},
    {0x1400, "NORRIS"},
    {0x1401, "ISIAUDIO"},
    {0x1500, "SOUNDSPACE_MUSICOMPRESS"},
    {0x1610, "AAC"},
    {0x181C, "VOX"},
    {0x1FC4, "NCT ALF2CD codec"},
    {0x2000, "AC3"},
    {0x2001, "DTS"},
    {0x674F, "OGG"},
    {0x6750, "OGG"},
    {0x6751, "OGG"},
    {0x676F, "OGG"},
    {0x6770, "OGG"},
    {0x6771, "OGG"},
    {0x704F, "OPUS"},
    {0xA109, "SPEEX"},
    {0xF1AC, "FLAC"},
};

}  // namespace

TEST(WaveFormats, EveryTagShowsItsNameAndNoOtherTagHasOne) {
  for (uint32_t tag = 0; tag <= 0xFFFF; ++tag) {
    auto it = kDisplayed.find(static_cast<uint16_t>(tag));
    std::string expected = it == kDisplayed.end() ? std::string() : it->second;
    ASSERT_EQ(WaveFormatDisplayName(static_cast<uint16_t>(tag)), expected) << std::hex << tag;
    std::string shortName, longName;
    ASSERT_EQ(LookupWaveFormat(static_cast<uint16_t>(tag), &shortName, &longName), it != kDisplayed.end());
    if (it == kDisplayed.end()) continue;
    // The short name is a label of up to three characters, or "_" to show the long name.
    EXPECT_LE(shortName.size(), 3u);
    EXPECT_EQ(expected, shortName == "_" ? longName : shortName);
  }
}

TEST(WaveFormats, ShortAndLongNames) {
  struct Case {
    uint16_t tag;
    const char* shortName;
    const char* longName;
  };
  const Case cases[] = {
      {0x0000, "_", "unknown"},
      {0x0001, "PCM", "PCM"},
      {0x0002, "_", "ADPCM"},
      {0x0050, "MP2", "MPEG (MP1/MP2)"},
      {0x0055, "MP3", "MPEGLAYER3 (MP3)"},
      {0x0092, "AC3", "DOLBY_AC3_SPDIF"},
      {0x0160, "MSA", "MSAUDIO1 (ALSO DIVX)"},
      {0x0161, "DIV", "DIVX (same as WMA)"},
      {0x1102, "_", "L & H SBC codec"},
      {0x1103, "_", "L & H SBC codec"},
      {0x1104, "_", "L & H SBC codec"},
      {0x2000, "AC3", "Dolby Digital AC3"},
      {0x674F, "OGG", "OGG_VORBIS_1"},
  };
  for (const Case& c : cases) {
    std::string shortName = "stale", longName = "stale";
    ASSERT_TRUE(LookupWaveFormat(c.tag, &shortName, &longName)) << std::hex << c.tag;
    EXPECT_EQ(shortName, c.shortName) << std::hex << c.tag;
    EXPECT_EQ(longName, c.longName) << std::hex << c.tag;
  }
  // Unknown tags leave the caller's buffers as they were.
  for (uint16_t tag : {0x0009, 0x00FE, 0xFFFF}) {
    std::string shortName = "stale", longName = "stale";
    EXPECT_FALSE(LookupWaveFormat(tag, &shortName, &longName));
    EXPECT_EQ(shortName, "stale");
    EXPECT_EQ(longName, "stale");
  }
}

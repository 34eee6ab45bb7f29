// Option texts of both encoders, the ffmpeg stand-in, whole command lines and their splitting, byte for byte.
#include <gtest/gtest.h>

#include <functional>

#include "encoder/CommandLine.h"
#include "encoder/EncoderArgs.h"
#include "encoder/EncoderCaps.h"
#include "encoder/SettingsStore.h"

namespace {

// The record defaults of a reset, with the font of the worked examples.
EncodingSettings Defaults() {
  EncodingSettings s;
  ResetSettings(s);
  s.font_path = "C:\\Windows\\Fonts\\gulim.ttc";
  return s;
}

const char* const kTuning = "-subq 5 -flags global_header -trellis 0 -refs 1 -level 30 -coder 0 -bf 0 -weightp 0 -threads 4 ";
const char* const kX264 =
    "-c:v libx264 -subq 5 -flags global_header -trellis 0 -refs 1 -level 30 -coder 0 -bf 0 -weightp 0 -threads 4 ";
const char* const kAac128 = "-c:a libvo_aacenc -ab 128k -ar 44100 -ac 2 ";
const char* const kLame128 =
    "-oac mp3lame -lameopts vbr=3 -lameopts br=128 -lameopts mode=0 -lameopts aq=7 -lameopts padding=3 "
    "-audio-preload 0.0 -hr-mp3-seek ";
const char* const kXvid800 = "-ovc xvid -xvidencopts bitrate=800:max_bframes=0:quant_type=h263:me_quality=6:threads=4 ";

struct Case {
  const char* name;
  std::function<void(EncodingSettings&)> edit;
  int width = 1280, height = 720;
  std::string sampleRate = "44100";
  std::string type = "avi";
  std::string subtitle;
  int probeResult = 6;
  double fps = 25.0;
  int duration = 95;
  int codecOverride = -1;
  int badAspect = 0;
  int processors = 4;
  std::string expected;
  uint32_t expectedDuration = 95;
  bool refused = false;  // the text must not be run: a codec index no table knows
};

BuildInput InputFor(const Case& c, EncodingSettings& s, const EncoderCapabilities* caps) {
  s = Defaults();
  if (c.edit) c.edit(s);
  BuildInput in;
  in.settings = &s;
  in.row.fullPath = "C:\\v\\a.avi";
  in.row.typeText = c.type;
  in.row.sampleRateText = c.sampleRate;
  in.row.width = c.width;
  in.row.height = c.height;
  in.subtitlePath = c.subtitle;
  in.probe.result = c.probeResult;
  if (c.probeResult > 0) {
    in.probe.summary.fps = c.fps;
    in.probe.summary.duration_s = c.duration;
  }
  in.processors = c.processors;
  in.ffmpeg = caps;
  return in;
}

std::string S(std::initializer_list<const char*> parts) {
  std::string out;
  for (const char* p : parts) out += p;
  return out;
}

// ---------------------------------------------------------------- ffmpeg

std::vector<Case> FfmpegCases() {
  std::vector<Case> cases;
  auto add = [&](Case c) { cases.push_back(std::move(c)); };
  auto pad = [](EncodingSettings& s) { s.size_opt = 0; };
  add({.name = "record defaults", .expected = S({"-r 25.00 ", kX264, "-b:v 800k ", kAac128})});
  add({.name = "pad, 29.970 chosen",
       .edit = [=](EncodingSettings& s) { pad(s), s.fps_opt = 0, s.fps = 4; },
       .expected = S({"-r 30000/1001 ", kX264, "-b:v 800k -vf scale=712:400,pad=720:400:4:0 ", kAac128})});
  add({.name = "crop, 29.970 chosen",
       .edit = [=](EncodingSettings& s) { pad(s), s.fps_opt = 0, s.fps = 4, s.sizing_trim = 1; },
       .expected = S({"-r 30000/1001 ", kX264, "-b:v 800k -vf scale=720:406,crop=720:400:0:3 ", kAac128})});
  add({.name = "aspect not kept",
       .edit = [=](EncodingSettings& s) { pad(s), s.sizing_ratio = 0; },
       .expected = S({"-r 25.00 ", kX264, "-b:v 800k -s 720x400 ", kAac128})});
  add({.name = "mkv subtitle stream, both copied",
       .edit = [](EncodingSettings& s) { s.output_type = 2, s.origin_vdo = 1, s.origin_ado = 1; },
       .subtitle = "C:\\v\\a.srt",
       .expected = "-i \"C:\\v\\a.srt\" -c:v copy -c:a copy -c:s copy "});
  add({.name = "volume 150 mono mp3 64k, source rate 11025 kept",
       .edit = [](EncodingSettings& s) {
         s.volume = 150, s.channle_mode = 3, s.audio_compress = 1, s.audio_bitrate = 1, s.sample_rate_opt = 1;
       },
       .sampleRate = "11025",
       .expected = S({"-r 25.00 ", kX264, "-b:v 800k -c:a libmp3lame -ab 64k -ar 22050 -ac 1 -af volume=1.5 "})});
  add({.name = "frame rate unknown: no -r",
       .fps = 0,
       .expected = S({kX264, "-b:v 800k ", kAac128})});
  add({.name = "failed probe: no -r, no duration",
       .probeResult = -1,
       .expected = S({kX264, "-b:v 800k ", kAac128}),
       .expectedDuration = 0});
  add({.name = "23.976 source", .fps = 24000.0 / 1001, .expected = S({"-r 23.98 ", kX264, "-b:v 800k ", kAac128})});
  add({.name = "719x399 equals a 720x400 source",
       .edit = [=](EncodingSettings& s) { pad(s), s.size_w = 719, s.size_h = 399; },
       .width = 720,
       .height = 400,
       .expected = S({"-r 25.00 ", kX264, "-b:v 800k ", kAac128})});
  add({.name = "mpeg4 keeps an odd width",
       .edit = [=](EncodingSettings& s) { pad(s), s.video_compress = 2; },
       .expected = S({"-r 25.00 -c:v mpeg4 ", kTuning, "-b:v 800k -vf scale=711:400,pad=720:400:4:0 ", kAac128})});
  add({.name = "mpeg4 keeps an odd height when cropping",
       .edit = [=](EncodingSettings& s) { pad(s), s.video_compress = 2, s.sizing_trim = 1; },
       .expected = S({"-r 25.00 -c:v mpeg4 ", kTuning, "-b:v 800k -vf scale=720:405,crop=720:400:0:2 ", kAac128})});
  add({.name = "xvid override of mp4v",
       .edit = [](EncodingSettings& s) { s.video_compress = 2; },
       .codecOverride = 1,
       .expected = S({"-r 25.00 -c:v libxvid ", kTuning, "-b:v 800k ", kAac128})});
  add({.name = "aspect complaints move the scaled width",
       .edit = [=](EncodingSettings& s) { pad(s); },
       .badAspect = 2,
       .expected = S({"-r 25.00 ", kX264, "-b:v 800k -vf scale=714:400,pad=720:400:3:0 ", kAac128})});
  add({.name = "volume 250, source rate column empty",
       .edit = [](EncodingSettings& s) { s.volume = 250, s.sample_rate_opt = 1; },
       .sampleRate = "",
       .expected = S({"-r 25.00 ", kX264, "-b:v 800k -c:a libvo_aacenc -ab 128k -ar 22050 -ac 2 -af volume=2.5 "})});
  add({.name = "volume 100, source rate 48000 kept",
       .edit = [](EncodingSettings& s) { s.volume = 100, s.sample_rate_opt = 1; },
       .sampleRate = "48000",
       .expected = S({"-r 25.00 ", kX264, "-b:v 800k -c:a libvo_aacenc -ab 128k -ar 48000 -ac 2 -af volume=1.0 "})});
  add({.name = "unknown indexes take the fallback values",
       .edit = [](EncodingSettings& s) {
         s.fps_opt = 0, s.fps = 9, s.video_compress = 7, s.audio_compress = 8, s.audio_bitrate = 9, s.sample_rate = 9;
       },
       .expected = "-r 30000/1001 -subq 5 -flags global_header -trellis 0 -refs 1 -level 30 -coder 0 -bf 0 -weightp 0 "
                   "-threads 4 -b:v 800k -ab 128k -ar 44100 -ac 2 ",
       .refused = true});
  add({.name = "no processors reported",
       .processors = 0,
       .expected = S({"-r 25.00 -c:v libx264 -subq 5 -flags global_header -trellis 0 -refs 1 -level 30 -coder 0 -bf 0 "
                      "-weightp 0 -threads 1 -b:v 800k ",
                      kAac128})});
  add({.name = "source size unknown: plain size",
       .edit = [=](EncodingSettings& s) { pad(s); },
       .width = 0,
       .height = 0,
       .expected = S({"-r 25.00 ", kX264, "-b:v 800k -s 720x400 ", kAac128})});
  add({.name = "same ratio: plain size",
       .edit = [=](EncodingSettings& s) { pad(s); },
       .width = 1440,
       .height = 800,
       .expected = S({"-r 25.00 ", kX264, "-b:v 800k -s 720x400 ", kAac128})});
  add({.name = "subtitle with mp4 is not an input",
       .subtitle = "C:\\v\\a.smi",
       .expected = S({"-r 25.00 ", kX264, "-b:v 800k ", kAac128})});
  add({.name = "mp2 and vorbis, table sample rates",
       .edit = [](EncodingSettings& s) { s.output_type = 2, s.audio_compress = 3, s.sample_rate = 0, s.audio_bitrate = 5; },
       .expected = S({"-r 25.00 ", kX264, "-b:v 800k -c:a libvorbis -ab 320k -ar 22050 -ac 2 "})});
  return cases;
}

TEST(FfmpegArgs, TableOfCases) {
  EncoderCapabilities everything = EncoderCapabilities::Everything(EncoderKind::Ffmpeg);
  for (const Case& c : FfmpegCases()) {
    SCOPED_TRACE(c.name);
    EncodingSettings s;
    BuildInput in = InputFor(c, s, &everything);
    BuildRowInput row{.ulProbeDuration = 7, .iCodecOverride = c.codecOverride, .iBadAspectCnt = c.badAspect};
    BuiltOptions out = BuildFfmpegArgs(in, row);
    EXPECT_EQ(out.text, c.expected);
    EXPECT_EQ(row.ulProbeDuration, c.expectedDuration);
    EXPECT_TRUE(out.substitutions.empty());
    EXPECT_EQ(out.error.empty(), !c.refused) << out.error;
    // Without a capability set the names are used as given.
    BuildRowInput again{.iCodecOverride = c.codecOverride, .iBadAspectCnt = c.badAspect};
    in.ffmpeg = nullptr;
    EXPECT_EQ(BuildFfmpegArgs(in, again).text, c.expected);
  }
}

// ---------------------------------------------------------------- mencoder

const char* const kMp4Head = "-of lavf -lavfopts format=MP4 -lavcopts vglobal=1 ";
const char* const kFaac128 = "-srate 44100 -oac faac -faacopts br=128:mpeg=4:object=2:raw=yes:tns=yes ";
const char* const kSubtitle =
    "-font \"C:\\Windows\\Fonts\\gulim.ttc\" -sub \"C:\\v\\a.smi\" -utf8 -subpos 95 -subfont-text-scale 4 "
    "-subfont-blur 2 -subfont-outline 2 ";

std::vector<Case> MencoderCases() {
  std::vector<Case> cases;
  auto add = [&](Case c) { cases.push_back(std::move(c)); };
  auto avi = [](EncodingSettings& s) {
    s.output_type = 1, s.video_compress = 1, s.audio_compress = 1, s.fps_opt = 0, s.fps = 3;
  };
  auto pad = [](EncodingSettings& s) { s.size_opt = 0; };
  add({.name = "avi xvid mp3, 25 chosen",
       .edit = avi,
       .expected = S({"-noodml -srate 44100 ", kLame128, kXvid800, "-ofps 25 "}),
       .expectedDuration = 0});
  add({.name = "mp4 subtitle pad",
       .edit = pad,
       .subtitle = "C:\\v\\a.smi",
       .expected = S({kMp4Head, kFaac128, "-ovc x264 -x264encopts bitrate=800:threads=4 -ofps 25.00 ",
                      "-vf-add crop=1280:720:-1:-1 -vf-add scale=712:400 -vf-add expand=720:400:-1:-1:1 ", kSubtitle})});
  add({.name = "mp4 subtitle crop",
       .edit = [=](EncodingSettings& s) { pad(s), s.sizing_trim = 1; },
       .subtitle = "C:\\v\\a.smi",
       .expected = S({kMp4Head, kFaac128, "-ovc x264 -x264encopts bitrate=800:threads=4 -ofps 25.00 ",
                      "-vf-add crop=1280:711:0:4 -vf-add scale=720:400 -vf-add expand=720:400:-1:-1:1 ", kSubtitle})});
  add({.name = "video copied ends the text, subtitle or not",
       .edit = [=](EncodingSettings& s) { avi(s), s.origin_vdo = 1; },
       .subtitle = "C:\\v\\a.smi",
       .expected = S({"-noodml -srate 44100 ", kLame128, "-ovc copy "}),
       .expectedDuration = 0});
  add({.name = "packet index only copies both",
       .edit = [](EncodingSettings& s) { s.pindex_opti = 1; },
       .expected = S({kMp4Head, "-oac copy -ovc copy "}),
       .expectedDuration = 0});
  add({.name = "wma row keeping its rate: no probe",
       .type = "WMA",
       .expected = S({kMp4Head, kFaac128, "-ovc x264 -x264encopts bitrate=800:threads=4 -ofps 30000/1001 "}),
       .expectedDuration = 0});
  add({.name = "failed probe",
       .probeResult = -1,
       .expected = S({kMp4Head, kFaac128, "-ovc x264 -x264encopts bitrate=800:threads=4 -ofps 30000/1001 "}),
       .expectedDuration = 0});
  add({.name = "probe without a frame rate still gives the duration",
       .fps = 0,
       .duration = 12,
       .expected = S({kMp4Head, kFaac128, "-ovc x264 -x264encopts bitrate=800:threads=4 -ofps 30000/1001 "}),
       .expectedDuration = 12});
  add({.name = "29.97 source", .fps = 30000.0 / 1001,
       .expected = S({kMp4Head, kFaac128, "-ovc x264 -x264encopts bitrate=800:threads=4 -ofps 29.97 "})});
  add({.name = "320 in faac",
       .edit = [](EncodingSettings& s) { s.audio_bitrate = 5, s.origin_vdo = 1; },
       .expected = S({kMp4Head, "-srate 44100 -oac faac -faacopts br=320:mpeg=4:object=2:raw=yes:tns=yes -ovc copy "}),
       .expectedDuration = 0});
  add({.name = "320 in lavc mp3 for mp4",
       .edit = [](EncodingSettings& s) { s.audio_bitrate = 5, s.origin_vdo = 1, s.audio_compress = 1; },
       .expected = S({kMp4Head, "-srate 44100 -oac lavc -lavcopts acodec=libmp3lame:abitrate=320 -channels 2 -ovc copy "}),
       .expectedDuration = 0});
  add({.name = "320 in mp3lame for mkv, vorbis index, mono",
       .edit = [](EncodingSettings& s) {
         s.output_type = 2, s.audio_bitrate = 5, s.origin_vdo = 1, s.audio_compress = 3, s.channle_mode = 3;
       },
       .expected = "-noodml -srate 44100 -oac mp3lame -lameopts vbr=3 -lameopts br=320 -lameopts mode=3 -lameopts aq=7 "
                   "-lameopts padding=3 -audio-preload 0.0 -hr-mp3-seek -ovc copy ",
       .expectedDuration = 0});
  add({.name = "320 in mp2, volume 40",
       .edit = [](EncodingSettings& s) { s.audio_bitrate = 5, s.origin_vdo = 1, s.audio_compress = 2, s.volume = 40; },
       .expected = S({kMp4Head,
                      "-srate 44100 -oac lavc -lavcopts acodec=mp2:abitrate=320 -channels 2 -af volnorm -af volume=0:1 "
                      "-ovc copy "}),
       .expectedDuration = 0});
  add({.name = "volume 150, source rate kept",
       .edit = [](EncodingSettings& s) { s.origin_vdo = 1, s.volume = 150, s.sample_rate_opt = 1; },
       .sampleRate = "11025",
       .expected = S({kMp4Head,
                      "-srate 22050 -oac faac -faacopts br=128:mpeg=4:object=2:raw=yes:tns=yes -af volnorm -af volume=3:1 "
                      "-ovc copy "}),
       .expectedDuration = 0});
  add({.name = "source size unknown, aspect kept: nothing",
       .edit = [=](EncodingSettings& s) { avi(s), pad(s); },
       .width = 0,
       .height = 0,
       .expected = S({"-noodml -srate 44100 ", kLame128, kXvid800, "-ofps 25 "}),
       .expectedDuration = 0});
  add({.name = "source size unknown, aspect not kept: scale and expand",
       .edit = [=](EncodingSettings& s) { avi(s), pad(s), s.sizing_ratio = 0; },
       .width = 0,
       .height = 0,
       .expected = S({"-noodml -srate 44100 ", kLame128, kXvid800,
                      "-ofps 25 -vf-add scale=720:400 -vf-add expand=720:400:-1:-1:1 "}),
       .expectedDuration = 0});
  add({.name = "lavc mpeg4, aspect not kept",
       .edit = [=](EncodingSettings& s) { avi(s), pad(s), s.sizing_ratio = 0, s.video_compress = 2; },
       .expected = S({"-noodml -srate 44100 ", kLame128, "-ovc lavc -lavcopts vcodec=mpeg4 -lavcopts vbitrate=800 ",
                      "-ofps 25 -vf-add scale=720:400 -vf-add expand=720:400:-1:-1:1 "}),
       .expectedDuration = 0});
  add({.name = "middle quality x264, crop the width of a wide source",
       .edit = [=](EncodingSettings& s) { avi(s), pad(s), s.sizing_trim = 1, s.video_compress = 3; },
       .width = 1920,
       .height = 800,
       .expected = S({"-noodml -srate 44100 ", kLame128,
                      "-ovc x264 -x264encopts bitrate=800:subq=1:global_header:trellis=0:frameref=1:level_idc=13:"
                      "nocabac:no8x8dct:bframes=0:weightp=0:threads=4 ",
                      "-ofps 25 -vf-add crop=1440:800:240:0 -vf-add scale=720:400 -vf-add expand=720:400:-1:-1:1 "}),
       .expectedDuration = 0});
  add({.name = "pad a wide source",
       .edit = [=](EncodingSettings& s) { avi(s), pad(s); },
       .width = 1920,
       .height = 800,
       .expected = S({"-noodml -srate 44100 ", kLame128, kXvid800,
                      "-ofps 25 -vf-add crop=1920:800:-1:-1 -vf-add scale=720:300 -vf-add expand=720:400:-1:-1:1 "}),
       .expectedDuration = 0});
  add({.name = "odd source raised, equal to target: nothing",
       .edit = [=](EncodingSettings& s) { avi(s), pad(s); },
       .width = 719,
       .height = 399,
       .expected = S({"-noodml -srate 44100 ", kLame128, kXvid800, "-ofps 25 "}),
       .expectedDuration = 0});
  add({.name = "negative source size: nothing",
       .edit = [=](EncodingSettings& s) { avi(s), pad(s), s.sizing_ratio = 0; },
       .width = -4,
       .height = 400,
       .expected = S({"-noodml -srate 44100 ", kLame128, kXvid800, "-ofps 25 "}),
       .expectedDuration = 0});
  add({.name = "unknown indexes",
       .edit = [](EncodingSettings& s) {
         s.output_type = 1, s.fps_opt = 0, s.fps = 6, s.video_compress = 4, s.audio_compress = 4, s.sample_rate = 6;
       },
       .expected = "-noodml -srate 44100 -ofps 30000/1001 ",
       .expectedDuration = 0,
       .refused = true});
  return cases;
}

TEST(MencoderArgs, TableOfCases) {
  for (const Case& c : MencoderCases()) {
    SCOPED_TRACE(c.name);
    EncodingSettings s;
    BuildInput in = InputFor(c, s, nullptr);
    // These are never read by this builder.
    BuildRowInput row{.ulProbeDuration = 0, .iCodecOverride = 2, .iBadAspectCnt = 3};
    BuiltOptions out = BuildMencoderArgs(in, row);
    EXPECT_EQ(out.text, c.expected);
    EXPECT_EQ(row.ulProbeDuration, c.expectedDuration);
    EXPECT_EQ(out.error.empty(), !c.refused) << out.error;
  }
}

// ---------------------------------------------------------------- whole command lines

TEST(CommandLine, WorkedExamplesWholeLines) {
  EncodingSettings s = Defaults();
  BuildInput in;
  in.settings = &s;
  in.row = {"C:\\v\\a.avi", "avi", "44100", 1280, 720};
  in.probe.result = 6;
  in.probe.summary.fps = 25;
  in.processors = 4;
  BuildRowInput row;
  CommandLine ff = BuildCommandLine(EncoderKind::Ffmpeg, "C:\\app\\ffmpeg.exe", in.row.fullPath,
                                    BuildFfmpegArgs(in, row).text, "", "C:\\out\\_ZLVR_a.mp4");
  EXPECT_EQ(ff.text,
            R"("C:\app\ffmpeg.exe" -i "C:\v\a.avi" -y -r 25.00 -c:v libx264 -subq 5 -flags global_header -trellis 0 )"
            R"(-refs 1 -level 30 -coder 0 -bf 0 -weightp 0 -threads 4 -b:v 800k -c:a libvo_aacenc -ab 128k -ar 44100 )"
            R"(-ac 2  "C:\out\_ZLVR_a.mp4")");
  EXPECT_TRUE(ff.error.empty());

  s.output_type = 1, s.video_compress = 1, s.audio_compress = 1, s.fps_opt = 0;
  CommandLine me = BuildCommandLine(EncoderKind::Mencoder, "C:\\app\\mencoder.exe", in.row.fullPath,
                                    BuildMencoderArgs(in, row).text, "", "C:\\out\\_ZLVR_a.avi");
  EXPECT_EQ(me.text,
            R"("C:\app\mencoder.exe" -noodml -srate 44100 -oac mp3lame -lameopts vbr=3 -lameopts br=128 )"
            R"(-lameopts mode=0 -lameopts aq=7 -lameopts padding=3 -audio-preload 0.0 -hr-mp3-seek -ovc xvid )"
            R"(-xvidencopts bitrate=800:max_bframes=0:quant_type=h263:me_quality=6:threads=4 -ofps 25  )"
            R"(-o "C:\out\_ZLVR_a.avi" "C:\v\a.avi")");
}

TEST(CommandLine, OptionalIsAppendedWithBlanksOnBothSides) {
  EXPECT_EQ(AppendOptional("-c:v copy ", ""), "-c:v copy ");
  EXPECT_EQ(AppendOptional("-c:v copy ", "-map 0"), "-c:v copy  -map 0 ");
  CommandLine line = BuildCommandLine(EncoderKind::Ffmpeg, "/usr/bin/ffmpeg", "/v/a b.avi", "-c:v copy ",
                                      "-metadata title=\"x y\"", "/o/a.mp4");
  EXPECT_EQ(line.text, R"("/usr/bin/ffmpeg" -i "/v/a b.avi" -y -c:v copy  -metadata title="x y"  "/o/a.mp4")");
  std::vector<std::string> argv;
  std::string error;
  ASSERT_TRUE(SplitCommandLine(line.text, argv, error)) << error;
  EXPECT_EQ(argv, (std::vector<std::string>{"/usr/bin/ffmpeg", "-i", "/v/a b.avi", "-y", "-c:v", "copy", "-metadata",
                                            "title=x y", "/o/a.mp4"}));
}

TEST(CommandLine, PathWithDoubleQuoteIsRefused) {
  for (EncoderKind kind : {EncoderKind::Ffmpeg, EncoderKind::Mencoder}) {
    EXPECT_NE(BuildCommandLine(kind, "/bin/enc", "/v/a\"b.avi", "", "", "/o/x.mp4").error, "");
    EXPECT_NE(BuildCommandLine(kind, "/bin/e\"nc", "/v/a.avi", "", "", "/o/x.mp4").error, "");
    EXPECT_NE(BuildCommandLine(kind, "/bin/enc", "/v/a.avi", "", "", "/o/\"x.mp4").error, "");
  }
  // Paths the option texts quote themselves are refused by the builders.
  EncodingSettings s = Defaults();
  BuildInput in;
  in.settings = &s;
  in.subtitlePath = "/v/a\".smi";
  BuildRowInput row;
  EXPECT_NE(BuildMencoderArgs(in, row).error, "");
  s.output_type = 2;
  in.subtitlePath = "/v/a\".srt";
  EXPECT_NE(BuildFfmpegArgs(in, row).error, "");
  s.output_type = 0;
  s.font_path = "/f/\"x.ttf";
  in.subtitlePath = "/v/a.smi";
  EXPECT_NE(BuildMencoderArgs(in, row).error, "");
}

TEST(CommandLine, BuiltLinesSplitIntoExactArguments) {
  // The burn-in filter keeps its backslashes and blanks inside one argument.
  EncodingSettings s = Defaults();
  BuildInput in;
  in.settings = &s;
  in.probe.result = 6;
  BuildRowInput row;
  BuiltOptions opts = BuildFfmpegFallbackArgs(in, row, {"/w/it's a:b.srt", "/f", "Nanum Gothic"}, "");
  CommandLine line = BuildCommandLine(EncoderKind::Ffmpeg, "/usr/bin/ffmpeg", "/v/my clip.avi", opts.text, "-map 0",
                                      "/o/_ZLVR_my clip.mp4");
  ASSERT_TRUE(line.error.empty());
  std::vector<std::string> argv;
  std::string error;
  ASSERT_TRUE(SplitCommandLine(line.text, argv, error)) << error;
  const std::vector<std::string> expected = {
      "/usr/bin/ffmpeg", "-i", "/v/my clip.avi", "-y", "-r", "30000/1001", "-c:v", "libx264", "-subq", "5", "-flags", "global_header",
      "-trellis", "0", "-refs", "1", "-level", "30", "-coder", "0", "-bf", "0", "-weightp", "0", "-threads", "1",
      "-b:v", "800k", "-vf",
      R"(subtitles=filename=/w/it\\\'s a\\:b.srt:fontsdir=/f:force_style=FontName=Nanum Gothic\,FontSize=19\,)"
      R"(Outline=2\,Blur=2\,Alignment=2\,MarginV=14)",
      "-c:a", "libvo_aacenc", "-ab", "128k", "-ar", "44100", "-ac", "2", "-map", "0", "/o/_ZLVR_my clip.mp4"};
  EXPECT_EQ(argv, expected);
}

// ---------------------------------------------------------------- installed encoders and stand-ins

TEST(FfmpegArgs, MissingEncodersTakeTheirStandIns) {
  struct Sub {
    const char* name;
    std::function<void(EncodingSettings&)> edit;
    std::vector<std::string> missing;
    std::string codecs;  // the -c:v and -c:a options expected, joined
    std::vector<std::string> notes;
  };
  const Sub cases[] = {
      {"no libvo_aacenc", nullptr, {"libvo_aacenc"}, "-c:v libx264 |-c:a aac ", {"libvo_aacenc -> aac"}},
      {"no libxvid", [](EncodingSettings& s) { s.video_compress = 1; }, {"libxvid"}, "-c:v mpeg4 |-c:a libvo_aacenc ",
       {"libxvid -> mpeg4"}},
      {"no libx264", nullptr, {"libx264"}, "-c:v mpeg4 |-c:a libvo_aacenc ", {"libx264 -> mpeg4"}},
      {"no libvorbis, experimental vorbis",
       [](EncodingSettings& s) { s.output_type = 2, s.audio_compress = 3; },
       {"libvorbis"},
       "-c:v libx264 |-c:a vorbis -strict experimental ",
       {"libvorbis -> vorbis"}},
      {"no libmp3lame", [](EncodingSettings& s) { s.output_type = 2, s.audio_compress = 1; }, {"libmp3lame"},
       "-c:v libx264 |-c:a mp2 ", {"libmp3lame -> mp2"}},
      {"no mp3 encoder at all",
       [](EncodingSettings& s) { s.output_type = 2, s.audio_compress = 1; },
       {"libmp3lame", "mp2"},
       "-c:v libx264 |-c:a libmp3lame ",
       {"libmp3lame is missing from this ffmpeg and has no stand-in"}},
  };
  for (const Sub& c : cases) {
    SCOPED_TRACE(c.name);
    EncoderCapabilities caps = EncoderCapabilities::Everything(EncoderKind::Ffmpeg);
    caps.experimental.insert("vorbis");
    caps.audioEncoders.insert("vorbis");
    for (const std::string& m : c.missing) {
      caps.videoEncoders.erase(m);
      caps.audioEncoders.erase(m);
    }
    EncodingSettings s = Defaults();
    if (c.edit) c.edit(s);
    BuildInput in;
    in.settings = &s;
    in.probe.result = 6;
    in.probe.summary.fps = 25;
    in.processors = 4;
    in.ffmpeg = &caps;
    BuildRowInput row;
    BuiltOptions out = BuildFfmpegArgs(in, row);
    size_t bar = c.codecs.find('|');
    std::string video = c.codecs.substr(0, bar), audio = c.codecs.substr(bar + 1);
    EXPECT_EQ(out.text.substr(9, video.size()), video) << out.text;
    EXPECT_NE(out.text.find("-b:v 800k " + audio + "-ab "), std::string::npos) << out.text;
    EXPECT_EQ(out.substitutions, c.notes);
  }
}

TEST(FfmpegFallback, TableOfCases) {
  const std::string tuning = "-subq 5 -flags global_header -trellis 0 -refs 1 -level 30 -coder 0 -bf 0 -weightp 0 -threads 4 ";
  const std::string subs =
      "subtitles=filename=/w/a b.srt:fontsdir=/usr/share/fonts/nanum:force_style=FontName=NanumGothic\\,FontSize=19\\,"
      "Outline=2\\,Blur=2\\,Alignment=2\\,MarginV=14";
  struct Fallback {
    const char* name;
    std::function<void(EncodingSettings&)> edit;
    bool burn;
    std::string expected;
    std::vector<std::string> notes;
  };
  auto avi = [](EncodingSettings& s) { s.output_type = 1, s.video_compress = 1, s.audio_compress = 1; };
  const Fallback cases[] = {
      {"avi xvid mp3", avi, false,
       "-r 25.00 -c:v libxvid " + tuning + "-b:v 800k -c:a libmp3lame -ab 128k -ar 44100 -ac 2 -joint_stereo 0 ",
       {"ffmpeg instead of mencoder (why)"}},
      {"middle quality h264 in mkv",
       [](EncodingSettings& s) { s.output_type = 2, s.video_compress = 3; },
       false,
       "-r 25.00 -c:v libx264 -subq 1 -flags global_header -trellis 0 -refs 1 -level 13 -coder 0 -8x8dct 0 -bf 0 "
       "-weightp 0 -threads 4 -b:v 800k -c:a libvo_aacenc -ab 128k -ar 44100 -ac 2 ",
       {"ffmpeg instead of mencoder (why)", "h264(Middle Quility) -> libx264 with the same tuning"}},
      {"mp4 burn-in, size kept", nullptr, true,
       "-r 25.00 -c:v libx264 " + tuning + "-b:v 800k -vf \"" + subs + "\" -c:a libvo_aacenc -ab 128k -ar 44100 -ac 2 ",
       {"ffmpeg instead of mencoder (why)", "subtitle burned in with ffmpeg's subtitles filter"}},
      {"mp4 burn-in after padding",
       [](EncodingSettings& s) { s.size_opt = 0; },
       true,
       "-r 25.00 -c:v libx264 " + tuning + "-b:v 800k -vf \"scale=712:400,pad=720:400:4:0," + subs +
           "\" -c:a libvo_aacenc -ab 128k -ar 44100 -ac 2 ",
       {"ffmpeg instead of mencoder (why)", "subtitle burned in with ffmpeg's subtitles filter"}},
      {"avi burn-in after plain scaling",
       [=](EncodingSettings& s) { avi(s), s.size_opt = 0, s.sizing_ratio = 0; },
       true,
       "-r 25.00 -c:v libxvid " + tuning + "-b:v 800k -vf \"scale=720:400," + subs +
           "\" -c:a libmp3lame -ab 128k -ar 44100 -ac 2 -joint_stereo 0 ",
       {"ffmpeg instead of mencoder (why)", "subtitle burned in with ffmpeg's subtitles filter"}},
      {"packet index only: both copied, nothing burned",
       [](EncodingSettings& s) { s.pindex_opti = 1; },
       true,
       "-c:v copy -c:a copy ",
       {"ffmpeg instead of mencoder (why)"}},
  };
  EncoderCapabilities caps = EncoderCapabilities::Everything(EncoderKind::Ffmpeg);
  for (const Fallback& c : cases) {
    SCOPED_TRACE(c.name);
    EncodingSettings s = Defaults();
    if (c.edit) c.edit(s);
    BuildInput in;
    in.settings = &s;
    in.row = {"/v/a.avi", "avi", "44100", 1280, 720};
    in.probe.result = 6;
    in.probe.summary.fps = 25;
    in.processors = 4;
    in.ffmpeg = &caps;
    BurnInSubtitle burn;
    if (c.burn) burn = {"/w/a b.srt", "/usr/share/fonts/nanum", "NanumGothic"};
    BuildRowInput row;
    BuiltOptions out = BuildFfmpegFallbackArgs(in, row, burn, "why");
    EXPECT_EQ(out.text, c.expected);
    EXPECT_EQ(out.substitutions, c.notes);
    EXPECT_TRUE(out.error.empty());
  }
}

// The stand-in says in ffmpeg's words what the mencoder line it replaces says: each case names a
// piece of the mencoder line and the ffmpeg piece of the same meaning (or its absence).
TEST(FfmpegFallback, KeepsTheMeaningOfTheMencoderLine) {
  struct Meaning {
    const char* name;
    std::function<void(EncodingSettings&)> edit;
    int width, height;
    std::string type;
    int probeResult;
    std::vector<std::string> mencoderHas, ffmpegHas, ffmpegLacks;
  };
  auto resize = [](EncodingSettings& s) { s.size_opt = 0; };
  const Meaning cases[] = {
      {"size unknown, aspect kept: no size at all", resize, 0, 0, "avi", 6, {}, {}, {"-s ", "scale", "-vf"}},
      {"size unknown, aspect not kept: the target size",
       [](EncodingSettings& s) { s.size_opt = 0, s.sizing_ratio = 0; }, 0, 0, "avi", 6,
       {"-vf-add scale=720:400 -vf-add expand=720:400:-1:-1:1 "}, {"-s 720x400 "}, {}},
      {"negative size: no size", resize, -4, 720, "avi", 6, {}, {}, {"-s ", "scale"}},
      {"target equals the even source size: no size", resize, 719, 399, "avi", 6, {}, {}, {"-s ", "scale"}},
      {"volume 150: normalised plus 3 dB", [](EncodingSettings& s) { s.volume = 150; }, 1280, 720, "avi", 6,
       {"-af volnorm -af volume=3:1 "}, {"-af dynaudnorm,volume=3dB "}, {"volume=1.5"}},
      {"volume 40: normalised plus 0 dB", [](EncodingSettings& s) { s.volume = 40; }, 1280, 720, "avi", 6,
       {"-af volnorm -af volume=0:1 "}, {"-af dynaudnorm,volume=0dB "}, {"volume=0.4"}},
      {"wma row keeping its rate", nullptr, 1280, 720, "WMA", 6, {"-ofps 30000/1001 "}, {"-r 30000/1001 "}, {"-r 25"}},
      {"failed probe keeping the rate", nullptr, 1280, 720, "avi", -1, {"-ofps 30000/1001 "}, {"-r 30000/1001 "}, {}},
      {"chosen rate", [](EncodingSettings& s) { s.fps_opt = 0, s.fps = 1; }, 1280, 720, "avi", 6,
       {"-ofps 24000/1001 "}, {"-r 24000/1001 "}, {}},
      {"lavc mp2 in mono mode: still two channels",
       [](EncodingSettings& s) { s.output_type = 2, s.audio_compress = 2, s.channle_mode = 3; }, 1280, 720, "avi", 6,
       {"acodec=mp2:abitrate=128 -channels 2 "}, {"-c:a mp2 -ab 128k -ar 44100 -ac 2 "}, {"-ac 1"}},
      {"lavc mp3 in MP4 in mono mode: still two channels",
       [](EncodingSettings& s) { s.audio_compress = 1, s.channle_mode = 3; }, 1280, 720, "avi", 6,
       {"acodec=libmp3lame:abitrate=128 -channels 2 "}, {"-ac 2 "}, {"-ac 1"}},
      {"lame mp3 in AVI, joint stereo mode",
       [](EncodingSettings& s) { s.output_type = 1, s.audio_compress = 1, s.channle_mode = 1; }, 1280, 720, "avi", 6,
       {"-lameopts mode=1 "}, {"-c:a libmp3lame -ab 128k -ar 44100 -ac 2 -joint_stereo 1 "}, {}},
      {"lame mp3 in AVI, dual channel mode: not joint",
       [](EncodingSettings& s) { s.output_type = 1, s.audio_compress = 1, s.channle_mode = 2; }, 1280, 720, "avi", 6,
       {"-lameopts mode=2 "}, {"-c:a libmp3lame -ab 128k -ar 44100 -ac 2 -joint_stereo 0 "}, {}},
      {"lame mp3 in AVI in mono mode: mono",
       [](EncodingSettings& s) { s.output_type = 1, s.audio_compress = 1, s.channle_mode = 3; }, 1280, 720, "avi", 6,
       {"-lameopts mode=3 "}, {"-c:a libmp3lame -ab 128k -ar 44100 -ac 1 "}, {"-ac 2"}},
  };
  EncoderCapabilities caps = EncoderCapabilities::Everything(EncoderKind::Ffmpeg);
  for (const Meaning& c : cases) {
    SCOPED_TRACE(c.name);
    EncodingSettings s = Defaults();
    if (c.edit) c.edit(s);
    BuildInput in;
    in.settings = &s;
    in.row = {"/v/a.avi", c.type, "44100", c.width, c.height};
    in.probe.result = c.probeResult;
    if (c.probeResult > 0) in.probe.summary.fps = 25;
    in.processors = 4;
    in.ffmpeg = &caps;
    BuildRowInput row;
    std::string mencoder = BuildMencoderArgs(in, row).text;
    BuiltOptions ffmpeg = BuildFfmpegFallbackArgs(in, row, {}, "why");
    EXPECT_TRUE(ffmpeg.error.empty()) << ffmpeg.error;
    for (const std::string& piece : c.mencoderHas) EXPECT_NE(mencoder.find(piece), std::string::npos) << mencoder;
    if (c.mencoderHas.empty()) {
      EXPECT_EQ(mencoder.find("-vf-add"), std::string::npos) << mencoder;
    }
    for (const std::string& piece : c.ffmpegHas) EXPECT_NE(ffmpeg.text.find(piece), std::string::npos) << ffmpeg.text;
    for (const std::string& piece : c.ffmpegLacks) EXPECT_EQ(ffmpeg.text.find(piece), std::string::npos) << ffmpeg.text;
    EXPECT_NE(ffmpeg.text.find("-c:v "), std::string::npos);
    EXPECT_NE(ffmpeg.text.find("-c:a "), std::string::npos);
  }
}

// A codec index no table knows never becomes a command that leaves the choice to the encoder.
TEST(EncoderArgs, UnknownCodecIndexIsRefused) {
  struct Bad {
    const char* name;
    std::function<void(EncodingSettings&)> edit;
  };
  const Bad cases[] = {
      {"video 9", [](EncodingSettings& s) { s.video_compress = 9; }},
      {"video -1", [](EncodingSettings& s) { s.video_compress = -1; }},
      {"audio 9", [](EncodingSettings& s) { s.audio_compress = 9; }},
  };
  for (const Bad& c : cases) {
    SCOPED_TRACE(c.name);
    EncodingSettings s = Defaults();
    c.edit(s);
    BuildInput in;
    in.settings = &s;
    in.row = {"/v/a.avi", "avi", "44100", 1280, 720};
    in.probe.result = 6;
    BuildRowInput row;
    EXPECT_NE(BuildFfmpegArgs(in, row).error, "");
    EXPECT_NE(BuildMencoderArgs(in, row).error, "");
    EXPECT_NE(BuildFfmpegFallbackArgs(in, row, {}, "").error, "");
  }
}

TEST(FfmpegFallback, SubtitleLookFollowsSubConf) {
  EncodingSettings s = Defaults();
  s.size = 7, s.thickness = 0, s.blur = 8, s.position = 0;
  BuildInput in;
  in.settings = &s;
  in.probe.result = 6;
  BuildRowInput row;
  BuiltOptions out = BuildFfmpegFallbackArgs(in, row, {"/w/a.srt", "", "Na,me=\"X"}, "");
  EXPECT_NE(out.text.find("-vf \"subtitles=filename=/w/a.srt:force_style=FontName=NameX\\,FontSize=34\\,Outline=0\\,"
                          "Blur=8\\,Alignment=2\\,MarginV=288\" "),
            std::string::npos)
      << out.text;
  EXPECT_EQ(out.substitutions.front(), "ffmpeg instead of mencoder");
  EXPECT_NE(BuildFfmpegFallbackArgs(in, row, {"/w/a\"b.srt", "", ""}, "").error, "");
}

TEST(FilterEscape, TwoLevels) {
  struct Esc {
    std::string raw, value, description;
  };
  const Esc cases[] = {
      {"/t/plain.srt", "/t/plain.srt", "/t/plain.srt"},
      {"/t/a:b.srt", "/t/a\\:b.srt", "/t/a\\\\:b.srt"},
      {"/t/it's.srt", "/t/it\\'s.srt", "/t/it\\\\\\'s.srt"},
      {"/t/a,b;[c].srt", "/t/a,b;[c].srt", "/t/a\\,b\\;\\[c\\].srt"},
      {"C:\\x.srt", "C\\:\\\\x.srt", "C\\\\:\\\\\\\\x.srt"},
      {" edge ", "\\ edge\\ ", "\\\\ edge\\\\\\ "},
      {"/t/in side.srt", "/t/in side.srt", "/t/in side.srt"},
  };
  for (const Esc& c : cases) {
    SCOPED_TRACE(c.raw);
    EXPECT_EQ(EscapeFilterOptionValue(c.raw), c.value);
    EXPECT_EQ(EscapeFilterDescription(EscapeFilterOptionValue(c.raw)), c.description);
  }
}

}  // namespace

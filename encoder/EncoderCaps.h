// What the installed encoders offer: asked once per program file, cached, and a test drive of mencoder.
#pragma once

#include <set>
#include <string>

#include "encoder/EncodingSettings.h"

enum class EncoderKind { Ffmpeg, Mencoder };

struct EncoderCapabilities {
  EncoderKind kind = EncoderKind::Ffmpeg;
  std::string path;
  bool runnable = false;  // the encoder answered its listing
  std::string error;      // why it did not, in plain words; empty when runnable
  bool listed = false;    // the lists below were read; otherwise names are used as given
  std::set<std::string> videoEncoders;  // ffmpeg: video encoders; mencoder: -ovc codecs
  std::set<std::string> audioEncoders;  // ffmpeg: audio encoders; mencoder: -oac codecs
  std::set<std::string> experimental;   // ffmpeg encoders that need "-strict experimental"
  std::set<std::string> filters;        // ffmpeg filters

  // mencoder only: the test drive (a one-second MPEG-4 part 2 + MP3 AVI converted to AVI).
  int testDrive = 0;            // 1 passed, -1 failed, 0 not run
  int testDriveFrames = 0;      // video chunks of the result that carry data
  int testDriveExpected = 0;    // frames the sample holds
  bool lavcAudioWorks = false;  // its libavcodec audio encoders produce audio
  std::string testDriveText;    // the verdict in words

  bool hasVideo(const std::string& name) const { return !listed || videoEncoders.count(name) > 0; }
  bool hasAudio(const std::string& name) const { return !listed || audioEncoders.count(name) > 0; }
  bool hasEncoder(const std::string& name) const { return hasVideo(name) || hasAudio(name); }
  bool hasFilter(const std::string& name) const { return !listed || filters.count(name) > 0; }

  // A runnable encoder that has everything the command lines name (for tests and dry runs).
  static EncoderCapabilities Everything(EncoderKind kind);
};

// Cached answers: one file per encoder path in CapabilityCacheFolder(), valid while the program
// file keeps its size and modification time; also kept in memory for the life of the process.
EncoderCapabilities GetFfmpegCapabilities(const std::string& ffmpegPath);
// `ffmpegPath` makes the test drive's sample.
EncoderCapabilities GetMencoderCapabilities(const std::string& mencoderPath, const std::string& ffmpegPath);

// Forgets the answers kept in memory (the cache files stay).
void ForgetCachedCapabilities();

// The same without any cache.
EncoderCapabilities QueryFfmpegCapabilities(const std::string& ffmpegPath);
EncoderCapabilities QueryMencoderCapabilities(const std::string& mencoderPath, const std::string& ffmpegPath);

// $XDG_CACHE_HOME/zelvora (default ~/.cache/zelvora).
std::string CapabilityCacheFolder();

// Listing parsers: `ffmpeg -encoders`, `ffmpeg -filters`, `mencoder -oac help` / `-ovc help`.
// Each returns false when the text is not such a listing.
bool ParseFfmpegEncoders(const std::string& text, EncoderCapabilities& caps);
bool ParseFfmpegFilters(const std::string& text, EncoderCapabilities& caps);
bool ParseMencoderCodecs(const std::string& text, std::set<std::string>& codecs);

// Chunks of an AVI file's movi lists: video ("##dc"/"##db") and audio ("##wb"), and how many
// carry data. ok is false when the file is not a readable AVI.
struct AviChunkCount {
  bool ok = false;
  int video = 0;
  int videoWithData = 0;
  int audio = 0;
  int audioWithData = 0;
};
AviChunkCount CountAviChunks(const std::string& path);

// Why mencoder cannot do a job with these (already adjusted) settings; empty when it can.
std::string MencoderJobProblem(const EncoderCapabilities& mencoder, const EncodingSettings& settings);

// The family name of a font file (fontconfig's fc-scan); empty when it cannot be told.
std::string FontFamilyOfFile(const std::string& fontPath);

// AVI reader: opens a file by path and reads its RIFF header list, stream formats and layout.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "probe/MediaFile.h"

class AviReader {
 public:
  enum Error : int {
    kOk = 0,
    kCannotOpen = 2,
    kShortRead = 3,
    kNoMemory = 8,
    kNotAvi = 9,
    kNoHeaderList = 10,
    kNoMovieList = 11,
    kNoVideo = 12,
    kTooManyAudioTracks = 13,
  };
  static constexpr int kMaxAudioTracks = 8;

  struct AudioTrack {
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;  // Hz
    uint16_t bitsPerSample = 0;
    int32_t bitrateKbps = 0;
    int streamNumber = 0;
  };

  // Null only when the file cannot be opened. A file whose header does not parse still gives a
  // reader, holding what the parse had filled before it stopped (see lastError()).
  static std::unique_ptr<AviReader> Open(const std::string& path);

  double frameRate() const { return frameRate_; }
  uint32_t frameCount() const { return frameCount_; }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  const std::string& handler() const { return handler_; }          // "strh" handler FOURCC
  const std::string& compression() const { return compression_; }  // "strf" compression FOURCC
  int videoStreamNumber() const { return videoStream_; }

  int audioTrackCount() const { return audioCount_; }
  int audioTrack() const { return currentAudio_; }
  bool setAudioTrack(int track);
  // The current audio track; all zero when the file has none.
  const AudioTrack& audio() const { return audio_[currentAudio_]; }

  int32_t indexEntries() const { return indexEntries_; }
  int64_t indexPosition() const { return indexPosition_; }  // "idx1" chunk offset + 4, 0 when none
  int64_t payloadStart() const { return payloadStart_; }    // first byte after the "movi" type
  Error lastError() const { return error_; }

 private:
  AviReader() = default;
  void parse(const MediaFile& file);
  Error scanTopLevel(const MediaFile& file, int64_t* hdrlBegin, int64_t* hdrlEnd);
  void walkHeaderList(const MediaFile& file, int64_t begin, int64_t end);

  double frameRate_ = 0.0;
  uint32_t frameCount_ = 0;
  int32_t width_ = 0;
  int32_t height_ = 0;
  std::string handler_;
  std::string compression_;
  int videoStream_ = -1;
  bool videoHeader_ = false;
  bool videoFormat_ = false;

  AudioTrack audio_[kMaxAudioTracks];
  int audioCount_ = 0;
  int currentAudio_ = 0;

  int32_t indexEntries_ = 0;
  int64_t indexPosition_ = 0;
  int64_t payloadStart_ = 0;
  bool sawMovie_ = false;
  Error error_ = kOk;
};

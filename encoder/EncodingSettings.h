// The one set of encoding settings that applies to every file of a batch, and the paths stored beside it.
#pragma once

#include <cstdint>
#include <string>

struct EncodingSettings {
  // encoding_options
  int32_t output_type = 0;  // 0 MP4, 1 AVI, 2 MKV
  int32_t pindex_opti = 0;  // only optimise the packet index
  int32_t origin_vdo = 0;   // copy the source video stream
  int32_t origin_ado = 0;   // copy the source audio stream
  int32_t sub_mapping = 0;  // use a subtitle file found beside the source
  std::string optional;     // extra encoder options, at most 1023 characters

  // video_conf
  int32_t video_compress = 0;  // 0 h264 high, 1 xvid, 2 mp4v, 3 h264 middle
  int32_t video_bitrate = 0;   // kbit/s
  int32_t fps = 0;             // index: 15, 23.976, 24, 25, 29.970, 30
  int32_t fps_opt = 0;         // keep the source frame rate
  int32_t size_w = 0;
  int32_t size_h = 0;
  int32_t size_opt = 0;      // keep the source frame size
  int32_t sizing_ratio = 0;  // keep the aspect ratio when resizing
  int32_t sizing_trim = 0;   // crop instead of padding

  // audio_conf
  int32_t audio_compress = 0;   // 0 aac, 1 mp3, 2 mp2, 3 vorbis
  int32_t audio_bitrate = 0;    // index: 48, 64, 128, 192, 256, 320 kbit/s
  int32_t sample_rate = 0;      // index: 22050, 24000, 32000, 44100, 48000, 64000 Hz
  int32_t sample_rate_opt = 0;  // keep the source sample rate
  int32_t channle_mode = 0;     // 0 stereo, 1 joint stereo, 2 dual channel, 3 mono
  int32_t bitrate_style = 0;    // LAME rate-control mode for the alternative encoder
  int32_t volume = 0;           // percent, 0 (not applied) to 500

  // sub_conf
  int32_t position = 0;   // 0..100
  int32_t size = 0;       // 3..7
  int32_t blur = 0;       // 0..8
  int32_t thickness = 0;  // 0..8
  std::string font_path;  // at most 259 characters

  // etc_conf: the two stored value names are crossed; these fields are named by meaning.
  int32_t skip_scan = 0;  // stored under "language"
  int32_t language = 0;   // stored under "no_scan"; 1 selects English
  std::string fn_prefix;  // at most 63 characters; may be empty
};

// The paths and folders stored beside the record, shared by the main window and the CLI.
struct StoredPaths {
  std::string last_open_folder;
  std::string output_folder;
  std::string encoder_path_a;  // ffmpeg
  std::string encoder_path_b;  // mencoder
  std::string ProgramFolder;
  std::string error_log_path;
  uint32_t program_rebirth = 0;  // time of the last update check
  std::string update_server;     // HOST[:PORT] of the update server; empty: no update check
  std::string update_key;        // the publisher's minisign public key (base64 line); empty: nothing installed
  std::string support_address;   // web page of the about box's support button; empty: the program's home page
};

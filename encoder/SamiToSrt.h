// SAMI (.smi) and SubRip (.srt) subtitles read into cues and written as SubRip, the form ffmpeg's subtitles filter reads reliably.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct SubtitleCue {
  int64_t startMs = 0;
  int64_t endMs = 0;
  std::string text;  // lines separated by '\n'
};

// The cues of a UTF-8 SAMI text. Each SYNC block shows until the next later SYNC (an empty block
// - typically "&nbsp;" - only ends the previous one); the last shows for five seconds. Of several
// language classes only the first one the file uses is kept. Tags are dropped, <br> breaks a line.
std::vector<SubtitleCue> ParseSami(std::string_view sami);

// SubRip text of the cues, numbered from 1.
std::string FormatSrt(const std::vector<SubtitleCue>& cues);

// Reads a UTF-8 SAMI file (at most 16 MiB) and writes it as SubRip. Returns the number of cues,
// or -1 with the reason in `error`.
int ConvertSamiToSrt(const std::string& samiPath, const std::string& srtPath, std::string* error);

// The cues of a UTF-8 SubRip text: blocks of a "start --> end" line ("HH:MM:SS,mmm", '.' also
// taken) and the text lines after it; numbers, blank lines and CR are tolerated, blocks without a
// readable time line are skipped.
std::vector<SubtitleCue> ParseSrt(std::string_view srt);

// Reads a UTF-8 subtitle (at most 16 MiB) as SAMI when its name ends in ".smi" or ".sami" (any
// case), else as SubRip. Returns the cues, or none with the reason in `error`: a SAMI text
// without SYNC tags, a file without timed text, a file that cannot be read (the caller names
// the file, which may be a copy of the user's).
std::vector<SubtitleCue> ReadSubtitleCues(const std::string& path, std::string* error);

// ReadSubtitleCues, then the cues written as SubRip to `srtPath`. Returns the number of cues,
// or -1 with the reason in `error`.
int ConvertSubtitleToSrt(const std::string& path, const std::string& srtPath, std::string* error);

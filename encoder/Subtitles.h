// Subtitle files beside a source: finding them, telling UTF-8 from the Korean code page, and UTF-8 copies.
#pragma once

#include <string>
#include <string_view>

// The subtitle a run would use for `sourcePath`: the path cut at its last '.' plus ".srt" for
// MKV output (carried as a stream) or ".smi" otherwise (burned in). Empty when the path has
// no '.' after its first character, or the file is missing or empty.
std::string FindSubtitleFile(const std::string& sourcePath, int outputType);

// The verdict of one line: 1 UTF-8, 0 not UTF-8, -1 no verdict (no byte above 127 decides).
// Only three-byte sequences count as UTF-8: Korean text in UTF-8 is made of them, while the
// Korean code page never puts a byte of 0x80–0xBF after a lead byte of 0xE0–0xEF twice.
int Utf8LineVerdict(std::string_view line);

// Whether the file counts as UTF-8: the first line with a verdict decides; no verdict at all
// (plain ASCII) or an unreadable file counts as not UTF-8.
bool IsUtf8SubtitleFile(const std::string& path);

// Writes a UTF-8 copy of `path` into `folder` (created if missing) under `name` (the source's own
// name when empty): lines that are UTF-8 or plain ASCII unchanged, every other line converted
// from the Korean code page (CP949). A line that is not valid CP949 either is kept as it is, so
// nothing is lost. Returns the copy's path, or empty (with the reason in `error`) when it could
// not be written.
std::string MakeUtf8SubtitleCopy(const std::string& path, const std::string& folder, const std::string& name = "",
                                 std::string* error = nullptr);

// The subtitle to hand to the encoder: the file itself when it is UTF-8, else a UTF-8 copy in
// `workFolder` under `copyName` (the source's name when empty). Empty, with the reason in
// `error`, when the copy cannot be made: a subtitle is never handed over in the wrong encoding.
std::string PrepareSubtitle(const std::string& path, const std::string& workFolder, std::string* error = nullptr,
                            const std::string& copyName = "");

// Container detection and the two probe entry points.
#pragma once

#include <cstdint>
#include <string>

#include "probe/MediaFile.h"
#include "probe/MediaInfo.h"

// MediaType from the file name alone: 0 without a '.', -1 for an unknown extension.
int GetExtensionIndex(const std::string& path);

struct Id3Header {
  int present = 0;
  int major = 0;
  int revision = 0;
  int64_t length = 0;  // whole tag including its 10-byte header
};
// 1 when the file begins with an ID3v2 tag (header filled); else 0 with the position at 0.
int ParseId3Header(MediaFile& file, Id3Header* header);
int64_t GetId3TagLength(MediaFile& file);

// The detected type name (a pointer into kMediaTypeNames) or null; the position is kept.
const char* DetectMediaType(MediaFile& file, const std::string& path);

// Detects and parses; returns the MediaType or -1.
int ProbeMediaFile(MediaFile* file, MediaInfo* info, const std::string& path);

// Opens, probes and summarises `path`; returns the MediaType or -1 (summary untouched then).
int getMediaInfo2Ex(MediaInfoEx* summary, const std::string& path);

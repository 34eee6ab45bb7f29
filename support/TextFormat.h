// Size and duration texts shown in the file list and the progress display.
#pragma once

#include <cstdint>
#include <string>

// "1023 Bytes", "2KB", "2MB" (rounded up), "1.5GB", "1.0TB"; empty for 0.
std::string FormatByteSize(int64_t bytes);

// "01:02:05" with a separator, "010205" with separator 0; hours are not limited.
// Returns false (and leaves `out` alone) for a negative value.
bool FormatDuration(int64_t seconds, std::string& out, char separator);

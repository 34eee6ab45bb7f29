// Unpacking update packages that arrive as ZIP archives.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "update/ArchiveSafety.h"

// Called after each member with its position, the percent of the archive's declared size
// done so far, and its name as stored.
using ZipProgress = std::function<void(int position, int percent, const std::string& name)>;

// Extracts every member into `destFolder` (the archive's own folder when empty), creating
// folders as needed, and returns the archive's member count; 0 when no path is given or the
// archive cannot be read or is refused (declared sizes past the limits). With `overwrite` 0
// a member whose path already exists is left alone. A member that cannot be extracted
// (unsafe name, link, unsupported method, encryption, damaged data, CRC error, file error)
// is logged and skipped, and extraction goes on; `report` tells how each kind fared.
// Once `stop` is set, extraction ends within one chunk of the member under way (which is
// dropped, never left half written) and returns 0 with the report marked stopped.
int ZipExtractAll(const std::string& archivePath, const std::string& destFolder, const ZipProgress& progress,
                  int overwrite, ArchiveReport* report = nullptr, const std::atomic<bool>* stop = nullptr);

// The path, below the destination, of the member at `position` ('/' separators); nothing when
// `position` is not below the member count, the archive cannot be read, or the name is unsafe.
std::optional<std::string> ZipMemberName(const std::string& archivePath, int position);

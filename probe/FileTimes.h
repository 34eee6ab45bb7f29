// The file-system facts the probe summary reports beside the container's own values.
#pragma once

#include <cstdint>
#include <string>

struct FileTimes {
  int64_t size = 0;
  int64_t modified = 0;  // seconds since 1970
  int64_t created = 0;   // birth time where the file system keeps one, else the status-change time
};

// False when the file cannot be examined.
bool GetFileTimes(const std::string& path, FileTimes* times);

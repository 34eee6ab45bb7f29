// Helpers of the fuzz targets: the input as a file in memory, or on disk for readers that open by name.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "probe/MediaFile.h"

namespace fuzzsupport {

inline std::string Bytes(const uint8_t* data, size_t size) { return std::string(reinterpret_cast<const char*>(data), size); }

inline MediaFile InMemory(const uint8_t* data, size_t size) { return MediaFile::FromMemory(Bytes(data, size)); }

// A private folder for this fuzzing process, removed when it ends normally.
inline const std::string& ScratchFolder() {
  static const std::string folder = [] {
    std::string path = "/tmp/zelvora-fuzz-" + std::to_string(::getpid());
    std::filesystem::create_directories(path);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all("/tmp/zelvora-fuzz-" + std::to_string(::getpid()), ec);
    });
    return path;
  }();
  return folder;
}

// Writes the input to ScratchFolder()/input<extension> and returns that path.
inline std::string OnDisk(const std::string& bytes, const std::string& extension) {
  std::string path = ScratchFolder() + "/input" + extension;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return path;
}

}  // namespace fuzzsupport

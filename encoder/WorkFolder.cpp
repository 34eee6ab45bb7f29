// Private per-row work folders under the user's cache, locked while in use and removed after.
#include "encoder/WorkFolder.h"

#include <cinttypes>
#include <cstdio>

#include "encoder/PathText.h"

namespace {

// FNV-1a: a stable short name for a source path (not a secret, only a folder name).
uint64_t NameHash(const std::string& text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

RowWorkFolder::RowWorkFolder(std::string sourcePath) : source_(std::move(sourcePath)) {}

std::string RowWorkFolder::Path(std::string* error) {
  if (!path_.empty()) return path_;
  char name[32];
  std::snprintf(name, sizeof name, "%016" PRIx64, NameHash(source_));
  std::string reasons;
  for (bool temporary : {false, true}) {
    std::string base = WorkFolderBase(temporary), why;
    if (!MakePrivateFolders(base, why)) {
      reasons += (reasons.empty() ? "" : "; ") + why;
      continue;
    }
    for (int n = 1; n <= 64; ++n) {
      std::string leaf = name;
      if (n > 1) leaf.append("-").append(std::to_string(n));
      std::string folder = JoinPath(base, leaf);
      if (TryTake(folder, why)) return path_;
      if (!why.empty()) break;
    }
    if (!why.empty()) reasons += (reasons.empty() ? "" : "; ") + why;
  }
  if (error) *error = "no work folder can be made for the subtitle (" + reasons + ")";
  return {};
}

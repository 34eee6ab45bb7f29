#include "ui/VersionInfo.h"

#include <cstdint>
#include <string>
#include <vector>

std::string VersionBlockText(const char* dotted) {
  if (dotted == nullptr || *dotted == '\0') return std::string();
  std::vector<uint32_t> parts(1, 0);
  bool digit = false;
  for (const char* p = dotted; *p != '\0'; ++p) {
    if (*p >= '0' && *p <= '9') {
      // Saturating: a part never wraps into a small, wrong number.
      uint32_t& part = parts.back();
      part = part > 0xffffu ? part : part * 10 + static_cast<uint32_t>(*p - '0');
      digit = true;
    } else if (*p == '.' && digit && parts.size() < 4) {
      parts.push_back(0);
      digit = false;
    } else {
      return std::string();
    }
  }
  if (!digit) return std::string();
  parts.resize(4, 0);
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += ',';
    text += std::to_string(parts[i] > 0xffffu ? 0xffffu : parts[i]);
  }
  return text;
}

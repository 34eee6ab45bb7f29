// Whether a server name is meant as a dotted address rather than a host name to look up.
#pragma once

#include <string>

namespace sockio {

// Digits and dots only, with an optional leading sign: the text is meant as a dotted address.
inline bool LooksDotted(const std::string& address) {
  if (address.empty()) return false;
  size_t i = address[0] == '+' || address[0] == '-' ? 1 : 0;
  if (i == address.size()) return false;
  for (; i < address.size(); ++i)
    if (!(address[i] == '.' || (address[i] >= '0' && address[i] <= '9'))) return false;
  return true;
}

}  // namespace sockio

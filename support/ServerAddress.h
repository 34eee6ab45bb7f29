// "HOST[:PORT]" as the update server's setting holds it.
#pragma once

#include <charconv>
#include <string>
#include <string_view>

#include "support/AsciiText.h"

// Reads a host name or dotted address, optionally with ":PORT" (1 to 65535; `defaultPort`
// without one). False for an empty text, a bad port, or a host with blanks or slashes.
inline bool ParseServerAddress(std::string_view text, int defaultPort, std::string& host, int& port) {
  std::string_view t = TrimBlanks(text);
  if (t.empty()) return false;
  int p = defaultPort;
  const size_t colon = t.rfind(':');
  if (colon != std::string_view::npos) {
    p = 0;
    auto [end, ec] = std::from_chars(t.data() + colon + 1, t.data() + t.size(), p);
    if (ec != std::errc() || end != t.data() + t.size() || p <= 0 || p > 65535) return false;
    t = t.substr(0, colon);
  }
  if (t.empty() || t.find_first_of(" \t/\\\\") != std::string_view::npos) return false;
  host = std::string(t);
  port = p;
  return true;
}
